// Checksumming pass-through: folds every byte that goes through it, in
// order, into a CRC-32 register. Bytes moved on the inner stream by anyone
// else are not counted.
#include "streams/cIO_crc32.h"

#include <new>

#include "streams/crc32.h"

namespace {

cIO_crc32_t* asCrc(cIO* io) { return static_cast<cIO_crc32_t*>(io); }

// Folds the first `count` of `len` bytes that the inner stream reported as
// transferred; a count above what was asked for is not trusted.
int64_t fold(cIO_crc32_t* c, const void* bytes, uint64_t len, int64_t count) {
  if (count <= 0) return count;
  if (static_cast<uint64_t>(count) > len) return -1;
  const unsigned char* p = static_cast<const unsigned char*>(bytes);
  for (int64_t i = 0; i < count; ++i) c->crc = update_crc_32(c->crc, p[i]);
  return count;
}

int64_t cIO_crc32_read(cIO* io, void* dst, uint64_t len) {
  cIO_crc32_t* c = asCrc(io);
  return fold(c, dst, len, cIO_read(c->inner, dst, len));
}

int64_t cIO_crc32_write(cIO* io, const void* src, uint64_t len) {
  cIO_crc32_t* c = asCrc(io);
  return fold(c, src, len, cIO_write(c->inner, src, len));
}

// Frees the checksumming record only; the inner stream stays open.
int cIO_crc32_close(cIO* io) {
  delete asCrc(io);
  return 0;
}

const cIO_vtable vtable_crc32 = {cIO_crc32_read, cIO_crc32_write, nullptr,
                                 nullptr, cIO_crc32_close};

}  // namespace

cIO* cIO_crc32_ctor(cIO* inner) {
  if (!inner) return nullptr;
  cIO_crc32_t* c = new (std::nothrow) cIO_crc32_t;
  if (!c) return nullptr;
  c->vtable = &vtable_crc32;
  c->crc = 0xFFFFFFFFu;
  c->inner = inner;
  return c;
}

uint32_t cIO_crc32_getCRC(cIO* io) {
  // Only a checksumming stream has a register; anything else answers 0.
  if (!io || io->vtable != &vtable_crc32) return 0;
  return asCrc(io)->crc;
}
