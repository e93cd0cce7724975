#include "decode/cMdfDecoders.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "support/mdf_block_bytes.h"

namespace {

// Any non-null block pointer marks a rule as a VLSD rule; the decoders only
// test it for null.
int gSignalBlock = 0;
const cMdfBlock_t* const kSignalData =
    reinterpret_cast<const cMdfBlock_t*>(&gSignalBlock);

struct Field {
  std::string name;
  uint64_t bitPosition;
  uint64_t bitCount;
  cMdfValueKind kind = cMdfValueKind::Unsigned;
  bool littleEndian = true;
  bool vlsd = false;
  cMdfConversionRule conversion = cMdfConversionRule_default();
};

// A rule array as a channel group would build it; owns its rules.
struct Rules {
  cMdfDecodeRuleArray array{};
  explicit Rules(std::vector<Field> fields) {
    for (Field& f : fields) {
      cMdfDecodeRule rule;
      cMdfDecodeRule_init(&rule);
      EXPECT_TRUE(cMdfDecodeRule_setName(&rule, f.name.data(), f.name.size()));
      cMdfDecodeRule_mapName(&rule);
      rule.bitPosition = f.bitPosition;
      rule.bitCount = f.bitCount;
      rule.valueKind = f.kind;
      rule.littleEndian = f.littleEndian;
      rule.conversion = f.conversion;
      if (f.kind == cMdfValueKind::Unsigned || f.kind == cMdfValueKind::Signed)
        rule.ticks = cMdfConversionRule_tickScale(&rule.conversion);
      rule.signalData = f.vlsd ? kSignalData : nullptr;
      EXPECT_TRUE(cMdfDecodeRuleArray_push(&array, &rule));
    }
  }
  ~Rules() { cMdfDecodeRuleArray_drop(&array); }
  Rules(const Rules&) = delete;
  Rules& operator=(const Rules&) = delete;
};

using mdftest::appendValue;
using mdftest::putBits;

std::vector<uint8_t> counting(size_t n, uint8_t first) {
  std::vector<uint8_t> bytes(n);
  for (size_t i = 0; i < n; ++i) bytes[i] = uint8_t(first + i);
  return bytes;
}

int32_t decode(cMdfDecoderFn decoder, const Rules& rules,
               const std::vector<uint8_t>& record,
               const std::vector<uint8_t>& signal, cMdfBusMsg* frame) {
  const cMdfRecordView view{record.data(), record.size(),
                            signal.empty() ? nullptr : signal.data(),
                            signal.size(), &rules.array};
  return decoder(&view, frame);
}

// A classic CAN data frame group laid out as a logger writes it, with the
// fields at odd bit positions: 48-bit timestamp in microseconds, bus
// channel, 29-bit ID and IDE flag, DLC and data length, four flags, then
// the payload at byte 13 (fixed 8 bytes, or a VLSD channel whose record
// field the decoder does not read).
std::vector<Field> canDataFields(bool vlsd) {
  return {
      {"Timestamp", 0, 48, cMdfValueKind::Unsigned, true, false,
       cMdfConversionRule_linear(1e-6, 0)},
      {"CAN_DataFrame.BusChannel", 48, 8},
      {"CAN_DataFrame.ID", 56, 29},
      {"CAN_DataFrame.IDE", 85, 1},
      {"CAN_DataFrame.DLC", 86, 4},
      {"CAN_DataFrame.DataLength", 90, 7},
      {"CAN_DataFrame.DataBytes", 104, 64, cMdfValueKind::Bytes, true, vlsd},
      {"CAN_DataFrame.Dir", 97, 1},
      {"CAN_DataFrame.EDL", 98, 1},
      {"CAN_DataFrame.BRS", 99, 1},
      {"CAN_DataFrame.ESI", 100, 1},
  };
}

struct CanRecord {
  uint64_t micros;
  uint8_t bus;
  uint32_t id;
  bool ide;
  uint8_t dlc;
  uint8_t length;
  bool dir, edl, brs, esi;
};

std::vector<uint8_t> canRecord(const CanRecord& r,
                               const std::vector<uint8_t>& payload) {
  std::vector<uint8_t> record(13 + 8);
  putBits(&record, 0, 48, r.micros, true);
  putBits(&record, 48, 8, r.bus, true);
  putBits(&record, 56, 29, r.id, true);
  putBits(&record, 85, 1, r.ide, true);
  putBits(&record, 86, 4, r.dlc, true);
  putBits(&record, 90, 7, r.length, true);
  putBits(&record, 97, 1, r.dir, true);
  putBits(&record, 98, 1, r.edl, true);
  putBits(&record, 99, 1, r.brs, true);
  putBits(&record, 100, 1, r.esi, true);
  for (size_t i = 0; i < payload.size() && i < 8; ++i) {
    record[13 + i] = payload[i];
  }
  return record;
}

TEST(cMdfDecoders, ClassicCanDataFrame) {
  const Rules rules(canDataFields(false));
  const auto payload = counting(8, 0x11);
  const auto record = canRecord(
      {1500000, 2, 0x123, false, 8, 8, true, false, false, false}, payload);
  cMdfBusMsg frame;
  std::memset(&frame, 0x5A, sizeof frame);
  ASSERT_EQ(decode(cMdfDecoders_decodeCanDataFrame, rules, record, {}, &frame),
            1);
  EXPECT_EQ(frame.kind, kMdfBusMsgCanData);
  EXPECT_EQ(frame.id, 0x123u);
  EXPECT_DOUBLE_EQ(frame.timeOffset, 1.5);
  EXPECT_EQ(frame.dataLength, 8u);
  ASSERT_EQ(frame.data, frame.can.payload);
  EXPECT_EQ(std::vector<uint8_t>(frame.data, frame.data + 8), payload);
  EXPECT_EQ(frame.can.payload[8], 0);
  EXPECT_TRUE(frame.can.dir);
  EXPECT_FALSE(frame.can.ide);
  EXPECT_FALSE(frame.can.edl);
  EXPECT_FALSE(frame.can.remote);
  EXPECT_EQ(frame.can.busChannel, 2);
  EXPECT_EQ(frame.can.dlc, 8);
}

TEST(cMdfDecoders, FdFrameWithVlsdPayload) {
  const Rules rules(canDataFields(true));
  const auto record =
      canRecord({42, 1, 0x1ABCDEF0, true, 9, 12, false, true, true, true}, {});
  std::vector<uint8_t> signal;
  appendValue(&signal, counting(12, 0xA0));
  cMdfBusMsg frame;
  ASSERT_EQ(
      decode(cMdfDecoders_decodeCanDataFrame, rules, record, signal, &frame),
      1);
  EXPECT_EQ(frame.id, 0x1ABCDEF0u);
  EXPECT_TRUE(frame.can.ide);
  EXPECT_TRUE(frame.can.edl);
  EXPECT_TRUE(frame.can.brs);
  EXPECT_TRUE(frame.can.esi);
  EXPECT_EQ(frame.can.dlc, 9);
  EXPECT_EQ(frame.dataLength, 12u);
  EXPECT_EQ(std::vector<uint8_t>(frame.data, frame.data + 12),
            counting(12, 0xA0));
  EXPECT_EQ(frame.can.payload[12], 0);
}

TEST(cMdfDecoders, UnusableByteValuesFailTheFrame) {
  const Rules vlsdRules(canDataFields(true));
  const auto record =
      canRecord({1, 1, 0x10, false, 8, 8, false, false, false, false}, {});
  const struct {
    const char* what;
    std::vector<uint8_t> signal;
    int32_t result;
    uint64_t length;
  } cases[] = {
      {"64 bytes",
       [] {
         std::vector<uint8_t> s;
         appendValue(&s, counting(64, 0));
         return s;
       }(),
       1, 8},
      {"65 bytes",
       [] {
         std::vector<uint8_t> s;
         appendValue(&s, counting(65, 0));
         return s;
       }(),
       9, 0},
      // Length 12 announced, only 5 bytes there.
      {"short value", {12, 0, 0, 0, 1, 2, 3, 4, 5}, 9, 0},
      // The record layer found no value: the payload is empty.
      {"no value", {}, 1, 8},
      {"cut length prefix", {3, 0}, 1, 8},
  };
  for (const auto& c : cases) {
    cMdfBusMsg frame;
    const int32_t result = decode(cMdfDecoders_decodeCanDataFrame, vlsdRules,
                                  record, c.signal, &frame);
    EXPECT_EQ(result, c.result) << c.what;
    EXPECT_EQ(frame.dataLength, c.length) << c.what;
    if (result == 9) {
      EXPECT_EQ(frame.data, nullptr) << c.what;
      EXPECT_EQ(frame.kind, 0u) << c.what;
    }
  }

  // Fixed arrays: more than 64 bytes, or reaching past the record.
  for (const uint64_t bits : {uint64_t{65 * 8}, uint64_t{9 * 8}}) {
    std::vector<Field> fields = canDataFields(false);
    fields[6].bitCount = bits;
    const Rules rules(fields);
    cMdfBusMsg frame;
    EXPECT_EQ(
        decode(cMdfDecoders_decodeCanDataFrame, rules, record, {}, &frame), 9)
        << bits;
    EXPECT_EQ(frame.data, nullptr);
  }
}

TEST(cMdfDecoders, UnknownMemberFailsButFillsTheRest) {
  std::vector<Field> fields = canDataFields(false);
  fields.push_back({"CAN_DataFrame.Unknown", 101, 3});
  const Rules rules(fields);
  const auto record =
      canRecord({250000, 1, 0x7FF, false, 8, 8, false, false, false, false},
                counting(8, 1));
  cMdfBusMsg frame;
  EXPECT_EQ(decode(cMdfDecoders_decodeCanDataFrame, rules, record, {}, &frame),
            9);
  EXPECT_EQ(frame.kind, 0u);
  EXPECT_EQ(frame.data, nullptr);
  EXPECT_EQ(frame.dataLength, 0u);
  EXPECT_EQ(frame.id, 0x7FFu);
  EXPECT_DOUBLE_EQ(frame.timeOffset, 0.25);
}

TEST(cMdfDecoders, DataLengthIsClampedToThePayload) {
  const Rules canRules({{"CAN_DataFrame.DataLength", 0, 8}});
  const Rules linRules({{"LIN_Frame.DataLength", 0, 8}});
  cMdfBusMsg frame;
  EXPECT_EQ(
      decode(cMdfDecoders_decodeCanDataFrame, canRules, {200}, {}, &frame), 1);
  EXPECT_EQ(frame.dataLength, 64u);
  EXPECT_EQ(decode(cMdfDecoders_decodeLinFrame, linRules, {15}, {}, &frame), 4);
  EXPECT_EQ(frame.dataLength, 8u);
  EXPECT_EQ(decode(cMdfDecoders_decodeLinFrame, linRules, {5}, {}, &frame), 4);
  EXPECT_EQ(frame.dataLength, 5u);
}

TEST(cMdfDecoders, BigEndianFloatAndTableFields) {
  // Motorola identifier of 11 bits from MSB-first position 3, a big-endian
  // single timestamp, and a bus channel mapped through a value table.
  cMdfValueTable table{};
  cMdfValueTable_insert(&table, 1, 7);
  cMdfValueTable_insert(&table, 2, 8);
  const Rules rules({
      {"CAN_DataFrame.ID", 3, 11, cMdfValueKind::Unsigned, false},
      {"Timestamp", 16, 32, cMdfValueKind::Float, false},
      {"CAN_DataFrame.BusChannel", 48, 8, cMdfValueKind::Unsigned, true, false,
       cMdfConversionRule_lookupTable(table)},
      {"CAN_DataFrame.DataLength", 61, 4},
  });
  cMdfValueTable_drop(&table);
  std::vector<uint8_t> record(9);
  putBits(&record, 3, 11, 0x5A5, false);
  putBits(&record, 16, 32, std::bit_cast<uint32_t>(2.75f), false);
  record[6] = 2;
  putBits(&record, 61, 4, 6, true);
  cMdfBusMsg frame;
  ASSERT_EQ(decode(cMdfDecoders_decodeCanDataFrame, rules, record, {}, &frame),
            1);
  EXPECT_EQ(frame.id, 0x5A5u);
  EXPECT_EQ(frame.timeOffset, 2.75);
  EXPECT_EQ(frame.can.busChannel, 8);
  EXPECT_EQ(frame.dataLength, 6u);

  record[6] = 9;  // no key: the raw value passes through
  ASSERT_EQ(decode(cMdfDecoders_decodeCanDataFrame, rules, record, {}, &frame),
            1);
  EXPECT_EQ(frame.can.busChannel, 9);
}

TEST(cMdfDecoders, FloatWidthsAndOutOfRangeValues) {
  // 64-bit and 16-bit floats are IEEE values; other widths read as 0. A
  // value that is no integer of any width stores 0; NaN is no flag.
  const Rules rules({
      {"Timestamp", 0, 64, cMdfValueKind::Float},
      {"CAN_DataFrame.DLC", 64, 16, cMdfValueKind::Float},
      {"CAN_DataFrame.BusChannel", 80, 64, cMdfValueKind::Float},
      {"CAN_DataFrame.Dir", 144, 64, cMdfValueKind::Float},
      {"CAN_DataFrame.IDE", 208, 24, cMdfValueKind::Float},
  });
  std::vector<uint8_t> record(29);
  putBits(&record, 0, 64, std::bit_cast<uint64_t>(123.25), true);
  putBits(&record, 64, 16, 0x4880, true);  // binary16 9.0
  putBits(&record, 80, 64, std::bit_cast<uint64_t>(1e300), true);
  putBits(&record, 144, 64, std::bit_cast<uint64_t>(std::nan("")), true);
  putBits(&record, 208, 24, 0xFFFFFF, true);
  cMdfBusMsg frame;
  ASSERT_EQ(decode(cMdfDecoders_decodeCanDataFrame, rules, record, {}, &frame),
            1);
  EXPECT_EQ(frame.timeOffset, 123.25);
  EXPECT_EQ(frame.can.dlc, 9);
  EXPECT_EQ(frame.can.busChannel, 0);
  EXPECT_FALSE(frame.can.dir);
  EXPECT_FALSE(frame.can.ide);
}

TEST(cMdfDecoders, KindMismatchesAreSkipped) {
  // A Bytes rule on a numeric field and a numeric rule on DataBytes leave
  // those fields untouched; the frame still decodes.
  const Rules rules({
      {"CAN_DataFrame.ID", 0, 16, cMdfValueKind::Bytes},
      {"CAN_DataFrame.DataBytes", 0, 16},
  });
  cMdfBusMsg frame;
  ASSERT_EQ(
      decode(cMdfDecoders_decodeCanDataFrame, rules, {0x12, 0x34}, {}, &frame),
      1);
  EXPECT_EQ(frame.id, 0u);
  EXPECT_EQ(frame.can.payload[0], 0);
}

TEST(cMdfDecoders, NoRulesGiveAnEmptyCanDataFrame) {
  const Rules rules({});
  cMdfBusMsg frame;
  std::memset(&frame, 0x77, sizeof frame);
  ASSERT_EQ(decode(cMdfDecoders_decodeCanDataFrame, rules, {}, {}, &frame), 1);
  EXPECT_EQ(frame.id, 0u);
  EXPECT_EQ(frame.timeOffset, 0.0);
  EXPECT_EQ(frame.dataLength, 0u);
  EXPECT_EQ(frame.data, frame.can.payload);
  for (uint8_t b : frame.can.payload) EXPECT_EQ(b, 0);
  EXPECT_EQ(cMdfDecoders_decodeCanDataFrame(nullptr, &frame), 9);
  EXPECT_EQ(cMdfDecoders_decodeCanDataFrame(nullptr, nullptr), 9);
}

TEST(cMdfDecoders, RemoteFrame) {
  const Rules rules({
      {"Timestamp", 0, 32},
      {"CAN_RemoteFrame.BusChannel", 32, 8},
      {"CAN_RemoteFrame.ID", 40, 11},
      {"CAN_RemoteFrame.IDE", 51, 1},
      {"CAN_RemoteFrame.Dir", 52, 1},
      {"CAN_RemoteFrame.DLC", 56, 4},
      {"CAN_RemoteFrame.DataLength", 60, 4},
  });
  std::vector<uint8_t> record(8);
  putBits(&record, 0, 32, 3, true);
  putBits(&record, 32, 8, 4, true);
  putBits(&record, 40, 11, 0x321, true);
  putBits(&record, 52, 1, 1, true);
  putBits(&record, 56, 4, 6, true);
  putBits(&record, 60, 4, 6, true);
  cMdfBusMsg frame;
  ASSERT_EQ(
      decode(cMdfDecoders_decodeCanRemoteFrame, rules, record, {}, &frame), 2);
  EXPECT_EQ(frame.kind, kMdfBusMsgCanRemote);
  EXPECT_TRUE(frame.can.remote);
  EXPECT_TRUE(frame.can.dir);
  EXPECT_FALSE(frame.can.ide);
  EXPECT_EQ(frame.id, 0x321u);
  EXPECT_EQ(frame.can.busChannel, 4);
  EXPECT_EQ(frame.can.dlc, 6);
  EXPECT_EQ(frame.dataLength, 6u);
  EXPECT_EQ(frame.timeOffset, 3.0);
  ASSERT_EQ(frame.data, frame.can.payload);
  for (uint8_t b : frame.can.payload) EXPECT_EQ(b, 0);

  // Data frame members have no place in a remote frame.
  const Rules withData(
      {{"CAN_RemoteFrame.ID", 0, 11}, {"CAN_DataFrame.EDL", 11, 1}});
  EXPECT_EQ(
      decode(cMdfDecoders_decodeCanRemoteFrame, withData, record, {}, &frame),
      9);
  EXPECT_TRUE(frame.can.remote);  // set before the walk
  EXPECT_EQ(frame.kind, 0u);
}

TEST(cMdfDecoders, ErrorFrameTypes) {
  const Rules rules({
      {"Timestamp", 0, 8},
      {"CAN_ErrorFrame.BusChannel", 8, 8},
      {"CAN_ErrorFrame.ErrorType", 16, 8},
  });
  const struct {
    uint8_t type;
    uint32_t expected;
  } cases[] = {{1, 1}, {3, 3}, {5, 5}, {0, 0}, {6, 0}, {7, 0}, {255, 0}};
  for (const auto& c : cases) {
    cMdfBusMsg frame;
    ASSERT_EQ(decode(cMdfDecoders_decodeCanErrorFrame, rules, {9, 3, c.type},
                     {}, &frame),
              3);
    EXPECT_EQ(frame.canError.errorType, c.expected) << int(c.type);
    EXPECT_EQ(frame.canError.busChannel, 3);
    EXPECT_EQ(frame.timeOffset, 9.0);
    EXPECT_EQ(frame.kind, kMdfBusMsgCanError);
    EXPECT_EQ(frame.data, nullptr);
    EXPECT_EQ(frame.dataLength, 0u);
  }
}

TEST(cMdfDecoders, LinFrames) {
  const std::vector<Field> common = {
      {"Timestamp", 0, 16},
      {"LIN_Frame.BusChannel", 16, 8},
      {"LIN_Frame.ID", 24, 6},
      {"LIN_Frame.Dir", 30, 1},
      {"LIN_Frame.ReceivedDataByteCount", 32, 4},
      {"LIN_Frame.DataLength", 36, 4},
  };
  std::vector<uint8_t> record(5 + 8);
  putBits(&record, 0, 16, 700, true);
  putBits(&record, 16, 8, 2, true);
  putBits(&record, 24, 6, 0x3C, true);
  putBits(&record, 30, 1, 1, true);
  putBits(&record, 32, 4, 3, true);
  putBits(&record, 36, 4, 4, true);
  std::memcpy(record.data() + 5, counting(8, 0xC0).data(), 8);

  // Fixed 8-byte array: all eight bytes reach the payload.
  std::vector<Field> fixed = common;
  fixed.push_back({"LIN_Frame.DataBytes", 40, 64, cMdfValueKind::Bytes});
  const Rules fixedRules(fixed);
  cMdfBusMsg frame;
  ASSERT_EQ(decode(cMdfDecoders_decodeLinFrame, fixedRules, record, {}, &frame),
            4);
  EXPECT_EQ(frame.kind, kMdfBusMsgLin);
  EXPECT_EQ(frame.timeOffset, 700.0);
  EXPECT_EQ(frame.id, 0x3Cu);
  EXPECT_TRUE(frame.lin.dir);
  EXPECT_EQ(frame.lin.busChannel, 2);
  EXPECT_EQ(frame.lin.receivedDataByteCount, 3);
  EXPECT_EQ(frame.dataLength, 4u);
  ASSERT_EQ(frame.data, frame.lin.payload);
  EXPECT_EQ(std::vector<uint8_t>(frame.data, frame.data + 8),
            counting(8, 0xC0));

  // A VLSD payload is taken from the signal data, and the rules after it
  // still apply.
  std::vector<Field> vlsd = {
      {"LIN_Frame.DataBytes", 40, 64, cMdfValueKind::Bytes, true, true}};
  vlsd.insert(vlsd.end(), common.begin(), common.end());
  const Rules vlsdRules(vlsd);
  std::vector<uint8_t> signal;
  appendValue(&signal, {0xAA, 0xBB, 0xCC});
  ASSERT_EQ(
      decode(cMdfDecoders_decodeLinFrame, vlsdRules, record, signal, &frame),
      4);
  EXPECT_EQ(std::vector<uint8_t>(frame.data, frame.data + 8),
            (std::vector<uint8_t>{0xAA, 0xBB, 0xCC, 0, 0, 0, 0, 0}));
  EXPECT_EQ(frame.dataLength, 4u);
  EXPECT_EQ(frame.id, 0x3Cu);

  // A CAN member in a LIN group.
  std::vector<Field> mixed = common;
  mixed.push_back({"CAN_DataFrame.ID", 40, 11});
  const Rules mixedRules(mixed);
  EXPECT_EQ(decode(cMdfDecoders_decodeLinFrame, mixedRules, record, {}, &frame),
            9);
  EXPECT_EQ(frame.kind, 0u);
  EXPECT_EQ(frame.data, nullptr);
  EXPECT_EQ(frame.dataLength, 0u);
}

TEST(cMdfDecoders, LinErrorRecordsKeepTheirIdAndBusChannel) {
  // Channels beyond these (a checksum, a baud rate, data bytes) are passed
  // over; a record without an ID keeps id 0.
  const struct {
    cMdfDecoderFn decoder;
    const char* prefix;
    uint32_t kind;
  } cases[] = {
      {cMdfDecoders_decodeLinChecksumError, "LIN_ChecksumError",
       kMdfBusMsgLinChecksumError},
      {cMdfDecoders_decodeLinReceiveError, "LIN_ReceiveError",
       kMdfBusMsgLinReceiveError},
      {cMdfDecoders_decodeLinSyncError, "LIN_SyncError",
       kMdfBusMsgLinSyncError},
      {cMdfDecoders_decodeLinTransmissionError, "LIN_TransmissionError",
       kMdfBusMsgLinTransmissionError},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.prefix);
    const std::string p = c.prefix;
    const Rules withId({{"Timestamp", 0, 8},
                        {p + ".BusChannel", 8, 8},
                        {p + ".ID", 16, 6},
                        {p + ".Checksum", 24, 8},
                        {p + ".DataBytes", 32, 16, cMdfValueKind::Bytes}});
    cMdfBusMsg frame;
    ASSERT_EQ(decode(c.decoder, withId, {7, 2, 0x3D, 0x99, 1, 2}, {}, &frame),
              static_cast<int32_t>(c.kind));
    EXPECT_EQ(frame.kind, c.kind);
    EXPECT_EQ(frame.timeOffset, 7.0);
    EXPECT_EQ(frame.timeOffsetNs, 7000000000);
    EXPECT_EQ(frame.id, 0x3Du);
    EXPECT_EQ(frame.lin.busChannel, 2);
    EXPECT_EQ(frame.data, nullptr);
    EXPECT_EQ(frame.dataLength, 0u);

    const Rules withoutId({{"Timestamp", 0, 8}, {p + ".BaudRate", 8, 16}});
    ASSERT_EQ(decode(c.decoder, withoutId, {7, 0x40, 0x25}, {}, &frame),
              static_cast<int32_t>(c.kind));
    EXPECT_EQ(frame.id, 0u);
    EXPECT_EQ(frame.lin.busChannel, 0);
  }
}

TEST(cMdfDecoders, GenericDecoderOnlyClearsTheKind) {
  const Rules rules({{"Timestamp", 0, 8}, {"Engine.Speed", 8, 8}});
  cMdfBusMsg frame{};
  frame.kind = kMdfBusMsgCanData;
  frame.id = 0x55;
  frame.timeOffset = 4.0;
  EXPECT_EQ(decode(cMdfDecoders_decodeGeneric, rules, {1, 2}, {}, &frame), 9);
  EXPECT_EQ(frame.kind, 0u);
  EXPECT_EQ(frame.id, 0x55u);
  EXPECT_EQ(frame.timeOffset, 4.0);
  EXPECT_EQ(cMdfDecoders_decodeGeneric(nullptr, nullptr), 9);
}

TEST(cMdfDecoders, TimesInNanosecondsAreExactForIntegerTicks) {
  // 2^53 + 1 microseconds: the double offset cannot hold it, the
  // nanoseconds can.
  const uint64_t ticks = (uint64_t{1} << 53) + 1;
  struct Case {
    Field time;
    std::vector<uint8_t> record;
    int64_t ns;
  };
  std::vector<uint8_t> big(8);
  putBits(&big, 0, 64, ticks, true);
  std::vector<uint8_t> negative(8);
  putBits(&negative, 0, 64, static_cast<uint64_t>(int64_t{-3}), true);
  const double third = 1.0 / 3.0;
  std::vector<uint8_t> floatBytes(8);
  putBits(&floatBytes, 0, 64, std::bit_cast<uint64_t>(1.0 + 0x1p-30), true);
  std::vector<uint8_t> three(8);
  putBits(&three, 0, 64, 3, true);
  const Case cases[] = {
      {{"Timestamp", 0, 64, cMdfValueKind::Unsigned, true, false,
        cMdfConversionRule_linear(1e-6, 0)},
       big,
       static_cast<int64_t>(ticks) * 1000},
      {{"Timestamp", 0, 64, cMdfValueKind::Signed, true, false,
        cMdfConversionRule_linear(1e-5, 2.5)},
       negative,
       2500000000 - 30000},
      // 1/1024 s ticks: 976562.5 ns each, rounded once.
      {{"Timestamp", 0, 64, cMdfValueKind::Unsigned, true, false,
        cMdfConversionRule_linear(1.0 / 1024, 0)},
       three,
       2929688},
      // No exact scale: the seconds rounded.
      {{"Timestamp", 0, 64, cMdfValueKind::Unsigned, true, false,
        cMdfConversionRule_linear(third, 0)},
       three,
       1000000000},
      // 1.00000000093 s.
      {{"Timestamp", 0, 64, cMdfValueKind::Float}, floatBytes, 1000000001},
  };
  for (const Case& c : cases) {
    const Rules rules({c.time, {"LIN_Frame.ID", 64, 6}});
    std::vector<uint8_t> record = c.record;
    record.push_back(1);
    cMdfBusMsg frame;
    ASSERT_EQ(decode(cMdfDecoders_decodeLinFrame, rules, record, {}, &frame),
              4);
    EXPECT_EQ(frame.timeOffsetNs, c.ns);
  }
}

struct SelectionCase {
  std::vector<std::string> names;
  bool selected;
  cMdfDecoderFn decoder;
  uint32_t kind;
};

TEST(getOptimalDecoder, ChoosesByTheCommonPrefix) {
  const SelectionCase cases[] = {
      {{"Timestamp", "CAN_DataFrame.ID", "CAN_DataFrame.DataBytes"},
       true,
       cMdfDecoders_decodeCanDataFrame,
       1},
      {{"Timestamp", "CAN_RemoteFrame.ID"},
       true,
       cMdfDecoders_decodeCanRemoteFrame,
       2},
      {{"CAN_ErrorFrame.ErrorType", "Timestamp"},
       true,
       cMdfDecoders_decodeCanErrorFrame,
       3},
      {{"Timestamp", "LIN_Frame.ID"}, true, cMdfDecoders_decodeLinFrame, 4},
      {{"LIN_ChecksumError.ID"}, true, cMdfDecoders_decodeLinChecksumError, 5},
      {{"LIN_ReceiveError.ID"}, true, cMdfDecoders_decodeLinReceiveError, 6},
      {{"LIN_SyncError.BaudRate"}, true, cMdfDecoders_decodeLinSyncError, 7},
      {{"LIN_TransmissionError.ID"},
       true,
       cMdfDecoders_decodeLinTransmissionError,
       8},
      // Unknown prefixes, including one that extends a known one.
      {{"CAN_DataFrameX.ID"}, true, cMdfDecoders_decodeGeneric, 0},
      {{"can_dataframe.ID"}, true, cMdfDecoders_decodeGeneric, 0},
      {{"Foo.Bar.Baz", "Foo.Qux"}, true, cMdfDecoders_decodeGeneric, 0},
      // No prefix, or more than one: nothing is chosen.
      {{"Timestamp"}, false, nullptr, 0},
      {{}, false, nullptr, 0},
      {{"CAN_DataFrame.ID", "LIN_Frame.ID"}, false, nullptr, 0},
      {{"CAN_DataFrame.ID", "CAN_RemoteFrame.ID", "CAN_DataFrame.DLC"},
       false,
       nullptr,
       0},
  };
  for (const SelectionCase& c : cases) {
    std::vector<Field> fields;
    for (const std::string& name : c.names) fields.push_back({name, 0, 8});
    const Rules rules(fields);
    cMdfDecoderFn decoder = nullptr;
    uint32_t kind = 99;
    ASSERT_EQ(getOptimalDecoder(&rules.array, &decoder, &kind), c.selected)
        << (c.names.empty() ? "" : c.names.back());
    EXPECT_EQ(decoder, c.decoder);
    EXPECT_EQ(kind, c.selected ? c.kind : 99u);
  }
  cMdfDecoderFn decoder = nullptr;
  uint32_t kind = 0;
  EXPECT_FALSE(getOptimalDecoder(nullptr, &decoder, &kind));
}

}  // namespace
