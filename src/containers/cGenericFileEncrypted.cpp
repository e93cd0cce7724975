// Encrypted container: PBKDF2-HMAC-SHA-256 key derivation, a first pass
// that verifies the GCM tag (GHASH over the ciphertext, nothing decrypted)
// and records a digest of every chunk, then decryption on demand in
// counter mode with mbedtls' AES.
#include "containers/cGenericFileEncrypted.h"

#include <mbedtls/aes.h>
#include <mbedtls/md.h>
#include <mbedtls/pkcs5.h>
#include <mbedtls/platform_util.h>
#include <mbedtls/version.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#include "containers/cGcmHash.h"
#include "streams/cCoding.h"
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
constexpr size_t kAesBlockSize = 16;
// Chunks of 64 KiB, larger for files of more than 2^16 of them, so that the
// digests take at most 512 KiB.
constexpr uint64_t kFirstChunkSize = 64u << 10;
constexpr uint64_t kMaxChunks = 1u << 16;
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

constexpr const char* kWhat = "encrypted container";

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

using Stream = cGenericFileEncrypted_t;

Stream* asStream(cIO* io) { return static_cast<Stream*>(io); }

uint64_t chunkCount(const Stream* e) {
  return (e->size + e->chunk_size - 1) / e->chunk_size;
}

uint64_t chunkLength(const Stream* e, uint64_t index) {
  return std::min(e->chunk_size, e->size - index * e->chunk_size);
}

constexpr uint64_t kPrime = (uint64_t{1} << 61) - 1;
__extension__ typedef unsigned __int128 Wide;  // GCC's and Clang's own

// x modulo 2^61 - 1.
uint64_t reduce(uint64_t x) {
  x = (x & kPrime) + (x >> 61);
  return x >= kPrime ? x - kPrime : x;
}

// a * b modulo 2^61 - 1, for a below 2^63 and b below 2^61.
uint64_t mulMod(uint64_t a, uint64_t b) {
  const Wide product = static_cast<Wide>(a) * b;
  return reduce((static_cast<uint64_t>(product) & kPrime) +
                static_cast<uint64_t>(product >> 61));
}

// The 7-byte word at p.
uint64_t word(const uint8_t* p) {
  return cCoding_loadLE<uint64_t>(p) & 0xFFFFFFFFFFFFFF;
}

// The digest of a chunk of ciphertext: the polynomial in the secret key
// whose coefficients are the chunk's 7-byte words and its length, modulo
// the prime 2^61 - 1 (a Carter-Wegman hash). For a key nobody else knows,
// two different chunks of up to 1 MiB get the same digest with a
// probability below 2^-43, however they were made. Four words go at once
// (by the key's first four powers), so that the multiplications need not
// wait for each other: a small part of the decryption's cost.
uint64_t digest(const uint64_t* powers, const uint8_t* bytes, uint64_t length) {
  uint64_t h = 0;
  uint64_t at = 0;
  for (; at + 29 <= length; at += 28)
    h = reduce(mulMod(h + word(bytes + at), powers[3]) +
               mulMod(word(bytes + at + 7), powers[2]) +
               mulMod(word(bytes + at + 14), powers[1]) +
               mulMod(word(bytes + at + 21), powers[0]));
  for (; at < length; at += 7) {
    const auto n = static_cast<unsigned>(std::min<uint64_t>(8, length - at));
    h = mulMod(h + (cCoding_loadLEn(bytes + at, n) & 0xFFFFFFFFFFFFFF),
               powers[0]);
  }
  return mulMod(h + length, powers[0]);
}

// The AES key schedule, GCM's hash key H = AES(0^128) into `hash`, and the
// digest key, from the file's key encrypting a constant block, so that it
// is as secret as the file's key and shares nothing else with it.
bool setUpKeys(Stream* e, const uint8_t* key, cGcmHash* hash) {
  static const uint8_t kLabel[kAesBlockSize + 1] = "chunk digest key";
  static const uint8_t kZero[kAesBlockSize] = {};
  uint8_t derived[kAesBlockSize];
  uint8_t hashKey[kAesBlockSize] = {};
  bool ok =
      mbedtls_aes_setkey_enc(&e->aes, key, kKeySize * 8) == 0 &&
      mbedtls_aes_crypt_ecb(&e->aes, MBEDTLS_AES_ENCRYPT, kZero, hashKey) ==
          0 &&
      mbedtls_aes_crypt_ecb(&e->aes, MBEDTLS_AES_ENCRYPT, kLabel, derived) == 0;
  cGcmHash_init(hash, hashKey);
  mbedtls_platform_zeroize(hashKey, sizeof hashKey);
  // Below the prime and not 0 (which would make every digest alike).
  e->digest_key[0] = cCoding_loadLE<uint64_t>(derived) % (kPrime - 1) + 1;
  for (int i = 1; i < 4; ++i)
    e->digest_key[i] = mulMod(e->digest_key[i - 1], e->digest_key[0]);
  mbedtls_platform_zeroize(derived, sizeof derived);
  return ok;
}

// The first pass: checks the tag, GHASH over the authenticated data and
// the ciphertext (hashed as it stands: nothing is decrypted), and records
// each chunk's digest. `hash` holds the authenticated data already.
bool verify(Stream* e, cGcmHash* hash, const uint8_t* tag, cReason* reason) {
  uint8_t* buffer = static_cast<uint8_t*>(std::malloc(e->chunk_size));
  if (!buffer) return cReason_noteAt(reason, kWhat, 0, "out of memory");
  bool ok = true;
  if (!cIO_seekTo(e->source, kAuthenticatedSize))
    ok = cReason_noteAt(reason, kWhat, kAuthenticatedSize,
                        "its ciphertext could not be read");
  for (uint64_t index = 0; ok && index < chunkCount(e); ++index) {
    const uint64_t at = index * e->chunk_size;
    const uint64_t n = chunkLength(e, index);
    if (cIO_readFull(e->source, buffer, n) != static_cast<int64_t>(n)) {
      ok = cReason_noteAt(reason, kWhat, kAuthenticatedSize + at,
                          "its ciphertext could not be read");
      break;
    }
    e->digests[index] = digest(e->digest_key, buffer, n);
    cGcmHash_update(hash, buffer, n);
  }
  // The tag: the hash XOR the encrypted first counter block (J0: the nonce
  // and a count of 1), compared in constant time.
  uint8_t expected[kAesBlockSize];
  uint8_t counter[kAesBlockSize] = {};
  std::memcpy(counter, e->nonce, kNonceSize);
  counter[kAesBlockSize - 1] = 1;
  if (ok) {
    cGcmHash_finish(hash, kAuthenticatedSize, e->size, expected);
    if (mbedtls_aes_crypt_ecb(&e->aes, MBEDTLS_AES_ENCRYPT, counter, counter) !=
        0)
      ok = cReason_noteAt(reason, kWhat, kNonceOffset, "the cipher failed");
  }
  if (ok) {
    uint8_t difference = 0;
    for (size_t i = 0; i < kTagSize; ++i)
      difference |= static_cast<uint8_t>(expected[i] ^ counter[i] ^ tag[i]);
    if (difference != 0)
      ok = cReason_noteAt(reason, kWhat, kAuthenticatedSize + e->size,
                          "authentication tag does not match (a wrong "
                          "password, or a damaged file)");
  }
  std::free(buffer);
  return ok;
}

bool load(Stream* e, const char* password, size_t password_length,
          cReason* reason) {
  // The authenticated bytes are read once and the nonce, iteration count
  // and salt taken from them, so what is used is what is authenticated.
  uint8_t authenticated[kAuthenticatedSize];
  uint8_t tag[kTagSize];
  cSerializer s;
  cIO* source = e->source;
  const int64_t size = cIO_seek(source, 0, CIO_SEEK_END);
  if (size < 0 || cIO_seek(source, 0, CIO_SEEK_SET) != 0)
    return cReason_noteAt(reason, kWhat, 0, "its size cannot be measured");
  if (size < kMinContainerSize)
    return cReason_noteAt(reason, kWhat, 0,
                          "%lld bytes, fewer than the %lld of its header, "
                          "parameters and tag",
                          static_cast<long long>(size),
                          static_cast<long long>(kMinContainerSize));
  cSerializer_ctor(&s, source);
  if (!cSerializer_readRaw(&s, authenticated, sizeof authenticated) ||
      !cSerializer_skip(&s, static_cast<uint64_t>(size - kMinContainerSize)) ||
      !cSerializer_readRaw(&s, tag, sizeof tag))
    return cReason_noteAt(reason, kWhat, 0,
                          "its parameters or tag could not be read");
  e->size = static_cast<uint64_t>(size - kMinContainerSize);
  std::memcpy(e->nonce, authenticated + kNonceOffset, kNonceSize);
  e->chunk_size = kFirstChunkSize;
  while (e->size / e->chunk_size >= kMaxChunks) e->chunk_size *= 2;
  try {
    e->digests.resize(chunkCount(e));
  } catch (...) {
    return cReason_noteAt(reason, kWhat, 0, "out of memory");
  }

  uint8_t key[kKeySize];
  cGcmHash hash;
  const uint32_t iterations =
      cCoding_loadBE<uint32_t>(authenticated + kIterationsOffset);
  bool ok = false;
  if (iterations > kMaxIterations)
    cReason_noteAt(reason, kWhat, kIterationsOffset,
                   "PBKDF2 iteration count %u above kMaxIterations (%u)",
                   unsigned{iterations}, unsigned{kMaxIterations});
  else if (deriveKey(password, password_length, authenticated + kSaltOffset,
                     iterations, key) != 0 ||
           !setUpKeys(e, key, &hash))
    cReason_noteAt(reason, kWhat, kNonceOffset,
                   "the cipher could not be set up");
  else {
    cGcmHash_update(&hash, authenticated, sizeof authenticated);
    ok = verify(e, &hash, tag, reason);
  }
  mbedtls_platform_zeroize(&hash, sizeof hash);
  mbedtls_platform_zeroize(key, sizeof key);
  return ok;
}

bool fail(Stream* e, uint64_t offset, const char* what) {
  if (!e->failed)
    cReason_noteAt(&e->fault, "encrypted content", offset, "%s", what);
  e->failed = true;
  return false;
}

// Reads chunk `index` of ciphertext into `out`, checks its digest and
// decrypts it there: counter block 2 + the chunk's first AES block, after
// the nonce, as GCM numbers them.
bool decryptChunk(Stream* e, uint64_t index, uint8_t* out) {
  const uint64_t at = index * e->chunk_size;
  const uint64_t n = chunkLength(e, index);
  if (!cIO_seekTo(e->source, kAuthenticatedSize + at) ||
      cIO_readFull(e->source, out, n) != static_cast<int64_t>(n))
    return fail(e, at, "the encrypted file can no longer be read");
  if (digest(e->digest_key, out, n) != e->digests[index])
    return fail(e, at, "the encrypted file changed since it was opened");
  uint8_t counter[kAesBlockSize];
  std::memcpy(counter, e->nonce, kNonceSize);
  // GCM counts the low 32 bits of the counter block, modulo 2^32.
  auto block = static_cast<uint32_t>(2 + at / kAesBlockSize);
  for (uint64_t i = 0; i < n; i += kAesBlockSize) {
    uint8_t pad[kAesBlockSize];
    cCoding_storeBE<uint32_t>(counter + kNonceSize, block++);
    if (mbedtls_aes_crypt_ecb(&e->aes, MBEDTLS_AES_ENCRYPT, counter, pad) != 0)
      return fail(e, at, "the cipher failed");
    const uint64_t m = std::min<uint64_t>(kAesBlockSize, n - i);
    for (uint64_t j = 0; j < m; ++j) out[i + j] ^= pad[j];
  }
  return true;
}

// The cached plaintext of chunk `index`, decrypting it into the least
// recently used slot when it is not there; null when that fails.
const uint8_t* cachedChunk(Stream* e, uint64_t index) {
  cGenericFileEncryptedChunk* oldest = &e->cache[0];
  for (cGenericFileEncryptedChunk& slot : e->cache) {
    if (slot.index == index) {
      slot.used = ++e->clock;
      return slot.bytes;
    }
    if (slot.used < oldest->used) oldest = &slot;
  }
  if (!oldest->bytes) {
    oldest->bytes = static_cast<uint8_t*>(std::malloc(e->chunk_size));
    if (!oldest->bytes) return nullptr;
  }
  oldest->index = UINT64_MAX;
  if (!decryptChunk(e, index, oldest->bytes)) return nullptr;
  oldest->index = index;
  oldest->used = ++e->clock;
  return oldest->bytes;
}

// Whole chunks the read covers are decrypted straight into the caller's
// buffer; the pieces of others come from the cache.
int64_t read(cIO* io, void* dst, uint64_t len) {
  Stream* e = asStream(io);
  if (e->failed) return -1;
  if (e->position >= e->size || len == 0) return 0;
  if (!dst) return -1;
  const uint64_t n = std::min(len, e->size - e->position);
  auto* out = static_cast<uint8_t*>(dst);
  uint64_t done = 0;
  while (done < n) {
    const uint64_t at = e->position + done;
    const uint64_t index = at / e->chunk_size;
    const uint64_t offset = at - index * e->chunk_size;
    const uint64_t length = chunkLength(e, index);
    const uint64_t take = std::min(length - offset, n - done);
    if (offset == 0 && take == length) {
      if (!decryptChunk(e, index, out + done)) return -1;
    } else {
      const uint8_t* chunk = cachedChunk(e, index);
      if (!chunk) {
        if (!e->failed) fail(e, at, "out of memory");
        return -1;
      }
      std::memcpy(out + done, chunk + offset, take);
    }
    done += take;
  }
  e->position += n;
  return static_cast<int64_t>(n);
}

int64_t write(cIO*, const void*, uint64_t) { return -1; }

int64_t tell(cIO* io) { return static_cast<int64_t>(asStream(io)->position); }

int64_t seek(cIO* io, int64_t offset, int whence) {
  Stream* e = asStream(io);
  const int64_t target = cIO_seekTarget(e->position, e->size, offset, whence);
  if (target < 0) return -1;
  e->position = static_cast<uint64_t>(target);
  return target;
}

// Releases the ciphers, the cached plaintext and the record; the source
// stays open.
int close(cIO* io) {
  Stream* e = asStream(io);
  mbedtls_aes_free(&e->aes);
  for (cGenericFileEncryptedChunk& slot : e->cache) {
    if (slot.bytes) mbedtls_platform_zeroize(slot.bytes, e->chunk_size);
    std::free(slot.bytes);
  }
  delete e;
  return 0;
}

const cIO_vtable kOperations = {read, write, tell, seek, close};

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
  Stream* e = new (std::nothrow) Stream;
  if (!e) {
    cReason_noteAt(reason, kWhat, 0, "out of memory");
    return nullptr;
  }
  e->vtable = &kOperations;
  e->header = *header;
  e->source = source;
  e->size = 0;
  e->position = 0;
  e->chunk_size = kFirstChunkSize;
  mbedtls_aes_init(&e->aes);
  for (cGenericFileEncryptedChunk& slot : e->cache)
    slot = {UINT64_MAX, 0, nullptr};
  e->clock = 0;
  e->failed = false;
  e->fault = {};
  if (!load(e, password, password_length, reason)) {
    close(e);
    return nullptr;
  }
  return e;
}

const cReason* cGenericFile_encrypted_fault(const cIO* stream) {
  if (!stream || stream->vtable != &kOperations) return nullptr;
  const auto* e = static_cast<const Stream*>(stream);
  return e->failed ? &e->fault : nullptr;
}

cIO* cGenericFile_encrypted_source(const cIO* stream) {
  if (!stream || stream->vtable != &kOperations) return nullptr;
  return static_cast<const Stream*>(stream)->source;
}
