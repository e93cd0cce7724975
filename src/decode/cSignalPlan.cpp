#include "decode/cSignalPlan.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <exception>
#include <limits>
#include <memory>
#include <new>
#include <vector>

#include "decode/cMdfDecodePlan.h"
#include "streams/cCoding.h"

namespace {

// Payload bytes a frame holds at most (CAN FD).
constexpr uint32_t kMaxPayload = 64;
// Channel codes: CAN 0 to 255, LIN 0 to 255.
constexpr uint32_t kChannelCodes = 512;
// Standard ids index a table of their own; extended ones are looked up.
constexpr uint32_t kStandardIds = 2048;
constexpr uint64_t kExtendedKey = 1ull << 32;
// One database per channel code and a default one at the most.
constexpr uint32_t kMaxDatabases = kChannelCodes + 1;
// Rows extract copies the payloads of at a time.
constexpr size_t kChunkRows = 16384;

// A signal as extract runs it.
struct Step {
  uint32_t byte;    // first payload byte of the 8-byte window
  uint32_t shift;   // little endian: right shift; big endian: left shift
  uint32_t needed;  // payload bytes the field needs (65 and more: never)
  uint8_t length;   // bits
  bool little;      // byte order
  bool ninth;       // the field reaches into the byte after the window
  uint8_t kind;     // cSignalKind
  bool raw;         // store the raw value
  int32_t mux;      // index within the message, or -1
  bool selects;     // a multiplexer of later signals
  uint32_t selectorFirst;
  uint32_t selectorCount;
  double scale;
  double offset;
};

struct Database {
  std::vector<int32_t> standard;         // kStandardIds entries, -1: none
  std::vector<cSignalKey> extendedKeys;  // by key
};

}  // namespace

struct cSignalPlan {
  std::vector<Step> steps;
  std::vector<uint64_t> selectors;
  std::vector<cSignalMessage> messages;
  std::vector<Database> databases;
  int32_t channelDatabase[kChannelCodes];
  int32_t defaultDatabase;
  uint32_t widestMessage;  // most signals of a message
  // Per message: the payload bytes its signals need at most (those that
  // fit in 64 bytes).
  std::vector<uint32_t> widths;
};

static bool checkTables(const cSignalLayouts* layouts, cReason* reason) {
  for (size_t m = 0; m < layouts->messageCount; ++m) {
    const cSignalMessage& message = layouts->messages[m];
    if (message.firstSignal > layouts->signalCount ||
        message.signalCount > layouts->signalCount - message.firstSignal)
      return cReason_note(reason, kReasonNoOffset,
                          "message %zu: signals outside the layouts", m);
    for (uint32_t s = 0; s < message.signalCount; ++s) {
      const cSignalLayout& signal = layouts->signals[message.firstSignal + s];
      if (signal.kind > kSignalFloat64 || signal.length == 0 ||
          signal.length > 64 ||
          (signal.kind == kSignalFloat32 && signal.length != 32) ||
          (signal.kind == kSignalFloat64 && signal.length != 64))
        return cReason_note(reason, kReasonNoOffset,
                            "message %zu, signal %u: kind %u of %u bits", m, s,
                            signal.kind, signal.length);
      if (signal.multiplexer >= static_cast<int32_t>(s) ||
          signal.multiplexer < -1)
        return cReason_note(reason, kReasonNoOffset,
                            "message %zu, signal %u: multiplexer %d is no "
                            "earlier signal",
                            m, s, signal.multiplexer);
      if (signal.selectorFirst > layouts->selectorCount ||
          signal.selectorCount > layouts->selectorCount - signal.selectorFirst)
        return cReason_note(reason, kReasonNoOffset,
                            "message %zu, signal %u: selectors outside the "
                            "layouts",
                            m, s);
      const uint64_t* first = layouts->selectors + signal.selectorFirst;
      if (!std::is_sorted(first, first + signal.selectorCount))
        return cReason_note(reason, kReasonNoOffset,
                            "message %zu, signal %u: selectors not ascending",
                            m, s);
    }
  }
  for (size_t k = 0; k < layouts->keyCount; ++k) {
    const cSignalKey& key = layouts->keys[k];
    if (key.database >= layouts->databaseCount ||
        key.message >= layouts->messageCount ||
        key.key >= kExtendedKey + kExtendedKey)
      return cReason_note(reason, kReasonNoOffset,
                          "key %zu: database, message or id out of range", k);
  }
  if (layouts->databaseCount > kMaxDatabases)
    return cReason_note(reason, kReasonNoOffset,
                        "%zu databases, above kMaxDatabases (%u)",
                        layouts->databaseCount, kMaxDatabases);
  const auto database = static_cast<int64_t>(layouts->databaseCount);
  if (layouts->defaultDatabase < -1 || layouts->defaultDatabase >= database)
    return cReason_note(reason, kReasonNoOffset, "no default database %d",
                        layouts->defaultDatabase);
  for (uint32_t c = 0; layouts->channelDatabase != nullptr && c < kChannelCodes;
       ++c)
    if (layouts->channelDatabase[c] < -1 ||
        layouts->channelDatabase[c] >= database)
      return cReason_note(reason, kReasonNoOffset, "channel %u: no database %d",
                          c, layouts->channelDatabase[c]);
  return true;
}

static Step compile(const cSignalLayout& signal) {
  Step step{};
  const uint64_t end = uint64_t{signal.firstBit} + signal.length;
  step.byte = signal.firstBit / 8;
  step.shift = signal.firstBit % 8;
  step.needed = end > uint64_t{kMaxPayload} * 8
                    ? kMaxPayload + 1
                    : static_cast<uint32_t>((end + 7) / 8);
  step.length = signal.length;
  step.little = signal.littleEndian != 0;
  step.ninth = step.shift + signal.length > 64;
  step.kind = signal.kind;
  step.raw = signal.raw != 0;
  step.mux = signal.multiplexer;
  step.selectorFirst = signal.selectorFirst;
  step.selectorCount = signal.selectorCount;
  step.scale = signal.scale;
  step.offset = signal.offset;
  return step;
}

cSignalPlan* cSignalPlan_ctor(const cSignalLayouts* layouts, cReason* reason) {
  if (layouts == nullptr || !checkTables(layouts, reason)) return nullptr;
  try {
    // A signal of two messages would have its values written for the rows
    // of both into the one array the output gives it, sized for one.
    std::vector<bool> owned(layouts->signalCount);
    for (size_t m = 0; m < layouts->messageCount; ++m) {
      const cSignalMessage& message = layouts->messages[m];
      for (uint32_t s = 0; s < message.signalCount; ++s) {
        if (owned[message.firstSignal + s]) {
          cReason_note(reason, kReasonNoOffset,
                       "message %zu, signal %u: a signal of an earlier "
                       "message",
                       m, s);
          return nullptr;
        }
        owned[message.firstSignal + s] = true;
      }
    }
    auto plan = std::make_unique<cSignalPlan>();
    plan->messages.assign(layouts->messages,
                          layouts->messages + layouts->messageCount);
    plan->steps.reserve(layouts->signalCount);
    for (size_t s = 0; s < layouts->signalCount; ++s)
      plan->steps.push_back(compile(layouts->signals[s]));
    for (const cSignalMessage& message : plan->messages)
      for (uint32_t s = 0; s < message.signalCount; ++s) {
        const int32_t mux = plan->steps[message.firstSignal + s].mux;
        if (mux >= 0) plan->steps[message.firstSignal + mux].selects = true;
      }
    plan->selectors.assign(layouts->selectors,
                           layouts->selectors + layouts->selectorCount);
    plan->widestMessage = 0;
    for (const cSignalMessage& message : plan->messages) {
      plan->widestMessage = std::max(plan->widestMessage, message.signalCount);
      uint32_t width = 0;
      for (uint32_t s = 0; s < message.signalCount; ++s) {
        const uint32_t needed = plan->steps[message.firstSignal + s].needed;
        if (needed <= kMaxPayload) width = std::max(width, needed);
      }
      plan->widths.push_back(width);
    }
    plan->databases.resize(layouts->databaseCount);
    for (Database& database : plan->databases)
      database.standard.assign(kStandardIds, -1);
    for (size_t k = 0; k < layouts->keyCount; ++k) {
      const cSignalKey& key = layouts->keys[k];
      Database& database = plan->databases[key.database];
      if (key.key < kStandardIds)
        database.standard[key.key] = static_cast<int32_t>(key.message);
      else
        database.extendedKeys.push_back(key);
    }
    for (Database& database : plan->databases) {
      auto& keys = database.extendedKeys;
      std::stable_sort(keys.begin(), keys.end(),
                       [](const cSignalKey& a, const cSignalKey& b) {
                         return a.key < b.key;
                       });
      // Of a key given twice, the last one holds (as for standard ids).
      std::vector<cSignalKey> unique;
      for (size_t i = 0; i < keys.size(); ++i)
        if (i + 1 == keys.size() || keys[i + 1].key != keys[i].key)
          unique.push_back(keys[i]);
      keys.swap(unique);
    }
    for (uint32_t c = 0; c < kChannelCodes; ++c)
      plan->channelDatabase[c] = layouts->channelDatabase != nullptr
                                     ? layouts->channelDatabase[c]
                                     : -1;
    plan->defaultDatabase = layouts->defaultDatabase;
    return plan.release();
  } catch (const std::exception&) {
    return nullptr;  // out of memory
  }
}

void cSignalPlan_dtor(cSignalPlan* plan) { delete plan; }

size_t cSignalPlan_messageCount(const cSignalPlan* plan) {
  return plan->messages.size();
}

size_t cSignalPlan_signalCount(const cSignalPlan* plan) {
  return plan->steps.size();
}

cSignalMessage cSignalPlan_message(const cSignalPlan* plan, size_t m) {
  return plan->messages[m];
}

static int32_t lookup(const Database& database, uint64_t key) {
  if (key < kStandardIds) return database.standard[key];
  const auto& keys = database.extendedKeys;
  auto found = std::lower_bound(keys.begin(), keys.end(), key,
                                [](const cSignalKey& entry, uint64_t wanted) {
                                  return entry.key < wanted;
                                });
  if (found == keys.end() || found->key != key) return -1;
  return static_cast<int32_t>(found->message);
}

bool cSignalPlan_match(const cSignalPlan* plan, const cSignalInput* input,
                       int32_t* messageOfRow, uint64_t* counts,
                       cReason* reason) {
  std::fill(counts, counts + plan->messages.size(), 0);
  const size_t rows = input->rows;
  if (input->offsets != nullptr) {
    for (size_t r = 0; r < rows; ++r) {
      const int64_t first = input->offsets[r];
      const int64_t end = input->offsets[r + 1];
      if (first < 0 || end < first || end - first > kMaxPayload ||
          static_cast<uint64_t>(end) > input->payloadSize)
        return cReason_note(reason, kReasonNoOffset,
                            "row %zu: payload outside the data", r);
    }
  } else if (rows > input->payloadSize / kMaxPayload) {
    return cReason_note(reason, kReasonNoOffset,
                        "%zu rows of 64 bytes, %zu bytes of data", rows,
                        input->payloadSize);
  }
  for (size_t r = 0; r < rows; ++r) {
    int32_t database = plan->defaultDatabase;
    if (input->channels != nullptr) {
      const uint16_t channel = input->channels[r];
      if (channel < kChannelCodes && plan->channelDatabase[channel] >= 0)
        database = plan->channelDatabase[channel];
    }
    int32_t message = -1;
    if (database >= 0 && (input->usable == nullptr || input->usable[r] != 0)) {
      const uint64_t key =
          input->ids[r] + (input->extended[r] != 0 ? kExtendedKey : 0);
      message = lookup(plan->databases[static_cast<size_t>(database)], key);
    }
    messageOfRow[r] = message;
    if (message >= 0) ++counts[message];
  }
  return true;
}

// Where a row's payload starts and how long it is.
static inline const uint8_t* payloadOf(const cSignalInput* input, int64_t row,
                                       uint32_t* length) {
  if (input->offsets != nullptr) {
    const int64_t first = input->offsets[row];
    *length = static_cast<uint32_t>(input->offsets[row + 1] - first);
    return input->payload + first;
  }
  *length = std::min<uint32_t>(input->lengths[row], kMaxPayload);
  return input->payload + row * kMaxPayload;
}

// Where extract keeps the rows of one chunk, message after message: the
// chunk's row of each (ascending), and its payload in a row of `width +
// 8` bytes with its length. After a row's payload come zeros or bytes of
// other payloads, never read as bits of a present field.
struct Dense {
  std::vector<uint32_t> order;  // rows within the chunk, by message
  std::vector<uint8_t> bytes;
  std::vector<uint8_t> lengths;
  std::vector<size_t> firstByte;  // per message
  std::vector<size_t> firstRow;   // per message, into order and lengths
  std::vector<uint64_t> rows;     // per message: its rows in the chunk
  std::vector<uint64_t> slot;     // per message: its first output slot
  std::vector<uint64_t> next;     // per message: scatter's place in order
};

// Elements `order[i]` of `from` (relative to `begin`) into `to` in turn.
template <typename T>
static void gather(const void* from, size_t begin, const uint32_t* order,
                   uint64_t count, void* to) {
  const T* in = static_cast<const T*>(from) + begin;
  T* out = static_cast<T*>(to);
  for (uint64_t i = 0; i < count; ++i) out[i] = in[order[i]];
}

// The chunk's rows from `begin` to `end` by message (a counting sort of
// their messages) with their payloads (into `dense`, in the same pass, so
// that the payload column is read in row order), then per message its row
// numbers and carried columns (into the outputs, from the message's slot),
// each in a loop of its own.
static void scatter(const cSignalPlan* plan, const cSignalInput* input,
                    size_t begin, size_t end, const int32_t* messageOfRow,
                    Dense* dense, const cSignalOutput* output) {
  const size_t messageCount = plan->messages.size();
  uint64_t* next = dense->next.data();
  for (size_t m = 0; m < messageCount; ++m) next[m] = dense->firstRow[m];
  const uint8_t* last = input->payload + input->payloadSize;
  uint32_t* order = dense->order.data();
  uint8_t* lengths = dense->lengths.data();
  for (size_t r = begin; r < end; ++r) {
    const int32_t message = messageOfRow[r];
    if (message < 0) continue;
    const uint64_t i = next[message]++;
    order[i] = static_cast<uint32_t>(r - begin);
    uint32_t length;
    const uint8_t* payload = payloadOf(input, static_cast<int64_t>(r), &length);
    lengths[i] = static_cast<uint8_t>(length);
    const uint32_t width = plan->widths[message];
    uint8_t* row = dense->bytes.data() + dense->firstByte[message] +
                   (i - dense->firstRow[message]) * (width + 8);
    const uint32_t used = std::min(length, width);
    // Classic CAN payloads as one 8-byte move where the input has the
    // bytes: what follows the payload in the row is never read as a
    // present field's bits (the row has 8 bytes of room beyond `width`).
    if (used <= 8 && last - payload >= 8)
      std::memcpy(row, payload, 8);
    else
      cMdfDecodePlan_copyPayload(row, payload, used);
  }
  const size_t carried = input->carriedCount;
  for (size_t m = 0; m < messageCount; ++m) {
    const uint64_t count = dense->rows[m];
    if (count == 0) continue;
    const uint64_t slot = dense->slot[m];
    const uint32_t* rowsOf = order + dense->firstRow[m];
    if (output->rows != nullptr && output->rows[m] != nullptr) {
      int64_t* rows = output->rows[m] + slot;
      const int64_t first = input->firstRow + static_cast<int64_t>(begin);
      for (uint64_t i = 0; i < count; ++i) rows[i] = first + rowsOf[i];
    }
    void* const* to = output->carried + m * carried;
    for (size_t c = 0; c < carried; ++c) {
      const uint32_t width = input->carriedWidths[c];
      uint8_t* into = static_cast<uint8_t*>(to[c]) + slot * width;
      switch (width) {
        case 8:
          gather<uint64_t>(input->carried[c], begin, rowsOf, count, into);
          break;
        case 4:
          gather<uint32_t>(input->carried[c], begin, rowsOf, count, into);
          break;
        case 2:
          gather<uint16_t>(input->carried[c], begin, rowsOf, count, into);
          break;
        default:
          gather<uint8_t>(input->carried[c], begin, rowsOf, count, into);
          break;
      }
    }
  }
}

// The bits of a field whose first payload byte is at `at` (sign-extended
// for signed fields).
template <bool kLittle, uint8_t kKind>
[[gnu::always_inline]] inline uint64_t fieldBits(const uint8_t* at,
                                                 uint32_t shift, bool ninth,
                                                 uint32_t length, uint64_t mask,
                                                 uint64_t sign) {
  uint64_t bits;
  if constexpr (kLittle) {
    bits = cCoding_loadLE<uint64_t>(at) >> shift;
    if (ninth) bits |= uint64_t{at[8]} << (64 - shift);
    bits &= mask;
  } else {
    bits = cCoding_loadBE<uint64_t>(at) << shift;
    if (ninth) bits |= uint64_t{at[8]} >> (8 - shift);
    bits >>= 64 - length;
  }
  if constexpr (kKind == kSignalSigned) bits = ((bits & mask) ^ sign) - sign;
  return bits;
}

// What a present field stores, as the bits of its value: the raw
// integer (or float, a float32 in the low half), else the physical value
// raw * scale + offset as a double (two roundings, as numpy and cantools
// make them).
template <uint8_t kKind, bool kRaw>
[[gnu::always_inline]] inline uint64_t storedBits(uint64_t bits, double scale,
                                                  double offset) {
  if constexpr (kRaw) {
    return bits;
  } else {
    double value;
    if constexpr (kKind == kSignalFloat32)
      value = static_cast<double>(
          std::bit_cast<float>(static_cast<uint32_t>(bits)));
    else if constexpr (kKind == kSignalFloat64)
      value = std::bit_cast<double>(bits);
    else if constexpr (kKind == kSignalSigned)
      value = static_cast<double>(static_cast<int64_t>(bits));
    else
      value = static_cast<double>(bits);
    const double scaled = value * scale;
    return std::bit_cast<uint64_t>(scaled + offset);
  }
}

// What a missing value stores: NaN where the value is a float (a quiet
// float32 NaN in the low half for a raw float32), else 0, so that
// physical values need no second pass to mark what is missing.
static uint64_t missingBits(const Step& step) {
  if (!step.raw || step.kind == kSignalFloat64)
    return std::bit_cast<uint64_t>(std::numeric_limits<double>::quiet_NaN());
  if (step.kind == kSignalFloat32)
    return std::bit_cast<uint32_t>(std::numeric_limits<float>::quiet_NaN());
  return 0;
}

// Stores value i: 4 bytes for a raw float32, else 8.
template <uint8_t kKind, bool kRaw>
[[gnu::always_inline]] inline void storeValue(void* values, uint64_t i,
                                              uint64_t word) {
  if constexpr (kRaw && kKind == kSignalFloat32)
    static_cast<uint32_t*>(values)[i] = static_cast<uint32_t>(word);
  else
    static_cast<uint64_t*>(values)[i] = word;
}

// One signal in the rows of its message, whose payloads lie in `dense`,
// `stride` bytes a row (at least 8 more than any present field's last
// byte), their lengths in `lengths` (the shortest `shortest`). `muxPresent` and
// `muxPatterns` are the multiplexer's (null without one); `patterns` receives
// the signal's own where it selects others. A missing value reads as
// missingBits gives, never what the memory held. The layout is fixed per
// instantiation and the step's fields are copied into locals, so that the loop
// reloads nothing after each store.
template <bool kLittle, uint8_t kKind, bool kRaw>
static uint64_t runSignal(const Step& step, const uint64_t* selectors,
                          const uint8_t* dense, size_t stride,
                          const uint8_t* lengths, uint32_t shortest,
                          uint64_t count, const uint8_t* muxPresent,
                          const uint64_t* muxPatterns, uint64_t* patterns,
                          void* values, uint8_t* present) {
  const uint32_t needed = step.needed;
  const uint32_t length = step.length;
  const uint32_t shift = step.shift;
  const bool ninth = step.ninth;
  const uint64_t mask =
      length < 64 ? (uint64_t{1} << length) - 1 : ~uint64_t{0};
  const uint64_t sign = uint64_t{1} << (length - 1);
  const double scale = step.scale;
  const double offset = step.offset;
  const uint32_t selectorCount = step.selectorCount;
  const uint64_t missing = missingBits(step);
  uint64_t here = 0;
  const uint8_t* at = dense + step.byte;
  if (muxPresent == nullptr && patterns == nullptr && needed <= shortest) {
    // Every row holds the field.
    for (uint64_t i = 0; i < count; ++i, at += stride)
      storeValue<kKind, kRaw>(
          values, i,
          storedBits<kKind, kRaw>(
              fieldBits<kLittle, kKind>(at, shift, ninth, length, mask, sign),
              scale, offset));
    std::memset(present, 1, count);
    return count;
  }
  if (muxPresent == nullptr && patterns == nullptr) {
    // Present where the payload holds the field: every row's field is
    // read (the row has the bytes) and kept or zeroed without a branch.
    for (uint64_t i = 0; i < count; ++i, at += stride) {
      const bool ok = needed <= lengths[i];
      present[i] = ok ? 1 : 0;
      here += ok ? 1 : 0;
      const uint64_t word = storedBits<kKind, kRaw>(
          fieldBits<kLittle, kKind>(at, shift, ninth, length, mask, sign),
          scale, offset);
      storeValue<kKind, kRaw>(values, i, ok ? word : missing);
    }
    return here;
  }
  for (uint64_t i = 0; i < count; ++i, at += stride) {
    bool ok = needed <= lengths[i];
    if (muxPresent != nullptr && ok)
      ok = muxPresent[i] != 0 &&
           (selectorCount == 1
                ? selectors[0] == muxPatterns[i]
                : std::binary_search(selectors, selectors + selectorCount,
                                     muxPatterns[i]));
    present[i] = ok ? 1 : 0;
    if (!ok) {
      storeValue<kKind, kRaw>(values, i, missing);
      continue;
    }
    const uint64_t bits =
        fieldBits<kLittle, kKind>(at, shift, ninth, length, mask, sign);
    if (patterns != nullptr) patterns[i] = bits;
    ++here;
    storeValue<kKind, kRaw>(values, i,
                            storedBits<kKind, kRaw>(bits, scale, offset));
  }
  return here;
}

using SignalLoop = uint64_t (*)(const Step&, const uint64_t*, const uint8_t*,
                                size_t, const uint8_t*, uint32_t, uint64_t,
                                const uint8_t*, const uint64_t*, uint64_t*,
                                void*, uint8_t*);

template <bool kLittle, uint8_t kKind>
static SignalLoop loopFor(bool raw) {
  return raw ? runSignal<kLittle, kKind, true>
             : runSignal<kLittle, kKind, false>;
}

template <bool kLittle>
static SignalLoop loopFor(uint8_t kind, bool raw) {
  switch (kind) {
    case kSignalSigned:
      return loopFor<kLittle, kSignalSigned>(raw);
    case kSignalFloat32:
      return loopFor<kLittle, kSignalFloat32>(raw);
    case kSignalFloat64:
      return loopFor<kLittle, kSignalFloat64>(raw);
    default:
      return loopFor<kLittle, kSignalUnsigned>(raw);
  }
}

static SignalLoop loopFor(const Step& step) {
  return step.little ? loopFor<true>(step.kind, step.raw)
                     : loopFor<false>(step.kind, step.raw);
}

// Bytes of a signal's stored value.
static size_t valueBytes(const Step& step) {
  return step.raw && step.kind == kSignalFloat32 ? 4 : 8;
}

uint32_t cSignalPlan_valueWidth(const cSignalPlan* plan, size_t s) {
  return static_cast<uint32_t>(valueBytes(plan->steps[s]));
}

bool cSignalPlan_extract(const cSignalPlan* plan, const cSignalInput* input,
                         const int32_t* messageOfRow,
                         [[maybe_unused]] const uint64_t* counts,
                         const cSignalOutput* output) {
  const size_t messageCount = plan->messages.size();
  const size_t rows = input->rows;
  const size_t chunkRows = std::min<size_t>(rows, kChunkRows);
  std::vector<uint64_t> cursor;  // per message: the slot of its next row
  // Per signal of the message at hand that selects others: its patterns
  // in the chunk.
  std::vector<std::vector<uint64_t>> patterns;
  Dense dense;
  uint32_t widest = 0;
  for (uint32_t width : plan->widths) widest = std::max(widest, width);
  try {
    cursor.assign(messageCount, 0);
    patterns.resize(plan->widestMessage);
    dense.order.resize(chunkRows);
    dense.bytes.assign(chunkRows * (widest + 8), 0);
    dense.lengths.resize(chunkRows);
    dense.firstByte.resize(messageCount);
    dense.firstRow.resize(messageCount);
    dense.rows.resize(messageCount);
    dense.slot.resize(messageCount);
    dense.next.resize(messageCount);
  } catch (const std::exception&) {
    return false;
  }
  for (size_t m = 0; m < messageCount; ++m) {
    const cSignalMessage& message = plan->messages[m];
    for (uint32_t s = 0; s < message.signalCount; ++s)
      output->presentCounts[message.firstSignal + s] = 0;
  }
  // Chunk after chunk, so that the payloads copied for the signals stay
  // in the caches while every signal of their messages is cut out.
  for (size_t begin = 0; begin < rows; begin += chunkRows) {
    const size_t end = std::min(rows, begin + chunkRows);
    std::fill(dense.rows.begin(), dense.rows.end(), 0);
    for (size_t r = begin; r < end; ++r)
      if (messageOfRow[r] >= 0) ++dense.rows[messageOfRow[r]];
    size_t bytes = 0, at = 0;
    for (size_t m = 0; m < messageCount; ++m) {
      dense.firstByte[m] = bytes;
      dense.firstRow[m] = at;
      dense.slot[m] = cursor[m];
      cursor[m] += dense.rows[m];
      bytes += dense.rows[m] * (plan->widths[m] + 8);
      at += dense.rows[m];
    }
    scatter(plan, input, begin, end, messageOfRow, &dense, output);
    for (size_t m = 0; m < messageCount; ++m) {
      const uint64_t count = dense.rows[m];
      if (count == 0) continue;
      const uint64_t first = dense.slot[m];
      const cSignalMessage& message = plan->messages[m];
      const uint32_t width = plan->widths[m];
      const uint8_t* payloads = dense.bytes.data() + dense.firstByte[m];
      const uint8_t* lengths = dense.lengths.data() + dense.firstRow[m];
      const uint32_t shortest = *std::min_element(lengths, lengths + count);
      for (uint32_t s = 0; s < message.signalCount; ++s) {
        const size_t index = message.firstSignal + s;
        const Step& step = plan->steps[index];
        uint8_t* present = output->present[index] + first;
        uint64_t* own = nullptr;
        if (step.selects) {
          try {
            patterns[s].resize(count);
          } catch (const std::exception&) {
            return false;
          }
          own = patterns[s].data();
        }
        if (step.needed > width) {  // beyond every payload
          std::memset(present, 0, count);
          const uint64_t missing = missingBits(step);
          void* values = static_cast<uint8_t*>(output->values[index]) +
                         first * valueBytes(step);
          if (valueBytes(step) == 4)
            std::fill_n(static_cast<uint32_t*>(values), count,
                        static_cast<uint32_t>(missing));
          else
            std::fill_n(static_cast<uint64_t*>(values), count, missing);
          continue;
        }
        const size_t mux = step.mux >= 0 ? static_cast<size_t>(step.mux) : 0;
        output->presentCounts[index] += loopFor(step)(
            step, plan->selectors.data() + step.selectorFirst, payloads,
            width + 8, lengths, shortest, count,
            step.mux >= 0 ? output->present[message.firstSignal + mux] + first
                          : nullptr,
            step.mux >= 0 ? patterns[mux].data() : nullptr, own,
            static_cast<uint8_t*>(output->values[index]) +
                first * valueBytes(step),
            present);
      }
    }
  }
  return true;
}
