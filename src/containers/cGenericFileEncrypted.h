// Encrypted container: a file (an MF4 file or another container) encrypted
// with AES-256-GCM under a key that PBKDF2-HMAC-SHA-256 derives from the
// device's password and a per-file salt. The first 52 bytes, as stored, are
// the additional authenticated data.
//
// Layout on disk (integers big-endian):
//   offset    width      field
//        0       20      common header (cGenericFile.h), container type 0x11
//       20       12      nonce (GCM initialisation vector)
//       32        4      PBKDF2 iteration count
//       36       16      PBKDF2 salt
//       52   size-68     ciphertext, as long as the plaintext
//  size-16       16      GCM authentication tag
//
// Opening reads the ciphertext once and verifies the tag, which GCM
// computes over the ciphertext (cGcmHash.h): nothing is decrypted before
// it matched, nor for it. The opened stream then decrypts what is
// read, where it is read (GCM's counter mode allows any offset), without
// holding the plaintext. Each chunk of ciphertext is read again for that:
// its digest (a polynomial hash under a key derived from the file's key),
// recorded during the first pass, must match, so a file that changed
// between the passes never yields different data.
#pragma once

#include <mbedtls/aes.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "containers/cGenericFile.h"
#include "log/cReason.h"
#include "streams/cIO.h"

// Chunks decrypted and kept at once.
inline constexpr int kEncryptedCachedChunks = 4;

struct cGenericFileEncryptedChunk {
  uint64_t index;  // chunk number; UINT64_MAX when the slot holds none
  uint64_t used;   // clock tick of its last use
  uint8_t* bytes;  // chunk_size bytes of plaintext, owned
};

struct cGenericFileEncrypted_t : cIO {
  cGenericFileHeader header;      // copy of the container header
  cIO* source;                    // the container's stream; not owned
  uint8_t nonce[12];              // GCM initialisation vector
  uint64_t size;                  // plaintext (= ciphertext) bytes
  uint64_t position;              // the stream's position
  uint64_t chunk_size;            // a multiple of the AES block
  std::vector<uint64_t> digests;  // per chunk, from the first pass
  mbedtls_aes_context aes;        // AES-256 under the file's key, for CTR
  uint64_t digest_key[4];  // the secret key k and k^2 to k^4, mod 2^61 - 1
  cGenericFileEncryptedChunk cache[kEncryptedCachedChunks];
  uint64_t clock;  // ticks for the least recently used chunk
  bool failed;     // sticky: the source changed or failed since the open
  cReason fault;   // why it failed
};

// Opens the container on `source` (its header already read into `header`
// by cGenericFile_readHeader; the source must be able to seek) with the
// password bytes (no terminator; null only with length 0). Returns the new
// stream, positioned at 0, or nullptr on any failure: null arguments, a
// header combination that is not accepted, a container shorter than 68
// bytes, a source that ends or fails before the ciphertext is used up, or a
// tag mismatch (a wrong password or any changed byte). Nothing is logged;
// nothing stays allocated on failure. The source is neither closed nor
// taken over and must outlive the stream. The stream reads, tells and
// seeks; write returns -1. Why it failed is noted in *reason (when not
// null; log/cReason.h), with the offset in the container: "encrypted
// container at 0x20: PBKDF2 iteration count 4294967295 above
// kMaxIterations (10000000)", "encrypted container at 0x2A4:
// authentication tag does not match (a wrong password, or a damaged
// file)". Should the source change or fail later, reads fail (-1) from
// then on and cGenericFile_encrypted_fault tells why.
//
// Key derivation costs as many HMAC-SHA-256 iterations as the file states.
cIO* cGenericFile_encrypted_open(cIO* source, const cGenericFileHeader* header,
                                 const char* password, size_t password_length,
                                 cReason* reason = nullptr);

// Why reads of an opened encrypted container `stream` fail, or nullptr
// while they do not or when `stream` is no encrypted container.
const cReason* cGenericFile_encrypted_fault(const cIO* stream);
// The source an opened encrypted container reads; nullptr when `stream` is
// none.
cIO* cGenericFile_encrypted_source(const cIO* stream);
