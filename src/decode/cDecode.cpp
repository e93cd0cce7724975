#include "decode/cDecode.h"

#include <bit>
#include <cstring>

namespace {

// Bytes the field [start, start + count) touches, or false when the end
// position does not even fit in 64 bits.
bool fieldEndByte(uint64_t start, uint64_t count, uint64_t* endByte) {
  uint64_t endBit = 0;
  if (__builtin_add_overflow(start, count, &endBit)) return false;
  *endByte = endBit / 8 + (endBit % 8 != 0 ? 1 : 0);
  return true;
}

uint64_t loadLittleEndian64(const uint8_t* p) {
  uint64_t v = 0;
  std::memcpy(&v, p, sizeof v);
  if constexpr (std::endian::native == std::endian::big) {
    v = __builtin_bswap64(v);
  }
  return v;
}

}  // namespace

uint64_t cDecode_getRawBits(const uint8_t* data, uint64_t size, uint64_t start,
                            uint64_t count, bool littleEndian) {
  uint64_t endByte = 0;
  if (data == nullptr || !fieldEndByte(start, count, &endByte) ||
      endByte > size) {
    return 0;
  }
  count %= 256;
  if (count == 0) return 0;

  if (littleEndian && start % 8 + count <= 64) {
    // The field spans at most 8 bytes from its first one (any field of up
    // to 56 bits, and a wider one that starts early enough in its byte,
    // such as a whole 64-bit value). One unaligned load where 8 bytes are
    // there, otherwise only the bytes the field touches.
    const uint64_t first = start / 8;
    uint64_t word = 0;
    if (size - first >= 8) {
      word = loadLittleEndian64(data + first);
    } else {
      for (uint64_t i = first; i < endByte; ++i) {
        word |= static_cast<uint64_t>(data[i]) << (8 * (i - first));
      }
    }
    const uint64_t mask =
        count == 64 ? ~uint64_t{0} : (uint64_t{1} << count) - 1;
    return (word >> (start % 8)) & mask;
  }

  uint64_t value = 0;
  if (littleEndian) {
    // Most significant position first; only the low 64 positions survive
    // the shifts, so the walk starts there.
    const uint64_t n = count < 64 ? count : 64;
    for (uint64_t p = start + n; p-- > start;) {
      value = (value << 1) | ((data[p / 8] >> (p % 8)) & 1u);
    }
  } else {
    // The first position is the most significant; of a wider field only
    // the last 64 positions survive.
    const uint64_t from = count > 64 ? start + count - 64 : start;
    for (uint64_t p = from; p < start + count; ++p) {
      value = (value << 1) | ((data[p / 8] >> (7 - p % 8)) & 1u);
    }
  }
  return value;
}

bool cDecode_decode(const uint8_t* data, uint64_t size,
                    const cDecodeSignal* signal, double* out) {
  if (data == nullptr || signal == nullptr || out == nullptr) return false;
  const uint64_t length = signal->length;
  uint64_t endByte = 0;
  if (length == 0 || !fieldEndByte(signal->startBit, length, &endByte) ||
      endByte > size) {
    return false;
  }
  if ((signal->valueType == 3 && length != 32) ||
      (signal->valueType == 4 && length != 64)) {
    return false;
  }
  const uint64_t raw = cDecode_getRawBits(data, size, signal->startBit, length,
                                          signal->byteOrder != 0);
  double value = 0.0;
  switch (signal->valueType) {
    case 1:
      value = static_cast<double>(raw);
      break;
    case 2: {
      uint64_t extended = raw;
      if (length < 64 && ((raw >> (length - 1)) & 1u) != 0) {
        extended |= ~uint64_t{0} << length;
      }
      value = static_cast<double>(static_cast<int64_t>(extended));
      break;
    }
    case 3:
      value =
          static_cast<double>(std::bit_cast<float>(static_cast<uint32_t>(raw)));
      break;
    case 4:
      value = std::bit_cast<double>(raw);
      break;
    default:
      break;
  }
  *out = value * signal->factor + signal->offset;
  return true;
}

uint32_t cDecode_dbcBitPosition2Internal(uint32_t bitPosition,
                                         bool littleEndian) {
  return littleEndian ? bitPosition : bitPosition ^ 7u;
}
