// CRC-32 primitives against published check values.
#include "streams/crc32.h"

#include <gtest/gtest.h>

#include <string>

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

}  // namespace
