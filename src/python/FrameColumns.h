// _ColumnReader: the frames of an open MdfFile as column arrays, for the
// package's to_numpy, iter_batches, to_arrow, to_pandas and to_polars
// (python_can_brenix_mf4/_columns.py), over the library's column reader
// (mdf/cMdfColumns.h).
//
//   reader = _ColumnReader(log, channels, ids, kinds, start, stop)
//   count, columns = reader.fill(rows, wanted)
//
// fill returns, per column of the library's order (cMdfColumn), a bytearray
// of the rows written (elements of the column's type, back to back), or
// None for a column not wanted (bit 1 << column of `wanted`). Python wraps
// them with numpy.frombuffer, which copies nothing.
//
// A reader keeps its MdfFile alive but not the file's open state: closing
// or reopening the MdfFile releases the reader's state
// (ColumnReader_detachAll), and fill then raises RuntimeError "Handle has
// been closed".
#pragma once

#include "mdf/cMdfColumns.h"
#include "python/Support.h"

struct MdfFileObject;

struct ColumnReaderObject {
  PyObject_HEAD
  PyObject* owner;           // the MdfFile (strong), null once cleared
  cMdfColumnReader* reader;  // owned; null once released
  // Links in the owner's list of readers that still hold library state.
  ColumnReaderObject* previous;
  ColumnReaderObject* next;
  bool detached;  // the owner was closed while this reader held state
};

// Creates the type (new reference), or null with a Python error.
PyObject* ColumnReader_initType();

// Whether `object` is a _ColumnReader.
bool ColumnReader_check(PyObject* object);

// Releases the library state of every live reader of `owner` and marks those
// readers detached. Calls no Python code.
void ColumnReader_detachAll(MdfFileObject* owner);
