// CRC-32 (ISO-HDLC / IEEE 802.3): reflected polynomial 0xEDB88320.
#pragma once

#include <cstddef>
#include <cstdint>

// Standard CRC-32 of the bytes (init 0xFFFFFFFF, final complement);
// 0 for null bytes or length 0.
uint32_t crc_32(const unsigned char* bytes, size_t length);
// One table step on a running register, without init or final complement.
uint32_t update_crc_32(uint32_t reg, unsigned char byte);
