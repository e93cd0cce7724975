#include "python/BufferWrapper.h"

#include <cstdlib>
#include <cstring>

#include "python/FileTypeSupport.h"

static PyObject* BufferWrapper_file(cIO* io) {
  return static_cast<BufferWrapper*>(io)->file;
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
  return position;
}

// read(n): None means no data now (0 bytes); bytes are copied. A result longer
// than asked for is refused rather than cut: the excess would be lost and the
// file position would no longer match what the caller has seen.
static int64_t BufferWrapper_read(cIO* io, void* dst, uint64_t len) {
  if (PyErr_Occurred() != nullptr) return -1;
  OwnedRef result(PyObject_CallMethod(BufferWrapper_file(io), "read", "K",
                                      static_cast<unsigned long long>(len)));
  if (!result) return -1;
  if (result.get() == Py_None) return 0;
  if (!PyBytes_Check(result.get())) {
    PyErr_SetString(PyExc_TypeError,
                    "read() of the file object must return bytes");
    return -1;
  }
  char* bytes = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(result.get(), &bytes, &size) < 0) return -1;
  if (static_cast<uint64_t>(size) > len) {
    PyErr_SetString(PyExc_ValueError,
                    "read() of the file object returned more bytes than "
                    "requested");
    return -1;
  }
  if (size > 0) std::memcpy(dst, bytes, static_cast<size_t>(size));
  return size;
}

// The wrapper is read-only.
static int64_t BufferWrapper_write(cIO*, const void*, uint64_t) { return -1; }

static int64_t BufferWrapper_tell(cIO* io) {
  if (PyErr_Occurred() != nullptr) return -1;
  return BufferWrapper_position(
      PyObject_CallMethod(BufferWrapper_file(io), "tell", nullptr));
}

// Origins 0, 1 and 2 are passed on; any other becomes -1, which the file
// object rejects with its own error.
static int64_t BufferWrapper_seek(cIO* io, int64_t offset, int whence) {
  if (PyErr_Occurred() != nullptr) return -1;
  if (whence != CIO_SEEK_SET && whence != CIO_SEEK_CUR &&
      whence != CIO_SEEK_END)
    whence = -1;
  return BufferWrapper_position(
      PyObject_CallMethod(BufferWrapper_file(io), "seek", "Li",
                          static_cast<long long>(offset), whence));
}

// Releases the reference and the record; the file object stays open.
static int BufferWrapper_close(cIO* io) {
  BufferWrapper* wrapper = static_cast<BufferWrapper*>(io);
  PyObject* file = wrapper->file;
  std::free(wrapper);
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
  return wrapper;
}
