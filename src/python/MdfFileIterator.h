// MdfFileIterator: walks the frames of one data group of an open MdfFile
// through a bus message container and yields them as CanMsgExtension.
//
// An iterator keeps its reader alive (owner reference) but not the reader's
// open state: close() releases the file under all live iterators of the
// reader (MdfFileIterator_detachAll), and their next() then raises
// RuntimeError "Handle has been closed" instead of touching released data.
#pragma once

#include "mdf/cMdfBusMsgContainer.h"
#include "python/Support.h"

struct MdfFileObject;

struct MdfFileIteratorObject {
  PyObject_HEAD
  PyObject* owner;   // the MdfFile that created it (strong), null once cleared
  double startTime;  // seconds since 1970 (UTC), added to every frame's offset
  cMdfBusMsgContainer* container;        // owned; null once released
  cMdfBusMsgContainerPosition position;  // current frame of container
  // Links in the owner's list of iterators that still hold a container.
  MdfFileIteratorObject* previous;
  MdfFileIteratorObject* next;
  bool detached;  // the owner was closed while this iterator held a container
  // Records that are not frames (LIN errors, groups that are not bus
  // logging) are passed over and counted instead of raising
  // RuntimeError "Unknown bus type".
  bool skipUnknown;
  uint64_t skipped;   // records passed over and not yet reported
  size_t groupIndex;  // the data group's index in the file, for the report
  // Error raised by the file object while the group was advanced past the
  // last frame returned; raised at the end of the group instead of
  // StopIteration, so that a failing read never ends a log silently.
  PendingError readError;
};

extern PyObject* MdfFileIteratorType;

// Creates the type (new reference, also kept in MdfFileIteratorType), or null
// with a Python error.
PyObject* MdfFileIterator_initType();

// A new iterator over `container` (taken over; may be null for an iterator
// that yields nothing) of data group `groupIndex` of the open reader
// `owner`, positioned at the first frame. With skipUnknown, records that
// are not frames are passed over, and one warning on the
// "python_can_brenix_mf4" logger says how many when the group ends. Reads
// the first record, so the caller must hold the reader's busy mark. New
// reference, or null with a Python error (the container is then released).
PyObject* MdfFileIterator_fromGroup(PyObject* owner,
                                    cMdfBusMsgContainer* container,
                                    double startTime, size_t groupIndex,
                                    bool skipUnknown);

// Releases the containers of every live iterator of `owner` and marks those
// iterators detached. Calls no Python code.
void MdfFileIterator_detachAll(MdfFileObject* owner);
