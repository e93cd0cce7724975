// Window stream: positions relative to the start, clamping at the edges,
// transfers cut at the end.
#include "streams/cIO_scoped.h"

#include <gtest/gtest.h>

#include <cstdint>

#include "stream_test_util.h"

namespace {

TEST(cIO_scoped, ConstructionSeeksInnerToStart) {
  IOPtr inner = memoryWith(countingBytes(100));
  IOPtr w(cIO_scoped_ctor(inner.get(), 28, 96));
  ASSERT_NE(w, nullptr);
  EXPECT_EQ(cIO_tell(inner.get()), 28);
  EXPECT_EQ(cIO_tell(w.get()), 0);
  EXPECT_EQ(cIO_scoped_ctor(nullptr, 0, 0), nullptr);
}

struct WindowSeek {
  int64_t end;  // window end; the start is 28, the inner stream 100 bytes
  int64_t offset;
  int whence;
  int64_t result;
};

class WindowSeeks : public testing::TestWithParam<WindowSeek> {};

TEST_P(WindowSeeks, LandInsideTheWindow) {
  const WindowSeek& c = GetParam();
  IOPtr inner = memoryWith(countingBytes(100));
  IOPtr w(cIO_scoped_ctor(inner.get(), 28, c.end));
  ASSERT_NE(w, nullptr);
  ASSERT_EQ(cIO_seek(w.get(), 10, CIO_SEEK_SET), 10);
  EXPECT_EQ(cIO_seek(w.get(), c.offset, c.whence), c.result);
  if (c.result >= 0) {
    EXPECT_EQ(cIO_tell(w.get()), c.result);
    EXPECT_EQ(cIO_tell(inner.get()), 28 + c.result);
  }
}

INSTANTIATE_TEST_SUITE_P(
    cIO_scoped, WindowSeeks,
    testing::Values(WindowSeek{96, 0, CIO_SEEK_END, 68},
                    WindowSeek{96, 1000, CIO_SEEK_SET, 68},
                    WindowSeek{96, -5, CIO_SEEK_SET, 0},
                    WindowSeek{96, -3, CIO_SEEK_END, 65},
                    WindowSeek{96, 5, CIO_SEEK_CUR, 15},
                    WindowSeek{96, -50, CIO_SEEK_CUR, 0},
                    WindowSeek{96, 1, 3, -1},
                    WindowSeek{96, INT64_MAX, CIO_SEEK_CUR, -1},
                    WindowSeek{-1, 0, CIO_SEEK_END, 72},
                    WindowSeek{0, -2, CIO_SEEK_END, 70},
                    WindowSeek{0, 1000, CIO_SEEK_SET, -1}));

TEST(cIO_scoped, ReadIsCutAtTheEnd) {
  IOPtr inner = memoryWith(countingBytes(100));
  IOPtr w(cIO_scoped_ctor(inner.get(), 28, 96));
  ASSERT_NE(w, nullptr);
  ASSERT_EQ(cIO_seek(w.get(), 60, CIO_SEEK_SET), 60);
  char buf[100];
  ASSERT_EQ(cIO_read(w.get(), buf, 100), 8);
  EXPECT_EQ(std::string(buf, 8), countingBytes(96).substr(88));
  EXPECT_EQ(cIO_read(w.get(), buf, 100), 0);
  EXPECT_EQ(cIO_tell(inner.get()), 96);
}

TEST(cIO_scoped, UnboundedWindowReadsToInnerEnd) {
  IOPtr inner = memoryWith(countingBytes(100));
  IOPtr w(cIO_scoped_ctor(inner.get(), 90, 0));
  ASSERT_NE(w, nullptr);
  EXPECT_EQ(readAll(w.get()), countingBytes(100).substr(90));
}

TEST(cIO_scoped, WriteIsCutAtTheEnd) {
  IOPtr inner = memoryWith(std::string(10, '.'));
  IOPtr w(cIO_scoped_ctor(inner.get(), 2, 6));
  ASSERT_NE(w, nullptr);
  ASSERT_EQ(cIO_seek(w.get(), 2, CIO_SEEK_SET), 2);
  EXPECT_EQ(cIO_write(w.get(), "ABCDE", 5), 2);
  EXPECT_EQ(cIO_write(w.get(), "ABCDE", 5), 0);
  ASSERT_EQ(cIO_seek(inner.get(), 0, CIO_SEEK_SET), 0);
  EXPECT_EQ(readAll(inner.get()), "....AB....");
}

TEST(cIO_scoped, TellFailsWhenInnerStandsPastTheEnd) {
  IOPtr inner = memoryWith(countingBytes(100));
  IOPtr w(cIO_scoped_ctor(inner.get(), 28, 96));
  ASSERT_NE(w, nullptr);
  cIO_seek(inner.get(), 97, CIO_SEEK_SET);
  EXPECT_EQ(cIO_tell(w.get()), -1);
}

TEST(cIO_scoped, NullInnerFailsEveryOperation) {
  IOPtr inner = memoryWith("abc");
  IOPtr w(cIO_scoped_ctor(inner.get(), 0, 0));
  ASSERT_NE(w, nullptr);
  static_cast<cIO_scoped_t*>(w.get())->inner = nullptr;
  char c;
  EXPECT_EQ(cIO_read(w.get(), &c, 1), -1);
  EXPECT_EQ(cIO_write(w.get(), &c, 1), -1);
  EXPECT_EQ(cIO_tell(w.get()), -1);
  EXPECT_EQ(cIO_seek(w.get(), 0, CIO_SEEK_SET), -1);
}

TEST(cIO_scoped, CloseLeavesInnerOpen) {
  IOPtr inner = memoryWith("abcdef");
  ASSERT_EQ(cIO_close(cIO_scoped_ctor(inner.get(), 2, 4)), 0);
  ASSERT_EQ(cIO_seek(inner.get(), 0, CIO_SEEK_SET), 0);
  EXPECT_EQ(readAll(inner.get()), "abcdef");
}

}  // namespace
