#include "decode/cMdfRecordGroupInfo.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "decode/cMdfDecodePlan.h"
#include "mdf/blocks/cMdfBlock_DG.h"
#include "mdf/cMdf.h"
#include "streams/cIO_memoryAlloc.h"
#include "support/mdf_group_support.h"
#include "support/mf4_truth_support.h"

namespace {

using mdfgroup::BlockBytes;
using mdfgroup::Group;
using mdfgroup::le;
using mdfgroup::Loaded;
using mdfgroup::record;
using mdfgroup::State;
using mdfgroup::Step;
using mdfgroup::steps;
using mdfgroup::viewBytes;
using mdfgroup::VlsdInGroup;
using mdfgroup::vlsdRecord;

// ---------------------------------------------------------------------------
// Records of plain channel groups (no channels): what each call returns and
// where the position stands after it.

struct Case {
  const char* name;
  std::vector<Group> groups;
  uint8_t recordIdSize;
  std::string data;
  std::vector<Step> expected;  // decoder kinds 0: no group has a bus source
};

std::string filled(size_t n, char c) { return std::string(n, c); }

std::vector<Case> cases() {
  const std::string a20 = filled(20, 'a'), b10 = filled(10, 'b'),
                    c20 = filled(20, 'c');
  const std::string sixteen = "0123456789abcdef";
  const std::string sorted48 = sixteen + filled(16, 'x') + filled(16, 'y');
  return {
      {"SortedRecordsBackToBack",
       {{5, 16}},
       0,
       sorted48,
       {{sixteen, "", 16, 0},
        {filled(16, 'x'), "", 32, 0},
        {filled(16, 'y'), "", 48, 0}}},
      {"SortedTruncatedLastRecordIsNotReturned",
       {{5, 16}},
       0,
       sorted48 + "12345",
       {{sixteen, "", 16, 0},
        {filled(16, 'x'), "", 32, 0},
        {filled(16, 'y'), "", 48, 0}}},
      {"UnsortedRecordsOfTwoGroups",
       {{1, 20}, {2, 10}},
       1,
       record(1, 1, a20) + record(2, 1, b10) + record(1, 1, c20),
       {{a20, "", 21, 0}, {b10, "", 32, 0}, {c20, "", 53, 0}}},
      // A log of one frame kind: one channel group, records with ids.
      {"SingleGroupWithRecordIds",
       {{7, 3}},
       1,
       record(7, 1, "abc") + record(7, 1, "def"),
       {{"abc", "", 4, 0}, {"def", "", 8, 0}}},
      {"UnknownIdEndsTheIteration",
       {{1, 20}, {2, 10}},
       1,
       record(1, 1, a20) + record(3, 1, b10) + record(1, 1, c20),
       {{a20, "", 21, 0}}},
      {"TruncatedIdEndsTheIteration",
       {{0x0102, 2}, {2, 3}},
       2,
       record(0x0102, 2, "xy") + "\x02",
       {{"xy", "", 4, 0}}},
      // Invalidation bytes follow the data bytes and belong to the record.
      {"InvalidationBytesArePartOfTheRecord",
       {{1, 4, 1}, {2, 2}},
       1,
       record(1, 1, "wxyz\x01") + record(2, 1, "uv") +
           record(1, 1, std::string("abcd\0", 5)),
       {{"wxyz\x01", "", 6, 0},
        {"uv", "", 9, 0},
        {std::string("abcd\0", 5), "", 15, 0}}},
      {"RecordIdSize2",
       {{0x0201, 3}, {7, 1}},
       2,
       record(0x0201, 2, "abc") + record(7, 2, "d"),
       {{"abc", "", 5, 0}, {"d", "", 8, 0}}},
      {"RecordIdSize3",
       {{0x030201, 3}, {7, 1}},
       3,
       record(0x030201, 3, "abc") + record(7, 3, "d"),
       {{"abc", "", 6, 0}, {"d", "", 10, 0}}},
      {"RecordIdSize4",
       {{0x04030201, 3}, {7, 1}},
       4,
       record(0x04030201, 4, "abc") + record(7, 4, "d"),
       {{"abc", "", 7, 0}, {"d", "", 12, 0}}},
      {"RecordIdSize8",
       {{0x0807060504030201, 3}, {7, 1}},
       8,
       record(0x0807060504030201, 8, "abc") + record(7, 8, "d"),
       {{"abc", "", 11, 0}, {"d", "", 20, 0}}},
      // Values written ahead of their frame, or whose frame was lost.
      {"VlsdRecordWhereAFrameIsExpectedIsSkipped",
       {{1, 4}, {2, 0, 0, true}},
       1,
       vlsdRecord(2, 1, "ab") + record(1, 1, "wxyz") + vlsdRecord(2, 1, "") +
           record(1, 1, "abcd"),
       {{"wxyz", "", 12, 0}, {"abcd", "", 22, 0}}},
      {"TruncatedVlsdRecordEndsTheIteration",
       {{1, 4}, {2, 0, 0, true}},
       1,
       record(1, 1, "wxyz") + "\x02\x05\x00",
       {{"wxyz", "", 5, 0}}},
      {"SortedGroupOfAVlsdGroupYieldsNothing",
       {{2, 0, 0, true}},
       0,
       le(3, 4) + "abc",
       {}},
      {"RecordsOfNoBytesYieldNothing", {{1, 0}}, 0, "abcdef", {}},
      {"GroupWithoutChannelGroupsYieldsNothing", {}, 1, "\x01\x02", {}},
      // With record id size 0 the first channel group is entered under 0.
      {"IdSize0WithTwoGroupsReadsTheFirst",
       {{1, 3}, {2, 5}},
       0,
       "abcdef",
       {{"abc", "", 3, 0}, {"def", "", 6, 0}}},
  };
}

class RecordAccess : public testing::TestWithParam<Case> {};

TEST_P(RecordAccess, YieldsTheRecordsInFileOrder) {
  const Case& c = GetParam();
  BlockBytes b;
  const uint64_t first = mdfgroup::channelGroups(&b, c.groups);
  const uint64_t dt = mdfgroup::dataBlock(&b, "##DT", c.data);
  Loaded loaded(b, mdfgroup::dataGroup(&b, first, dt, c.recordIdSize));
  ASSERT_NE(loaded.group(), nullptr);
  EXPECT_EQ(steps(loaded.group()), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, RecordAccess, testing::ValuesIn(cases()),
                         [](const testing::TestParamInfo<Case>& param) {
                           return std::string(param.param.name);
                         });

TEST(cMdfBlock_DG_at, NullStateAfterTheEnd) {
  BlockBytes b;
  const uint64_t first = mdfgroup::channelGroups(&b, {{1, 2}});
  const uint64_t dt = mdfgroup::dataBlock(&b, "##DT", "abcd");
  Loaded loaded(b, mdfgroup::dataGroup(&b, first, dt, 0));
  State state;
  ASSERT_NE(cMdfBlock_DG_at(loaded.group(), &state.s), nullptr);
  ASSERT_NE(cMdfBlock_DG_at(loaded.group(), &state.s), nullptr);
  EXPECT_EQ(cMdfBlock_DG_at(loaded.group(), &state.s), nullptr);
  EXPECT_EQ(state.s.position, 4u);  // unchanged by the failing call
  EXPECT_EQ(cMdfBlock_DG_at(nullptr, &state.s), nullptr);
  EXPECT_EQ(cMdfBlock_DG_at(loaded.group(), nullptr), nullptr);
}

TEST(cMdfBlock_DG_at, NoDataBlockYieldsNothing) {
  BlockBytes b;
  const uint64_t first = mdfgroup::channelGroups(&b, {{1, 2}});
  const uint64_t sd = mdfgroup::dataBlock(&b, "##SD", "abcd");
  Loaded none(b, mdfgroup::dataGroup(&b, first, 0, 0));
  Loaded other(b, mdfgroup::dataGroup(&b, first, sd, 0));
  EXPECT_TRUE(steps(none.group()).empty());
  EXPECT_TRUE(steps(other.group()).empty());
}

// Steady-state reading allocates nothing and copies no record: records are
// served from the window, which keeps its storage.
TEST(cMdfBlock_DG_at, RecordsAreServedFromTheWindow) {
  BlockBytes b;
  const uint64_t first = mdfgroup::channelGroups(&b, {{1, 16}});
  const uint64_t dt = mdfgroup::dataBlock(&b, "##DT", filled(16 * 50, 'r'));
  Loaded loaded(b, mdfgroup::dataGroup(&b, first, dt, 0));
  State state;
  const cMdfRecordView* view = cMdfBlock_DG_at(loaded.group(), &state.s);
  ASSERT_NE(view, nullptr);
  const uint8_t* storage = state.s.records.data;
  const uint64_t capacity = state.s.records.capacity;
  int records = 0;
  do {
    EXPECT_EQ(view->record, storage + 16 * records);
    ++records;
  } while ((view = cMdfBlock_DG_at(loaded.group(), &state.s)) != nullptr);
  EXPECT_EQ(records, 50);
  EXPECT_EQ(state.s.records.data, storage);
  EXPECT_EQ(state.s.records.capacity, capacity);
  EXPECT_EQ(state.s.record.capacity, 0u);
}

// A record longer than the window comes whole from the record buffer; the
// records around it from the window.
TEST(cMdfBlock_DG_at, RecordsLongerThanTheWindowAreReadWhole) {
  const std::string big(300 * 1024, 'B');
  BlockBytes b;
  const uint64_t first = mdfgroup::channelGroups(
      &b, {{1, static_cast<uint32_t>(big.size())}, {2, 3}});
  const uint64_t dt = mdfgroup::dataBlock(
      &b, "##DT",
      record(2, 1, "abc") + record(1, 1, big) + record(2, 1, "def"));
  Loaded loaded(b, mdfgroup::dataGroup(&b, first, dt, 1));
  const uint64_t end = 4 + 1 + big.size();
  EXPECT_EQ(
      steps(loaded.group()),
      (std::vector<Step>{
          {"abc", "", 4, 0}, {big, "", end, 0}, {"def", "", end + 4, 0}}));
}

// Frames and their values over many windows: every refill, wherever it
// cuts a frame or its value, gives the same records.
TEST(cMdfBlock_DG_at, FramesAndValuesAcrossWindows) {
  std::string data;
  std::vector<Step> expected;
  for (uint32_t i = 0; i < 12000; ++i) {
    const uint8_t length = static_cast<uint8_t>(i % 65);
    const std::string frame = mdfgroup::canRecord(i, i, length);
    const std::string value(length, static_cast<char>('a' + i % 26));
    data += record(1, 1, frame);
    if (i % 7 != 3) data += vlsdRecord(2, 1, value);  // some frames lose it
    expected.push_back({frame, i % 7 != 3 ? le(length, 4) + value : le(0, 4),
                        data.size(), kMdfDecoderCanData});
  }
  ASSERT_GT(data.size(), 2u * 256 * 1024);
  VlsdInGroup file(data);
  Loaded loaded(file.b, file.dg);
  EXPECT_EQ(steps(loaded.group(), expected.size() + 1), expected);
}

// A frame record almost as long as the window, and its value after it:
// the frame record moves out of the window to make room for the value.
TEST(cMdfBlock_DG_at, ValuesAfterFramesAsLongAsTheWindow) {
  const uint32_t size = 256 * 1024 - 40;
  std::string data;
  std::vector<Step> expected;
  for (uint32_t i = 0; i < 3; ++i) {
    std::string frame = mdfgroup::canRecord(i, i, 5);
    frame += std::string(size - frame.size(), static_cast<char>('k' + i));
    data += record(1, 1, frame) + vlsdRecord(2, 1, "value");
    expected.push_back(
        {frame, le(5, 4) + "value", data.size(), kMdfDecoderCanData});
  }
  VlsdInGroup file(data, true, size);
  Loaded loaded(file.b, file.dg);
  EXPECT_EQ(steps(loaded.group()), expected);
}

// States over two data groups of one file, advanced in turn, each read
// their own records (every state keeps its own window and position).
TEST(cMdfBlock_DG_at, StatesOverTwoGroupsAdvanceInTurn) {
  BlockBytes b;
  std::string one, two;
  for (int i = 0; i < 40000; ++i) {
    one += record(1, 1, std::string(7, static_cast<char>(i)));
    two += std::string(5, static_cast<char>(i * 3));
  }
  const uint64_t firstGroups = mdfgroup::channelGroups(&b, {{1, 7}});
  const uint64_t firstData = mdfgroup::dataBlock(&b, "##DT", one);
  const uint64_t secondGroups = mdfgroup::channelGroups(&b, {{9, 5}});
  const uint64_t secondData = mdfgroup::dataBlock(&b, "##DT", two);
  const uint64_t at1 = mdfgroup::dataGroup(&b, firstGroups, firstData, 1);
  const uint64_t at2 = mdfgroup::dataGroup(&b, secondGroups, secondData, 0);
  // Both groups read one stream.
  cIO* io = b.stream();
  cMdfBlockCache cache1, cache2;
  cMdfBlockRef ref1 = cMdfBlock_loadAtSingle(io, at1, &cache1);
  cMdfBlockRef ref2 = cMdfBlock_loadAtSingle(io, at2, &cache2);
  cMdfBlock_DG_t* first = cMdfBlock_t_to_cMdfBlock_DG_t_mut(ref1);
  cMdfBlock_DG_t* second = cMdfBlock_t_to_cMdfBlock_DG_t_mut(ref2);
  ASSERT_TRUE(first && second);
  State a, c;
  for (int i = 0; i < 40000; ++i) {
    const cMdfRecordView* x = cMdfBlock_DG_at(first, &a.s);
    const cMdfRecordView* y = cMdfBlock_DG_at(second, &c.s);
    ASSERT_TRUE(x && y);
    ASSERT_EQ(viewBytes(x->record, x->recordSize),
              std::string(7, static_cast<char>(i)));
    ASSERT_EQ(viewBytes(y->record, y->recordSize),
              std::string(5, static_cast<char>(i * 3)));
  }
  EXPECT_EQ(cMdfBlock_DG_at(first, &a.s), nullptr);
  EXPECT_EQ(cMdfBlock_DG_at(second, &c.s), nullptr);
  cMdfBlockRef_drop(&ref1);
  cMdfBlockRef_drop(&ref2);
  cIO_close(io);
}

// ---------------------------------------------------------------------------
// Variable-length values

// Values in the VLSD channel group of the data group: the record after a
// frame record holds the frame's value when it is one of that group.
struct VlsdCase {
  const char* name;
  std::string data;  // the data block: records as the case lays them out
  bool vlsdGroup;    // the payload's data link is a VLSD group (else a
                     // group of frame records of no bytes)
  std::vector<Step> expected;
};

std::vector<VlsdCase> vlsdCases() {
  const std::string frame = mdfgroup::canRecord(5, 0x123, 12);
  const std::string empty = mdfgroup::canRecord(5, 0x123, 0);
  const std::string first = mdfgroup::canRecord(5, 0x100, 0);
  const std::string second = mdfgroup::canRecord(6, 0x101, 2);
  const std::string value = "0123456789ab";
  const std::string huge(100000, 'v');
  const uint64_t afterHuge = 22 + 1 + 4 + huge.size();
  return {
      {"ValueFromTheFollowingRecord",
       record(1, 1, frame) + vlsdRecord(2, 1, value),
       true,
       {{frame, le(12, 4) + value, 1 + 21 + 1 + 4 + 12, kMdfDecoderCanData}}},
      // The record after a frame is not its value: the frame gets an empty
      // value and the next call reads that record whole.
      {"ARecordReadAheadIsReadAgain",
       record(1, 1, first) + record(1, 1, second) + vlsdRecord(2, 1, "hi"),
       true,
       {{first, le(0, 4), 22, kMdfDecoderCanData},
        {second, le(2, 4) + "hi", 22 + 22 + 1 + 4 + 2, kMdfDecoderCanData}}},
      // A payload channel whose data link is a group of frame records takes
      // no value from them: they are records of their own.
      {"DataLinkToAFrameGroupGivesNoValue",
       record(1, 1, empty) + record(2, 1, ""),
       false,
       {{empty, le(0, 4), 22, kMdfDecoderCanData},
        {"", "", 23, kMdfDecoderGeneric}}},
      // A VLSD record longer than any payload gives its first 65 bytes (the
      // frame fails on them all the same); the rest is passed over, not
      // copied, and the next frame is read where the long record ends.
      {"LongValueIsFetchedUpTo65Bytes",
       record(1, 1, frame) + vlsdRecord(2, 1, huge) + record(1, 1, frame) +
           vlsdRecord(2, 1, "ab"),
       true,
       {{frame, le(65, 4) + huge.substr(0, 65), afterHuge, kMdfDecoderCanData},
        {frame, le(2, 4) + "ab", afterHuge + 22 + 1 + 4 + 2,
         kMdfDecoderCanData}}},
      // A value cut short by the end of the data block keeps the bytes that
      // exist; its length says how many.
      {"TruncatedValueIsCut",
       record(1, 1, frame) + "\x02" + le(12, 4) + "01234",
       true,
       {{frame, le(5, 4) + "01234", 22 + 1 + 4 + 5, kMdfDecoderCanData}}},
  };
}

class VlsdValues : public testing::TestWithParam<VlsdCase> {};

TEST_P(VlsdValues, AreFetchedWithTheirFrames) {
  const VlsdCase& c = GetParam();
  VlsdInGroup file(c.data, c.vlsdGroup);
  Loaded loaded(file.b, file.dg);
  EXPECT_EQ(steps(loaded.group()), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, VlsdValues, testing::ValuesIn(vlsdCases()),
                         [](const testing::TestParamInfo<VlsdCase>& param) {
                           return std::string(param.param.name);
                         });

// Values in a signal data block, at the offsets the frame records give.
struct SignalDataCase {
  const char* name;
  std::string values;                // the signal data block
  std::vector<std::string> records;  // the data block, sorted
  std::vector<Step> expected;
};

std::vector<SignalDataCase> signalDataCases() {
  const std::string r0 = mdfgroup::canRecord(1, 1, 3, 0);
  const std::string r1 = mdfgroup::canRecord(2, 2, 2, 7);
  const std::string r2 = mdfgroup::canRecord(3, 3, 0, 100);
  const std::string huge(100000, 'v');
  const std::string big = mdfgroup::canRecord(1, 1, 64, 0);
  const std::string fetched = le(65, 4) + huge.substr(0, 65);
  return {
      // From the start, a value cut by the end of the block, an offset
      // beyond it.
      {"FromTheStartCutAndBeyond",
       le(3, 4) + "abc" + le(10, 4) + "de",
       {r0, r1, r2},
       {{r0, le(3, 4) + "abc", 21, 1},
        {r1, le(2, 4) + "de", 42, 1},
        {r2, le(0, 4), 63, 1}}},
      // Records pointing at one huge value fetch 65 bytes of it each, not
      // all of it every time: no decoder takes more than 64.
      {"FetchedUpTo65Bytes",
       le(huge.size(), 4) + huge,
       {big, big},
       {{big, fetched, 21, 1}, {big, fetched, 42, 1}}},
  };
}

class SignalDataValues : public testing::TestWithParam<SignalDataCase> {};

TEST_P(SignalDataValues, AreFetchedWithTheirFrames) {
  const SignalDataCase& c = GetParam();
  BlockBytes b;
  const uint64_t sd = mdfgroup::dataBlock(&b, "##SD", c.values);
  Group frames{0, mdfgroup::kCanRecordBytes};
  frames.firstChannel = mdfgroup::canChannels(&b, sd);
  frames.source = mdfgroup::busSource(&b);
  std::string records;
  for (const std::string& r : c.records) records += r;
  const uint64_t dt = mdfgroup::dataBlock(&b, "##DT", records);
  Loaded loaded(
      b, mdfgroup::dataGroup(&b, mdfgroup::channelGroup(&b, frames, 0), dt, 0));
  EXPECT_EQ(steps(loaded.group()), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SignalDataValues, testing::ValuesIn(signalDataCases()),
    [](const testing::TestParamInfo<SignalDataCase>& param) {
      return std::string(param.param.name);
    });

// ---------------------------------------------------------------------------
// The record map

TEST(cMdfBlock_DG_updateRecordMap, SortedGroupIsEnteredUnderZero) {
  BlockBytes b;
  Loaded loaded(b, mdfgroup::dataGroup(
                       &b, mdfgroup::channelGroups(&b, {{5, 16, 2}}), 0, 0));
  const cMdfRecordMap* map = &loaded.group()->recordMap;
  ASSERT_EQ(cMdfRecordMap_size(map), 1u);
  const cMdfRecordInfo* info = cMdfRecordMap_find(map, 0);
  ASSERT_NE(info, nullptr);
  EXPECT_EQ(info->recordId, 5u);
  EXPECT_EQ(info->recordLength, 18u);
  EXPECT_EQ(info->decoder, &cMdfDecoders_decodeGeneric);
  EXPECT_EQ(cMdfRecordMap_find(map, 5), nullptr);
}

TEST(cMdfBlock_DG_updateRecordMap, TheFirstGroupOfAnIdWins) {
  BlockBytes b;
  Loaded loaded(
      b, mdfgroup::dataGroup(&b, mdfgroup::channelGroups(&b, {{1, 8}, {1, 4}}),
                             0, 1));
  const cMdfRecordMap* map = &loaded.group()->recordMap;
  ASSERT_EQ(cMdfRecordMap_size(map), 1u);
  EXPECT_EQ(cMdfRecordMap_find(map, 1)->recordLength, 8u);
}

// A bus group gets the decoder its channel names select; the same channels
// without a bus source the generic decoder; a VLSD group none.
TEST(cMdfBlock_DG_updateRecordMap, DecodersFollowTheSourceAndNames) {
  BlockBytes b;
  const uint64_t vlsd = mdfgroup::channelGroup(&b, {3, 0, 0, true}, 0);
  Group plain{2, mdfgroup::kCanRecordBytes};
  plain.firstChannel = mdfgroup::canChannels(&b, vlsd);
  Group bus = plain;
  bus.recordId = 1;
  bus.firstChannel = mdfgroup::canChannels(&b, vlsd);
  bus.source = mdfgroup::busSource(&b);
  const uint64_t first =
      mdfgroup::channelGroup(&b, bus, mdfgroup::channelGroup(&b, plain, vlsd));
  Loaded loaded(b, mdfgroup::dataGroup(&b, first, 0, 1));
  const cMdfRecordMap* map = &loaded.group()->recordMap;
  ASSERT_EQ(cMdfRecordMap_size(map), 3u);
  EXPECT_EQ(cMdfRecordMap_find(map, 1)->decoder,
            &cMdfDecoders_decodeCanDataFrame);
  EXPECT_EQ(cMdfRecordMap_find(map, 1)->decoderKind, kMdfDecoderCanData);
  EXPECT_EQ(cMdfRecordMap_find(map, 2)->decoder, &cMdfDecoders_decodeGeneric);
  EXPECT_EQ(cMdfRecordMap_find(map, 2)->rules->size, 4u);
  const cMdfRecordInfo* v = cMdfRecordMap_find(map, 3);
  EXPECT_EQ(v->recordLength, kMdfRecordLengthVlsd);
  EXPECT_EQ(v->rules, nullptr);
  EXPECT_EQ(v->decoder, nullptr);
}

// Many ids, small ones among them: the table grows and finds every one;
// clear keeps the storage.
TEST(cMdfRecordMap, InsertFindClear) {
  cMdfRecordMap map = {};
  const auto key = [](uint64_t id) { return id % 2 ? id * 977 : id / 2; };
  for (uint64_t id = 0; id < 300; ++id) {
    cMdfRecordInfo info;
    ASSERT_TRUE(cMdfRecordInfo_init(&info));
    info.recordId = key(id);
    info.recordLength = static_cast<uint32_t>(id);
    ASSERT_TRUE(cMdfRecordMap_insert(&map, key(id), &info));
    EXPECT_FALSE(cMdfRecordMap_insert(&map, key(id), &info));
    // Every id so far is found, also after the table grew.
    for (uint64_t before = 0; before <= id; ++before)
      ASSERT_EQ(cMdfRecordMap_find(&map, key(before))->recordLength, before);
  }
  EXPECT_EQ(cMdfRecordMap_size(&map), 300u);
  EXPECT_EQ(cMdfRecordMap_find(&map, 978), nullptr);
  EXPECT_EQ(cMdfRecordMap_find(&map, 1000), nullptr);
  const size_t capacity = map.capacity;
  cMdfRecordMap_clear(&map);
  EXPECT_EQ(cMdfRecordMap_size(&map), 0u);
  EXPECT_EQ(cMdfRecordMap_find(&map, 977), nullptr);
  EXPECT_EQ(cMdfRecordMap_find(&map, 1), nullptr);
  EXPECT_EQ(map.capacity, capacity);
  cMdfRecordMap_drop(&map);
  EXPECT_EQ(map.slots, nullptr);
}

// ---------------------------------------------------------------------------
// Raw records

TEST(cMdfBlock_DG_getRecordDataRaw, FrameAndVlsdRecords) {
  const std::string frame = mdfgroup::canRecord(5, 0x123, 12);
  const std::string value = "0123456789ab";
  VlsdInGroup file(record(1, 1, frame) + vlsdRecord(2, 1, value) + "\x09");
  Loaded loaded(file.b, file.dg);
  cMdfRawRecord raw = {};
  EXPECT_EQ(cMdfBlock_DG_getRecordDataRaw(nullptr, loaded.group(), 0, &raw),
            22u);
  EXPECT_EQ(raw.id, 1u);
  EXPECT_EQ(mdfgroup::viewBytes(raw.bytes.data, raw.bytes.size), frame);
  EXPECT_EQ(cMdfBlock_DG_getRecordDataRaw(nullptr, loaded.group(), 22, &raw),
            1u + 4 + 12);
  EXPECT_EQ(raw.id, 2u);
  EXPECT_EQ(mdfgroup::viewBytes(raw.bytes.data, raw.bytes.size),
            le(12, 4) + value);
  // Record id 9 is no group's.
  EXPECT_EQ(cMdfBlock_DG_getRecordDataRaw(nullptr, loaded.group(), 39, &raw),
            kMdfNoRecord);
  EXPECT_EQ(cMdfBlock_DG_getRecordDataRaw(nullptr, loaded.group(), 40, &raw),
            kMdfNoRecord);
  EXPECT_EQ(cMdfBlock_DG_getRecordDataRaw(nullptr, nullptr, 0, &raw),
            kMdfNoRecord);
  cMdfRawRecord_drop(&raw);
}

// A record cut by the end of the data gives the bytes that exist and the
// size it claims.
TEST(cMdfBlock_DG_getRecordDataRaw, TruncatedRecordGivesFewerBytes) {
  BlockBytes b;
  const uint64_t first = mdfgroup::channelGroups(&b, {{4, 8}, {5, 1}});
  const uint64_t dt = mdfgroup::dataBlock(&b, "##DT", record(4, 2, "abc"));
  Loaded loaded(b, mdfgroup::dataGroup(&b, first, dt, 2));
  cMdfRawRecord raw = {};
  EXPECT_EQ(cMdfBlock_DG_getRecordDataRaw(nullptr, loaded.group(), 0, &raw),
            10u);
  EXPECT_EQ(mdfgroup::viewBytes(raw.bytes.data, raw.bytes.size), "abc");
  cMdfRawRecord_drop(&raw);
}

// ---------------------------------------------------------------------------
// Decoding the next record

// The frame's bytes, its data pointer as an offset where it points into
// the frame.
std::vector<uint8_t> frameBytes(const cMdfBusMsg& frame) {
  cMdfBusMsg copy = frame;
  const auto* first = reinterpret_cast<const uint8_t*>(&frame);
  if (frame.data >= first && frame.data < first + sizeof frame)
    copy.data = reinterpret_cast<const uint8_t*>(frame.data - first);
  std::vector<uint8_t> out(sizeof copy);
  std::memcpy(out.data(), &copy, sizeof copy);
  return out;
}

// Record for record, decodeNext gives the result and the frame that
// cMdfBlock_DG_at and the group's decoder give, and moves on as far, over
// the writer's fixtures of every frame kind and shape (unsorted and sorted
// groups, VLSD channel groups and signal data blocks, big-endian and
// converted fields, invalidation bytes).
// The writer's fixtures of every frame kind and shape (unsorted and sorted
// groups, VLSD channel groups and signal data blocks, big-endian and
// converted fields, invalidation bytes), opened in memory.
const std::pair<const char*, const char*> kFixtures[] = {
    {"mdf", "shapes.mf4"},
    {"mdf", "finalize.mf4"},
    {"mdf", "unfinalized.mf4"},
    {"decode", "frames.mf4"}};

struct OpenFixture {
  struct CloseIO {
    void operator()(cIO* io) const { cIO_close(io); }
  };
  std::unique_ptr<cIO, CloseIO> io{cIO_memoryAlloc_ctor()};
  std::unique_ptr<cMdf, void (*)(cMdf*)> mdf{nullptr, cMdf_close};
  OpenFixture(const char* folder, const char* name) {
    const std::string bytes = mf4truth::fixtureBytes(folder, name);
    if (cIO_write(io.get(), bytes.data(), bytes.size()) ==
        static_cast<int64_t>(bytes.size()))
      mdf.reset(cMdf_open(io.get()));
  }
};

struct OwnedState : cMdfBlock_DG_iteratorState {
  OwnedState() : cMdfBlock_DG_iteratorState{} {}
  ~OwnedState() { cMdfBlock_DG_iteratorState_drop(this); }
};

TEST(cMdfBlock_DG_decodeNext, DecodesAsAtAndTheDecoder) {
  for (const auto& [folder, name] : kFixtures) {
    SCOPED_TRACE(name);
    OpenFixture file(folder, name);
    ASSERT_NE(file.mdf, nullptr);
    cMdfBlockList* groups = cMdf_getDataGroups(file.mdf.get());
    size_t frames = 0;
    for (size_t g = 0; g < cMdfBlockList_size(groups); ++g) {
      cMdfBlock_DG_t* group =
          cMdfBlock_t_to_cMdfBlock_DG_t_mut(cMdfBlockList_at(groups, g));
      OwnedState fused, apart;
      for (;;) {
        cMdfBusMsg got, expected;
        std::memset(static_cast<void*>(&got), 0x5A, sizeof got);
        std::memset(static_cast<void*>(&expected), 0x5A, sizeof expected);
        const int32_t result = cMdfBlock_DG_decodeNext(group, &fused, &got);
        const cMdfRecordView* view = cMdfBlock_DG_at(group, &apart);
        ASSERT_EQ(result, view != nullptr && apart.decoder != nullptr
                              ? apart.decoder(view, &expected)
                              : -1);
        if (result < 0) break;
        ASSERT_EQ(frameBytes(got), frameBytes(expected)) << "frame " << frames;
        ASSERT_EQ(fused.position, apart.position);
        ++frames;
      }
      EXPECT_EQ(fused.failure, apart.failure);
    }
    EXPECT_GT(frames, 20u);
  }
}

// Runs are the records cMdfBlock_DG_at gives next, one stride apart, each
// of one id and of a straight plan that needs nothing beyond the record;
// what a run leaves out, decodeNext reads. Runs of 1 to 9 records in turn
// with single steps, so that runs start and stop everywhere.
TEST(cMdfBlock_DG_recordRun, TakesTheNextRecordsOfOneGroup) {
  size_t inRuns = 0;
  for (const auto& [folder, name] : kFixtures) {
    SCOPED_TRACE(name);
    OpenFixture file(folder, name);
    ASSERT_NE(file.mdf, nullptr);
    cMdfBlockList* groups = cMdf_getDataGroups(file.mdf.get());
    for (size_t g = 0; g < cMdfBlockList_size(groups); ++g) {
      cMdfBlock_DG_t* group =
          cMdfBlock_t_to_cMdfBlock_DG_t_mut(cMdfBlockList_at(groups, g));
      OwnedState runs, apart;
      for (uint32_t turn = 0;; ++turn) {
        cMdfRecordRun run{};
        const uint32_t count =
            cMdfBlock_DG_recordRun(group, &runs, 1 + turn % 9, &run);
        ASSERT_LE(count, 1 + turn % 9);
        for (uint32_t i = 0; i < count; ++i) {
          const cMdfRecordView* view = cMdfBlock_DG_at(group, &apart);
          ASSERT_NE(view, nullptr);
          EXPECT_EQ(
              viewBytes(view->record, view->recordSize),
              viewBytes(run.view.record + i * run.stride, run.view.recordSize));
          EXPECT_EQ(view->rules, run.view.rules);
          EXPECT_EQ(view->signalDataSize, 0u);
          EXPECT_EQ(apart.decoderKind, run.plan->decoderKind);
        }
        if (count > 0) {
          EXPECT_TRUE(run.plan->straight);
          EXPECT_EQ(run.plan, run.view.rules->plan);
          EXPECT_EQ(runs.position, apart.position);
          inRuns += count;
          continue;
        }
        cMdfBusMsg frame;
        const int32_t result = cMdfBlock_DG_decodeNext(group, &runs, &frame);
        const cMdfRecordView* view = cMdfBlock_DG_at(group, &apart);
        ASSERT_EQ(result < 0, view == nullptr);
        if (result < 0) break;
        ASSERT_EQ(runs.position, apart.position);
      }
    }
  }
  EXPECT_GT(inRuns, 20u);
}

}  // namespace
