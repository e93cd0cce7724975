#include "decode/cMdfDecodeRule.h"

#include <cstdlib>
#include <cstring>

#include "decode/cMdfDecodePlan.h"
#include "log/zf_log.h"
#include "mdf/blocks/cMdfBlock_CC.h"
#include "mdf/blocks/cMdfBlock_CN.h"
#include "mdf/blocks/cMdfBlock_TX.h"

namespace {

struct NamedField {
  const char* name;
  cMdfFrameField field;
};

// The bus-logging channel names, in matching order. Remote and error frame
// names share the codes of the data frame fields they correspond to.
constexpr NamedField kNamedFields[] = {
    {"CAN_DataFrame.ID", cMdfFrameField::Id},
    {"CAN_DataFrame.DataBytes", cMdfFrameField::DataBytes},
    {"CAN_DataFrame.IDE", cMdfFrameField::Ide},
    {"CAN_DataFrame.Dir", cMdfFrameField::Dir},
    {"CAN_DataFrame.EDL", cMdfFrameField::Edl},
    {"CAN_DataFrame.ESI", cMdfFrameField::Esi},
    {"CAN_DataFrame.BRS", cMdfFrameField::Brs},
    {"CAN_DataFrame.BusChannel", cMdfFrameField::BusChannel},
    {"CAN_DataFrame.DLC", cMdfFrameField::Dlc},
    {"CAN_DataFrame.DataLength", cMdfFrameField::DataLength},
    {"Timestamp", cMdfFrameField::Timestamp},
    {"CAN_RemoteFrame.ID", cMdfFrameField::Id},
    {"CAN_RemoteFrame.IDE", cMdfFrameField::Ide},
    {"CAN_RemoteFrame.Dir", cMdfFrameField::Dir},
    {"CAN_RemoteFrame.BusChannel", cMdfFrameField::BusChannel},
    {"CAN_RemoteFrame.DLC", cMdfFrameField::Dlc},
    {"CAN_RemoteFrame.DataLength", cMdfFrameField::DataLength},
    {"CAN_ErrorFrame.BusChannel", cMdfFrameField::BusChannel},
    {"CAN_ErrorFrame.ErrorType", cMdfFrameField::ErrorType},
    {"LIN_Frame.ID", cMdfFrameField::LinId},
    {"LIN_Frame.DataBytes", cMdfFrameField::LinDataBytes},
    {"LIN_Frame.Dir", cMdfFrameField::LinDir},
    {"LIN_Frame.BusChannel", cMdfFrameField::LinBusChannel},
    {"LIN_Frame.ReceivedDataByteCount",
     cMdfFrameField::LinReceivedDataByteCount},
    {"LIN_Frame.DataLength", cMdfFrameField::LinDataLength},
    {"LIN_ChecksumError.ID", cMdfFrameField::LinId},
    {"LIN_ChecksumError.BusChannel", cMdfFrameField::LinBusChannel},
    {"LIN_ReceiveError.ID", cMdfFrameField::LinId},
    {"LIN_ReceiveError.BusChannel", cMdfFrameField::LinBusChannel},
    {"LIN_SyncError.ID", cMdfFrameField::LinId},
    {"LIN_SyncError.BusChannel", cMdfFrameField::LinBusChannel},
    {"LIN_TransmissionError.ID", cMdfFrameField::LinId},
    {"LIN_TransmissionError.BusChannel", cMdfFrameField::LinBusChannel},
};

// Conversion types of the channel conversion block that have a rule.
enum : uint8_t {
  kConversionLinear = 1,
  kConversionValueToValue = 5,  // exact table, no interpolation
};

// Sync type of a master channel whose values are times.
constexpr uint8_t kSyncTime = 1;

// Composed channels are expanded with an explicit stack of composition
// lists; a channel graph that shares members can expand to far more leaves
// than it has blocks, so the number of channels visited per call is
// bounded. Real groups have a dozen channels.
constexpr size_t kMaxChannelsVisited = size_t{1} << 16;

// A rule keeps at most this much of its channel's name. Bus-logging names
// are a few dozen bytes; one text block may name every channel of a file,
// and a copy of all of it per channel could take far more memory than the
// file has bytes.
constexpr size_t kMaxNameLength = 1024;

struct CompositionFrame {
  const cMdfBlockList* members;
  size_t next;  // index of the member to visit next
};

// The rule for a conversion block's parameters: identity for conversion
// types other than linear and value-to-value table.
cMdfConversionRule buildConversion(const cMdfBlock_CC_t* cc) {
  const uint8_t type = cMdfBlock_CC_getConversionType(cc);
  if (type == kConversionLinear) {
    // Missing parameters keep physical = raw * 1 + 0.
    double offset = 0.0;
    double factor = 1.0;
    cMdfBlock_CC_getParameter(cc, 0, &offset);
    cMdfBlock_CC_getParameter(cc, 1, &factor);
    return cMdfConversionRule_linear(factor, offset);
  }
  if (type == kConversionValueToValue) {
    // Pairs (key, value); an odd last value is ignored, the first pair for
    // a key wins.
    cMdfValueTable table{};
    const uint64_t pairs = cMdfBlock_CC_getValueCount(cc) / 2;
    for (uint64_t i = 0; i < pairs; ++i) {
      double key = 0.0;
      double value = 0.0;
      if (!cMdfBlock_CC_getParameter(cc, 2 * i, &key) ||
          !cMdfBlock_CC_getParameter(cc, 2 * i + 1, &value) ||
          !cMdfValueTable_insert(&table, key, value)) {
        // Without memory for the whole table the rule is incomplete rather
        // than a partial table.
        cMdfValueTable_drop(&table);
        return cMdfConversionRule_incompleteOf(&lookupTableExactVtable);
      }
    }
    const cMdfConversionRule rule = cMdfConversionRule_lookupTable(table);
    cMdfValueTable_drop(&table);
    return rule;
  }
  return cMdfConversionRule_default();
}

// The rule for a channel's conversion block, identity without one: a clone
// of the block's own rule, which is built on first use.
cMdfConversionRule conversionOf(cMdfBlock_CC_t* cc) {
  if (cc == nullptr) return cMdfConversionRule_default();
  if (cc->rule.vtable == nullptr) cc->rule = buildConversion(cc);
  const cMdfConversionRule rule = cMdfConversionRule_clone(cc->rule);
  // Built again by the next channel that asks, when memory may be back.
  if (cMdfConversionRule_incomplete(&cc->rule)) cc->rule = {};
  return rule;
}

// Appends the rule of one leaf channel.
void appendLeafRule(const cMdfBlock_CN_t* channel, cMdfDecodeRuleArray* rules) {
  cMdfDecodeRule rule;
  cMdfDecodeRule_init(&rule);
  const std::string_view name =
      cMdfBlockText_get(channel->name.block).substr(0, kMaxNameLength);
  if (!cMdfDecodeRule_setName(&rule, name.data(), name.size()))
    rules->incomplete = true;
  cMdfDecodeRule_mapName(&rule);
  const uint64_t byteOffset = cMdfBlock_CN_getByteOffset(channel);
  const uint64_t bitOffset = cMdfBlock_CN_getBitOffset(channel);
  rule.bitPosition = byteOffset * 8 + bitOffset;
  rule.bitCount = cMdfBlock_CN_getBitLength(channel);
  const uint32_t dataType = cMdfBlock_CN_getDataType(channel);
  switch (dataType) {
    case MDF_CN_DATA_UNSIGNED_LE:
    case MDF_CN_DATA_UNSIGNED_BE:
      rule.valueKind = cMdfValueKind::Unsigned;
      rule.littleEndian = dataType == MDF_CN_DATA_UNSIGNED_LE;
      break;
    case MDF_CN_DATA_SIGNED_LE:
    case MDF_CN_DATA_SIGNED_BE:
      rule.valueKind = cMdfValueKind::Signed;
      rule.littleEndian = dataType == MDF_CN_DATA_SIGNED_LE;
      break;
    case MDF_CN_DATA_FLOAT_LE:
    case MDF_CN_DATA_FLOAT_BE:
      rule.valueKind = cMdfValueKind::Float;
      rule.littleEndian = dataType == MDF_CN_DATA_FLOAT_LE;
      break;
    case MDF_CN_DATA_BYTES:
      rule.valueKind = cMdfValueKind::Bytes;
      rule.littleEndian = true;
      break;
    default:
      // Kept with the initial kind and order: the decoders still see a rule
      // for the channel's name.
      ZF_LOGW("Unsupported channel data type: %d", static_cast<int>(dataType));
      break;
  }
  if (!rule.littleEndian && dataType != MDF_CN_DATA_UNSUPPORTED) {
    // A big-endian value is the bit field [bit offset, bit offset + count)
    // of the big-endian number formed by the bytes it touches; read
    // MSB-first, it starts that many bits before the end of those bytes.
    const uint64_t bytes = (bitOffset + rule.bitCount + 7) / 8;
    rule.bitPosition = byteOffset * 8 + bytes * 8 - bitOffset - rule.bitCount;
  }
  rule.conversion =
      conversionOf(cMdfBlock_t_to_cMdfBlock_CC_t_mut(channel->conversion));
  if (cMdfConversionRule_incomplete(&rule.conversion)) rules->incomplete = true;
  if (rule.valueKind == cMdfValueKind::Unsigned ||
      rule.valueKind == cMdfValueKind::Signed) {
    rule.ticks = cMdfConversionRule_tickScale(&rule.conversion);
  }
  rule.timeMaster = cMdfBlock_CN_getChannelType(channel) == MDF_CN_MASTER &&
                    channel->syncType == kSyncTime;
  if (cMdfBlock_CN_getChannelType(channel) == MDF_CN_VLSD) {
    rule.signalData = channel->data.block;
  }
  if (!cMdfDecodeRuleArray_push(rules, &rule)) {
    cMdfDecodeRule_drop(&rule);
    rules->incomplete = true;
  }
}

}  // namespace

bool cMdfDecodeRule_init(cMdfDecodeRule* rule) {
  if (rule == nullptr) return false;
  *rule = cMdfDecodeRule{};
  return true;
}

void cMdfDecodeRule_drop(cMdfDecodeRule* rule) {
  if (rule == nullptr) return;
  std::free(rule->name);
  rule->name = nullptr;
  cMdfConversionRule_drop(&rule->conversion);
}

bool cMdfDecodeRule_setName(cMdfDecodeRule* rule, const char* text, size_t n) {
  if (rule == nullptr) return false;
  std::free(rule->name);
  rule->name = nullptr;
  if (text == nullptr) return true;
  const void* zero = std::memchr(text, 0, n);
  if (zero != nullptr)
    n = static_cast<size_t>(static_cast<const char*>(zero) - text);
  auto* copy = static_cast<char*>(std::malloc(n + 1));
  if (copy == nullptr) return false;
  std::memcpy(copy, text, n);
  copy[n] = '\0';
  rule->name = copy;
  return true;
}

cMdfDecodeRule cMdfDecodeRule_clone(cMdfDecodeRule rule) {
  cMdfDecodeRule copy = rule;
  copy.name = nullptr;
  if (rule.name != nullptr &&
      !cMdfDecodeRule_setName(&copy, rule.name, std::strlen(rule.name))) {
    copy.field = cMdfFrameField::None;
  }
  copy.conversion = cMdfConversionRule_clone(rule.conversion);
  return copy;
}

void cMdfDecodeRule_mapName(cMdfDecodeRule* rule) {
  if (rule == nullptr) return;
  rule->field = cMdfFrameField::None;
  if (rule->name == nullptr) return;
  for (const NamedField& entry : kNamedFields) {
    if (std::strcmp(rule->name, entry.name) == 0) {
      rule->field = entry.field;
      return;
    }
  }
}

bool cMdfDecodeRuleArray_push(cMdfDecodeRuleArray* rules,
                              const cMdfDecodeRule* rule) {
  if (rules == nullptr || rule == nullptr) return false;
  cMdfDecodePlan_free(rules->plan);
  rules->plan = nullptr;
  if (rules->size == rules->capacity) {
    const size_t capacity = rules->capacity * 3 / 2 + 4;
    if (capacity > SIZE_MAX / sizeof(cMdfDecodeRule)) return false;
    auto* grown = static_cast<cMdfDecodeRule*>(
        std::realloc(rules->data, capacity * sizeof(cMdfDecodeRule)));
    if (grown == nullptr) return false;
    rules->data = grown;
    rules->capacity = capacity;
  }
  rules->data[rules->size++] = *rule;
  return true;
}

void cMdfDecodeRuleArray_clear(cMdfDecodeRuleArray* rules) {
  if (rules == nullptr) return;
  cMdfDecodePlan_free(rules->plan);
  rules->plan = nullptr;
  rules->incomplete = false;
  while (rules->size > 0) {
    cMdfDecodeRule_drop(&rules->data[--rules->size]);
  }
}

void cMdfDecodeRuleArray_drop(cMdfDecodeRuleArray* rules) {
  if (rules == nullptr) return;
  cMdfDecodeRuleArray_clear(rules);
  std::free(rules->data);
  *rules = cMdfDecodeRuleArray{};
}

void cMdfDecodeRuleArray_plan(cMdfDecodeRuleArray* rules, uint64_t recordSize,
                              uint32_t decoderKind) {
  if (rules == nullptr) return;
  cMdfDecodePlan_free(rules->plan);
  rules->plan = cMdfDecodePlan_build(rules, recordSize, decoderKind);
}

void createDecodingRulesInner(const cMdfBlock_CN_t* channel,
                              cMdfDecodeRuleArray* rules) {
  if (channel == nullptr || rules == nullptr) return;
  if (cMdfBlockList_size(&channel->composition) == 0) {
    appendLeafRule(channel, rules);
    return;
  }
  // Depth-first over the composition lists, members in list order.
  CompositionFrame* stack = nullptr;
  size_t depth = 0;
  size_t capacity = 0;
  size_t visited = 0;
  const cMdfBlockList* members = &channel->composition;
  size_t next = 0;
  for (;;) {
    if (next == cMdfBlockList_size(members)) {
      if (depth == 0) break;
      --depth;
      members = stack[depth].members;
      next = stack[depth].next;
      continue;
    }
    if (++visited > kMaxChannelsVisited) break;
    const cMdfBlock_CN_t* member =
        cMdfBlock_t_to_cMdfBlock_CN_t(cMdfBlockList_at(members, next++));
    if (member == nullptr) continue;
    if (cMdfBlockList_size(&member->composition) == 0) {
      appendLeafRule(member, rules);
      continue;
    }
    if (depth == capacity) {
      const size_t grown = capacity * 2 + 8;
      auto* bigger = static_cast<CompositionFrame*>(
          std::realloc(stack, grown * sizeof(CompositionFrame)));
      if (bigger == nullptr) {
        rules->incomplete = true;
        break;
      }
      stack = bigger;
      capacity = grown;
    }
    stack[depth++] = {members, next};
    members = &member->composition;
    next = 0;
  }
  std::free(stack);
}
