// CRC-32 (ISO-HDLC / IEEE 802.3): reflected polynomial 0xEDB88320.
#pragma once

#include <cstddef>
#include <cstdint>

// Standard CRC-32 of the bytes (init 0xFFFFFFFF, final complement);
// 0 for null bytes or length 0.
uint32_t crc_32(const unsigned char* bytes, size_t length);
// The standard CRC-32 of two pieces one after the other, from the CRC of
// each and the length of the second: what crc_32 of the whole gives,
// without reading the bytes again. The length must fit in zlib's z_off_t
// (64 bits wherever off_t is).
uint32_t crc_32_combine(uint32_t first, uint32_t second,
                        uint64_t second_length);
// One table step on a running register, without init or final complement.
uint32_t update_crc_32(uint32_t reg, unsigned char byte);
