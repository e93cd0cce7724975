#include "mdf/blocks/cMdfBlock_DG.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "mdf/blocks/cMdfBlock_CG.h"
#include "support/mdf_group_support.h"

namespace {

using mdfgroup::BlockBytes;
using mdfgroup::Group;
using mdfgroup::Loaded;

struct SortedCase {
  uint8_t recordIdSize;
  size_t groups;
  bool sorted;
};

class DataGroupSorted : public testing::TestWithParam<SortedCase> {};

TEST_P(DataGroupSorted, IsSortedWithIdSize0AndOneChannelGroup) {
  const SortedCase& c = GetParam();
  BlockBytes b;
  std::vector<Group> groups;
  for (size_t i = 0; i < c.groups; ++i) groups.push_back({i + 1, 4});
  Loaded loaded(b, mdfgroup::dataGroup(&b, mdfgroup::channelGroups(&b, groups),
                                       0, c.recordIdSize));
  ASSERT_NE(loaded.group(), nullptr);
  EXPECT_EQ(cMdfBlock_DG_isSorted(loaded.group()), c.sorted);
}

INSTANTIATE_TEST_SUITE_P(Cases, DataGroupSorted,
                         testing::Values(SortedCase{0, 1, true},
                                         SortedCase{0, 2, false},
                                         SortedCase{1, 1, false},
                                         SortedCase{0, 0, false}));

TEST(cMdfBlock_DG, LoadsItsLinksAndRecordIdSize) {
  BlockBytes b;
  const uint64_t first = mdfgroup::channelGroups(&b, {{1, 4}, {2, 8}, {3, 2}});
  const uint64_t dt = mdfgroup::dataBlock(&b, "##DT", "abcd");
  Loaded loaded(b, mdfgroup::dataGroup(&b, first, dt, 2));
  const cMdfBlock_DG_t* group = loaded.group();
  ASSERT_NE(group, nullptr);
  EXPECT_EQ(group->recordIdSize, 2);
  ASSERT_EQ(cMdfBlockList_size(&group->channelGroups), 3u);
  for (uint64_t i = 0; i < 3; ++i) {
    EXPECT_EQ(cMdfBlock_t_to_cMdfBlock_CG_t(
                  cMdfBlockList_at(&group->channelGroups, i))
                  ->recordId,
              i + 1);
  }
  EXPECT_EQ(group->data.block->fileOffset, dt);
  EXPECT_EQ(group->comment.block, nullptr);
  EXPECT_EQ(cMdfRecordMap_size(&group->recordMap), 3u);
  EXPECT_FALSE(cMdfBlock_DG_isSorted(nullptr));
}

TEST(cMdfBlock_DG, ConstructsEmpty) {
  cMdfBlockRef ref = cMdfBlockRef_make(cMdfBlock_DG_ctor());
  cMdfBlock_DG_t* group = cMdfBlock_t_to_cMdfBlock_DG_t_mut(ref);
  ASSERT_NE(group, nullptr);
  EXPECT_EQ(group->length, 64u);
  EXPECT_EQ(group->linkCount, 4u);
  EXPECT_EQ(cMdfBlockList_size(&group->channelGroups), 0u);
  EXPECT_EQ(cMdfRecordMap_size(&group->recordMap), 0u);
  cMdfBlockRef_drop(&ref);
}

// Five links, a record id size that does not fit 64 bits, a block too
// short for its record id size: the group does not load.
TEST(cMdfBlock_DG, RefusesWhatItCannotRead) {
  BlockBytes b;
  const uint64_t five =
      b.block("##DG", {0, 0, 0, 0, 0}, std::vector<uint8_t>(8));
  const uint64_t wide = mdfgroup::dataGroup(&b, 0, 0, 9);
  const uint64_t eight = mdfgroup::dataGroup(&b, 0, 0, 8);
  EXPECT_EQ(Loaded(b, five).group(), nullptr);
  EXPECT_EQ(Loaded(b, wide).group(), nullptr);
  EXPECT_NE(Loaded(b, eight).group(), nullptr);
}

// Two data groups of one chain linking one data block: its records would
// come once per group. The chain does not load.
TEST(cMdfBlock_DG, ADataBlockServesOneGroup) {
  BlockBytes b;
  const uint64_t dt = mdfgroup::dataBlock(&b, "##DT", "abcd");
  const uint64_t second =
      mdfgroup::dataGroup(&b, mdfgroup::channelGroups(&b, {{0, 4}}), dt, 0);
  const uint64_t first = mdfgroup::dataGroup(
      &b, mdfgroup::channelGroups(&b, {{0, 4}}), dt, 0, second);
  mdftest::LogCapture log;
  cMdfBlockList groups = {};
  EXPECT_FALSE(mdftest::loadChain(b, first, &groups));
  EXPECT_EQ(log.lines(),
            std::vector<std::string>{"Could not parse block at offset " +
                                     std::to_string(dt)});
  cMdfBlockList_clear(&groups);
  // Each with a block of its own, they load.
  b.setLink(first, 2, mdfgroup::dataBlock(&b, "##DT", "efgh"));
  EXPECT_TRUE(mdftest::loadChain(b, first, &groups));
  EXPECT_EQ(cMdfBlockList_size(&groups), 2u);
  cMdfBlockList_clear(&groups);
}

uint64_t linkAt(const std::vector<uint8_t>& bytes, uint64_t block,
                unsigned link) {
  uint64_t v = 0;
  for (unsigned i = 8; i-- > 0;)
    v = v << 8 | bytes.at(block + 24 + 8 * link + i);
  return v;
}

// The channel group chain is written in list order: the first-group link
// points to the first group, each group's next link to the following one.
// The reserved bytes after the record id size are zero whatever the file
// held there.
TEST(cMdfBlock_DG, SaveWritesTheChannelGroupsInListOrder) {
  BlockBytes b;
  const uint64_t first = mdfgroup::channelGroups(&b, {{1, 4}, {2, 8}, {3, 2}});
  Loaded loaded(
      b, b.block("##DG", {0, first, 0, 0}, u8(1) + std::string(7, '\xEE')));
  ASSERT_NE(loaded.group(), nullptr);

  const std::vector<uint8_t> out = mdftest::savePass(loaded.group());
  ASSERT_GE(out.size(), 64u);
  EXPECT_EQ(std::string(out.begin(), out.begin() + 4), "##DG");
  EXPECT_EQ(out[56], 1);
  EXPECT_EQ(std::vector<uint8_t>(out.begin() + 57, out.begin() + 64),
            std::vector<uint8_t>(7, 0));
  EXPECT_EQ(linkAt(out, 0, 0), 0u);
  uint64_t at = linkAt(out, 0, 1);
  for (uint64_t id = 1; id <= 3; ++id) {
    ASSERT_NE(at, 0u);
    EXPECT_EQ(std::string(out.begin() + at, out.begin() + at + 4), "##CG");
    EXPECT_EQ(out.at(at + 72), id);  // record id
    at = linkAt(out, at, 0);
  }
  EXPECT_EQ(at, 0u);
}

// A VLSD channel group is reached twice when its data group is saved:
// through the data link of the channel whose values it holds, and as a
// member of the channel group chain. It stays in the chain, and the saved
// group reads back the same records.
TEST(cMdfBlock_DG, SavedVlsdGroupsStayInTheChain) {
  const std::string frame = mdfgroup::canRecord(5, 0x123, 3);
  mdfgroup::VlsdInGroup file(mdfgroup::record(1, 1, frame) +
                             mdfgroup::vlsdRecord(2, 1, "abc"));
  Loaded loaded(file.b, file.dg);
  ASSERT_NE(loaded.group(), nullptr);
  const std::vector<mdfgroup::Step> before = mdfgroup::steps(loaded.group());
  ASSERT_EQ(before.size(), 1u);

  const std::vector<uint8_t> out = mdftest::savePass(loaded.group());
  cIO* io = cIO_memoryAlloc_ctor();
  ASSERT_EQ(cIO_write(io, out.data(), out.size()),
            static_cast<int64_t>(out.size()));
  cMdfBlockCache cache;
  cMdfBlockRef again = cMdfBlock_loadAtSingle(io, 0, &cache);
  cMdfBlock_DG_t* group = cMdfBlock_t_to_cMdfBlock_DG_t_mut(again);
  ASSERT_NE(group, nullptr);
  EXPECT_EQ(cMdfBlockList_size(&group->channelGroups), 2u);
  EXPECT_EQ(mdfgroup::steps(group), before);
  cMdfBlockRef_drop(&again);
  cIO_close(io);
}

}  // namespace
