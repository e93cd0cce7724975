// GHASH against mbedtls' AES-GCM: the tag it makes of a message, from the
// hash over its authenticated data and ciphertext, on both paths.
#include "containers/cGcmHash.h"

#include <gtest/gtest.h>
#include <mbedtls/aes.h>
#include <mbedtls/gcm.h>

#include <cstring>
#include <vector>

namespace {

const uint8_t kKey[32] = {1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11,
                          12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22,
                          23, 24, 25, 26, 27, 28, 29, 30, 31, 32};
const uint8_t kNonce[12] = {9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 255, 254};

// The tag from cGcmHash: GHASH XOR AES(J0), the ciphertext hashed in
// pieces of `piece` bytes (a multiple of 16).
std::vector<uint8_t> tagOf(const std::vector<uint8_t>& authenticated,
                           const std::vector<uint8_t>& ciphertext, size_t piece,
                           bool clmul) {
  mbedtls_aes_context aes;
  mbedtls_aes_init(&aes);
  EXPECT_EQ(mbedtls_aes_setkey_enc(&aes, kKey, 256), 0);
  uint8_t h[16] = {};
  EXPECT_EQ(mbedtls_aes_crypt_ecb(&aes, MBEDTLS_AES_ENCRYPT, h, h), 0);
  uint8_t j0[16] = {};
  std::memcpy(j0, kNonce, sizeof kNonce);
  j0[15] = 1;
  EXPECT_EQ(mbedtls_aes_crypt_ecb(&aes, MBEDTLS_AES_ENCRYPT, j0, j0), 0);
  mbedtls_aes_free(&aes);
  cGcmHash hash;
  cGcmHash_init(&hash, h, clmul);
  cGcmHash_update(&hash, authenticated.data(), authenticated.size());
  for (size_t at = 0; at < ciphertext.size(); at += piece)
    cGcmHash_update(&hash, ciphertext.data() + at,
                    std::min(piece, ciphertext.size() - at));
  std::vector<uint8_t> tag(16);
  cGcmHash_finish(&hash, authenticated.size(), ciphertext.size(), tag.data());
  for (int i = 0; i < 16; ++i) tag[i] ^= j0[i];
  return tag;
}

TEST(GcmHash, GivesMbedtlsTagsOnBothPaths) {
  uint32_t seed = 7;
  auto bytes = [&seed](size_t n) {
    std::vector<uint8_t> out(n);
    for (uint8_t& b : out) {
      seed = seed * 1103515245u + 12345u;
      b = static_cast<uint8_t>(seed >> 24);
    }
    return out;
  };
  mbedtls_gcm_context gcm;
  mbedtls_gcm_init(&gcm);
  ASSERT_EQ(mbedtls_gcm_setkey(&gcm, MBEDTLS_CIPHER_ID_AES, kKey, 256), 0);
  for (size_t authenticatedSize : {size_t{0}, size_t{16}, size_t{52}}) {
    for (size_t size : {0, 1, 15, 16, 17, 255, 4096, 65536 + 5}) {
      const std::vector<uint8_t> authenticated = bytes(authenticatedSize);
      const std::vector<uint8_t> plaintext = bytes(size);
      std::vector<uint8_t> ciphertext(size);
      std::vector<uint8_t> tag(16);
      ASSERT_EQ(mbedtls_gcm_crypt_and_tag(
                    &gcm, MBEDTLS_GCM_ENCRYPT, size, kNonce, sizeof kNonce,
                    authenticated.data(), authenticated.size(),
                    plaintext.data(), ciphertext.data(), 16, tag.data()),
                0);
      for (bool clmul : {false, true})
        for (size_t piece : {size_t{16}, size_t{4096}})
          EXPECT_EQ(tagOf(authenticated, ciphertext, piece, clmul), tag)
              << authenticatedSize << " " << size << " " << clmul << " "
              << piece;
    }
  }
  mbedtls_gcm_free(&gcm);
}

}  // namespace
