// File stream over a buffered standard file handle.
#pragma once

#include <cstdio>

#include "streams/cIO.h"

enum {
  CIO_FILE_READ = 0,       // "rb": read, tell, seek, close
  CIO_FILE_WRITE = 1,      // "wb": write, tell, seek, close; creates/truncates
  CIO_FILE_READWRITE = 2,  // "r+b" on an existing file (kept as it is),
                           // "w+b" when it does not exist yet
};

struct cIO_file_t : cIO {
  FILE* file;    // owned
  uint64_t pos;  // cached position, spares an fseek to where we stand
  int last_op;   // CIO_FILE_OP_*: an update stream needs a positioning call
                 // between a write and a following read, and vice versa
};

enum {
  CIO_FILE_OP_NONE = 0,
  CIO_FILE_OP_READ = 1,
  CIO_FILE_OP_WRITE = 2,
};

// A new file stream, or nullptr for a null path, an unknown mode or a
// failed open.
cIO* cIO_file_open(const char* path, int mode);
// A new, empty file stream for reading and writing in a temporary file of
// its own (in TMPDIR, else /tmp), which is removed from the directory at
// once and so disappears when the stream closes; nullptr when none can be
// made.
cIO* cIO_file_temporary();
