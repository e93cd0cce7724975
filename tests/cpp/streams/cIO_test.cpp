// Dispatch and the helpers built on the stream interface.
#include "streams/cIO.h"

#include <gtest/gtest.h>

#include "stream_test_util.h"
#include "streams/cIO_crc32.h"
#include "streams/cIO_file.h"

namespace {

TEST(cIO, EmptySlotsGiveUnsupportedAndDoNothing) {
  static const cIO_vtable empty = {nullptr, nullptr, nullptr, nullptr, nullptr};
  cIO io{&empty};
  char buf[4] = {'a', 'b', 'c', 'd'};
  EXPECT_EQ(cIO_read(&io, buf, 4), CIO_UNSUPPORTED);
  EXPECT_EQ(cIO_write(&io, buf, 4), CIO_UNSUPPORTED);
  EXPECT_EQ(cIO_tell(&io), CIO_UNSUPPORTED);
  EXPECT_EQ(cIO_seek(&io, 0, CIO_SEEK_SET), CIO_UNSUPPORTED);
  EXPECT_EQ(cIO_close(&io), 0);
  EXPECT_EQ(std::string(buf, 4), "abcd");
}

TEST(cIO, NullStreamFailsInsteadOfCrashing) {
  char buf[1];
  EXPECT_EQ(cIO_read(nullptr, buf, 1), -1);
  EXPECT_EQ(cIO_write(nullptr, buf, 1), -1);
  EXPECT_EQ(cIO_tell(nullptr), -1);
  EXPECT_EQ(cIO_seek(nullptr, 0, CIO_SEEK_SET), -1);
  EXPECT_EQ(cIO_close(nullptr), 0);
  EXPECT_EQ(cIO_getSize(nullptr), -1);
}

TEST(cIO, PushAndPopLocation) {
  IOPtr io = memoryWith(countingBytes(20));
  ASSERT_EQ(cIO_seek(io.get(), 7, CIO_SEEK_SET), 7);
  int64_t slot = -5;
  EXPECT_FALSE(cIO_pushLocation(nullptr, &slot));
  EXPECT_FALSE(cIO_pushLocation(io.get(), nullptr));
  EXPECT_EQ(slot, -5);
  ASSERT_TRUE(cIO_pushLocation(io.get(), &slot));
  EXPECT_EQ(slot, 7);
  cIO_seek(io.get(), 15, CIO_SEEK_SET);
  EXPECT_TRUE(cIO_popLocation(io.get(), &slot));
  EXPECT_EQ(cIO_tell(io.get()), 7);
  EXPECT_FALSE(cIO_popLocation(io.get(), nullptr));
  // A location the stream cannot reach is reported.
  const int64_t beyond = 1000;
  EXPECT_FALSE(cIO_popLocation(io.get(), &beyond));
}

TEST(cIO, SeekToSucceedsOnlyWhereTheStreamArrives) {
  IOPtr io = memoryWith(countingBytes(20));
  EXPECT_TRUE(cIO_seekTo(io.get(), 12));
  EXPECT_EQ(cIO_tell(io.get()), 12);
  EXPECT_TRUE(cIO_seekTo(io.get(), 0));
  EXPECT_EQ(cIO_tell(io.get()), 0);
  // Beyond the end the memory stream does not get there.
  EXPECT_FALSE(cIO_seekTo(io.get(), 1000));
  // Not representable as a stream offset: not sought at all.
  ASSERT_TRUE(cIO_seekTo(io.get(), 5));
  EXPECT_FALSE(cIO_seekTo(io.get(), uint64_t{INT64_MAX} + 1));
  EXPECT_FALSE(cIO_seekTo(io.get(), UINT64_MAX));
  EXPECT_EQ(cIO_tell(io.get()), 5);
  EXPECT_FALSE(cIO_seekTo(nullptr, 0));
  // A stream without seek does not arrive anywhere.
  RecordingStream rec;
  EXPECT_FALSE(cIO_seekTo(&rec, 0));
}

TEST(cIO, PopOfANegativeSlotFails) {
  IOPtr io = memoryWith(countingBytes(4));
  const int64_t negative = -1;
  EXPECT_FALSE(cIO_popLocation(io.get(), &negative));
}

TEST(cIO, PushFailsOnStreamWithoutTell) {
  RecordingStream rec;
  int64_t slot = 3;
  EXPECT_FALSE(cIO_pushLocation(&rec, &slot));
  EXPECT_EQ(slot, 3);
  EXPECT_EQ(cIO_getSize(&rec), -1);
}

TEST(cIO, GetSizeKeepsPosition) {
  ScratchFile file(countingBytes(300));
  IOPtr io(cIO_file_open(file.path(), CIO_FILE_READ));
  ASSERT_NE(io, nullptr);
  ASSERT_EQ(cIO_seek(io.get(), 10, CIO_SEEK_SET), 10);
  EXPECT_EQ(cIO_getSize(io.get()), 300);
  EXPECT_EQ(cIO_tell(io.get()), 10);
  char c;
  ASSERT_EQ(cIO_read(io.get(), &c, 1), 1);
  EXPECT_EQ(c, 10);
}

TEST(cIO, GetSizeFailsWhenStreamCannotSeek) {
  IOPtr inner = memoryWith("abc");
  IOPtr crc(cIO_crc32_ctor(inner.get()));
  EXPECT_EQ(cIO_getSize(crc.get()), -1);
}

TEST(cIO, GetSizeFailsWhenTheStreamCannotGoBack) {
  // Seeks to the end work, seeks anywhere else fail.
  static constexpr cIO_vtable table = {
      nullptr, nullptr, [](cIO*) -> int64_t { return 7; },
      [](cIO*, int64_t offset, int whence) -> int64_t {
        return whence == CIO_SEEK_END && offset == 0 ? 100 : -1;
      },
      nullptr};
  cIO oneWay{&table};
  EXPECT_EQ(cIO_getSize(&oneWay), -1);
}

TEST(cIO, CatCopiesInPiecesOf4096) {
  const std::string bytes = countingBytes(10000);
  IOPtr src = memoryWith(bytes);
  RecordingStream dst;
  cIO_cat(src.get(), &dst);
  EXPECT_EQ(dst.writes, (std::vector<uint64_t>{4096, 4096, 1808}));
  EXPECT_EQ(dst.data, bytes);
  EXPECT_EQ(cIO_tell(src.get()), 10000);
}

TEST(cIO, CatOfEmptySourceWritesNothing) {
  IOPtr src = memoryWith("");
  RecordingStream dst;
  cIO_cat(src.get(), &dst);
  EXPECT_TRUE(dst.writes.empty());
}

TEST(cIO, ReadFullReadsOnOverShortReads) {
  const std::string bytes = countingBytes(100);
  for (const uint64_t most : {1u, 7u}) {
    TrickleStream io(bytes, most);
    std::string out(100, '\0');
    EXPECT_EQ(cIO_readFull(&io, out.data(), out.size()), 100);
    EXPECT_EQ(out, bytes);
    EXPECT_GE(io.reads, 100 / most);
  }
}

TEST(cIO, ReadFullStopsAtTheEndOfData) {
  TrickleStream io(countingBytes(100), 7);
  std::string out(150, '\0');
  EXPECT_EQ(cIO_readFull(&io, out.data(), out.size()), 100);
  EXPECT_EQ(out.substr(0, 100), countingBytes(100));
  EXPECT_EQ(cIO_readFull(&io, out.data(), 1), 0);
}

TEST(cIO, ReadFullReportsAFailureAfterPartialData) {
  TrickleStream io(countingBytes(100), 7, 50);
  std::string out(100, '\0');
  EXPECT_LT(cIO_readFull(&io, out.data(), out.size()), 0);
  EXPECT_EQ(out.substr(0, 50), countingBytes(50));
  EXPECT_LT(cIO_readFull(nullptr, out.data(), 1), 0);
}

TEST(cIO, ReadFullRefusesAStreamClaimingMoreThanAsked) {
  struct Boasting : cIO {
    static int64_t read(cIO*, void*, uint64_t len) {
      return static_cast<int64_t>(len) + 1;
    }
  };
  static constexpr cIO_vtable table = {Boasting::read, nullptr, nullptr,
                                       nullptr, nullptr};
  Boasting io;
  io.vtable = &table;
  char out[8];
  EXPECT_LT(cIO_readFull(&io, out, sizeof out), 0);
}

}  // namespace
