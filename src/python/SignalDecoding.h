// _decode_signals: the signals of CAN database messages cut out of frame
// columns in one pass (decode/cSignalPlan.h), for the package's
// decode_signals (python_can_brenix_mf4/_signals.py), which compiles the
// databases into the layouts' records and wraps the results with numpy.
//
//   _decode_signals(tables, rows, ids, extended, channels, usable, payload,
//                   offsets, lengths, carried, threads, row_numbers)
//     -> [None or (block, count, rows_at, [carried_at, ...],
//                  [(values_at, present, present_count), ...]), ...]
//
// Per message with rows, its `count` rows in one bytearray `block`: the
// arrays start at the byte offsets given (*_at), each of `count`
// elements: the row numbers (int64, with `row_numbers`, else rows_at is
// None), the carried columns, and per signal its values (float64, or the
// raw int64, uint64, float32 or float64). A signal missing in some row has its
// present bytes (bool) in a bytearray `present` of its own, else None.
//
// tables is a tuple (signals, selectors, messages, keys, databases,
// channel_databases, default_database): the records of the layouts as bytes
// (cSignalLayouts), channel_databases None or 512 int32. carried is a
// sequence of (column, element width): columns whose elements each
// message's rows take along (timestamps, channels).
//
// Every buffer is bytes or a bytearray; a bytearray must not change while
// the call runs (the decoding runs without the GIL). Where `threads`
// allows it, many rows are cut out in two halves on two threads.
//
//   _decode_log(reader, tables, batch_rows, row_numbers, threads)
//     -> (results as above, rows read, rows of no message)
//
// The same over the frames a _ColumnReader gives (whose filter keeps CAN
// data frames), read batch_rows at a time, the next batch filled on a
// second thread while one is extracted where `threads` allows it and the
// reads call no Python file object (mdf/cMdfSignals.h); the carried
// columns are timestamp, timestamp_ns and channel (codes). Row numbers
// count the reader's rows. Raises what the reader's fill raises for
// failed reads and closed files.
//
//   _decode_log_start(reader, batch_rows) -> prefetch or None
//   _decode_log_from(prefetch, tables, row_numbers, ids) -> as _decode_log
//   _decode_log_stop(prefetch)
//
// The same in two steps, so that the reading starts while the caller
// still makes the tables (parses its databases): _decode_log_start starts
// filling batches on a second thread (None where the reads call a Python
// file object, the file is busy or the machine has one CPU; the caller
// then decodes with _decode_log), and _decode_log_from decodes them, the
// reader's frames of other ids than `ids` (bytes of uint32) left out as
// if the reader had filtered them. The file stays busy from the start
// until the decoding, _decode_log_stop or the prefetch's collection
// spends it (its thread joined).
//
//   _channel_codes(items, itemsize, threads) -> (codes, first rows) or None
//
// Codes (a bytearray of uint16) of the fixed-width items in `items` (a
// column of channel names) numbered in order of appearance, and the row
// where each first appears; None when there are more than 64 distinct
// items. Many items are coded in two halves on two threads where
// `threads` allows it.
//
//   _channel_texts(items, names, itemsize, threads)
//     -> [(text, offset, chars), ...]
//
// The channel names of tables' rows, each table's as fixed-width text
// (UCS-4, numpy's "<U{chars}") from byte `offset` of a bytearray `text`:
// items are (buffer, offset, rows) of uint16 codes into `names` (bytes of
// fixed-width UCS-4 names of `itemsize` bytes each); each table's text is
// as wide as the widest name of its codes (at least a character), and a
// code beyond the names gives an empty one. A large text lives in huge
// pages; the work is shared with a second thread where `threads` allows
// it.
#pragma once

#include "python/Support.h"

// Adds _decode_signals, the _decode_log functions, _channel_codes and
// _channel_texts to the module; false with a Python error.
bool SignalDecoding_addFunctions(PyObject* module);
