// MdfFile: the reader of MF4 bus logs, a can.io.generic.MessageReader.
//
// The type is made of two classes: a native base type that carries the
// instance fields and all behaviour (initialisation, iteration, metadata,
// close/stop, finalisation), and the public class MdfFile, created by
// python-can's own metaclass with bases (native base, MessageReader). The
// public class thereby is a MessageReader subclass on every python-can
// version, whatever MessageReader's metaclass and instance layout, and no
// native type is ever created with a metaclass that has its own tp_new.
#pragma once

#include "mdf/cMdf.h"
#include "python/Support.h"
#include "streams/cIO.h"

struct MdfFileIteratorObject;
struct ColumnReaderObject;

struct MdfFileObject {
  PyObject_HEAD
  cMdf* mdf;    // open MF4 file, reading through stream; null when not open
  cIO* stream;  // source of mdf (file, BufferWrapper or decoded container
                // stream); owned together with mdf; null when not open
  MdfFileIteratorObject* iterators;   // live iterators over mdf (borrowed)
  ColumnReaderObject* columnReaders;  // live column readers (borrowed)
  // Nonzero while a library call that may run Python code (a file object's
  // method, a logging handler) is in progress on this reader. Such code must
  // not close, reopen or iterate the reader meanwhile.
  int busy;
  // The base initialiser opened `file` itself (python-can up to 4.5 opens a
  // path): nobody else can close it, so closing the reader does.
  bool closeFileObject;
  // skip_unknown_records=True: iterating passes over records that are not
  // frames instead of raising RuntimeError "Unknown bus type".
  bool skipUnknownRecords;
  // The containers the log was unwrapped from, outermost first: a list of
  // (kind, device id) tuples; null when not open.
  PyObject* containers;
  // The source is a Python file object: reading calls its methods, so the
  // GIL stays held. Otherwise decoding runs without it.
  bool pythonSource;
};

// The public class; process-wide, never released.
extern PyObject* MdfFileType;

// Imports heapq.merge and can.io.generic.MessageReader and creates the types.
// New reference to the public class (also kept in MdfFileType), or null with
// a Python error.
PyObject* MdfFile_initType();

// Marks the reader busy for a library call that may run Python code. False,
// with RuntimeError "Handle is in use", when it already is.
bool MdfFile_enter(MdfFileObject* self);
void MdfFile_leave(MdfFileObject* self);
// When reads of the reader's stream failed because a container's file
// changed or failed since the open, raises RuntimeError("Could not
// decompress stream" or "Could not decrypt stream") from a ValueError with
// the reason, which is logged once, and returns true; else false.
bool MdfFile_raiseContainerFault(MdfFileObject* self);
