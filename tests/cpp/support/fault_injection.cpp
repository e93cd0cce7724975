#include "support/fault_injection.h"

namespace {

struct FailingStream : cIO {
  cIO* inner;
  uint64_t failReadAt, failSeekAt;
  uint64_t reads, seeks;
  uint64_t* readCount;
  uint64_t* seekCount;
};

FailingStream* self(cIO* io) { return static_cast<FailingStream*>(io); }

int64_t failingRead(cIO* io, void* dst, uint64_t len) {
  FailingStream* s = self(io);
  ++s->reads;
  if (s->readCount) *s->readCount = s->reads;
  if (s->reads == s->failReadAt) return -1;
  return cIO_read(s->inner, dst, len);
}

int64_t failingWrite(cIO* io, const void* src, uint64_t len) {
  return cIO_write(self(io)->inner, src, len);
}

int64_t failingTell(cIO* io) { return cIO_tell(self(io)->inner); }

int64_t failingSeek(cIO* io, int64_t offset, int whence) {
  FailingStream* s = self(io);
  ++s->seeks;
  if (s->seekCount) *s->seekCount = s->seeks;
  if (s->seeks == s->failSeekAt) return -1;
  return cIO_seek(s->inner, offset, whence);
}

int failingClose(cIO* io) {
  const int result = cIO_close(self(io)->inner);
  delete self(io);
  return result;
}

const cIO_vtable kFailingVtable = {failingRead, failingWrite, failingTell,
                                   failingSeek, failingClose};

}  // namespace

cIO* failingStream(cIO* inner, uint64_t failReadAt, uint64_t failSeekAt,
                   uint64_t* reads, uint64_t* seeks) {
  auto* s = new FailingStream{};
  s->vtable = &kFailingVtable;
  s->inner = inner;
  s->failReadAt = failReadAt;
  s->failSeekAt = failSeekAt;
  s->readCount = reads;
  s->seekCount = seeks;
  if (reads) *reads = 0;
  if (seeks) *seeks = 0;
  return s;
}
