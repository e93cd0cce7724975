#include "python/BufferWrapper.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "python/FileTypeSupport.h"

// Reads that bypass the chunk ask for at most this much per call, so that a
// huge length from a damaged file never makes the file object allocate it.
constexpr int64_t kMaxDirectRead = 16 * 1024 * 1024;

static BufferWrapper* asWrapper(cIO* io) {
  return static_cast<BufferWrapper*>(io);
}

// An integer result of tell/seek, or -1 (with an error set) for anything else.
static int64_t BufferWrapper_position(PyObject* result) {
  if (result == nullptr) return -1;
  OwnedRef owned(result);
  if (!PyLong_Check(result)) {
    PyErr_SetString(PyExc_TypeError,
                    "tell() and seek() of the file object must return an int");
    return -1;
  }
  long long position = PyLong_AsLongLong(result);
  if (position == -1 && PyErr_Occurred() != nullptr) return -1;
  if (position < 0) {
    PyErr_SetString(PyExc_ValueError,
                    "tell() and seek() of the file object returned a "
                    "negative position");
    return -1;
  }
  return position;
}

// Drops the chunk; the position stays.
static void BufferWrapper_forget(BufferWrapper* wrapper) {
  Py_CLEAR(wrapper->chunk);
  wrapper->chunkData = nullptr;
  wrapper->chunkStart = wrapper->position;
  wrapper->chunkSize = 0;
}

// Learns the position from the file object the first time it is needed.
static bool BufferWrapper_knowPosition(BufferWrapper* wrapper) {
  if (wrapper->position >= 0) return true;
  if (wrapper->sequential) {
    wrapper->position = wrapper->filePosition = 0;
    BufferWrapper_forget(wrapper);
    return true;
  }
  int64_t position = BufferWrapper_position(
      PyObject_CallMethod(wrapper->file, "tell", nullptr));
  if (position < 0) return false;
  wrapper->position = wrapper->filePosition = position;
  BufferWrapper_forget(wrapper);
  return true;
}

// Moves the file object to `target` with seek(target, whence); the stream's
// position becomes the file object's answer, and the chunk is dropped.
static int64_t BufferWrapper_seekFile(BufferWrapper* wrapper, int64_t target,
                                      int whence) {
  if (wrapper->sequential) return -1;
  wrapper->filePosition = -1;
  int64_t position = BufferWrapper_position(PyObject_CallMethod(
      wrapper->file, "seek", "Li", static_cast<long long>(target), whence));
  if (position < 0) return -1;
  wrapper->position = wrapper->filePosition = position;
  BufferWrapper_forget(wrapper);
  return position;
}

// One read(len) call at the stream's position: a new bytes object of at
// most len bytes (empty at the end of the file), or null with an error set.
// None (no data now) counts as empty. A result longer than asked for is
// refused rather than cut: the excess would be lost and the file position
// would no longer match what the caller has seen.
static PyObject* BufferWrapper_readFile(BufferWrapper* wrapper, int64_t len) {
  if (wrapper->filePosition != wrapper->position &&
      BufferWrapper_seekFile(wrapper, wrapper->position, CIO_SEEK_SET) < 0)
    return nullptr;
  OwnedRef result(PyObject_CallMethod(wrapper->file, "read", "L",
                                      static_cast<long long>(len)));
  if (!result) return nullptr;
  if (result.get() == Py_None) return PyBytes_FromStringAndSize(nullptr, 0);
  if (!PyBytes_Check(result.get())) {
    PyErr_SetString(PyExc_TypeError,
                    "read() of the file object must return bytes");
    return nullptr;
  }
  if (PyBytes_Size(result.get()) > len) {
    PyErr_SetString(PyExc_ValueError,
                    "read() of the file object returned more bytes than "
                    "requested");
    return nullptr;
  }
  if (wrapper->filePosition > INT64_MAX - PyBytes_Size(result.get())) {
    PyErr_SetString(PyExc_OverflowError,
                    "the file object's position passed 2**63 - 1");
    return nullptr;
  }
  wrapper->filePosition += PyBytes_Size(result.get());
  return result.release();
}

// Copies what the chunk holds from the position on, up to len bytes, and
// moves the position past it. Returns the count.
static int64_t BufferWrapper_fromChunk(BufferWrapper* wrapper, char* dst,
                                       int64_t len) {
  int64_t offset = wrapper->position - wrapper->chunkStart;
  int64_t count = std::min(len, wrapper->chunkSize - offset);
  if (count <= 0) return 0;
  std::memcpy(dst, wrapper->chunkData + offset, static_cast<size_t>(count));
  wrapper->position += count;
  return count;
}

// read(len): complete up to the end of the file, from the chunk at hand and
// from as many further read() calls as the file object needs. None from
// read() (no data now) ends the transfer early.
static int64_t BufferWrapper_read(cIO* io, void* dst, uint64_t len) {
  if (PyErr_Occurred() != nullptr) return -1;
  BufferWrapper* wrapper = asWrapper(io);
  if (!BufferWrapper_knowPosition(wrapper)) return -1;
  char* out = static_cast<char*>(dst);
  int64_t wanted = static_cast<int64_t>(
      std::min<uint64_t>(len, static_cast<uint64_t>(INT64_MAX)));
  int64_t done = BufferWrapper_fromChunk(wrapper, out, wanted);
  while (done < wanted) {
    // The chunk is used up: the position is at its end.
    int64_t rest = wanted - done;
    bool direct = rest >= kBufferWrapperChunk;
    OwnedRef bytes(
        BufferWrapper_readFile(wrapper, direct ? std::min(rest, kMaxDirectRead)
                                               : kBufferWrapperChunk));
    if (!bytes) return -1;
    int64_t size = PyBytes_Size(bytes.get());
    if (size == 0) break;  // end of the file (or no data now)
    if (direct) {
      std::memcpy(out + done, PyBytes_AsString(bytes.get()),
                  static_cast<size_t>(size));
      done += size;
      wrapper->position += size;
      BufferWrapper_forget(wrapper);
      continue;
    }
    BufferWrapper_forget(wrapper);
    wrapper->chunk = bytes.release();
    wrapper->chunkData = PyBytes_AsString(wrapper->chunk);
    wrapper->chunkSize = size;
    done += BufferWrapper_fromChunk(wrapper, out + done, rest);
  }
  return done;
}

// The wrapper is read-only.
static int64_t BufferWrapper_write(cIO*, const void*, uint64_t) { return -1; }

static int64_t BufferWrapper_tell(cIO* io) {
  if (PyErr_Occurred() != nullptr) return -1;
  BufferWrapper* wrapper = asWrapper(io);
  if (!BufferWrapper_knowPosition(wrapper)) return -1;
  return wrapper->position;
}

// A target inside the chunk at hand moves the position only; anything else
// goes to the file object. Origins 0, 1 and 2 are passed on; any other
// becomes -1, which the file object rejects with its own error.
static int64_t BufferWrapper_seek(cIO* io, int64_t offset, int whence) {
  if (PyErr_Occurred() != nullptr) return -1;
  BufferWrapper* wrapper = asWrapper(io);
  if (whence == CIO_SEEK_SET || whence == CIO_SEEK_CUR) {
    if (!BufferWrapper_knowPosition(wrapper)) return -1;
    int64_t target = offset;
    if (whence == CIO_SEEK_CUR &&
        __builtin_add_overflow(wrapper->position, offset, &target)) {
      PyErr_SetString(PyExc_OverflowError, "seek offset out of range");
      return -1;
    }
    if (target >= wrapper->chunkStart &&
        target - wrapper->chunkStart <= wrapper->chunkSize) {
      wrapper->position = target;
      return target;
    }
    return BufferWrapper_seekFile(wrapper, target, CIO_SEEK_SET);
  }
  return BufferWrapper_seekFile(wrapper, offset,
                                whence == CIO_SEEK_END ? whence : -1);
}

// Releases the references and the record; the file object stays open.
static int BufferWrapper_close(cIO* io) {
  BufferWrapper* wrapper = asWrapper(io);
  PyObject* file = wrapper->file;
  PyObject* chunk = wrapper->chunk;
  std::free(wrapper);
  Py_XDECREF(chunk);
  Py_XDECREF(file);
  return 0;
}

static const cIO_vtable BufferWrapper_vtable = {
    BufferWrapper_read, BufferWrapper_write, BufferWrapper_tell,
    BufferWrapper_seek, BufferWrapper_close,
};

cIO* BufferWrapper_createFromWrapped(PyObject* object) {
  if (object == nullptr || getFileType(object) != FileType_Buffer)
    return nullptr;
  BufferWrapper* wrapper =
      static_cast<BufferWrapper*>(std::malloc(sizeof(BufferWrapper)));
  if (wrapper == nullptr) return nullptr;
  wrapper->vtable = &BufferWrapper_vtable;
  Py_INCREF(object);
  wrapper->file = object;
  wrapper->chunk = nullptr;
  wrapper->chunkData = nullptr;
  wrapper->chunkStart = 0;
  wrapper->chunkSize = 0;
  wrapper->position = -1;
  wrapper->filePosition = -1;
  // A file object that says it cannot seek is read forward only; one that
  // cannot say is taken to seek.
  wrapper->sequential = false;
  OwnedRef seekable(PyObject_CallMethod(object, "seekable", nullptr));
  if (seekable) {
    const int answer = PyObject_IsTrue(seekable.get());
    wrapper->sequential = answer == 0;
    if (answer < 0) PyErr_Clear();
  } else {
    PyErr_Clear();
  }
  return wrapper;
}

bool BufferWrapper_is(const cIO* stream) {
  return stream != nullptr && stream->vtable == &BufferWrapper_vtable;
}

void BufferWrapper_dropChunk(cIO* stream) {
  if (!BufferWrapper_is(stream)) return;
  BufferWrapper* wrapper = asWrapper(stream);
  if (wrapper->position < 0 || wrapper->sequential) return;
  BufferWrapper_forget(wrapper);
  wrapper->filePosition = -1;
}
