// Decode plans: the decoding rules of a channel group turned once, when
// the record map is built, into steps that take each rule's value out of a
// record with a handful of instructions. The frame decoders run the plan
// instead of interpreting the rules; the frame is the same to the byte.
//
// A plan has one step per rule, in rule order, is made for one frame
// decoder and holds for records of at least `recordSize` bytes (the group's
// record length). A step says
//   - how the raw bits come out of the record: a little-endian field of at
//     most 64 bits that lies within 8 bytes from its first byte, inside the
//     record, is one unaligned 8-byte load (or, at the record's end, a load
//     of the bytes there), a shift and a mask; any other field (big-endian,
//     wider, beyond the record) goes the general way, cDecode_getRawBits;
//   - how they become the physical value: identity and linear conversions
//     inline, any other through the rule's conversion;
//   - where the value goes: an unsigned field without conversion, exact as
//     a double (at most 53 bits), bound for an integer or flag member of
//     the frame goes straight from its bits (the frame id, a flag, a byte,
//     a clamped length); the time and a CAN data frame's payload go
//     straight to their members (a LIN payload too, from the record); a
//     field the decoder keeps nothing of is passed over; every other value
//     is made as the rule says and handed to the decoder's own store.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "decode/cDecode.h"
#include "decode/cMdfDecodeRule.h"

enum class cMdfStepLoad : uint8_t {
  General = 0,  // cDecode_getRawBits
  Word = 1,     // 8 bytes from `byte`
  Tail = 2,     // `bytes` bytes from `byte` (the record ends within 8)
};

enum class cMdfStepConvert : uint8_t {
  Rule = 0,      // the rule's conversion
  Identity = 1,  // the raw value
  Linear = 2,    // raw * factor + offset
};

enum class cMdfStepStore : uint8_t {
  General = 0,       // the value as the rule makes it, to the decoder's store
  Skip = 1,          // the decoder takes the field but keeps nothing of it
  OrId = 2,          // frame id |= the bits
  Flag = 3,          // the bool at `target`: bits != 0
  Byte = 4,          // the uint8_t at `target`: the low 8 bits
  Length = 5,        // data length: the low 8 bits, at most `limit`
  ErrorType = 6,     // CAN error type: the low 8 bits when 1 to 5, else 0
  Time = 7,          // the time offset, in seconds and nanoseconds
  Payload = 8,       // a CAN data frame's payload: the byte value
  PayloadFixed = 9,  // the same, `limit` bytes of the record from `byte`
  // A LIN frame's payload: `limit` (at most 8) bytes of the record from
  // `byte`, zeros after them.
  LinPayloadFixed = 10,
};

struct cMdfDecodeStep {
  uint64_t byte;  // Word, Tail: the field's first byte
  uint64_t mask;  // Word, Tail: the field's bits after the shift
  uint8_t shift;  // Word, Tail: the field's first bit in that byte
  uint8_t bytes;  // Tail: bytes to load, 1 to 8
  cMdfStepLoad load;
  cMdfStepConvert convert;
  cMdfStepStore store;
  uint8_t limit;    // Length: the payload size
  uint16_t target;  // Flag, Byte: offset of the member in cMdfBusMsg
  double factor;    // Linear
  double offset;    // Linear
};

// A field stored straight from the bits of an 8-byte load: the compact
// form of a step that the decoders' first loops run through.
struct cMdfBitStore {
  uint64_t mask;        // the field's bits after the shift
  uint32_t byte;        // the load's first byte
  uint8_t shift;        // the field's first bit in that byte
  cMdfStepStore store;  // as the step's
  uint8_t limit;        // as the step's
  uint8_t unused;
  uint16_t target;  // as the step's
};

struct cMdfDecodePlan {
  uint64_t recordSize;    // the steps hold for records at least this long
  uint32_t decoderKind;   // the decoder the stores are made for
  size_t count;           // steps, one per rule
  cMdfDecodeStep* steps;  // in the same allocation as the plan
  // Every rule fills a field of its own, so the order of the stores does
  // not matter: the steps stored straight from the bits may run first (the
  // bytes and one-bit flags of 8-byte loads, the other stores of 8-byte
  // loads, then any other), then the others in rule order. In the same
  // allocation.
  bool apart;
  size_t byteCount, wordCount, directCount, restCount;
  cMdfBitStore* bytes;  // Byte and one-bit Flag stores of Word loads
  cMdfBitStore* words;  // the other stores of Word loads from the bits
  // The frame id's and the data length's store of a Word load, taken
  // apart from the words (mask 0 for none).
  cMdfBitStore id, length;
  uint32_t* direct;  // step indexes: the other stores from the bits
  uint32_t* rest;    // step indexes: time, payload, the decoder's store
  // A time of unsigned integer ticks from an 8-byte load, with an identity
  // or linear conversion and an exact tick scale (a logger's clock), runs
  // apart from the rest: its step index (count for none) and the rule's
  // tick scale.
  size_t tickTime;
  cMdfTickScale ticks;
  // Straight: every step but the payload's is one of the stores above, so
  // that nothing is left for the rule walk. The payload then runs apart as
  // well: its step index (count for none), a payload of the record or,
  // from a rule that has the first value of the signal data, the first
  // value.
  bool straight;
  size_t payload;
};

// A plan for `rules` over records of `recordSize` bytes, its stores made
// for the decoder of `decoderKind` (kMdfDecoder*), or null (no rules, no
// memory). The caller owns it (cMdfDecodePlan_free); it points at nothing
// of the rules, but holds only as long as they stay as they are.
cMdfDecodePlan* cMdfDecodePlan_build(const cMdfDecodeRuleArray* rules,
                                     uint64_t recordSize, uint32_t decoderKind);
void cMdfDecodePlan_free(cMdfDecodePlan* plan);

// The bits of a field by its step or bit store (a Word load).
template <typename Step>
[[gnu::always_inline]] inline uint64_t cMdfDecodeStep_wordBits(
    const Step& step, const uint8_t* record) {
  uint64_t word;
  std::memcpy(&word, record + step.byte, sizeof word);
  if constexpr (std::endian::native == std::endian::big) {
    word = __builtin_bswap64(word);
  }
  return (word >> step.shift) & step.mask;
}

// The bits of a field by its step, whose load is Word or Tail.
[[gnu::always_inline]] inline uint64_t cMdfDecodeStep_bits(
    const cMdfDecodeStep& step, const uint8_t* record) {
  if (step.load == cMdfStepLoad::Word)
    return cMdfDecodeStep_wordBits(step, record);
  const uint8_t* first = record + step.byte;
  uint64_t word = 0;
  for (unsigned i = 0; i < step.bytes; ++i)
    word |= static_cast<uint64_t>(first[i]) << (8 * i);
  return (word >> step.shift) & step.mask;
}

// The raw bits of a rule's field in `record` (recordSize bytes), by its
// step: what cDecode_getRawBits gives for the rule.
inline uint64_t cMdfDecodeStep_raw(const cMdfDecodeStep& step,
                                   const cMdfDecodeRule& rule,
                                   const uint8_t* record, uint64_t recordSize) {
  if (step.load == cMdfStepLoad::General)
    return cDecode_getRawBits(record, recordSize, rule.bitPosition,
                              rule.bitCount, rule.littleEndian);
  return cMdfDecodeStep_bits(step, record);
}

// The physical value of `value` (the raw field as a number) by the step's
// conversion: what the rule's conversion gives.
inline double cMdfDecodeStep_convert(const cMdfDecodeStep& step,
                                     const cMdfDecodeRule& rule, double value) {
  switch (step.convert) {
    case cMdfStepConvert::Identity:
      return value;
    case cMdfStepConvert::Linear: {
      // One multiplication, then one addition, as the linear rule does.
      const double scaled = value * step.factor;
      return scaled + step.offset;
    }
    default:
      return cMdfConversionRule_convert(&rule.conversion, value);
  }
}
