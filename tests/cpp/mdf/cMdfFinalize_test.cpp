#include "mdf/cMdfFinalize.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "mdf/blocks/cMdfBlock_CG.h"
#include "mdf/blocks/cMdfBlock_CN.h"
#include "mdf/blocks/cMdfBlock_DG.h"
#include "mdf/blocks/cMdfBlock_DT.h"
#include "mdf/blocks/cMdfBlock_ID.h"
#include "mdf/blocks/cMdfBlock_SD.h"
#include "mdf/cMdf.h"
#include "mdf/cMdfBusMsgContainer.h"
#include "support/damage_sweep.h"
#include "support/fault_injection.h"
#include "support/mdf_block_support.h"
#include "support/mdf_group_support.h"
#include "support/mf4_truth_support.h"

namespace {

using mdfgroup::BlockBytes;
using mdfgroup::Group;
using mdfgroup::record;
using mdfgroup::vlsdRecord;

struct CloseMdf {
  void operator()(cMdf* mdf) const { cMdf_close(mdf); }
};
using MdfPtr = std::unique_ptr<cMdf, CloseMdf>;

std::vector<uint8_t> vec(const std::string& s) { return {s.begin(), s.end()}; }

// An MF4 file written block by block: the header block at 64 with a file
// history block that names the logger's tool, then what the test adds;
// the identification block is written by bytes().
struct FileBytes {
  BlockBytes b;
  uint64_t hd;

  FileBytes() {
    hd = b.block("##HD", {0, 0, 0, 0, 0, 0}, vec(hdData()));
    const uint64_t md = b.block("##MD", {}, vec(textData(kToolComment)));
    b.setLink(hd, 1, b.block("##FH", {0, md}, vec(fhData())));
  }

  // The data groups, chained in this order behind the header block.
  void chain(const std::vector<uint64_t>& groups) {
    b.setLink(hd, 0, groups.empty() ? 0 : groups[0]);
    for (size_t i = 0; i + 1 < groups.size(); ++i)
      b.setLink(groups[i], 0, groups[i + 1]);
  }

  // A data group of `groups` over a data block holding `data`.
  uint64_t dataGroup(const std::vector<Group>& groups, unsigned idSize,
                     const std::string& data) {
    return mdfgroup::dataGroup(&b, mdfgroup::channelGroups(&b, groups),
                               mdfgroup::dataBlock(&b, "##DT", data),
                               static_cast<uint8_t>(idSize));
  }

  std::string bytes(uint16_t flags, uint16_t custom = 0) const {
    std::string out(b.bytes().begin(), b.bytes().end());
    return out.replace(
        0, 64,
        idData(flags || custom ? "UnFinMF " : "MDF     ", flags, custom));
  }
};

// An open file with the stream it reads.
struct Opened {
  IOPtr io;
  MdfPtr mdf;

  explicit Opened(const std::string& bytes)
      : io(memoryWith(bytes)), mdf(cMdf_open(io.get())) {
    EXPECT_NE(mdf, nullptr);
  }

  cMdfBlock_ID_t* id() const {
    return cMdfBlock_t_to_cMdfBlock_ID_t_mut(mdf->root);
  }
  cMdfBlock_DG_t* group(size_t i) const {
    return cMdfBlock_t_to_cMdfBlock_DG_t_mut(
        cMdfBlockList_at(cMdf_getDataGroups(mdf.get()), i));
  }
  size_t groups() const {
    return cMdfBlockList_size(cMdf_getDataGroups(mdf.get()));
  }
  // The file as cMdf_save writes it.
  std::string saved() const {
    IOPtr out(cIO_memoryAlloc_ctor());
    EXPECT_TRUE(cMdf_save(mdf.get(), out.get()));
    return contentOf(out.get());
  }
};

std::string dataOf(cMdfBlockData_t* block) {
  cIO* view = &block->view;
  cIO_seek(view, 0, CIO_SEEK_SET);
  return readAll(view);
}

cMdfBlock_CG_t* onlyGroupOf(const cMdfBlock_DG_t* dg) {
  EXPECT_EQ(cMdfBlockList_size(&dg->channelGroups), 1u);
  return cMdfBlock_t_to_cMdfBlock_CG_t_mut(
      cMdfBlockList_at(&dg->channelGroups, 0));
}

// A data group of the result, which holds one channel group.
struct Sorted {
  unsigned idSize;
  uint64_t recordId;
  uint64_t cycles;
  uint32_t dataBytes, invalidationBytes;
  std::string data;  // the data block's data section

  bool operator==(const Sorted&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Sorted& s) {
  return os << "{" << s.idSize << ", " << s.recordId << ", " << s.cycles << ", "
            << s.dataBytes << ", " << s.invalidationBytes << ", "
            << testing::PrintToString(s.data) << "}";
}

std::vector<Sorted> describe(const Opened& file) {
  std::vector<Sorted> out;
  for (size_t i = 0; i < file.groups(); ++i) {
    const cMdfBlock_DG_t* dg = file.group(i);
    const cMdfBlock_CG_t* cg = onlyGroupOf(dg);
    auto* dt = cMdfBlock_t_to_cMdfBlock_DT_t_mut(dg->data);
    if (!cg || !dt) return {};
    out.push_back({dg->recordIdSize, cg->recordId, cg->cycleCount,
                   cg->dataBytes, cg->invalidationBytes, dataOf(dt)});
  }
  return out;
}

struct SplitCase {
  const char* name;
  std::vector<Group> groups;  // of the one unsorted data group
  unsigned idSize;
  std::string data;
  std::vector<Sorted> expected;
};

std::string caseName(const testing::TestParamInfo<SplitCase>& info) {
  return info.param.name;
}

const std::string r1a = "aaaaaaaa", r1b = "bbbbbbbb", r1c = "cccccccc";
const std::string r2 = "0123456789abcdef";

std::vector<SplitCase> splitCases() {
  return {
      {"TwoGroups",
       {{1, 8}, {2, 16}},
       1,
       record(1, 1, r1a) + record(2, 1, r2) + record(1, 1, r1b) +
           record(1, 1, r1c),
       {{0, 1, 3, 8, 0, r1a + r1b + r1c}, {0, 2, 1, 16, 0, r2}}},
      {"NoRecords",
       {{1, 8}, {2, 4}},
       1,
       "",
       {{0, 1, 0, 8, 0, ""}, {0, 2, 0, 4, 0, ""}}},
      {"UndefinedIdEndsTheRecords",
       {{1, 2}, {2, 3}},
       1,
       record(1, 1, "ab") + record(2, 1, "cde") + record(3, 1, "fg") +
           record(1, 1, "hi"),
       {{0, 1, 1, 2, 0, "ab"}, {0, 2, 1, 3, 0, "cde"}}},
      // Data and invalidation bytes are copied together, record by record.
      {"InvalidationBytesStayWithTheirRecord",
       {{1, 4, 1}, {2, 2}},
       2,
       record(1, 2, "abcdV") + record(2, 2, "xy") + record(1, 2, "efghW"),
       {{0, 1, 2, 4, 1, "abcdVefghW"}, {0, 2, 1, 2, 0, "xy"}}},
      // Records of no bytes are ids only; each of them is counted.
      {"GroupOfNoBytesCountsItsRecords",
       {{1, 0}, {2, 3}},
       1,
       record(1, 1, "") + record(1, 1, "") + record(2, 1, "xyz") +
           record(1, 1, ""),
       {{0, 1, 3, 0, 0, ""}, {0, 2, 1, 3, 0, "xyz"}}},
      {"RecordCutShortIsNotCopied",
       {{1, 4}},
       1,
       record(1, 1, "abcd") + record(1, 1, "ef"),
       {{0, 1, 1, 4, 0, "abcd"}}},
      {"SingleGroupBehind8ByteIds",
       {{uint64_t{1} << 40, 2}},
       8,
       record(uint64_t{1} << 40, 8, "ab") + record(uint64_t{1} << 40, 8, "cd"),
       {{0, uint64_t{1} << 40, 2, 2, 0, "abcd"}}},
      // No channel refers to the VLSD group: its records stay, with their
      // ids, in a group of their own; its byte count is their size
      // without ids.
      {"UnreferencedVlsdGroupKeepsItsRecords",
       {{1, 2}, {2, 0, 0, true}, {3, 1}},
       1,
       record(1, 1, "ab") + vlsdRecord(2, 1, "xyz") + record(3, 1, "q") +
           vlsdRecord(2, 1, ""),
       {{0, 1, 1, 2, 0, "ab"},
        {1, 2, 2, 11, 0, vlsdRecord(2, 1, "xyz") + vlsdRecord(2, 1, "")},
        {0, 3, 1, 1, 0, "q"}}},
  };
}

class Split : public testing::TestWithParam<SplitCase> {};

// Every channel group gets a sorted data group of its own with its records
// and cycle count; the flags for cycle counts and VLSD byte counts are
// cleared; the saved file is finalized and reads back the same.
TEST_P(Split, EveryChannelGroupGetsASortedDataGroup) {
  const SplitCase& c = GetParam();
  FileBytes f;
  f.chain({f.dataGroup(c.groups, c.idSize, c.data)});
  Opened file(f.bytes(0x21));
  ASSERT_NE(file.mdf, nullptr);
  ASSERT_EQ(cMdf_finalizeAndSort(file.mdf.get(), nullptr), kMdfFinalizeDone);
  EXPECT_EQ(describe(file), c.expected);
  EXPECT_EQ(cMdfBlock_ID_getFinalizationFlags(file.id()), 0);
  for (size_t i = 0; i < file.groups(); ++i) {
    if (file.group(i)->recordIdSize == 0) {
      EXPECT_TRUE(cMdfBlock_DG_isSorted(file.group(i)));
    }
  }

  const std::string saved = file.saved();
  EXPECT_EQ(saved.substr(0, 8), "MDF     ");
  Opened again(saved);
  ASSERT_NE(again.mdf, nullptr);
  EXPECT_EQ(describe(again), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, Split, testing::ValuesIn(splitCases()),
                         caseName);

// A CAN data frame group (id 1) whose payload channel refers to a VLSD
// group (id 2) after it; two frames with payloads "hello" and "".
std::string vlsdFile() {
  FileBytes f;
  const uint64_t vlsd = mdfgroup::channelGroup(&f.b, {2, 0, 0, true}, 0);
  Group frames{1, mdfgroup::kCanRecordBytes};
  frames.source = mdfgroup::busSource(&f.b);
  frames.firstChannel = mdfgroup::canChannels(&f.b, vlsd);
  const std::string data =
      record(1, 1, mdfgroup::canRecord(1000, 0x123, 5, 0)) +
      vlsdRecord(2, 1, "hello") +
      record(1, 1, mdfgroup::canRecord(2000, 0x456, 0, 9)) +
      vlsdRecord(2, 1, "");
  f.chain({mdfgroup::dataGroup(&f.b, mdfgroup::channelGroup(&f.b, frames, vlsd),
                               mdfgroup::dataBlock(&f.b, "##DT", data), 1)});
  return f.bytes(0x21);
}

// Puts the last channel group of the data group first.
void moveLastGroupFirst(cMdfBlock_DG_t* dg) {
  cMdfBlockList moved{};
  const size_t n = cMdfBlockList_size(&dg->channelGroups);
  for (size_t i = 0; i < n; ++i) {
    ASSERT_TRUE(cMdfBlockList_pushBack(
        &moved, cMdfBlockRef_copy(
                    cMdfBlockList_at(&dg->channelGroups, (i + n - 1) % n))));
  }
  std::swap(moved, dg->channelGroups);
  cMdfBlockList_clear(&moved);
}

struct Payload {
  uint32_t id;
  std::string data;
  bool operator==(const Payload&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Payload& p) {
  return os << "{" << p.id << ", " << testing::PrintToString(p.data) << "}";
}

std::vector<Payload> payloads(cMdfBlock_DG_t* group) {
  std::vector<Payload> out;
  cMdfBusMsgContainer* c = cMdfBusMsgContainer_ctor(group);
  for (cMdfBusMsgContainerPosition p = cMdfBusMsgContainer_begin(c); p.frame;
       cMdfBusMsgContainer_next(&p)) {
    out.push_back(
        {p.frame->id, mdfgroup::viewBytes(p.frame->data, p.frame->dataLength)});
  }
  cMdfBusMsgContainer_dtor(c);
  return out;
}

class VlsdGroup : public testing::TestWithParam<bool> {};

// The VLSD records become a signal data block (their u32 lengths and
// values, in order) that the payload channel links to, also when the VLSD
// group stands before its frame group; the frames read the same before
// and after, and after a save.
TEST_P(VlsdGroup, BecomesTheSignalDataOfItsChannel) {
  Opened file(vlsdFile());
  ASSERT_NE(file.mdf, nullptr);
  if (GetParam()) moveLastGroupFirst(file.group(0));
  const std::vector<Payload> expected = {{0x123, "hello"}, {0x456, ""}};
  ASSERT_EQ(payloads(file.group(0)), expected);
  ASSERT_EQ(cMdf_finalizeAndSort(file.mdf.get(), nullptr), kMdfFinalizeDone);

  ASSERT_EQ(file.groups(), 1u);
  const cMdfBlock_CG_t* cg = onlyGroupOf(file.group(0));
  ASSERT_NE(cg, nullptr);
  EXPECT_EQ(cg->recordId, 1u);
  EXPECT_EQ(cg->cycleCount, 2u);
  const auto* bytes =
      cMdfBlock_t_to_cMdfBlock_CN_t(cMdfBlockList_at(&cg->channels, 3));
  ASSERT_NE(bytes, nullptr);
  auto* sd = cMdfBlock_t_to_cMdfBlock_SD_t_mut(bytes->data);
  ASSERT_NE(sd, nullptr);
  EXPECT_EQ(dataOf(sd), vlsdRecord(2, 0, "hello") + vlsdRecord(2, 0, ""));
  EXPECT_EQ(payloads(file.group(0)), expected);

  const std::string saved = file.saved();
  EXPECT_EQ(saved.substr(0, 8), "MDF     ");
  Opened again(saved);
  ASSERT_NE(again.mdf, nullptr);
  ASSERT_EQ(again.groups(), 1u);
  EXPECT_TRUE(cMdfBlock_DG_isSorted(again.group(0)));
  EXPECT_EQ(payloads(again.group(0)), expected);
}

INSTANTIATE_TEST_SUITE_P(VlsdAfterOrBefore, VlsdGroup, testing::Bool());

// Sorted groups keep their place before the new ones; with outdated cycle
// counts theirs is taken from their data block (the writer left it 0).
TEST(cMdf_finalizeAndSort, SortedGroupsStayFirstAndAreCounted) {
  for (const uint16_t flags : {uint16_t{0x01}, uint16_t{0x20}}) {
    SCOPED_TRACE(flags);
    FileBytes f;
    const uint64_t sorted = f.dataGroup({{7, 4}}, 0, "abcdefghijkl");
    const uint64_t unsorted =
        f.dataGroup({{1, 1}, {2, 1}}, 1, record(2, 1, "x") + record(1, 1, "y"));
    const uint64_t empty = f.dataGroup({}, 1, "zz");
    f.chain({unsorted, sorted, empty});
    Opened file(f.bytes(flags));
    ASSERT_NE(file.mdf, nullptr);
    cMdfBlock_DG_t* keptSorted = file.group(1);
    cMdfBlock_DG_t* keptEmpty = file.group(2);
    ASSERT_EQ(cMdf_finalizeAndSort(file.mdf.get(), nullptr), kMdfFinalizeDone);
    ASSERT_EQ(file.groups(), 4u);
    EXPECT_EQ(file.group(0), keptSorted);
    EXPECT_EQ(onlyGroupOf(keptSorted)->cycleCount, flags & 1 ? 3u : 0u);
    // A data group without channel groups keeps its data.
    EXPECT_EQ(file.group(1), keptEmpty);
    EXPECT_EQ(dataOf(cMdfBlock_t_to_cMdfBlock_DT_t_mut(keptEmpty->data)), "zz");
    EXPECT_EQ(onlyGroupOf(file.group(2))->recordId, 1u);
    EXPECT_EQ(onlyGroupOf(file.group(3))->recordId, 2u);
    EXPECT_EQ(cMdfBlock_ID_getFinalizationFlags(file.id()), 0);
  }
}

// Records that cannot be told apart are refused, with a reason that names
// the data group and why; the file stays as it was, unsorted and
// unfinalized.
TEST(cMdf_finalizeAndSort, RefusesRecordsThatCannotBeToldApart) {
  struct Refused {
    std::vector<Group> groups;
    unsigned idSize;
    const char* why;
  };
  for (const Refused& c :
       {Refused{{{1, 2}, {1, 3}},
                1,
                "channel groups 0 and 1 have one record id (1)"},
        Refused{{{1, 2}, {2, 0, 0, true}, {2, 3}},
                2,
                "channel groups 1 and 2 have one record id (2)"},
        Refused{{{1, 2}, {2, 2}}, 0, "2 channel groups and no record ids"}}) {
    SCOPED_TRACE(c.why);
    FileBytes f;
    const uint64_t sorted = f.dataGroup({{7, 1}}, 0, "a");
    const uint64_t at =
        f.dataGroup(c.groups, c.idSize, record(1, c.idSize, "ab"));
    f.chain({sorted, at});
    Opened file(f.bytes(0x21));
    ASSERT_NE(file.mdf, nullptr);
    cMdfBlock_DG_t* unsorted = file.group(1);
    cReason reason{};
    EXPECT_EQ(cMdf_finalizeAndSort(file.mdf.get(), &reason),
              kMdfFinalizeRefused);
    char block[32];
    std::snprintf(block, sizeof block,
                  "DG block at 0x%llX: ", static_cast<unsigned long long>(at));
    EXPECT_EQ(cReason_text(&reason), std::string(block) + c.why);
    ASSERT_EQ(file.groups(), 2u);
    EXPECT_EQ(file.group(1), unsorted);
    EXPECT_EQ(cMdfBlockList_size(&unsorted->channelGroups), c.groups.size());
    EXPECT_EQ(onlyGroupOf(file.group(0))->cycleCount, 0u);
    EXPECT_EQ(cMdfBlock_ID_getFinalizationFlags(file.id()), 0x21);
  }
}

// A read of the records that fails, whichever it is, is reported as a
// failed read (not as records that cannot be told apart) and changes
// nothing.
TEST(cMdf_finalizeAndSort, ReportsAFailedReadAsSuch) {
  FileBytes f;
  f.chain({f.dataGroup(
      {{1, 1}, {2, 2}}, 1,
      record(1, 1, "a") + record(2, 1, "bc") + record(1, 1, "d"))});
  const std::string bytes = f.bytes(0x21);
  // Opens the file with read number `failAt` failing (0: none) and
  // finalizes it; *opening and *reads (when not null) count the reads of
  // the open and of both.
  auto finalize = [&](uint64_t failAt, uint64_t* opening,
                      uint64_t* reads) -> int {
    IOPtr io(
        failingStream(memoryWith(bytes).release(), failAt, 0, reads, nullptr));
    MdfPtr mdf(cMdf_open(io.get()));
    EXPECT_NE(mdf, nullptr);
    if (!mdf) return kMdfFinalizeRefused;
    if (opening != nullptr) *opening = *reads;
    const auto* id = cMdfBlock_t_to_cMdfBlock_ID_t(mdf->root);
    const int result = cMdf_finalizeAndSort(mdf.get(), nullptr);
    if (result != kMdfFinalizeDone) {
      EXPECT_EQ(cMdfBlock_ID_getFinalizationFlags(id), 0x21);
    }
    return result;
  };
  uint64_t opening = 0, reads = 0;
  ASSERT_EQ(finalize(0, &opening, &reads), kMdfFinalizeDone);
  ASSERT_GT(reads, opening);
  for (uint64_t n = opening + 1; n <= reads; ++n)
    EXPECT_EQ(finalize(n, nullptr, nullptr), kMdfFinalizeReadFailed)
        << "read " << n << " of " << reads;
}

// Without a standard unfinalized flag nothing is done, custom flags or
// not; a second run finds nothing left to do.
TEST(cMdf_finalizeAndSort, NothingToDo) {
  for (const uint16_t custom : {uint16_t{0}, uint16_t{1}}) {
    FileBytes f;
    f.chain({f.dataGroup({{1, 1}, {2, 1}}, 1, record(1, 1, "a"))});
    Opened file(f.bytes(0, custom));
    ASSERT_NE(file.mdf, nullptr);
    cMdfBlock_DG_t* unsorted = file.group(0);
    EXPECT_EQ(cMdf_finalizeAndSort(file.mdf.get(), nullptr), kMdfFinalizeDone);
    ASSERT_EQ(file.groups(), 1u);
    EXPECT_EQ(file.group(0), unsorted);
    EXPECT_EQ(cMdfBlock_ID_getFinalizationFlagsCustom(file.id()), custom);
  }
  FileBytes f;
  f.chain({f.dataGroup({{1, 1}, {2, 1}}, 1, record(2, 1, "a"))});
  Opened file(f.bytes(0x61));
  ASSERT_NE(file.mdf, nullptr);
  ASSERT_EQ(cMdf_finalizeAndSort(file.mdf.get(), nullptr), kMdfFinalizeDone);
  const std::vector<Sorted> once = describe(file);
  // Bit 6 (VLSD offsets) is not settled here: the file stays unfinalized.
  EXPECT_EQ(cMdfBlock_ID_getFinalizationFlags(file.id()), 0x40);
  EXPECT_EQ(file.saved().substr(0, 8), "UnFinMF ");
  ASSERT_EQ(cMdf_finalizeAndSort(file.mdf.get(), nullptr), kMdfFinalizeDone);
  EXPECT_EQ(describe(file), once);
  EXPECT_EQ(cMdf_finalizeAndSort(nullptr, nullptr), kMdfFinalizeRefused);
}

// A channel with composition members A (members A1, A2) and B, whose
// data links are A: t2, A1: t1, A2: t2, B: t1. The walk looks at the
// channel, then A, A1, A2, B, and stops at the first match.
TEST(findMatchingCNBlock, WalksTheCompositionDepthFirst) {
  BlockBytes b;
  using Channel = BlockBytes::Channel;
  const uint64_t t1 = b.tx("t1"), t2 = b.tx("t2");
  Channel a{"A"};
  a.composition =
      b.chain({{"A1", 0, 0, 8, 0, 0, 0, t1}, {"A2", 0, 0, 8, 0, 0, 0, t2}});
  a.data = t2;
  Channel root{"root"};
  root.composition = b.chain({a, {"B", 0, 0, 8, 0, 0, 0, t1}});
  Held loaded(mdftest::loadSingle(b, b.cn(root)));
  auto* channel = cMdfBlock_t_to_cMdfBlock_CN_t_mut(loaded.block());
  ASSERT_NE(channel, nullptr);
  auto memberOf = [](const cMdfBlock_CN_t* c, size_t i) {
    return cMdfBlock_t_to_cMdfBlock_CN_t_mut(
        cMdfBlockList_at(&c->composition, i));
  };
  cMdfBlock_CN_t* memberA = memberOf(channel, 0);
  ASSERT_NE(memberA, nullptr);
  cMdfBlock_CN_t* a1 = memberOf(memberA, 0);
  ASSERT_NE(a1, nullptr);
  const cMdfBlock_t* tx1 = a1->data.block;
  const cMdfBlock_t* tx2 = memberA->data.block;
  ASSERT_NE(tx1, nullptr);
  ASSERT_NE(tx2, nullptr);
  EXPECT_EQ(findMatchingCNBlock(channel, tx1), a1);
  EXPECT_EQ(findMatchingCNBlock(channel, tx2), memberA);
  EXPECT_EQ(findMatchingCNBlock(memberOf(channel, 1), tx1),
            memberOf(channel, 1));
  EXPECT_EQ(findMatchingCNBlock(channel, loaded.block()), nullptr);
  EXPECT_EQ(findMatchingCNBlock(nullptr, tx1), nullptr);
  EXPECT_EQ(findMatchingCNBlock(channel, nullptr), nullptr);
}

// The writer's unfinalized file with several kinds of channel groups, VLSD
// groups, conversions and invalidation bytes: after finalizing every data
// group is sorted, counts its records and yields the frames of the truth;
// so does the saved file, which is finalized.
TEST(cMdf_finalizeAndSort, WriterFileReadsTheSameFramesSorted) {
  const auto truth = mf4truth::readTruth("mdf", "finalize.truth");
  auto expectTruth = [&truth](const Opened& file) {
    ASSERT_EQ(file.groups(), truth.size());
    const double start = cMdf_getStartTime(file.mdf.get(), 1);
    for (size_t g = 0; g < truth.size(); ++g) {
      SCOPED_TRACE("data group " + std::to_string(g));
      cMdfBlock_DG_t* dg = file.group(g);
      EXPECT_TRUE(cMdfBlock_DG_isSorted(dg));
      EXPECT_EQ(onlyGroupOf(dg)->cycleCount, truth[g].size());
      cMdfBusMsgContainer* c = cMdfBusMsgContainer_ctor(dg);
      size_t n = 0;
      for (cMdfBusMsgContainerPosition p = cMdfBusMsgContainer_begin(c);
           p.frame && n < truth[g].size(); cMdfBusMsgContainer_next(&p))
        mf4truth::expectFrame(p.result, *p.frame, truth[g][n++], start,
                              cMdf_getStartTimeNs(file.mdf.get()));
      EXPECT_EQ(n, truth[g].size());
      cMdfBusMsgContainer_dtor(c);
    }
  };
  Opened file(mf4truth::fixtureBytes("mdf", "finalize.mf4"));
  ASSERT_NE(file.mdf, nullptr);
  ASSERT_EQ(cMdf_finalizeAndSort(file.mdf.get(), nullptr), kMdfFinalizeDone);
  expectTruth(file);
  const std::string saved = file.saved();
  EXPECT_EQ(saved.substr(0, 8), "MDF     ");
  Opened again(saved);
  ASSERT_NE(again.mdf, nullptr);
  expectTruth(again);
}

// Finalizes the file in `data`, saves it and reopens the result: the
// frames of all its data groups, or -1 when any step fails.
int64_t framesAfterFinalizing(const std::string& data) {
  IOPtr io = memoryWith(data);
  MdfPtr mdf(cMdf_open(io.get()));
  if (!mdf || cMdf_finalizeAndSort(mdf.get(), nullptr) != kMdfFinalizeDone)
    return -1;
  IOPtr out(cIO_memoryAlloc_ctor());
  if (!cMdf_save(mdf.get(), out.get())) return -1;
  MdfPtr again(cMdf_open(out.get()));
  return again ? mdftest::framesOf(again.get()) : -1;
}

// Truncated and damaged copies of the writer's file finalize, save and
// reopen with no more frames than the intact file holds, or fail cleanly.
TEST(cMdf_finalizeAndSort, DamagedFilesFinalizeOrFailCleanly) {
  mdftest::expectDamagedCopiesReadCleanly("finalize", 211, 41, 0x5A,
                                          framesAfterFinalizing);
}

}  // namespace
