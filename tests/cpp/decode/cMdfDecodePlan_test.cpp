#include "decode/cMdfDecodePlan.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "decode/cMdfDecoders.h"

namespace {

// Any non-null block pointer marks a rule as a VLSD rule; the decoders only
// test it for null.
int gSignalBlock = 0;
const cMdfBlock_t* const kSignalData =
    reinterpret_cast<const cMdfBlock_t*>(&gSignalBlock);

struct Decoder {
  const char* name;
  cMdfDecoderFn decode;
  uint32_t kind;
  std::vector<std::string> fields;  // channel names it takes
};

const std::vector<Decoder>& decoders() {
  static const std::vector<Decoder> all = {
      {"CAN data",
       cMdfDecoders_decodeCanDataFrame,
       kMdfDecoderCanData,
       {"CAN_DataFrame.ID", "CAN_DataFrame.IDE", "CAN_DataFrame.Dir",
        "CAN_DataFrame.EDL", "CAN_DataFrame.ESI", "CAN_DataFrame.BRS",
        "CAN_DataFrame.BusChannel", "CAN_DataFrame.DLC",
        "CAN_DataFrame.DataLength", "CAN_DataFrame.DataBytes"}},
      {"CAN remote",
       cMdfDecoders_decodeCanRemoteFrame,
       kMdfDecoderCanRemote,
       {"CAN_RemoteFrame.ID", "CAN_RemoteFrame.IDE", "CAN_RemoteFrame.Dir",
        "CAN_RemoteFrame.BusChannel", "CAN_RemoteFrame.DLC",
        "CAN_RemoteFrame.DataLength"}},
      {"CAN error",
       cMdfDecoders_decodeCanErrorFrame,
       kMdfDecoderCanError,
       {"CAN_ErrorFrame.BusChannel", "CAN_ErrorFrame.ErrorType"}},
      {"LIN",
       cMdfDecoders_decodeLinFrame,
       kMdfDecoderLin,
       {"LIN_Frame.ID", "LIN_Frame.Dir", "LIN_Frame.BusChannel",
        "LIN_Frame.DataLength", "LIN_Frame.ReceivedDataByteCount",
        "LIN_Frame.DataBytes"}},
      {"LIN checksum error",
       cMdfDecoders_decodeLinChecksumError,
       kMdfDecoderLinChecksumError,
       {"LIN_Frame.ID", "LIN_Frame.BusChannel", "LIN_Frame.Dir",
        "LIN_Frame.DataBytes"}},
  };
  return all;
}

// Random rules of a decoder's fields (now and then a field of another
// decoder, a repeated one, a name of no field), at random places of a
// record of `recordSize` bytes and sometimes beyond it, of every value
// kind, byte order and conversion. Tidy rules are the kind loggers write:
// each field once, unsigned little-endian fields in the record, a time of
// integer ticks, the payload in the record or as the only VLSD value.
struct RandomRules {
  cMdfDecodeRuleArray array{};

  RandomRules(std::mt19937_64& rng, const Decoder& decoder, uint64_t recordSize,
              bool tidy) {
    if (tidy) {
      addTidy(rng, decoder, recordSize);
      return;
    }
    const size_t count = 2 + rng() % 12;
    for (size_t i = 0; i < count; ++i) {
      std::string name =
          i == 0 ? "Timestamp" : decoder.fields[rng() % decoder.fields.size()];
      if (rng() % 20 == 0) name = "CAN_DataFrame.EDL";
      if (rng() % 30 == 0) name = "Something.Else";
      cMdfDecodeRule rule;
      cMdfDecodeRule_init(&rule);
      EXPECT_TRUE(cMdfDecodeRule_setName(&rule, name.data(), name.size()));
      cMdfDecodeRule_mapName(&rule);
      const bool bytes = name.ends_with("DataBytes") && rng() % 8 != 0;
      rule.valueKind = bytes ? cMdfValueKind::Bytes
                             : static_cast<cMdfValueKind>(
                                   std::array<uint32_t, 3>{0, 2, 3}[rng() % 3]);
      if (rng() % 2 == 0) rule.valueKind = cMdfValueKind::Unsigned;
      static constexpr uint64_t kCounts[] = {1,  2,  4,  7,  8,  11, 16, 29,
                                             32, 48, 53, 54, 57, 63, 64, 72};
      rule.bitCount =
          bytes ? 8 * (rng() % 10) : kCounts[rng() % (sizeof kCounts / 8)];
      if (rule.valueKind == cMdfValueKind::Float)
        rule.bitCount = std::array<uint64_t, 4>{16, 32, 64, 24}[rng() % 4];
      rule.bitPosition = rng() % (8 * recordSize + 16);
      if (rng() % 3 == 0) rule.bitPosition &= ~uint64_t{7};
      rule.littleEndian = rng() % 4 != 0;
      switch (rng() % 4) {
        case 0:
          rule.conversion = cMdfConversionRule_linear(
              1.0 / static_cast<double>(1 + rng() % 1000),
              static_cast<double>(rng() % 7));
          break;
        case 1: {
          cMdfValueTable table{};
          for (int k = 0; k < 4; ++k)
            cMdfValueTable_insert(&table, static_cast<double>(k),
                                  static_cast<double>(k * 3 + 1));
          rule.conversion = cMdfConversionRule_lookupTable(table);
          cMdfValueTable_drop(&table);
          break;
        }
        default:
          rule.conversion = cMdfConversionRule_default();
      }
      if (rule.valueKind == cMdfValueKind::Unsigned ||
          rule.valueKind == cMdfValueKind::Signed)
        rule.ticks = cMdfConversionRule_tickScale(&rule.conversion);
      if (bytes && rng() % 2 == 0) rule.signalData = kSignalData;
      EXPECT_TRUE(cMdfDecodeRuleArray_push(&array, &rule));
    }
  }
  void addTidy(std::mt19937_64& rng, const Decoder& decoder,
               uint64_t recordSize) {
    std::vector<std::string> names = decoder.fields;
    std::shuffle(names.begin(), names.end(), rng);
    names.resize(rng() % (names.size() + 1));
    names.insert(
        names.begin() + static_cast<ptrdiff_t>(rng() % (names.size() + 1)),
        "Timestamp");
    for (const std::string& name : names) {
      cMdfDecodeRule rule;
      cMdfDecodeRule_init(&rule);
      EXPECT_TRUE(cMdfDecodeRule_setName(&rule, name.data(), name.size()));
      cMdfDecodeRule_mapName(&rule);
      rule.littleEndian = true;
      if (name.ends_with("DataBytes")) {
        rule.valueKind = cMdfValueKind::Bytes;
        const uint64_t length = rng() % 10;
        rule.bitCount = 8 * length;
        rule.bitPosition =
            8 * (length < recordSize ? rng() % (recordSize - length + 1)
                                     : rng() % (recordSize + 1));
        if (rng() % 2 == 0) rule.signalData = kSignalData;
      } else if (name == "Timestamp") {
        rule.bitCount = rng() % 2 == 0 ? 64 : 32;
        rule.bitPosition =
            8 * (recordSize > 8 ? rng() % (recordSize - 7) : rng() % 2);
        rule.conversion = rng() % 2 == 0 ? cMdfConversionRule_linear(1e-6, 0.0)
                                         : cMdfConversionRule_default();
        rule.ticks = cMdfConversionRule_tickScale(&rule.conversion);
      } else {
        rule.bitCount = 1 + rng() % 32;
        rule.bitPosition = rng() % (8 * recordSize);
      }
      EXPECT_TRUE(cMdfDecodeRuleArray_push(&array, &rule));
    }
  }
  ~RandomRules() { cMdfDecodeRuleArray_drop(&array); }
  RandomRules(const RandomRules&) = delete;
  RandomRules& operator=(const RandomRules&) = delete;
};

// The frame's bytes, its data pointer as an offset into the frame.
std::vector<uint8_t> frameBytes(const cMdfBusMsg& frame) {
  cMdfBusMsg copy = frame;
  copy.data = frame.data == nullptr
                  ? nullptr
                  : reinterpret_cast<const uint8_t*>(
                        frame.data - reinterpret_cast<const uint8_t*>(&frame));
  std::vector<uint8_t> out(sizeof copy);
  std::memcpy(out.data(), &copy, sizeof copy);
  return out;
}

// Decoding with a plan gives what walking the rules gives: the result and
// every byte of the frame, for every decoder, over random rules (every
// third set tidy) and records (and records shorter than the plan's, which
// the plan leaves to the walk).
TEST(cMdfDecodePlan, DecodesAsTheRulesDo) {
  std::mt19937_64 rng(20261210);
  int planned = 0, straight = 0, payloads = 0;
  for (const Decoder& decoder : decoders()) {
    for (int trial = 0; trial < 400; ++trial) {
      const uint64_t recordSize = 1 + rng() % 40;
      RandomRules rules(rng, decoder, recordSize, trial % 3 == 0);
      std::vector<uint8_t> record(recordSize - (trial % 10 == 0 ? 1 : 0));
      for (uint8_t& b : record) b = static_cast<uint8_t>(rng());
      // Values of the VLSD rules: some short, some too long, some missing.
      std::vector<uint8_t> signal;
      for (size_t v = 0; v < rng() % 4; ++v) {
        const uint32_t length = static_cast<uint32_t>(rng() % 70);
        for (int k = 0; k < 4; ++k)
          signal.push_back(static_cast<uint8_t>(length >> (8 * k)));
        for (uint32_t k = 0; k < length; ++k)
          signal.push_back(static_cast<uint8_t>(rng()));
      }
      const cMdfRecordView view{record.data(), record.size(),
                                signal.empty() ? nullptr : signal.data(),
                                signal.size(), &rules.array};
      cMdfBusMsg walked, fromPlan;
      const int32_t expected = decoder.decode(&view, &walked);
      cMdfDecodeRuleArray_plan(&rules.array, recordSize, decoder.kind);
      ASSERT_NE(rules.array.plan, nullptr);
      planned += record.size() >= recordSize;
      straight += record.size() >= recordSize && rules.array.plan->straight;
      payloads += record.size() >= recordSize && rules.array.plan->straight &&
                  rules.array.plan->payload < rules.array.plan->count;
      const int32_t got = decoder.decode(&view, &fromPlan);
      ASSERT_EQ(got, expected) << decoder.name << ", trial " << trial;
      ASSERT_EQ(frameBytes(fromPlan), frameBytes(walked))
          << decoder.name << ", trial " << trial;
    }
  }
  EXPECT_GT(planned, 1000);
  // Straight plans, with and without a payload that runs apart.
  EXPECT_GT(straight, 100);
  EXPECT_GT(payloads, 20);
}

// The steps: little-endian fields within 8 bytes of the record are loads,
// everything else goes the general way; identity and linear conversions
// are inline.
TEST(cMdfDecodePlan, StepsOfTheRules) {
  cMdfDecodeRuleArray rules{};
  auto add = [&](const char* name, uint64_t position, uint64_t count,
                 bool littleEndian, cMdfConversionRule conversion) {
    cMdfDecodeRule rule;
    cMdfDecodeRule_init(&rule);
    cMdfDecodeRule_setName(&rule, name, std::strlen(name));
    cMdfDecodeRule_mapName(&rule);
    rule.bitPosition = position;
    rule.bitCount = count;
    rule.littleEndian = littleEndian;
    rule.conversion = conversion;
    ASSERT_TRUE(cMdfDecodeRuleArray_push(&rules, &rule));
  };
  add("Timestamp", 0, 64, true, cMdfConversionRule_linear(1e-6, 0.0));
  add("CAN_DataFrame.ID", 8 * 9, 29, true, cMdfConversionRule_default());
  add("CAN_DataFrame.IDE", 8 * 12 + 5, 1, true, cMdfConversionRule_default());
  add("CAN_DataFrame.DLC", 8 * 14, 4, false, cMdfConversionRule_default());
  add("CAN_DataFrame.DataLength", 8 * 15, 7, true,
      cMdfConversionRule_linear(2.0, 0.0));
  add("CAN_DataFrame.BusChannel", 8 * 16, 70, true,
      cMdfConversionRule_default());
  cMdfDecodeRuleArray_plan(&rules, 16, kMdfDecoderCanData);
  const cMdfDecodePlan* plan = rules.plan;
  ASSERT_NE(plan, nullptr);
  ASSERT_EQ(plan->count, 6u);
  const cMdfDecodeStep* s = plan->steps;
  EXPECT_EQ(s[0].load, cMdfStepLoad::Word);
  EXPECT_EQ(s[0].convert, cMdfStepConvert::Linear);
  EXPECT_EQ(s[0].store, cMdfStepStore::Time);
  EXPECT_EQ(s[1].load, cMdfStepLoad::Tail);  // bytes 9 to 12 of 16
  EXPECT_EQ(s[1].store, cMdfStepStore::OrId);
  EXPECT_EQ(s[2].store, cMdfStepStore::Flag);
  EXPECT_EQ(s[2].shift, 5);
  EXPECT_EQ(s[3].load, cMdfStepLoad::General);  // big-endian
  EXPECT_EQ(s[3].store, cMdfStepStore::General);
  EXPECT_EQ(s[4].store, cMdfStepStore::General);  // converted
  EXPECT_EQ(s[5].load, cMdfStepLoad::General);    // beyond the record
  EXPECT_TRUE(plan->apart);
  // Any change of the rules drops the plan.
  add("CAN_DataFrame.ESI", 0, 1, true, cMdfConversionRule_default());
  EXPECT_EQ(rules.plan, nullptr);
  cMdfDecodeRuleArray_drop(&rules);
}

}  // namespace
