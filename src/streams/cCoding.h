// cCoding: fixed-width little-endian (and big-endian) numbers in byte
// buffers, independent of the host's own byte order. The one place where
// bytes become numbers and back; after LevelDB's util/coding.h.
//
//   uint64_t v = cCoding_loadLE<uint64_t>(p);  // sizeof(U) bytes at p
//   cCoding_storeLE<uint32_t>(p, v);
//   uint64_t id = cCoding_loadLEn(p, n);       // n bytes, 0 <= n <= 8
//   cCoding_storeLEn(p, id, n);
//
// The unchecked forms trust the caller that the bytes are there. The
// checked form takes the end of the buffer and refuses a value that does
// not fit before it:
//
//   const uint8_t* next = cCoding_getLE(p, limit, 4, &length);
//   if (!next) ...  // fewer than 4 bytes left
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

// sizeof(U) bytes at p, least significant first. U is an unsigned integer.
template <typename U>
inline U cCoding_loadLE(const void* p) {
  static_assert(std::is_unsigned_v<U>);
  U v = 0;
  if constexpr (std::endian::native == std::endian::little) {
    // One load: compilers do not always merge the bytewise form.
    std::memcpy(&v, p, sizeof v);
  } else {
    const auto* b = static_cast<const uint8_t*>(p);
    for (size_t i = sizeof(U); i-- > 0;) v = static_cast<U>((v << 8) | b[i]);
  }
  return v;
}

// sizeof(U) bytes at p, most significant first.
template <typename U>
inline U cCoding_loadBE(const void* p) {
  static_assert(std::is_unsigned_v<U>);
  const auto* b = static_cast<const uint8_t*>(p);
  U v = 0;
  for (size_t i = 0; i < sizeof(U); ++i) v = static_cast<U>((v << 8) | b[i]);
  return v;
}

// Writes v as sizeof(U) bytes at p, least significant first.
template <typename U>
inline void cCoding_storeLE(void* p, U v) {
  static_assert(std::is_unsigned_v<U>);
  auto* b = static_cast<uint8_t*>(p);
  for (size_t i = 0; i < sizeof(U); ++i)
    b[i] = static_cast<uint8_t>(v >> (8 * i));
}

// Writes v as sizeof(U) bytes at p, most significant first.
template <typename U>
inline void cCoding_storeBE(void* p, U v) {
  static_assert(std::is_unsigned_v<U>);
  auto* b = static_cast<uint8_t*>(p);
  for (size_t i = 0; i < sizeof(U); ++i)
    b[sizeof(U) - 1 - i] = static_cast<uint8_t>(v >> (8 * i));
}

// The n low bytes (n at most 8) at p, least significant first; 0 for n = 0.
inline uint64_t cCoding_loadLEn(const void* p, unsigned n) {
  // Record ids and lengths are of these sizes: one load each.
  switch (n) {
    case 1:
      return *static_cast<const uint8_t*>(p);
    case 2:
      return cCoding_loadLE<uint16_t>(p);
    case 4:
      return cCoding_loadLE<uint32_t>(p);
    case 8:
      return cCoding_loadLE<uint64_t>(p);
    default:
      break;
  }
  const auto* b = static_cast<const uint8_t*>(p);
  uint64_t v = 0;
  for (unsigned i = n < 8 ? n : 8; i-- > 0;) v = v << 8 | b[i];
  return v;
}

// Writes the n low bytes of v (n at most 8) at p, least significant first.
inline void cCoding_storeLEn(void* p, uint64_t v, unsigned n) {
  auto* b = static_cast<uint8_t*>(p);
  for (unsigned i = 0; i < n && i < 8; ++i)
    b[i] = static_cast<uint8_t>(v >> (8 * i));
}

// Checked: the n bytes (n at most 8) at p into *v when all of them lie
// before `limit`; returns the position after them, or nullptr (*v
// untouched) when they do not fit, n exceeds 8 or an argument is null.
inline const uint8_t* cCoding_getLE(const uint8_t* p, const uint8_t* limit,
                                    unsigned n, uint64_t* v) {
  if (!p || !limit || !v || n > 8 || limit < p ||
      static_cast<size_t>(limit - p) < n)
    return nullptr;
  *v = cCoding_loadLEn(p, n);
  return p + n;
}
