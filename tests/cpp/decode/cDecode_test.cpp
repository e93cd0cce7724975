#include "decode/cDecode.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <vector>

namespace {

// Exactly-sized heap copy, so that AddressSanitizer sees any read past the
// end (a vector may hold spare capacity).
std::unique_ptr<uint8_t[]> exactCopy(const std::vector<uint8_t>& bytes) {
  std::unique_ptr<uint8_t[]> copy(new uint8_t[bytes.size()]);
  if (!bytes.empty()) std::memcpy(copy.get(), bytes.data(), bytes.size());
  return copy;
}

uint64_t rawBits(const std::vector<uint8_t>& bytes, uint64_t start,
                 uint64_t count, bool littleEndian) {
  const auto copy = exactCopy(bytes);
  return cDecode_getRawBits(copy.get(), bytes.size(), start, count,
                            littleEndian);
}

// Slow reference written from the bit numbering alone: the value bit of
// every field position, one at a time.
uint64_t referenceBits(const std::vector<uint8_t>& bytes, uint64_t start,
                       uint64_t count, bool littleEndian) {
  if ((start + count + 7) / 8 > bytes.size()) return 0;
  count %= 256;
  uint64_t value = 0;
  for (uint64_t i = 0; i < count; ++i) {
    const uint64_t p = start + i;
    const unsigned inByte = littleEndian ? p % 8 : 7 - p % 8;
    const uint64_t bit = (bytes[p / 8] >> inByte) & 1u;
    // Little-endian: field bit i has weight 2^i. Big-endian: the first
    // position is the most significant, weight 2^(count - 1 - i).
    const uint64_t weight = littleEndian ? i : count - 1 - i;
    if (weight < 64) value |= bit << weight;
  }
  return value;
}

struct RawCase {
  std::vector<uint8_t> bytes;
  uint64_t start;
  uint64_t count;
  bool littleEndian;
  uint64_t expected;
};

TEST(cDecodeGetRawBits, KnownFields) {
  std::vector<uint8_t> twenty(20);
  for (size_t i = 0; i < twenty.size(); ++i) twenty[i] = uint8_t(0xA0 + i);
  const std::vector<uint8_t> oneToEight{1, 2, 3, 4, 5, 6, 7, 8};
  const RawCase cases[] = {
      {{0x34, 0x12}, 0, 16, true, 0x1234},
      {{0x34, 0x12}, 4, 8, true, 0x23},
      {{0x12, 0x34}, 0, 16, false, 0x1234},
      {{0x12, 0x34}, 4, 8, false, 0x23},
      {oneToEight, 0, 64, true, 0x0807060504030201ULL},
      {oneToEight, 0, 64, false, 0x0102030405060708ULL},
      {twenty, 120, 8, false, 0xAF},
      {twenty, 120, 8, true, 0xAF},
      // Needs one byte more than there is.
      {{0x34, 0x12}, 9, 8, true, 0},
      {{0x34, 0x12}, 0, 17, false, 0},
      // Count 0, and 256 taken modulo 256.
      {{0xFF}, 0, 0, true, 0},
      {std::vector<uint8_t>(32, 0xFF), 0, 256, true, 0},
      // A field ending exactly at the buffer end, on the short-load path.
      {{0x00, 0x00, 0xF0}, 20, 4, true, 0xF},
      // A start so large that start + count wraps around.
      {{0xFF}, ~uint64_t{0} - 2, 8, true, 0},
  };
  for (const RawCase& c : cases) {
    EXPECT_EQ(rawBits(c.bytes, c.start, c.count, c.littleEndian), c.expected)
        << "start " << c.start << " count " << c.count << " le "
        << c.littleEndian;
  }
}

TEST(cDecodeGetRawBits, NullBufferGivesZero) {
  EXPECT_EQ(cDecode_getRawBits(nullptr, 8, 0, 8, true), 0u);
  EXPECT_EQ(cDecode_getRawBits(nullptr, 0, 0, 0, false), 0u);
}

TEST(cDecodeGetRawBits, MatchesBitByBitReference) {
  std::mt19937_64 rng(20240611);
  for (int round = 0; round < 20000; ++round) {
    const size_t size = 1 + rng() % 40;
    std::vector<uint8_t> bytes(size);
    for (auto& b : bytes) b = static_cast<uint8_t>(rng());
    // Favour counts around the fast-path limit and beyond 64 bits.
    uint64_t count = 0;
    switch (round % 4) {
      case 0:
        count = 1 + rng() % 56;
        break;
      case 1:
        count = 57 + rng() % 8;
        break;
      case 2:
        count = 65 + rng() % 200;
        break;
      default:
        count = rng() % 300;
        break;
    }
    // Mostly fields that fit, some that run past the end.
    const uint64_t bits = size * 8;
    const uint64_t start = rng() % (bits + 16);
    const bool littleEndian = (rng() & 1) != 0;
    ASSERT_EQ(rawBits(bytes, start, count, littleEndian),
              referenceBits(bytes, start, count, littleEndian))
        << "size " << size << " start " << start << " count " << count << " le "
        << littleEndian;
  }
}

TEST(cDecodeGetRawBits, FieldsBeyondSixteenBitPositions) {
  std::vector<uint8_t> big(10000, 0);
  big[9000] = 0x5A;
  big[9001] = 0xC3;
  EXPECT_EQ(rawBits(big, 9000 * 8, 16, true), 0xC35Au);
  EXPECT_EQ(rawBits(big, 9000 * 8, 16, false), 0x5AC3u);
}

TEST(cDecodeDbcBitPosition, MotorolaStartBitsFlipWithinTheByte) {
  EXPECT_EQ(cDecode_dbcBitPosition2Internal(7, false), 0u);
  EXPECT_EQ(cDecode_dbcBitPosition2Internal(12, false), 11u);
  EXPECT_EQ(cDecode_dbcBitPosition2Internal(12, true), 12u);
}

struct DecodeCase {
  const char* what;
  std::vector<uint8_t> bytes;
  cDecodeSignal signal;
  bool ok;
  double expected;
};

TEST(cDecodeDecode, ScaledSignals) {
  std::vector<uint8_t> allButLowest(8, 0xFF);
  allButLowest[0] = 0xFE;
  std::vector<uint8_t> floatBytes(4);
  const float f = 3.25f;
  std::memcpy(floatBytes.data(), &f, 4);
  std::vector<uint8_t> doubleBytes(8);
  const double d = -1234.5;
  std::memcpy(doubleBytes.data(), &d, 8);
  // Big-endian single: the bytes most significant first.
  std::vector<uint8_t> floatBytesBE(floatBytes.rbegin(), floatBytes.rend());
  const DecodeCase cases[] = {
      {"signed -1", {0xFF}, {1, 2, 0, 8, 1.0, 0.0}, true, -1.0},
      {"unsigned 255", {0xFF}, {1, 1, 0, 8, 1.0, 0.0}, true, 255.0},
      {"scaled", {0xFF}, {1, 1, 0, 8, 0.5, 10.0}, true, 137.5},
      {"signed 64", allButLowest, {1, 2, 0, 64, 1.0, 0.0}, true, -2.0},
      {"signed positive", {0x7F}, {1, 2, 0, 8, 1.0, 0.0}, true, 127.0},
      {"signed 12 bit", {0x00, 0x80}, {1, 2, 4, 12, 1.0, 0.0}, true, -2048.0},
      {"single", floatBytes, {1, 3, 0, 32, 2.0, 0.0}, true, 6.5},
      {"single BE", floatBytesBE, {0, 3, 0, 32, 1.0, 0.0}, true, 3.25},
      {"double", doubleBytes, {1, 4, 0, 64, 1.0, 1.0}, true, -1233.5},
      {"single of 16 bits", {0, 0}, {1, 3, 0, 16, 1.0, 0.0}, false, 0},
      {"double of 32 bits", {0, 0, 0, 0}, {1, 4, 0, 32, 1.0, 0.0}, false, 0},
      {"unknown type", {0xFF}, {1, 7, 0, 8, 1.0, 4.0}, true, 4.0},
      {"past the end", std::vector<uint8_t>(8), {1, 1, 60, 8, 1, 0}, false, 0},
      {"length 0", {0xFF}, {1, 1, 0, 0, 1.0, 0.0}, false, 0},
  };
  for (const DecodeCase& c : cases) {
    const auto copy = exactCopy(c.bytes);
    double out = -999.0;
    EXPECT_EQ(cDecode_decode(copy.get(), c.bytes.size(), &c.signal, &out), c.ok)
        << c.what;
    EXPECT_EQ(out, c.ok ? c.expected : -999.0) << c.what;
  }
}

TEST(cDecodeDecode, NullArgumentsFail) {
  const uint8_t byte = 1;
  const cDecodeSignal signal{1, 1, 0, 8, 1.0, 0.0};
  double out = 0;
  EXPECT_FALSE(cDecode_decode(nullptr, 1, &signal, &out));
  EXPECT_FALSE(cDecode_decode(&byte, 1, nullptr, &out));
  EXPECT_FALSE(cDecode_decode(&byte, 1, &signal, nullptr));
}

}  // namespace
