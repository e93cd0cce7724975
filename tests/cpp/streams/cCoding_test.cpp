// Fixed-width little- and big-endian coding in byte buffers.
#include "streams/cCoding.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

namespace {

const uint8_t kBytes[8] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};

TEST(cCoding, LoadsLittleEndianOfEveryWidth) {
  EXPECT_EQ(cCoding_loadLE<uint8_t>(kBytes), 0x01u);
  EXPECT_EQ(cCoding_loadLE<uint16_t>(kBytes), 0x2301u);
  EXPECT_EQ(cCoding_loadLE<uint32_t>(kBytes), 0x67452301u);
  EXPECT_EQ(cCoding_loadLE<uint64_t>(kBytes), 0xEFCDAB8967452301ull);
}

TEST(cCoding, LoadsBigEndian) {
  EXPECT_EQ(cCoding_loadBE<uint16_t>(kBytes), 0x0123u);
  EXPECT_EQ(cCoding_loadBE<uint32_t>(kBytes), 0x01234567u);
  EXPECT_EQ(cCoding_loadBE<uint64_t>(kBytes), 0x0123456789ABCDEFull);
}

TEST(cCoding, StoresLittleEndianAndLoadsBack) {
  uint8_t b[8] = {};
  cCoding_storeLE<uint64_t>(b, 0xEFCDAB8967452301ull);
  EXPECT_EQ(0, memcmp(b, kBytes, 8));
  uint8_t c[4] = {0xFF, 0xFF, 0xFF, 0xFF};
  cCoding_storeLE<uint16_t>(c, 0xBEEF);
  EXPECT_EQ(c[0], 0xEF);
  EXPECT_EQ(c[1], 0xBE);
  EXPECT_EQ(c[2], 0xFF);  // nothing beyond the width
  cCoding_storeLE<uint32_t>(c, 0x12345678u);
  EXPECT_EQ(cCoding_loadLE<uint32_t>(c), 0x12345678u);
}

TEST(cCoding, VariableWidthTakesTheLowBytes) {
  EXPECT_EQ(cCoding_loadLEn(kBytes, 0), 0u);
  EXPECT_EQ(cCoding_loadLEn(kBytes, 1), 0x01u);
  EXPECT_EQ(cCoding_loadLEn(kBytes, 3), 0x452301u);
  EXPECT_EQ(cCoding_loadLEn(kBytes, 8), 0xEFCDAB8967452301ull);
  uint8_t b[8] = {0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA};
  cCoding_storeLEn(b, 0x0102030405060708ull, 2);
  EXPECT_EQ(b[0], 0x08);
  EXPECT_EQ(b[1], 0x07);
  EXPECT_EQ(b[2], 0xAA);
  cCoding_storeLEn(b, 0x0102030405060708ull, 8);
  EXPECT_EQ(cCoding_loadLEn(b, 8), 0x0102030405060708ull);
}

TEST(cCoding, CheckedLoadRefusesWhatDoesNotFitBeforeTheLimit) {
  uint64_t v = 7;
  EXPECT_EQ(cCoding_getLE(kBytes, kBytes + 8, 4, &v), kBytes + 4);
  EXPECT_EQ(v, 0x67452301u);
  EXPECT_EQ(cCoding_getLE(kBytes + 4, kBytes + 8, 4, &v), kBytes + 8);
  EXPECT_EQ(v, 0xEFCDAB89u);
  EXPECT_EQ(cCoding_getLE(kBytes + 8, kBytes + 8, 0, &v), kBytes + 8);
  EXPECT_EQ(v, 0u);

  v = 7;
  EXPECT_EQ(cCoding_getLE(kBytes + 5, kBytes + 8, 4, &v), nullptr);
  EXPECT_EQ(cCoding_getLE(kBytes, kBytes + 8, 9, &v), nullptr);
  EXPECT_EQ(cCoding_getLE(kBytes + 4, kBytes, 1, &v), nullptr);
  EXPECT_EQ(cCoding_getLE(nullptr, kBytes, 1, &v), nullptr);
  EXPECT_EQ(cCoding_getLE(kBytes, kBytes + 8, 1, nullptr), nullptr);
  EXPECT_EQ(v, 7u);
}

}  // namespace
