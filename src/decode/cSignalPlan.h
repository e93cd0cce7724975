// Signal plans: the messages of CAN databases compiled into a layout that
// cuts every signal out of a whole column of payloads in one pass, for the
// package's decode_signals (python_can_brenix_mf4/_signals.py).
//
//   cSignalPlan* plan = cSignalPlan_ctor(&layouts, &reason);  // null: bad
//   layouts cSignalPlan_match(plan, &input, messageOfRow, counts);  // rows per
//   message
//   ... size the outputs from counts ...
//   cSignalPlan_extract(plan, &input, messageOfRow, &output);
//   cSignalPlan_dtor(plan);
//
// Semantics (those of cantools' decode_message with truncated frames
// allowed, per signal):
//   - a row belongs to the message whose key (arbitration id, plus 1 << 32
//     for an extended id) the row's database has; the row's database is
//     the one of its channel, else the default one; rows of no message
//     (or not usable) belong to none;
//   - a signal is present in a row when the payload holds all its bits and,
//     where a multiplexer selects it, that multiplexer is present and its
//     raw value is one of the signal's selector values;
//   - the raw value is the field's bits, right-aligned, as an unsigned or
//     sign-extended integer or as the bits of an IEEE single or double;
//   - the stored value is that raw value as uint64, int64, float or double
//     when the signal keeps raw values, else (double)raw * scale + offset.
// An absent signal's value in a row is NaN where the value is a float (a
// physical value, or a raw float's), else 0; never what the memory held.
//
// Everything is bounded by the layouts' sizes and the input's rows: no
// allocation per row, no recursion, no read outside the input's buffers.
#pragma once

#include <cstddef>
#include <cstdint>

#include "log/cReason.h"

enum cSignalKind : uint8_t {
  kSignalUnsigned = 0,
  kSignalSigned = 1,
  kSignalFloat32 = 2,
  kSignalFloat64 = 3,
};

// One signal as the layouts give it; records of exactly this layout come
// from Python (a numpy structured array).
struct cSignalLayout {
  // The payload position of the field's first bit: for little endian its
  // least significant bit, counted LSB-first from byte 0; for big endian
  // its most significant bit, counted MSB-first from byte 0. Fields that
  // end beyond 64 bytes are never present.
  uint32_t firstBit;
  uint8_t length;        // bits, 1 to 64 (floats: 32 or 64)
  uint8_t littleEndian;  // 0 or 1
  uint8_t kind;          // cSignalKind
  uint8_t raw;           // 1: store the raw value, 0: raw * scale + offset
  // The index, within its message, of the multiplexer that selects this
  // signal (an earlier signal of the message), or -1.
  int32_t multiplexer;
  // The selector values: `selectorCount` raw values of the multiplexer
  // from `selectorFirst` in the layouts' selectors, as 64-bit patterns
  // (signed multiplexers sign-extended), ascending.
  uint32_t selectorFirst;
  uint32_t selectorCount;
  double scale;
  double offset;
};
static_assert(sizeof(cSignalLayout) == 40 &&
                  offsetof(cSignalLayout, multiplexer) == 8 &&
                  offsetof(cSignalLayout, scale) == 24,
              "the Python side packs this layout");

// A field of `length` bits from `firstBit`, stored raw, selected by no
// multiplexer, scale 1 and offset 0: the layout to set the rest on.
inline cSignalLayout cSignalLayout_field(uint32_t firstBit, uint8_t length,
                                         bool littleEndian, uint8_t kind) {
  cSignalLayout layout{};
  layout.firstBit = firstBit;
  layout.length = length;
  layout.littleEndian = littleEndian ? 1 : 0;
  layout.kind = kind;
  layout.raw = 1;
  layout.multiplexer = -1;
  layout.scale = 1;
  return layout;
}

// A message: its signals, `signalCount` from `firstSignal` in the layouts'
// signals, every multiplexer before the signals it selects. A signal is of
// one message at most.
struct cSignalMessage {
  uint32_t firstSignal;
  uint32_t signalCount;
};

// A message of a database under its key (id, + 1 << 32 when extended).
struct cSignalKey {
  uint64_t key;
  uint32_t database;
  uint32_t message;
};
static_assert(sizeof(cSignalKey) == 16, "the Python side packs 16 bytes");

struct cSignalLayouts {
  const cSignalLayout* signals;
  size_t signalCount;
  const uint64_t* selectors;
  size_t selectorCount;
  const cSignalMessage* messages;
  size_t messageCount;
  const cSignalKey* keys;
  size_t keyCount;
  size_t databaseCount;
  // The database of each channel code (0 to 511), -1 for the default.
  const int32_t* channelDatabase;  // 512 entries, or null: all default
  int32_t defaultDatabase;         // -1: none
};

// The columns of a batch of frames. Payload bytes of row r: `payload` from
// offsets[r] to offsets[r + 1] when `offsets` is given, else 64 bytes from
// r * 64 of which the first lengths[r] (at most 64) count.
struct cSignalInput {
  size_t rows;
  const uint32_t* ids;       // arbitration ids
  const uint8_t* extended;   // 0 or 1
  const uint16_t* channels;  // channel codes (0 to 511), or null
  const uint8_t* usable;     // 0: the row belongs to no message; or null
  const uint8_t* payload;
  size_t payloadSize;      // bytes at `payload`
  const int64_t* offsets;  // rows + 1 offsets, or null
  const uint8_t* lengths;  // without offsets: payload bytes per row
  // Columns carried over into each message's rows (timestamps, channels):
  // carriedCount arrays of rows elements of carriedWidths[c] bytes (1, 2,
  // 4 or 8).
  const void* const* carried;
  const uint32_t* carriedWidths;
  size_t carriedCount;
  int64_t firstRow;  // the row number extract gives row 0 (0 or more)
};

// Where extract writes: per message the rows (ascending row numbers, from
// input->firstRow) and
// per signal (layouts order) its values, 8 bytes each (4 for raw float32),
// and a present byte per row of its message. presentCounts receives the
// rows where each signal is present.
struct cSignalOutput {
  // Per message, counts[m] entries; a null array, or null for all, asks
  // for no row numbers.
  int64_t** rows;
  void** values;            // per signal
  uint8_t** present;        // per signal
  uint64_t* presentCounts;  // per signal
  // Per message and carried column (m * carriedCount + c): the column's
  // elements of the message's rows.
  void** carried;
};

struct cSignalPlan;

// Compiles the layouts (copied: it need not outlive the plan). Null when the
// layouts are inconsistent (a reason then says what), or when memory runs out.
cSignalPlan* cSignalPlan_ctor(const cSignalLayouts* layouts, cReason* reason);
void cSignalPlan_dtor(cSignalPlan* plan);

size_t cSignalPlan_messageCount(const cSignalPlan* plan);
size_t cSignalPlan_signalCount(const cSignalPlan* plan);
// Message m's signals (m below cSignalPlan_messageCount).
cSignalMessage cSignalPlan_message(const cSignalPlan* plan, size_t m);
// Bytes of signal s's values in the output: 4 for a raw float32, else 8.
uint32_t cSignalPlan_valueWidth(const cSignalPlan* plan, size_t s);

// The message of every row into messageOfRow (-1 for none) and the rows of
// each message into counts (cSignalPlan_messageCount entries, set here).
// False when a row's payload lies outside the payload buffer or is longer
// than 64 bytes (a reason then says which row).
bool cSignalPlan_match(const cSignalPlan* plan, const cSignalInput* input,
                       int32_t* messageOfRow, uint64_t* counts,
                       cReason* reason);

// The values of every row that match gave a message, message after
// message and signal after signal (so that each inner loop runs one
// layout). The input, messageOfRow and counts must be those match saw,
// accepted and gave. False (the output incomplete) when memory runs out.
bool cSignalPlan_extract(const cSignalPlan* plan, const cSignalInput* input,
                         const int32_t* messageOfRow, const uint64_t* counts,
                         const cSignalOutput* output);
