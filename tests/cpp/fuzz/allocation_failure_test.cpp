// Allocation failures along the fuzz targets' reading paths
// (fuzz/fuzz_paths.h), on their seeds and the plain sample log: for every
// n up to the number of allocations a path makes on a file, the path runs
// again with the n-th failing (support/allocation_failure.h). It must fail
// cleanly: no crash, no exception out of the library, no leak
// (LeakSanitizer), and a path that still reports success must have read
// exactly what it reads without failures.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "mdf/cMdf.h"
#include "mdf/cMdfFinalize.h"
#include "support/allocation_failure.h"
#include "support/fuzz_support.h"

namespace {

class AllocationFailure : public testing::TestWithParam<fuzzsupport::Case> {};

TEST_P(AllocationFailure, EveryAllocationFailsCleanly) {
  const fuzzsupport::Case& c = GetParam();
  const std::string bytes = fuzzsupport::bytesOf(c.file);
  ASSERT_FALSE(bytes.empty());
  std::vector<uint64_t> escaped;  // the n whose exception left the library
  auto run = [&](uint64_t failAt, uint64_t* count) {
    fuzzsupport::Outcome outcome;
    cIO* stream = fuzzsupport::streamOf(bytes);
    if (stream == nullptr) return outcome;
    bool threw = false;
    {
      FailingAllocations failing(failAt);
      try {
        outcome.ok =
            c.path.read(stream, &outcome.digest, fuzzsupport::anyWriter(bytes));
      } catch (...) {
        threw = true;
      }
      if (count != nullptr) *count = failing.count();
    }
    if (threw) escaped.push_back(failAt);
    return outcome;
  };
  uint64_t count = 0;
  const fuzzsupport::Outcome reference = run(0, &count);
  ASSERT_TRUE(reference.ok);
  ASSERT_GT(count, 0u);
  EXPECT_EQ(fuzzsupport::silentDifferences(
                count, reference, [&](uint64_t n) { return run(n, nullptr); }),
            std::vector<uint64_t>{})
      << "failing allocations, of " << count;
  EXPECT_EQ(escaped, std::vector<uint64_t>{}) << "exceptions escaped";
}

// A finalize that runs out of memory leaves the file as it was: read after
// the failed call, it gives exactly what it gave before.
TEST(AllocationFailure, AFailedFinalizeLeavesTheFileAsItWas) {
  for (const auto& seed :
       fuzzsupport::inputs(fuzzsupport::seedDir("finalize"))) {
    SCOPED_TRACE(seed.string());
    const std::string bytes = fuzzsupport::bytesOf(seed);
    const bool anyWriter = fuzzsupport::anyWriter(bytes);
    // Opens the file and finalizes it with allocation n failing; the
    // digest of the file read afterwards where finalizing failed.
    auto finalize = [&](uint64_t n, uint64_t* count, uint64_t* digest) {
      cIO* stream = fuzzsupport::streamOf(bytes);
      cMdf* mdf = cMdf_open(stream, nullptr, anyWriter);
      EXPECT_NE(mdf, nullptr);
      int done = 0;
      {
        FailingAllocations failing(n);
        done = cMdf_finalizeAndSort(mdf, nullptr);
        if (count != nullptr) *count = failing.count();
      }
      if (done != kMdfFinalizeDone) {
        // Not refused: memory ran short (where a compressed block could
        // not be inflated for it, its data stream fails the read, which
        // tells no more).
        EXPECT_TRUE(done == kMdfFinalizeNoMemory ||
                    done == kMdfFinalizeReadFailed)
            << done;
        EXPECT_TRUE(fuzz_readAll(mdf, digest));
      }
      cMdf_close(mdf);
      cIO_close(stream);
      return done;
    };
    uint64_t reference = 0;
    ASSERT_TRUE(fuzzsupport::run(fuzzsupport::kPaths[0], bytes, &reference));
    uint64_t count = 0;
    ASSERT_EQ(finalize(0, &count, nullptr), kMdfFinalizeDone);
    for (uint64_t n = 1; n <= count; ++n) {
      uint64_t digest = reference;
      finalize(n, nullptr, &digest);
      EXPECT_EQ(digest, reference)
          << "failing allocation " << n << " of " << count;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Paths, AllocationFailure,
                         testing::ValuesIn(fuzzsupport::cases()),
                         fuzzsupport::caseName);

}  // namespace
