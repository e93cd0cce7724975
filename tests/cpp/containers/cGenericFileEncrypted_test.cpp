// Encrypted container: the encoder's containers, wrong passwords, every
// changed byte, truncation, refused headers and sources that end early,
// fail or deliver in short pieces.
#include "containers/cGenericFileEncrypted.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>

#include "support/container_test_support.h"

namespace {

const std::string kPassword = "brenix-fixture-password";

// Decrypts the container on `source` and returns the content read from
// offset 0, or nullopt when the header or the open fails.
std::optional<std::string> open(cIO* source,
                                const std::string& password = kPassword) {
  cGenericFileHeader h{};
  if (!cGenericFile_readHeader(source, &h)) return std::nullopt;
  IOPtr io(cGenericFile_encrypted_open(source, &h, password.data(),
                                       password.size()));
  if (!io) return std::nullopt;
  EXPECT_EQ(cIO_tell(io.get()), 0);
  const int64_t size = cIO_seek(io.get(), 0, CIO_SEEK_END);
  EXPECT_EQ(cIO_seek(io.get(), 0, CIO_SEEK_SET), 0);
  std::string content = readAll(io.get());
  EXPECT_EQ(static_cast<int64_t>(content.size()), size);
  return content;
}

std::optional<std::string> open(const std::string& file,
                                const std::string& password = kPassword) {
  IOPtr source = memoryWith(file);
  return open(source.get(), password);
}

TEST(EncryptedContainer, DecryptsTheEncodersContainers) {
  const std::string payload = containerFixture("payload.bin");
  const std::pair<const char*, size_t> cases[] = {
      {"encrypted_rev0.bin", payload.size()},
      {"encrypted_rev1.bin", payload.size()},
      {"encrypted_empty.bin", 0},
      {"encrypted_511.bin", 511},
      {"encrypted_512.bin", 512},
      {"encrypted_513.bin", 513},
  };
  for (const auto& [name, size] : cases)
    EXPECT_EQ(open(containerFixture(name)), payload.substr(0, size)) << name;
}

TEST(EncryptedContainer, ShortReadsFromTheSourceDecryptTheSame) {
  // Pieces that are no multiple of the cipher block.
  ScriptedSource source(containerFixture("encrypted_rev1.bin"));
  source.chunk = 100;
  EXPECT_EQ(open(&source), containerFixture("payload.bin"));
}

TEST(EncryptedContainer, WrongPasswordFails) {
  const std::string file = containerFixture("encrypted_513.bin");
  for (const std::string& password :
       {std::string(), kPassword + "x", kPassword.substr(1),
        std::string("Brenix-fixture-password")})
    EXPECT_FALSE(open(file, password)) << password;
}

TEST(EncryptedContainer, EveryChangedByteFails) {
  // Header, nonce, iteration count, salt, ciphertext and tag are all
  // covered by the tag.
  const std::string file = containerFixture("encrypted_511.bin");
  for (size_t at = 0; at < file.size(); ++at) {
    const std::string bad = withByte(file, at, file[at] ^ 0x01);
    EXPECT_FALSE(open(bad)) << at;
  }
}

TEST(EncryptedContainer, RefusesAnIterationCountNoLoggerUses) {
  // Bytes 32 to 35: the big-endian iteration count. Near 2^32 the key
  // derivation alone would run for more than an hour; the open is refused
  // before it starts.
  std::string file = containerFixture("encrypted_511.bin");
  for (size_t at = 32; at < 36; ++at) file = withByte(file, at, '\xff');
  EXPECT_FALSE(open(file));
}

TEST(EncryptedContainer, EveryTruncationFails) {
  // Below 68 bytes there is not even room for the header fields and the
  // tag; above, the tag is taken from the wrong place.
  const std::string file = containerFixture("encrypted_511.bin");
  for (size_t size = 0; size < file.size(); ++size)
    EXPECT_FALSE(open(file.substr(0, size))) << size;
  EXPECT_FALSE(open(containerFixture("encrypted_empty.bin").substr(0, 67)));
}

TEST(EncryptedContainer, RefusesHeaderCombinationsOutsideTheTable) {
  const std::string file = containerFixture("encrypted_rev0.bin");
  // footer flag 1, header version 2 and 0, format revision 2, type.
  const std::pair<size_t, char> cases[] = {{13, 1}, {15, 2},    {15, 0},
                                           {12, 2}, {14, 0x22}, {14, 0x33}};
  for (const auto& [at, value] : cases)
    EXPECT_FALSE(open(withByte(file, at, value))) << at << "=" << int(value);
  IOPtr source = memoryWith(file);
  cGenericFileHeader h{};
  ASSERT_TRUE(cGenericFile_readHeader(source.get(), &h));
  EXPECT_EQ(cGenericFile_encrypted_open(nullptr, &h, "x", 1), nullptr);
  EXPECT_EQ(cGenericFile_encrypted_open(source.get(), nullptr, "x", 1),
            nullptr);
  EXPECT_EQ(cGenericFile_encrypted_open(source.get(), &h, nullptr, 1), nullptr);
  // No password at all is a wrong password, not a crash.
  EXPECT_EQ(cGenericFile_encrypted_open(source.get(), &h, nullptr, 0), nullptr);
}

TEST(EncryptedContainer, SourceThatEndsOrFailsInTheCiphertextFails) {
  // The source reports its full size, but reads inside the ciphertext give
  // nothing (or an error): the open must fail, not wait for bytes.
  for (int64_t result : {0, -1}) {
    ScriptedSource source(containerFixture("encrypted_rev0.bin"));
    source.chunk = 100;
    source.hole_begin = 52 + 512;
    source.hole_end = source.data.size() - 16;
    source.hole_result = result;
    EXPECT_FALSE(open(&source)) << result;
  }
}

TEST(EncryptedContainer, StreamDecryptsAnyPieceOfThePlaintext) {
  const std::string payload = containerFixture("payload.bin");
  IOPtr source = memoryWith(containerFixture("encrypted_rev1.bin"));
  cGenericFileHeader h{};
  ASSERT_TRUE(cGenericFile_readHeader(source.get(), &h));
  IOPtr io(cGenericFile_encrypted_open(source.get(), &h, kPassword.data(),
                                       kPassword.size()));
  ASSERT_NE(io, nullptr);
  EXPECT_EQ(static_cast<cGenericFileEncrypted_t*>(io.get())->header.device_id,
            0x0001E240u);
  EXPECT_EQ(cIO_write(io.get(), "XY", 2), -1);  // read-only
  // Pieces at any offset, backwards too, across the AES blocks.
  for (size_t at = payload.size() - 1; at < payload.size(); at -= 7) {
    const size_t n = std::min<size_t>(1 + at % 50, payload.size() - at);
    std::string piece(n, '\0');
    ASSERT_EQ(cIO_seek(io.get(), static_cast<int64_t>(at), CIO_SEEK_SET),
              static_cast<int64_t>(at));
    ASSERT_EQ(cIO_read(io.get(), piece.data(), n), static_cast<int64_t>(n));
    ASSERT_EQ(piece, payload.substr(at, n)) << at;
  }
  char byte;
  EXPECT_EQ(cIO_seek(io.get(), 0, CIO_SEEK_END),
            static_cast<int64_t>(payload.size()));
  EXPECT_EQ(cIO_read(io.get(), &byte, 1), 0);
}

TEST(EncryptedContainer, AFileChangedAfterTheOpenFailsItsReads) {
  // Changed ciphertext, or a file cut short, after the tag was verified:
  // the digest of the chunk read again no longer matches, or the chunk
  // cannot be read; no plaintext comes of it, now or later.
  const std::string file = containerFixture("encrypted_rev1.bin");
  for (const size_t at : {size_t{52}, file.size() / 2, file.size() - 17}) {
    for (const bool cut : {false, true}) {
      ScriptedSource source(file);
      cGenericFileHeader h{};
      ASSERT_TRUE(cGenericFile_readHeader(&source, &h));
      IOPtr io(cGenericFile_encrypted_open(&source, &h, kPassword.data(),
                                           kPassword.size()));
      ASSERT_NE(io, nullptr);
      if (cut)
        source.data.resize(at);
      else
        source.data[at] ^= 0x40;
      char buffer[2000];
      EXPECT_EQ(cIO_read(io.get(), buffer, sizeof buffer), -1) << at;
      EXPECT_EQ(cIO_seek(io.get(), 0, CIO_SEEK_SET), 0);
      EXPECT_EQ(cIO_read(io.get(), buffer, 1), -1) << at;
      const cReason* fault = cGenericFile_encrypted_fault(io.get());
      ASSERT_NE(fault, nullptr);
      EXPECT_STREQ(cReason_text(fault),
                   cut ? "encrypted content at 0x0: the encrypted file can no "
                         "longer be read"
                       : "encrypted content at 0x0: the encrypted file "
                         "changed since it was opened");
      EXPECT_EQ(cGenericFile_encrypted_source(io.get()), &source);
    }
  }
}

}  // namespace
