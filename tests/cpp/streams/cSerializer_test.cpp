// Serializer: byte layouts of every width, the cursor, failures that leave
// the cursor alone, and strings.
#include "streams/cSerializer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>

#include "stream_test_util.h"
#include "streams/cIO_crc32.h"
#include "streams/cIO_scoped.h"

namespace {

struct LayoutCase {
  const char* name;
  std::function<bool(cSerializer*)> write;
  std::string bytes;  // what the write puts on the stream
  std::function<bool(cSerializer*)> readBack;  // reads and compares
};

template <typename T>
std::function<bool(cSerializer*)> expectRead(bool (*read)(cSerializer*, T*),
                                             T want) {
  return [read, want](cSerializer* s) {
    T got{};
    return read(s, &got) && got == want;
  };
}

std::string B(std::initializer_list<unsigned> bytes) {
  std::string s;
  for (unsigned b : bytes) s.push_back(static_cast<char>(b));
  return s;
}

std::vector<LayoutCase> layoutCases() {
  using S = cSerializer*;
  return {
      {"U8", [](S s) { return cSerializer_writeU8(s, 0xAB); }, B({0xAB}),
       expectRead<uint8_t>(cSerializer_readU8, 0xAB)},
      {"I8", [](S s) { return cSerializer_writeI8(s, -2); }, B({0xFE}),
       expectRead<int8_t>(cSerializer_readI8, -2)},
      {"Bool", [](S s) { return cSerializer_writeBool(s, true); }, B({1}),
       expectRead<bool>(cSerializer_readBool, true)},
      {"U16", [](S s) { return cSerializer_writeU16(s, 0x1234); },
       B({0x34, 0x12}), expectRead<uint16_t>(cSerializer_readU16, 0x1234)},
      {"I16", [](S s) { return cSerializer_writeI16(s, -2); }, B({0xFE, 0xFF}),
       expectRead<int16_t>(cSerializer_readI16, -2)},
      {"U32", [](S s) { return cSerializer_writeU32(s, 0x11223344); },
       B({0x44, 0x33, 0x22, 0x11}),
       expectRead<uint32_t>(cSerializer_readU32, 0x11223344)},
      {"I32", [](S s) { return cSerializer_writeI32(s, INT32_MIN); },
       B({0, 0, 0, 0x80}), expectRead<int32_t>(cSerializer_readI32, INT32_MIN)},
      {"F32", [](S s) { return cSerializer_writeF32(s, -1.5f); },
       B({0, 0, 0xC0, 0xBF}), expectRead<float>(cSerializer_readF32, -1.5f)},
      {"U64", [](S s) { return cSerializer_writeU64(s, 0x0102030405060708u); },
       B({8, 7, 6, 5, 4, 3, 2, 1}),
       expectRead<uint64_t>(cSerializer_readU64, 0x0102030405060708u)},
      {"I64", [](S s) { return cSerializer_writeI64(s, -1); },
       std::string(8, '\xFF'), expectRead<int64_t>(cSerializer_readI64, -1)},
      {"F64", [](S s) { return cSerializer_writeF64(s, 1.0); },
       B({0, 0, 0, 0, 0, 0, 0xF0, 0x3F}),
       expectRead<double>(cSerializer_readF64, 1.0)},
      {"Csview", [](S s) { return cSerializer_writeCsview(s, "ab\0c", 4); },
       std::string("ab\0c", 4),
       [](S s) {
         char buf[4];
         return cSerializer_readRaw(s, buf, 4) &&
                std::string(buf, 4) == std::string("ab\0c", 4);
       }},
      {"Cstr", [](S s) { return cSerializer_writeCstr(s, "MDF     "); },
       "MDF     ",
       [](S s) {
         std::string str;
         return cSerializer_readCstr(s, &str, 8) && str == "MDF     ";
       }},
  };
}

class Layouts : public testing::TestWithParam<LayoutCase> {};

TEST_P(Layouts, WriteGivesBytesAndReadsBack) {
  const LayoutCase& c = GetParam();
  IOPtr io = memoryWith("##");
  ASSERT_EQ(cIO_seek(io.get(), 2, CIO_SEEK_SET), 2);
  cSerializer s;
  cSerializer_ctor(&s, io.get());
  ASSERT_TRUE(c.write(&s));
  EXPECT_EQ(s.offset, c.bytes.size());
  ASSERT_EQ(cIO_seek(io.get(), 0, CIO_SEEK_SET), 0);
  EXPECT_EQ(readAll(io.get()), "##" + c.bytes);

  s.offset = 0;
  EXPECT_TRUE(c.readBack(&s));
  EXPECT_EQ(s.offset, c.bytes.size());
}

INSTANTIATE_TEST_SUITE_P(cSerializer, Layouts, testing::ValuesIn(layoutCases()),
                         [](const testing::TestParamInfo<LayoutCase>& param) {
                           return std::string(param.param.name);
                         });

TEST(cSerializer, BigEndianReads) {
  IOPtr io = memoryWith(B({0x00, 0x00, 0x00, 0x22, 0x7F}));
  cSerializer s;
  cSerializer_ctor(&s, io.get());
  uint32_t v = 0;
  ASSERT_TRUE(cSerializer_readU32_BE(&s, &v));
  EXPECT_EQ(v, 34u);
  uint8_t b = 0;
  ASSERT_TRUE(cSerializer_readU8_BE(&s, &b));
  EXPECT_EQ(b, 0x7F);
}

TEST(cSerializer, ReadsAtBindingPositionWhereverTheStreamWent) {
  IOPtr io = memoryWith(countingBytes(200));
  ASSERT_EQ(cIO_seek(io.get(), 100, CIO_SEEK_SET), 100);
  cSerializer s;
  ASSERT_EQ(cSerializer_ctor(&s, io.get()), &s);
  EXPECT_EQ(s.base, 100);
  cIO_seek(io.get(), 7, CIO_SEEK_SET);
  uint8_t v = 0;
  ASSERT_TRUE(cSerializer_readU8(&s, &v));
  EXPECT_EQ(v, 100);
  ASSERT_TRUE(cSerializer_skip(&s, 30));
  uint16_t w = 0;
  ASSERT_TRUE(cSerializer_readU16(&s, &w));
  EXPECT_EQ(w, 131 | (132 << 8));
}

TEST(cSerializer, ShortReadFailsAndKeepsCursor) {
  IOPtr io = memoryWith(countingBytes(5));
  cSerializer s;
  cSerializer_ctor(&s, io.get());
  uint64_t big = 0;
  EXPECT_FALSE(cSerializer_readU64(&s, &big));
  EXPECT_EQ(s.offset, 0u);
  uint32_t v = 0;
  ASSERT_TRUE(cSerializer_readU32(&s, &v));
  EXPECT_EQ(v, 0x03020100u);
  EXPECT_FALSE(cSerializer_readU32(&s, &v));
  EXPECT_EQ(s.offset, 4u);
}

TEST(cSerializer, ReadsOnOverShortReadsOfTheStream) {
  TrickleStream io(countingBytes(16), 1);
  cSerializer s;
  cSerializer_ctor(&s, &io);
  uint64_t v = 0;
  ASSERT_TRUE(cSerializer_readU64(&s, &v));
  EXPECT_EQ(v, 0x0706050403020100u);
  std::string text;
  ASSERT_TRUE(cSerializer_readCstr(&s, &text, 8));
  EXPECT_EQ(text, countingBytes(16).substr(8));
}

TEST(cSerializer, AFailedSeekFailsTheTransfer) {
  // Reads work, seeks fail: nothing may be read from wherever it stands.
  static constexpr cIO_vtable table = {
      [](cIO*, void* dst, uint64_t len) -> int64_t {
        memset(dst, 0xAB, len);
        return static_cast<int64_t>(len);
      },
      nullptr, [](cIO*) -> int64_t { return 0; },
      [](cIO*, int64_t, int) -> int64_t { return -1; }, nullptr};
  cIO stuck{&table};
  cSerializer s;
  cSerializer_ctor(&s, &stuck);
  uint8_t b = 0;
  EXPECT_FALSE(cSerializer_readU8(&s, &b));
  EXPECT_EQ(s.offset, 0u);
}

TEST(cSerializer, ShortWriteFailsAndKeepsCursor) {
  IOPtr inner = memoryWith(std::string(8, '.'));
  IOPtr window(cIO_scoped_ctor(inner.get(), 0, 6));
  cSerializer s;
  cSerializer_ctor(&s, window.get());
  ASSERT_TRUE(cSerializer_writeU32(&s, 1));
  EXPECT_FALSE(cSerializer_writeU32(&s, 2));
  EXPECT_EQ(s.offset, 4u);
  EXPECT_TRUE(cSerializer_writeU16(&s, 3));
}

TEST(cSerializer, NullArgumentsFailWithoutIO) {
  IOPtr io = memoryWith(countingBytes(8));
  cSerializer s;
  cSerializer_ctor(&s, io.get());
  uint32_t v = 7;
  EXPECT_FALSE(cSerializer_readU32(nullptr, &v));
  EXPECT_FALSE(cSerializer_writeU32(nullptr, 1));
  EXPECT_FALSE(cSerializer_skip(nullptr, 1));
  EXPECT_FALSE(cSerializer_readU32_BE(&s, nullptr));
  EXPECT_FALSE(cSerializer_readU16(&s, nullptr));
  EXPECT_FALSE(cSerializer_readRaw(&s, nullptr, 2));
  EXPECT_FALSE(cSerializer_readCstr(&s, nullptr, 2));
  EXPECT_FALSE(cSerializer_writeCstrP(&s, nullptr));
  EXPECT_EQ(s.offset, 0u);
  EXPECT_EQ(v, 7u);

  cSerializer unbound;
  cSerializer_ctor(&unbound, nullptr);
  EXPECT_FALSE(cSerializer_readU32(&unbound, &v));
  EXPECT_EQ(cSerializer_ctor(nullptr, io.get()), nullptr);
}

TEST(cSerializer, EmptyTransfersSucceed) {
  IOPtr io = memoryWith("");
  cSerializer s;
  cSerializer_ctor(&s, io.get());
  EXPECT_TRUE(cSerializer_writeCstr(&s, ""));
  EXPECT_TRUE(cSerializer_writeCsview(&s, "abc", 0));
  const std::string empty;
  EXPECT_TRUE(cSerializer_writeCstrP(&s, &empty));
  EXPECT_EQ(s.offset, 0u);
  EXPECT_EQ(cIO_seek(io.get(), 0, CIO_SEEK_END), 0);
}

TEST(cSerializer, ReadCstrKeepsEveryByteAndAppends) {
  IOPtr io = memoryWith(std::string("ab\0\0cd\0\0", 8));
  cSerializer s;
  cSerializer_ctor(&s, io.get());
  std::string str = "x";
  ASSERT_TRUE(cSerializer_readCstr(&s, &str, 8));
  EXPECT_EQ(str.size(), 9u);
  EXPECT_EQ(str, std::string("xab\0\0cd\0\0", 9));
  EXPECT_STREQ(str.c_str(), "xab");
}

TEST(cSerializer, ReadCstrPastTheEndFailsAndRestores) {
  IOPtr io = memoryWith(countingBytes(100));
  cSerializer s;
  cSerializer_ctor(&s, io.get());
  ASSERT_TRUE(cSerializer_skip(&s, 90));
  std::string str = "keep";
  // A length no stream holds must not turn into an allocation of that size.
  for (uint64_t n : {uint64_t{11}, uint64_t{200000}, uint64_t{1} << 60}) {
    EXPECT_FALSE(cSerializer_readCstr(&s, &str, n)) << n;
    EXPECT_EQ(str, "keep");
    EXPECT_EQ(s.offset, 90u);
  }
  ASSERT_TRUE(cSerializer_readCstr(&s, &str, 10));
  EXPECT_EQ(str, "keep" + countingBytes(100).substr(90));
}

TEST(cSerializer, LongStringCrossesPieces) {
  const std::string bytes = countingBytes(200000);
  IOPtr io = memoryWith(bytes);
  cSerializer s;
  cSerializer_ctor(&s, io.get());
  std::string str;
  ASSERT_TRUE(cSerializer_readCstr(&s, &str, bytes.size()));
  EXPECT_EQ(str, bytes);
  EXPECT_EQ(s.offset, bytes.size());
}

TEST(cSerializer, StreamWithoutTellIsReadInOrder) {
  IOPtr inner = memoryWith(B({0x34, 0x12, 0x78, 0x56}));
  IOPtr crc(cIO_crc32_ctor(inner.get()));
  cSerializer s;
  cSerializer_ctor(&s, crc.get());
  uint16_t a = 0, b = 0;
  ASSERT_TRUE(cSerializer_readU16(&s, &a) && cSerializer_readU16(&s, &b));
  EXPECT_EQ(a, 0x1234);
  EXPECT_EQ(b, 0x5678);
  EXPECT_FALSE(cSerializer_readU16(&s, &a));
}

TEST(cSerializer, CursorBeyondLargestPositionFails) {
  IOPtr io = memoryWith("abcd");
  cSerializer s;
  cSerializer_ctor(&s, io.get());
  ASSERT_TRUE(cSerializer_skip(&s, UINT64_MAX - 1));
  uint16_t v;
  EXPECT_FALSE(cSerializer_readU16(&s, &v));
  EXPECT_FALSE(cSerializer_writeU16(&s, 1));
  EXPECT_EQ(cIO_seek(io.get(), 0, CIO_SEEK_END), 4);
}

}  // namespace
