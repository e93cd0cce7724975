#include "mdf/blocks/cMdfBlock.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "mdf/blocks/cMdfBlock_CC.h"
#include "mdf/blocks/cMdfBlock_CG.h"
#include "mdf/blocks/cMdfBlock_CN.h"
#include "mdf/blocks/cMdfBlock_DG.h"
#include "mdf/blocks/cMdfBlock_FH.h"
#include "mdf/blocks/cMdfBlock_HD.h"
#include "mdf/blocks/cMdfBlock_ID.h"
#include "mdf/blocks/cMdfBlock_MD.h"
#include "mdf/blocks/cMdfBlock_SI.h"
#include "mdf/blocks/cMdfBlock_TX.h"
#include "support/container_test_support.h"
#include "support/mdf_block_support.h"

namespace {

const cMdfBlock_HD_t* headerOf(cMdfBlockRef root) {
  const cMdfBlock_ID_t* id = cMdfBlock_t_to_cMdfBlock_ID_t(root);
  return id ? cMdfBlock_t_to_cMdfBlock_HD_t(id->header) : nullptr;
}

std::vector<uint64_t> offsetsOf(const cMdfBlockList* list) {
  std::vector<uint64_t> offsets;
  for (size_t i = 0; i < cMdfBlockList_size(list); ++i)
    offsets.push_back(cMdfBlockList_at(list, i).block->fileOffset);
  return offsets;
}

// A file whose header block links a file history chain at the given
// offsets (in chain order), all sharing one tool comment at 64 + 104.
Mf4Image fileWithHistory(const std::vector<uint64_t>& chain) {
  Mf4Image image;
  image.put(0, idData());
  image.block(64, "##HD", {0, chain.empty() ? 0 : chain[0], 0, 0, 0, 0},
              hdData());
  image.block(168, "##MD", {}, textData(kToolComment));
  for (size_t i = 0; i < chain.size(); ++i)
    image.block(chain[i], "##FH",
                {i + 1 < chain.size() ? chain[i + 1] : 0, 168}, fhData(i));
  return image;
}

// ---------------------------------------------------------------------------
// Handles and lists

TEST(cMdfBlockRef, SharedCountDestroysWithTheLastHolder) {
  cMdfBlockRef a = cMdfBlockRef_make(cMdfBlock_TX_ctor());
  ASSERT_NE(a.block, nullptr);
  cMdfBlockRef b = cMdfBlockRef_copy(a);
  EXPECT_EQ(b.block, a.block);
  EXPECT_EQ(cMdfBlockRef_useCount(a), 2);
  cMdfBlockRef_drop(&a);
  EXPECT_EQ(a.block, nullptr);
  EXPECT_EQ(cMdfBlockRef_useCount(b), 1);
  cMdfBlockRef_drop(&b);  // the leak checker sees the block go here
  EXPECT_EQ(cMdfBlockRef_useCount(b), 0);
  EXPECT_EQ(cMdfBlockRef_copy(b).block, nullptr);
  cMdfBlockRef_drop(nullptr);
}

TEST(cMdfBlockRef, DroppingADeepGraphDoesNotRecurse) {
  // 200,000 conversions, each the inverse of the one before: the first
  // drop releases them all, one dtor after the other.
  cMdfBlockRef chain = {};
  for (int i = 0; i < 200000; ++i) {
    cMdfBlock_CC_t* cc = cMdfBlock_CC_ctor();
    ASSERT_NE(cc, nullptr);
    cc->inverse = chain;
    chain = cMdfBlockRef_make(cc);
  }
  cMdfBlockRef_drop(&chain);
}

TEST(cMdfBlockList, DoubleEndedAndOwning) {
  cMdfBlockList list = {};
  std::vector<cMdfBlock_t*> blocks;
  for (int i = 0; i < 5; ++i) {
    cMdfBlockRef ref = cMdfBlockRef_make(cMdfBlock_TX_ctor());
    blocks.push_back(ref.block);
    // 2, 0 at the front, the others at the back: 4 2 0 1 3 after growing.
    ASSERT_TRUE(i % 2 == 0 ? cMdfBlockList_pushFront(&list, ref)
                           : cMdfBlockList_pushBack(&list, ref));
  }
  ASSERT_EQ(cMdfBlockList_size(&list), 5u);
  const int order[] = {4, 2, 0, 1, 3};
  for (size_t i = 0; i < 5; ++i)
    EXPECT_EQ(cMdfBlockList_at(&list, i).block, blocks[order[i]]) << i;
  EXPECT_EQ(cMdfBlockList_at(&list, 5).block, nullptr);
  cMdfBlockList_clear(&list);
  EXPECT_EQ(cMdfBlockList_size(&list), 0u);
  EXPECT_FALSE(
      cMdfBlockList_pushFront(nullptr, cMdfBlockRef_make(cMdfBlock_TX_ctor())));
}

// ---------------------------------------------------------------------------
// Loading

TEST(cMdfBlock_loadTree, LoadsTheMinimalFile) {
  Mf4Image image = minimalFile();
  IOPtr io = image.stream();
  Held root(cMdfBlock_loadTree(io.get()));
  const cMdfBlock_HD_t* hd = headerOf(root.get());
  ASSERT_NE(hd, nullptr);
  EXPECT_EQ(hd->fileOffset, 64u);
  EXPECT_EQ(cMdfBlockList_size(&hd->dataGroups), 0u);
  ASSERT_EQ(cMdfBlockList_size(&hd->fileHistory), 1u);
  EXPECT_EQ(cMdfBlockList_at(&hd->fileHistory, 0).block->fileOffset, 168u);
}

TEST(cMdfBlock_loadTree, ChainsLoadInChainOrderSharingTheirComment) {
  Mf4Image image = fileWithHistory({400, 256, 600});
  IOPtr io = image.stream();
  Held root(cMdfBlock_loadTree(io.get()));
  const cMdfBlock_HD_t* hd = headerOf(root.get());
  ASSERT_NE(hd, nullptr);
  EXPECT_EQ(offsetsOf(&hd->fileHistory),
            (std::vector<uint64_t>{400, 256, 600}));
  const cMdfBlock_FH_t* first =
      cMdfBlock_t_to_cMdfBlock_FH_t(cMdfBlockList_at(&hd->fileHistory, 0));
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(cMdfBlockRef_useCount(first->comment), 3);
  for (size_t i = 0; i < 3; ++i)
    EXPECT_EQ(cMdfBlockRef_useCount(cMdfBlockList_at(&hd->fileHistory, i)), 1);
}

TEST(cMdfBlock_load, SharedBlocksLoadOnce) {
  Mf4Image image;
  image.block(64, "##SI", {200, 0, 0}, u8(2) + u8(2) + zeros(6));
  image.block(128, "##SI", {200, 0, 200}, u8(2) + u8(3) + zeros(6));
  image.block(200, "##TX", {}, textData("CAN1"));
  IOPtr io = image.stream();
  cMdfBlockCache cache;
  Held a(cMdfBlock_loadAtSingle(io.get(), 64, &cache));
  Held b(cMdfBlock_loadAtSingle(io.get(), 128, &cache));
  const cMdfBlock_SI_t* sa = cMdfBlock_t_to_cMdfBlock_SI_t(a.get());
  const cMdfBlock_SI_t* sb = cMdfBlock_t_to_cMdfBlock_SI_t(b.get());
  ASSERT_TRUE(sa && sb);
  EXPECT_EQ(sa->name.block, sb->name.block);
  EXPECT_EQ(sb->comment.block, sb->name.block);
  EXPECT_EQ(cMdfBlockRef_useCount(sa->name), 3);
}

// A channel chain whose two channels link one conversion: the chain comes
// in chain order and the conversion is loaded once, held twice.
TEST(cMdfBlock_load, TwoChannelsShareTheirConversion) {
  Mf4Image image;
  image.block(64, "##CN", {400, 0, 0, 0, 600, 0, 0, 0}, zeros(72));
  image.block(400, "##CN", {0, 0, 0, 0, 600, 0, 0, 0}, zeros(72));
  image.block(600, "##CC", {0, 0, 0, 0}, zeros(24));
  IOPtr io = image.stream();
  cMdfBlockCache cache;
  cMdfBlockList channels = {};
  ASSERT_TRUE(cMdfBlock_loadAt(io.get(), 64, &cache, &channels));
  EXPECT_EQ(offsetsOf(&channels), (std::vector<uint64_t>{64, 400}));
  auto* cc = cMdfBlock_t_to_cMdfBlock_CC_t(cache.entries.at(600).ref);
  ASSERT_NE(cc, nullptr);
  EXPECT_EQ(cMdfBlockRef_useCount(cache.entries.at(600).ref), 2);
  cMdfBlockList_clear(&channels);
}

TEST(cMdfBlock_load, NoLinkIsNothingAndNoFailure) {
  Mf4Image image = minimalFile();
  IOPtr io = image.stream();
  cMdfBlockCache cache;
  cMdfBlockList list = {};
  EXPECT_FALSE(cMdfBlock_loadAt(io.get(), MDF_NO_LINK, &cache, &list));
  EXPECT_EQ(cMdfBlock_loadAtSingle(io.get(), MDF_NO_LINK, &cache).block,
            nullptr);
  EXPECT_FALSE(cache.failed);
  EXPECT_EQ(cMdfBlockList_size(&list), 0u);
  // A chain needs a list.
  EXPECT_FALSE(cMdfBlock_loadAt(io.get(), 168, &cache, nullptr));
  Held tx(cMdfBlock_loadAtSingle(io.get(), 224, &cache));
  EXPECT_NE(tx.block(), nullptr);
}

TEST(cMdfBlock_load, ALinkToAnUnknownKindFailsTheTree) {
  for (const char* id : {"##AT", "##LD", "##EV"}) {
    LogCapture log;
    Mf4Image image = minimalFile(/*hdComment=*/400);
    image.block(400, id, {}, zeros(16));
    IOPtr io = image.stream();
    EXPECT_EQ(cMdfBlock_loadTree(io.get()).block, nullptr) << id;
    EXPECT_EQ(log.lines(),
              std::vector<std::string>{"Unable to load block header for type " +
                                       std::string(id)});
  }
}

TEST(cMdfBlock_loadTree, RootsMustBeOfTheirKinds) {
  Mf4Image notId = minimalFile();
  notId.block(0, "##TX", {}, zeros(40));
  Mf4Image notHd = minimalFile();
  notHd.block(64, "##TX", {}, zeros(80));
  Mf4Image truncated = minimalFile();
  truncated.bytes.resize(200);
  for (const Mf4Image* image : {&notId, &notHd, &truncated}) {
    LogCapture log;
    IOPtr io = image->stream();
    EXPECT_EQ(cMdfBlock_loadTree(io.get()).block, nullptr);
  }
}

// A block that claims more than it can hold, or more than the stream has,
// fails before anything is built for it.
TEST(cMdfBlock_load, ImplausibleSizesFail) {
  struct Case {
    const char* what;
    Mf4Image image;
  };
  std::vector<Case> cases;
  Mf4Image base;
  base.put(0, zeros(64));
  cases.push_back({"links beyond the length", base});
  cases.back().image.block(64, "##SI", {0, 0, 0}, zeros(8), /*length=*/40);
  cases.push_back({"fields beyond the length", base});
  cases.back().image.block(64, "##SI", {0, 0, 0}, zeros(8), /*length=*/50);
  cases.push_back({"block beyond the stream", base});
  cases.back().image.block(64, "##SI", {0, 0, 0}, zeros(8), /*length=*/4096);
  cases.push_back({"an exabyte of text", base});
  cases.back().image.block(64, "##TX", {}, "abc", uint64_t{1} << 60);
  cases.push_back({"2^61 links", base});
  cases.back().image.block(64, "##TX", {}, "abc");
  cases.back().image.put(80, u64(uint64_t{1} << 61));
  for (Case& c : cases) {
    IOPtr io = c.image.stream();
    cMdfBlockCache cache;
    EXPECT_EQ(cMdfBlock_loadAtSingle(io.get(), 64, &cache).block, nullptr)
        << c.what;
    EXPECT_TRUE(cache.failed);
  }
}

TEST(cMdfBlock_load, CyclesFail) {
  struct Case {
    const char* what;
    std::vector<uint64_t> history;  // file history chain, in chain order
    uint64_t fhNextOverride;        // next link of the last FH (0: none)
    uint64_t hdComment;
  };
  const Case cases[] = {
      {"chain back to its start", {400, 500, 600}, 400, 0},
      {"chain back to its middle", {400, 500, 600}, 500, 0},
      {"block linking itself", {400}, 400, 0},
      {"comment linking its parent", {400}, 0, 64},
  };
  for (const Case& c : cases) {
    LogCapture log;
    Mf4Image image = fileWithHistory(c.history);
    image.put(c.history.back() + 24, u64(c.fhNextOverride));
    image.put(64 + 24 + 40, u64(c.hdComment));
    IOPtr io = image.stream();
    EXPECT_EQ(cMdfBlock_loadTree(io.get()).block, nullptr) << c.what;
    ASSERT_FALSE(log.lines().empty()) << c.what;
    EXPECT_EQ(log.lines()[0].rfind("Could not parse block at offset ", 0), 0u)
        << c.what;
  }
}

// A data group whose channel group chain lists a VLSD group (500) in front
// of the frame group (700) whose channel (900) takes its values from it:
//   0 ID, 64 HD, 168 FH, 224 MD, 400 DG, 500 CG (VLSD), 700 CG, 900 CN
Mf4Image vlsdGroupFirst() {
  Mf4Image image = minimalFile();
  image.put(64 + 24, u64(400));  // the header's first data group
  image.block(400, "##DG", {0, 500, 0, 0}, u8(1) + zeros(7));
  image.block(500, "##CG", {700, 0, 0, 0, 0, 0}, cgData(2, /*VLSD*/ 1));
  image.block(700, "##CG", {0, 900, 0, 0, 0, 0}, cgData(1, 0, 8));
  image.block(900, "##CN", {0, 0, 0, 0, 0, 500, 0, 0},
              cnData(/*VLSD*/ 1, /*bytes*/ 10, 0, 0, 64));
  return image;
}

// The frame group's channel reaches the VLSD group through its data link
// while the chain's loader is still at the frame group: the VLSD group
// loads there, and the chain keeps its order.
TEST(cMdfBlock_loadTree, AVlsdGroupMayComeBeforeItsFrameGroup) {
  Mf4Image image = vlsdGroupFirst();
  IOPtr io = image.stream();
  Held root(cMdfBlock_loadTree(io.get()));
  const cMdfBlock_HD_t* hd = headerOf(root.get());
  ASSERT_NE(hd, nullptr);
  const cMdfBlock_DG_t* dg =
      cMdfBlock_t_to_cMdfBlock_DG_t(cMdfBlockList_at(&hd->dataGroups, 0));
  ASSERT_NE(dg, nullptr);
  EXPECT_EQ(offsetsOf(&dg->channelGroups), (std::vector<uint64_t>{500, 700}));
  const cMdfBlockRef vlsd = cMdfBlockList_at(&dg->channelGroups, 0);
  const cMdfBlock_CG_t* frames =
      cMdfBlock_t_to_cMdfBlock_CG_t(cMdfBlockList_at(&dg->channelGroups, 1));
  ASSERT_NE(frames, nullptr);
  const cMdfBlock_CN_t* channel =
      cMdfBlock_t_to_cMdfBlock_CN_t(cMdfBlockList_at(&frames->channels, 0));
  ASSERT_NE(channel, nullptr);
  EXPECT_EQ(channel->data.block, vlsd.block);
  EXPECT_EQ(cMdfBlockRef_useCount(vlsd), 2);  // the chain and the data link
}

// Cycles through that file still fail, whichever link closes them.
TEST(cMdfBlock_loadTree, CyclesAroundAVlsdGroupFail) {
  struct Case {
    const char* what;
    uint64_t at;  // link position to overwrite
    uint64_t target;
  };
  const Case cases[] = {
      {"frame group's next link back to the VLSD group", 700 + 24, 500},
      {"VLSD group's next link to itself", 500 + 24, 500},
      {"channel's data link to its own group", 900 + 24 + 8 * 5, 700},
      {"VLSD group's first channel is the frame group's", 500 + 24 + 8, 900},
  };
  for (const Case& c : cases) {
    Mf4Image image = vlsdGroupFirst();
    image.put(c.at, u64(c.target));
    LogCapture log;
    IOPtr io = image.stream();
    EXPECT_EQ(cMdfBlock_loadTree(io.get()).block, nullptr) << c.what;
    ASSERT_FALSE(log.lines().empty()) << c.what;
    EXPECT_EQ(log.lines()[0].rfind("Could not parse block at offset ", 0), 0u)
        << c.what;
  }
}

// A block is a member of one chain: two compositions naming one chain, or
// a chain running on into another, would let channels expand into more
// decoding rules than the file has channels.
TEST(cMdfBlock_load, ABlockBelongsToOneChain) {
  struct Case {
    const char* what;
    std::vector<uint64_t> compositions;  // of the channels at 64 and 400
    uint64_t nextOf600;
    uint64_t shared;  // the offset the log names
  };
  const Case cases[] = {
      {"two compositions of one chain", {600, 600}, 0, 600},
      {"a composition running into the outer chain", {600, 0}, 400, 400},
  };
  for (const Case& c : cases) {
    Mf4Image image;
    image.block(64, "##CN", {400, c.compositions[0], 0, 0, 0, 0, 0, 0},
                cnData());
    image.block(400, "##CN", {0, c.compositions[1], 0, 0, 0, 0, 0, 0},
                cnData());
    image.block(600, "##CN", {c.nextOf600, 0, 0, 0, 0, 0, 0, 0}, cnData());
    IOPtr io = image.stream();
    LogCapture log;
    cMdfBlockCache cache;
    cMdfBlockList channels = {};
    EXPECT_FALSE(cMdfBlock_loadAt(io.get(), 64, &cache, &channels)) << c.what;
    EXPECT_EQ(log.lines(),
              std::vector<std::string>{"Could not parse block at offset " +
                                       std::to_string(c.shared)})
        << c.what;
    cMdfBlockList_clear(&channels);
  }
}

TEST(cMdfBlock_load, ConversionCyclesFail) {
  Mf4Image image;
  image.block(64, "##CC", {0, 0, 0, 200}, zeros(24));
  image.block(200, "##CC", {0, 0, 0, 64}, zeros(24));
  IOPtr io = image.stream();
  LogCapture log;
  cMdfBlockCache cache;
  EXPECT_EQ(cMdfBlock_loadAtSingle(io.get(), 64, &cache).block, nullptr);
  EXPECT_EQ(log.lines(),
            std::vector<std::string>{"Could not parse block at offset 64"});
}

// Single links nest at most MDF_BLOCK_MAX_DEPTH deep: a file that nests
// conversions deeper fails instead of growing the stack.
TEST(cMdfBlock_load, NestingIsBounded) {
  for (uint64_t depth : {uint64_t{MDF_BLOCK_MAX_DEPTH}, uint64_t{100000}}) {
    Mf4Image image;
    for (uint64_t i = 0; i < depth; ++i)
      image.block(64 + 80 * i, "##CC",
                  {0, 0, 0, i + 1 < depth ? 64 + 80 * (i + 1) : 0}, zeros(24));
    IOPtr io = image.stream();
    LogCapture log;
    cMdfBlockCache cache;
    Held cc(cMdfBlock_loadAtSingle(io.get(), 64, &cache));
    EXPECT_EQ(cc.block() != nullptr, depth == MDF_BLOCK_MAX_DEPTH) << depth;
  }
}

// 200,000 file history blocks load by a loop; the last is checked first
// and a failing one stops the load before those in front of it.
TEST(cMdfBlock_loadTree, LongChainsLoadWithoutRecursion) {
  constexpr uint64_t kCount = 200000;
  std::vector<uint64_t> chain;
  for (uint64_t i = 0; i < kCount; ++i) chain.push_back(1024 + 56 * i);
  Mf4Image image = fileWithHistory(chain);
  {
    IOPtr io = image.stream();
    Held root(cMdfBlock_loadTree(io.get()));
    const cMdfBlock_HD_t* hd = headerOf(root.get());
    ASSERT_NE(hd, nullptr);
    EXPECT_EQ(offsetsOf(&hd->fileHistory), chain);
  }
  // The first block lacks the tool, a later one links an unknown block:
  // only the later one is heard of.
  image.block(chain[0], "##FH", {chain[1], 800}, fhData());
  image.block(800, "##MD", {}, textData("<FHcomment/>"));
  image.block(chain[kCount / 2], "##FH", {chain[kCount / 2 + 1], 900},
              fhData());
  image.block(900, "##EV", {}, zeros(8));
  LogCapture log;
  IOPtr io = image.stream();
  EXPECT_EQ(cMdfBlock_loadTree(io.get()).block, nullptr);
  EXPECT_EQ(log.lines(), std::vector<std::string>{
                             "Unable to load block header for type ##EV"});
}

// Files of the project's writer: the tree loads with what the writer put
// in; a save and a reload give it back with the chain in its order, and
// saving again gives the same bytes.
TEST(cMdfBlock_loadTree, WriterFiles) {
  std::string bytes = blockFixture("history.mf4");
  std::vector<std::string> saved;
  for (int round = 0; round < 3; ++round) {
    IOPtr in = memoryWith(bytes);
    Held root(cMdfBlock_loadTree(in.get()));
    const cMdfBlock_HD_t* hd = headerOf(root.get());
    ASSERT_NE(hd, nullptr) << round;
    EXPECT_EQ(cMdfBlock_ID_getFinalizationFlags(
                  cMdfBlock_t_to_cMdfBlock_ID_t(root.get())),
              5);
    EXPECT_EQ(hd->startTime, uint64_t{1714564800} * 1'000'000'000);
    EXPECT_EQ(hd->timeZoneOffset, 60);
    EXPECT_EQ(hd->daylightOffset, 60);
    EXPECT_STREQ(cMdfBlock_HD_getComment(hd).data(),
                 "<HDcomment><TX>bench run</TX></HDcomment>");
    std::vector<uint64_t> times;
    for (size_t i = 0; i < cMdfBlockList_size(&hd->fileHistory); ++i)
      times.push_back(
          cMdfBlock_t_to_cMdfBlock_FH_t(cMdfBlockList_at(&hd->fileHistory, i))
              ->time /
          1'000'000'000u);
    EXPECT_EQ(times, (std::vector<uint64_t>{1, 2, 3})) << round;
    IOPtr out(cIO_memoryAlloc_ctor());
    ASSERT_TRUE(cMdfBlock_saveTree(root.get(), out.get()));
    bytes = contentOf(out.get());
    saved.push_back(bytes);
  }
  EXPECT_EQ(saved[1], saved[0]);
  EXPECT_EQ(saved[2], saved[0]);

  LogCapture log;
  IOPtr foreign = memoryWith(blockFixture("foreign.mf4"));
  EXPECT_EQ(cMdfBlock_loadTree(foreign.get()).block, nullptr);
  EXPECT_EQ(log.lines(), std::vector<std::string>{"Unsupported MF4 file"});
}

// ---------------------------------------------------------------------------
// Comparison and casts

TEST(cMdfBlock, CompareAndCast) {
  Held tx(cMdfBlockRef_make(cMdfBlock_TX_ctor()));
  Held hd(cMdfBlockRef_make(cMdfBlock_HD_ctor()));
  Held hd2(cMdfBlockRef_make(cMdfBlock_HD_ctor()));
  hd2.block()->fileOffset = 8;
  EXPECT_EQ(cMdfBlock_cmp(tx.block(), hd.block()), 1);
  EXPECT_EQ(cMdfBlock_cmp(hd.block(), tx.block()), -1);
  EXPECT_EQ(cMdfBlock_cmp(nullptr, hd.block()), 1);
  EXPECT_EQ(cMdfBlock_cmp(hd.block(), nullptr), -1);
  EXPECT_EQ(cMdfBlock_cmp(hd.block(), hd.block()), 0);
  EXPECT_EQ(cMdfBlock_cmp(nullptr, nullptr), 0);
  EXPECT_EQ(cMdfBlock_cmp(hd.block(), hd2.block()), -1);  // by file offset

  EXPECT_EQ(cMdfBlock_t_to_cMdfBlock_HD_t(tx.block()), nullptr);
  EXPECT_EQ(cMdfBlock_t_to_cMdfBlock_HD_t(tx.get()), nullptr);
  EXPECT_EQ(cMdfBlock_t_to_cMdfBlock_HD_t_mut(cMdfBlockRef{}), nullptr);
  cMdfBlock_HD_t* view = cMdfBlock_t_to_cMdfBlock_HD_t_mut(hd.get());
  ASSERT_NE(view, nullptr);
  EXPECT_EQ(cMdfBlock_HD_t_to_cMdfBlock_t(view), hd.block());
  EXPECT_EQ(cMdfBlock_t_to_cMdfBlock_TX_t(tx.block()),
            static_cast<const void*>(tx.block()));
}

// ---------------------------------------------------------------------------
// Saving

TEST(cMdfBlock_save, SharedBlocksOnceChainsInOrder) {
  Held root(cMdfBlockRef_make(cMdfBlock_ID_ctor()));
  auto* id = cMdfBlock_t_to_cMdfBlock_ID_t_mut(root.get());
  cMdfBlockRef hdRef = cMdfBlockRef_make(cMdfBlock_HD_ctor());
  id->header = hdRef;
  auto* hd = cMdfBlock_t_to_cMdfBlock_HD_t_mut(hdRef);
  cMdfBlock_MD_t* md = cMdfBlock_MD_ctor();
  ASSERT_TRUE(cMdfBlockText_set(md, kToolComment));
  cMdfBlockRef comment = cMdfBlockRef_make(md);
  for (int i = 0; i < 3; ++i) {
    cMdfBlock_FH_t* fh = cMdfBlock_FH_ctor();
    fh->comment = cMdfBlockRef_copy(comment);
    ASSERT_TRUE(
        cMdfBlockList_pushBack(&hd->fileHistory, cMdfBlockRef_make(fh)));
  }
  cMdfBlockRef_drop(&comment);

  IOPtr out(cIO_memoryAlloc_ctor());
  ASSERT_TRUE(cMdfBlock_saveTree(root.get(), out.get()));
  const std::string bytes = contentOf(out.get());
  const uint64_t mdLength = 24 + kToolComment.size() + 1;
  const uint64_t mdEnd = (224 + mdLength + 7) / 8 * 8;
  // Written from the last member to the first, so the chain on disk runs
  // in list order; the comment right after the first written, once.
  const uint64_t fh[] = {mdEnd + 56, mdEnd, 168};
  EXPECT_EQ(bytes.size(), mdEnd + 2 * 56);
  EXPECT_EQ(bytes.substr(64 + 24 + 8, 8), u64(fh[0]));  // HD: first FH
  EXPECT_EQ(bytes.substr(fh[0] + 24, 16), u64(fh[1]) + u64(224));
  EXPECT_EQ(bytes.substr(fh[1] + 24, 16), u64(fh[2]) + u64(224));
  EXPECT_EQ(bytes.substr(fh[2] + 24, 16), u64(0) + u64(224));
  EXPECT_EQ(bytes.substr(224, 8), "##MD" + zeros(4));
  EXPECT_EQ(bytes.substr(224 + mdLength),
            zeros(mdEnd - 224 - mdLength) + bytes.substr(mdEnd));
}

TEST(cMdfBlock_save, NullsAndRepeats) {
  cMdfBlockSaveContext context;
  IOPtr out(cIO_memoryAlloc_ctor());
  context.stream = out.get();
  EXPECT_EQ(cMdfBlock_save(nullptr, &context, nullptr), -1);
  Held tx(cMdfBlockRef_make(cMdfBlock_TX_ctor()));
  EXPECT_EQ(cMdfBlock_save(tx.block(), nullptr, nullptr), -1);
  EXPECT_EQ(cMdfBlock_save(tx.block(), &context, nullptr), 1);
  EXPECT_EQ(context.nextFree, 32u);
  EXPECT_EQ(cMdfBlock_save(tx.block(), &context, nullptr), 1);
  EXPECT_EQ(context.nextFree, 32u);
  // The identification block must come first, the header block at 64.
  Held id(cMdfBlockRef_make(cMdfBlock_ID_ctor()));
  Held hd(cMdfBlockRef_make(cMdfBlock_HD_ctor()));
  EXPECT_EQ(cMdfBlock_save(id.block(), &context, nullptr), 0);
  context.failed = false;
  EXPECT_EQ(cMdfBlock_save(hd.block(), &context, nullptr), 0);
  EXPECT_FALSE(cMdfBlock_saveTree(cMdfBlockRef{}, out.get()));
}

TEST(cMdfBlock_save, NestingIsBounded) {
  cMdfBlockRef chain = {};
  for (uint32_t i = 0; i < 2 * MDF_BLOCK_MAX_DEPTH; ++i) {
    cMdfBlock_CC_t* cc = cMdfBlock_CC_ctor();
    cc->inverse = chain;
    chain = cMdfBlockRef_make(cc);
  }
  Held held(chain);
  cMdfBlockSaveContext context;
  IOPtr out(cIO_memoryAlloc_ctor());
  context.stream = out.get();
  EXPECT_EQ(cMdfBlock_save(held.block(), &context, nullptr), 0);
}

}  // namespace
