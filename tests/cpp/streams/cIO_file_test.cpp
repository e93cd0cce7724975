// File stream: modes, cached position, end of file and seek failures.
#include "streams/cIO_file.h"

#include <gtest/gtest.h>

#include "stream_test_util.h"

namespace {

cIO_file_t* asFile(cIO* io) { return static_cast<cIO_file_t*>(io); }

// A scratch file with given content, opened as a file stream.
class cIO_fileStream : public testing::Test {
 protected:
  cIO* open(const std::string& content, int mode) {
    file_ = std::make_unique<ScratchFile>(content);
    io_.reset(cIO_file_open(file_->path(), mode));
    return io_.get();
  }
  std::unique_ptr<ScratchFile> file_;  // outlives the stream
  IOPtr io_;
};

struct ModeCase {
  int mode;
  bool canRead;
  bool canWrite;
  const char* contentAfter;  // after writing "XY" at 0 where allowed
};

class FileModes : public cIO_fileStream,
                  public testing::WithParamInterface<ModeCase> {};

TEST_P(FileModes, OperationsFollowTheMode) {
  const ModeCase& c = GetParam();
  cIO* io = open("abcdef", c.mode);
  ASSERT_NE(io, nullptr);
  char buf[3] = {};
  const int64_t r = cIO_read(io, buf, 3);
  if (c.canRead) {
    EXPECT_EQ(r, 3);
    EXPECT_EQ(std::string(buf, 3), "abc");
  } else {
    EXPECT_EQ(r, CIO_UNSUPPORTED);
  }
  ASSERT_EQ(cIO_seek(io, 0, CIO_SEEK_SET), 0);
  EXPECT_EQ(cIO_write(io, "XY", 2), c.canWrite ? 2 : CIO_UNSUPPORTED);
  EXPECT_EQ(cIO_tell(io), c.canWrite ? 2 : 0);
  io_.reset();
  EXPECT_EQ(file_->content(), c.contentAfter);
}

INSTANTIATE_TEST_SUITE_P(
    cIO_file, FileModes,
    testing::Values(ModeCase{CIO_FILE_READ, true, false, "abcdef"},
                    ModeCase{CIO_FILE_WRITE, false, true, "XY"},
                    ModeCase{CIO_FILE_READWRITE, true, true, "XYcdef"}));

TEST(cIO_file, OpenRejectsBadArguments) {
  ScratchFile file("abc");
  EXPECT_EQ(cIO_file_open(file.path(), 3), nullptr);
  EXPECT_EQ(cIO_file_open(file.path(), -1), nullptr);
  EXPECT_EQ(cIO_file_open(nullptr, CIO_FILE_READ), nullptr);
  ScratchFile missing("", false);
  EXPECT_EQ(cIO_file_open(missing.path(), CIO_FILE_READ), nullptr);
  EXPECT_EQ(file.content(), "abc");
}

TEST(cIO_file, ReadWriteModeCreatesMissingFile) {
  ScratchFile missing("", false);
  IOPtr io(cIO_file_open(missing.path(), CIO_FILE_READWRITE));
  ASSERT_NE(io, nullptr);
  ASSERT_EQ(cIO_write(io.get(), "hello", 5), 5);
  ASSERT_EQ(cIO_seek(io.get(), 1, CIO_SEEK_SET), 1);
  EXPECT_EQ(readAll(io.get()), "ello");
  io.reset();
  EXPECT_EQ(missing.content(), "hello");
}

TEST(cIO_file, ReadWriteModeLeavesUnopenablePathAlone) {
  // A directory exists but cannot be opened as a file: no fallback to
  // creating (and truncating) it.
  EXPECT_EQ(cIO_file_open(testing::TempDir().c_str(), CIO_FILE_READWRITE),
            nullptr);
}

TEST_F(cIO_fileStream, ReadAndWriteInterleaveOnOneStream) {
  cIO* io = open("abcdef", CIO_FILE_READWRITE);
  ASSERT_NE(io, nullptr);
  char buf[2];
  ASSERT_EQ(cIO_read(io, buf, 2), 2);
  ASSERT_EQ(cIO_write(io, "XY", 2), 2);
  ASSERT_EQ(cIO_read(io, buf, 2), 2);
  EXPECT_EQ(std::string(buf, 2), "ef");
  // A seek to the position the stream already holds, then a write.
  ASSERT_EQ(cIO_seek(io, 6, CIO_SEEK_SET), 6);
  ASSERT_EQ(cIO_write(io, "!", 1), 1);
  ASSERT_EQ(cIO_seek(io, 0, CIO_SEEK_SET), 0);
  EXPECT_EQ(readAll(io), "abXYef!");
}

TEST_F(cIO_fileStream, SeekToCachedPositionDoesNotSeekTheFile) {
  cIO* io = open("0123456789", CIO_FILE_READ);
  ASSERT_NE(io, nullptr);
  char buf[4];
  ASSERT_EQ(cIO_read(io, buf, 4), 4);
  // Move the handle behind the stream's back: a seek to the cached
  // position (4) must not touch it, any other seek must.
  ASSERT_EQ(fseek(asFile(io)->file, 0, SEEK_SET), 0);
  EXPECT_EQ(cIO_seek(io, 4, CIO_SEEK_SET), 4);
  ASSERT_EQ(cIO_read(io, buf, 2), 2);
  EXPECT_EQ(std::string(buf, 2), "01");
  EXPECT_EQ(cIO_seek(io, 5, CIO_SEEK_SET), 5);
  ASSERT_EQ(cIO_read(io, buf, 2), 2);
  EXPECT_EQ(std::string(buf, 2), "56");
}

TEST_F(cIO_fileStream, SeekOriginsAndFailures) {
  cIO* io = open("0123456789", CIO_FILE_READ);
  ASSERT_NE(io, nullptr);
  EXPECT_EQ(cIO_seek(io, -3, CIO_SEEK_END), 7);
  EXPECT_EQ(cIO_seek(io, -2, CIO_SEEK_CUR), 5);
  EXPECT_EQ(cIO_seek(io, 1, 3), -1);
  EXPECT_EQ(cIO_seek(io, 1, -1), -1);
  EXPECT_EQ(cIO_seek(io, -1, CIO_SEEK_SET), -1);
  EXPECT_EQ(cIO_tell(io), 5);
}

TEST_F(cIO_fileStream, ReadAtEndOfFileReturnsZero) {
  cIO* io = open("abc", CIO_FILE_READ);
  ASSERT_NE(io, nullptr);
  char buf[8];
  EXPECT_EQ(cIO_read(io, buf, 8), 3);
  EXPECT_EQ(cIO_read(io, buf, 8), 0);
  EXPECT_EQ(cIO_seek(io, 50, CIO_SEEK_SET), 50);
  EXPECT_EQ(cIO_read(io, buf, 8), 0);
}

TEST_F(cIO_fileStream, NullBuffersFail) {
  cIO* io = open("abc", CIO_FILE_READWRITE);
  ASSERT_NE(io, nullptr);
  EXPECT_EQ(cIO_read(io, nullptr, 2), -1);
  EXPECT_EQ(cIO_write(io, nullptr, 2), -1);
  EXPECT_EQ(cIO_tell(io), 0);
}

TEST(cIO_file, CloseReportsFailedFlush) {
  // /dev/full accepts the open and buffered writes, then fails the flush.
  IOPtr io(cIO_file_open("/dev/full", CIO_FILE_WRITE));
  if (!io) GTEST_SKIP() << "/dev/full not available";
  ASSERT_EQ(cIO_write(io.get(), "abc", 3), 3);
  EXPECT_NE(cIO_close(io.release()), 0);
}

}  // namespace
