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
// Opening decrypts the whole content into a memory stream and verifies the
// tag; the opened stream then reads, writes, tells and seeks on that memory
// stream. Plaintext leaves the function only once the tag matched.
#pragma once

#include <cstddef>

#include "containers/cGenericFile.h"
#include "log/cReason.h"
#include "streams/cIO.h"

struct cGenericFileEncrypted_t : cIO {
  cGenericFileHeader header;  // copy of the container header
  cIO* content;               // owned memory stream: the plaintext
};

// Decrypts the container on `source` (its header already read into `header`
// by cGenericFile_readHeader) with the password bytes (no terminator; null
// only with length 0). Returns the new stream, positioned at the end of the
// plaintext, or nullptr on any failure: null arguments, a header combination
// that is not accepted, a container shorter than 68 bytes, a source that
// ends or fails before the ciphertext is used up, or a tag mismatch (a wrong
// password or any changed byte). Nothing is logged; nothing stays allocated
// on failure. The source is neither closed nor taken over. Why it failed is
// noted in *reason (when not null; log/cReason.h), with the offset in the
// container: "encrypted container at 0x20: PBKDF2 iteration count
// 4294967295 above kMaxIterations (10000000)", "encrypted container at
// 0x2A4: authentication tag does not match (a wrong password, or a damaged
// file)".
//
// Key derivation costs as many HMAC-SHA-256 iterations as the file states.
cIO* cGenericFile_encrypted_open(cIO* source, const cGenericFileHeader* header,
                                 const char* password, size_t password_length,
                                 cReason* reason = nullptr);
