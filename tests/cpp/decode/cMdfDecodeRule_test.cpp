#include "decode/cMdfDecodeRule.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "mdf/blocks/cMdfBlock_CC.h"
#include "mdf/blocks/cMdfBlock_CN.h"
#include "mdf/blocks/cMdfBlock_TX.h"
#include "support/mdf_block_bytes.h"

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
      {"LIN_ChecksumError.ID", 16},
      {"LIN_ChecksumError.BusChannel", 12},
      {"LIN_ReceiveError.ID", 16},
      {"LIN_SyncError.BusChannel", 12},
      {"LIN_TransmissionError.ID", 16},
      // Whole, case-sensitive names only.
      {"CAN_DataFrame.id", 0},
      {"timestamp", 0},
      {"CAN_DataFrame.IDX", 0},
      {"CAN_DataFrame.ID ", 0},
      {"CAN_DataFrame", 0},
      {"CAN_RemoteFrame.DataBytes", 0},
      {"LIN_ChecksumError.Checksum", 0},
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

// createDecodingRulesInner over channels built in memory.
namespace {

cMdfBlockRef textRef(const std::string& text) {
  cMdfBlock_TX_t* tx = cMdfBlock_TX_ctor();
  EXPECT_TRUE(cMdfBlockText_set(tx, text));
  return cMdfBlockRef_make(tx);
}

cMdfBlockRef conversionRef(uint8_t type, const std::vector<double>& values) {
  cMdfBlock_CC_t* cc = cMdfBlock_CC_ctor();
  cc->conversionType = type;
  cc->valueCount = static_cast<uint16_t>(values.size());
  if (!values.empty()) {
    cc->values = static_cast<double*>(std::malloc(8 * values.size()));
    std::memcpy(cc->values, values.data(), 8 * values.size());
  }
  return cMdfBlockRef_make(cc);
}

struct ChannelFields {
  std::string name;
  uint32_t byteOffset = 0;
  uint8_t bitOffset = 0;
  uint32_t bitCount = 8;
  uint32_t dataType = MDF_CN_DATA_UNSIGNED_LE;  // derived
  uint32_t channelType = MDF_CN_FIXED;          // derived
};

cMdfBlockRef channelRef(const ChannelFields& fields) {
  cMdfBlock_CN_t* cn = cMdfBlock_CN_ctor();
  if (!fields.name.empty()) cn->name = textRef(fields.name);
  cn->byteOffset = fields.byteOffset;
  cn->bitOffset = fields.bitOffset;
  cn->bitCount = fields.bitCount;
  cn->dataType = fields.dataType;
  cn->channelType = fields.channelType;
  return cMdfBlockRef_make(cn);
}

cMdfBlock_CN_t* channelOf(cMdfBlockRef ref) {
  return cMdfBlock_t_to_cMdfBlock_CN_t_mut(ref);
}

// The rules of one channel; the caller drops the array.
cMdfDecodeRuleArray rulesOf(cMdfBlockRef channel) {
  cMdfDecodeRuleArray rules{};
  createDecodingRulesInner(cMdfBlock_t_to_cMdfBlock_CN_t(channel), &rules);
  return rules;
}

TEST(createDecodingRulesInner, LeafChannelPositionNameAndField) {
  cMdfBlockRef channel =
      channelRef({"CAN_DataFrame.DLC", 3, 2, 11, MDF_CN_DATA_UNSIGNED_LE});
  cMdfDecodeRuleArray rules = rulesOf(channel);
  ASSERT_EQ(rules.size, 1u);
  EXPECT_EQ(rules.data[0].bitPosition, 26u);
  EXPECT_EQ(rules.data[0].bitCount, 11u);
  EXPECT_STREQ(rules.data[0].name, "CAN_DataFrame.DLC");
  EXPECT_EQ(rules.data[0].field, cMdfFrameField::Dlc);
  EXPECT_EQ(rules.data[0].signalData, nullptr);
  cMdfDecodeRuleArray_drop(&rules);
  cMdfBlockRef_drop(&channel);

  // One text block may name every channel: each rule keeps 1024 bytes of
  // it at most.
  cMdfBlockRef longName = channelRef({std::string(5000, 'x'), 0, 0, 8});
  rules = rulesOf(longName);
  ASSERT_EQ(rules.size, 1u);
  EXPECT_EQ(std::string(rules.data[0].name), std::string(1024, 'x'));
  cMdfDecodeRuleArray_drop(&rules);
  cMdfBlockRef_drop(&longName);

  cMdfBlockRef nameless = channelRef({"", 0, 0, 8});
  rules = rulesOf(nameless);
  ASSERT_EQ(rules.size, 1u);
  EXPECT_STREQ(rules.data[0].name, "");
  EXPECT_EQ(rules.data[0].field, cMdfFrameField::None);
  cMdfDecodeRuleArray_drop(&rules);
  cMdfBlockRef_drop(&nameless);
}

TEST(createDecodingRulesInner, DataTypesGiveKindAndByteOrder) {
  const struct {
    uint32_t dataType;
    cMdfValueKind kind;
    bool littleEndian;
    bool warned;
  } cases[] = {
      {MDF_CN_DATA_UNSIGNED_LE, cMdfValueKind::Unsigned, true, false},
      {MDF_CN_DATA_UNSIGNED_BE, cMdfValueKind::Unsigned, false, false},
      {MDF_CN_DATA_SIGNED_LE, cMdfValueKind::Signed, true, false},
      {MDF_CN_DATA_SIGNED_BE, cMdfValueKind::Signed, false, false},
      {MDF_CN_DATA_FLOAT_LE, cMdfValueKind::Float, true, false},
      {MDF_CN_DATA_FLOAT_BE, cMdfValueKind::Float, false, false},
      {MDF_CN_DATA_BYTES, cMdfValueKind::Bytes, true, false},
      {MDF_CN_DATA_UNSUPPORTED, cMdfValueKind::Unsigned, false, true},
      {MDF_CN_DATA_STRING, cMdfValueKind::Unsigned, false, true},
  };
  for (const auto& c : cases) {
    mdftest::LogCapture log;
    cMdfBlockRef channel = channelRef({"Timestamp", 0, 0, 32, c.dataType});
    cMdfDecodeRuleArray rules = rulesOf(channel);
    ASSERT_EQ(rules.size, 1u);
    EXPECT_EQ(rules.data[0].valueKind, c.kind) << c.dataType;
    EXPECT_EQ(rules.data[0].littleEndian, c.littleEndian) << c.dataType;
    EXPECT_EQ(rules.data[0].field, cMdfFrameField::Timestamp);
    if (c.warned) {
      ASSERT_EQ(log.lines().size(), 1u);
      EXPECT_EQ(log.lines()[0],
                "Unsupported channel data type: " + std::to_string(c.dataType));
    } else {
      EXPECT_TRUE(log.lines().empty()) << c.dataType;
    }
    cMdfDecodeRuleArray_drop(&rules);
    cMdfBlockRef_drop(&channel);
  }
}

// A big-endian value is the field [bit offset, bit offset + count) of the
// big-endian number formed by the bytes it touches; its rule starts at the
// value's most significant bit, counted MSB-first from the record start.
TEST(createDecodingRulesInner, BigEndianPositionsCountFromTheLastByte) {
  const struct {
    uint32_t byteOffset, bitOffset, bitCount;
    uint64_t position;
  } cases[] = {
      {2, 0, 8, 16},   // one whole byte
      {1, 0, 16, 8},   // two whole bytes
      {1, 3, 10, 11},  // bytes 1-2: 16 - 3 - 10 bits after byte 1 starts
      {0, 7, 1, 0},    // the top bit of byte 0
      {0, 0, 1, 7},    // the low bit of byte 0
      {3, 4, 64, 28},  // 9 bytes for 64 bits at bit offset 4
  };
  for (const auto& c : cases) {
    for (uint32_t dataType : {MDF_CN_DATA_UNSIGNED_BE, MDF_CN_DATA_SIGNED_BE,
                              MDF_CN_DATA_UNSIGNED_LE}) {
      cMdfBlockRef channel =
          channelRef({"CAN_DataFrame.ID", c.byteOffset,
                      static_cast<uint8_t>(c.bitOffset), c.bitCount, dataType});
      cMdfDecodeRuleArray rules = rulesOf(channel);
      ASSERT_EQ(rules.size, 1u);
      const uint64_t expected = dataType == MDF_CN_DATA_UNSIGNED_LE
                                    ? c.byteOffset * 8 + c.bitOffset
                                    : c.position;
      EXPECT_EQ(rules.data[0].bitPosition, expected)
          << c.byteOffset << "." << c.bitOffset << "/" << c.bitCount;
      cMdfDecodeRuleArray_drop(&rules);
      cMdfBlockRef_drop(&channel);
    }
  }
}

TEST(createDecodingRulesInner, ConversionsFromTheConversionBlock) {
  const struct {
    const char* what;
    bool hasBlock;
    uint8_t type;
    std::vector<double> values;
    std::vector<std::pair<double, double>> rawToPhysical;
    int32_t tableEntries = 0;  // for value tables
  } cases[] = {
      {"none", false, 0, {}, {{7, 7}}},
      {"linear", true, 1, {0.5, 2.0}, {{10, 20.5}}},
      {"linear milli", true, 1, {0, 0.001}, {{123456, 123456 * 0.001}}},
      {"linear offset only", true, 1, {3.0}, {{4, 7}}},
      {"linear no values", true, 1, {}, {{9, 9}}},
      {"table", true, 5, {1, 10, 2, 20, 1, 99}, {{1, 10}, {2, 20}, {3, 3}}, 2},
      {"table odd count", true, 5, {1, 10, 2}, {{1, 10}, {2, 2}}, 1},
      {"table empty", true, 5, {}, {{4, 4}}},
      {"one-to-one", true, 0, {5, 6}, {{7, 7}}},
      {"other type", true, 3, {1, 2, 3}, {{7, 7}}},
  };
  for (const auto& c : cases) {
    cMdfBlockRef channel = channelRef({"CAN_DataFrame.ID", 0, 0, 32});
    if (c.hasBlock) {
      channelOf(channel)->conversion = conversionRef(c.type, c.values);
    }
    cMdfDecodeRuleArray rules = rulesOf(channel);
    ASSERT_EQ(rules.size, 1u) << c.what;
    for (const auto& [raw, physical] : c.rawToPhysical) {
      EXPECT_EQ(cMdfConversionRule_convert(&rules.data[0].conversion, raw),
                physical)
          << c.what << " raw " << raw;
    }
    if (c.type == 5) {
      const auto* table = static_cast<const cMdfValueTable*>(
          rules.data[0].conversion.parameter);
      ASSERT_NE(table, nullptr);
      EXPECT_EQ(table->count, c.tableEntries) << c.what;
    }
    cMdfDecodeRuleArray_drop(&rules);
    cMdfBlockRef_drop(&channel);
  }
}

// A value table of 32767 pairs is a megabyte: channels sharing their
// conversion block share its table instead of building one each.
TEST(createDecodingRulesInner, ChannelsSharingAConversionShareItsTable) {
  cMdfBlockRef cc = conversionRef(5, {1, 10, 2, 20});
  cMdfBlockRef a = channelRef({"CAN_DataFrame.ID", 0, 0, 8});
  cMdfBlockRef b = channelRef({"CAN_DataFrame.DLC", 1, 0, 8});
  channelOf(a)->conversion = cMdfBlockRef_copy(cc);
  channelOf(b)->conversion = cMdfBlockRef_copy(cc);
  cMdfDecodeRuleArray rulesA = rulesOf(a);
  cMdfDecodeRuleArray rulesB = rulesOf(b);
  ASSERT_EQ(rulesA.size, 1u);
  ASSERT_EQ(rulesB.size, 1u);
  EXPECT_EQ(rulesA.data[0].conversion.parameter,
            rulesB.data[0].conversion.parameter);
  // Each holder drops it on its own; the last one frees it.
  cMdfDecodeRuleArray_drop(&rulesA);
  cMdfBlockRef_drop(&a);
  cMdfBlockRef_drop(&cc);
  EXPECT_EQ(cMdfConversionRule_convert(&rulesB.data[0].conversion, 2), 20);
  cMdfBlockRef_drop(&b);
  EXPECT_EQ(cMdfConversionRule_convert(&rulesB.data[0].conversion, 1), 10);
  cMdfDecodeRuleArray_drop(&rulesB);
}

TEST(createDecodingRulesInner, SignalDataOnlyForVlsdChannels) {
  for (const uint32_t channelType : {MDF_CN_VLSD, MDF_CN_FIXED}) {
    cMdfBlockRef channel = channelRef(
        {"CAN_DataFrame.DataBytes", 16, 0, 64, MDF_CN_DATA_BYTES, channelType});
    cMdfBlockRef signal = textRef("stands in for the signal data block");
    channelOf(channel)->data = cMdfBlockRef_copy(signal);
    cMdfDecodeRuleArray rules = rulesOf(channel);
    ASSERT_EQ(rules.size, 1u);
    EXPECT_EQ(rules.data[0].signalData,
              channelType == MDF_CN_VLSD ? signal.block : nullptr);
    EXPECT_EQ(rules.data[0].valueKind, cMdfValueKind::Bytes);
    cMdfDecodeRuleArray_drop(&rules);
    cMdfBlockRef_drop(&channel);
    cMdfBlockRef_drop(&signal);
  }
}

TEST(createDecodingRulesInner, ComposedChannelsContributeTheirLeaves) {
  // outer { a, inner { b, c }, d }: the rules are a, b, c, d.
  cMdfBlockRef outer = channelRef({"CAN_DataFrame", 0, 0, 64});
  cMdfBlockRef inner = channelRef({"inner", 0, 0, 8});
  cMdfBlockList_pushBack(&channelOf(inner)->composition,
                         channelRef({"b", 1, 0, 8}));
  cMdfBlockList_pushBack(&channelOf(inner)->composition,
                         channelRef({"c", 2, 0, 8}));
  cMdfBlockList* members = &channelOf(outer)->composition;
  cMdfBlockList_pushBack(members, channelRef({"a", 0, 0, 8}));
  cMdfBlockList_pushBack(members, inner);
  cMdfBlockList_pushBack(members, channelRef({"d", 3, 0, 8}));
  cMdfDecodeRuleArray rules = rulesOf(outer);
  ASSERT_EQ(rules.size, 4u);
  const char* expected[] = {"a", "b", "c", "d"};
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_STREQ(rules.data[i].name, expected[i]);
    EXPECT_EQ(rules.data[i].bitPosition, 8 * i);
  }
  cMdfDecodeRuleArray_drop(&rules);
  cMdfBlockRef_drop(&outer);
}

TEST(createDecodingRulesInner, SharedMembersCannotExplode) {
  // Each level lists the level below twice: 2^40 leaves in 41 blocks.
  cMdfBlockRef level = channelRef({"CAN_DataFrame.ID", 0, 0, 8});
  for (int i = 0; i < 40; ++i) {
    cMdfBlockRef up = channelRef({"composed", 0, 0, 8});
    cMdfBlockList_pushBack(&channelOf(up)->composition,
                           cMdfBlockRef_copy(level));
    cMdfBlockList_pushBack(&channelOf(up)->composition, level);
    level = up;
  }
  cMdfDecodeRuleArray rules = rulesOf(level);
  EXPECT_GT(rules.size, 0u);
  EXPECT_LE(rules.size, size_t{1} << 16);
  cMdfDecodeRuleArray_drop(&rules);
  cMdfBlockRef_drop(&level);
}

}  // namespace
