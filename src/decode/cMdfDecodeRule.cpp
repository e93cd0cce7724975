#include "decode/cMdfDecodeRule.h"

#include <cstdlib>
#include <cstring>

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
};

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
