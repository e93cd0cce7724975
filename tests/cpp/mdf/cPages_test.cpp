#include "mdf/cPages.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

namespace {

// Memory of the test's own, mapped private and writable, with a huge page
// aligned part of `pages` huge pages.
struct Mapping {
  explicit Mapping(uint64_t pages) : size((pages + 1) * kPagesHuge) {
    base = mmap(nullptr, size, PROT_READ | PROT_WRITE,
                MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    const auto at = reinterpret_cast<uintptr_t>(base);
    aligned =
        reinterpret_cast<uint8_t*>((at + kPagesHuge - 1) & ~(kPagesHuge - 1));
  }
  ~Mapping() { munmap(base, size); }
  uint64_t size;
  void* base;
  uint8_t* aligned;
};

TEST(cPagePool, GivesTheFaultedPagesInOrderAndKeepsTheRest) {
  cPagePool* pool = cPagePool_new(3 * kPagesHuge + 4096);
  if (pool == nullptr) GTEST_SKIP() << "pages cannot be moved here";
  EXPECT_EQ(pool->size, 3 * kPagesHuge);  // whole huge pages
  Mapping dest(4);
  std::memset(dest.aligned, 0xAB, 4 * kPagesHuge);
  // Nothing faulted in: nothing to give, and the memory stays.
  EXPECT_EQ(cPagePool_give(pool, dest.aligned, 4 * kPagesHuge), 0u);
  EXPECT_EQ(dest.aligned[0], 0xAB);
  EXPECT_TRUE(cPagePool_faultNext(pool));
  EXPECT_TRUE(cPagePool_faultNext(pool));
  // Not aligned, or less than a huge page: nothing.
  EXPECT_EQ(cPagePool_give(pool, dest.aligned + 4096, 2 * kPagesHuge), 0u);
  EXPECT_EQ(cPagePool_give(pool, dest.aligned, kPagesHuge - 1), 0u);
  EXPECT_EQ(cPagePool_give(nullptr, dest.aligned, kPagesHuge), 0u);
  // Only what was faulted in; the pages read as zeros where they went,
  // and the memory beyond is as it was.
  EXPECT_EQ(cPagePool_give(pool, dest.aligned, 4 * kPagesHuge), 2 * kPagesHuge);
  for (uint64_t at = 0; at < 2 * kPagesHuge; at += 4093)
    ASSERT_EQ(dest.aligned[at], 0) << at;
  EXPECT_EQ(dest.aligned[2 * kPagesHuge], 0xAB);
  std::memset(dest.aligned, 0x5A, 2 * kPagesHuge);  // writable
  // The last page, once faulted in, to another place.
  EXPECT_TRUE(cPagePool_faultNext(pool));
  EXPECT_FALSE(cPagePool_faultNext(pool));  // all in memory
  EXPECT_EQ(cPagePool_give(pool, dest.aligned + 3 * kPagesHuge, kPagesHuge),
            kPagesHuge);
  EXPECT_EQ(dest.aligned[3 * kPagesHuge + 17], 0);
  EXPECT_EQ(dest.aligned[2 * kPagesHuge], 0xAB);
  EXPECT_EQ(dest.aligned[kPagesHuge], 0x5A);
  EXPECT_EQ(cPagePool_give(pool, dest.aligned, kPagesHuge), 0u);  // spent
  cPagePool_dtor(pool);
  EXPECT_EQ(dest.aligned[4 * kPagesHuge - 1], 0);  // still there
}

TEST(cPages, ReleaseGivesBackOnlyWholePagesOfTheSizeAsked) {
  Mapping memory(3);
  uint8_t* at = memory.aligned;
  std::memset(at, 7, 3 * kPagesHuge);
  // From a small page into the first huge page to a small page into the
  // third: in huge pages, only the second goes.
  cPages_release(at + 4096, 2 * kPagesHuge, kPagesHuge);
  EXPECT_EQ(at[4096], 7);
  EXPECT_EQ(at[kPagesHuge - 1], 7);
  EXPECT_EQ(at[kPagesHuge], 0);
  EXPECT_EQ(at[2 * kPagesHuge - 1], 0);
  EXPECT_EQ(at[2 * kPagesHuge], 7);
  // In small pages, every whole one.
  const auto page = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
  cPages_release(at + 100, 3 * page, 0);
  EXPECT_EQ(at[page - 1], 7);
  EXPECT_EQ(at[page], 0);
  EXPECT_EQ(at[3 * page - 1], 0);
  EXPECT_EQ(at[3 * page], 7);
  cPages_release(nullptr, kPagesHuge, 0);
}

TEST(cPagePool, TooSmallOrNull) {
  EXPECT_EQ(cPagePool_new(0), nullptr);
  EXPECT_EQ(cPagePool_new(kPagesHuge - 1), nullptr);
  EXPECT_EQ(cPagePool_new(UINT64_MAX), nullptr);
  EXPECT_FALSE(cPagePool_faultNext(nullptr));
  cPagePool_dtor(nullptr);
  // A pool never faulted in nor given from goes as it came.
  cPagePool_dtor(cPagePool_new(2 * kPagesHuge));
}

}  // namespace

TEST(cPages, BlocksFromAHugePageOnStartOnOne) {
  for (const uint64_t bytes : {uint64_t{0}, uint64_t{1}, kPagesHuge - 1,
                               kPagesHuge, 3 * kPagesHuge + 5}) {
    const cPagesBlock block = cPages_block(bytes);
    ASSERT_NE(block, nullptr) << bytes;
    if (bytes >= kPagesHuge) {
      EXPECT_EQ(reinterpret_cast<uintptr_t>(block.get()) % kPagesHuge, 0u);
    }
    std::memset(block.get(), 0xA5, bytes);  // all of it is the caller's
  }
  EXPECT_EQ(cPages_block(UINT64_MAX - 1), nullptr);
}
