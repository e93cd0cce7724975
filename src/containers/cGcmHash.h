// GHASH, the authentication hash of AES-GCM, on its own: what checking a
// GCM tag needs, without the counter-mode decryption. The tag of a GCM
// message is GHASH over its authenticated data and ciphertext, under the
// hash key H = AES_K(0^128), XORed with AES_K(J0); the ciphertext is
// hashed as it stands, so the tag can be checked before (or without)
// decrypting anything.
//
// Blocks are multiplied in GF(2^128) modulo x^128 + x^7 + x^2 + x + 1 in
// GCM's bit order: by carry-less multiplication where the processor has it
// (x86-64 with PCLMULQDQ), else by 4-bit tables (Shoup's method).
#pragma once

#include <cstddef>
#include <cstdint>

struct cGcmHash {
  uint8_t state[16];  // the running hash Y
  uint8_t key[16];    // H
  uint64_t high[16];  // the multiples of H by each 4-bit value: high halves
  uint64_t low[16];   // and low halves (the table path)
  bool clmul;         // carry-less multiplication is used
};

// Starts a hash under `key` (H, 16 bytes) with Y = 0. `clmul` false keeps
// to the tables even where carry-less multiplication is available (tests
// compare the two paths).
void cGcmHash_init(cGcmHash* hash, const uint8_t* key, bool clmul = true);

// Hashes `length` bytes as 16-byte blocks, a last partial block padded with
// zeros. A section (the authenticated data, the ciphertext) may be hashed
// in several calls, but only its last call may have a length that is no
// multiple of 16.
void cGcmHash_update(cGcmHash* hash, const uint8_t* bytes, size_t length);

// Hashes the block of the bit lengths (`authenticated` bytes of
// authenticated data, `ciphertext` bytes of ciphertext) and writes the
// resulting GHASH (16 bytes) to `out`.
void cGcmHash_finish(cGcmHash* hash, uint64_t authenticated,
                     uint64_t ciphertext, uint8_t* out);
