// GHASH: 4-bit tables everywhere, carry-less multiplication on x86-64
// processors that have it (the blocks byte-reversed, so that GCM's bit
// order becomes the instruction's).
#include "containers/cGcmHash.h"

#include <algorithm>
#include <cstring>

#include "streams/cCoding.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define MF4_GCM_CLMUL 1
#endif

namespace {

constexpr size_t kBlock = 16;

// The reduction of the four bits shifted out at each step, by their value.
constexpr uint64_t kLast4[16] = {0x0000, 0x1c20, 0x3840, 0x2460, 0x7080, 0x6ca0,
                                 0x48c0, 0x54e0, 0xe100, 0xfd20, 0xd940, 0xc560,
                                 0x9180, 0x8da0, 0xa9c0, 0xb5e0};

// The multiples of H by every 4-bit value (8 is H itself, GCM's order
// taking the first bit as the lowest power).
void makeTables(cGcmHash* hash) {
  uint64_t high = cCoding_loadBE<uint64_t>(hash->key);
  uint64_t low = cCoding_loadBE<uint64_t>(hash->key + 8);
  hash->high[8] = high;
  hash->low[8] = low;
  hash->high[0] = 0;
  hash->low[0] = 0;
  for (int i = 4; i > 0; i >>= 1) {
    const uint64_t reduce = (low & 1) * 0xe1000000u;
    low = (high << 63) | (low >> 1);
    high = (high >> 1) ^ (reduce << 32);
    hash->high[i] = high;
    hash->low[i] = low;
  }
  for (int i = 2; i <= 8; i *= 2)
    for (int j = 1; j < i; ++j) {
      hash->high[i + j] = hash->high[i] ^ hash->high[j];
      hash->low[i + j] = hash->low[i] ^ hash->low[j];
    }
}

// x = x * H by the tables, four bits at a time from the last byte back.
void multiplyByTables(const cGcmHash* hash, uint8_t* x) {
  unsigned nibble = x[15] & 0xFu;
  uint64_t high = hash->high[nibble];
  uint64_t low = hash->low[nibble];
  for (int i = 15; i >= 0; --i) {
    for (int half = (i == 15); half < 2; ++half) {
      nibble = half ? x[i] >> 4 : x[i] & 0xFu;
      const auto rest = static_cast<unsigned>(low & 0xFu);
      low = (high << 60) | (low >> 4);
      high = (high >> 4) ^ (kLast4[rest] << 48);
      high ^= hash->high[nibble];
      low ^= hash->low[nibble];
    }
  }
  cCoding_storeBE<uint64_t>(x, high);
  cCoding_storeBE<uint64_t>(x + 8, low);
}

void updateByTables(cGcmHash* hash, const uint8_t* bytes, size_t length) {
  for (size_t at = 0; at < length; at += kBlock) {
    const size_t n = std::min(kBlock, length - at);
    for (size_t i = 0; i < n; ++i) hash->state[i] ^= bytes[at + i];
    multiplyByTables(hash, hash->state);
  }
}

#ifdef MF4_GCM_CLMUL

#define MF4_CLMUL_TARGET __attribute__((target("pclmul,ssse3")))

MF4_CLMUL_TARGET __m128i reversed(__m128i x) {
  const __m128i order =
      _mm_set_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
  return _mm_shuffle_epi8(x, order);
}

// a * b of byte-reversed blocks: the 256-bit carry-less product, shifted
// left by one bit (the reversal's offset), reduced modulo the polynomial.
MF4_CLMUL_TARGET __m128i multiply(__m128i a, __m128i b) {
  __m128i low = _mm_clmulepi64_si128(a, b, 0x00);
  __m128i middle = _mm_xor_si128(_mm_clmulepi64_si128(a, b, 0x10),
                                 _mm_clmulepi64_si128(a, b, 0x01));
  __m128i high = _mm_clmulepi64_si128(a, b, 0x11);
  low = _mm_xor_si128(low, _mm_slli_si128(middle, 8));
  high = _mm_xor_si128(high, _mm_srli_si128(middle, 8));
  // high:low <<= 1
  const __m128i lowCarry = _mm_srli_epi32(low, 31);
  const __m128i highCarry = _mm_srli_epi32(high, 31);
  low = _mm_or_si128(_mm_slli_epi32(low, 1), _mm_slli_si128(lowCarry, 4));
  high = _mm_or_si128(
      _mm_slli_epi32(high, 1),
      _mm_or_si128(_mm_slli_si128(highCarry, 4), _mm_srli_si128(lowCarry, 12)));
  // Reduction: first the words' left shifts, then their right shifts.
  __m128i left = _mm_xor_si128(
      _mm_xor_si128(_mm_slli_epi32(low, 31), _mm_slli_epi32(low, 30)),
      _mm_slli_epi32(low, 25));
  const __m128i spill = _mm_srli_si128(left, 4);
  low = _mm_xor_si128(low, _mm_slli_si128(left, 12));
  __m128i right = _mm_xor_si128(
      _mm_xor_si128(_mm_srli_epi32(low, 1), _mm_srli_epi32(low, 2)),
      _mm_xor_si128(_mm_srli_epi32(low, 7), spill));
  return _mm_xor_si128(high, _mm_xor_si128(low, right));
}

MF4_CLMUL_TARGET void updateByClmul(cGcmHash* hash, const uint8_t* bytes,
                                    size_t length) {
  const __m128i key =
      reversed(_mm_loadu_si128(reinterpret_cast<const __m128i*>(hash->key)));
  __m128i y =
      reversed(_mm_loadu_si128(reinterpret_cast<const __m128i*>(hash->state)));
  size_t at = 0;
  for (; at + kBlock <= length; at += kBlock) {
    const __m128i x =
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + at));
    y = multiply(_mm_xor_si128(y, reversed(x)), key);
  }
  if (at < length) {
    uint8_t last[kBlock] = {};
    std::memcpy(last, bytes + at, length - at);
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(last));
    y = multiply(_mm_xor_si128(y, reversed(x)), key);
  }
  _mm_storeu_si128(reinterpret_cast<__m128i*>(hash->state), reversed(y));
}

bool clmulAvailable() {
  __builtin_cpu_init();  // idempotent; needed before the checks in constructors
  return __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("ssse3");
}

#else

void updateByClmul(cGcmHash* hash, const uint8_t* bytes, size_t length) {
  updateByTables(hash, bytes, length);
}

bool clmulAvailable() { return false; }

#endif

}  // namespace

void cGcmHash_init(cGcmHash* hash, const uint8_t* key, bool clmul) {
  std::memset(hash->state, 0, sizeof hash->state);
  std::memcpy(hash->key, key, sizeof hash->key);
  makeTables(hash);
  hash->clmul = clmul && clmulAvailable();
}

void cGcmHash_update(cGcmHash* hash, const uint8_t* bytes, size_t length) {
  if (length == 0) return;
  if (hash->clmul)
    updateByClmul(hash, bytes, length);
  else
    updateByTables(hash, bytes, length);
}

void cGcmHash_finish(cGcmHash* hash, uint64_t authenticated,
                     uint64_t ciphertext, uint8_t* out) {
  uint8_t lengths[kBlock];
  cCoding_storeBE<uint64_t>(lengths, authenticated * 8);
  cCoding_storeBE<uint64_t>(lengths + 8, ciphertext * 8);
  cGcmHash_update(hash, lengths, sizeof lengths);
  std::memcpy(out, hash->state, sizeof hash->state);
}
