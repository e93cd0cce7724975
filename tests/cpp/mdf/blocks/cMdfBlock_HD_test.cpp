#include "mdf/blocks/cMdfBlock_HD.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "mdf/blocks/cMdfBlock_FH.h"
#include "mdf/blocks/cMdfBlock_ID.h"
#include "support/container_test_support.h"
#include "support/mdf_block_support.h"

namespace {

using namespace std::string_literals;

constexpr uint64_t kLinks = 64 + 24;  // file position of the HD's links

const cMdfBlock_HD_t* headerOf(cMdfBlockRef root) {
  const cMdfBlock_ID_t* id = cMdfBlock_t_to_cMdfBlock_ID_t(root);
  return id ? cMdfBlock_t_to_cMdfBlock_HD_t(id->header) : nullptr;
}

TEST(cMdfBlock_HD, LoadsTimesAndComment) {
  for (const char* kind : {"##MD", "##TX"}) {
    Mf4Image image = minimalFile(/*hdComment=*/400);
    image.put(64 + 24 + 48, hdData(1'600'000'000'000'000'000, -60, 60));
    image.block(400, kind, {}, textData("<HDcomment/>"));
    IOPtr io = image.stream();
    Held root(cMdfBlock_loadTree(io.get()));
    const cMdfBlock_HD_t* hd = headerOf(root.get());
    ASSERT_NE(hd, nullptr) << kind;
    EXPECT_EQ(image.bytes.substr(144, 4), "\xC4\xFF\x3C\x00"s);
    EXPECT_EQ(hd->startTime, 1'600'000'000'000'000'000u);
    EXPECT_EQ(hd->timeZoneOffset, -60);
    EXPECT_EQ(hd->daylightOffset, 60);
    EXPECT_EQ(hd->timeFlags, 2);
    EXPECT_EQ(hd->timeQuality, 10);
    EXPECT_EQ(hd->flags, 1);
    EXPECT_EQ(hd->startAngle, 0.5);
    EXPECT_EQ(hd->startDistance, 12.25);
    EXPECT_STREQ(cMdfBlock_HD_getComment(hd).data(), "<HDcomment/>");
    EXPECT_EQ(cMdfBlockList_size(&hd->dataGroups), 0u);
  }
}

TEST(cMdfBlock_HD, WithoutCommentTheViewIsEmpty) {
  Mf4Image image = minimalFile();
  IOPtr io = image.stream();
  Held root(cMdfBlock_loadTree(io.get()));
  ASSERT_NE(headerOf(root.get()), nullptr);
  EXPECT_EQ(cMdfBlock_HD_getComment(headerOf(root.get())), "");
  EXPECT_EQ(cMdfBlock_HD_getComment(nullptr), "");
}

TEST(cMdfBlock_HD, RefusedFiles) {
  struct Case {
    const char* what;
    uint64_t at;        // file position to overwrite
    std::string bytes;  // with these
    std::vector<std::string> log;
  };
  const Case cases[] = {
      {"7 links", 64 + 16, u64(7), {}},
      {"channel hierarchy",
       kLinks + 16,
       u64(600),
       {"Unsupported parameter present in file"}},
      {"attachment",
       kLinks + 24,
       u64(600),
       {"Unsupported parameter present in file"}},
      {"event",
       kLinks + 32,
       u64(600),
       {"Unsupported parameter present in file"}},
      // The file history is loaded first: its complaint alone is heard.
      {"attachment and foreign history",
       kLinks + 24,
       u64(600) + zeros(40) + "##FH",
       {"Unsupported MF4 file"}},
  };
  for (const Case& c : cases) {
    Mf4Image image = minimalFile();
    image.put(c.at, c.bytes);
    if (std::string(c.what).find("foreign") != std::string::npos)
      image.block(224, "##MD", {}, textData("<FHcomment/>"));
    LogCapture log;
    IOPtr io = image.stream();
    EXPECT_EQ(cMdfBlock_loadTree(io.get()).block, nullptr) << c.what;
    EXPECT_EQ(log.lines(), c.log) << c.what;
  }
}

TEST(cMdfBlock_HD, DefaultZeroesTheRecord) {
  cMdfBlock_HD_t record;
  memset(static_cast<void*>(&record), 0xA5, sizeof record);
  EXPECT_EQ(cMdfBlock_HD_default(&record), &record);
  EXPECT_EQ(record.type, 0u);
  EXPECT_EQ(record.comment.block, nullptr);
  EXPECT_EQ(cMdfBlockList_size(&record.fileHistory), 0u);
  EXPECT_EQ(record.startDistance, 0.0);
}

// The file as the save pass lays it out: identification, header block,
// file history chain with its comment behind each first reached member,
// then the header's comment.
Mf4Image canonicalFile(bool twoHistories) {
  const uint64_t second = 312;  // behind the first history and its comment
  const uint64_t comment = twoHistories ? second + 56 : second;
  Mf4Image image;
  image.put(0, idData("UnFinMF ", 4, 0));
  image.block(64, "##HD", {0, twoHistories ? second : 168, 0, 0, 0, comment},
              hdData(1'700'000'000'000'000'000, 120, -60));
  image.block(168, "##FH", {0, 224}, fhData(1));
  image.block(224, "##MD", {}, textData(kToolComment));
  if (twoHistories) image.block(second, "##FH", {168, 224}, fhData(2));
  image.block(comment, "##TX", {}, textData("recorded on the bench"));
  return image;
}

TEST(cMdfBlock_HD, WholeFileGoldenRoundTrip) {
  const Mf4Image image = canonicalFile(false);
  IOPtr in = image.stream();
  Held root(cMdfBlock_loadTree(in.get()));
  ASSERT_NE(root.block(), nullptr);
  IOPtr out(cIO_memoryAlloc_ctor());
  ASSERT_TRUE(cMdfBlock_saveTree(root.get(), out.get()));
  EXPECT_EQ(contentOf(out.get()), image.bytes);
}

// A save keeps every chain in its order: loading the output gives the same
// chain, and saving that again gives the same bytes.
TEST(cMdfBlock_HD, ChainsKeepTheirOrderThroughSaveAndReload) {
  const Mf4Image image = canonicalFile(true);
  std::string bytes = image.bytes;
  std::vector<std::string> rounds;
  for (int round = 0; round < 2; ++round) {
    IOPtr in = memoryWith(bytes);
    Held root(cMdfBlock_loadTree(in.get()));
    const cMdfBlock_HD_t* hd = headerOf(root.get());
    ASSERT_NE(hd, nullptr);
    ASSERT_EQ(cMdfBlockList_size(&hd->fileHistory), 2u);
    const auto* first =
        cMdfBlock_t_to_cMdfBlock_FH_t(cMdfBlockList_at(&hd->fileHistory, 0));
    EXPECT_EQ(first->time, 2u) << round;
    IOPtr out(cIO_memoryAlloc_ctor());
    ASSERT_TRUE(cMdfBlock_saveTree(root.get(), out.get()));
    bytes = contentOf(out.get());
    rounds.push_back(bytes);
  }
  EXPECT_EQ(rounds[0].size(), image.bytes.size());
  EXPECT_EQ(rounds[1], rounds[0]);
}

}  // namespace
