// CRC-32 primitives against published check values.
#include "streams/crc32.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

uint32_t crcOf(const std::string& s) {
  return crc_32(reinterpret_cast<const unsigned char*>(s.data()), s.size());
}

TEST(crc32, KnownValues) {
  const struct {
    std::string input;
    uint32_t crc;
  } cases[] = {
      {"123456789", 0xCBF43926u},
      {"a", 0xE8B7BE43u},
      {"The quick brown fox jumps over the lazy dog", 0x414FA339u},
      {std::string(32, '\0'), 0x190A55ADu},
  };
  for (const auto& c : cases) EXPECT_EQ(crcOf(c.input), c.crc) << c.input;
}

TEST(crc32, NoBytesGiveZero) {
  const unsigned char byte = 'x';
  EXPECT_EQ(crc_32(nullptr, 5), 0u);
  EXPECT_EQ(crc_32(&byte, 0), 0u);
}

TEST(crc32, UpdateStepsFoldToTheRegister) {
  uint32_t reg = 0xFFFFFFFFu;
  for (char c : std::string("123456789"))
    reg = update_crc_32(reg, static_cast<unsigned char>(c));
  EXPECT_EQ(reg, 0x340BC6D9u);
  EXPECT_EQ(~reg, 0xCBF43926u);
}

// crc_32 over a long run, and crc_32_combine of it split anywhere, agree
// with the register stepped byte by byte over the whole.
TEST(crc32, CombinedPiecesGiveTheWhole) {
  std::vector<unsigned char> bytes(100'003);
  uint32_t seed = 1;
  for (unsigned char& b : bytes) {
    seed = seed * 1103515245u + 12345u;
    b = static_cast<unsigned char>(seed >> 24);
  }
  uint32_t reg = 0xFFFFFFFFu;
  for (unsigned char b : bytes) reg = update_crc_32(reg, b);
  const uint32_t whole = ~reg;
  EXPECT_EQ(crc_32(bytes.data(), bytes.size()), whole);
  for (size_t split : {size_t{0}, size_t{1}, size_t{7}, size_t{16'384},
                       bytes.size() - 1, bytes.size()}) {
    const uint32_t first = crc_32(bytes.data(), split);
    const uint32_t second = crc_32(bytes.data() + split, bytes.size() - split);
    EXPECT_EQ(crc_32_combine(first, second, bytes.size() - split), whole)
        << split;
  }
}

}  // namespace
