#include "mdf/blocks/cMdfBlock_FH.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/container_test_support.h"
#include "support/mdf_block_support.h"

namespace {

// Two file history blocks, 168 -> 400, with their comments at 224 and 500.
Mf4Image twoHistories(const std::string& firstComment,
                      const std::string& secondComment,
                      const char* secondKind = "##MD") {
  Mf4Image image = minimalFile();
  image.block(168, "##FH", {400, 224}, fhData());
  image.block(224, "##MD", {}, textData(firstComment));
  image.block(400, "##FH", {0, 500}, fhData());
  image.block(500, secondKind, {}, textData(secondComment));
  return image;
}

struct Outcome {
  bool opens;
  std::vector<std::string> log;
};

Outcome loadTree(const Mf4Image& image) {
  LogCapture log;
  IOPtr io = image.stream();
  Held root(cMdfBlock_loadTree(io.get()));
  return {root.block() != nullptr, log.lines()};
}

const std::vector<std::string> kRefused = {"Unsupported MF4 file"};

TEST(cMdfBlock_FH, EveryHistoryMustNameTheTool) {
  const std::string ok = "<FHcomment><tool_id>QX</tool_id></FHcomment>";
  struct Case {
    const char* what;
    std::string second;
    bool opens;
  };
  const Case cases[] = {
      {"inside a larger XML text", kToolComment, true},
      {"leading blank", "<tool_id> QX</tool_id>", false},
      {"lower case", "<tool_id>qx</tool_id>", false},
      {"after a zero byte", std::string("<a/>\0", 5) + ok, false},
      {"another tool", "<tool_id>QY</tool_id>", false},
  };
  for (const Case& c : cases) {
    const Outcome outcome = loadTree(twoHistories(ok, c.second));
    EXPECT_EQ(outcome.opens, c.opens) << c.what;
    EXPECT_EQ(outcome.log, c.opens ? std::vector<std::string>{} : kRefused)
        << c.what;
  }
}

// The last block is checked first; its failure stops the load before the
// first block's comment is even loaded (which would be heard of here).
TEST(cMdfBlock_FH, TheLastIsCheckedFirst) {
  Mf4Image image = twoHistories("", "<tool_id>nope</tool_id>");
  image.block(224, "##EV", {}, zeros(8));
  EXPECT_EQ(loadTree(image).log, kRefused);
}

TEST(cMdfBlock_FH, CommentMustBeMetadata) {
  Mf4Image text = twoHistories(kToolComment, kToolComment, "##TX");
  EXPECT_EQ(loadTree(text).log, kRefused);
  Mf4Image none = minimalFile();
  none.put(168 + 32, u64(0));
  EXPECT_EQ(loadTree(none).log, kRefused);
}

TEST(cMdfBlock_FH, ThreeLinksFailSilently) {
  Mf4Image image = minimalFile();
  image.block(168, "##FH", {0, 224, 0}, fhData());
  const Outcome outcome = loadTree(image);
  EXPECT_FALSE(outcome.opens);
  EXPECT_TRUE(outcome.log.empty());
}

TEST(cMdfBlock_FH, LoadsItsFields) {
  Mf4Image image = minimalFile();
  image.put(168 + 40, u64(77) + u16(0xFFC4) + u16(60) + u8(3));
  Held fh(loadBlock(image, 168));
  const cMdfBlock_FH_t* history = cMdfBlock_t_to_cMdfBlock_FH_t(fh.get());
  ASSERT_NE(history, nullptr);
  EXPECT_EQ(history->time, 77u);
  EXPECT_EQ(history->timeZoneOffset, -60);
  EXPECT_EQ(history->daylightOffset, 60);
  EXPECT_EQ(history->timeFlags, 3);
  EXPECT_EQ(history->comment.block->fileOffset, 224u);
}

// The reserved bytes are written as zeros, whatever the output held.
TEST(cMdfBlock_FH, SaveWritesReservedZeros) {
  Mf4Image image = minimalFile();
  image.put(168 + 53, "\x7F\x7F\x7F");
  Held fh(loadBlock(image, 168));
  ASSERT_NE(fh.block(), nullptr);
  IOPtr out = memoryWith(std::string(400, '\xFF'));
  cMdfBlockSaveContext context;
  context.stream = out.get();
  context.nextFree = 168;
  ASSERT_EQ(cMdfBlock_save(fh.block(), &context, nullptr), 1);
  const std::string bytes = contentOf(out.get());
  EXPECT_EQ(bytes.substr(168, 56),
            "##FH" + zeros(4) + u64(56) + u64(2) + u64(0) + u64(224) +
                image.bytes.substr(168 + 40, 13) + zeros(3));
  EXPECT_EQ(bytes.substr(224, 88), image.bytes.substr(224, 88));
}

}  // namespace
