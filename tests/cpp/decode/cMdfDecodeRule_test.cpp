#include "decode/cMdfDecodeRule.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

cMdfFrameField fieldOf(const char* name) {
  cMdfDecodeRule rule;
  cMdfDecodeRule_init(&rule);
  EXPECT_TRUE(cMdfDecodeRule_setName(&rule, name, std::strlen(name)));
  cMdfDecodeRule_mapName(&rule);
  const cMdfFrameField field = rule.field;
  cMdfDecodeRule_drop(&rule);
  return field;
}

TEST(cMdfDecodeRule, InitLeavesAnEmptyRule) {
  cMdfDecodeRule rule;
  std::memset(&rule, 0xAB, sizeof rule);
  ASSERT_TRUE(cMdfDecodeRule_init(&rule));
  EXPECT_EQ(rule.bitPosition, 0u);
  EXPECT_EQ(rule.bitCount, 0u);
  EXPECT_EQ(rule.valueKind, cMdfValueKind::Unsigned);
  EXPECT_FALSE(rule.littleEndian);
  EXPECT_EQ(rule.conversion.vtable, nullptr);
  EXPECT_EQ(rule.conversion.parameter, nullptr);
  EXPECT_EQ(rule.name, nullptr);
  EXPECT_EQ(rule.field, cMdfFrameField::None);
  EXPECT_EQ(rule.signalData, nullptr);
  EXPECT_FALSE(cMdfDecodeRule_init(nullptr));
  cMdfDecodeRule_drop(nullptr);
  cMdfDecodeRule_mapName(nullptr);
}

TEST(cMdfDecodeRule, MapsBusLoggingNames) {
  const struct {
    const char* name;
    uint32_t code;
  } cases[] = {
      {"CAN_DataFrame.ID", 10},
      {"CAN_DataFrame.DataBytes", 3},
      {"CAN_DataFrame.IDE", 11},
      {"CAN_DataFrame.Dir", 5},
      {"CAN_DataFrame.EDL", 7},
      {"CAN_DataFrame.ESI", 9},
      {"CAN_DataFrame.BRS", 1},
      {"CAN_DataFrame.BusChannel", 2},
      {"CAN_DataFrame.DLC", 6},
      {"CAN_DataFrame.DataLength", 4},
      {"Timestamp", 18},
      {"CAN_RemoteFrame.ID", 10},
      {"CAN_RemoteFrame.IDE", 11},
      {"CAN_RemoteFrame.Dir", 5},
      {"CAN_RemoteFrame.BusChannel", 2},
      {"CAN_RemoteFrame.DLC", 6},
      {"CAN_RemoteFrame.DataLength", 4},
      {"CAN_ErrorFrame.BusChannel", 2},
      {"CAN_ErrorFrame.ErrorType", 8},
      {"LIN_Frame.ID", 16},
      {"LIN_Frame.DataBytes", 13},
      {"LIN_Frame.Dir", 15},
      {"LIN_Frame.BusChannel", 12},
      {"LIN_Frame.ReceivedDataByteCount", 17},
      {"LIN_Frame.DataLength", 14},
      // Whole, case-sensitive names only.
      {"CAN_DataFrame.id", 0},
      {"timestamp", 0},
      {"CAN_DataFrame.IDX", 0},
      {"CAN_DataFrame.ID ", 0},
      {"CAN_DataFrame", 0},
      {"CAN_RemoteFrame.DataBytes", 0},
      {"LIN_ChecksumError.ID", 0},
      {"", 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(static_cast<uint32_t>(fieldOf(c.name)), c.code) << c.name;
  }
}

TEST(cMdfDecodeRule, NameStopsAtAZeroByte) {
  cMdfDecodeRule rule;
  cMdfDecodeRule_init(&rule);
  const char text[] = "Timestamp\0junk";
  ASSERT_TRUE(cMdfDecodeRule_setName(&rule, text, sizeof text - 1));
  EXPECT_STREQ(rule.name, "Timestamp");
  cMdfDecodeRule_mapName(&rule);
  EXPECT_EQ(rule.field, cMdfFrameField::Timestamp);
  cMdfDecodeRule_drop(&rule);
}

TEST(cMdfDecodeRule, CloneIsIndependent) {
  cMdfDecodeRule rule;
  cMdfDecodeRule_init(&rule);
  const std::string name(30, 'n');
  ASSERT_TRUE(cMdfDecodeRule_setName(&rule, name.data(), name.size()));
  rule.conversion = cMdfConversionRule_linear(2.0, 1.0);
  rule.bitPosition = 26;
  rule.bitCount = 11;
  rule.valueKind = cMdfValueKind::Float;
  rule.littleEndian = true;
  int marker = 0;
  rule.signalData = reinterpret_cast<const cMdfBlock_t*>(&marker);

  cMdfDecodeRule clone = cMdfDecodeRule_clone(rule);
  EXPECT_NE(clone.name, rule.name);
  EXPECT_NE(clone.conversion.parameter, rule.conversion.parameter);
  EXPECT_EQ(clone.signalData, rule.signalData);
  cMdfDecodeRule_drop(&rule);
  EXPECT_EQ(rule.name, nullptr);
  EXPECT_EQ(std::string(clone.name), name);
  EXPECT_EQ(clone.bitPosition, 26u);
  EXPECT_EQ(clone.bitCount, 11u);
  EXPECT_EQ(clone.valueKind, cMdfValueKind::Float);
  EXPECT_TRUE(clone.littleEndian);
  EXPECT_EQ(cMdfConversionRule_convert(&clone.conversion, 3), 7.0);
  cMdfDecodeRule_drop(&clone);
}

TEST(cMdfDecodeRuleArray, GrowsAndClearsKeepingStorage) {
  cMdfDecodeRuleArray rules{};
  for (int i = 0; i < 40; ++i) {
    cMdfDecodeRule rule;
    cMdfDecodeRule_init(&rule);
    const std::string name = "rule" + std::to_string(i);
    cMdfDecodeRule_setName(&rule, name.data(), name.size());
    rule.conversion = cMdfConversionRule_linear(1.0, i);
    rule.bitPosition = static_cast<uint64_t>(i);
    ASSERT_TRUE(cMdfDecodeRuleArray_push(&rules, &rule));
  }
  ASSERT_EQ(rules.size, 40u);
  // Growth steps 0 -> 4 -> 10 -> 19 -> 32 -> 52.
  EXPECT_EQ(rules.capacity, 52u);
  for (size_t i = 0; i < rules.size; ++i) {
    EXPECT_EQ(rules.data[i].bitPosition, i);
    EXPECT_EQ(std::string(rules.data[i].name), "rule" + std::to_string(i));
  }
  const cMdfDecodeRule* storage = rules.data;
  cMdfDecodeRuleArray_clear(&rules);
  EXPECT_EQ(rules.size, 0u);
  EXPECT_EQ(rules.data, storage);
  cMdfDecodeRuleArray_drop(&rules);
  EXPECT_EQ(rules.data, nullptr);
  EXPECT_EQ(rules.capacity, 0u);
}

}  // namespace
