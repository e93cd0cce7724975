// Byte-wise CRC-32 with a table computed at compile time, so there is no
// initialisation to race on.
#include "streams/crc32.h"

#include <array>

namespace {

constexpr uint32_t kPolynomial = 0xEDB88320u;  // reflected 0x04C11DB7

constexpr std::array<uint32_t, 256> makeTable() {
  std::array<uint32_t, 256> table{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t reg = i;
    for (int bit = 0; bit < 8; ++bit)
      reg = (reg & 1u) ? (reg >> 1) ^ kPolynomial : reg >> 1;
    table[i] = reg;
  }
  return table;
}

constexpr std::array<uint32_t, 256> kCrcTable = makeTable();

}  // namespace

uint32_t update_crc_32(uint32_t reg, unsigned char byte) {
  return (reg >> 8) ^ kCrcTable[(reg ^ byte) & 0xFFu];
}

uint32_t crc_32(const unsigned char* bytes, size_t length) {
  if (!bytes || length == 0) return 0;
  uint32_t reg = 0xFFFFFFFFu;
  for (size_t i = 0; i < length; ++i) reg = update_crc_32(reg, bytes[i]);
  return ~reg;
}
