// Encrypted container: PBKDF2-HMAC-SHA-256 key derivation and streaming
// AES-256-GCM decryption through the mbedtls cipher interface.
#include "containers/cGenericFileEncrypted.h"

#include <mbedtls/cipher.h>
#include <mbedtls/md.h>
#include <mbedtls/pkcs5.h>
#include <mbedtls/platform_util.h>
#include <mbedtls/version.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <new>

#include "streams/cCoding.h"
#include "streams/cIO_memoryAlloc.h"
#include "streams/cSerializer.h"

namespace {

constexpr size_t kNonceOffset = kGenericFileHeaderSize;
constexpr size_t kNonceSize = 12;
constexpr size_t kIterationsOffset = kNonceOffset + kNonceSize;
constexpr size_t kSaltOffset = kIterationsOffset + 4;
constexpr size_t kSaltSize = 16;
// Everything before the ciphertext; authenticated, not encrypted.
constexpr size_t kAuthenticatedSize = kSaltOffset + kSaltSize;
constexpr size_t kTagSize = 16;
constexpr int64_t kMinContainerSize = kAuthenticatedSize + kTagSize;
constexpr size_t kKeySize = 32;
// Ciphertext is decrypted in steps of this size, a multiple of the AES block
// as GCM needs for every step but the last.
constexpr size_t kStepSize = 512;
constexpr size_t kAesBlockSize = 16;
// PBKDF2 costs about a microsecond per iteration here, and the count comes
// from the file: a damaged or hostile count near 2^32 would keep the open
// busy for over an hour. Loggers use far fewer; more than this is refused.
// Fuzzing builds refuse counts above their own inputs' (a few seconds per
// input would hide every other finding behind timeouts).
#ifdef FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION
constexpr uint32_t kMaxIterations = 1'000;
#else
constexpr uint32_t kMaxIterations = 10'000'000;
#endif

// The operations of stream kind cGenericFileEncrypted.
using cGenericFileEncrypted = cGenericFileContentOps<cGenericFileEncrypted_t>;

// Notes "encrypted container at 0x<offset>: <text>" in *reason and returns
// false.
__attribute__((format(printf, 3, 4))) bool refuse(cReason* reason,
                                                  uint64_t offset,
                                                  const char* format, ...) {
  if (!reason || reason->set) return false;
  char text[sizeof reason->text];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  return cReason_note(reason, offset, "encrypted container at 0x%llX: %s",
                      static_cast<unsigned long long>(offset), text);
}

// PBKDF2-HMAC-SHA-256. The one place where the mbedtls series differ: 3.3
// and later take the hash type directly (the context form is deprecated
// there), 2.28 wants an HMAC context.
int deriveKey(const char* password, size_t password_length, const uint8_t* salt,
              uint32_t iterations, uint8_t* key) {
  const unsigned char* pw = reinterpret_cast<const unsigned char*>(password);
#if MBEDTLS_VERSION_NUMBER >= 0x03030000
  return mbedtls_pkcs5_pbkdf2_hmac_ext(MBEDTLS_MD_SHA256, pw, password_length,
                                       salt, kSaltSize, iterations, kKeySize,
                                       key);
#else
  mbedtls_md_context_t md;
  mbedtls_md_init(&md);
  const mbedtls_md_info_t* info = mbedtls_md_info_from_type(MBEDTLS_MD_SHA256);
  int result = info ? mbedtls_md_setup(&md, info, 1) : -1;
  if (result == 0)
    result = mbedtls_pkcs5_pbkdf2_hmac(&md, pw, password_length, salt,
                                       kSaltSize, iterations, kKeySize, key);
  mbedtls_md_free(&md);
  return result;
#endif
}

// Decrypts the ciphertext [kAuthenticatedSize, size - kTagSize) of source
// into content and checks the tag. The cipher is keyed and holds the
// authenticated data already.
bool decryptInto(mbedtls_cipher_context_t* cipher, cIO* source, int64_t size,
                 const uint8_t* tag, cIO* content, cReason* reason) {
  uint8_t in[kStepSize];
  uint8_t out[kStepSize + kAesBlockSize];
  uint64_t remaining = static_cast<uint64_t>(size - kMinContainerSize);
  if (!cIO_seekTo(source, kAuthenticatedSize))
    return refuse(reason, kAuthenticatedSize,
                  "its ciphertext could not be read");
  while (remaining > 0) {
    const size_t step =
        remaining < kStepSize ? static_cast<size_t>(remaining) : kStepSize;
    size_t produced = 0;
    if (cIO_readFull(source, in, step) != static_cast<int64_t>(step))
      return refuse(reason, static_cast<uint64_t>(size - kTagSize) - remaining,
                    "its ciphertext could not be read");
    if (mbedtls_cipher_update(cipher, in, step, out, &produced) != 0)
      return refuse(reason, kNonceOffset, "the cipher failed");
    if (cIO_write(content, out, produced) != static_cast<int64_t>(produced))
      return refuse(reason, kAuthenticatedSize, "out of memory");
    remaining -= step;
  }
  size_t produced = 0;
  if (mbedtls_cipher_finish(cipher, out, &produced) != 0)
    return refuse(reason, kNonceOffset, "the cipher failed");
  if (cIO_write(content, out, produced) != static_cast<int64_t>(produced))
    return refuse(reason, kAuthenticatedSize, "out of memory");
  if (mbedtls_cipher_check_tag(cipher, tag, kTagSize) != 0)
    return refuse(reason, static_cast<uint64_t>(size) - kTagSize,
                  "authentication tag does not match (a wrong password, or a "
                  "damaged file)");
  return true;
}

bool load(cIO* source, const char* password, size_t password_length,
          cIO* content, cReason* reason) {
  // The authenticated bytes are read once and the nonce, iteration count
  // and salt taken from them, so what is used is what is authenticated.
  uint8_t authenticated[kAuthenticatedSize];
  uint8_t tag[kTagSize];
  cSerializer s;
  const int64_t size = cIO_seek(source, 0, CIO_SEEK_END);
  if (size < 0 || cIO_seek(source, 0, CIO_SEEK_SET) != 0)
    return refuse(reason, 0, "its size cannot be measured");
  if (size < kMinContainerSize)
    return refuse(reason, 0,
                  "%lld bytes, fewer than the %lld of its header, parameters "
                  "and tag",
                  static_cast<long long>(size),
                  static_cast<long long>(kMinContainerSize));
  cSerializer_ctor(&s, source);
  if (!cSerializer_readRaw(&s, authenticated, sizeof authenticated) ||
      !cSerializer_skip(&s, static_cast<uint64_t>(size - kMinContainerSize)) ||
      !cSerializer_readRaw(&s, tag, sizeof tag))
    return refuse(reason, 0, "its parameters or tag could not be read");

  uint8_t key[kKeySize];
  mbedtls_cipher_context_t cipher;
  mbedtls_cipher_init(&cipher);
  const mbedtls_cipher_info_t* info = mbedtls_cipher_info_from_values(
      MBEDTLS_CIPHER_ID_AES, static_cast<int>(kKeySize * 8), MBEDTLS_MODE_GCM);
  const uint32_t iterations =
      cCoding_loadBE<uint32_t>(authenticated + kIterationsOffset);
  bool ok = false;
  if (iterations > kMaxIterations)
    refuse(reason, kIterationsOffset,
           "PBKDF2 iteration count %u above kMaxIterations (%u)",
           unsigned{iterations}, unsigned{kMaxIterations});
  else if (deriveKey(password, password_length, authenticated + kSaltOffset,
                     iterations, key) != 0 ||
           !info || mbedtls_cipher_setup(&cipher, info) != 0 ||
           mbedtls_cipher_setkey(&cipher, key, static_cast<int>(kKeySize * 8),
                                 MBEDTLS_DECRYPT) != 0 ||
           mbedtls_cipher_set_iv(&cipher, authenticated + kNonceOffset,
                                 kNonceSize) != 0 ||
           mbedtls_cipher_update_ad(&cipher, authenticated,
                                    sizeof authenticated) != 0)
    refuse(reason, kNonceOffset, "the cipher could not be set up");
  else
    ok = decryptInto(&cipher, source, size, tag, content, reason);
  mbedtls_cipher_free(&cipher);
  mbedtls_platform_zeroize(key, sizeof key);
  return ok;
}

}  // namespace

cIO* cGenericFile_encrypted_open(cIO* source, const cGenericFileHeader* header,
                                 const char* password, size_t password_length,
                                 cReason* reason) {
  static const char kNoPassword[1] = {};
  if (!source || !header || (!password && password_length > 0)) {
    cReason_note(reason, kReasonNoOffset, "no container to open");
    return nullptr;
  }
  if (!cGenericFile_accepts(header, GENERIC_FILE_TYPE_ENCRYPTED)) {
    cGenericFile_refuseHeader(header, "encrypted", reason);
    return nullptr;
  }
  if (!password) password = kNoPassword;
  cGenericFileEncrypted_t* e = new (std::nothrow) cGenericFileEncrypted_t;
  if (!e) {
    refuse(reason, 0, "out of memory");
    return nullptr;
  }
  e->vtable = &cGenericFileEncrypted::vtable;
  e->header = *header;
  e->content = cIO_memoryAlloc_ctor();
  if (!e->content) refuse(reason, 0, "out of memory");
  if (!e->content ||
      !load(source, password, password_length, e->content, reason)) {
    // Whatever was decrypted before the tag check goes with the content.
    cGenericFileEncrypted::close(e);
    return nullptr;
  }
  return e;
}
