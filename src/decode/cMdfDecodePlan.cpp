#include "decode/cMdfDecodePlan.h"

#include <cstddef>
#include <cstdlib>

#include "decode/cMdfDecoders.h"

namespace {

struct FieldStore {
  cMdfStepStore store;
  uint16_t target;
  uint8_t limit;
};

constexpr uint16_t at(size_t offset) { return static_cast<uint16_t>(offset); }

// Where a decoder puts an unsigned number of a field (what its store does
// with the number), for the fields it stores as integers or flags; General
// for any other field, which then goes to the decoder's own store.
FieldStore fieldStore(uint32_t decoderKind, cMdfFrameField field) {
  using F = cMdfFrameField;
  using S = cMdfStepStore;
  if (field == F::Ignored && decoderKind != kMdfDecoderGeneric)
    return {S::Skip, 0, 0};
  const bool can =
      decoderKind == kMdfDecoderCanData || decoderKind == kMdfDecoderCanRemote;
  const bool linError = decoderKind >= kMdfDecoderLinChecksumError &&
                        decoderKind <= kMdfDecoderLinTransmissionError;
  if (can) {
    switch (field) {
      case F::Id:
        return {S::OrId, 0, 0};
      case F::Ide:
        return {S::Flag, at(offsetof(cMdfBusMsg, can.ide)), 0};
      case F::Dir:
        return {S::Flag, at(offsetof(cMdfBusMsg, can.dir)), 0};
      case F::BusChannel:
        return {S::Byte, at(offsetof(cMdfBusMsg, can.busChannel)), 0};
      case F::Dlc:
        return {S::Byte, at(offsetof(cMdfBusMsg, can.dlc)), 0};
      case F::DataLength:
        return {S::Length, 0, kMdfCanPayloadSize};
      default:
        break;
    }
    if (decoderKind == kMdfDecoderCanData) {
      switch (field) {
        case F::Edl:
          return {S::Flag, at(offsetof(cMdfBusMsg, can.edl)), 0};
        case F::Esi:
          return {S::Flag, at(offsetof(cMdfBusMsg, can.esi)), 0};
        case F::Brs:
          return {S::Flag, at(offsetof(cMdfBusMsg, can.brs)), 0};
        default:
          break;
      }
    }
  } else if (decoderKind == kMdfDecoderCanError) {
    switch (field) {
      case F::BusChannel:
        return {S::Byte, at(offsetof(cMdfBusMsg, canError.busChannel)), 0};
      case F::ErrorType:
        return {S::ErrorType, 0, 0};
      default:
        break;
    }
  } else if (decoderKind == kMdfDecoderLin || linError) {
    switch (field) {
      case F::LinId:
        return {S::OrId, 0, 0};
      case F::LinBusChannel:
        return {S::Byte, at(offsetof(cMdfBusMsg, lin.busChannel)), 0};
      case F::Timestamp:
        break;
      default:
        if (linError) return {S::Skip, 0, 0};
        break;
    }
    if (decoderKind == kMdfDecoderLin) {
      switch (field) {
        case F::LinDir:
          return {S::Flag, at(offsetof(cMdfBusMsg, lin.dir)), 0};
        case F::LinDataLength:
          return {S::Length, 0, kMdfLinPayloadSize};
        case F::LinReceivedDataByteCount:
          return {S::Byte, at(offsetof(cMdfBusMsg, lin.receivedDataByteCount)),
                  0};
        default:
          break;
      }
    }
  }
  return {S::General, 0, 0};
}

cMdfDecodeStep stepOf(const cMdfDecodeRule& rule, uint64_t recordSize,
                      uint32_t decoderKind) {
  cMdfDecodeStep step{};
  step.load = cMdfStepLoad::General;
  step.convert = cMdfStepConvert::Rule;

  // The load: a little-endian field of 1 to 64 bits that, from its first
  // byte on, fits in 8 bytes and in the record.
  const uint64_t count = rule.bitCount;
  const uint64_t shift = rule.bitPosition % 8;
  const uint64_t byte = rule.bitPosition / 8;
  if (rule.valueKind != cMdfValueKind::Bytes && rule.littleEndian &&
      count >= 1 && count <= 64 && shift + count <= 64 && byte <= recordSize) {
    const uint64_t bytes = (shift + count + 7) / 8;
    if (bytes <= recordSize - byte) {
      step.byte = byte;
      step.shift = static_cast<uint8_t>(shift);
      step.mask = count == 64 ? ~uint64_t{0} : (uint64_t{1} << count) - 1;
      if (recordSize - byte >= 8) {
        step.load = cMdfStepLoad::Word;
      } else {
        step.load = cMdfStepLoad::Tail;
        step.bytes = static_cast<uint8_t>(bytes);
      }
    }
  }

  // The conversion.
  const cMdfConversionRule& conversion = rule.conversion;
  if (conversion.vtable == nullptr || conversion.vtable->convert == nullptr) {
    step.convert = cMdfStepConvert::Identity;
  } else if (conversion.vtable == &linearVtable) {
    const auto* linear =
        static_cast<const cMdfLinearParameter*>(conversion.parameter);
    if (linear == nullptr) {
      step.convert = cMdfStepConvert::Identity;
    } else {
      step.convert = cMdfStepConvert::Linear;
      step.factor = linear->factor;
      step.offset = linear->offset;
    }
  }

  // The store. Straight from the bits only where the number is the bits
  // and a double holds it exactly, so that the decoder's store would give
  // the same.
  const FieldStore where = fieldStore(decoderKind, rule.field);
  const bool exactInteger = rule.valueKind == cMdfValueKind::Unsigned &&
                            step.convert == cMdfStepConvert::Identity &&
                            step.load != cMdfStepLoad::General && count <= 53;
  if (rule.valueKind != cMdfValueKind::Bytes &&
      (where.store == cMdfStepStore::Skip ||
       (where.store != cMdfStepStore::General && exactInteger))) {
    step.store = where.store;
    step.target = where.target;
    step.limit = where.limit;
  }
  // Every frame decoder stores a numeric time as it is, and a CAN data
  // decoder a byte value of the payload channel.
  if (rule.field == cMdfFrameField::Timestamp &&
      rule.valueKind != cMdfValueKind::Bytes &&
      decoderKind != kMdfDecoderGeneric)
    step.store = cMdfStepStore::Time;
  if (rule.field == cMdfFrameField::DataBytes &&
      rule.valueKind == cMdfValueKind::Bytes &&
      decoderKind == kMdfDecoderCanData) {
    step.store = cMdfStepStore::Payload;
    // Bytes of the record itself that are there in every record of the
    // plan: no value to check.
    const uint64_t length = rule.bitCount / 8;
    if (rule.signalData == nullptr && length <= kMdfCanPayloadSize &&
        byte <= recordSize && length <= recordSize - byte) {
      step.store = cMdfStepStore::PayloadFixed;
      step.byte = byte;
      step.limit = static_cast<uint8_t>(length);
    }
  }
  // A LIN decoder's payload of bytes of the record that every record of the
  // plan has (its store takes at most 8 of them).
  if (rule.field == cMdfFrameField::LinDataBytes &&
      rule.valueKind == cMdfValueKind::Bytes && decoderKind == kMdfDecoderLin &&
      rule.signalData == nullptr) {
    const uint64_t length = rule.bitCount / 8;
    if (length <= kMdfCanPayloadSize && byte <= recordSize &&
        length <= recordSize - byte) {
      step.store = cMdfStepStore::LinPayloadFixed;
      step.byte = byte;
      step.limit = static_cast<uint8_t>(
          length < kMdfLinPayloadSize ? length : kMdfLinPayloadSize);
    }
  }
  return step;
}

}  // namespace

cMdfDecodePlan* cMdfDecodePlan_build(const cMdfDecodeRuleArray* rules,
                                     uint64_t recordSize,
                                     uint32_t decoderKind) {
  // The plan, its steps, two lists of bit stores and two index lists, in
  // one allocation (each part a multiple of 8 bytes per rule but the last).
  constexpr size_t kPerRule =
      sizeof(cMdfDecodeStep) + 2 * sizeof(cMdfBitStore) + 2 * sizeof(uint32_t);
  static_assert(sizeof(cMdfDecodePlan) % 8 == 0 &&
                sizeof(cMdfDecodeStep) % 8 == 0 &&
                sizeof(cMdfBitStore) % 8 == 0);
  if (rules == nullptr || rules->size == 0 || rules->size > UINT32_MAX ||
      rules->size > (SIZE_MAX - sizeof(cMdfDecodePlan)) / kPerRule)
    return nullptr;
  void* memory = std::malloc(sizeof(cMdfDecodePlan) + rules->size * kPerRule);
  if (memory == nullptr) return nullptr;
  auto* plan = static_cast<cMdfDecodePlan*>(memory);
  plan->recordSize = recordSize;
  plan->decoderKind = decoderKind;
  plan->count = rules->size;
  plan->steps = reinterpret_cast<cMdfDecodeStep*>(plan + 1);
  plan->bytes = reinterpret_cast<cMdfBitStore*>(plan->steps + rules->size);
  plan->words = plan->bytes + rules->size;
  plan->direct = reinterpret_cast<uint32_t*>(plan->words + rules->size);
  plan->rest = plan->direct + rules->size;
  plan->byteCount = plan->wordCount = plan->directCount = plan->restCount = 0;
  plan->id = plan->length = {};
  plan->tickTime = rules->size;
  plan->ticks = {};
  plan->payload = rules->size;
  uint32_t seen = 0;  // fields met, one bit each
  plan->apart = true;
  bool signalBefore = false;  // a rule with signal data met before
  for (size_t i = 0; i < rules->size; ++i) {
    const cMdfDecodeRule& rule = rules->data[i];
    plan->steps[i] = stepOf(rule, recordSize, decoderKind);
    const auto field = static_cast<uint32_t>(rule.field);
    // Ignored fields store nothing: any number of them keep the order free.
    if (rule.field != cMdfFrameField::Ignored) {
      if (field == 0 || field >= 32 || (seen & (uint32_t{1} << field)) != 0)
        plan->apart = false;
      else
        seen |= uint32_t{1} << field;
    }
    const cMdfDecodeStep& step = plan->steps[i];
    const auto index = static_cast<uint32_t>(i);
    const bool word = step.load == cMdfStepLoad::Word;
    const bool payload = step.store == cMdfStepStore::Payload ||
                         step.store == cMdfStepStore::PayloadFixed ||
                         step.store == cMdfStepStore::LinPayloadFixed;
    const bool stored = step.store != cMdfStepStore::General &&
                        step.store != cMdfStepStore::Time && !payload;
    const cMdfBitStore bits{step.mask,  static_cast<uint32_t>(step.byte),
                            step.shift, step.store,
                            step.limit, 0,
                            step.target};
    if (stored && word && step.byte <= UINT32_MAX &&
        step.store != cMdfStepStore::Skip) {
      // A flag of one bit is the bit itself: a byte store.
      if (step.store == cMdfStepStore::Byte ||
          (step.store == cMdfStepStore::Flag && step.mask == 1))
        plan->bytes[plan->byteCount++] = bits;
      else if (step.store == cMdfStepStore::OrId && plan->id.mask == 0)
        plan->id = bits;
      else if (step.store == cMdfStepStore::Length && plan->length.mask == 0)
        plan->length = bits;
      else
        plan->words[plan->wordCount++] = bits;
    } else if (stored) {
      plan->direct[plan->directCount++] = index;
    } else if (step.store == cMdfStepStore::Time && word &&
               rule.valueKind == cMdfValueKind::Unsigned &&
               step.convert != cMdfStepConvert::Rule &&
               rule.ticks.numerator != 0 && plan->tickTime == rules->size) {
      plan->tickTime = i;
      plan->ticks = rule.ticks;
    } else {
      // A payload may run apart: from the record, or the first value of the
      // signal data (a decoder's walk takes the values in rule order).
      if (payload && plan->payload == rules->size &&
          (step.store != cMdfStepStore::Payload ||
           (rule.signalData != nullptr && !signalBefore)))
        plan->payload = i;
      plan->rest[plan->restCount++] = index;
    }
    signalBefore = signalBefore || rule.signalData != nullptr;
  }
  // With nothing else left for the walk, the payload runs apart too.
  plan->straight =
      plan->apart && plan->restCount == (plan->payload < rules->size ? 1 : 0);
  if (plan->straight) {
    plan->restCount = 0;
  } else {
    plan->payload = rules->size;
  }
  return plan;
}

void cMdfDecodePlan_free(cMdfDecodePlan* plan) { std::free(plan); }
