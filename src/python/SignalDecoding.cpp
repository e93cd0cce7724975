#include "python/SignalDecoding.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "decode/cSignalPlan.h"
#include "mdf/cMdfSignals.h"
#include "mdf/cPages.h"
#include "python/FrameColumns.h"
#include "python/MdfFile.h"
#include "streams/cCoding.h"

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

// A message's output arrays in one bytearray, its block: each array of
// `capacity` elements from its offset, in the order rows (the row
// numbers, when wanted), the carried columns, then per signal its values.
// One block a message keeps its arrays' pages together (a large block in
// huge pages) and grows with one copy. Present bytes are kept only for
// signals that miss a value somewhere (Outputs).
struct MessageBlock {
  OwnedRef block;
  uint8_t* bytes = nullptr;  // the bytearray's, while it is not resized
  bool huge = false;         // asked to live in huge pages
  // With `huge`, the end of its huge pages (those from its first array on).
  const uint8_t* hugeEnd = nullptr;
  uint64_t capacity = 0;
  uint64_t written = 0;           // rows given out
  bool rows = false;              // the first array holds the row numbers
  size_t carried = 0;             // carried columns after it
  std::vector<uint32_t> widths;   // per array: bytes an element
  std::vector<uint64_t> offsets;  // per array: where it starts
};

// The arrays of message m's block (no block yet).
static void shapeBlock(const cSignalPlan* plan, size_t m, bool rows,
                       const uint32_t* carriedWidths, size_t carriedCount,
                       MessageBlock* block) {
  block->rows = rows;
  block->carried = carriedCount;
  if (rows) block->widths.push_back(8);
  block->widths.insert(block->widths.end(), carriedWidths,
                       carriedWidths + carriedCount);
  const cSignalMessage message = cSignalPlan_message(plan, m);
  for (uint32_t s = 0; s < message.signalCount; ++s)
    block->widths.push_back(
        cSignalPlan_valueWidth(plan, message.firstSignal + s));
  block->offsets.assign(block->widths.size(), 0);
}

// Blocks of at least this many bytes live in huge pages: first touches
// of fresh memory then fault once per 2 MiB instead of once per 4 KiB. A
// block's arrays then start at a huge page boundary (the bytearray has a
// huge page more, whose part before the boundary is never touched), so
// that all of it but the last part page is in huge pages.
constexpr uint64_t kHugeBlock = kPagesHuge;

// The block given room for `capacity` rows: a new bytearray into which
// the rows written so far are copied; false with a Python error. A block
// in huge pages takes what it can of those `pages` has faulted in.
static bool placeBlock(MessageBlock* block, uint64_t capacity,
                       cPagePool* pages) {
  std::vector<uint64_t> offsets(block->widths.size());
  uint64_t size = 0;
  for (size_t i = 0; i < block->widths.size(); ++i) {
    offsets[i] = size;
    const uint64_t bytes = capacity * block->widths[i];
    if (capacity > (UINT64_MAX >> 4) / 8 ||
        size > static_cast<uint64_t>(PY_SSIZE_T_MAX) - bytes - 8 - kPagesHuge) {
      PyErr_NoMemory();
      return false;
    }
    size += (bytes + 7) & ~uint64_t{7};  // every array 8-byte aligned
  }
  const bool huge = size >= kHugeBlock;
  PyObject* object = PyByteArray_FromStringAndSize(
      nullptr, static_cast<Py_ssize_t>(size + (huge ? kPagesHuge : 0)));
  if (object == nullptr) return false;
  OwnedRef grown(object);
  auto* bytes = reinterpret_cast<uint8_t*>(PyByteArray_AsString(object));
  if (huge) {
    const uint64_t lead =
        (kPagesHuge - reinterpret_cast<uintptr_t>(bytes) % kPagesHuge) %
        kPagesHuge;
    for (uint64_t& offset : offsets) offset += lead;
    cPages_preferHuge(bytes + lead, size);
    cPagePool_give(pages, bytes + lead, size);
  }
  if (block->block && block->written > 0) {
    for (size_t i = 0; i < block->widths.size(); ++i)
      std::memcpy(bytes + offsets[i], block->bytes + block->offsets[i],
                  block->written * block->widths[i]);
  }
  block->block = std::move(grown);
  block->bytes = bytes;
  block->huge = huge;
  block->hugeEnd =
      huge ? bytes + offsets[0] + (size & ~(kPagesHuge - 1)) : nullptr;
  block->offsets.swap(offsets);
  block->capacity = capacity;
  return true;
}

// Where array i's next rows go.
static uint8_t* nextOf(const MessageBlock& block, size_t i) {
  return block.bytes + block.offsets[i] + block.written * block.widths[i];
}

// The pointers extract writes message m's next rows through (but the
// present bytes).
static void pointTo(const cSignalLayouts& layouts, size_t m,
                    const MessageBlock& block, int64_t** rows, void** carried,
                    void** values) {
  size_t i = 0;
  if (block.rows) rows[m] = reinterpret_cast<int64_t*>(nextOf(block, i++));
  for (size_t c = 0; c < block.carried; ++c)
    carried[m * block.carried + c] = nextOf(block, i++);
  const cSignalMessage& message = layouts.messages[m];
  for (uint32_t s = 0; s < message.signalCount; ++s)
    values[message.firstSignal + s] = nextOf(block, i++);
}

// Gives the pages of the room beyond the rows written back to the system
// (a block in huge pages has them in memory once a row near them is). Of
// its huge pages, only those the room holds whole: giving back a part of
// one splits it into small pages, every one a page table entry (and a TLB
// entry) for the arrays' users.
static void releaseRoom(const MessageBlock& block) {
  if (!block.block || block.written == block.capacity) return;
  for (size_t i = 0; i < block.widths.size(); ++i) {
    uint8_t* room =
        block.bytes + block.offsets[i] + block.written * block.widths[i];
    uint64_t size = (block.capacity - block.written) * block.widths[i];
    if (block.huge && room < block.hugeEnd) {
      const uint64_t inHuge =
          std::min<uint64_t>(size, static_cast<uint64_t>(block.hugeEnd - room));
      cPages_release(room, inHuge, kPagesHuge);
      room += inHuge;
      size -= inHuge;
    }
    cPages_release(room, size, 0);
  }
}

// Every message's block, the present bytes of the signals that miss a
// value somewhere, and the pointers extract writes through. A batch's
// present bytes go to a scratch buffer first, and into an array of the
// signal's own (of its block's capacity) once the signal misses a value;
// a signal that never does has no present array.
struct Outputs {
  std::vector<MessageBlock> blocks;  // per message
  std::vector<OwnedRef> present;     // per signal, or null
  cPagesBlock scratch;               // a batch's present bytes
  uint64_t scratchBytes = 0;
  std::vector<uint64_t> counts;         // per message: the batch's rows
  std::vector<int64_t*> rowOut;         // per message, null: not wanted
  std::vector<void*> carriedOut;        // per message and carried column
  std::vector<void*> valueOut;          // per signal
  std::vector<uint8_t*> presentOut;     // per signal
  std::vector<uint64_t> presentCounts;  // per signal
  cPagePool* pages = nullptr;           // faulted in ahead, for the blocks

  cSignalOutput output() {
    return cSignalOutput{rowOut.data(), valueOut.data(), presentOut.data(),
                         presentCounts.data(), carriedOut.data()};
  }
};

// Outputs shaped for the plan's messages (no blocks yet); false with a Python
// error.
static bool prepare(const cSignalPlan* plan, bool rows,
                    const uint32_t* carriedWidths, size_t carriedCount,
                    Outputs* out) {
  const size_t messages = cSignalPlan_messageCount(plan);
  const size_t signals = cSignalPlan_signalCount(plan);
  try {
    out->blocks.resize(messages);
    for (size_t m = 0; m < messages; ++m)
      shapeBlock(plan, m, rows, carriedWidths, carriedCount, &out->blocks[m]);
    out->present.resize(signals);
    out->counts.assign(messages, 0);
    out->rowOut.assign(messages, nullptr);
    out->carriedOut.assign(messages * carriedCount, nullptr);
    out->valueOut.assign(signals, nullptr);
    out->presentOut.assign(signals, nullptr);
    out->presentCounts.assign(signals, 0);
  } catch (const std::exception&) {
    PyErr_NoMemory();
    return false;
  }
  return true;
}

// The bytes of a present array.
static uint8_t* presentBytes(const OwnedRef& array) {
  return reinterpret_cast<uint8_t*>(PyByteArray_AsString(array.get()));
}

// Room for counts[m] more rows of each message, its block grown to
// capacity(m, rows needed) where that is short, and the pointers extract
// writes them through. False with a Python error.
template <typename Capacity>
static bool makeRoom(const cSignalLayouts& layouts, const uint64_t* counts,
                     Capacity capacity, Outputs* out) {
  uint64_t scratch = 0;
  bool tooMany = false;
  for (size_t m = 0; m < layouts.messageCount; ++m) {
    uint64_t bytes = 0;
    tooMany |= __builtin_mul_overflow(
                   counts[m], layouts.messages[m].signalCount, &bytes) ||
               __builtin_add_overflow(scratch, bytes, &scratch);
  }
  if (tooMany) {
    PyErr_NoMemory();
    return false;
  }
  if (out->scratchBytes < scratch) {  // its bytes are written before read
    // Batch after batch the rows' messages vary: half as much again,
    // so that the scratch is not made anew (in fresh pages) for a few
    // rows more.
    scratch = std::max(scratch, out->scratchBytes + out->scratchBytes / 2);
    out->scratch.reset();
    out->scratch = cPages_block(scratch);
    if (!out->scratch) {
      out->scratchBytes = 0;
      PyErr_NoMemory();
      return false;
    }
    out->scratchBytes = scratch;
  }
  uint8_t* free = out->scratch.get();
  for (size_t m = 0; m < layouts.messageCount; ++m) {
    out->counts[m] = counts[m];
    if (counts[m] == 0) continue;
    MessageBlock& block = out->blocks[m];
    const uint64_t first = block.written;
    const uint64_t need = first + counts[m];
    const cSignalMessage& message = layouts.messages[m];
    if (need > block.capacity) {
      if (!placeBlock(&block, capacity(m, block.capacity, need), out->pages))
        return false;
      for (uint32_t s = 0; s < message.signalCount; ++s) {
        const OwnedRef& array = out->present[message.firstSignal + s];
        if (array && PyByteArray_Resize(array.get(), static_cast<Py_ssize_t>(
                                                         block.capacity)) < 0)
          return false;
      }
    }
    // The pointers are taken again in every batch (the block may have
    // moved).
    pointTo(layouts, m, block, out->rowOut.data(), out->carriedOut.data(),
            out->valueOut.data());
    for (uint32_t s = 0; s < message.signalCount; ++s) {
      const size_t index = message.firstSignal + s;
      if (out->present[index]) {
        out->presentOut[index] = presentBytes(out->present[index]) + first;
      } else {
        out->presentOut[index] = free;
        free += counts[m];
      }
    }
    block.written = need;
  }
  return true;
}

// After a batch's extraction: a signal that missed a value in it for the
// first time gets a present array (every earlier row present) with the
// batch's present bytes. False with a Python error.
static bool keepMissing(const cSignalLayouts& layouts,
                        const uint64_t* batchPresent, Outputs* out) {
  for (size_t m = 0; m < layouts.messageCount; ++m) {
    const uint64_t count = out->counts[m];
    if (count == 0) continue;
    const MessageBlock& block = out->blocks[m];
    const uint64_t first = block.written - count;
    const cSignalMessage& message = layouts.messages[m];
    for (uint32_t s = 0; s < message.signalCount; ++s) {
      const size_t index = message.firstSignal + s;
      if (out->present[index] || batchPresent[index] == count) continue;
      void* bytes = nullptr;
      OwnedRef array(newBuffer(block.capacity, &bytes));
      if (!array) return false;
      std::memset(bytes, 1, first);
      std::memcpy(static_cast<uint8_t*>(bytes) + first, out->presentOut[index],
                  count);
      out->present[index] = std::move(array);
    }
  }
  return true;
}

// The room no row took given back: the blocks' pages, and the present
// arrays cut to their rows. False with a Python error.
static bool finish(const cSignalLayouts& layouts, Outputs* out) {
  for (size_t m = 0; m < layouts.messageCount; ++m) {
    const MessageBlock& block = out->blocks[m];
    releaseRoom(block);
    const cSignalMessage& message = layouts.messages[m];
    for (uint32_t s = 0; s < message.signalCount; ++s) {
      const OwnedRef& array = out->present[message.firstSignal + s];
      if (array && block.written < block.capacity &&
          PyByteArray_Resize(array.get(),
                             static_cast<Py_ssize_t>(block.written)) < 0)
        return false;
    }
  }
  return true;
}

// The result: per message None or (block, rows written, rows offset or
// None, [carried offset, ...], [(values offset, present bytes or None,
// present count), ...]); a signal without present bytes missed no value.
static PyObject* results(const cSignalLayouts& layouts, const Outputs& out) {
  OwnedRef list(PyList_New(static_cast<Py_ssize_t>(layouts.messageCount)));
  if (!list) return nullptr;
  for (size_t m = 0; m < layouts.messageCount; ++m) {
    const MessageBlock& block = out.blocks[m];
    PyObject* entry = Py_None;
    if (!block.block || block.written == 0) {
      Py_INCREF(entry);
    } else {
      size_t i = 0;
      OwnedRef rowsAt =
          block.rows ? OwnedRef(PyLong_FromUnsignedLongLong(block.offsets[i++]))
                     : OwnedRef::borrow(Py_None);
      if (!rowsAt) return nullptr;
      OwnedRef carried(PyList_New(static_cast<Py_ssize_t>(block.carried)));
      if (!carried) return nullptr;
      for (size_t c = 0; c < block.carried; ++c) {
        PyObject* at = PyLong_FromUnsignedLongLong(block.offsets[i++]);
        if (at == nullptr) return nullptr;
        PyList_SetItem(carried.get(), static_cast<Py_ssize_t>(c), at);
      }
      const cSignalMessage& message = layouts.messages[m];
      OwnedRef signals(PyList_New(message.signalCount));
      if (!signals) return nullptr;
      for (uint32_t s = 0; s < message.signalCount; ++s, ++i) {
        const size_t index = message.firstSignal + s;
        const OwnedRef& present = out.present[index];
        PyObject* item = Py_BuildValue(
            "(KOK)", static_cast<unsigned long long>(block.offsets[i]),
            present ? present.get() : Py_None,
            static_cast<unsigned long long>(out.presentCounts[index]));
        if (item == nullptr) return nullptr;
        PyList_SetItem(signals.get(), s, item);  // steals item
      }
      entry = Py_BuildValue("(OKOOO)", block.block.get(),
                            static_cast<unsigned long long>(block.written),
                            rowsAt.get(), carried.get(), signals.get());
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
  int threads = 0;
  int rowNumbers = 0;
  if (!PyArg_ParseTuple(args, "OKOOOOOOOOpp:_decode_signals", &tables, &rows,
                        &idsObject, &extendedObject, &channelsObject,
                        &usableObject, &payloadObject, &offsetsObject,
                        &lengthsObject, &carriedObject, &threads, &rowNumbers))
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
  // Every row's message is set by the match.
  const cPagesBlock messageBlock = cPages_block(rows * sizeof(int32_t));
  int32_t* messageOfRow = reinterpret_cast<int32_t*>(messageBlock.get());
  std::vector<uint64_t> counts;
  try {
    if (!messageBlock) throw std::bad_alloc();
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
  Py_BEGIN_ALLOW_THREADS matched = cMdfSignals_match(
      plan, &input, messageOfRow, counts.data(), &reason, threads != 0);
  Py_END_ALLOW_THREADS if (!matched) {
    PyErr_Format(PyExc_ValueError, "data: %s", cReason_text(&reason));
    return nullptr;
  }
  Outputs out;
  if (!prepare(plan, rowNumbers != 0, input.carriedWidths, input.carriedCount,
               &out))
    return nullptr;
  if (!makeRoom(
          layouts, counts.data(),
          [](size_t, uint64_t, uint64_t need) { return need; }, &out))
    return nullptr;
  const cSignalOutput output = out.output();
  bool extracted = false;
  Py_BEGIN_ALLOW_THREADS extracted = cMdfSignals_extract(
      plan, &input, messageOfRow, counts.data(), &output, threads != 0);
  Py_END_ALLOW_THREADS if (!extracted) return PyErr_NoMemory();
  if (!keepMissing(layouts, out.presentCounts.data(), &out)) return nullptr;
  return results(layouts, out);
}

// Where _decode_log keeps the rows of each message: its block, grown
// between batches, and the pointers each batch's extraction writes
// through.
struct LogSink {
  const cSignalLayouts* layouts = nullptr;
  Outputs out;
  uint64_t estimate = 0;  // rows the file may give, for the first sizes
  uint64_t matched = 0;   // rows of messages so far
  // The thread state while the decoding runs without the GIL, else null.
  PyThreadState* released = nullptr;
};

// Bytes per row of the carried columns (timestamp, timestamp_ns, channel).
static const uint32_t kCarriedWidths[kMdfSignalCarried] = {8, 8, 2};

// The rows message m is given room for when `need` exceed its capacity:
// exactly `need` in the last batch; else half as many again, or what the
// file may hold at the message's share of the rows so far and a margin
// (at most 64 times `need`, so that a log of which few frames match
// reserves little), whichever is more: growing a block copies it. The
// margin is three standard deviations of the share's estimate from `need`
// rows (3 / sqrt(need), from 2% to 25%): room within the huge pages a
// block's rows touch is cleared by the system whether written or not, so
// that more than the share may take is paid for on every decoding, while
// a block grown again once costs only on logs whose shares drift.
static uint64_t grownCapacity(const LogSink& sink, uint64_t capacity,
                              uint64_t need, bool last) {
  if (last) return need;
  uint64_t grown = std::max(need, capacity + capacity / 2);
  if (sink.matched > 0 && sink.estimate > sink.matched) {
    const double margin =
        std::clamp(3.0 / std::sqrt(static_cast<double>(need)), 0.02, 0.25);
    const double share = (1.0 + margin) * static_cast<double>(need) *
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
  return makeRoom(
      layouts, counts,
      [&](size_t, uint64_t capacity, uint64_t need) {
        return grownCapacity(*sink, capacity, need, last);
      },
      &sink->out);
}

// cMdfSignalSink.reserve: takes the GIL for the blocks' growth.
static bool LogSink_reserve(void* context, const uint64_t* counts, bool last,
                            cSignalOutput* output) {
  LogSink* sink = static_cast<LogSink*>(context);
  if (sink->released != nullptr) PyEval_RestoreThread(sink->released);
  const bool grown = LogSink_grow(sink, counts, last);
  if (sink->released != nullptr) sink->released = PyEval_SaveThread();
  Outputs& out = sink->out;
  output->rows = out.rowOut.data();
  output->values = out.valueOut.data();
  output->present = out.presentOut.data();
  output->carried = out.carriedOut.data();
  return grown;
}

// cMdfSignalSink.settle: takes the GIL for the present arrays.
static bool LogSink_settle(void* context, const uint64_t* batchPresent) {
  LogSink* sink = static_cast<LogSink*>(context);
  if (sink->released != nullptr) PyEval_RestoreThread(sink->released);
  const bool kept = keepMissing(*sink->layouts, batchPresent, &sink->out);
  if (sink->released != nullptr) sink->released = PyEval_SaveThread();
  return kept;
}

// cMdfSignalSink.prepare: faults in the room the next rows of each
// message will take, array after array, until told to stop; only in
// blocks of huge pages, whose first touches are worth taking off the
// extraction (a few 4 KiB pages cost it less than the calls would).
static void LogSink_prepare(void* context, const uint64_t* counts,
                            const std::atomic<bool>* stop) {
  const auto* sink = static_cast<const LogSink*>(context);
  for (size_t m = sink->out.blocks.size(); m-- > 0;) {
    const MessageBlock& block = sink->out.blocks[m];
    if (counts[m] == 0 || !block.huge) continue;
    const uint64_t end = std::min(block.capacity, block.written + counts[m]);
    for (size_t i = block.widths.size(); i-- > 0 && end > block.written;) {
      if (stop->load(std::memory_order_relaxed)) return;
      const uint64_t width = block.widths[i];
      cPages_populate(block.bytes + block.offsets[i], block.written * width,
                      end * width);
    }
  }
}

// The reader of a _decode_log call, checked; null with a Python error.
static ColumnReaderObject* checkedReader(PyObject* object) {
  if (!ColumnReader_check(object)) {
    PyErr_SetString(PyExc_TypeError, "reader must be a _ColumnReader");
    return nullptr;
  }
  auto* reader = reinterpret_cast<ColumnReaderObject*>(object);
  if (reader->detached || reader->reader == nullptr) {
    PyErr_SetString(PyExc_RuntimeError, "Handle has been closed");
    return nullptr;
  }
  return reader;
}

static bool checkBatchRows(unsigned long long batchRows) {
  if (batchRows > 0 && batchRows <= (PY_SSIZE_T_MAX >> 7)) return true;
  PyErr_SetString(PyExc_ValueError, "batch_rows out of range");
  return false;
}

// The signals of the frames `reader` gives, as _decode_log returns them:
// `enter(file)` takes the reader's file for the decoding (false with a
// Python error), `decode(plan, callbacks, presentCounts, run, released)`
// runs it, without the GIL (`released`) unless the reads call a Python
// file object, and `leave(file)` gives the file back once it is done.
// The blocks take their first pages from `pages` (null: none). Null with
// a Python error.
template <typename Enter, typename Decode, typename Leave>
static PyObject* decodeRows(ColumnReaderObject* reader, PyObject* tables,
                            bool rowNumbers, cPagePool* pages, Enter enter,
                            Decode decode, Leave leave) {
  CompiledPlan compiled;
  if (!compilePlan(tables, &compiled)) return nullptr;
  const cSignalLayouts& layouts = compiled.layouts;
  LogSink sink;
  sink.layouts = &layouts;
  if (!prepare(compiled.plan.get(), rowNumbers, kCarriedWidths,
               kMdfSignalCarried, &sink.out))
    return nullptr;
  sink.out.pages = pages;
  sink.estimate = cMdfColumnReader_rowEstimate(reader->reader);
  auto* owner = reinterpret_cast<MdfFileObject*>(reader->owner);
  if (!enter(owner)) return nullptr;
  const cMdfSignalSink callbacks{&sink, LogSink_reserve, LogSink_prepare,
                                 LogSink_settle};
  cMdfSignalRun run{};
  int32_t result = kMdfSignalsDone;
  if (owner->pythonSource) {
    // The reads call the file object's methods: the GIL stays, and the
    // batches are filled in turn.
    result = decode(compiled.plan.get(), &callbacks,
                    sink.out.presentCounts.data(), &run, false);
  } else {
    sink.released = PyEval_SaveThread();
    result = decode(compiled.plan.get(), &callbacks,
                    sink.out.presentCounts.data(), &run, true);
    PyEval_RestoreThread(sink.released);
    sink.released = nullptr;
  }
  leave(owner);
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
  if (!finish(layouts, &sink.out)) return nullptr;
  OwnedRef list(results(layouts, sink.out));
  if (!list) return nullptr;
  return Py_BuildValue("(OKK)", list.get(),
                       static_cast<unsigned long long>(run.rows),
                       static_cast<unsigned long long>(run.unmatched));
}

// _decode_log(...): see SignalDecoding.h.
static PyObject* SignalDecoding_decodeLog(PyObject*, PyObject* args) {
  PyObject* readerObject = nullptr;
  PyObject* tables = nullptr;
  unsigned long long batchRows = 0;
  int rowNumbers = 0;
  int threads = 0;
  if (!PyArg_ParseTuple(args, "OOKpp:_decode_log", &readerObject, &tables,
                        &batchRows, &rowNumbers, &threads))
    return nullptr;
  ColumnReaderObject* reader = checkedReader(readerObject);
  if (reader == nullptr || !checkBatchRows(batchRows)) return nullptr;
  return decodeRows(
      reader, tables, rowNumbers != 0, nullptr, MdfFile_enter,
      [&](const cSignalPlan* plan, const cMdfSignalSink* callbacks,
          uint64_t* presentCounts, cMdfSignalRun* run, bool released) {
        return cMdfSignals_decode(reader->reader, plan, batchRows,
                                  released && threads != 0, callbacks,
                                  presentCounts, run);
      },
      MdfFile_leave);
}

// A reading started by _decode_log_start: the prefetch and the reader it
// reads (a strong reference; its file entered meanwhile). Spent (both
// null) once decoded or stopped.
struct Prefetch {
  cMdfSignalPrefetch* prefetch = nullptr;
  PyObject* reader = nullptr;
};

static const char* const kPrefetchName = "python_can_brenix_mf4._prefetch";

// Ends a prefetch's reading (its thread joined) and its use of the file.
static void spend(Prefetch* started) {
  if (started->reader == nullptr) return;
  cMdfSignals_prefetchDtor(started->prefetch);
  started->prefetch = nullptr;
  auto* reader = reinterpret_cast<ColumnReaderObject*>(started->reader);
  MdfFile_leave(reinterpret_cast<MdfFileObject*>(reader->owner));
  Py_CLEAR(started->reader);
}

// The capsule's destructor: a prefetch neither decoded nor stopped.
static void Prefetch_destroy(PyObject* capsule) {
  auto* started =
      static_cast<Prefetch*>(PyCapsule_GetPointer(capsule, kPrefetchName));
  if (started == nullptr) {
    PyErr_Clear();
    return;
  }
  spend(started);
  delete started;
}

// The prefetch in `capsule`, not spent; null with a Python error.
static Prefetch* prefetchOf(PyObject* capsule) {
  auto* started =
      static_cast<Prefetch*>(PyCapsule_GetPointer(capsule, kPrefetchName));
  if (started == nullptr) return nullptr;
  if (started->reader == nullptr) {
    PyErr_SetString(PyExc_RuntimeError, "the prefetch is spent");
    return nullptr;
  }
  return started;
}

// _decode_log_start(reader, batch_rows): see SignalDecoding.h.
static PyObject* SignalDecoding_decodeLogStart(PyObject*, PyObject* args) {
  PyObject* readerObject = nullptr;
  unsigned long long batchRows = 0;
  if (!PyArg_ParseTuple(args, "OK:_decode_log_start", &readerObject,
                        &batchRows))
    return nullptr;
  ColumnReaderObject* reader = checkedReader(readerObject);
  if (reader == nullptr || !checkBatchRows(batchRows)) return nullptr;
  auto* owner = reinterpret_cast<MdfFileObject*>(reader->owner);
  // Reads that call Python must wait for the decoding (which holds the
  // GIL for them), and a busy file is refused by it.
  if (owner->pythonSource || owner->busy != 0 ||
      std::thread::hardware_concurrency() <= 1)
    Py_RETURN_NONE;
  auto* started = new (std::nothrow) Prefetch;
  if (started == nullptr) return PyErr_NoMemory();
  MdfFile_enter(owner);  // not busy: see above
  started->prefetch = cMdfSignals_prefetch(reader->reader, batchRows, true);
  if (started->prefetch == nullptr) {
    MdfFile_leave(owner);
    delete started;
    return PyErr_NoMemory();
  }
  started->reader = OwnedRef::borrow(readerObject).release();
  PyObject* capsule = PyCapsule_New(started, kPrefetchName, Prefetch_destroy);
  if (capsule == nullptr) {
    spend(started);
    delete started;
  }
  return capsule;
}

// _decode_log_stop(prefetch): see SignalDecoding.h.
static PyObject* SignalDecoding_decodeLogStop(PyObject*, PyObject* capsule) {
  auto* started =
      static_cast<Prefetch*>(PyCapsule_GetPointer(capsule, kPrefetchName));
  if (started == nullptr) return nullptr;
  spend(started);
  Py_RETURN_NONE;
}

// _decode_log_from(prefetch, tables, row_numbers, ids): see
// SignalDecoding.h.
static PyObject* SignalDecoding_decodeLogFrom(PyObject*, PyObject* args) {
  PyObject* capsule = nullptr;
  PyObject* tables = nullptr;
  int rowNumbers = 0;
  PyObject* idsObject = nullptr;
  if (!PyArg_ParseTuple(args, "OOpO:_decode_log_from", &capsule, &tables,
                        &rowNumbers, &idsObject))
    return nullptr;
  Prefetch* started = prefetchOf(capsule);
  if (started == nullptr) return nullptr;
  // The prefetch is spent on every path from here.
  struct Spend {
    Prefetch* started;
    ~Spend() { spend(started); }
  } spent{started};
  Bytes ids;
  if (!bytesOf(idsObject, "ids", 0, false, &ids)) return nullptr;
  if (ids.size % 4 != 0) {
    PyErr_SetString(PyExc_ValueError, "ids: not a whole number of uint32");
    return nullptr;
  }
  std::vector<uint32_t> kept;
  try {
    kept.resize(ids.size / 4);
  } catch (const std::exception&) {
    return PyErr_NoMemory();
  }
  if (!kept.empty()) std::memcpy(kept.data(), ids.data, ids.size);
  // Held until the reader's failures are read.
  OwnedRef readerObject = OwnedRef::borrow(started->reader);
  auto* reader = reinterpret_cast<ColumnReaderObject*>(readerObject.get());
  return decodeRows(
      reader, tables, rowNumbers != 0,
      cMdfSignals_prefetchPages(started->prefetch),
      [](MdfFileObject*) { return true; },  // entered by _decode_log_start
      [&](const cSignalPlan* plan, const cMdfSignalSink* callbacks,
          uint64_t* presentCounts, cMdfSignalRun* run, bool) {
        return cMdfSignals_decodePrefetched(started->prefetch, plan,
                                            kept.data(), kept.size(), callbacks,
                                            presentCounts, run);
      },
      [&](MdfFileObject*) { spend(started); });
}

// Distinct items _channel_codes tells apart by comparison; more take a
// sort in Python.
constexpr size_t kMaxChannelNames = 64;

// Zero when two items of `size` bytes are equal: their differences
// folded word by word, without a branch (a memcmp call per row costs more
// than the comparison); a last partial word overlaps the one before.
static inline uint64_t itemDifference(const uint8_t* a, const uint8_t* b,
                                      size_t size) {
  const auto word = [&](size_t i) -> uint64_t {
    return cCoding_loadLE<uint64_t>(a + i) ^ cCoding_loadLE<uint64_t>(b + i);
  };
  if (size < 8) {
    uint64_t difference = 0;
    for (size_t i = 0; i < size; ++i) difference |= a[i] ^ b[i];
    return difference;
  }
  uint64_t difference = word(size - 8);
  for (size_t i = 0; i + 8 < size; i += 8) difference |= word(i);
  return difference;
}

// Names every item is compared with at once; an item none of them is
// takes a search of the others.
constexpr size_t kComparedNames = 8;

// The code of each of `rows` items of kSize bytes (0: of `size` bytes)
// into `codes` and the first row of each name into `firsts` (`found` of
// them); false for more than kMaxChannelNames names. Logs have a handful
// of channels, interleaved as the frames came: each item is compared with
// the first names at once, so that a change of channel costs no
// mispredicted branch, and with the size known the comparison unrolls.
template <size_t kSize>
static bool codesOf(const uint8_t* items, size_t rows, size_t size,
                    uint16_t* codes, size_t* firsts, size_t* found) {
  const size_t n = kSize != 0 ? kSize : size;
  const uint8_t* names[kMaxChannelNames];
  size_t count = 0;
  for (size_t r = 0; r < rows; ++r) {
    const uint8_t* item = items + r * n;
    const size_t first = std::min(count, kComparedNames);
    uint32_t equal = 0;
    for (size_t k = 0; k < first; ++k)
      equal |= uint32_t{itemDifference(item, names[k], n) == 0} << k;
    if (equal != 0) {
      codes[r] = static_cast<uint16_t>(std::countr_zero(equal));
      continue;
    }
    size_t code = first;
    while (code < count && itemDifference(item, names[code], n) != 0) ++code;
    if (code == count) {
      if (count == kMaxChannelNames) return false;
      firsts[count] = r;
      names[count++] = item;
    }
    codes[r] = static_cast<uint16_t>(code);
  }
  *found = count;
  return true;
}

using CodesLoop = bool (*)(const uint8_t*, size_t, size_t, uint16_t*, size_t*,
                           size_t*);

// codesOf for items of 4, 8, ... 64 bytes (numpy's text of 1 to 16
// characters).
template <size_t... k>
static constexpr std::array<CodesLoop, sizeof...(k)> codesLoops(
    std::index_sequence<k...>) {
  return {codesOf<4 * (k + 1)>...};
}
constexpr auto kCodesLoops = codesLoops(std::make_index_sequence<16>());

// Items _channel_codes codes in two halves on two threads from.
constexpr size_t kSplitCodes = size_t{1} << 16;

// The codes of `rows` items of `size` bytes as codesOf gives them, with
// `threads` the second half on a second thread, whose names are then
// numbered after those of the first (in order of appearance still); false
// for more than kMaxChannelNames names.
static bool channelCodes(const uint8_t* items, size_t rows, size_t size,
                         bool threads, uint16_t* codes, size_t* firsts,
                         size_t* found) {
  const CodesLoop loop = size % 4 == 0 && size / 4 <= kCodesLoops.size()
                             ? kCodesLoops[size / 4 - 1]
                             : codesOf<0>;
  const size_t half = rows / 2;
  std::thread second;
  size_t secondFirsts[kMaxChannelNames];
  size_t secondFound = 0;
  bool secondFew = true;
  if (threads && rows >= kSplitCodes &&
      std::thread::hardware_concurrency() > 1) {
    try {
      second = std::thread([&] {
        secondFew = loop(items + half * size, rows - half, size, codes + half,
                         secondFirsts, &secondFound);
      });
    } catch (...) {
    }
  }
  const size_t mine = second.joinable() ? half : rows;
  const bool few = loop(items, mine, size, codes, firsts, found);
  if (!second.joinable()) return few;
  second.join();
  if (!few || !secondFew) return false;
  // The second half's names as numbered in the first, new ones after.
  uint16_t renumber[kMaxChannelNames];
  bool same = true;
  for (size_t j = 0; j < secondFound; ++j) {
    const size_t row = half + secondFirsts[j];
    size_t code = 0;
    while (code < *found &&
           itemDifference(items + row * size, items + firsts[code] * size,
                          size) != 0)
      ++code;
    if (code == *found) {
      if (*found == kMaxChannelNames) return false;
      firsts[(*found)++] = row;
    }
    renumber[j] = static_cast<uint16_t>(code);
    same = same && code == j;
  }
  if (!same)
    for (size_t r = half; r < rows; ++r) codes[r] = renumber[codes[r]];
  return true;
}

// _channel_codes(items, itemsize, threads): see SignalDecoding.h.
static PyObject* SignalDecoding_channelCodes(PyObject*, PyObject* args) {
  PyObject* itemsObject = nullptr;
  Py_ssize_t itemSize = 0;
  int threads = 0;
  if (!PyArg_ParseTuple(args, "Onp:_channel_codes", &itemsObject, &itemSize,
                        &threads))
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
  size_t firsts[kMaxChannelNames];
  size_t found = 0;
  bool few;
  Py_BEGIN_ALLOW_THREADS few =
      channelCodes(items.data, rows, size, threads != 0,
                   static_cast<uint16_t*>(bytes), firsts, &found);
  Py_END_ALLOW_THREADS if (!few) Py_RETURN_NONE;
  OwnedRef rowsOf(PyList_New(static_cast<Py_ssize_t>(found)));
  if (!rowsOf) return nullptr;
  for (size_t i = 0; i < found; ++i) {
    PyObject* row = PyLong_FromSize_t(firsts[i]);
    if (row == nullptr) return nullptr;
    PyList_SetItem(rowsOf.get(), static_cast<Py_ssize_t>(i), row);  // steals
  }
  return PyTuple_Pack(2, codesObject.get(), rowsOf.get());
}

// Rows of a table's channel text one thread takes at a time.
constexpr uint64_t kTextPiece = 65536;

// A table's channel codes and the text _channel_texts writes from them.
struct ChannelText {
  const uint16_t* codes = nullptr;
  uint64_t rows = 0;
  uint64_t chars = 0;  // the widest name of its codes (at least 1)
  uint8_t* out = nullptr;
};

// Rows [first, end) of one table's text.
struct TextPiece {
  size_t table;
  uint64_t first;
  uint64_t end;
};

// Runs work(i) for every i below `count`, each once, on this thread and,
// where `threads` allows it, a second one, each taking the next i left.
template <typename Work>
static void onTwoThreads(size_t count, bool threads, Work work) {
  std::atomic<size_t> next{0};
  const auto run = [&] {
    for (size_t i; (i = next.fetch_add(1)) < count;) work(i);
  };
  std::thread second;
  if (threads && count > 1 && std::thread::hardware_concurrency() > 1) {
    try {
      second = std::thread(run);
    } catch (...) {
    }
  }
  run();
  if (second.joinable()) second.join();
}

// _channel_texts(items, names, itemsize, threads): see SignalDecoding.h.
static PyObject* SignalDecoding_channelTexts(PyObject*, PyObject* args) {
  PyObject* itemsObject = nullptr;
  PyObject* namesObject = nullptr;
  Py_ssize_t itemSize = 0;
  int threads = 0;
  if (!PyArg_ParseTuple(args, "OOnp:_channel_texts", &itemsObject, &namesObject,
                        &itemSize, &threads))
    return nullptr;
  Bytes names;
  if (!bytesOf(namesObject, "names", 0, false, &names)) return nullptr;
  if (itemSize <= 0 || itemSize % 4 != 0 ||
      names.size % static_cast<size_t>(itemSize) != 0) {
    PyErr_SetString(PyExc_ValueError, "names: not a whole number of items");
    return nullptr;
  }
  const auto size = static_cast<size_t>(itemSize);
  const size_t count = names.size / size;
  OwnedRef items(PySequence_Fast(itemsObject, "items"));
  if (!items) return nullptr;
  const Py_ssize_t tableCount = PySequence_Size(items.get());
  if (tableCount < 0) return nullptr;
  std::vector<ChannelText> tables;
  std::vector<OwnedRef> held;  // the items, whose buffers are read unlocked
  std::vector<TextPiece> pieces;
  std::vector<uint64_t> nameChars;
  std::vector<uint64_t> pieceChars;
  try {
    // Each name's characters: those before its trailing zeros.
    nameChars.resize(count);
    for (size_t k = 0; k < count; ++k) {
      const uint8_t* name = names.data + k * size;
      size_t chars = size / 4;
      while (chars > 0 && cCoding_loadLE<uint32_t>(name + 4 * (chars - 1)) == 0)
        --chars;
      nameChars[k] = chars;
    }
    tables.resize(static_cast<size_t>(tableCount));
    held.reserve(static_cast<size_t>(tableCount));
    for (Py_ssize_t t = 0; t < tableCount; ++t) {
      PyObject* item = PySequence_GetItem(items.get(), t);
      if (item == nullptr) return nullptr;
      OwnedRef owned(item);
      PyObject* column = nullptr;
      unsigned long long offset = 0, rows = 0;
      if (!PyArg_ParseTuple(item, "OKK:items", &column, &offset, &rows))
        return nullptr;
      Bytes bytes;
      if (!bytesOf(column, "items", 0, false, &bytes)) return nullptr;
      if (offset % 2 != 0 || offset > bytes.size ||
          rows > (bytes.size - offset) / 2) {
        PyErr_SetString(PyExc_ValueError, "items: codes beyond their buffer");
        return nullptr;
      }
      held.push_back(std::move(owned));
      tables[t].codes = reinterpret_cast<const uint16_t*>(bytes.data + offset);
      tables[t].rows = rows;
      for (uint64_t first = 0; first < rows; first += kTextPiece)
        pieces.push_back(
            TextPiece{static_cast<size_t>(t), first,
                      std::min<uint64_t>(rows, first + kTextPiece)});
    }
    pieceChars.assign(pieces.size(), 0);
  } catch (const std::exception&) {
    return PyErr_NoMemory();
  }
  // The widest name of each table's codes (a code beyond the table: none).
  Py_BEGIN_ALLOW_THREADS onTwoThreads(
      pieces.size(), threads != 0, [&](size_t i) {
        const TextPiece& piece = pieces[i];
        const uint16_t* codes = tables[piece.table].codes;
        uint64_t widest = 0;
        for (uint64_t r = piece.first; r < piece.end; ++r)
          widest = std::max(widest, codes[r] < count ? nameChars[codes[r]] : 0);
        pieceChars[i] = widest;
      });
  Py_END_ALLOW_THREADS;
  for (size_t i = 0; i < pieces.size(); ++i) {
    ChannelText& table = tables[pieces[i].table];
    table.chars = std::max(table.chars, pieceChars[i]);
  }
  OwnedRef list(PyList_New(tableCount));
  if (!list) return nullptr;
  for (Py_ssize_t t = 0; t < tableCount; ++t) {
    ChannelText& table = tables[t];
    table.chars = std::max<uint64_t>(table.chars, 1);
    uint64_t bytes = 0;
    if (__builtin_mul_overflow(table.rows, table.chars * 4, &bytes) ||
        bytes > static_cast<uint64_t>(PY_SSIZE_T_MAX) - kPagesHuge)
      return PyErr_NoMemory();
    // A large text in huge pages, from a huge page boundary (the bytearray
    // has a huge page more), as the blocks are.
    const bool huge = bytes >= kPagesHuge;
    void* buffer = nullptr;
    OwnedRef text(newBuffer(bytes + (huge ? kPagesHuge : 0), &buffer));
    if (!text) return nullptr;
    uint64_t lead = 0;
    if (huge) {
      lead = (kPagesHuge - reinterpret_cast<uintptr_t>(buffer) % kPagesHuge) %
             kPagesHuge;
      cPages_preferHuge(static_cast<uint8_t*>(buffer) + lead, bytes);
    }
    table.out = static_cast<uint8_t*>(buffer) + lead;
    PyObject* entry = Py_BuildValue(
        "(OKK)", text.get(), static_cast<unsigned long long>(lead),
        static_cast<unsigned long long>(table.chars));
    if (entry == nullptr) return nullptr;
    PyList_SetItem(list.get(), t, entry);  // steals entry
  }
  // Each row's name, as wide as its table's text (its own trailing zeros
  // pad it).
  Py_BEGIN_ALLOW_THREADS onTwoThreads(
      pieces.size(), threads != 0, [&](size_t i) {
        const TextPiece& piece = pieces[i];
        const ChannelText& table = tables[piece.table];
        const size_t width = table.chars * 4;
        uint8_t* to = table.out + piece.first * width;
        for (uint64_t r = piece.first; r < piece.end; ++r, to += width) {
          const uint16_t code = table.codes[r];
          if (code < count)
            std::memcpy(to, names.data + code * size, width);
          else
            std::memset(to, 0, width);
        }
      });
  Py_END_ALLOW_THREADS;
  return list.release();
}

static PyMethodDef SignalDecodingFunctions[] = {
    {"_decode_signals", SignalDecoding_decode, METH_VARARGS,
     "_decode_signals(tables, rows, ids, extended, channels, usable, "
     "payload, offsets, lengths, carried, threads, row_numbers, /)\n--\n\n"
     "The signals of database messages in frame columns (internal: see "
     "decode_signals)."},
    {"_decode_log", SignalDecoding_decodeLog, METH_VARARGS,
     "_decode_log(reader, tables, batch_rows, row_numbers, threads, /)\n"
     "--\n\n"
     "The signals of database messages in the frames a column reader gives "
     "(internal: see MdfFile.decode_signals)."},
    {"_decode_log_start", SignalDecoding_decodeLogStart, METH_VARARGS,
     "_decode_log_start(reader, batch_rows, /)\n--\n\n"
     "Starts reading a column reader's frames ahead of _decode_log_from; "
     "None where that cannot be done (internal: see "
     "MdfFile.decode_signals)."},
    {"_decode_log_from", SignalDecoding_decodeLogFrom, METH_VARARGS,
     "_decode_log_from(prefetch, tables, row_numbers, ids, /)\n--\n\n"
     "_decode_log over a reading started ahead, keeping the frames of "
     "`ids` (internal: see MdfFile.decode_signals)."},
    {"_decode_log_stop", SignalDecoding_decodeLogStop, METH_O,
     "_decode_log_stop(prefetch, /)\n--\n\n"
     "Ends a reading started ahead that is not decoded (internal)."},
    {"_channel_texts", SignalDecoding_channelTexts, METH_VARARGS,
     "_channel_texts(items, names, itemsize, threads, /)\n--\n\n"
     "The channel names of tables' channel codes as fixed-width text "
     "(internal: see decode_signals)."},
    {"_channel_codes", SignalDecoding_channelCodes, METH_VARARGS,
     "_channel_codes(items, itemsize, threads, /)\n--\n\n"
     "Codes of fixed-width items and the first row of each, or None for "
     "many distinct items (internal: see decode_signals)."},
    {nullptr, nullptr, 0, nullptr},
};

bool SignalDecoding_addFunctions(PyObject* module) {
  return PyModule_AddFunctions(module, SignalDecodingFunctions) == 0;
}
