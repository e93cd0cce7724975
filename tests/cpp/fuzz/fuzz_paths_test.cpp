// Replays the inputs of the fuzz targets through their reading paths
// (fuzz/fuzz_paths.h): every seed of fuzz/corpus/<target>/ opens, and every
// input fuzzing found (tests/cpp/fixtures/fuzz/<target>/) runs through
// under the sanitizers with the same result twice.
#include "fuzz_paths.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/fuzz_support.h"

namespace {

namespace fs = std::filesystem;

class FuzzPath : public testing::TestWithParam<fuzzsupport::Path> {};

TEST_P(FuzzPath, EverySeedOpens) {
  const fuzzsupport::Path& path = GetParam();
  const auto seeds = fuzzsupport::inputs(fuzzsupport::seedDir(path.target));
  ASSERT_FALSE(seeds.empty());
  for (const fs::path& seed : seeds) {
    SCOPED_TRACE(seed.string());
    uint64_t first = 0, second = 1;
    EXPECT_TRUE(fuzzsupport::run(path, fuzzsupport::bytesOf(seed), &first));
    EXPECT_TRUE(fuzzsupport::run(path, fuzzsupport::bytesOf(seed), &second));
    EXPECT_EQ(first, second);
  }
}

TEST_P(FuzzPath, EveryFindingReplays) {
  const fuzzsupport::Path& path = GetParam();
  for (const fs::path& input :
       fuzzsupport::inputs(fuzzsupport::findingDir(path.target))) {
    SCOPED_TRACE(input.string());
    const std::string bytes = fuzzsupport::bytesOf(input);
    uint64_t first = 0, second = 0;
    const bool opened = fuzzsupport::run(path, bytes, &first);
    EXPECT_EQ(fuzzsupport::run(path, bytes, &second), opened);
    if (opened) {
      EXPECT_EQ(first, second);
    }
  }
}

// The signals path with kFuzzSplit on its seeds (but the one that changes
// layouts with the bytes before the last), each with one of the forms of
// the repeated rows (payloads packed or in slots, copies usable or not):
// it must find the split extraction equal to the whole one (else it
// aborts), and what it extracted shows in the digest.
TEST(FuzzSignals, SplitExtractionEqualsTheWholeOne) {
  const fuzzsupport::Path& path = fuzzsupport::kPaths[4];
  const uint8_t forms[] = {0, kFuzzSlots, kFuzzUnusable,
                           kFuzzSlots | kFuzzUnusable};
  size_t next = 0;
  for (const fs::path& seed :
       fuzzsupport::inputs(fuzzsupport::seedDir(path.target))) {
    SCOPED_TRACE(seed.string());
    std::string bytes = fuzzsupport::bytesOf(seed);
    const auto flags = static_cast<uint8_t>(bytes.back());
    if ((flags & kFuzzLayouts) != 0) continue;
    uint64_t whole = 0, split = 0;
    ASSERT_TRUE(fuzzsupport::run(path, bytes, &whole));
    bytes.back() = static_cast<char>(kFuzzSplitMark);
    bytes += static_cast<char>(flags | kFuzzSplit |
                               forms[next++ % std::size(forms)]);
    EXPECT_TRUE(fuzzsupport::run(path, bytes, &split));
    EXPECT_NE(split, whole);
  }
  EXPECT_GE(next, std::size(forms));
}

// The signals path with kFuzzPrefetchMark on its seeds, reading ahead of
// the plan and keeping the frames of the layouts' ids: it checks every
// row and its number among the frames kept (else it aborts); where a seed
// has frames of other ids, the numbers differ from those of every frame.
TEST(FuzzSignals, ReadingAheadKeepsTheFramesOfTheLayoutsIds) {
  const fuzzsupport::Path& path = fuzzsupport::kPaths[4];
  size_t renumbered = 0;
  for (const fs::path& seed :
       fuzzsupport::inputs(fuzzsupport::seedDir(path.target))) {
    for (const uint8_t overlap : {uint8_t{0}, kFuzzOverlap}) {
      SCOPED_TRACE(seed.string());
      std::string bytes = fuzzsupport::bytesOf(seed);
      const auto flags = static_cast<uint8_t>(bytes.back());
      if ((flags & kFuzzLayouts) != 0) continue;
      bytes.back() =
          static_cast<char>((flags & ~(kFuzzOverlap | kFuzzSplit)) | overlap);
      uint64_t every = 0, kept = 0;
      ASSERT_TRUE(fuzzsupport::run(path, bytes, &every));
      bytes += static_cast<char>(kFuzzPrefetchMark);
      bytes +=
          static_cast<char>((flags & ~kFuzzOverlap) | overlap | kFuzzSplit);
      EXPECT_TRUE(fuzzsupport::run(path, bytes, &kept));
      renumbered += kept != every;
    }
  }
  EXPECT_GT(renumbered, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Targets, FuzzPath, testing::ValuesIn(fuzzsupport::kPaths),
    [](const testing::TestParamInfo<fuzzsupport::Path>& param) {
      return std::string(param.param.target);
    });

}  // namespace
