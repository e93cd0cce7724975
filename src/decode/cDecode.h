// Bit-field extraction: the one place that pulls a run of bits out of a byte
// buffer.
//
// Bit numbering. Position p addresses byte p / 8 of the buffer; inside it
//   - little-endian (Intel, LSB-first): bit p % 8 counted from the least
//     significant bit;
//   - big-endian (Motorola, MSB-first): bit 7 - p % 8, so position 0 is the
//     most significant bit of byte 0.
// A little-endian field at s with n bits is the LSB-first positions
// s .. s + n - 1, s being the value's least significant bit. A big-endian
// field at s with n bits is the MSB-first positions s .. s + n - 1, s being
// the value's most significant bit.
//
// Positions are 64-bit throughout, so fields may lie anywhere in a buffer of
// any size. Counts are taken modulo 256; a value holds at most 64 bits.
#pragma once

#include <cstdint>

// A scaled signal described as a CAN database describes it.
struct cDecodeSignal {
  uint32_t byteOrder;  // 0 big-endian (Motorola), anything else little-endian
  uint32_t valueType;  // 1 unsigned, 2 signed, 3 IEEE single, 4 IEEE double
  uint16_t startBit;   // in the numbering of byteOrder
  uint8_t length;      // bit count
  double factor;
  double offset;
};

// The field as a right-aligned unsigned value, or 0 when the field does not
// fit in size bytes or its count (modulo 256) is 0. Fields wider than 64 bits
// give their low 64 bits (little-endian) or their last 64 bits (big-endian).
// Never reads outside data[0 .. size).
uint64_t cDecode_getRawBits(const uint8_t* data, uint64_t size, uint64_t start,
                            uint64_t count, bool littleEndian);

// Extracts one signal and stores value * factor + offset in *out. False (out
// untouched) for a zero length, a field that does not fit, a float type whose
// length is not 32 (single) or 64 (double), or a null argument. An unknown
// value type decodes as 0.0 and thus stores the offset.
bool cDecode_decode(const uint8_t* data, uint64_t size,
                    const cDecodeSignal* signal, double* out);

// A database start bit in the numbering used here: unchanged for Intel; for
// Motorola the database names the most significant bit counting LSB-first
// inside its byte, which is MSB-first position p ^ 7.
uint32_t cDecode_dbcBitPosition2Internal(uint32_t bitPosition,
                                         bool littleEndian);
