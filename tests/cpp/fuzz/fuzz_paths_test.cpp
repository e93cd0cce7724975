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

INSTANTIATE_TEST_SUITE_P(
    Targets, FuzzPath, testing::ValuesIn(fuzzsupport::kPaths),
    [](const testing::TestParamInfo<fuzzsupport::Path>& param) {
      return std::string(param.param.target);
    });

}  // namespace
