// BufferWrapper: a read-only stream (cIO) over a Python binary file object,
// so that the container and MF4 layers read any io.IOBase object (an open
// file, io.BytesIO, ...) exactly as a file on disk.
//
// Every operation calls the object's Python method by name and therefore
// needs the global interpreter lock, which every caller holds: the library
// runs only inside calls made from Python.
//
// Errors are sticky: when a method raises (or returns something unusable),
// the operation returns -1 and leaves a Python error set; while an error is
// set, every operation returns -1 at once without calling into Python, so
// the library layers above fail cleanly and the caller finds the cause.
#pragma once

#include "python/Support.h"
#include "streams/cIO.h"

struct BufferWrapper : cIO {
  PyObject* file;  // strong reference to the file object (not its open state)
};

// A new stream over `object` (takes a reference of its own; the file object
// is never closed by the stream). Null when `object` is not an io.IOBase or
// memory is short; a failing instance check leaves its error set.
cIO* BufferWrapper_createFromWrapped(PyObject* object);
