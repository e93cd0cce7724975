// Serializer: every access seeks to base + offset, transfers exactly N bytes
// (reading on over short reads) and advances the cursor only when all N went
// through.
#include "streams/cSerializer.h"

#include <cstring>
#include <type_traits>

#include "streams/cCoding.h"

namespace {

// Seeks to the cursor and checks that a transfer of n bytes there keeps
// every position representable. A stream that could not tell where it stood
// when bound (a pass-through without tell and seek) is used sequentially.
bool seekCursor(cSerializer* s, uint64_t n) {
  if (!s || !s->stream) return false;
  if (s->base < 0) return true;
  const uint64_t at = static_cast<uint64_t>(s->base) + s->offset;
  if (s->offset > static_cast<uint64_t>(INT64_MAX) ||
      at > static_cast<uint64_t>(INT64_MAX) ||
      n > static_cast<uint64_t>(INT64_MAX) - at)
    return false;
  return cIO_seekTo(s->stream, at);
}

bool readBytes(cSerializer* s, void* dst, uint64_t n) {
  if (!seekCursor(s, n) || (!dst && n > 0)) return false;
  if (n == 0) return true;
  if (cIO_readFull(s->stream, dst, n) != static_cast<int64_t>(n)) return false;
  s->offset += n;
  return true;
}

bool writeBytes(cSerializer* s, const void* src, uint64_t n) {
  if (!seekCursor(s, n) || (!src && n > 0)) return false;
  if (n == 0) return true;
  if (cIO_write(s->stream, src, n) != static_cast<int64_t>(n)) return false;
  s->offset += n;
  return true;
}

// The unsigned integer type that carries T's bytes (floats by their bit
// pattern).
template <typename T>
using Bits = std::make_unsigned_t<std::conditional_t<
    std::is_floating_point_v<T>,
    std::conditional_t<sizeof(T) == 4, int32_t, int64_t>, T>>;

// Reads a value of type T stored as sizeof(T) bytes in the given order.
template <typename T, bool BigEndian = false>
bool readValue(cSerializer* s, T* v) {
  using U = Bits<T>;
  unsigned char b[sizeof(T)];
  if (!v || !readBytes(s, b, sizeof b)) return false;
  const U u = BigEndian ? cCoding_loadBE<U>(b) : cCoding_loadLE<U>(b);
  memcpy(v, &u, sizeof u);
  return true;
}

template <typename T>
bool writeValue(cSerializer* s, T v) {
  using U = Bits<T>;
  U u;
  memcpy(&u, &v, sizeof u);
  unsigned char b[sizeof(T)];
  cCoding_storeLE(b, u);
  return writeBytes(s, b, sizeof b);
}

}  // namespace

cSerializer* cSerializer_ctor(cSerializer* s, cIO* stream) {
  if (!s) return nullptr;
  s->stream = stream;
  s->base = stream ? cIO_tell(stream) : -1;
  s->offset = 0;
  return s;
}

bool cSerializer_readU8(cSerializer* s, uint8_t* v) { return readValue(s, v); }
bool cSerializer_readU8_BE(cSerializer* s, uint8_t* v) {
  return readValue(s, v);
}
bool cSerializer_readI8(cSerializer* s, int8_t* v) { return readValue(s, v); }
bool cSerializer_readBool(cSerializer* s, bool* v) {
  uint8_t byte;
  if (!v || !readValue(s, &byte)) return false;
  *v = byte != 0;
  return true;
}
bool cSerializer_readU16(cSerializer* s, uint16_t* v) {
  return readValue(s, v);
}
bool cSerializer_readI16(cSerializer* s, int16_t* v) { return readValue(s, v); }
bool cSerializer_readU32(cSerializer* s, uint32_t* v) {
  return readValue(s, v);
}
bool cSerializer_readI32(cSerializer* s, int32_t* v) { return readValue(s, v); }
bool cSerializer_readU32_BE(cSerializer* s, uint32_t* v) {
  return readValue<uint32_t, true>(s, v);
}
bool cSerializer_readF32(cSerializer* s, float* v) { return readValue(s, v); }
bool cSerializer_readU64(cSerializer* s, uint64_t* v) {
  return readValue(s, v);
}
bool cSerializer_readI64(cSerializer* s, int64_t* v) { return readValue(s, v); }
bool cSerializer_readF64(cSerializer* s, double* v) { return readValue(s, v); }

bool cSerializer_readRaw(cSerializer* s, void* buffer, uint64_t n) {
  return readBytes(s, buffer, n);
}

bool cSerializer_readCstr(cSerializer* s, std::string* str, uint64_t n) {
  if (!str || !seekCursor(s, n)) return false;
  // Grow piece by piece with what actually arrives, so a length taken from
  // a damaged file cannot make us allocate far beyond the stream's end.
  constexpr uint64_t kPiece = 64 * 1024;
  const size_t kept = str->size();
  cSerializer probe = *s;
  try {
    for (uint64_t done = 0; done < n;) {
      const uint64_t piece = n - done < kPiece ? n - done : kPiece;
      const size_t at = str->size();
      str->resize(at + piece);
      if (!readBytes(&probe, str->data() + at, piece)) {
        str->resize(kept);
        return false;
      }
      done += piece;
    }
  } catch (...) {  // std::bad_alloc, std::length_error
    str->resize(kept);
    return false;
  }
  s->offset = probe.offset;
  return true;
}

bool cSerializer_writeU8(cSerializer* s, uint8_t v) { return writeValue(s, v); }
bool cSerializer_writeI8(cSerializer* s, int8_t v) { return writeValue(s, v); }
bool cSerializer_writeBool(cSerializer* s, bool v) {
  return writeValue<uint8_t>(s, v ? 1 : 0);
}
bool cSerializer_writeU16(cSerializer* s, uint16_t v) {
  return writeValue(s, v);
}
bool cSerializer_writeI16(cSerializer* s, int16_t v) {
  return writeValue(s, v);
}
bool cSerializer_writeU32(cSerializer* s, uint32_t v) {
  return writeValue(s, v);
}
bool cSerializer_writeI32(cSerializer* s, int32_t v) {
  return writeValue(s, v);
}
bool cSerializer_writeF32(cSerializer* s, float v) { return writeValue(s, v); }
bool cSerializer_writeU64(cSerializer* s, uint64_t v) {
  return writeValue(s, v);
}
bool cSerializer_writeI64(cSerializer* s, int64_t v) {
  return writeValue(s, v);
}
bool cSerializer_writeF64(cSerializer* s, double v) { return writeValue(s, v); }

bool cSerializer_writeCsview(cSerializer* s, const char* bytes, uint64_t n) {
  return writeBytes(s, bytes, n);
}

bool cSerializer_writeCstr(cSerializer* s, std::string str) {
  return writeBytes(s, str.data(), str.size());
}

bool cSerializer_writeCstrP(cSerializer* s, const std::string* str) {
  if (!str) return false;
  return writeBytes(s, str->data(), str->size());
}

bool cSerializer_skip(cSerializer* s, uint64_t n) {
  if (!s) return false;
  s->offset += n;
  return true;
}
