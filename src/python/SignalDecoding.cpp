#include "python/SignalDecoding.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <type_traits>
#include <vector>

#include "decode/cSignalPlan.h"
#include "mdf/cMdfSignals.h"
#include "python/FrameColumns.h"
#include "python/MdfFile.h"

namespace {

// The bytes of a bytes or bytearray object, at least `size` of them.
struct Bytes {
  const uint8_t* data = nullptr;
  size_t size = 0;
};

// Owns a plan.
struct PlanDeleter {
  void operator()(cSignalPlan* plan) const { cSignalPlan_dtor(plan); }
};

}  // namespace

// `object` as bytes: None gives an empty view when `optional`; false with
// a Python error naming `what` for anything else or for fewer than
// `needed` bytes.
static bool bytesOf(PyObject* object, const char* what, size_t needed,
                    bool optional, Bytes* out) {
  *out = Bytes{};
  if (object == Py_None && optional) return true;
  if (PyBytes_Check(object)) {
    out->data = reinterpret_cast<const uint8_t*>(PyBytes_AsString(object));
    out->size = static_cast<size_t>(PyBytes_Size(object));
  } else if (PyByteArray_Check(object)) {
    out->data = reinterpret_cast<const uint8_t*>(PyByteArray_AsString(object));
    out->size = static_cast<size_t>(PyByteArray_Size(object));
  } else {
    PyErr_Format(PyExc_TypeError, "%s must be bytes or a bytearray", what);
    return false;
  }
  if (out->size < needed) {
    PyErr_Format(PyExc_ValueError, "%s: %zu bytes, needs %zu", what, out->size,
                 needed);
    return false;
  }
  return true;
}

// A new bytearray of `size` bytes (contents undefined) and its bytes.
static PyObject* newBuffer(uint64_t size, void** bytes) {
  PyObject* buffer =
      PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size));
  if (buffer != nullptr) *bytes = PyByteArray_AsString(buffer);
  return buffer;
}

// The output buffers of every message with rows: its row numbers, and per
// signal the values and present bytes. Sets the pointers extract writes
// through; false with a Python error.
struct Buffers {
  std::vector<OwnedRef> rows;     // per message
  std::vector<OwnedRef> values;   // per signal
  std::vector<OwnedRef> present;  // per signal
  std::vector<OwnedRef> carried;  // per message and carried column
};

// Bytes of a signal's value: 4 for raw float32, else 8.
static uint64_t valueWidth(const cSignalLayout& layout) {
  return layout.raw != 0 && layout.kind == kSignalFloat32 ? 4 : 8;
}

static bool allocate(const cSignalLayouts& layouts, const cSignalInput& input,
                     const std::vector<uint64_t>& counts, Buffers* buffers,
                     std::vector<int64_t*>* rows, std::vector<void*>* values,
                     std::vector<uint8_t*>* present,
                     std::vector<void*>* carried) {
  for (size_t m = 0; m < layouts.messageCount; ++m) {
    const uint64_t count = counts[m];
    if (count == 0) continue;
    void* bytes = nullptr;
    buffers->rows[m] = OwnedRef(newBuffer(count * 8, &bytes));
    if (!buffers->rows[m]) return false;
    (*rows)[m] = static_cast<int64_t*>(bytes);
    for (size_t c = 0; c < input.carriedCount; ++c) {
      const size_t at = m * input.carriedCount + c;
      buffers->carried[at] =
          OwnedRef(newBuffer(count * input.carriedWidths[c], &(*carried)[at]));
      if (!buffers->carried[at]) return false;
    }
    const cSignalMessage& message = layouts.messages[m];
    for (uint32_t s = 0; s < message.signalCount; ++s) {
      const size_t index = message.firstSignal + s;
      buffers->values[index] = OwnedRef(newBuffer(
          count * valueWidth(layouts.signals[index]), &(*values)[index]));
      if (!buffers->values[index]) return false;
      buffers->present[index] = OwnedRef(newBuffer(count, &bytes));
      if (!buffers->present[index]) return false;
      (*present)[index] = static_cast<uint8_t*>(bytes);
    }
  }
  return true;
}

// The result: per message None or (rows, [carried, ...], [(values,
// present, present_count), ...]).
static PyObject* results(const cSignalLayouts& layouts, size_t carriedCount,
                         const Buffers& buffers,
                         const std::vector<uint64_t>& presentCounts) {
  OwnedRef list(PyList_New(static_cast<Py_ssize_t>(layouts.messageCount)));
  if (!list) return nullptr;
  for (size_t m = 0; m < layouts.messageCount; ++m) {
    PyObject* entry = Py_None;
    if (!buffers.rows[m]) {
      Py_INCREF(entry);
    } else {
      const cSignalMessage& message = layouts.messages[m];
      OwnedRef signals(PyList_New(message.signalCount));
      if (!signals) return nullptr;
      for (uint32_t s = 0; s < message.signalCount; ++s) {
        const size_t index = message.firstSignal + s;
        PyObject* item = Py_BuildValue(
            "(OOK)", buffers.values[index].get(), buffers.present[index].get(),
            static_cast<unsigned long long>(presentCounts[index]));
        if (item == nullptr) return nullptr;
        PyList_SetItem(signals.get(), s, item);  // steals item
      }
      OwnedRef carried(PyList_New(static_cast<Py_ssize_t>(carriedCount)));
      if (!carried) return nullptr;
      for (size_t c = 0; c < carriedCount; ++c) {
        PyObject* column = buffers.carried[m * carriedCount + c].get();
        Py_INCREF(column);
        PyList_SetItem(carried.get(), static_cast<Py_ssize_t>(c), column);
      }
      entry =
          PyTuple_Pack(3, buffers.rows[m].get(), carried.get(), signals.get());
      if (entry == nullptr) return nullptr;
    }
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(m), entry);  // steals
  }
  return list.release();
}

// A plan compiled from the package's tables (bytes of records), which are
// first copied into aligned storage; the cSignalLayouts view refers to that
// storage.
struct CompiledPlan {
  std::vector<cSignalLayout> signals;
  std::vector<uint64_t> selectors;
  std::vector<cSignalMessage> messages;
  std::vector<cSignalKey> keys;
  std::vector<int32_t> channelDatabases;
  cSignalLayouts layouts{};
  std::unique_ptr<cSignalPlan, PlanDeleter> plan;
};

// Compiles the tables, a tuple (signals, selectors, messages, keys,
// databases, channel_databases, default_database): records as bytes,
// channel_databases None or 512 int32, into `out`; false with a Python
// error.
static bool compilePlan(PyObject* tables, CompiledPlan* out) {
  PyObject* signalsObject = nullptr;
  PyObject* selectorsObject = nullptr;
  PyObject* messagesObject = nullptr;
  PyObject* keysObject = nullptr;
  unsigned long long databases = 0;
  PyObject* channelDatabasesObject = nullptr;
  int defaultDatabase = -1;
  if (!PyTuple_Check(tables)) {
    PyErr_SetString(PyExc_TypeError, "tables must be a tuple");
    return false;
  }
  if (!PyArg_ParseTuple(tables, "OOOOKOi:tables", &signalsObject,
                        &selectorsObject, &messagesObject, &keysObject,
                        &databases, &channelDatabasesObject, &defaultDatabase))
    return false;
  Bytes signals, selectors, messages, keys, channelDatabases;
  if (!bytesOf(signalsObject, "signals", 0, false, &signals) ||
      !bytesOf(selectorsObject, "selectors", 0, false, &selectors) ||
      !bytesOf(messagesObject, "messages", 0, false, &messages) ||
      !bytesOf(keysObject, "keys", 0, false, &keys) ||
      !bytesOf(channelDatabasesObject, "channel_databases", 512 * 4, true,
               &channelDatabases))
    return false;
  try {
    auto copy = [](const Bytes& from, auto* to) {
      using T = typename std::remove_reference_t<decltype(*to)>::value_type;
      to->resize(from.size / sizeof(T));
      if (!to->empty())
        std::memcpy(to->data(), from.data, to->size() * sizeof(T));
    };
    copy(signals, &out->signals);
    copy(selectors, &out->selectors);
    copy(messages, &out->messages);
    copy(keys, &out->keys);
    copy(channelDatabases, &out->channelDatabases);
  } catch (const std::exception&) {
    PyErr_NoMemory();
    return false;
  }
  cSignalLayouts& layouts = out->layouts;
  layouts.signals = out->signals.data();
  layouts.signalCount = out->signals.size();
  layouts.selectors = out->selectors.data();
  layouts.selectorCount = out->selectors.size();
  layouts.messages = out->messages.data();
  layouts.messageCount = out->messages.size();
  layouts.keys = out->keys.data();
  layouts.keyCount = out->keys.size();
  layouts.databaseCount = databases;
  layouts.channelDatabase =
      out->channelDatabases.empty() ? nullptr : out->channelDatabases.data();
  layouts.defaultDatabase = defaultDatabase;
  cReason reason{};
  out->plan.reset(cSignalPlan_ctor(&layouts, &reason));
  if (out->plan) return true;
  if (!cReason_isSet(&reason)) {
    PyErr_NoMemory();
  } else {
    PyErr_Format(PyExc_ValueError, "signal layouts: %s", cReason_text(&reason));
  }
  return false;
}

// _decode_signals(...): see SignalDecoding.h.
static PyObject* SignalDecoding_decode(PyObject*, PyObject* args) {
  PyObject* tables = nullptr;
  unsigned long long rows = 0;
  PyObject* idsObject = nullptr;
  PyObject* extendedObject = nullptr;
  PyObject* channelsObject = nullptr;
  PyObject* usableObject = nullptr;
  PyObject* payloadObject = nullptr;
  PyObject* offsetsObject = nullptr;
  PyObject* lengthsObject = nullptr;
  PyObject* carriedObject = nullptr;
  if (!PyArg_ParseTuple(args, "OKOOOOOOOO:_decode_signals", &tables, &rows,
                        &idsObject, &extendedObject, &channelsObject,
                        &usableObject, &payloadObject, &offsetsObject,
                        &lengthsObject, &carriedObject))
    return nullptr;
  if (rows > (PY_SSIZE_T_MAX >> 7)) {
    PyErr_SetString(PyExc_ValueError, "rows out of range");
    return nullptr;
  }
  CompiledPlan compiled;
  if (!compilePlan(tables, &compiled)) return nullptr;
  Bytes ids, extended, channels, usable, payload, offsets, lengths;
  if (!bytesOf(idsObject, "ids", rows * 4, false, &ids) ||
      !bytesOf(extendedObject, "extended", rows, false, &extended) ||
      !bytesOf(channelsObject, "channels", rows * 2, true, &channels) ||
      !bytesOf(usableObject, "usable", rows, true, &usable) ||
      !bytesOf(payloadObject, "payload", 0, false, &payload) ||
      !bytesOf(offsetsObject, "offsets", (rows + 1) * 8, true, &offsets) ||
      !bytesOf(lengthsObject, "lengths", rows, offsets.data != nullptr,
               &lengths))
    return nullptr;
  // The carried columns: a sequence of (buffer, element width).
  OwnedRef carriedItems(PySequence_Fast(carriedObject, "carried"));
  if (!carriedItems) return nullptr;
  const Py_ssize_t carriedCount = PySequence_Size(carriedItems.get());
  if (carriedCount < 0) return nullptr;
  std::vector<const void*> carriedColumns;
  std::vector<uint32_t> carriedWidths;
  try {
    for (Py_ssize_t c = 0; c < carriedCount; ++c) {
      PyObject* item = PySequence_GetItem(carriedItems.get(), c);
      if (item == nullptr) return nullptr;
      OwnedRef owned(item);
      PyObject* column = nullptr;
      unsigned int width = 0;
      if (!PyArg_ParseTuple(item, "OI:carried", &column, &width))
        return nullptr;
      if (width != 1 && width != 2 && width != 4 && width != 8) {
        PyErr_SetString(PyExc_ValueError, "carried: widths 1, 2, 4 or 8");
        return nullptr;
      }
      Bytes bytes;
      if (!bytesOf(column, "carried", rows * width, false, &bytes))
        return nullptr;
      carriedColumns.push_back(bytes.data);
      carriedWidths.push_back(width);
    }
  } catch (const std::exception&) {
    return PyErr_NoMemory();
  }
  std::vector<int32_t> messageOfRow;
  std::vector<uint64_t> counts;
  try {
    messageOfRow.resize(rows);
    counts.resize(compiled.messages.size());
  } catch (const std::exception&) {
    return PyErr_NoMemory();
  }
  const cSignalLayouts& layouts = compiled.layouts;
  cSignalPlan* plan = compiled.plan.get();
  cReason reason{};
  cSignalInput input{};
  input.rows = rows;
  input.ids = reinterpret_cast<const uint32_t*>(ids.data);
  input.extended = extended.data;
  input.channels = reinterpret_cast<const uint16_t*>(channels.data);
  input.usable = usable.data;
  input.payload = payload.data;
  input.payloadSize = payload.size;
  input.offsets = reinterpret_cast<const int64_t*>(offsets.data);
  input.lengths = lengths.data;
  input.carried = carriedColumns.data();
  input.carriedWidths = carriedWidths.data();
  input.carriedCount = carriedWidths.size();
  bool matched = false;
  Py_BEGIN_ALLOW_THREADS matched = cSignalPlan_match(
      plan, &input, messageOfRow.data(), counts.data(), &reason);
  Py_END_ALLOW_THREADS if (!matched) {
    PyErr_Format(PyExc_ValueError, "data: %s", cReason_text(&reason));
    return nullptr;
  }
  std::vector<int64_t*> rowOut;
  std::vector<void*> valueOut;
  std::vector<uint8_t*> presentOut;
  std::vector<uint64_t> presentCounts;
  std::vector<void*> carriedOut;
  Buffers buffers;
  try {
    carriedOut.assign(layouts.messageCount * input.carriedCount, nullptr);
    buffers.carried.resize(carriedOut.size());
    rowOut.assign(layouts.messageCount, nullptr);
    valueOut.assign(layouts.signalCount, nullptr);
    presentOut.assign(layouts.signalCount, nullptr);
    presentCounts.assign(layouts.signalCount, 0);
    buffers.rows.resize(layouts.messageCount);
    buffers.values.resize(layouts.signalCount);
    buffers.present.resize(layouts.signalCount);
  } catch (const std::exception&) {
    return PyErr_NoMemory();
  }
  if (!allocate(layouts, input, counts, &buffers, &rowOut, &valueOut,
                &presentOut, &carriedOut))
    return nullptr;
  cSignalOutput output{rowOut.data(), valueOut.data(), presentOut.data(),
                       presentCounts.data(), carriedOut.data()};
  bool extracted = false;
  Py_BEGIN_ALLOW_THREADS extracted = cSignalPlan_extract(
      plan, &input, messageOfRow.data(), counts.data(), &output);
  Py_END_ALLOW_THREADS if (!extracted) return PyErr_NoMemory();
  return results(layouts, input.carriedCount, buffers, presentCounts);
}

// Where _decode_log keeps the rows of each message: the arrays of
// `Buffers`, grown between batches to `capacity` rows, of which `written`
// hold rows, and the pointers each batch's extraction writes through.
struct LogSink {
  const cSignalLayouts* layouts = nullptr;
  Buffers buffers;
  std::vector<uint64_t> written;     // per message
  std::vector<uint64_t> capacity;    // per message
  std::vector<int64_t*> rowOut;      // per message
  std::vector<void*> valueOut;       // per signal
  std::vector<uint8_t*> presentOut;  // per signal
  std::vector<void*> carriedOut;     // per message and carried column
  uint64_t estimate = 0;  // rows the file may give, for the first sizes
  uint64_t matched = 0;   // rows of messages so far
  // The thread state while the decoding runs without the GIL, else null.
  PyThreadState* released = nullptr;
};

// Bytes per row of the carried columns (timestamp, timestamp_ns, channel).
static const uint64_t kCarriedWidths[kMdfSignalCarried] = {8, 8, 2};

// `*buffer` holding `size` bytes: created when null, else resized (its
// bytes kept); its bytes, or null with a Python error.
static uint8_t* sized(OwnedRef* buffer, uint64_t size) {
  if (size > static_cast<uint64_t>(PY_SSIZE_T_MAX)) {
    PyErr_NoMemory();
    return nullptr;
  }
  void* bytes = nullptr;
  if (!*buffer) {
    *buffer = OwnedRef(newBuffer(size, &bytes));
    return static_cast<uint8_t*>(bytes);
  }
  if (PyByteArray_Resize(buffer->get(), static_cast<Py_ssize_t>(size)) < 0)
    return nullptr;
  return reinterpret_cast<uint8_t*>(PyByteArray_AsString(buffer->get()));
}

// The rows message m is given room for when `need` exceed its capacity:
// exactly `need` in the last batch; else half as many again, or a quarter
// more than the file may hold at the message's share of the rows so far
// (at most 64 times `need`, so that a log of which few frames match
// reserves little), whichever is more: growing an array may copy it.
// Rows reserved and not written are given back at the end, and pages
// never written cost no memory.
static uint64_t grownCapacity(const LogSink& sink, size_t m, uint64_t need,
                              bool last) {
  if (last) return need;
  uint64_t grown = std::max(need, sink.capacity[m] + sink.capacity[m] / 2);
  if (sink.matched > 0 && sink.estimate > sink.matched) {
    const double share = 1.25 * static_cast<double>(need) *
                         static_cast<double>(sink.estimate) /
                         static_cast<double>(sink.matched);
    const double most = 64.0 * static_cast<double>(need);
    const double projected = std::min(share, most);
    if (projected < 4e18)
      grown = std::max(grown, static_cast<uint64_t>(projected));
  }
  return grown;
}

// Room for a batch's rows (GIL held); false with a Python error.
static bool LogSink_grow(LogSink* sink, const uint64_t* counts, bool last) {
  if (PyErr_Occurred() != nullptr) return false;  // a file object failed
  const cSignalLayouts& layouts = *sink->layouts;
  for (size_t m = 0; m < layouts.messageCount; ++m) sink->matched += counts[m];
  for (size_t m = 0; m < layouts.messageCount; ++m) {
    if (counts[m] == 0) continue;
    const uint64_t written = sink->written[m];
    const uint64_t need = written + counts[m];
    const bool grow = need > sink->capacity[m];
    const uint64_t rows =
        grow ? grownCapacity(*sink, m, need, last) : sink->capacity[m];
    if (rows > static_cast<uint64_t>(PY_SSIZE_T_MAX) / 8) {
      PyErr_NoMemory();
      return false;
    }
    // Every array is sized anew when the message grows; the pointers are
    // taken again in every batch (the arrays may have moved).
    auto place = [&](OwnedRef* buffer, uint64_t width) -> uint8_t* {
      if (grow) {
        uint8_t* bytes = sized(buffer, rows * width);
        return bytes != nullptr ? bytes + written * width : nullptr;
      }
      return reinterpret_cast<uint8_t*>(PyByteArray_AsString(buffer->get())) +
             written * width;
    };
    uint8_t* at = place(&sink->buffers.rows[m], 8);
    if (at == nullptr) return false;
    sink->rowOut[m] = reinterpret_cast<int64_t*>(at);
    for (size_t c = 0; c < kMdfSignalCarried; ++c) {
      const size_t index = m * kMdfSignalCarried + c;
      at = place(&sink->buffers.carried[index], kCarriedWidths[c]);
      if (at == nullptr) return false;
      sink->carriedOut[index] = at;
    }
    const cSignalMessage& message = layouts.messages[m];
    for (uint32_t s = 0; s < message.signalCount; ++s) {
      const size_t index = message.firstSignal + s;
      at = place(&sink->buffers.values[index],
                 valueWidth(layouts.signals[index]));
      if (at == nullptr) return false;
      sink->valueOut[index] = at;
      at = place(&sink->buffers.present[index], 1);
      if (at == nullptr) return false;
      sink->presentOut[index] = at;
    }
    sink->capacity[m] = rows;
    sink->written[m] = need;
  }
  return true;
}

// cMdfSignalSink.reserve: takes the GIL for the arrays' growth.
static bool LogSink_reserve(void* context, const uint64_t* counts, bool last,
                            cSignalOutput* output) {
  LogSink* sink = static_cast<LogSink*>(context);
  if (sink->released != nullptr) PyEval_RestoreThread(sink->released);
  const bool grown = LogSink_grow(sink, counts, last);
  if (sink->released != nullptr) sink->released = PyEval_SaveThread();
  output->rows = sink->rowOut.data();
  output->values = sink->valueOut.data();
  output->present = sink->presentOut.data();
  output->carried = sink->carriedOut.data();
  return grown;
}

// Every array cut to the rows written; false with a Python error.
static bool LogSink_finish(LogSink* sink) {
  const cSignalLayouts& layouts = *sink->layouts;
  for (size_t m = 0; m < layouts.messageCount; ++m) {
    const uint64_t rows = sink->written[m];
    if (rows == 0 || rows == sink->capacity[m]) continue;
    bool ok = sized(&sink->buffers.rows[m], rows * 8) != nullptr;
    for (size_t c = 0; ok && c < kMdfSignalCarried; ++c)
      ok = sized(&sink->buffers.carried[m * kMdfSignalCarried + c],
                 rows * kCarriedWidths[c]) != nullptr;
    const cSignalMessage& message = layouts.messages[m];
    for (uint32_t s = 0; ok && s < message.signalCount; ++s) {
      const size_t index = message.firstSignal + s;
      ok = sized(&sink->buffers.values[index],
                 rows * valueWidth(layouts.signals[index])) != nullptr &&
           sized(&sink->buffers.present[index], rows) != nullptr;
    }
    if (!ok) return false;
    sink->capacity[m] = rows;
  }
  return true;
}

// _decode_log(...): see SignalDecoding.h.
static PyObject* SignalDecoding_decodeLog(PyObject*, PyObject* args) {
  PyObject* readerObject = nullptr;
  PyObject* tables = nullptr;
  unsigned long long batchRows = 0;
  if (!PyArg_ParseTuple(args, "OOK:_decode_log", &readerObject, &tables,
                        &batchRows))
    return nullptr;
  if (!ColumnReader_check(readerObject)) {
    PyErr_SetString(PyExc_TypeError, "reader must be a _ColumnReader");
    return nullptr;
  }
  auto* reader = reinterpret_cast<ColumnReaderObject*>(readerObject);
  if (reader->detached || reader->reader == nullptr) {
    PyErr_SetString(PyExc_RuntimeError, "Handle has been closed");
    return nullptr;
  }
  if (batchRows == 0 || batchRows > (PY_SSIZE_T_MAX >> 7)) {
    PyErr_SetString(PyExc_ValueError, "batch_rows out of range");
    return nullptr;
  }
  CompiledPlan compiled;
  if (!compilePlan(tables, &compiled)) return nullptr;
  const cSignalLayouts& layouts = compiled.layouts;
  LogSink sink;
  std::vector<uint64_t> presentCounts;
  try {
    sink.layouts = &layouts;
    sink.buffers.rows.resize(layouts.messageCount);
    sink.buffers.carried.resize(layouts.messageCount * kMdfSignalCarried);
    sink.buffers.values.resize(layouts.signalCount);
    sink.buffers.present.resize(layouts.signalCount);
    sink.written.assign(layouts.messageCount, 0);
    sink.capacity.assign(layouts.messageCount, 0);
    sink.rowOut.assign(layouts.messageCount, nullptr);
    sink.carriedOut.assign(layouts.messageCount * kMdfSignalCarried, nullptr);
    sink.valueOut.assign(layouts.signalCount, nullptr);
    sink.presentOut.assign(layouts.signalCount, nullptr);
    presentCounts.assign(layouts.signalCount, 0);
  } catch (const std::exception&) {
    return PyErr_NoMemory();
  }
  sink.estimate = cMdfColumnReader_rowEstimate(reader->reader);
  auto* owner = reinterpret_cast<MdfFileObject*>(reader->owner);
  if (!MdfFile_enter(owner)) return nullptr;
  const cMdfSignalSink callbacks{&sink, LogSink_reserve};
  cMdfSignalRun run{};
  int32_t result = kMdfSignalsDone;
  if (owner->pythonSource) {
    // The reads call the file object's methods: the GIL stays, and the
    // batches are filled in turn.
    result = cMdfSignals_decode(reader->reader, compiled.plan.get(), batchRows,
                                false, &callbacks, presentCounts.data(), &run);
  } else {
    sink.released = PyEval_SaveThread();
    result = cMdfSignals_decode(reader->reader, compiled.plan.get(), batchRows,
                                true, &callbacks, presentCounts.data(), &run);
    PyEval_RestoreThread(sink.released);
    sink.released = nullptr;
  }
  MdfFile_leave(owner);
  // A file object, container or read that failed: the rows may miss
  // frames.
  if (PyErr_Occurred() != nullptr || MdfFile_raiseContainerFault(owner) ||
      raiseReadFailure(cMdfColumnReader_failure(reader->reader)))
    return nullptr;
  if (result == kMdfSignalsNoMemory) return PyErr_NoMemory();
  if (result != kMdfSignalsDone) {
    PyErr_Format(PyExc_RuntimeError, "signal decoding failed (%d)", result);
    return nullptr;
  }
  if (!LogSink_finish(&sink)) return nullptr;
  OwnedRef list(
      results(layouts, kMdfSignalCarried, sink.buffers, presentCounts));
  if (!list) return nullptr;
  return Py_BuildValue("(OKK)", list.get(),
                       static_cast<unsigned long long>(run.rows),
                       static_cast<unsigned long long>(run.unmatched));
}

// Distinct items _channel_codes tells apart by comparison; more take a
// sort in Python.
constexpr size_t kMaxChannelNames = 64;

// _channel_codes(items, itemsize): see SignalDecoding.h.
static PyObject* SignalDecoding_channelCodes(PyObject*, PyObject* args) {
  PyObject* itemsObject = nullptr;
  Py_ssize_t itemSize = 0;
  if (!PyArg_ParseTuple(args, "On:_channel_codes", &itemsObject, &itemSize))
    return nullptr;
  Bytes items;
  if (!bytesOf(itemsObject, "items", 0, false, &items)) return nullptr;
  if (itemSize <= 0 || items.size % static_cast<size_t>(itemSize) != 0) {
    PyErr_SetString(PyExc_ValueError, "items: not a whole number of items");
    return nullptr;
  }
  const auto size = static_cast<size_t>(itemSize);
  const size_t rows = items.size / size;
  void* bytes = nullptr;
  OwnedRef codesObject(newBuffer(rows * 2, &bytes));
  if (!codesObject) return nullptr;
  auto* codes = static_cast<uint16_t*>(bytes);
  size_t firsts[kMaxChannelNames];
  size_t found = 0;
  bool many = false;
  Py_BEGIN_ALLOW_THREADS
      // Logs have a handful of channels, mostly in runs: the last item's code
      // first, then each item found so far.
      size_t last = 0;
  for (size_t r = 0; r < rows && !many; ++r) {
    const uint8_t* item = items.data + r * size;
    if (found > 0 &&
        std::memcmp(item, items.data + firsts[last] * size, size) == 0) {
      codes[r] = static_cast<uint16_t>(last);
      continue;
    }
    size_t code = 0;
    while (code < found &&
           std::memcmp(item, items.data + firsts[code] * size, size) != 0)
      ++code;
    if (code == found) {
      if (found == kMaxChannelNames) {
        many = true;
        break;
      }
      firsts[found++] = r;
    }
    codes[r] = static_cast<uint16_t>(code);
    last = code;
  }
  Py_END_ALLOW_THREADS if (many) Py_RETURN_NONE;
  OwnedRef rowsOf(PyList_New(static_cast<Py_ssize_t>(found)));
  if (!rowsOf) return nullptr;
  for (size_t i = 0; i < found; ++i) {
    PyObject* row = PyLong_FromSize_t(firsts[i]);
    if (row == nullptr) return nullptr;
    PyList_SetItem(rowsOf.get(), static_cast<Py_ssize_t>(i), row);  // steals
  }
  return PyTuple_Pack(2, codesObject.get(), rowsOf.get());
}

static PyMethodDef SignalDecodingFunctions[] = {
    {"_decode_signals", SignalDecoding_decode, METH_VARARGS,
     "_decode_signals(tables, rows, ids, extended, channels, usable, "
     "payload, offsets, lengths, carried, /)\n--\n\n"
     "The signals of database messages in frame columns (internal: see "
     "decode_signals)."},
    {"_decode_log", SignalDecoding_decodeLog, METH_VARARGS,
     "_decode_log(reader, tables, batch_rows, /)\n--\n\n"
     "The signals of database messages in the frames a column reader gives "
     "(internal: see MdfFile.decode_signals)."},
    {"_channel_codes", SignalDecoding_channelCodes, METH_VARARGS,
     "_channel_codes(items, itemsize, /)\n--\n\n"
     "Codes of fixed-width items and the first row of each, or None for "
     "many distinct items (internal: see decode_signals)."},
    {nullptr, nullptr, 0, nullptr},
};

bool SignalDecoding_addFunctions(PyObject* module) {
  return PyModule_AddFunctions(module, SignalDecodingFunctions) == 0;
}
