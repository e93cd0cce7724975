// Checksumming pass-through: every byte read or written through it is
// folded into a running CRC-32 register. No tell or seek.
#pragma once

#include "streams/cIO.h"

struct cIO_crc32_t : cIO {
  uint32_t crc;  // running register, starts at 0xFFFFFFFF, never complemented
  cIO* inner;    // not owned
};

// A checksumming stream over inner; does not take ownership of inner.
// nullptr if inner is null or allocation fails.
cIO* cIO_crc32_ctor(cIO* inner);
// The register as it stands: the complement of crc_32 of the bytes passed.
// 0 for a null stream or one that is not a checksumming stream.
uint32_t cIO_crc32_getCRC(cIO* io);
