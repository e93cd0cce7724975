// The signals fuzz path (fuzz_decodeSignals, fuzz/fuzz_paths.h): a file's
// CAN data frames decoded into the signals of fixed layouts, batch after
// batch, and checked row by row against a decoding of the harness's own
// that takes each field bit by bit (the plan loads 8-byte windows).
#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <thread>

#include "decode/cMdfRecordGroupInfo.h"
#include "decode/cSignalPlan.h"
#include "fuzz_digest.h"
#include "fuzz_paths.h"
#include "log/cReason.h"
#include "mdf/cMdf.h"
#include "mdf/cMdfColumns.h"
#include "mdf/cMdfSignals.h"

namespace {

using fuzzpaths::Digest;

// The most rows the sink keeps (it refuses a batch beyond them), and the
// most frames checked.
constexpr uint64_t kMaxRows = 8192;

// --- the layouts -------------------------------------------------------------

constexpr size_t kMaxSignals = 40;
constexpr size_t kMaxSelectors = 16;
constexpr size_t kMaxMessages = 8;
constexpr size_t kStandardIds = 2048;
constexpr size_t kMaxKeys = kStandardIds + 16;
constexpr size_t kChannelCodes = 512;
constexpr uint64_t kExtended = 1ull << 32;

// Layouts and the storage they point into; the view's counts are at most
// the storage's.
struct Layouts {
  cSignalLayout signals[kMaxSignals];
  uint64_t selectors[kMaxSelectors];
  cSignalMessage messages[kMaxMessages];
  cSignalKey keys[kMaxKeys];
  int32_t channelDatabase[kChannelCodes];
  cSignalLayouts view;
};

// The tables below read best with a short name.
constexpr auto& field = cSignalLayout_field;

cSignalLayout scaled(cSignalLayout layout, double scale, double offset) {
  layout.raw = 0;
  layout.scale = scale;
  layout.offset = offset;
  return layout;
}

constexpr bool kLittle = true;
constexpr bool kBig = false;

// Adds messages, selectors and keys to layouts.
struct Builder {
  Layouts* l;

  uint32_t message(std::initializer_list<cSignalLayout> fields) {
    cSignalLayouts& v = l->view;
    l->messages[v.messageCount] = {static_cast<uint32_t>(v.signalCount),
                                   static_cast<uint32_t>(fields.size())};
    for (const cSignalLayout& f : fields) l->signals[v.signalCount++] = f;
    return static_cast<uint32_t>(v.messageCount++);
  }
  // `layout` selected by the signal `multiplexer` of its message when
  // that one's raw value is one of `values` (ascending).
  cSignalLayout muxed(cSignalLayout layout, int32_t multiplexer,
                      std::initializer_list<uint64_t> values) {
    cSignalLayouts& v = l->view;
    layout.multiplexer = multiplexer;
    layout.selectorFirst = static_cast<uint32_t>(v.selectorCount);
    layout.selectorCount = static_cast<uint32_t>(values.size());
    for (uint64_t value : values) l->selectors[v.selectorCount++] = value;
    return layout;
  }
  void key(uint64_t key, uint32_t database, uint32_t message) {
    l->keys[l->view.keyCount++] = {key, database, message};
  }
};

// The fixed layouts: two databases, the second one that of channel code
// 2 (CAN 2), the first the default one, where every standard id belongs
// to one of the first five messages.
void fixedLayouts(Layouts* l) {
  std::memset(l, 0, sizeof *l);
  l->view.signals = l->signals;
  l->view.selectors = l->selectors;
  l->view.messages = l->messages;
  l->view.keys = l->keys;
  l->view.channelDatabase = l->channelDatabase;
  Builder b{l};
  // Little endian, unsigned and signed, a field over nine bytes.
  const uint32_t little = b.message({
      field(0, 8, kLittle, kSignalUnsigned),
      field(4, 12, kLittle, kSignalSigned),
      field(3, 64, kLittle, kSignalUnsigned),
      scaled(field(9, 13, kLittle, kSignalSigned), 0.5, -40),
      scaled(field(56, 8, kLittle, kSignalUnsigned), 1, 0),
  });
  // Big endian (first bits counted MSB first), likewise.
  const uint32_t big = b.message({
      field(0, 8, kBig, kSignalUnsigned),
      field(4, 12, kBig, kSignalSigned),
      field(5, 64, kBig, kSignalUnsigned),
      scaled(field(10, 16, kBig, kSignalSigned), 0.25, 100),
      field(63, 1, kBig, kSignalUnsigned),
  });
  const uint32_t floats = b.message({
      field(0, 32, kLittle, kSignalFloat32),
      scaled(field(32, 32, kBig, kSignalFloat32), 2, 1),
      field(8, 64, kBig, kSignalFloat64),
      scaled(field(0, 64, kLittle, kSignalFloat64), -3, 0.5),
      field(4, 32, kLittle, kSignalFloat32),
  });
  // A multiplexer (signal 0) and a signed one it selects (signal 3), whose
  // selector -1 is sign-extended; signal 6 is selected by no value.
  const uint32_t multiplexed = b.message({
      field(0, 8, kLittle, kSignalUnsigned),
      b.muxed(field(8, 8, kLittle, kSignalUnsigned), 0, {1}),
      b.muxed(scaled(field(8, 16, kBig, kSignalSigned), 0.1, 0), 0,
              {2, 3, 200}),
      b.muxed(field(16, 4, kLittle, kSignalSigned), 0, {1, 4}),
      b.muxed(field(24, 8, kLittle, kSignalUnsigned), 3, {2, ~uint64_t{0}}),
      b.muxed(field(32, 32, kLittle, kSignalFloat32), 3, {0}),
      b.muxed(field(40, 8, kLittle, kSignalUnsigned), 0, {}),
  });
  // CAN FD payloads: fields up to the 64th byte, one beyond it.
  const uint32_t wide = b.message({
      field(504, 8, kLittle, kSignalUnsigned),
      field(500, 12, kLittle, kSignalUnsigned),
      field(505, 8, kLittle, kSignalUnsigned),
      scaled(field(96, 64, kBig, kSignalSigned), 1e-3, -1),
      field(447, 64, kLittle, kSignalSigned),
  });
  const uint32_t second = b.message({
      field(0, 16, kLittle, kSignalUnsigned),
      scaled(field(0, 16, kBig, kSignalUnsigned), 0.01, 0),
  });
  const uint32_t byId[5] = {little, big, floats, multiplexed, wide};
  for (uint32_t id = 0; id < kStandardIds; ++id) b.key(id, 0, byId[id % 5]);
  b.key(0x100 + kExtended, 0, floats);
  b.key(0x18FEF100 + kExtended, 0, wide);
  b.key(0x1ABCDE + kExtended, 0, multiplexed);
  b.key(0x7FF + kExtended, 0, big);
  b.key(0x12345, 0, little);  // a standard frame's id beyond 11 bits
  b.key(0x100, 1, second);
  b.key(0x101, 1, little);
  b.key(0x100 + kExtended, 1, second);
  b.key(0x123, 1, big);
  b.key(0x123, 1, second);  // given twice: the last one holds
  for (int32_t& database : l->channelDatabase) database = -1;
  l->channelDatabase[kMdfChannelCan + 2] = 1;
  l->view.databaseCount = 2;
  l->view.defaultDatabase = 0;
}

// Input bytes, then zeros.
struct Bytes {
  const uint8_t* at;
  size_t left;
  uint8_t next() {
    if (left == 0) return 0;
    --left;
    return *at++;
  }
};

// Changes fields of the layouts as `bytes` say, each change an operation
// byte, an index byte and the new value's bytes; the results may be
// layouts the plan must refuse.
void changeLayouts(Layouts* l, Bytes bytes) {
  static constexpr double kNumbers[8] = {0,    -1,       0.5,      1e308,
                                         -0.0, 4.9e-324, INFINITY, NAN};
  cSignalLayouts& v = l->view;
  while (bytes.left > 0) {
    const uint8_t op = bytes.next();
    const uint8_t index = bytes.next();
    cSignalLayout& s = l->signals[index % kMaxSignals];
    // Keys from the last ones (those of the extended ids and the second
    // database) back.
    cSignalKey& key = l->keys[v.keyCount - 1 - index % v.keyCount];
    switch (op % 13) {
      case 0:
        s.firstBit = bytes.next() | bytes.next() << 8;
        if ((op & 0x80) != 0) s.firstBit = ~s.firstBit;
        break;
      case 1:
        s.length = bytes.next();
        break;
      case 2:
        s.littleEndian = bytes.next();
        break;
      case 3:
        s.kind = bytes.next();
        break;
      case 4:
        s.raw = bytes.next();
        break;
      case 5:
        s.multiplexer = static_cast<int8_t>(bytes.next());
        break;
      case 6:
        s.selectorFirst = bytes.next();
        s.selectorCount = bytes.next();
        break;
      case 7:
        s.scale = kNumbers[bytes.next() % 8];
        s.offset = kNumbers[bytes.next() % 8];
        break;
      case 8: {
        cSignalMessage& message = l->messages[index % kMaxMessages];
        message.firstSignal = bytes.next();
        message.signalCount = bytes.next();
        break;
      }
      case 9:
        key.message = bytes.next();
        key.database = bytes.next();
        break;
      case 10:
        key.key = uint64_t{bytes.next()} << (bytes.next() % 40);
        break;
      case 11:
        l->selectors[index % kMaxSelectors] =
            static_cast<uint64_t>(static_cast<int8_t>(bytes.next()));
        break;
      default:
        switch (index % 5) {
          case 0:
            v.defaultDatabase = static_cast<int8_t>(bytes.next());
            break;
          case 1:
            l->channelDatabase[(bytes.next() | bytes.next() << 8) %
                               kChannelCodes] =
                static_cast<int8_t>(bytes.next());
            break;
          case 2:
            v.databaseCount = bytes.next() * 3u;
            break;
          case 3:
            v.signalCount = bytes.next() % (kMaxSignals + 1);
            break;
          default:
            v.messageCount = bytes.next() % (kMaxMessages + 1);
            break;
        }
        break;
    }
  }
}

// --- the frames, and their signals bit by bit
// ---------------------------------

// The first kMaxRows CAN data frames of the file, as the decoding's reader
// gives them, and the message each belongs to.
struct Frames {
  uint64_t rows;
  bool more;  // the file has frames beyond these
  double timestamp[kMaxRows];
  int64_t timestampNs[kMaxRows];
  uint16_t channel[kMaxRows];
  uint32_t id[kMaxRows];
  uint8_t extended[kMaxRows];
  uint8_t values[kMaxRows * 64];
  int64_t offsets[kMaxRows + 1];
  int32_t message[kMaxRows];  // -1: none
  // The row number the decoding gives each frame (-1: it keeps none): its
  // place among the frames kept.
  int64_t row[kMaxRows];
};

// Static: 900 kB, and the path runs once at a time.
Frames frames;

// The CAN data frames of the file into `frames`; false when reading fails.
bool readFrames(cMdf* mdf, Frames* f) {
  cMdfColumnFilter filter{};
  filter.kinds = 1u << kMdfBusMsgCanData;
  cMdfColumnReader* reader = cMdfColumnReader_ctor(mdf, &filter);
  if (reader == nullptr) return false;
  cMdfColumnOutput out{};
  out.capacity = kMaxRows;
  out.columns[kMdfColumnTimestamp] = f->timestamp;
  out.columns[kMdfColumnTimestampNs] = f->timestampNs;
  out.columns[kMdfColumnChannel] = f->channel;
  out.columns[kMdfColumnArbitrationId] = f->id;
  out.columns[kMdfColumnIsExtendedId] = f->extended;
  out.columns[kMdfColumnDataValues] = f->values;
  out.columns[kMdfColumnDataOffsets] = f->offsets;
  f->rows = cMdfColumnReader_fill(reader, &out);
  uint8_t id[4];
  cMdfColumnOutput rest{};
  rest.capacity = 1;
  rest.columns[kMdfColumnArbitrationId] = id;
  f->more = cMdfColumnReader_fill(reader, &rest) > 0;
  const bool read = cMdfColumnReader_failure(reader) == kMdfReadOk;
  cMdfColumnReader_dtor(reader);
  return read;
}

// The message of a frame: that of the last key of its database (its
// channel's, else the default one) that is its id.
int32_t messageOf(const cSignalLayouts& l, const Frames& f, uint64_t row) {
  int64_t database = l.defaultDatabase;
  if (f.channel[row] < kChannelCodes && l.channelDatabase[f.channel[row]] >= 0)
    database = l.channelDatabase[f.channel[row]];
  const uint64_t key = f.id[row] + (f.extended[row] != 0 ? kExtended : 0);
  int32_t message = -1;
  for (size_t k = 0; database >= 0 && k < l.keyCount; ++k) {
    if (l.keys[k].key == key && l.keys[k].database == database)
      message = static_cast<int32_t>(l.keys[k].message);
  }
  return message;
}

// A field's bits, right-aligned and sign-extended for a signed field; false
// when the payload does not hold the field.
bool bitsOf(const cSignalLayout& s, const uint8_t* payload, uint64_t size,
            uint64_t* bits) {
  const uint64_t end = uint64_t{s.firstBit} + s.length;
  if (end > 64 * 8 || (end + 7) / 8 > size) return false;
  uint64_t value = 0;
  for (uint64_t i = 0; i < s.length; ++i) {
    const uint64_t at = s.firstBit + i;
    if (s.littleEndian != 0) {
      value |= uint64_t{(payload[at / 8] >> (at % 8)) & 1u} << i;
    } else {
      value |= uint64_t{(payload[at / 8] >> (7 - at % 8)) & 1u}
               << (s.length - 1 - i);
    }
  }
  if (s.kind == kSignalSigned && s.length < 64 &&
      (value >> (s.length - 1)) != 0)
    value |= ~uint64_t{0} << s.length;
  *bits = value;
  return true;
}

// The bytes a signal stores per row.
size_t storedBytes(const cSignalLayout& s) {
  return s.raw != 0 && s.kind == kSignalFloat32 ? 4 : 8;
}

// The value a signal stores for `bits`, in `bytes` bytes.
void storedValue(const cSignalLayout& s, uint64_t bits, uint8_t* bytes) {
  const auto single = std::bit_cast<float>(static_cast<uint32_t>(bits));
  if (s.raw != 0) {
    if (s.kind == kSignalFloat32)
      std::memcpy(bytes, &single, 4);
    else
      std::memcpy(bytes, &bits, 8);
    return;
  }
  double value;
  if (s.kind == kSignalFloat32)
    value = static_cast<double>(single);
  else if (s.kind == kSignalFloat64)
    value = std::bit_cast<double>(bits);
  else if (s.kind == kSignalSigned)
    value = static_cast<double>(static_cast<int64_t>(bits));
  else
    value = static_cast<double>(bits);
  const double product = value * s.scale;
  const double stored = product + s.offset;
  std::memcpy(bytes, &stored, 8);
}

// The value a signal stores where it is missing: NaN where the value is a
// float, else 0.
void missingValue(const cSignalLayout& s, uint8_t* bytes) {
  if (s.raw != 0 && s.kind == kSignalFloat32) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    std::memcpy(bytes, &nan, 4);
  } else if (s.raw == 0 || s.kind == kSignalFloat64) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    std::memcpy(bytes, &nan, 8);
  } else {
    std::memset(bytes, 0, 8);
  }
}

// Whether a stored value is the expected one: the same bytes, or both NaN
// (a NaN's payload is the arithmetic's business).
bool sameValue(const cSignalLayout& s, const uint8_t* got,
               const uint8_t* wanted) {
  const size_t size = storedBytes(s);
  if (std::memcmp(got, wanted, size) == 0) return true;
  if (size != 8 || s.raw != 0) return false;
  double a, b;
  std::memcpy(&a, got, 8);
  std::memcpy(&b, wanted, 8);
  return std::isnan(a) && std::isnan(b);
}

// --- the sink ----------------------------------------------------------------

// Blocks of memory, each exactly as large as asked (so that the sanitizer
// sees a write beyond one), filled with a pattern that shows where nothing
// was written, and freed together.
template <size_t Most>
struct Owned {
  void* blocks[Most] = {};
  size_t count = 0;

  Owned() = default;
  ~Owned() { release(); }
  Owned(const Owned&) = delete;
  Owned& operator=(const Owned&) = delete;

  void release() {
    for (size_t i = 0; i < count; ++i) free(blocks[i]);
    count = 0;
  }
  // `bytes` bytes of 0xA5; null when memory runs short.
  uint8_t* take(uint64_t bytes) {
    if (count == Most)
      fuzzpaths::broken("fuzz_decodeSignals", "more arrays than it holds");
    auto* p = static_cast<uint8_t*>(malloc(bytes > 0 ? bytes : 1));
    if (p == nullptr) return nullptr;
    std::memset(p, 0xA5, bytes);
    blocks[count++] = p;
    return p;
  }
};

// The bytes of an element of each carried column (cMdfSignals.h).
constexpr uint32_t kCarriedWidths[kMdfSignalCarried] = {8, 8, 2};

// Per message: its row numbers and carried columns; per signal its values
// and present flags.
constexpr size_t kOutputArrays =
    kMaxMessages * (1 + kMdfSignalCarried) + 2 * kMaxSignals;

// Takes each batch into arrays of exactly its rows (so that the sanitizer
// sees a write beyond them), checks the batch before the next one, and
// keeps a digest of what it received. With `someRows`, asks for the row
// numbers of the even messages only.
struct Sink {
  const cSignalLayouts* layouts;
  const Frames* frames;
  size_t messages;  // the plan's messages
  bool someRows;
  uint64_t kept = 0;
  bool refused = false;      // beyond kMaxRows
  bool outOfMemory = false;  // the arrays could not be had
  bool lastSeen = false;
  const char* mismatch = nullptr;  // the first disagreement
  Digest digest;
  uint64_t present[kMaxSignals] = {};  // rows where each signal was present
  // Per message, the frame after the one of its last row so far.
  uint64_t cursor[kMaxMessages] = {};
  // Set on the second thread: prepare had other counts than the batch
  // reserved last (read on the caller's thread once the fill is over).
  bool preparedOther = false;
  // The batch in hand, reserved and not settled yet.
  bool pending = false;
  uint64_t counts[kMaxMessages] = {};
  // What reserve hands over: per message, signal and carried column.
  int64_t* rows[kMaxMessages] = {};
  void* values[kMaxSignals] = {};
  uint8_t* presentOut[kMaxSignals] = {};
  void* carried[kMaxMessages * kMdfSignalCarried] = {};
  // Each message's own signal arrays: were a signal of two messages, the
  // arrays of the first would show what extract left out.
  uint8_t* messageValues[kMaxMessages][kMaxSignals] = {};
  uint8_t* messagePresent[kMaxMessages][kMaxSignals] = {};
  Owned<kOutputArrays> owned;

  Sink(const cSignalLayouts* l, const Frames* f, size_t planMessages, bool some)
      : layouts(l), frames(f), messages(planMessages), someRows(some) {}

  void release() { owned.release(); }
  uint8_t* take(uint64_t bytes) { return owned.take(bytes); }
  void disagree(const char* what) {
    if (mismatch == nullptr) mismatch = what;
  }

  static bool reserve(void* context, const uint64_t* counts, bool last,
                      cSignalOutput* output) {
    return static_cast<Sink*>(context)->reserveBatch(counts, last, output);
  }

  // On the second thread, while the batch reserved last is extracted:
  // the counts must be that batch's; holds on until told to stop, as a
  // sink faulting in memory would.
  static void prepare(void* context, const uint64_t* counts,
                      const std::atomic<bool>* stop) {
    auto* sink = static_cast<Sink*>(context);
    if (std::memcmp(sink->counts, counts, sink->messages * sizeof *counts) != 0)
      sink->preparedOther = true;
    while (!stop->load(std::memory_order_relaxed)) std::this_thread::yield();
  }

  // After the batch reserved last is extracted: checks it.
  static bool settle(void* context, const uint64_t* presentCounts) {
    static_cast<Sink*>(context)->check(presentCounts);
    return true;
  }

  // The frame of message m's next row, or -1 beyond the frames read.
  int64_t nextFrame(size_t m) {
    for (uint64_t r = cursor[m]; r < frames->rows; ++r) {
      if (frames->message[r] == static_cast<int32_t>(m)) {
        cursor[m] = r + 1;
        return static_cast<int64_t>(r);
      }
    }
    cursor[m] = frames->rows;
    return -1;
  }

  bool reserveBatch(const uint64_t* batchCounts, bool last,
                    cSignalOutput* output) {
    if (pending) disagree("a batch reserved before the last one settled");
    release();
    if (lastSeen) disagree("a batch after the last one");
    lastSeen = last;
    if (preparedOther) disagree("prepared for other counts than the batch's");
    uint64_t rowsHere = 0;
    for (size_t m = 0; m < messages; ++m) rowsHere += batchCounts[m];
    if (rowsHere > kMaxRows - kept) {
      refused = true;
      return false;
    }
    kept += rowsHere;
    for (size_t m = 0; m < messages; ++m) {
      const uint64_t count = counts[m] = batchCounts[m];
      rows[m] = nullptr;
      for (size_t c = 0; c < kMdfSignalCarried; ++c)
        carried[m * kMdfSignalCarried + c] = nullptr;
      if (count == 0) continue;
      const cSignalMessage& message = layouts->messages[m];
      const bool numbered = !someRows || m % 2 == 0;
      if (numbered) rows[m] = reinterpret_cast<int64_t*>(take(count * 8));
      carried[m * kMdfSignalCarried] = take(count * 8);
      carried[m * kMdfSignalCarried + 1] = take(count * 8);
      carried[m * kMdfSignalCarried + 2] = take(count * 2);
      bool have = !numbered || rows[m] != nullptr;
      for (size_t c = 0; c < kMdfSignalCarried; ++c)
        have = have && carried[m * kMdfSignalCarried + c] != nullptr;
      for (uint32_t s = 0; have && s < message.signalCount; ++s) {
        const size_t index = message.firstSignal + s;
        messageValues[m][s] =
            take(count * storedBytes(layouts->signals[index]));
        messagePresent[m][s] = take(count);
        values[index] = messageValues[m][s];
        presentOut[index] = messagePresent[m][s];
        have =
            messageValues[m][s] != nullptr && messagePresent[m][s] != nullptr;
      }
      if (!have) {
        outOfMemory = true;
        return false;
      }
    }
    output->rows = rows;
    output->values = values;
    output->present = presentOut;
    output->carried = carried;
    pending = true;
    return true;
  }

  // Checks the batch in hand against the frames and the batch's present
  // counts, adds it to the digest and lets its arrays go.
  void check(const uint64_t* presentCounts) {
    if (!pending) disagree("a batch settled that was not reserved");
    for (size_t m = 0; pending && m < messages; ++m) {
      for (uint64_t k = 0; k < counts[m]; ++k) checkRow(m, k);
      const cSignalMessage& message = layouts->messages[m];
      for (uint32_t s = 0; s < message.signalCount; ++s) {
        uint64_t here = 0;
        for (uint64_t k = 0; k < counts[m]; ++k)
          here += messagePresent[m][s][k];
        if (presentCounts[message.firstSignal + s] != here)
          disagree("a batch's present count that is not its rows'");
      }
    }
    pending = false;
    release();
  }

  // Row k of message m, which must be the message's next frame.
  void checkRow(size_t m, uint64_t k) {
    const auto* timestamps = static_cast<const double*>(carried[m * 3]);
    const auto* timestampsNs = static_cast<const int64_t*>(carried[m * 3 + 1]);
    const auto* channels = static_cast<const uint16_t*>(carried[m * 3 + 2]);
    const int64_t frame = nextFrame(m);
    digest.add(m);
    if (rows[m] != nullptr) {
      digest.add(rows[m][k]);
      if (frame >= 0 && rows[m][k] != frames->row[frame])
        disagree("a row number that is not the frame's");
    }
    digest.add(timestamps[k]);
    digest.add(timestampsNs[k]);
    digest.add(channels[k]);
    const cSignalMessage& message = layouts->messages[m];
    for (uint32_t s = 0; s < message.signalCount; ++s) {
      const cSignalLayout& signal = layouts->signals[message.firstSignal + s];
      digest.add(messagePresent[m][s][k]);
      digest.add(messageValues[m][s] + k * storedBytes(signal),
                 storedBytes(signal));
      present[message.firstSignal + s] += messagePresent[m][s][k];
    }
    if (frame < 0) {
      // Beyond the frames read, where there are more.
      if (!frames->more) disagree("more rows of a message than its frames");
      return;
    }
    const auto r = static_cast<size_t>(frame);
    if (std::memcmp(&timestamps[k], &frames->timestamp[r], 8) != 0 ||
        timestampsNs[k] != frames->timestampNs[r] ||
        channels[k] != frames->channel[r])
      disagree("carried columns that are not the row's");
    checkSignals(m, k, r);
  }

  // The row's signals bit by bit: present where the payload holds them
  // and their multiplexer selects them, their values, NaN or zero where
  // absent.
  void checkSignals(size_t m, uint64_t k, size_t r) {
    const cSignalMessage& message = layouts->messages[m];
    const uint8_t* payload = frames->values + frames->offsets[r];
    const auto size =
        static_cast<uint64_t>(frames->offsets[r + 1] - frames->offsets[r]);
    bool here[kMaxSignals];
    uint64_t bits[kMaxSignals];
    for (uint32_t s = 0; s < message.signalCount; ++s) {
      const cSignalLayout& signal = layouts->signals[message.firstSignal + s];
      bits[s] = 0;
      here[s] = bitsOf(signal, payload, size, &bits[s]);
      if (here[s] && signal.multiplexer >= 0) {
        const auto mux = static_cast<uint32_t>(signal.multiplexer);
        bool selected = false;
        for (uint32_t v = 0; v < signal.selectorCount; ++v)
          selected = selected ||
                     layouts->selectors[signal.selectorFirst + v] == bits[mux];
        here[s] = here[mux] && selected;
      }
      uint8_t wanted[8] = {};
      if (here[s])
        storedValue(signal, bits[s], wanted);
      else
        missingValue(signal, wanted);
      if (messagePresent[m][s][k] != (here[s] ? 1 : 0))
        disagree("a present flag differs from the payload's");
      else if (!sameValue(signal, messageValues[m][s] + k * storedBytes(signal),
                          wanted))
        disagree(here[s] ? "a value differs from the payload's"
                         : "a missing value is not NaN or zero");
    }
  }
};

[[noreturn]] void broken(const char* what) {
  fuzzpaths::broken("fuzz_decodeSignals", what);
}

// --- the split extraction ----------------------------------------------------

// Rows from which cMdfSignals_extract shares its work with a second thread.
constexpr uint64_t kSplitRows = 65536;

// The frames repeated into kSplitRows rows and more, as the input of an
// extraction in memory; its arrays exactly as long as its rows.
struct Repeated {
  Owned<12> owned;
  cSignalInput input{};
  const void* carried[kMdfSignalCarried] = {};
  int32_t* messageOfRow = nullptr;
  uint64_t counts[kMaxMessages] = {};
};

// The frame row r of `rows` repeats, or -1 for a row that is not usable:
// the frames stand at the start, on both sides of the middle (where the
// split cuts) and at the end; the rows between them, most of them, cost
// the match and the extraction little.
int64_t frameOfRow(const Frames& f, uint64_t rows, uint64_t r) {
  const uint64_t middle = rows / 2;
  const bool copy = r < f.rows || r + f.rows >= rows ||
                    (r + f.rows >= middle && r < middle + f.rows);
  return copy ? static_cast<int64_t>(r % f.rows) : -1;
}

// Builds the repetition of `f` and matches it; false when memory runs
// short. Its payloads are packed behind offsets, or with `slots` 64 bytes
// a row with their lengths; with `unusable`, every third copy of a frame
// is not usable either and there are no channels (every row of the
// default database).
bool repeat(const Frames& f, const cSignalPlan* plan, bool slots, bool unusable,
            Repeated* out) {
  const uint64_t rows = kSplitRows + f.rows;
  auto sizeOf = [&](int64_t frame) {
    return frame < 0
               ? 0
               : static_cast<uint64_t>(f.offsets[frame + 1] - f.offsets[frame]);
  };
  uint64_t payloadSize = 0;
  for (uint64_t r = 0; r < rows; ++r)
    payloadSize += slots ? 64 : sizeOf(frameOfRow(f, rows, r));
  auto* ids = reinterpret_cast<uint32_t*>(out->owned.take(rows * 4));
  uint8_t* extended = out->owned.take(rows);
  auto* channels = reinterpret_cast<uint16_t*>(out->owned.take(rows * 2));
  auto* timestamps = reinterpret_cast<double*>(out->owned.take(rows * 8));
  auto* timestampsNs = reinterpret_cast<int64_t*>(out->owned.take(rows * 8));
  out->messageOfRow = reinterpret_cast<int32_t*>(out->owned.take(rows * 4));
  uint8_t* payload = out->owned.take(payloadSize);
  auto* offsets =
      slots ? nullptr
            : reinterpret_cast<int64_t*>(out->owned.take((rows + 1) * 8));
  uint8_t* lengths = slots ? out->owned.take(rows) : nullptr;
  uint8_t* usable = out->owned.take(rows);
  if (ids == nullptr || extended == nullptr || channels == nullptr ||
      timestamps == nullptr || timestampsNs == nullptr ||
      out->messageOfRow == nullptr || payload == nullptr ||
      (slots ? lengths == nullptr : offsets == nullptr) || usable == nullptr)
    return false;
  uint64_t at = 0;
  for (uint64_t r = 0; r < rows; ++r) {
    const int64_t frame = frameOfRow(f, rows, r);
    const uint64_t size = sizeOf(frame);
    ids[r] = frame < 0 ? 0 : f.id[frame];
    extended[r] = frame < 0 ? 0 : f.extended[frame];
    channels[r] = frame < 0 ? 0 : f.channel[frame];
    timestamps[r] = frame < 0 ? 0 : f.timestamp[frame];
    timestampsNs[r] = frame < 0 ? 0 : f.timestampNs[frame];
    const uint8_t* bytes = frame < 0 ? nullptr : f.values + f.offsets[frame];
    if (slots) {
      if (size > 0) std::memcpy(payload + r * 64, bytes, size);
      lengths[r] = static_cast<uint8_t>(size);
    } else {
      if (size > 0) std::memcpy(payload + at, bytes, size);
      offsets[r] = static_cast<int64_t>(at);
      at += size;
    }
    usable[r] = frame >= 0 && (!unusable || r % 3 != 0);
  }
  if (offsets != nullptr) offsets[rows] = static_cast<int64_t>(at);
  out->carried[0] = timestamps;
  out->carried[1] = timestampsNs;
  out->carried[2] = channels;
  cSignalInput& input = out->input;
  input.rows = rows;
  input.ids = ids;
  input.extended = extended;
  input.channels = unusable ? nullptr : channels;
  input.usable = usable;
  input.payload = payload;
  input.payloadSize = payloadSize;
  input.offsets = offsets;
  input.lengths = lengths;
  input.carried = out->carried;
  input.carriedWidths = kCarriedWidths;
  input.carriedCount = kMdfSignalCarried;
  input.firstRow = static_cast<int64_t>(f.rows);
  cReason reason{};
  if (!cSignalPlan_match(plan, &input, out->messageOfRow, out->counts, &reason))
    broken("the repeated rows refused");
  return true;
}

// Where one extraction of the repetition goes: every array exactly as long
// as its message's rows; row numbers for every message, for the even ones
// only (`someRows`), or for none (`noRows`).
struct Extracted {
  Owned<kOutputArrays> owned;
  int64_t* rows[kMaxMessages] = {};
  void* values[kMaxSignals] = {};
  uint8_t* present[kMaxSignals] = {};
  uint64_t presentCounts[kMaxSignals] = {};
  void* carried[kMaxMessages * kMdfSignalCarried] = {};
  cSignalOutput output{};

  // False when memory runs short.
  bool reserve(const cSignalPlan* plan, const uint64_t* counts, bool someRows,
               bool noRows) {
    for (size_t m = 0; m < cSignalPlan_messageCount(plan); ++m) {
      const uint64_t count = counts[m];
      if (count == 0) continue;
      if (!noRows && (!someRows || m % 2 == 0)) {
        rows[m] = reinterpret_cast<int64_t*>(owned.take(count * 8));
        if (rows[m] == nullptr) return false;
      }
      for (size_t c = 0; c < kMdfSignalCarried; ++c) {
        carried[m * kMdfSignalCarried + c] =
            owned.take(count * kCarriedWidths[c]);
        if (carried[m * kMdfSignalCarried + c] == nullptr) return false;
      }
      const cSignalMessage message = cSignalPlan_message(plan, m);
      for (uint32_t k = 0; k < message.signalCount; ++k) {
        const size_t s = message.firstSignal + k;
        values[s] = owned.take(count * cSignalPlan_valueWidth(plan, s));
        present[s] = owned.take(count);
        if (values[s] == nullptr || present[s] == nullptr) return false;
      }
    }
    output = {noRows ? nullptr : rows, values, present, presentCounts, carried};
    return true;
  }
};

// Whether two extractions of the repetition wrote the same: row numbers,
// carried columns, values, present flags and counts.
bool sameExtraction(const cSignalPlan* plan, const uint64_t* counts,
                    const Extracted& a, const Extracted& b) {
  bool same = true;
  for (size_t m = 0; m < cSignalPlan_messageCount(plan); ++m) {
    const uint64_t count = counts[m];
    if (count == 0) continue;
    if (a.rows[m] != nullptr)
      same = same && std::memcmp(a.rows[m], b.rows[m], count * 8) == 0;
    for (size_t c = 0; c < kMdfSignalCarried; ++c) {
      const size_t at = m * kMdfSignalCarried + c;
      same = same && std::memcmp(a.carried[at], b.carried[at],
                                 count * kCarriedWidths[c]) == 0;
    }
    const cSignalMessage message = cSignalPlan_message(plan, m);
    for (uint32_t k = 0; k < message.signalCount; ++k) {
      const size_t s = message.firstSignal + k;
      same = same &&
             std::memcmp(a.values[s], b.values[s],
                         count * cSignalPlan_valueWidth(plan, s)) == 0 &&
             std::memcmp(a.present[s], b.present[s], count) == 0;
    }
  }
  const size_t signals = cSignalPlan_signalCount(plan);
  return same && std::memcmp(a.presentCounts, b.presentCounts,
                             signals * sizeof *a.presentCounts) == 0;
}

// The frames repeated beyond kSplitRows rows, extracted in memory once in
// one piece and once split over two threads: both must write the same.
// False when memory runs short, else *digest covers the extraction.
bool checkSplit(const Frames& f, const cSignalPlan* plan, uint8_t flags,
                Digest* digest) {
  Repeated repeated;
  if (!repeat(f, plan, (flags & kFuzzSlots) != 0, (flags & kFuzzUnusable) != 0,
              &repeated))
    return false;
  const bool someRows = (flags & kFuzzSomeRows) != 0;
  const bool noRows = someRows && (flags & kFuzzOverlap) == 0;
  Extracted whole, split;
  if (!whole.reserve(plan, repeated.counts, someRows, noRows) ||
      !split.reserve(plan, repeated.counts, someRows, noRows))
    return false;
  if (!cMdfSignals_extract(plan, &repeated.input, repeated.messageOfRow,
                           repeated.counts, &whole.output, false) ||
      !cMdfSignals_extract(plan, &repeated.input, repeated.messageOfRow,
                           repeated.counts, &split.output, true))
    return false;
  if (!sameExtraction(plan, repeated.counts, whole, split))
    broken("a split extraction that differs from the whole one");
  digest->add(repeated.counts, sizeof repeated.counts);
  digest->add(whole.presentCounts, sizeof whole.presentCounts);
  return true;
}

// The distinct arbitration ids of the layouts' keys into `ids`; how many.
size_t keyIds(const cSignalLayouts& layouts, uint32_t* ids) {
  size_t count = 0;
  for (size_t k = 0; k < layouts.keyCount; ++k) {
    const auto id = static_cast<uint32_t>(layouts.keys[k].key);
    if (std::find(ids, ids + count, id) == ids + count) ids[count++] = id;
  }
  return count;
}

// Decodes the frames of `mdf` with `plan` (built from `layouts`) and checks
// what the sink received, and with `split` the split extraction; with
// `prefetched` reads ahead of the plan and keeps the frames of the
// layouts' ids only. False when reading failed or memory ran short, else
// *digest (when not null) covers it.
bool decode(cMdf* mdf, const cSignalLayouts& layouts, const cSignalPlan* plan,
            uint8_t flags, bool split, bool prefetched, uint64_t* digest) {
  Frames& f = frames;
  if (!readFrames(mdf, &f)) return false;
  static uint32_t ids[kMaxKeys];
  const size_t idCount = prefetched ? keyIds(layouts, ids) : 0;
  uint64_t kept = 0, unmatched = 0;
  for (uint64_t r = 0; r < f.rows; ++r) {
    f.message[r] = messageOf(layouts, f, r);
    const bool keep =
        !prefetched || std::find(ids, ids + idCount, f.id[r]) != ids + idCount;
    f.row[r] = keep ? static_cast<int64_t>(kept++) : -1;
    unmatched += keep && f.message[r] < 0;
  }
  cMdfColumnFilter filter{};
  filter.kinds = 1u << kMdfBusMsgCanData;
  cMdfColumnReader* reader = cMdfColumnReader_ctor(mdf, &filter);
  if (reader == nullptr) return false;
  Sink sink(&layouts, &f, cSignalPlan_messageCount(plan),
            (flags & kFuzzSomeRows) != 0);
  const cMdfSignalSink callbacks{&sink, Sink::reserve, Sink::prepare,
                                 Sink::settle};
  uint64_t presentCounts[kMaxSignals];
  cMdfSignalRun run{};
  const uint64_t batchRows = (flags & kFuzzSmallBatches) != 0 ? 7 : 64;
  const bool overlap = (flags & kFuzzOverlap) != 0;
  int32_t result = kMdfSignalsNoMemory;
  if (prefetched) {
    cMdfSignalPrefetch* prefetch =
        cMdfSignals_prefetch(reader, batchRows, overlap);
    if (prefetch != nullptr)
      result = cMdfSignals_decodePrefetched(prefetch, plan, ids, idCount,
                                            &callbacks, presentCounts, &run);
    cMdfSignals_prefetchDtor(prefetch);
  } else {
    result = cMdfSignals_decode(reader, plan, batchRows, overlap, &callbacks,
                                presentCounts, &run);
  }
  const bool read = cMdfColumnReader_failure(reader) == kMdfReadOk;
  cMdfColumnReader_dtor(reader);
  // A read that failed orders the frames otherwise (a data group ends
  // early): nothing to compare with.
  const bool complete = result == kMdfSignalsDone ||
                        (result == kMdfSignalsStopped && sink.refused);
  if (!read || !complete) {
    if (read && result == kMdfSignalsBadInput)
      broken("the reader's own rows refused");
    return false;
  }
  if (sink.mismatch != nullptr) broken(sink.mismatch);
  for (size_t s = 0; s < layouts.signalCount; ++s) {
    if (result == kMdfSignalsDone && presentCounts[s] != sink.present[s])
      broken("present counts that are not the rows present");
  }
  if (result == kMdfSignalsDone && !f.more) {
    if (run.rows != kept || run.unmatched != unmatched)
      broken("rows or unmatched rows that are not the frames'");
    for (size_t m = 0; m < sink.messages; ++m) {
      if (sink.nextFrame(m) >= 0) broken("a frame of a message not decoded");
    }
  }
  sink.digest.add(result);
  sink.digest.add(run.rows);
  sink.digest.add(run.unmatched);
  sink.digest.add(run.batches);
  if (split && f.rows > 0 && !checkSplit(f, plan, flags, &sink.digest))
    return false;
  if (digest != nullptr) *digest = sink.digest.value;
  return true;
}

}  // namespace

bool fuzz_decodeSignals(cIO* stream, uint64_t* digest, bool anyWriter) {
  uint8_t tail[kFuzzLayoutBytes + 1];
  size_t got = 0;
  if (!fuzz_tail(stream, tail, sizeof tail, &got)) {
    cIO_close(stream);
    return false;
  }
  const uint8_t flags = got > 0 ? tail[got - 1] : 0;
  const uint8_t mark = (flags & kFuzzSplit) != 0 && got > 1 ? tail[got - 2] : 0;
  const bool split = mark == kFuzzSplitMark;
  const bool prefetched = mark == kFuzzPrefetchMark;
  static Layouts layouts;
  fixedLayouts(&layouts);
  if ((flags & kFuzzLayouts) != 0 && got > 1)
    changeLayouts(&layouts, Bytes{tail, got - 1});
  cReason reason{};
  cSignalPlan* plan = cSignalPlan_ctor(&layouts.view, &reason);
  if (plan == nullptr) {
    // Refused, or out of memory (no reason then).
    if (cReason_isSet(&reason) && cReason_text(&reason)[0] == '\0')
      broken("layouts refused with an empty reason");
    cIO_close(stream);
    return false;
  }
  if (cSignalPlan_messageCount(plan) != layouts.view.messageCount ||
      cSignalPlan_signalCount(plan) != layouts.view.signalCount)
    broken("a plan of other counts than its layouts");
  cMdf* mdf = cMdf_open(stream, nullptr, anyWriter);
  const bool read = mdf != nullptr && decode(mdf, layouts.view, plan, flags,
                                             split, prefetched, digest);
  cMdf_close(mdf);
  cIO_close(stream);
  cSignalPlan_dtor(plan);
  return read;
}
