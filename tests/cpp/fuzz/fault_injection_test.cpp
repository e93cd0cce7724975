// Read and seek failures along the fuzz targets' reading paths
// (fuzz/fuzz_paths.h), on their seeds and the plain sample log: for every
// n up to the number of reads (seeks) a path makes on a file, the path
// runs again with the n-th failing. It must fail cleanly: no
// crash, no exception, no leak (LeakSanitizer), and a path that still
// reports success must have read exactly what it reads without failures.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/fault_injection.h"
#include "support/fuzz_support.h"

namespace {

class FaultInjection : public testing::TestWithParam<fuzzsupport::Case> {
 protected:
  void SetUp() override {
    bytes_ = fuzzsupport::bytesOf(GetParam().file);
    ASSERT_FALSE(bytes_.empty());
  }
  std::string bytes_;
};

TEST_P(FaultInjection, EveryReadAndSeekFailsCleanly) {
  const fuzzsupport::Case& c = GetParam();
  auto run = [&](uint64_t failReadAt, uint64_t failSeekAt, uint64_t* reads,
                 uint64_t* seeks) {
    fuzzsupport::Outcome outcome;
    cIO* stream = failingStream(fuzzsupport::streamOf(bytes_), failReadAt,
                                failSeekAt, reads, seeks);
    outcome.ok =
        c.path.read(stream, &outcome.digest, fuzzsupport::anyWriter(bytes_));
    return outcome;
  };
  uint64_t reads = 0, seeks = 0;
  const fuzzsupport::Outcome reference = run(0, 0, &reads, &seeks);
  ASSERT_TRUE(reference.ok);
  ASSERT_GT(reads, 0u);
  EXPECT_EQ(fuzzsupport::silentDifferences(
                reads, reference,
                [&](uint64_t n) { return run(n, 0, nullptr, nullptr); }),
            std::vector<uint64_t>{})
      << "failing reads, of " << reads;
  EXPECT_EQ(fuzzsupport::silentDifferences(
                seeks, reference,
                [&](uint64_t n) { return run(0, n, nullptr, nullptr); }),
            std::vector<uint64_t>{})
      << "failing seeks, of " << seeks;
}

INSTANTIATE_TEST_SUITE_P(Paths, FaultInjection,
                         testing::ValuesIn(fuzzsupport::cases()),
                         fuzzsupport::caseName);

}  // namespace
