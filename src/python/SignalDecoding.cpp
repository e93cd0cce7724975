#include "python/SignalDecoding.h"

#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <type_traits>
#include <vector>

#include "decode/cSignalPlan.h"

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

static bool allocate(const cSignalSpec& spec, const cSignalInput& input,
                     const std::vector<uint64_t>& counts, Buffers* buffers,
                     std::vector<int64_t*>* rows, std::vector<void*>* values,
                     std::vector<uint8_t*>* present,
                     std::vector<void*>* carried) {
  for (size_t m = 0; m < spec.messageCount; ++m) {
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
    const cSignalMessage& message = spec.messages[m];
    for (uint32_t s = 0; s < message.signalCount; ++s) {
      const size_t index = message.firstSignal + s;
      const cSignalLayout& layout = spec.signals[index];
      const uint64_t width =
          layout.raw != 0 && layout.kind == kSignalFloat32 ? 4 : 8;
      buffers->values[index] =
          OwnedRef(newBuffer(count * width, &(*values)[index]));
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
static PyObject* results(const cSignalSpec& spec, size_t carriedCount,
                         const Buffers& buffers,
                         const std::vector<uint64_t>& presentCounts) {
  OwnedRef list(PyList_New(static_cast<Py_ssize_t>(spec.messageCount)));
  if (!list) return nullptr;
  for (size_t m = 0; m < spec.messageCount; ++m) {
    PyObject* entry = Py_None;
    if (!buffers.rows[m]) {
      Py_INCREF(entry);
    } else {
      const cSignalMessage& message = spec.messages[m];
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

// _decode_signals(...): see SignalDecoding.h.
static PyObject* SignalDecoding_decode(PyObject*, PyObject* args) {
  PyObject* signalsObject = nullptr;
  PyObject* selectorsObject = nullptr;
  PyObject* messagesObject = nullptr;
  PyObject* keysObject = nullptr;
  unsigned long long databases = 0;
  PyObject* channelDatabasesObject = nullptr;
  int defaultDatabase = -1;
  unsigned long long rows = 0;
  PyObject* idsObject = nullptr;
  PyObject* extendedObject = nullptr;
  PyObject* channelsObject = nullptr;
  PyObject* usableObject = nullptr;
  PyObject* payloadObject = nullptr;
  PyObject* offsetsObject = nullptr;
  PyObject* lengthsObject = nullptr;
  PyObject* carriedObject = nullptr;
  if (!PyArg_ParseTuple(args, "OOOOKOiKOOOOOOOO:_decode_signals",
                        &signalsObject, &selectorsObject, &messagesObject,
                        &keysObject, &databases, &channelDatabasesObject,
                        &defaultDatabase, &rows, &idsObject, &extendedObject,
                        &channelsObject, &usableObject, &payloadObject,
                        &offsetsObject, &lengthsObject, &carriedObject))
    return nullptr;
  if (rows > (PY_SSIZE_T_MAX >> 7)) {
    PyErr_SetString(PyExc_ValueError, "rows out of range");
    return nullptr;
  }
  Bytes signals, selectors, messages, keys, channelDatabases;
  Bytes ids, extended, channels, usable, payload, offsets, lengths;
  if (!bytesOf(signalsObject, "signals", 0, false, &signals) ||
      !bytesOf(selectorsObject, "selectors", 0, false, &selectors) ||
      !bytesOf(messagesObject, "messages", 0, false, &messages) ||
      !bytesOf(keysObject, "keys", 0, false, &keys) ||
      !bytesOf(channelDatabasesObject, "channel_databases", 512 * 4, true,
               &channelDatabases) ||
      !bytesOf(idsObject, "ids", rows * 4, false, &ids) ||
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
  // The tables' records, copied into aligned storage.
  std::vector<cSignalLayout> signalRecords;
  std::vector<uint64_t> selectorValues;
  std::vector<cSignalMessage> messageRecords;
  std::vector<cSignalKey> keyRecords;
  std::vector<int32_t> channelTable;
  std::vector<int32_t> messageOfRow;
  std::vector<uint64_t> counts;
  try {
    auto copy = [](const Bytes& from, auto* to) {
      using T = typename std::remove_reference_t<decltype(*to)>::value_type;
      to->resize(from.size / sizeof(T));
      if (!to->empty())
        std::memcpy(to->data(), from.data, to->size() * sizeof(T));
    };
    copy(signals, &signalRecords);
    copy(selectors, &selectorValues);
    copy(messages, &messageRecords);
    copy(keys, &keyRecords);
    copy(channelDatabases, &channelTable);
    messageOfRow.resize(rows);
    counts.resize(messageRecords.size());
  } catch (const std::exception&) {
    return PyErr_NoMemory();
  }
  cSignalSpec spec{};
  spec.signals = signalRecords.data();
  spec.signalCount = signalRecords.size();
  spec.selectors = selectorValues.data();
  spec.selectorCount = selectorValues.size();
  spec.messages = messageRecords.data();
  spec.messageCount = messageRecords.size();
  spec.keys = keyRecords.data();
  spec.keyCount = keyRecords.size();
  spec.databaseCount = databases;
  spec.channelDatabase = channelTable.empty() ? nullptr : channelTable.data();
  spec.defaultDatabase = defaultDatabase;
  cReason reason{};
  std::unique_ptr<cSignalPlan, PlanDeleter> plan(
      cSignalPlan_ctor(&spec, &reason));
  if (!plan) {
    if (!cReason_isSet(&reason)) return PyErr_NoMemory();
    PyErr_Format(PyExc_ValueError, "signal spec: %s", cReason_text(&reason));
    return nullptr;
  }
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
      plan.get(), &input, messageOfRow.data(), counts.data(), &reason);
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
    carriedOut.assign(spec.messageCount * input.carriedCount, nullptr);
    buffers.carried.resize(carriedOut.size());
    rowOut.assign(spec.messageCount, nullptr);
    valueOut.assign(spec.signalCount, nullptr);
    presentOut.assign(spec.signalCount, nullptr);
    presentCounts.assign(spec.signalCount, 0);
    buffers.rows.resize(spec.messageCount);
    buffers.values.resize(spec.signalCount);
    buffers.present.resize(spec.signalCount);
  } catch (const std::exception&) {
    return PyErr_NoMemory();
  }
  if (!allocate(spec, input, counts, &buffers, &rowOut, &valueOut, &presentOut,
                &carriedOut))
    return nullptr;
  cSignalOutput output{rowOut.data(), valueOut.data(), presentOut.data(),
                       presentCounts.data(), carriedOut.data()};
  bool extracted = false;
  Py_BEGIN_ALLOW_THREADS extracted = cSignalPlan_extract(
      plan.get(), &input, messageOfRow.data(), counts.data(), &output);
  Py_END_ALLOW_THREADS if (!extracted) return PyErr_NoMemory();
  return results(spec, input.carriedCount, buffers, presentCounts);
}

static PyMethodDef SignalDecodingFunctions[] = {
    {"_decode_signals", SignalDecoding_decode, METH_VARARGS,
     "_decode_signals(signals, selectors, messages, keys, databases, "
     "channel_databases, default_database, rows, ids, extended, channels, "
     "usable, payload, offsets, lengths, carried, /)\n--\n\n"
     "The signals of database messages in frame columns (internal: see "
     "decode_signals)."},
    {nullptr, nullptr, 0, nullptr},
};

bool SignalDecoding_addFunctions(PyObject* module) {
  return PyModule_AddFunctions(module, SignalDecodingFunctions) == 0;
}
