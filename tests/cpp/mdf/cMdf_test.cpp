#include "mdf/cMdf.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "mdf/blocks/cMdfBlock_DG.h"
#include "mdf/blocks/cMdfBlock_DT.h"
#include "mdf/blocks/cMdfBlock_ID.h"
#include "mdf/cMdfBusMsgContainer.h"
#include "support/damage_sweep.h"
#include "support/mdf_block_bytes.h"
#include "support/mdf_block_support.h"
#include "support/mf4_truth_support.h"

namespace {

struct CloseMdf {
  void operator()(cMdf* mdf) const { cMdf_close(mdf); }
};
using MdfPtr = std::unique_ptr<cMdf, CloseMdf>;

const cMdfBlock_ID_t* idOf(const cMdf* mdf) {
  return cMdfBlock_t_to_cMdfBlock_ID_t(mdf->root);
}

cMdfBlock_DG_t* groupAt(cMdf* mdf, size_t i) {
  return cMdfBlock_t_to_cMdfBlock_DG_t_mut(
      cMdfBlockList_at(cMdf_getDataGroups(mdf), i));
}

cMdfBlock_DT_t* dataOf(cMdf* mdf, size_t i) {
  cMdfBlock_DG_t* group = groupAt(mdf, i);
  return group ? cMdfBlock_t_to_cMdfBlock_DT_t_mut(group->data) : nullptr;
}

struct DtorContainer {
  void operator()(cMdfBusMsgContainer* c) const { cMdfBusMsgContainer_dtor(c); }
};
using ContainerPtr = std::unique_ptr<cMdfBusMsgContainer, DtorContainer>;

// Every data group of the file yields, through a bus message container,
// exactly the frames of the truth, in file order.
void expectTruth(cMdf* mdf,
                 const std::vector<std::vector<mf4truth::Frame>>& truth) {
  const size_t count = truth.size();
  ASSERT_EQ(cMdfBlockList_size(cMdf_getDataGroups(mdf)), count);
  const double start = cMdf_getStartTime(mdf, 1);
  for (size_t g = 0; g < count; ++g) {
    SCOPED_TRACE("data group " + std::to_string(g));
    ContainerPtr container(cMdfBusMsgContainer_ctor(groupAt(mdf, g)));
    ASSERT_NE(container, nullptr);
    size_t n = 0;
    for (cMdfBusMsgContainerPosition p =
             cMdfBusMsgContainer_begin(container.get());
         p.frame; cMdfBusMsgContainer_next(&p)) {
      ASSERT_LT(n, truth[g].size());
      SCOPED_TRACE("record " + std::to_string(n));
      mf4truth::expectFrame(p.result, *p.frame, truth[g][n++], start,
                            cMdf_getStartTimeNs(mdf));
    }
    EXPECT_EQ(n, truth[g].size());
  }
}

class MdfFixture : public testing::TestWithParam<const char*> {};

TEST_P(MdfFixture, EveryDataGroupYieldsTheWritersFrames) {
  const std::string name = GetParam();
  IOPtr io = memoryWith(mf4truth::fixtureBytes("mdf", name + ".mf4"));
  MdfPtr mdf(cMdf_open(io.get()));
  ASSERT_NE(mdf, nullptr);
  expectTruth(mdf.get(), mf4truth::readTruth("mdf", name + ".truth"));
}

TEST_P(MdfFixture, ASavedFileReopensWithTheSameFrames) {
  const std::string name = GetParam();
  IOPtr io = memoryWith(mf4truth::fixtureBytes("mdf", name + ".mf4"));
  MdfPtr mdf(cMdf_open(io.get()));
  ASSERT_NE(mdf, nullptr);
  IOPtr out(cIO_memoryAlloc_ctor());
  ASSERT_TRUE(cMdf_save(mdf.get(), out.get()));
  mdf.reset();
  MdfPtr again(cMdf_open(out.get()));
  ASSERT_NE(again, nullptr);
  expectTruth(again.get(), mf4truth::readTruth("mdf", name + ".truth"));
}

INSTANTIATE_TEST_SUITE_P(Fixtures, MdfFixture,
                         testing::Values("shapes", "unfinalized"));

TEST(cMdf, OpenExtendsTheLastDataBlockOfAnUnfinalizedFile) {
  const std::string bytes = mf4truth::fixtureBytes("mdf", "unfinalized.mf4");
  IOPtr io = memoryWith(bytes);
  MdfPtr mdf(cMdf_open(io.get()));
  ASSERT_NE(mdf, nullptr);
  // Written with length 24 at the end of the file; the earlier block keeps
  // the length it was written with.
  const cMdfBlock_DT_t* last = dataOf(mdf.get(), 1);
  ASSERT_NE(last, nullptr);
  EXPECT_EQ(last->length, bytes.size() - last->fileOffset);
  const cMdfBlock_DT_t* first = dataOf(mdf.get(), 0);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(le(first->length, 8), bytes.substr(first->fileOffset + 8, 8));
  EXPECT_GT(first->length, 24u);
  EXPECT_EQ(cMdfBlock_ID_getFinalizationFlags(idOf(mdf.get())), 0x21);
}

// A file of the smallest kind this library accepts, with data groups at
// 512 and 576 whose data links are given, and data blocks of length 24 at
// 1000 and 5000 (the stream ends at 5100).
Mf4Image withDataBlocks(const std::string& ident, uint16_t flags,
                        uint64_t firstData, uint64_t secondData) {
  Mf4Image image = minimalFile();
  image.put(0, idData(ident, flags));
  image.block(64, "##HD", {512, 168, 0, 0, 0, 0}, hdData());
  image.block(512, "##DG", {576, 0, firstData, 0}, zeros(8));
  image.block(576, "##DG", {0, 0, secondData, 0}, zeros(8));
  image.block(1000, "##DT", {}, "");
  image.block(5000, "##DT", {}, "");
  image.put(5024, std::string(76, 'r'));
  return image;
}

struct LastBlockCase {
  const char* ident;
  uint16_t flags;
  uint64_t firstData, secondData;
  uint64_t length1000, length5000;  // after open
  uint16_t flagsAfter;
};

class LastDataBlock : public testing::TestWithParam<LastBlockCase> {};

// Only the data block at the largest offset is extended to the end of the
// stream, whatever the order of the groups; without flag bit 2, or without
// any data block, nothing changes.
TEST_P(LastDataBlock, OpenExtendsOnlyTheLastDataBlock) {
  const LastBlockCase& c = GetParam();
  IOPtr io =
      withDataBlocks(c.ident, c.flags, c.firstData, c.secondData).stream();
  MdfPtr mdf(cMdf_open(io.get()));
  ASSERT_NE(mdf, nullptr);
  for (size_t i = 0; i < 2; ++i) {
    const cMdfBlock_DT_t* data = dataOf(mdf.get(), i);
    const uint64_t offset = i == 0 ? c.firstData : c.secondData;
    if (offset == 0) {
      EXPECT_EQ(data, nullptr);
      continue;
    }
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(data->length, offset == 1000 ? c.length1000 : c.length5000);
  }
  EXPECT_EQ(cMdfBlock_ID_getFinalizationFlags(idOf(mdf.get())), c.flagsAfter);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LastDataBlock,
    testing::Values(LastBlockCase{"UnFinMF ", 0x25, 1000, 5000, 24, 100, 0x21},
                    LastBlockCase{"UnFinMF ", 0x04, 5000, 1000, 24, 100, 0},
                    LastBlockCase{"UnFinMF ", 0x04, 0, 1000, 4100, 0, 0},
                    LastBlockCase{"UnFinMF ", 0x04, 0, 0, 0, 0, 0x04},
                    LastBlockCase{"UnFinMF ", 0x01, 1000, 5000, 24, 24, 0x01},
                    LastBlockCase{"MDF     ", 0, 1000, 5000, 24, 24, 0}));

TEST(cMdf, StartTimeInUtcOrLocalTime) {
  Mf4Image image = minimalFile();
  image.block(64, "##HD", {0, 168, 0, 0, 0, 0},
              hdData(1'600'000'000'000'000'000, 60, 60));
  IOPtr io = image.stream();
  MdfPtr mdf(cMdf_open(io.get()));
  ASSERT_NE(mdf, nullptr);
  EXPECT_EQ(cMdf_getStartTime(mdf.get(), 1), 1'600'000'000.0);
  EXPECT_EQ(cMdf_getStartTime(mdf.get(), 0), 1'600'007'200.0);
  EXPECT_EQ(cMdf_getStartTime(mdf.get(), 0x100), 1'600'007'200.0);
  EXPECT_EQ(cMdf_getStartTime(nullptr, 1), 0.0);
  EXPECT_EQ(cMdfBlockList_size(cMdf_getDataGroups(mdf.get())), 0u);
  EXPECT_EQ(cMdf_getDataGroups(nullptr), nullptr);
}

TEST(cMdf, CloseLeavesTheStreamOpen) {
  IOPtr io = minimalFile().stream();
  cMdf* mdf = cMdf_open(io.get());
  ASSERT_NE(mdf, nullptr);
  EXPECT_EQ(mdf->stream, io.get());
  cMdf_close(mdf);
  EXPECT_EQ(cIO_seek(io.get(), 0, CIO_SEEK_SET), 0);
  char head[8];
  EXPECT_EQ(cIO_read(io.get(), head, 8), 8);
  cMdf_close(nullptr);
}

TEST(cMdf, OpenRefusesWhatIsNoFile) {
  mdftest::LogCapture quiet;
  EXPECT_EQ(cMdf_open(nullptr), nullptr);
  IOPtr empty = memoryWith("");
  EXPECT_EQ(cMdf_open(empty.get()), nullptr);
  IOPtr text = memoryWith(std::string(200, 'x'));
  EXPECT_EQ(cMdf_open(text.get()), nullptr);
}

TEST(cMdf, SaveWritesIdentificationAndHeaderFirst) {
  IOPtr io = minimalFile().stream();
  MdfPtr mdf(cMdf_open(io.get()));
  ASSERT_NE(mdf, nullptr);
  IOPtr out(cIO_memoryAlloc_ctor());
  ASSERT_TRUE(cMdf_save(mdf.get(), out.get()));
  const std::string saved = contentOf(out.get());
  EXPECT_EQ(saved.substr(0, 8), "MDF     ");
  EXPECT_EQ(saved.substr(64, 4), "##HD");
  EXPECT_FALSE(cMdf_save(nullptr, out.get()));
  EXPECT_FALSE(cMdf_save(mdf.get(), nullptr));
}

// The frames of every data group of the file in `data`, or -1 when it does
// not open.
int64_t countFrames(const std::string& data) {
  IOPtr io = memoryWith(data);
  MdfPtr mdf(cMdf_open(io.get()));
  return mdf ? mdftest::framesOf(mdf.get()) : -1;
}

// Truncated and damaged copies of a file either fail to open or read to an
// end with no more frames than the intact file holds.
TEST(cMdf, DamagedFilesOpenOrFailCleanly) {
  mdftest::expectDamagedCopiesReadCleanly("unfinalized", 37, 7, 0xA5,
                                          countFrames);
}

}  // namespace
