// Window stream: [start, end) of an inner stream, addressed relative to
// start. Reads and writes are cut at the end; seeks outside the window land
// on its nearer edge.
#include "streams/cIO_scoped.h"

#include <new>

namespace {

cIO_scoped_t* asScoped(cIO* io) { return static_cast<cIO_scoped_t*>(io); }

bool bounded(const cIO_scoped_t* w) { return w->end > 0; }

// Cuts a transfer at the inner position to what is left of the window.
// -1 when the inner stream cannot tell where it stands.
int64_t cutToWindow(cIO_scoped_t* w, uint64_t* len) {
  if (!bounded(w)) return 0;
  const int64_t t = cIO_tell(w->inner);
  if (t < 0) return -1;
  const uint64_t left = t < w->end ? static_cast<uint64_t>(w->end - t) : 0;
  if (*len > left) *len = left;
  return 0;
}

int64_t cIO_scoped_read(cIO* io, void* dst, uint64_t len) {
  cIO_scoped_t* w = asScoped(io);
  if (!w->inner || cutToWindow(w, &len) < 0) return -1;
  if (len == 0) return 0;
  return cIO_read(w->inner, dst, len);
}

int64_t cIO_scoped_write(cIO* io, const void* src, uint64_t len) {
  cIO_scoped_t* w = asScoped(io);
  if (!w->inner || cutToWindow(w, &len) < 0) return -1;
  if (len == 0) return 0;
  return cIO_write(w->inner, src, len);
}

int64_t cIO_scoped_tell(cIO* io) {
  cIO_scoped_t* w = asScoped(io);
  if (!w->inner) return -1;
  const int64_t t = cIO_tell(w->inner);
  if (t < 0 || (bounded(w) && t > w->end)) return -1;
  return t - w->start;
}

int64_t cIO_scoped_seek(cIO* io, int64_t offset, int whence) {
  cIO_scoped_t* w = asScoped(io);
  if (!w->inner) return -1;
  int64_t origin;
  switch (whence) {
    case CIO_SEEK_SET:
      origin = w->start;
      break;
    case CIO_SEEK_CUR:
      origin = cIO_tell(w->inner);
      if (origin < 0) return -1;
      break;
    case CIO_SEEK_END:
      origin = bounded(w) ? w->end : cIO_getSize(w->inner);
      if (origin < 0) return -1;
      break;
    default:
      return -1;
  }
  int64_t target;
  if (__builtin_add_overflow(origin, offset, &target)) return -1;
  if (bounded(w) && target > w->end) target = w->end;
  if (target < w->start) target = w->start;
  if (target < 0) return -1;
  if (cIO_seek(w->inner, target, CIO_SEEK_SET) != target) return -1;
  return target - w->start;
}

// Frees the window only; the inner stream belongs to its creator.
int cIO_scoped_close(cIO* io) {
  delete asScoped(io);
  return 0;
}

const cIO_vtable vtable_scoped = {cIO_scoped_read, cIO_scoped_write,
                                  cIO_scoped_tell, cIO_scoped_seek,
                                  cIO_scoped_close};

}  // namespace

cIO* cIO_scoped_ctor(cIO* inner, int64_t start, int64_t end) {
  if (!inner) return nullptr;
  cIO_scoped_t* w = new (std::nothrow) cIO_scoped_t;
  if (!w) return nullptr;
  w->vtable = &vtable_scoped;
  w->inner = inner;
  w->start = start;
  w->end = end;
  cIO_seek(inner, start, CIO_SEEK_SET);
  return w;
}
