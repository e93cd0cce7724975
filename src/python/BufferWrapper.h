// BufferWrapper: a read-only stream (cIO) over a Python binary file object,
// so that the container and MF4 layers read any io.IOBase object (an open
// file, io.BytesIO, ...) exactly as a file on disk.
//
// The wrapper reads the file object in chunks of kBufferWrapperChunk bytes:
// one Python read() call per chunk, not per record. Reads, seeks and tells
// inside the chunk at hand call no Python code. A file object may return
// fewer bytes than asked for (a raw file does); the wrapper then asks again,
// so a read through it is complete up to the end of the file. Larger reads
// bypass the chunk.
//
// Every call into Python needs the global interpreter lock, which every
// caller holds: the library runs only inside calls made from Python.
//
// Errors are sticky: when a method raises (or returns something unusable),
// the operation returns -1 and leaves a Python error set; while an error is
// set, every operation returns -1 at once without calling into Python, so
// the library layers above fail cleanly and the caller finds the cause.
#pragma once

#include "python/Support.h"
#include "streams/cIO.h"

// Bytes asked for by one read() of the file object.
constexpr int64_t kBufferWrapperChunk = 64 * 1024;

struct BufferWrapper : cIO {
  PyObject* file;   // strong reference to the file object (not its open state)
  PyObject* chunk;  // bytes of the last chunk read (strong), or null
  const char* chunkData;  // the bytes of chunk
  int64_t chunkStart;     // file position of the chunk's first byte
  int64_t chunkSize;      // bytes in chunk (0 without one)
  // The stream's position as its users see it; always within
  // [chunkStart, chunkStart + chunkSize]. -1 until first asked of the file.
  int64_t position;
  // Where the file object stands; -1 when unknown (a seek comes first).
  int64_t filePosition;
  // The file object cannot seek (seekable() is false): it is read from
  // where it stands, counted as position 0, forward only; seeks outside
  // the chunk at hand fail (-1) without calling it.
  bool sequential;
};

// A new stream over `object` (takes a reference of its own; the file object
// is never closed by the stream). A file object whose seekable() answers
// false is read sequentially (see `sequential`). Null when `object` is not an
// io.IOBase or memory is short; a failing instance check leaves its error set.
cIO* BufferWrapper_createFromWrapped(PyObject* object);

// True when `stream` is a BufferWrapper.
bool BufferWrapper_is(const cIO* stream);

// Forgets the chunk at hand, so that the next read asks the file object
// again (from the stream's position): the file object may have been used,
// changed or closed meanwhile. Calls no Python code.
void BufferWrapper_dropChunk(cIO* stream);
