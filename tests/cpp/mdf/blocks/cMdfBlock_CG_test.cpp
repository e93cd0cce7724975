#include "mdf/blocks/cMdfBlock_CG.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "decode/cMdfDecoders.h"
#include "mdf/blocks/cMdfBlock_CN.h"
#include "mdf/blocks/cMdfBlock_TX.h"
#include "support/mdf_block_bytes.h"

namespace {

using mdftest::BlockBytes;
using mdftest::putBits;

using Channel = BlockBytes::Channel;

// A member channel at bit `bit` of the byte `byteOffset`, unsigned.
Channel member(const std::string& name, uint32_t byteOffset, uint8_t bit,
               uint32_t bitCount) {
  Channel c;
  c.name = name;
  c.byteOffset = byteOffset;
  c.bitOffset = bit;
  c.bitCount = bitCount;
  return c;
}

Channel byteArray(const std::string& name, uint32_t byteOffset,
                  uint32_t bytes) {
  Channel c = member(name, byteOffset, 0, 8 * bytes);
  c.dataType = 10;
  return c;
}

// A group as loggers write it: the master "Timestamp" (u64 ticks of one
// microsecond) at byte 0, then a composed channel named `prefix` holding
// the members. Returns the group's offset.
uint64_t loggerGroup(BlockBytes* bytes, const std::string& prefix,
                     std::vector<Channel> members, uint32_t dataBytes,
                     uint16_t flags = 0) {
  Channel timestamp = member("Timestamp", 0, 0, 64);
  timestamp.channelType = 2;
  timestamp.conversion = bytes->cc(1, {0.0, 1e-6});
  Channel composed = byteArray(prefix, 8, dataBytes - 8);
  composed.composition = bytes->chain(members);
  BlockBytes::Group group;
  group.firstChannel = bytes->chain({timestamp, composed});
  group.recordId = 1;
  group.dataBytes = dataBytes;
  group.flags = flags;
  return bytes->cg(group);
}

// The CAN data frame members in the order loggers chain them, at the bit
// positions of the project's writer.
std::vector<Channel> canDataMembers(const std::string& p) {
  return {
      member(p + ".BusChannel", 8, 0, 8),  member(p + ".ID", 9, 0, 29),
      member(p + ".IDE", 12, 5, 1),        member(p + ".DLC", 13, 0, 4),
      member(p + ".DataLength", 14, 0, 7), byteArray(p + ".DataBytes", 16, 8),
      member(p + ".Dir", 12, 6, 1),        member(p + ".EDL", 12, 7, 1),
      member(p + ".BRS", 13, 4, 1),        member(p + ".ESI", 13, 5, 1)};
}

std::vector<Channel> linMembers(const std::string& p) {
  return {member(p + ".BusChannel", 8, 0, 8),
          member(p + ".ID", 9, 0, 6),
          member(p + ".Dir", 9, 7, 1),
          member(p + ".DataLength", 10, 0, 4),
          member(p + ".ReceivedDataByteCount", 10, 4, 4),
          byteArray(p + ".DataBytes", 11, 8)};
}

cMdfBlock_CG_t* groupOf(cMdfBlockRef ref) {
  return cMdfBlock_t_to_cMdfBlock_CG_t_mut(ref);
}

std::vector<uint32_t> fieldsOf(const cMdfDecodeRuleArray* rules) {
  std::vector<uint32_t> fields;
  for (size_t i = 0; i < rules->size; ++i) {
    fields.push_back(static_cast<uint32_t>(rules->data[i].field));
  }
  return fields;
}

struct GroupCase {
  const char* prefix;
  std::vector<Channel> members;
  uint32_t dataBytes;
  std::vector<uint32_t> fields;
  cMdfDecoderFn decoder;
  uint32_t kind;
};

TEST(cMdfBlock_CG, LoggerGroupsGiveRulesAndDecoder) {
  const auto linError = [](const std::string& p) {
    return std::vector<Channel>{member(p + ".BusChannel", 8, 0, 8),
                                member(p + ".ID", 9, 0, 6)};
  };
  const GroupCase cases[] = {
      {"CAN_DataFrame",
       canDataMembers("CAN_DataFrame"),
       24,
       {18, 2, 10, 11, 6, 4, 3, 5, 7, 1, 9},
       cMdfDecoders_decodeCanDataFrame,
       1},
      {"CAN_RemoteFrame",
       {member("CAN_RemoteFrame.BusChannel", 8, 0, 8),
        member("CAN_RemoteFrame.ID", 9, 0, 29),
        member("CAN_RemoteFrame.IDE", 12, 5, 1),
        member("CAN_RemoteFrame.Dir", 12, 6, 1),
        member("CAN_RemoteFrame.DLC", 13, 0, 4),
        member("CAN_RemoteFrame.DataLength", 14, 0, 7)},
       15,
       {18, 2, 10, 11, 5, 6, 4},
       cMdfDecoders_decodeCanRemoteFrame,
       2},
      {"CAN_ErrorFrame",
       {member("CAN_ErrorFrame.BusChannel", 8, 0, 8),
        member("CAN_ErrorFrame.ErrorType", 9, 0, 8)},
       10,
       {18, 2, 8},
       cMdfDecoders_decodeCanErrorFrame,
       3},
      {"LIN_Frame",
       linMembers("LIN_Frame"),
       19,
       {18, 12, 16, 15, 14, 17, 13},
       cMdfDecoders_decodeLinFrame,
       4},
      {"LIN_ChecksumError",
       linError("LIN_ChecksumError"),
       10,
       {18, 12, 16},
       cMdfDecoders_decodeLinChecksumError,
       5},
      {"LIN_ReceiveError",
       linError("LIN_ReceiveError"),
       10,
       {18, 12, 16},
       cMdfDecoders_decodeLinReceiveError,
       6},
      {"LIN_SyncError",
       linError("LIN_SyncError"),
       10,
       {18, 12, 16},
       cMdfDecoders_decodeLinSyncError,
       7},
      {"LIN_TransmissionError",
       linError("LIN_TransmissionError"),
       10,
       {18, 12, 16},
       cMdfDecoders_decodeLinTransmissionError,
       8},
      // A prefix that is no frame kind: the generic decoder.
      {"FlexRay_Frame",
       {member("FlexRay_Frame.ID", 8, 0, 11)},
       10,
       {18, 0},
       cMdfDecoders_decodeGeneric,
       0},
      // Members of two frame kinds: no decoder is chosen.
      {"CAN_DataFrame",
       {member("CAN_DataFrame.ID", 8, 0, 29), member("LIN_Frame.ID", 12, 0, 6)},
       13,
       {18, 10, 16},
       nullptr,
       0},
  };
  for (const GroupCase& c : cases) {
    BlockBytes bytes;
    const uint64_t at = loggerGroup(&bytes, c.prefix, c.members, c.dataBytes);
    cMdfBlockRef ref = mdftest::loadSingle(bytes, at);
    cMdfBlock_CG_t* group = groupOf(ref);
    ASSERT_NE(group, nullptr) << c.prefix;
    EXPECT_EQ(group->dataBytes, c.dataBytes);
    EXPECT_EQ(fieldsOf(&group->rules), c.fields) << c.prefix;
    cMdfDecoderFn decoder = nullptr;
    uint32_t kind = 99;
    const bool chosen = getOptimalDecoder(cMdfBlock_CG_getDecodingRules(group),
                                          &decoder, &kind);
    EXPECT_EQ(chosen, c.decoder != nullptr) << c.prefix;
    EXPECT_EQ(decoder, c.decoder) << c.prefix;
    EXPECT_EQ(kind, chosen ? c.kind : 99u) << c.prefix;
    cMdfBlockRef_drop(&ref);
  }
}

// What the writer's ground truth says of one CAN data frame.
struct CanTruth {
  uint64_t micros;
  uint8_t bus;
  uint32_t id;
  bool ide, dir, edl, brs, esi;
  uint8_t dlc;
  uint8_t length;
  std::vector<uint8_t> payload;
};

// A record of the CAN data group above: 24 data bytes, the payload at
// byte 16 (fixed groups) or in the signal data (VLSD groups).
std::vector<uint8_t> canRecord(const CanTruth& t) {
  std::vector<uint8_t> record(24, 0);
  putBits(&record, 0, 64, t.micros, true);
  putBits(&record, 64, 8, t.bus, true);
  putBits(&record, 72, 29, t.id, true);
  putBits(&record, 101, 1, t.ide, true);
  putBits(&record, 102, 1, t.dir, true);
  putBits(&record, 103, 1, t.edl, true);
  putBits(&record, 104, 4, t.dlc, true);
  putBits(&record, 108, 1, t.brs, true);
  putBits(&record, 109, 1, t.esi, true);
  putBits(&record, 112, 7, t.length, true);
  for (size_t i = 0; i < t.payload.size() && i < 8; ++i) {
    record[16 + i] = t.payload[i];
  }
  return record;
}

void expectFrame(const cMdfBusMsg& frame, const CanTruth& t) {
  EXPECT_EQ(frame.kind, kMdfBusMsgCanData);
  EXPECT_DOUBLE_EQ(frame.timeOffset, static_cast<double>(t.micros) * 1e-6);
  EXPECT_EQ(frame.id, t.id);
  EXPECT_EQ(frame.can.busChannel, t.bus);
  EXPECT_EQ(frame.can.ide, t.ide);
  EXPECT_EQ(frame.can.dir, t.dir);
  EXPECT_EQ(frame.can.edl, t.edl);
  EXPECT_EQ(frame.can.brs, t.brs);
  EXPECT_EQ(frame.can.esi, t.esi);
  EXPECT_EQ(frame.can.dlc, t.dlc);
  ASSERT_EQ(frame.dataLength, t.length);
  ASSERT_EQ(frame.data, frame.can.payload);
  EXPECT_EQ(std::vector<uint8_t>(frame.data, frame.data + t.length), t.payload);
}

TEST(cMdfBlock_CG, RecordsDecodeToTheFramesWritten) {
  BlockBytes bytes;
  const uint64_t at =
      loggerGroup(&bytes, "CAN_DataFrame", canDataMembers("CAN_DataFrame"), 24);
  cMdfBlockRef ref = mdftest::loadSingle(bytes, at);
  ASSERT_NE(groupOf(ref), nullptr);
  cMdfDecoderFn decoder = nullptr;
  uint32_t kind = 0;
  ASSERT_TRUE(getOptimalDecoder(&groupOf(ref)->rules, &decoder, &kind));
  const CanTruth frames[] = {
      {1000001,
       1,
       0x123,
       false,
       true,
       false,
       false,
       false,
       8,
       8,
       {1, 2, 3, 4, 5, 6, 7, 8}},
      {2500000,
       2,
       0x1FFFFFFF,
       true,
       false,
       false,
       false,
       false,
       3,
       3,
       {0xFF, 0x00, 0xAA}},
      {0, 255, 0, false, false, false, false, false, 0, 0, {}},
  };
  for (const CanTruth& t : frames) {
    const std::vector<uint8_t> record = canRecord(t);
    const cMdfRecordView view{record.data(), record.size(), nullptr, 0,
                              &groupOf(ref)->rules};
    cMdfBusMsg frame;
    ASSERT_EQ(decoder(&view, &frame), 1);
    expectFrame(frame, t);
  }
  cMdfBlockRef_drop(&ref);
}

TEST(cMdfBlock_CG, FdPayloadsFromAVlsdGroup) {
  // The DataBytes channel is a VLSD channel whose values are the records
  // of a VLSD channel group.
  BlockBytes bytes;
  BlockBytes::Group vlsdGroup;
  vlsdGroup.recordId = 2;
  vlsdGroup.flags = 0x0001;
  const uint64_t valuesAt = bytes.cg(vlsdGroup);
  std::vector<Channel> members = canDataMembers("CAN_DataFrame");
  members[5].bitCount = 64;
  members[5].channelType = 1;
  members[5].data = valuesAt;
  cMdfBlockRef ref = mdftest::loadSingle(
      bytes, loggerGroup(&bytes, "CAN_DataFrame", members, 24));
  cMdfBlock_CG_t* group = groupOf(ref);
  ASSERT_NE(group, nullptr);
  ASSERT_EQ(group->rules.size, 11u);
  const cMdfBlock_t* signal = group->rules.data[6].signalData;
  ASSERT_NE(signal, nullptr);
  EXPECT_EQ(signal->fileOffset, valuesAt);
  EXPECT_TRUE(cMdfBlock_CG_isVLSD(cMdfBlock_t_to_cMdfBlock_CG_t(signal)));

  std::vector<uint8_t> payload(12);
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = uint8_t(0x40 + i);
  const CanTruth truth{77,   3,     0x18DAF110, true, false,  true,
                       true, false, 9,          12,   payload};
  const std::vector<uint8_t> record = canRecord({truth.micros,
                                                 truth.bus,
                                                 truth.id,
                                                 truth.ide,
                                                 truth.dir,
                                                 truth.edl,
                                                 truth.brs,
                                                 truth.esi,
                                                 truth.dlc,
                                                 truth.length,
                                                 {}});
  std::vector<uint8_t> signalData;
  mdftest::appendValue(&signalData, payload);
  const cMdfRecordView view{record.data(), record.size(), signalData.data(),
                            signalData.size(), &group->rules};
  cMdfBusMsg frame;
  ASSERT_EQ(cMdfDecoders_decodeCanDataFrame(&view, &frame), 1);
  expectFrame(frame, truth);
  cMdfBlockRef_drop(&ref);
}

TEST(cMdfBlock_CG, UnknownMemberFailsTheRecord) {
  BlockBytes bytes;
  std::vector<Channel> members = canDataMembers("CAN_DataFrame");
  members.push_back(member("CAN_DataFrame.WakeUp", 14, 7, 1));
  cMdfBlockRef ref = mdftest::loadSingle(
      bytes, loggerGroup(&bytes, "CAN_DataFrame", members, 24));
  ASSERT_NE(groupOf(ref), nullptr);
  ASSERT_EQ(groupOf(ref)->rules.size, 12u);
  const std::vector<uint8_t> record = canRecord(
      {500000, 1, 0x321, false, false, false, false, false, 2, 2, {9, 9}});
  const cMdfRecordView view{record.data(), record.size(), nullptr, 0,
                            &groupOf(ref)->rules};
  cMdfBusMsg frame;
  EXPECT_EQ(cMdfDecoders_decodeCanDataFrame(&view, &frame), 9);
  EXPECT_EQ(frame.kind, 0u);
  EXPECT_EQ(frame.data, nullptr);
  EXPECT_EQ(frame.dataLength, 0u);
  EXPECT_EQ(frame.id, 0x321u);
  EXPECT_DOUBLE_EQ(frame.timeOffset, 0.5);
  cMdfBlockRef_drop(&ref);
}

TEST(cMdfBlock_CG, DecodingRulesAreRebuiltInPlace) {
  BlockBytes bytes;
  BlockBytes::Group layout;
  layout.firstChannel = bytes.chain({member("a", 0, 0, 8), member("b", 1, 0, 8),
                                     member("c", 2, 0, 8), member("d", 3, 0, 8),
                                     member("e", 4, 0, 8)});
  cMdfBlockRef ref = mdftest::loadSingle(bytes, bytes.cg(layout));
  cMdfBlock_CG_t* group = groupOf(ref);
  ASSERT_NE(group, nullptr);
  cMdfDecodeRuleArray* first = cMdfBlock_CG_getDecodingRules(group);
  ASSERT_EQ(first, &group->rules);
  EXPECT_EQ(first->size, 5u);
  cMdfDecodeRuleArray* second = cMdfBlock_CG_getDecodingRules(group);
  EXPECT_EQ(second, first);
  EXPECT_EQ(second->size, 5u);
  EXPECT_STREQ(second->data[4].name, "e");
  EXPECT_EQ(cMdfBlock_CG_getDecodingRules(nullptr), nullptr);
  EXPECT_FALSE(cMdfBlock_CG_isVLSD(nullptr));
  cMdfBlockRef_drop(&ref);
}

TEST(cMdfBlock_CG, FlagsAreReadAndWrittenBack) {
  const struct {
    uint16_t flags;
    bool vlsd, busEvent, plainBusEvent;
  } cases[] = {{0x0001, true, false, false},
               {0x0006, false, true, true},
               {0x0009, true, false, false}};
  for (const auto& c : cases) {
    BlockBytes bytes;
    BlockBytes::Group layout;
    layout.flags = c.flags;
    layout.recordId = 7;
    layout.dataBytes = 19;
    cMdfBlockRef ref = mdftest::loadSingle(bytes, bytes.cg(layout));
    const cMdfBlock_CG_t* group = groupOf(ref);
    ASSERT_NE(group, nullptr);
    EXPECT_EQ(group->vlsd, c.vlsd);
    EXPECT_EQ(cMdfBlock_CG_isVLSD(group), c.vlsd);
    EXPECT_EQ(group->busEvent, c.busEvent);
    EXPECT_EQ(group->plainBusEvent, c.plainBusEvent);
    const std::vector<uint8_t> out = mdftest::savePass(ref.block);
    ASSERT_EQ(out.size(), 104u);
    EXPECT_EQ(std::string(out.begin(), out.begin() + 4), "##CG");
    uint16_t flags = 0;
    std::memcpy(&flags, &out[88], 2);
    EXPECT_EQ(flags, c.flags);
    EXPECT_EQ(out[72], 7);
    EXPECT_EQ(out[96], 19);
    for (size_t i = 92; i < 96; ++i) EXPECT_EQ(out[i], 0) << i;
    cMdfBlockRef_drop(&ref);
  }
}

TEST(cMdfBlock_CG, SampleReductionIsRefused) {
  BlockBytes bytes;
  BlockBytes::Group layout;
  layout.sampleReduction = bytes.tx("stands in for a sample reduction block");
  mdftest::LogCapture log;
  cMdfBlockRef ref = mdftest::loadSingle(bytes, bytes.cg(layout));
  EXPECT_EQ(ref.block, nullptr);
  ASSERT_FALSE(log.lines().empty());
  EXPECT_EQ(log.lines()[0], "Unsupported parameter present in file");
  cMdfBlockRef_drop(&ref);
}

TEST(cMdfBlock_CG, RefusesOtherLinkCounts) {
  BlockBytes bytes;
  const uint64_t at =
      bytes.block("##CG", {0, 0, 0, 0, 0, 0, 0}, std::vector<uint8_t>(32, 0));
  cMdfBlockRef ref = mdftest::loadSingle(bytes, at);
  EXPECT_EQ(ref.block, nullptr);
  cMdfBlockRef_drop(&ref);
}

TEST(cMdfBlock_CG, SaveKeepsTheChannelChainOrder) {
  BlockBytes bytes;
  BlockBytes::Group layout;
  layout.firstChannel =
      bytes.chain({member("first", 0, 0, 8), member("second", 1, 0, 8),
                   member("third", 2, 0, 8)});
  cMdfBlockRef ref = mdftest::loadSingle(bytes, bytes.cg(layout));
  const cMdfBlock_CG_t* group = groupOf(ref);
  ASSERT_NE(group, nullptr);
  const std::vector<uint8_t> out = mdftest::savePass(ref.block);
  uint64_t offsets[3];
  for (size_t i = 0; i < 3; ++i) {
    offsets[i] = cMdfBlockList_at(&group->channels, i).block->fileOffset;
  }
  // Written from the last to the first, each linking to its successor.
  EXPECT_GT(offsets[0], offsets[1]);
  EXPECT_GT(offsets[1], offsets[2]);
  const auto linkAt = [&out](uint64_t at) {
    uint64_t v = 0;
    std::memcpy(&v, &out.at(at), 8);
    return v;
  };
  EXPECT_EQ(linkAt(32), offsets[0]);
  EXPECT_EQ(linkAt(offsets[0] + 24), offsets[1]);
  EXPECT_EQ(linkAt(offsets[1] + 24), offsets[2]);
  EXPECT_EQ(linkAt(offsets[2] + 24), 0u);
  EXPECT_EQ(linkAt(56), 0u);  // sample reduction
  cMdfBlockRef_drop(&ref);
}

TEST(cMdfBlock_CG, CompareIsRawAndConsistent) {
  BlockBytes bytes;
  BlockBytes::Group layout;
  const uint64_t first = bytes.cg(layout);
  layout.recordId = 5;
  const uint64_t second = bytes.cg(layout);
  cIO* io = bytes.stream();
  cMdfBlockCache cache;
  cMdfBlockRef a = cMdfBlock_loadAtSingle(io, first, &cache);
  cMdfBlockRef b = cMdfBlock_loadAtSingle(io, second, &cache);
  cIO_close(io);
  ASSERT_NE(a.block, nullptr);
  ASSERT_NE(b.block, nullptr);
  EXPECT_EQ(cMdfBlock_cmp(a.block, a.block), 0);
  const int ab = cMdfBlock_CG_cmp(a.block, b.block);
  EXPECT_NE(ab, 0);
  EXPECT_EQ(cMdfBlock_CG_cmp(b.block, a.block), -ab);
  cMdfBlockRef_drop(&a);
  cMdfBlockRef_drop(&b);
}

}  // namespace
