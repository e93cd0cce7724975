#include "decode/cMdfDecoders.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <string_view>

#include "decode/cDecode.h"
#include "decode/cMdfDecodePlan.h"

namespace {

// One rule's value: a number for numeric rules, a byte run (pointing into
// the record or the signal data, not copied) for Bytes rules.
struct RuleValue {
  bool isBytes;
  double number;
  int64_t nanoseconds;  // Timestamp rules: the number in nanoseconds
  const uint8_t* bytes;
  uint64_t length;
};

// Reading position in the view's signal data: one value per VLSD rule.
struct SignalCursor {
  const uint8_t* data;
  uint64_t size;
  uint64_t offset;  // may pass size once the values run out
};

// IEEE 754 binary16 widened to double.
double halfToDouble(uint16_t h) {
  const int exponent = (h >> 10) & 0x1F;
  const int mantissa = h & 0x3FF;
  double magnitude = 0.0;
  if (exponent == 0) {
    magnitude = std::ldexp(mantissa, -24);
  } else if (exponent == 0x1F) {
    magnitude = mantissa == 0 ? INFINITY : NAN;
  } else {
    magnitude = std::ldexp(mantissa + 1024, exponent - 25);
  }
  return (h & 0x8000) != 0 ? -magnitude : magnitude;
}

// Floats of 16, 32 and 64 bits are IEEE values; no other width has a
// meaning, and those read as 0.
double floatFromBits(uint64_t raw, uint64_t bitCount) {
  switch (bitCount) {
    case 16:
      return halfToDouble(static_cast<uint16_t>(raw));
    case 32:
      return static_cast<double>(
          std::bit_cast<float>(static_cast<uint32_t>(raw)));
    case 64:
      return std::bit_cast<double>(raw);
    default:
      return 0.0;
  }
}

// The two's complement value of a count-bit field (wider fields are their
// low 64 bits).
int64_t signExtend(uint64_t raw, uint64_t count) {
  if (count == 0 || count >= 64) return static_cast<int64_t>(raw);
  const uint64_t sign = uint64_t{1} << (count - 1);
  return static_cast<int64_t>((raw ^ sign) - sign);
}

// A rule's physical value of its raw bits; with the rule's plan step (or
// null) the conversion is the step's.
[[gnu::always_inline]] inline double physicalOf(const cMdfDecodeRule& rule,
                                                uint64_t raw,
                                                const cMdfDecodeStep* step) {
  double value;
  if (rule.valueKind == cMdfValueKind::Float) {
    value = floatFromBits(raw, rule.bitCount);
  } else if (rule.valueKind == cMdfValueKind::Signed) {
    value = static_cast<double>(signExtend(raw, rule.bitCount));
  } else {
    value = static_cast<double>(raw);
  }
  return step != nullptr ? cMdfDecodeStep_convert(*step, rule, value)
                         : cMdfConversionRule_convert(&rule.conversion, value);
}

// A rule's raw bits in the view's record, by its plan step where it has one.
[[gnu::always_inline]] inline uint64_t rawOf(const cMdfRecordView* view,
                                             const cMdfDecodeRule& rule,
                                             const cMdfDecodeStep* step) {
  if (step != nullptr)
    return cMdfDecodeStep_raw(*step, rule, view->record, view->recordSize);
  return cDecode_getRawBits(view->record, view->recordSize, rule.bitPosition,
                            rule.bitCount, rule.littleEndian);
}

// The frame kinds of the decoders are their decoder kinds.
constexpr bool sameKind(uint32_t frameKind, uint32_t decoderKind) {
  return frameKind == decoderKind;
}
static_assert(sameKind(kMdfBusMsgCanData, kMdfDecoderCanData) &&
              sameKind(kMdfBusMsgCanRemote, kMdfDecoderCanRemote) &&
              sameKind(kMdfBusMsgCanError, kMdfDecoderCanError) &&
              sameKind(kMdfBusMsgLin, kMdfDecoderLin) &&
              sameKind(kMdfBusMsgLinChecksumError,
                       kMdfDecoderLinChecksumError) &&
              sameKind(kMdfBusMsgLinReceiveError, kMdfDecoderLinReceiveError) &&
              sameKind(kMdfBusMsgLinSyncError, kMdfDecoderLinSyncError) &&
              sameKind(kMdfBusMsgLinTransmissionError,
                       kMdfDecoderLinTransmissionError));

// A time value: seconds, and nanoseconds in integer arithmetic where the
// rule has an exact tick scale.
[[gnu::always_inline]] inline void timeValue(const cMdfRecordView* view,
                                             const cMdfDecodeRule& rule,
                                             const cMdfDecodeStep* step,
                                             RuleValue* out) {
  const uint64_t raw = rawOf(view, rule, step);
  out->number = physicalOf(rule, raw, step);
  out->nanoseconds =
      rule.ticks.numerator != 0
          ? cMdfTickScale_apply(
                &rule.ticks,
                rule.valueKind == cMdfValueKind::Signed
                    ? static_cast<uint64_t>(signExtend(raw, rule.bitCount))
                    : raw,
                rule.valueKind == cMdfValueKind::Signed)
          : cMdfNanoseconds_fromSeconds(out->number);
}

// The byte run of a Bytes rule. VLSD rules take the next value of the
// signal data (an exhausted signal data gives an empty value: the record
// layer found no value for the channel); other rules take bitCount / 8
// bytes of the record. False when the run is longer than a CAN payload or
// reaches past its buffer.
bool byteValue(const cMdfRecordView* view, const cMdfDecodeRule& rule,
               SignalCursor* cursor, RuleValue* out) {
  out->isBytes = true;
  out->bytes = nullptr;
  out->length = 0;
  if (rule.signalData != nullptr) {
    const uint64_t remaining =
        cursor->offset < cursor->size ? cursor->size - cursor->offset : 0;
    if (remaining < 4) {
      cursor->offset += 4;
      return true;
    }
    uint64_t length = 0;
    std::memcpy(&length, cursor->data + cursor->offset, 4);
    if constexpr (std::endian::native == std::endian::big) {
      length = __builtin_bswap32(static_cast<uint32_t>(length));
    }
    cursor->offset += 4;
    if (length > kMdfCanPayloadSize || length > remaining - 4) return false;
    out->bytes = cursor->data + cursor->offset;
    out->length = length;
    cursor->offset += length;
    return true;
  }
  const uint64_t length = rule.bitCount / 8;
  const uint64_t first = rule.bitPosition / 8;
  if (length > kMdfCanPayloadSize || first > view->recordSize ||
      length > view->recordSize - first) {
    return false;
  }
  out->bytes = length > 0 ? view->record + first : nullptr;
  out->length = length;
  return true;
}

// Passes over the next value of the signal data.
void skipValue(SignalCursor* cursor) {
  const uint64_t remaining =
      cursor->offset < cursor->size ? cursor->size - cursor->offset : 0;
  uint64_t length = 0;
  if (remaining >= 4) {
    std::memcpy(&length, cursor->data + cursor->offset, 4);
    if constexpr (std::endian::native == std::endian::big) {
      length = __builtin_bswap32(static_cast<uint32_t>(length));
    }
  }
  cursor->offset += 4;
  if (remaining >= 4) cursor->offset += std::min(length, remaining - 4);
}

bool flagOf(double v) { return std::fabs(v) >= 1.0; }  // trunc(v) != 0

// v truncated toward zero; 0 where that is no 64-bit integer (NaN, huge).
uint64_t integerOf(double v) {
  if (!(v >= -0x1p63 && v < 0x1p63)) return 0;
  return static_cast<uint64_t>(static_cast<int64_t>(v));
}

uint8_t byteOf(double v) { return static_cast<uint8_t>(integerOf(v)); }

uint64_t clampedLength(double v, uint64_t payloadSize) {
  const uint64_t length = byteOf(v);
  return length < payloadSize ? length : payloadSize;
}

enum class Walk {
  Ok,       // every rule accepted
  Refused,  // some rule's field is not one of the decoder's
  Aborted,  // a byte value was unusable; the walk stopped there
};

// Applies every rule of the view in order through store(frame, field,
// value), which says whether the decoder accepts the field. Refused fields do
// not stop the walk, so later fields are still written.
using StoreFn = bool (*)(cMdfBusMsg* frame, cMdfFrameField field,
                         const RuleValue& value);

// Applies rule i (with its plan step, or null) through store; false when
// its byte value was unusable and the walk must stop.
template <StoreFn store>
[[gnu::always_inline]] inline bool applyRule(const cMdfRecordView* view,
                                             cMdfBusMsg* frame, size_t i,
                                             const cMdfDecodeStep* step,
                                             SignalCursor* cursor,
                                             Walk* result) {
  const cMdfDecodeRule* rule = &view->rules->data[i];
  if (step != nullptr && step->store != cMdfStepStore::General) {
    RuleValue value;
    switch (step->store) {
      case cMdfStepStore::Time:
        // What every decoder's store does with a numeric time.
        timeValue(view, *rule, step, &value);
        frame->timeOffset = value.number;
        frame->timeOffsetNs = value.nanoseconds;
        return true;
      case cMdfStepStore::Payload:
        // What the CAN data decoder's store does with the payload.
        if (!byteValue(view, *rule, cursor, &value)) return false;
        if (value.length > 0)
          std::memcpy(frame->can.payload, value.bytes, value.length);
        return true;
      case cMdfStepStore::PayloadFixed:
        // The same for bytes of the record that every record has.
        cMdfDecodeStep_payloadFixed(*step, view->record, frame->can.payload);
        return true;
      case cMdfStepStore::LinPayloadFixed:
        // What the LIN decoder's store does with them.
        std::memset(frame->lin.payload, 0, kMdfLinPayloadSize);
        cMdfDecodeStep_linPayloadFixed(*step, view->record, frame->lin.payload);
        return true;
      default:
        // Stores straight from the bits need nothing of the rule.
        cMdfDecodeStep_storeBits(*step, view->record, frame);
        return true;
    }
  }
  if (rule->field == cMdfFrameField::Ignored) {
    // Nothing is kept; a variable-length value is still passed over, so
    // that the rules after it take their own.
    if (rule->valueKind == cMdfValueKind::Bytes && rule->signalData != nullptr)
      skipValue(cursor);
    return true;
  }
  RuleValue value{};
  if (rule->valueKind == cMdfValueKind::Bytes) {
    if (!byteValue(view, *rule, cursor, &value)) return false;
  } else if (rule->field == cMdfFrameField::Timestamp) {
    timeValue(view, *rule, step, &value);
  } else {
    value.number = physicalOf(*rule, rawOf(view, *rule, step), step);
  }
  if (!store(frame, rule->field, value)) *result = Walk::Refused;
  return true;
}

// The store is a template argument so that its switch is inlined into the
// walk. With `anyOrder` and a plan whose rules fill fields of their own,
// the stores straight from the bits run first, then the other rules in
// order: the same frame, unless the walk aborts (the members written
// before the abort then differ; the caller walks again in rule order).
template <StoreFn store>
Walk walkRules(const cMdfRecordView* view, cMdfBusMsg* frame, uint32_t kind,
               bool anyOrder) {
  if (view->rules == nullptr) return Walk::Ok;
  SignalCursor cursor{view->signalData,
                      view->signalData != nullptr ? view->signalDataSize : 0,
                      0};
  Walk result = Walk::Ok;
  const cMdfDecodePlan* plan = cMdfDecodePlan_of(view, kind);
  if (plan != nullptr && plan->apart && anyOrder) {
    if (!cMdfDecodePlan_runApart(plan, view, frame)) return Walk::Aborted;
    for (size_t k = 0; k < plan->restCount; ++k) {
      const size_t i = plan->rest[k];
      if (!applyRule<store>(view, frame, i, &plan->steps[i], &cursor, &result))
        return Walk::Aborted;
    }
    return result;
  }
  const size_t count = view->rules->size;
  for (size_t i = 0; i < count; ++i) {
    if (!applyRule<store>(view, frame, i,
                          plan != nullptr ? &plan->steps[i] : nullptr, &cursor,
                          &result))
      return Walk::Aborted;
  }
  return result;
}

// Clears the frame, walks the rules through store and completes the frame:
// on success its kind and the payload of that kind (none for error frames),
// otherwise kind 0, no data and kMdfDecodeFailed.
template <StoreFn store>
int32_t decodeFrame(const cMdfRecordView* view, cMdfBusMsg* frame,
                    uint32_t kind) {
  if (frame == nullptr) return kMdfDecodeFailed;
  cMdfBusMsg_clear(frame);
  frame->can.remote = kind == kMdfBusMsgCanRemote;
  // A straight plan leaves nothing to the walk.
  const cMdfDecodePlan* plan = view != nullptr && view->rules != nullptr
                                   ? cMdfDecodePlan_of(view, kind)
                                   : nullptr;
  Walk walk = plan != nullptr && plan->straight
                  ? (cMdfDecodePlan_runApart(plan, view, frame) ? Walk::Ok
                                                                : Walk::Aborted)
              : view != nullptr ? walkRules<store>(view, frame, kind, true)
                                : Walk::Aborted;
  if (walk == Walk::Aborted && view != nullptr) {
    // Walked again in rule order, so that the members written before the
    // abort are the ones the rules before it wrote.
    cMdfBusMsg_clear(frame);
    frame->can.remote = kind == kMdfBusMsgCanRemote;
    walk = walkRules<store>(view, frame, kind, false);
  }
  if (walk != Walk::Ok) {
    frame->kind = kMdfBusMsgNone;
    frame->data = nullptr;
    frame->dataLength = 0;
    return kMdfDecodeFailed;
  }
  return cMdfBusMsg_finish(frame, kind);
}

void storeTime(cMdfBusMsg* frame, const RuleValue& value) {
  frame->timeOffset = value.number;
  frame->timeOffsetNs = value.nanoseconds;
}

// The fields shared by CAN data and remote frames; false for others. A
// Bytes rule on a numeric field leaves it untouched.
bool storeCanCommon(cMdfBusMsg* frame, cMdfFrameField field,
                    const RuleValue& value) {
  if (value.isBytes) {
    switch (field) {
      case cMdfFrameField::Timestamp:
      case cMdfFrameField::Id:
      case cMdfFrameField::Ide:
      case cMdfFrameField::Dir:
      case cMdfFrameField::BusChannel:
      case cMdfFrameField::Dlc:
      case cMdfFrameField::DataLength:
        return true;
      default:
        return false;
    }
  }
  const double v = value.number;
  switch (field) {
    case cMdfFrameField::Timestamp:
      storeTime(frame, value);
      return true;
    case cMdfFrameField::Id:
      frame->id |= static_cast<uint32_t>(integerOf(v));
      return true;
    case cMdfFrameField::Ide:
      frame->can.ide = flagOf(v);
      return true;
    case cMdfFrameField::Dir:
      frame->can.dir = flagOf(v);
      return true;
    case cMdfFrameField::BusChannel:
      frame->can.busChannel = byteOf(v);
      return true;
    case cMdfFrameField::Dlc:
      frame->can.dlc = byteOf(v);
      return true;
    case cMdfFrameField::DataLength:
      frame->dataLength = clampedLength(v, kMdfCanPayloadSize);
      return true;
    default:
      return false;
  }
}

bool storeCanData(cMdfBusMsg* frame, cMdfFrameField field,
                  const RuleValue& value) {
  const bool numeric = !value.isBytes;
  switch (field) {
    case cMdfFrameField::DataBytes:
      if (value.isBytes && value.length > 0) {
        std::memcpy(frame->can.payload, value.bytes, value.length);
      }
      return true;
    case cMdfFrameField::Edl:
      if (numeric) frame->can.edl = flagOf(value.number);
      return true;
    case cMdfFrameField::Esi:
      if (numeric) frame->can.esi = flagOf(value.number);
      return true;
    case cMdfFrameField::Brs:
      if (numeric) frame->can.brs = flagOf(value.number);
      return true;
    default:
      return storeCanCommon(frame, field, value);
  }
}

bool storeCanError(cMdfBusMsg* frame, cMdfFrameField field,
                   const RuleValue& value) {
  const bool numeric = !value.isBytes;
  switch (field) {
    case cMdfFrameField::Timestamp:
      if (numeric) storeTime(frame, value);
      return true;
    case cMdfFrameField::BusChannel:
      if (numeric) frame->canError.busChannel = byteOf(value.number);
      return true;
    case cMdfFrameField::ErrorType:
      if (numeric) {
        const uint8_t type = byteOf(value.number);
        frame->canError.errorType = type >= 1 && type <= 5 ? type : 0;
      }
      return true;
    default:
      return false;
  }
}

bool storeLin(cMdfBusMsg* frame, cMdfFrameField field, const RuleValue& value) {
  const bool numeric = !value.isBytes;
  const double v = value.number;
  switch (field) {
    case cMdfFrameField::Timestamp:
      if (numeric) storeTime(frame, value);
      return true;
    case cMdfFrameField::LinId:
      if (numeric) frame->id |= static_cast<uint32_t>(integerOf(v));
      return true;
    case cMdfFrameField::LinDir:
      if (numeric) frame->lin.dir = v != 0.0;  // NaN counts as set
      return true;
    case cMdfFrameField::LinBusChannel:
      if (numeric) frame->lin.busChannel = byteOf(v);
      return true;
    case cMdfFrameField::LinDataLength:
      if (numeric) frame->dataLength = clampedLength(v, kMdfLinPayloadSize);
      return true;
    case cMdfFrameField::LinReceivedDataByteCount:
      if (numeric) frame->lin.receivedDataByteCount = byteOf(v);
      return true;
    case cMdfFrameField::LinDataBytes:
      // The payload is always all 8 bytes, zero beyond the value.
      if (value.isBytes) {
        std::memset(frame->lin.payload, 0, kMdfLinPayloadSize);
        const uint64_t n = value.length < kMdfLinPayloadSize
                               ? value.length
                               : kMdfLinPayloadSize;
        if (n > 0) std::memcpy(frame->lin.payload, value.bytes, n);
      }
      return true;
    default:
      return false;
  }
}

// LIN error records: what they share with LIN frames; their other channels
// (checksum, baud rate, data) have no place in the frame and are passed
// over.
bool storeLinError(cMdfBusMsg* frame, cMdfFrameField field,
                   const RuleValue& value) {
  if (value.isBytes) return true;
  switch (field) {
    case cMdfFrameField::Timestamp:
      storeTime(frame, value);
      return true;
    case cMdfFrameField::LinId:
      frame->id |= static_cast<uint32_t>(integerOf(value.number));
      return true;
    case cMdfFrameField::LinBusChannel:
      frame->lin.busChannel = byteOf(value.number);
      return true;
    default:
      return true;
  }
}

}  // namespace

int32_t cMdfDecoders_decodeCanDataFrame(const cMdfRecordView* view,
                                        cMdfBusMsg* frame) {
  return decodeFrame<storeCanData>(view, frame, kMdfBusMsgCanData);
}

int32_t cMdfDecoders_decodeCanRemoteFrame(const cMdfRecordView* view,
                                          cMdfBusMsg* frame) {
  return decodeFrame<storeCanCommon>(view, frame, kMdfBusMsgCanRemote);
}

int32_t cMdfDecoders_decodeCanErrorFrame(const cMdfRecordView* view,
                                         cMdfBusMsg* frame) {
  return decodeFrame<storeCanError>(view, frame, kMdfBusMsgCanError);
}

int32_t cMdfDecoders_decodeLinFrame(const cMdfRecordView* view,
                                    cMdfBusMsg* frame) {
  return decodeFrame<storeLin>(view, frame, kMdfBusMsgLin);
}

int32_t cMdfDecoders_decodeGeneric(const cMdfRecordView*, cMdfBusMsg* frame) {
  if (frame != nullptr) frame->kind = kMdfBusMsgNone;
  return kMdfDecodeFailed;
}

int32_t cMdfDecoders_decodeLinChecksumError(const cMdfRecordView* view,
                                            cMdfBusMsg* frame) {
  return decodeFrame<storeLinError>(view, frame, kMdfBusMsgLinChecksumError);
}

int32_t cMdfDecoders_decodeLinReceiveError(const cMdfRecordView* view,
                                           cMdfBusMsg* frame) {
  return decodeFrame<storeLinError>(view, frame, kMdfBusMsgLinReceiveError);
}

int32_t cMdfDecoders_decodeLinSyncError(const cMdfRecordView* view,
                                        cMdfBusMsg* frame) {
  return decodeFrame<storeLinError>(view, frame, kMdfBusMsgLinSyncError);
}

int32_t cMdfDecoders_decodeLinTransmissionError(const cMdfRecordView* view,
                                                cMdfBusMsg* frame) {
  return decodeFrame<storeLinError>(view, frame,
                                    kMdfBusMsgLinTransmissionError);
}

namespace {

struct DecoderChoice {
  std::string_view prefix;
  cMdfDecoderFn decoder;
  uint32_t kind;
};

constexpr DecoderChoice kDecoderChoices[] = {
    {"CAN_DataFrame", cMdfDecoders_decodeCanDataFrame, kMdfDecoderCanData},
    {"CAN_RemoteFrame", cMdfDecoders_decodeCanRemoteFrame,
     kMdfDecoderCanRemote},
    {"CAN_ErrorFrame", cMdfDecoders_decodeCanErrorFrame, kMdfDecoderCanError},
    {"LIN_Frame", cMdfDecoders_decodeLinFrame, kMdfDecoderLin},
    {"LIN_ChecksumError", cMdfDecoders_decodeLinChecksumError,
     kMdfDecoderLinChecksumError},
    {"LIN_ReceiveError", cMdfDecoders_decodeLinReceiveError,
     kMdfDecoderLinReceiveError},
    {"LIN_SyncError", cMdfDecoders_decodeLinSyncError, kMdfDecoderLinSyncError},
    {"LIN_TransmissionError", cMdfDecoders_decodeLinTransmissionError,
     kMdfDecoderLinTransmissionError},
};

}  // namespace

bool getOptimalDecoder(const cMdfDecodeRuleArray* rules, cMdfDecoderFn* decoder,
                       uint32_t* kind) {
  if (rules == nullptr || decoder == nullptr || kind == nullptr) return false;
  bool found = false;
  std::string_view prefix;
  for (size_t i = 0; i < rules->size; ++i) {
    if (rules->data[i].name == nullptr) continue;
    const std::string_view name(rules->data[i].name);
    const size_t dot = name.find('.');
    if (dot == std::string_view::npos) continue;
    const std::string_view own = name.substr(0, dot);
    if (found && own != prefix) return false;
    found = true;
    prefix = own;
  }
  if (!found) return false;
  *decoder = cMdfDecoders_decodeGeneric;
  *kind = kMdfDecoderGeneric;
  for (const DecoderChoice& choice : kDecoderChoices) {
    if (choice.prefix == prefix) {
      *decoder = choice.decoder;
      *kind = choice.kind;
      break;
    }
  }
  return true;
}
