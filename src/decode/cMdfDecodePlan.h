// Decode plans: the decoding rules of a channel group turned once, when
// the record map is built, into steps that take each rule's value out of a
// record with a handful of instructions. The frame decoders run the plan
// instead of interpreting the rules, and record access runs a straight
// plan itself (cMdfBlock_DG_decodeNext); the frame is the same to the
// byte.
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
#include "decode/cMdfDecoders.h"

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

// ---------------------------------------------------------------------------
// Running a plan's stores: what the frame decoders and record access share.

// The plan of the view's rules where it was made for this decoder and
// holds for the view's record; null otherwise (the rules are then read as
// they are).
inline const cMdfDecodePlan* cMdfDecodePlan_of(const cMdfRecordView* view,
                                               uint32_t kind) {
  const cMdfDecodePlan* plan = view->rules->plan;
  if (plan == nullptr || plan->decoderKind != kind ||
      plan->count != view->rules->size || view->record == nullptr ||
      view->recordSize < plan->recordSize)
    return nullptr;
  return plan;
}

// Stores the bits of a field as `store` (with its target and limit) says.
[[gnu::always_inline]] inline void cMdfDecodePlan_storeFromBits(
    cMdfStepStore store, uint16_t target, uint8_t limit, uint64_t bits,
    cMdfBusMsg* frame) {
  auto* member = reinterpret_cast<uint8_t*>(frame) + target;
  switch (store) {
    case cMdfStepStore::OrId:
      frame->id |= static_cast<uint32_t>(bits);
      break;
    case cMdfStepStore::Flag:
      *reinterpret_cast<bool*>(member) = bits != 0;
      break;
    case cMdfStepStore::Byte:
      *member = static_cast<uint8_t>(bits);
      break;
    case cMdfStepStore::Length: {
      const uint64_t length = bits & 0xFF;
      frame->dataLength = length < limit ? length : limit;
      break;
    }
    case cMdfStepStore::ErrorType: {
      const uint8_t type = static_cast<uint8_t>(bits);
      frame->canError.errorType = type >= 1 && type <= 5 ? type : 0;
      break;
    }
    default:
      break;
  }
}

// Stores a field by its step, straight from the bits (store not General,
// so the load is not General either and the rule is not needed).
[[gnu::always_inline]] inline void cMdfDecodeStep_storeBits(
    const cMdfDecodeStep& step, const uint8_t* record, cMdfBusMsg* frame) {
  if (step.store == cMdfStepStore::Skip) return;
  cMdfDecodePlan_storeFromBits(step.store, step.target, step.limit,
                               cMdfDecodeStep_bits(step, record), frame);
}

// Copies n bytes (at most 64) with a few overlapping moves of 16, 8, 4 or
// 1 bytes, none after the n: compilers make a string instruction of a
// memcpy of a length they only know the bounds of, whose start costs more
// than the copy.
[[gnu::always_inline]] inline void cMdfDecodePlan_copyPayload(
    uint8_t* to, const uint8_t* from, uint64_t n) {
  if (n >= 16) {
    std::memcpy(to, from, 16);
    if (n > 32) std::memcpy(to + 16, from + 16, 16);
    if (n > 48) std::memcpy(to + 32, from + 32, 16);
    std::memcpy(to + n - 16, from + n - 16, 16);
  } else if (n >= 8) {
    std::memcpy(to, from, 8);
    std::memcpy(to + n - 8, from + n - 8, 8);
  } else if (n >= 4) {
    std::memcpy(to, from, 4);
    std::memcpy(to + n - 4, from + n - 4, 4);
  } else if (n > 0) {
    to[0] = from[0];
    to[n / 2] = from[n / 2];
    to[n - 1] = from[n - 1];
  }
}

// Copies a payload of the record by its step (`limit` bytes from `byte`).
[[gnu::always_inline]] inline void cMdfDecodeStep_payloadFixed(
    const cMdfDecodeStep& step, const uint8_t* record, uint8_t* payload) {
  if (step.limit == 8)
    std::memcpy(payload, record + step.byte, 8);
  else
    cMdfDecodePlan_copyPayload(payload, record + step.byte, step.limit);
}

// The same for a LIN frame's payload: the plan gives such a step at most 8
// bytes, a bound spelled out here so that the compiler sees the copy stay
// within the payload (it cannot know the plan's limits).
[[gnu::always_inline]] inline void cMdfDecodeStep_linPayloadFixed(
    const cMdfDecodeStep& step, const uint8_t* record,
    uint8_t (&payload)[kMdfLinPayloadSize]) {
  const uint64_t n =
      step.limit < kMdfLinPayloadSize ? step.limit : kMdfLinPayloadSize;
  cMdfDecodePlan_copyPayload(payload, record + step.byte, n);
}

// The payload of the signal data's first value: what the CAN data
// decoder's store makes of it (nothing for no value); false for a value
// that fails the frame.
[[gnu::always_inline]] inline bool cMdfDecodePlan_payloadFirstValue(
    const cMdfRecordView* view, cMdfBusMsg* frame) {
  const uint64_t size = view->signalData != nullptr ? view->signalDataSize : 0;
  if (size < 4) return true;
  uint32_t length;
  std::memcpy(&length, view->signalData, 4);
  if constexpr (std::endian::native == std::endian::big) {
    length = __builtin_bswap32(length);
  }
  if (length > kMdfCanPayloadSize || length > size - 4) return false;
  cMdfDecodePlan_copyPayload(frame->can.payload, view->signalData + 4, length);
  return true;
}

// The stores of an apart plan that run before the rest of the walk: the
// bytes and flags, the id and the length, the other stores from the bits,
// the tick time, and a straight plan's payload. False where the payload
// fails the frame.
[[gnu::always_inline]] inline bool cMdfDecodePlan_runApart(
    const cMdfDecodePlan* plan, const cMdfRecordView* view, cMdfBusMsg* frame) {
  const uint8_t* record = view->record;
  auto* members = reinterpret_cast<uint8_t*>(frame);
  // Local bounds: a store to a byte member could alias the plan's counts.
  for (const cMdfBitStore *to = plan->bytes, *end = to + plan->byteCount;
       to != end; ++to)
    members[to->target] =
        static_cast<uint8_t>(cMdfDecodeStep_wordBits(*to, record));
  if (plan->id.mask != 0)
    frame->id |=
        static_cast<uint32_t>(cMdfDecodeStep_wordBits(plan->id, record));
  if (plan->length.mask != 0) {
    const uint64_t length =
        cMdfDecodeStep_wordBits(plan->length, record) & 0xFF;
    frame->dataLength =
        length < plan->length.limit ? length : plan->length.limit;
  }
  for (const cMdfBitStore *to = plan->words, *end = to + plan->wordCount;
       to != end; ++to)
    cMdfDecodePlan_storeFromBits(to->store, to->target, to->limit,
                                 cMdfDecodeStep_wordBits(*to, record), frame);
  for (size_t k = 0, n = plan->directCount; k < n; ++k)
    cMdfDecodeStep_storeBits(plan->steps[plan->direct[k]], record, frame);
  if (plan->tickTime < plan->count) {
    // What timeValue gives for such a step, and every decoder's store
    // does with it.
    const cMdfDecodeStep& step = plan->steps[plan->tickTime];
    const uint64_t raw = cMdfDecodeStep_wordBits(step, record);
    frame->timeOffset = cMdfDecodeStep_convert(
        step, view->rules->data[plan->tickTime], static_cast<double>(raw));
    frame->timeOffsetNs = cMdfTickScale_apply(&plan->ticks, raw, false);
  }
  if (plan->payload < plan->count) {
    const cMdfDecodeStep& step = plan->steps[plan->payload];
    switch (step.store) {
      case cMdfStepStore::PayloadFixed:
        cMdfDecodeStep_payloadFixed(step, record, frame->can.payload);
        break;
      case cMdfStepStore::LinPayloadFixed:
        // The frame is clear: the zeros after the bytes are there.
        cMdfDecodeStep_linPayloadFixed(step, record, frame->lin.payload);
        break;
      default:
        return cMdfDecodePlan_payloadFirstValue(view, frame);
    }
  }
  return true;
}

// Clears the frame. In two pieces: compilers clear a piece of up to 64
// bytes with a few vector stores, the whole frame with a string
// instruction whose start costs more than all of them.
[[gnu::always_inline]] inline void cMdfBusMsg_clear(cMdfBusMsg* frame) {
  constexpr size_t kFirst = sizeof *frame < 64 ? sizeof *frame : 64;
  auto* bytes = reinterpret_cast<unsigned char*>(frame);
  std::memset(bytes, 0, kFirst);
  std::memset(bytes + kFirst, 0, sizeof *frame - kFirst);
}

// Completes a decoded frame: its kind and the payload of that kind (none
// for error frames); the decoder's result.
inline int32_t cMdfBusMsg_finish(cMdfBusMsg* frame, uint32_t kind) {
  frame->kind = kind;
  frame->data = kind == kMdfBusMsgLin ? frame->lin.payload
                : kind == kMdfBusMsgCanData || kind == kMdfBusMsgCanRemote
                    ? frame->can.payload
                    : nullptr;
  return static_cast<int32_t>(kind);
}

// Whether a straight plan decodes a record from its own bytes alone: its
// payload, if it has one, lies in the record (cMdfDecodePlan_runApart
// cannot fail then).
inline bool cMdfDecodePlan_inRecord(const cMdfDecodePlan* plan) {
  if (plan->payload >= plan->count) return true;
  const cMdfStepStore store = plan->steps[plan->payload].store;
  return store == cMdfStepStore::PayloadFixed ||
         store == cMdfStepStore::LinPayloadFixed;
}

// The frame of the view's record by a straight plan (the plan's decoder
// kind `kind`), as that decoder makes it; false, with the frame to be made
// again by the decoder, where the payload fails the frame.
[[gnu::always_inline]] inline bool cMdfDecodePlan_decodeStraight(
    const cMdfDecodePlan* plan, const cMdfRecordView* view, cMdfBusMsg* frame,
    uint32_t kind) {
  cMdfBusMsg_clear(frame);
  frame->can.remote = kind == kMdfBusMsgCanRemote;
  if (!cMdfDecodePlan_runApart(plan, view, frame)) return false;
  cMdfBusMsg_finish(frame, kind);
  return true;
}
