// Dispatch through the operation table and the helpers built on it.
#include "streams/cIO.h"

int64_t cIO_read(cIO* io, void* dst, uint64_t len) {
  if (!io || !io->vtable) return -1;
  if (!io->vtable->read) return CIO_UNSUPPORTED;
  return io->vtable->read(io, dst, len);
}

int64_t cIO_write(cIO* io, const void* src, uint64_t len) {
  if (!io || !io->vtable) return -1;
  if (!io->vtable->write) return CIO_UNSUPPORTED;
  return io->vtable->write(io, src, len);
}

int64_t cIO_readFull(cIO* io, void* dst, uint64_t len) {
  if (len > static_cast<uint64_t>(INT64_MAX)) return -1;
  auto* bytes = static_cast<unsigned char*>(dst);
  uint64_t got = 0;
  while (got < len) {
    const int64_t n = cIO_read(io, bytes + got, len - got);
    if (n == 0) break;
    if (n < 0 || static_cast<uint64_t>(n) > len - got) return -1;
    got += static_cast<uint64_t>(n);
  }
  return static_cast<int64_t>(got);
}

int64_t cIO_tell(cIO* io) {
  if (!io || !io->vtable) return -1;
  if (!io->vtable->tell) return CIO_UNSUPPORTED;
  return io->vtable->tell(io);
}

int64_t cIO_seek(cIO* io, int64_t offset, int whence) {
  if (!io || !io->vtable) return -1;
  if (!io->vtable->seek) return CIO_UNSUPPORTED;
  return io->vtable->seek(io, offset, whence);
}

int cIO_close(cIO* io) {
  if (!io || !io->vtable || !io->vtable->close) return 0;
  return io->vtable->close(io);
}

int64_t cIO_seekTarget(uint64_t position, uint64_t size, int64_t offset,
                       int whence) {
  uint64_t origin;
  switch (whence) {
    case CIO_SEEK_SET:
      origin = 0;
      break;
    case CIO_SEEK_CUR:
      origin = position;
      break;
    case CIO_SEEK_END:
      origin = size;
      break;
    default:
      return -1;
  }
  if (origin > static_cast<uint64_t>(INT64_MAX)) return -1;
  int64_t target;
  if (__builtin_add_overflow(static_cast<int64_t>(origin), offset, &target) ||
      target < 0)
    return -1;
  return target;
}

bool cIO_seekTo(cIO* io, uint64_t position) {
  if (!io || position > static_cast<uint64_t>(INT64_MAX)) return false;
  const auto target = static_cast<int64_t>(position);
  return cIO_seek(io, target, CIO_SEEK_SET) == target;
}

bool cIO_pushLocation(cIO* io, int64_t* slot) {
  if (!io || !slot) return false;
  const int64_t pos = cIO_tell(io);
  // A failed tell is no location to come back to.
  if (pos < 0) return false;
  *slot = pos;
  return true;
}

bool cIO_popLocation(cIO* io, const int64_t* slot) {
  if (!io || !slot || *slot < 0) return false;
  return cIO_seekTo(io, static_cast<uint64_t>(*slot));
}

int64_t cIO_getSize(cIO* io) {
  int64_t saved = 0;
  if (!cIO_pushLocation(io, &saved)) return -1;
  int64_t size = cIO_seek(io, 0, CIO_SEEK_END);
  if (size >= 0) size = cIO_tell(io);
  // A stream that cannot go back where it stood is no longer where its
  // user left it: that is a failure too.
  if (!cIO_popLocation(io, &saved)) return -1;
  return size < 0 ? -1 : size;
}

void cIO_cat(cIO* src, cIO* dst) {
  if (!src || !dst) return;
  unsigned char buffer[4096];
  for (;;) {
    const int64_t n = cIO_read(src, buffer, sizeof buffer);
    // A stream claiming more than it was given room for is broken too.
    if (n <= 0 || n > static_cast<int64_t>(sizeof buffer)) return;
    cIO_write(dst, buffer, static_cast<uint64_t>(n));
  }
}
