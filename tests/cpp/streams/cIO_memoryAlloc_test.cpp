// Memory stream: growth, reads, seeks, zero padding and the limits of
// positions and allocation.
#include "streams/cIO_memoryAlloc.h"

#include <gtest/gtest.h>

#include <cstdint>

#include "stream_test_util.h"

// The tests below ask for allocations no machine grants and expect a clean
// failure, as the C allocator gives; AddressSanitizer's allocator would
// abort on them instead unless told to return null like malloc does.
#if defined(__SANITIZE_ADDRESS__)
extern "C" const char* __asan_default_options() {
  return "allocator_may_return_null=1";
}
#endif

namespace {

const cIO_memoryAlloc_t* state(const IOPtr& io) {
  return static_cast<const cIO_memoryAlloc_t*>(io.get());
}

TEST(cIO_memoryAlloc, FreshStreamIsEmpty) {
  IOPtr io(cIO_memoryAlloc_ctor());
  ASSERT_NE(io, nullptr);
  EXPECT_EQ(state(io)->buffer, nullptr);
  EXPECT_EQ(cIO_tell(io.get()), 0);
  EXPECT_EQ(cIO_seek(io.get(), 0, CIO_SEEK_END), 0);
  char c;
  EXPECT_EQ(cIO_read(io.get(), &c, 1), 0);
}

TEST(cIO_memoryAlloc, CapacityDoublesFromTwo) {
  IOPtr io(cIO_memoryAlloc_ctor());
  ASSERT_NE(io, nullptr);
  const struct {
    uint64_t write;
    uint64_t capacity;
  } steps[] = {{1, 2}, {3, 4}, {5, 16}, {7, 16}, {1, 32}};
  uint64_t size = 0;
  for (const auto& step : steps) {
    const std::string bytes = countingBytes(step.write);
    ASSERT_EQ(cIO_write(io.get(), bytes.data(), step.write),
              static_cast<int64_t>(step.write));
    size += step.write;
    EXPECT_EQ(state(io)->capacity, step.capacity) << "after size " << size;
    EXPECT_EQ(state(io)->size, size);
  }
}

TEST(cIO_memoryAlloc, WrittenBytesReadBack) {
  IOPtr io = memoryWith("hello world");
  char buf[5];
  ASSERT_EQ(cIO_seek(io.get(), 6, CIO_SEEK_SET), 6);
  EXPECT_EQ(cIO_read(io.get(), buf, 5), 5);
  EXPECT_EQ(std::string(buf, 5), "world");
  EXPECT_EQ(cIO_read(io.get(), buf, 5), 0);
  // Overwriting inside the data keeps the size.
  ASSERT_EQ(cIO_seek(io.get(), 0, CIO_SEEK_SET), 0);
  ASSERT_EQ(cIO_write(io.get(), "J", 1), 1);
  EXPECT_EQ(state(io)->size, 11u);
  ASSERT_EQ(cIO_seek(io.get(), 0, CIO_SEEK_SET), 0);
  EXPECT_EQ(readAll(io.get()), "Jello world");
}

TEST(cIO_memoryAlloc, ShortReadAtEnd) {
  IOPtr io = memoryWith("abcdef");
  char buf[10];
  ASSERT_EQ(cIO_seek(io.get(), 4, CIO_SEEK_SET), 4);
  EXPECT_EQ(cIO_read(io.get(), buf, 10), 2);
  EXPECT_EQ(cIO_tell(io.get()), 6);
  EXPECT_EQ(cIO_read(io.get(), buf, 10), 0);
  EXPECT_EQ(cIO_read(io.get(), nullptr, 10), 0);
}

struct SeekCase {
  int64_t offset;
  int whence;
  int64_t result;  // also the position afterwards, or -1 with it unchanged
};

class MemorySeeks : public testing::TestWithParam<SeekCase> {};

// Over a 5-byte stream of capacity 8, standing at 2.
TEST_P(MemorySeeks, TargetsAndFailures) {
  const SeekCase& c = GetParam();
  IOPtr io = memoryWith("abcde");
  ASSERT_EQ(state(io)->capacity, 8u);
  ASSERT_EQ(cIO_seek(io.get(), 2, CIO_SEEK_SET), 2);
  EXPECT_EQ(cIO_seek(io.get(), c.offset, c.whence), c.result);
  EXPECT_EQ(cIO_tell(io.get()), c.result < 0 ? 2 : c.result);
  EXPECT_EQ(state(io)->size, 5u);
}

INSTANTIATE_TEST_SUITE_P(
    cIO_memoryAlloc, MemorySeeks,
    testing::Values(SeekCase{0, CIO_SEEK_END, 5}, SeekCase{-5, CIO_SEEK_END, 0},
                    SeekCase{3, CIO_SEEK_CUR, 5}, SeekCase{-2, CIO_SEEK_CUR, 0},
                    SeekCase{8, CIO_SEEK_SET, 8}, SeekCase{9, CIO_SEEK_SET, -1},
                    SeekCase{7, CIO_SEEK_CUR, -1},
                    SeekCase{-1, CIO_SEEK_SET, -1},
                    SeekCase{-3, CIO_SEEK_CUR, -1},
                    // Before the start: no wrap-around into a huge padding.
                    SeekCase{-6, CIO_SEEK_END, -1},
                    SeekCase{INT64_MIN, CIO_SEEK_END, -1},
                    SeekCase{INT64_MAX, CIO_SEEK_CUR, -1}, SeekCase{0, 3, -1},
                    SeekCase{0, -1, -1}));

TEST(cIO_memoryAlloc, SeekBeyondCapacityFromStartFails) {
  IOPtr io = memoryWith("a");
  ASSERT_EQ(state(io)->capacity, 2u);
  EXPECT_EQ(cIO_seek(io.get(), 3, CIO_SEEK_SET), -1);
  EXPECT_EQ(cIO_tell(io.get()), 0);
}

TEST(cIO_memoryAlloc, SeekPastEndPadsWithZeros) {
  IOPtr io = memoryWith("abcde");
  EXPECT_EQ(cIO_seek(io.get(), 10, CIO_SEEK_END), 15);
  EXPECT_EQ(state(io)->size, 15u);
  EXPECT_EQ(cIO_tell(io.get()), 15);
  ASSERT_EQ(cIO_seek(io.get(), 0, CIO_SEEK_SET), 0);
  EXPECT_EQ(readAll(io.get()), std::string("abcde") + std::string(10, '\0'));
}

TEST(cIO_memoryAlloc, PaddingLongerThanOnePiece) {
  IOPtr io = memoryWith("x");
  EXPECT_EQ(cIO_seek(io.get(), 1300, CIO_SEEK_END), 1301);
  ASSERT_EQ(cIO_seek(io.get(), 0, CIO_SEEK_SET), 0);
  EXPECT_EQ(readAll(io.get()), "x" + std::string(1300, '\0'));
}

TEST(cIO_memoryAlloc, FailedPaddingLeavesStreamUnchanged) {
  IOPtr io = memoryWith("abcde");
  ASSERT_EQ(cIO_seek(io.get(), 3, CIO_SEEK_SET), 3);
  EXPECT_EQ(cIO_seek(io.get(), INT64_MAX - 5, CIO_SEEK_END), -1);
  EXPECT_EQ(cIO_tell(io.get()), 3);
  EXPECT_EQ(state(io)->size, 5u);
  EXPECT_EQ(state(io)->capacity, 8u);
  EXPECT_EQ(readAll(io.get()), "de");
}

// A seek from the start may stand past the size (within the capacity); the
// bytes skipped read back as zeros once a write extends the size past them,
// whether the write grows the buffer or not.
TEST(cIO_memoryAlloc, GapBeforeAWriteReadsAsZeros) {
  IOPtr io = memoryWith("abc");
  ASSERT_EQ(state(io)->capacity, 4u);
  ASSERT_EQ(cIO_seek(io.get(), 4, CIO_SEEK_SET), 4);
  ASSERT_EQ(cIO_write(io.get(), "Z", 1), 1);
  ASSERT_EQ(cIO_write(io.get(), "0123", 4), 4);
  ASSERT_EQ(state(io)->capacity, 16u);
  ASSERT_EQ(cIO_seek(io.get(), 12, CIO_SEEK_SET), 12);
  ASSERT_EQ(cIO_write(io.get(), "!", 1), 1);
  ASSERT_EQ(cIO_seek(io.get(), 0, CIO_SEEK_SET), 0);
  EXPECT_EQ(readAll(io.get()), std::string("abc\0Z0123\0\0\0!", 13));
}

TEST(cIO_memoryAlloc, WritesThatCannotFitFailWithoutWriting) {
  IOPtr io = memoryWith("abc");
  ASSERT_EQ(cIO_seek(io.get(), 3, CIO_SEEK_SET), 3);
  const char byte = 'x';
  // Position + length past the largest position, and a length no
  // allocator grants; neither touches the source beyond its first byte.
  EXPECT_EQ(cIO_write(io.get(), &byte, UINT64_MAX - 1), -1);
  EXPECT_EQ(cIO_write(io.get(), &byte, uint64_t{1} << 62), -1);
  EXPECT_EQ(cIO_write(io.get(), nullptr, 1), -1);
  EXPECT_EQ(cIO_write(io.get(), &byte, 0), 0);
  EXPECT_EQ(cIO_tell(io.get()), 3);
  EXPECT_EQ(state(io)->size, 3u);
  EXPECT_EQ(state(io)->capacity, 4u);
  EXPECT_EQ(cIO_read(io.get(), nullptr, 1), 0);
  ASSERT_EQ(cIO_seek(io.get(), 0, CIO_SEEK_SET), 0);
  EXPECT_EQ(cIO_read(io.get(), nullptr, 1), -1);
  EXPECT_EQ(readAll(io.get()), "abc");
}

}  // namespace
