// _decode_signals: the signals of CAN database messages cut out of frame
// columns in one pass (decode/cSignalPlan.h), for the package's
// decode_signals (python_can_brenix_mf4/_signals.py), which compiles the
// databases into the spec's records and wraps the results with numpy.
//
//   _decode_signals(signals, selectors, messages, keys, databases,
//                   channel_databases, default_database, rows, ids,
//                   extended, channels, usable, payload, offsets, lengths,
//                   carried)
//     -> [None or (rows, [carried, ...],
//                  [(values, present, present_count), ...]), ...]
//
// carried is a sequence of (column, element width): columns whose
// elements each message's rows take along (timestamps, channels).
//
// Every buffer is bytes or a bytearray; a bytearray must not change while
// the call runs (the decoding runs without the GIL).
#pragma once

#include "python/Support.h"

// Adds _decode_signals to the module; false with a Python error.
bool SignalDecoding_addFunctions(PyObject* module);
