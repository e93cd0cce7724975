// Checksumming stream: the register covers exactly the bytes that went
// through, the inner stream is left to its owner.
#include "streams/cIO_crc32.h"

#include <gtest/gtest.h>

#include <vector>

#include "stream_test_util.h"
#include "streams/cIO_scoped.h"
#include "streams/crc32.h"

namespace {

const std::string kCheck = "123456789";
constexpr uint32_t kCheckRegister = 0x340BC6D9u;

class CrcReads : public testing::TestWithParam<std::vector<uint64_t>> {};

TEST_P(CrcReads, RegisterDoesNotDependOnHowBytesAreSplit) {
  IOPtr inner = memoryWith(kCheck);
  IOPtr crc(cIO_crc32_ctor(inner.get()));
  ASSERT_NE(crc, nullptr);
  EXPECT_EQ(cIO_crc32_getCRC(crc.get()), 0xFFFFFFFFu);
  std::string got;
  for (uint64_t n : GetParam()) {
    char buf[16];
    const int64_t r = cIO_read(crc.get(), buf, n);
    ASSERT_GT(r, 0);
    got.append(buf, static_cast<size_t>(r));
  }
  EXPECT_EQ(got, kCheck);
  EXPECT_EQ(cIO_crc32_getCRC(crc.get()), kCheckRegister);
}

INSTANTIATE_TEST_SUITE_P(cIO_crc32, CrcReads,
                         testing::Values(std::vector<uint64_t>{9},
                                         std::vector<uint64_t>{16},
                                         std::vector<uint64_t>{1, 3, 5},
                                         std::vector<uint64_t>(9, 1)));

TEST(cIO_crc32, ReadOfNothingLeavesRegister) {
  IOPtr inner = memoryWith("ab");
  IOPtr crc(cIO_crc32_ctor(inner.get()));
  ASSERT_NE(crc, nullptr);
  char buf[4];
  ASSERT_EQ(cIO_read(crc.get(), buf, 4), 2);
  const uint32_t reg = cIO_crc32_getCRC(crc.get());
  EXPECT_EQ(cIO_read(crc.get(), buf, 4), 0);
  EXPECT_EQ(cIO_crc32_getCRC(crc.get()), reg);
  EXPECT_EQ(~reg, crc_32(reinterpret_cast<const unsigned char*>("ab"), 2));
}

TEST(cIO_crc32, WriteFoldsOnlyAcceptedBytes) {
  IOPtr inner = memoryWith(std::string(4, '.'));
  // The window takes 4 of the 9 bytes offered.
  IOPtr window(cIO_scoped_ctor(inner.get(), 0, 4));
  IOPtr crc(cIO_crc32_ctor(window.get()));
  ASSERT_NE(crc, nullptr);
  EXPECT_EQ(cIO_write(crc.get(), kCheck.data(), kCheck.size()), 4);
  EXPECT_EQ(~cIO_crc32_getCRC(crc.get()),
            crc_32(reinterpret_cast<const unsigned char*>("1234"), 4));
  ASSERT_EQ(cIO_seek(inner.get(), 0, CIO_SEEK_SET), 0);
  EXPECT_EQ(readAll(inner.get()), "1234");
}

TEST(cIO_crc32, NoTellOrSeekAndInnerUntouched) {
  IOPtr inner = memoryWith(kCheck);
  ASSERT_EQ(cIO_seek(inner.get(), 3, CIO_SEEK_SET), 3);
  IOPtr crc(cIO_crc32_ctor(inner.get()));
  ASSERT_NE(crc, nullptr);
  EXPECT_EQ(cIO_seek(crc.get(), 0, CIO_SEEK_SET), CIO_UNSUPPORTED);
  EXPECT_EQ(cIO_tell(crc.get()), CIO_UNSUPPORTED);
  EXPECT_EQ(cIO_tell(inner.get()), 3);
}

TEST(cIO_crc32, CloseLeavesInnerUsable) {
  IOPtr inner = memoryWith(kCheck);
  cIO* crc = cIO_crc32_ctor(inner.get());
  ASSERT_NE(crc, nullptr);
  char buf[4];
  ASSERT_EQ(cIO_read(crc, buf, 4), 4);
  EXPECT_EQ(cIO_close(crc), 0);
  EXPECT_EQ(readAll(inner.get()), "56789");
}

TEST(cIO_crc32, RejectsWhatIsNotAChecksummingStream) {
  EXPECT_EQ(cIO_crc32_ctor(nullptr), nullptr);
  EXPECT_EQ(cIO_crc32_getCRC(nullptr), 0u);
  IOPtr memory = memoryWith("abc");
  EXPECT_EQ(cIO_crc32_getCRC(memory.get()), 0u);
}

}  // namespace
