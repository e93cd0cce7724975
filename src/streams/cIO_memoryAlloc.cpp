// Memory stream: cIO over a growable heap buffer.
//
// Positions and sizes never exceed INT64_MAX, so every one of them is also a
// valid result of tell and seek; growth that would go past it, or that the
// allocator refuses, fails the operation without changing the stream.
#include "streams/cIO_memoryAlloc.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

// Source of the padding written when a seek from the end goes past the size.
const uint8_t zeroBuffer[512] = {};

cIO_memoryAlloc_t* asMemory(cIO* io) {
  return static_cast<cIO_memoryAlloc_t*>(io);
}

// Makes the capacity at least `needed`, doubling from 2. False (stream
// unchanged) when the allocator refuses.
bool reserve(cIO_memoryAlloc_t* m, uint64_t needed) {
  if (needed <= m->capacity) return true;
  uint64_t capacity = m->capacity ? m->capacity : 2;
  while (capacity < needed)
    capacity = capacity > UINT64_MAX / 2 ? needed : capacity * 2;
  if (capacity > SIZE_MAX) return false;
  void* grown = realloc(m->buffer, static_cast<size_t>(capacity));
  if (!grown) return false;
  m->buffer = static_cast<uint8_t*>(grown);
  m->capacity = capacity;
  return true;
}

int64_t cIO_memoryAlloc_write(cIO* io, const void* src, uint64_t len) {
  cIO_memoryAlloc_t* m = asMemory(io);
  if (len == 0) return 0;
  if (!src || len > static_cast<uint64_t>(INT64_MAX) - m->pos) return -1;
  const uint64_t end = m->pos + len;
  if (!reserve(m, end)) return -1;
  if (m->pos > m->size) memset(m->buffer + m->size, 0, m->pos - m->size);
  memcpy(m->buffer + m->pos, src, len);
  m->pos = end;
  if (end > m->size) m->size = end;
  return static_cast<int64_t>(len);
}

int64_t cIO_memoryAlloc_read(cIO* io, void* dst, uint64_t len) {
  cIO_memoryAlloc_t* m = asMemory(io);
  if (m->pos >= m->size || len == 0) return 0;
  if (!dst) return -1;
  const uint64_t left = m->size - m->pos;
  const uint64_t n = len < left ? len : left;
  memcpy(dst, m->buffer + m->pos, n);
  m->pos += n;
  return static_cast<int64_t>(n);
}

int64_t cIO_memoryAlloc_tell(cIO* io) {
  return static_cast<int64_t>(asMemory(io)->pos);
}

// Extends the stream with zeros from its size up to `target`. The room is
// reserved first, so a failure leaves size and position as they were.
bool padTo(cIO_memoryAlloc_t* m, uint64_t target) {
  if (!reserve(m, target)) return false;
  const uint64_t pos = m->pos;
  m->pos = m->size;
  while (m->size < target) {
    const uint64_t left = target - m->size;
    const uint64_t piece = left < sizeof zeroBuffer ? left : sizeof zeroBuffer;
    cIO_memoryAlloc_write(m, zeroBuffer, piece);
  }
  m->pos = pos;
  return true;
}

int64_t cIO_memoryAlloc_seek(cIO* io, int64_t offset, int whence) {
  cIO_memoryAlloc_t* m = asMemory(io);
  const int64_t target = cIO_seekTarget(m->pos, m->size, offset, whence);
  if (target < 0) return -1;
  const uint64_t t = static_cast<uint64_t>(target);
  if (whence == CIO_SEEK_END && t > m->size && !padTo(m, t)) return -1;
  if (t > m->capacity) return -1;
  m->pos = t;
  return target;
}

int cIO_memoryAlloc_close(cIO* io) {
  cIO_memoryAlloc_t* m = asMemory(io);
  free(m->buffer);
  delete m;
  return 0;
}

const cIO_vtable vtable_memoryAlloc = {
    cIO_memoryAlloc_read, cIO_memoryAlloc_write, cIO_memoryAlloc_tell,
    cIO_memoryAlloc_seek, cIO_memoryAlloc_close};

}  // namespace

cIO* cIO_memoryAlloc_ctor() {
  cIO_memoryAlloc_t* m = new (std::nothrow) cIO_memoryAlloc_t;
  if (!m) return nullptr;
  m->vtable = &vtable_memoryAlloc;
  m->capacity = 0;
  m->size = 0;
  m->pos = 0;
  m->buffer = nullptr;
  return m;
}
