// Classification of the reader's `file` argument: a path or an open binary
// file object.
#pragma once

#include "python/Support.h"

enum FileType {
  FileType_Unknown = 0,  // none of the accepted kinds (bytes, os.PathLike...)
  FileType_String = 1,   // a str (or subclass): a path
  FileType_Path = 2,     // a pathlib.Path (or subclass)
  FileType_Buffer = 3,   // an io.IOBase (or subclass): an open file object
  FileType_Error = 4,    // an instance check raised; the error stays set
};

// Looks up pathlib.Path and io.IOBase once for the process. True on success,
// false with a Python error.
bool initFileTypeSupport();

// The kind of `object`; never raises by itself (FileType_Error passes on the
// error of a failing instance check).
FileType getFileType(PyObject* object);
