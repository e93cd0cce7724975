// cSerializer: fixed-width little-endian values and byte strings at a
// cursor of its own over a stream. It seeks the stream to base + offset
// before every access, so several users may share one stream.
//
// Every operation returns true only for a complete transfer; on failure the
// cursor stays where it was, so callers can chain reads with && and decide
// once. Values of failed reads are undefined. A null serializer, stream or
// destination fails before any I/O.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "streams/cIO.h"

struct cSerializer {
  cIO* stream;      // not owned
  int64_t base;     // stream position when the serializer was bound
  uint64_t offset;  // cursor relative to base
};

// Binds to the stream's current position. Over a stream that cannot tell
// (base < 0) the serializer does not seek: it transfers from wherever the
// stream stands, in order. A null stream leaves every operation failing.
cSerializer* cSerializer_ctor(cSerializer* s, cIO* stream);

bool cSerializer_readU8(cSerializer* s, uint8_t* v);
bool cSerializer_readU8_BE(cSerializer* s, uint8_t* v);
bool cSerializer_readI8(cSerializer* s, int8_t* v);
bool cSerializer_readBool(cSerializer* s, bool* v);
bool cSerializer_readU16(cSerializer* s, uint16_t* v);
bool cSerializer_readI16(cSerializer* s, int16_t* v);
bool cSerializer_readU32(cSerializer* s, uint32_t* v);
bool cSerializer_readI32(cSerializer* s, int32_t* v);
bool cSerializer_readU32_BE(cSerializer* s, uint32_t* v);
bool cSerializer_readF32(cSerializer* s, float* v);
bool cSerializer_readU64(cSerializer* s, uint64_t* v);
bool cSerializer_readI64(cSerializer* s, int64_t* v);
bool cSerializer_readF64(cSerializer* s, double* v);
bool cSerializer_readRaw(cSerializer* s, void* buffer, uint64_t n);
// Appends n bytes to *str (zero bytes included). The string grows with the
// bytes that really arrive (64 KiB at a time), so a length that runs past
// the end of the stream never turns into an allocation of that length. On
// failure the string is cut back to its first L characters.
bool cSerializer_readCstr(cSerializer* s, std::string* str, uint64_t n);

bool cSerializer_writeU8(cSerializer* s, uint8_t v);
bool cSerializer_writeI8(cSerializer* s, int8_t v);
bool cSerializer_writeBool(cSerializer* s, bool v);
bool cSerializer_writeU16(cSerializer* s, uint16_t v);
bool cSerializer_writeI16(cSerializer* s, int16_t v);
bool cSerializer_writeU32(cSerializer* s, uint32_t v);
bool cSerializer_writeI32(cSerializer* s, int32_t v);
bool cSerializer_writeF32(cSerializer* s, float v);
bool cSerializer_writeU64(cSerializer* s, uint64_t v);
bool cSerializer_writeI64(cSerializer* s, int64_t v);
bool cSerializer_writeF64(cSerializer* s, double v);
bool cSerializer_writeCsview(cSerializer* s, const char* bytes, uint64_t n);
// Write exactly the string's characters, never a terminator.
bool cSerializer_writeCstr(cSerializer* s, std::string str);
bool cSerializer_writeCstrP(cSerializer* s, const std::string* str);

// Moves the cursor by n without I/O.
bool cSerializer_skip(cSerializer* s, uint64_t n);
