// CanMsgExtension: can.Message with hashing over its content and ordering by
// timestamp, which heapq.merge needs to merge the frames of all data groups.
// Messages of a log are built directly from decoded frames.
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
// startTime + the frame's time offset (seconds since 1970, UTC). Every
// attribute has the value and type that can.Message(**keywords) of the
// frame would give it; the attributes are stored straight into the new
// instance's slots, without a keyword dict or a call of __init__ (unless
// the installed python-can's messages hold attributes unknown here). Null
// with a Python error; RuntimeError "Unknown bus type" for a frame of no
// known kind.
PyObject* CanMsgExtension_createFromWrapped(const cMdfBusMsg* frame,
                                            double startTime);

// Whether the frame is of a kind that becomes a message (CAN data, remote
// and error frames, LIN frames).
bool CanMsgExtension_isFrame(const cMdfBusMsg* frame);
