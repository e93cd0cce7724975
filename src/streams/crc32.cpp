// CRC-32: runs of bytes and combined pieces through zlib (several bytes a
// step); single steps by a table computed at compile time, so there is no
// initialisation to race on.
#include "streams/crc32.h"

#include <zlib.h>

#include <algorithm>
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
  // zlib counts in uInt: longer runs go in pieces.
  constexpr size_t kPiece = size_t{1} << 30;
  uLong crc = 0;
  for (size_t at = 0; at < length; at += kPiece)
    crc = crc32(crc, bytes + at,
                static_cast<uInt>(std::min(kPiece, length - at)));
  return static_cast<uint32_t>(crc);
}

uint32_t crc_32_combine(uint32_t first, uint32_t second,
                        uint64_t second_length) {
  return static_cast<uint32_t>(
      crc32_combine(first, second, static_cast<z_off_t>(second_length)));
}
