// CanMsgExtension: can.Message with hashing over its content and ordering by
// timestamp, which heapq.merge needs to merge the frames of all data groups.
#pragma once

#include "decode/cMdfDecoders.h"
#include "python/Support.h"

// can.Message and the created subclass; process-wide, never released.
extern PyObject* CanMsgBaseType;
extern PyObject* CanMsgExtensionType;

// Imports can.Message and creates the type (new reference, also kept in
// CanMsgExtensionType), or null with a Python error.
PyObject* CanMsgExtension_initType();

// A new message built from one decoded frame, its timestamp being
// startTime + the frame's time offset (seconds since 1970, UTC). Null with a
// Python error; RuntimeError "Unknown bus type" for a frame of no known kind.
PyObject* CanMsgExtension_createFromWrapped(const cMdfBusMsg* frame,
                                            double startTime);
