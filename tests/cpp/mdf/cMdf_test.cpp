#include "mdf/cMdf.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "mdf/blocks/cMdfBlock_DG.h"
#include "mdf/blocks/cMdfBlock_DT.h"
#include "mdf/blocks/cMdfBlock_ID.h"
#include "mdf/cMdfBusMsgContainer.h"
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
// exactly the frames of the truth, in file order. A save pass writes every
// chain in reverse list order: a saved file lists its data groups
// `reversed`.
void expectTruth(cMdf* mdf,
                 const std::vector<std::vector<mf4truth::Frame>>& truth,
                 bool reversed = false) {
  const size_t count = truth.size();
  ASSERT_EQ(cMdfBlockList_size(cMdf_getDataGroups(mdf)), count);
  const double start = cMdf_getStartTime(mdf, 1);
  for (size_t g = 0; g < count; ++g) {
    SCOPED_TRACE("data group " + std::to_string(g));
    ContainerPtr container(
        cMdfBusMsgContainer_ctor(groupAt(mdf, reversed ? count - 1 - g : g)));
    ASSERT_NE(container, nullptr);
    size_t n = 0;
    for (cMdfBusMsgContainerPosition p =
             cMdfBusMsgContainer_begin(container.get());
         p.frame; cMdfBusMsgContainer_next(&p)) {
      ASSERT_LT(n, truth[g].size());
      SCOPED_TRACE("record " + std::to_string(n));
      mf4truth::expectFrame(p.result, *p.frame, truth[g][n++], start);
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
  expectTruth(again.get(), mf4truth::readTruth("mdf", name + ".truth"), true);
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
  EXPECT_EQ(first->length,
            le(first->length, 8) == bytes.substr(first->fileOffset + 8, 8)
                ? first->length
                : 0);
  EXPECT_EQ(cMdfBlock_ID_getFinalizationFlags(idOf(mdf.get())), 0x21);
}

}  // namespace
