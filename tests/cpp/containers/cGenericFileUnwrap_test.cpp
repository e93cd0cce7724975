// Unwrapping: every container shape and both nestings open to the payload,
// plain content passes through, the password lookup's order and outcomes,
// damaged and truncated containers, the nesting limit, the messages, and the
// password table of the tools. Under the sanitizers a source that is not
// closed exactly once shows as a leak or a double free.
#include "containers/cGenericFileUnwrap.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "support/container_test_support.h"

namespace {

const std::string kPassword = "brenix-fixture-password";
const std::string kDevice = "0001E240";  // the fixtures' device id

using Passwords = std::map<std::string, std::string>;

// A lookup over a map that records the keys it was asked for; `fail` makes
// it report a failure of its own.
struct Lookup {
  explicit Lookup(Passwords known, bool failing = false)
      : passwords(std::move(known)), fail(failing) {}

  Passwords passwords;
  bool fail;
  std::vector<std::string> asked;

  static int call(void* userdata, const char* key, const char** password,
                  size_t* length) {
    auto* self = static_cast<Lookup*>(userdata);
    self->asked.emplace_back(key);
    if (self->fail) return -1;
    const auto found = self->passwords.find(key);
    if (found == self->passwords.end()) return 0;
    *password = found->second.data();
    *length = found->second.size();
    return 1;
  }
};

struct Unwrapped {
  cGenericFileStatus status;
  std::string content;  // from offset 0; "<null>" when nothing was returned
  std::string reason;   // why it failed; "" when it did not
  uint64_t offset;      // of the reason
};

Unwrapped unwrap(const std::string& file, Lookup* lookup) {
  Unwrapped out{};
  cReason reason{};
  IOPtr io(cGenericFile_unwrap(memoryWith(file).release(),
                               lookup ? Lookup::call : nullptr, lookup,
                               &out.status, &reason));
  out.reason = cReason_text(&reason);
  out.offset = reason.offset;
  if (!io) {
    out.content = "<null>";
    return out;
  }
  EXPECT_EQ(cIO_seek(io.get(), 0, CIO_SEEK_SET), 0);
  out.content = readAll(io.get());
  return out;
}

// A compressed container (revision 0, W = 8, L = 4) holding `content` as
// literals only.
std::string compressedAround(const std::string& content) {
  HeatshrinkBits bits(8, 4);
  for (char c : content) bits.literal(static_cast<uint8_t>(c));
  std::string out = "Generic File";
  out += {0, 0, 0x22, 1, 0, 0, 0, 7, 0, 0, 0, 4, 0, 0, 1, 0};
  return out + bits.bytes();
}

TEST(Unwrap, EveryShapeOpensToThePayload) {
  const std::string payload = containerFixture("payload.bin");
  const char* shapes[] = {
      "payload.bin",
      "compressed_rev0.bin",
      "compressed_rev1.bin",
      "encrypted_rev0.bin",
      "encrypted_rev1.bin",
      "nested_compressed_encrypted.bin",
      "nested_encrypted_compressed.bin",
  };
  for (const char* name : shapes) {
    Lookup lookup(Passwords{{kDevice, kPassword}});
    const Unwrapped got = unwrap(containerFixture(name), &lookup);
    EXPECT_EQ(got.status, GENERIC_FILE_OK) << name;
    EXPECT_EQ(got.content, payload) << name;
  }
}

TEST(Unwrap, PlainContentIsTheSourceItselfAtItsStart) {
  IOPtr source = memoryWith("MDF     4.11    rest");
  cIO_seek(source.get(), 7, CIO_SEEK_SET);
  cIO* raw = source.release();
  cGenericFileStatus status = GENERIC_FILE_NO_KEY;
  IOPtr io(cGenericFile_unwrap(raw, nullptr, nullptr, &status));
  EXPECT_EQ(io.get(), raw);
  EXPECT_EQ(status, GENERIC_FILE_OK);
  EXPECT_EQ(cIO_tell(io.get()), 0);
}

TEST(Unwrap, PasswordLookup) {
  const std::string encrypted = containerFixture("encrypted_rev0.bin");
  const std::string payload = containerFixture("payload.bin");
  const std::vector<std::string> both = {kDevice, "default"};
  const struct {
    const char* name;
    Passwords passwords;
    bool fail;
    cGenericFileStatus status;
    std::vector<std::string> asked;
  } cases[] = {
      {"by device id",
       {{kDevice, kPassword}, {"default", "x"}},
       false,
       GENERIC_FILE_OK,
       {kDevice}},
      {"by default", {{"default", kPassword}}, false, GENERIC_FILE_OK, both},
      {"wrong device password",
       {{kDevice, "x"}, {"default", kPassword}},
       false,
       GENERIC_FILE_DECRYPT_FAILED,
       {kDevice}},
      {"no key",
       {{"0001e240", kPassword}, {"0001E241", kPassword}},
       false,
       GENERIC_FILE_NO_KEY,
       both},
      {"empty password",
       {{"default", ""}},
       false,
       GENERIC_FILE_DECRYPT_FAILED,
       both},
      {"lookup fails",
       {{kDevice, kPassword}},
       true,
       GENERIC_FILE_LOOKUP_FAILED,
       {kDevice}},
  };
  for (const auto& c : cases) {
    Lookup lookup(c.passwords, c.fail);
    const Unwrapped got = unwrap(encrypted, &lookup);
    EXPECT_EQ(got.status, c.status) << c.name;
    EXPECT_EQ(got.content, c.status == GENERIC_FILE_OK ? payload : "<null>")
        << c.name;
    EXPECT_EQ(lookup.asked, c.asked) << c.name;
  }
  // No lookup at all: compressed files still open, encrypted ones do not.
  EXPECT_EQ(unwrap(encrypted, nullptr).status, GENERIC_FILE_NO_PASSWORDS);
  EXPECT_EQ(unwrap(containerFixture("compressed_rev1.bin"), nullptr).content,
            payload);
  EXPECT_EQ(unwrap(containerFixture("nested_compressed_encrypted.bin"), nullptr)
                .status,
            GENERIC_FILE_NO_PASSWORDS);
}

TEST(Unwrap, DamagedAndTruncatedContainersFail) {
  LogCapture quiet;
  const std::string compressed = containerFixture("compressed_rev1.bin");
  const std::string encrypted = containerFixture("encrypted_rev1.bin");
  const std::string nested =
      containerFixture("nested_encrypted_compressed.bin");
  const struct {
    const char* name;
    std::string file;
    cGenericFileStatus status;
  } cases[] = {
      {"compressed, truncated", compressed.substr(0, compressed.size() - 1),
       GENERIC_FILE_DECOMPRESS_FAILED},
      {"compressed, payload byte flipped",
       withByte(compressed, 40, compressed[40] ^ 1),
       GENERIC_FILE_DECOMPRESS_FAILED},
      {"compressed, header only", compressed.substr(0, 20),
       GENERIC_FILE_DECOMPRESS_FAILED},
      {"encrypted, truncated", encrypted.substr(0, encrypted.size() - 1),
       GENERIC_FILE_DECRYPT_FAILED},
      {"encrypted, header only", encrypted.substr(0, 20),
       GENERIC_FILE_DECRYPT_FAILED},
      {"encrypted, ciphertext byte flipped",
       withByte(encrypted, 60, encrypted[60] ^ 1), GENERIC_FILE_DECRYPT_FAILED},
      {"nested, outer truncated", nested.substr(0, nested.size() - 1),
       GENERIC_FILE_DECRYPT_FAILED},
      {"unknown container type", withByte(compressed, 14, 0x33),
       GENERIC_FILE_UNKNOWN_TYPE},
      {"header version 2", withByte(compressed, 15, 2),
       GENERIC_FILE_DECOMPRESS_FAILED},
  };
  for (const auto& c : cases) {
    Lookup lookup(Passwords{{"default", kPassword}});
    const Unwrapped got = unwrap(c.file, &lookup);
    EXPECT_EQ(got.status, c.status) << c.name;
    EXPECT_EQ(got.content, "<null>") << c.name;
  }
  // Shorter than a container header: no container, the bytes as they are.
  const Unwrapped got = unwrap(compressed.substr(0, 19), nullptr);
  EXPECT_EQ(got.status, GENERIC_FILE_OK);
  EXPECT_EQ(got.content, compressed.substr(0, 19));
}

std::string hex(uint64_t v) {
  char text[32];
  snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(v));
  return text;
}

TEST(Unwrap, EveryFailureSaysWhyAndWhere) {
  const std::string compressed = containerFixture("compressed_rev1.bin");
  const std::string encrypted = containerFixture("encrypted_rev1.bin");
  const std::string literal = compressedAround("MDF     4.11    ");
  const uint64_t tag = encrypted.size() - 16;
  std::string deep = "MDF     4.11    ";
  for (int depth = 0; depth <= kGenericFileMaxDepth; ++depth)
    deep = compressedAround(deep);
  std::string bigCount = encrypted;
  bigCount.replace(32, 4, "\xFF\xFF\xFF\xFF");
  std::string noWindow = literal;
  noWindow.replace(24, 4, std::string(4, '\0'));
  const struct {
    const char* name;
    std::string file;
    Passwords passwords;
    bool lookup;
    uint64_t offset;
    std::string reason;  // a trailing "*" matches any rest
  } cases[] = {
      {"compressed, payload byte flipped",
       withByte(compressed, 40, compressed[40] ^ 1),
       {},
       false,
       compressed.size() - 4,
       "Could not validate checksum, expected *"},
      {"compressed, header only",
       compressed.substr(0, 20),
       {},
       false,
       0x14,
       "compressed container at 0x14: its parameters could not be read"},
      {"compressed, window field 0",
       noWindow,
       {},
       false,
       0x14,
       "compressed container at 0x14: window bits W = 0, lookahead bits L = "
       "4 outside W 4 to 15, L 3 to W - 1"},
      {"compressed, header version 2",
       withByte(compressed, 15, 2),
       {},
       false,
       0xC,
       "compressed container at 0xC: format revision 1, footer flag 1, header "
       "version 2: no accepted combination"},
      {"unknown container type",
       withByte(compressed, 14, 0x33),
       {},
       false,
       0xE,
       "container at 0xE: unknown container type 0x33"},
      {"nested too deep",
       deep,
       {},
       false,
       0,
       "containers nest deeper than kGenericFileMaxDepth (16)"},
      {"encrypted, no passwords",
       encrypted,
       {},
       false,
       0x10,
       "encrypted container at 0x10: device 0001E240, no passwords given"},
      {"encrypted, no key",
       encrypted,
       {{"00000001", kPassword}},
       true,
       0x10,
       "encrypted container at 0x10: no password for device 0001E240 or "
       "\"default\""},
      {"encrypted, wrong password",
       encrypted,
       {{kDevice, "wrong"}},
       true,
       tag,
       "encrypted container at " + hex(tag) +
           ": authentication tag does not match (a wrong password, or a "
           "damaged file)"},
      {"encrypted, ciphertext byte flipped",
       withByte(encrypted, 60, encrypted[60] ^ 1),
       {{kDevice, kPassword}},
       true,
       tag,
       "encrypted container at " + hex(tag) +
           ": authentication tag does not match (a wrong password, or a "
           "damaged file)"},
      {"encrypted, header only",
       encrypted.substr(0, 20),
       {{kDevice, kPassword}},
       true,
       0,
       "encrypted container at 0x0: 20 bytes, fewer than the 68 of its "
       "header, parameters and tag"},
      {"encrypted, hostile iteration count",
       bigCount,
       {{kDevice, kPassword}},
       true,
       0x20,
       "encrypted container at 0x20: PBKDF2 iteration count 4294967295 above "
       "kMaxIterations (10000000)"},
  };
  for (const auto& c : cases) {
    Lookup lookup(c.passwords);
    LogCapture log;
    const Unwrapped got = unwrap(c.file, c.lookup ? &lookup : nullptr);
    EXPECT_TRUE(log.lines().empty()) << c.name;  // the caller reports it
    EXPECT_EQ(got.content, "<null>") << c.name;
    if (c.reason.back() == '*')
      EXPECT_EQ(got.reason.substr(0, c.reason.size() - 1),
                c.reason.substr(0, c.reason.size() - 1))
          << c.name << ": " << got.reason;
    else
      EXPECT_EQ(got.reason, c.reason) << c.name;
    EXPECT_EQ(hex(got.offset), hex(c.offset)) << c.name;
  }
  // Whatever opens has no reason.
  Lookup lookup(Passwords{{kDevice, kPassword}});
  EXPECT_EQ(unwrap(encrypted, &lookup).reason, "");
}

TEST(Unwrap, NestsUpToTheLimit) {
  const std::string content = "MDF     4.11    inner";
  std::string file = content;
  for (int depth = 1; depth <= kGenericFileMaxDepth + 1; ++depth) {
    file = compressedAround(file);
    const Unwrapped got = unwrap(file, nullptr);
    if (depth <= kGenericFileMaxDepth) {
      EXPECT_EQ(got.status, GENERIC_FILE_OK) << depth;
      EXPECT_EQ(got.content, content) << depth;
    } else {
      EXPECT_EQ(got.status, GENERIC_FILE_TOO_DEEP) << depth;
      EXPECT_EQ(got.content, "<null>") << depth;
    }
  }
}

TEST(Unwrap, FailingSourceReadFailsTheContainer) {
  auto* source = new ScriptedSource(containerFixture("compressed_rev0.bin"));
  source->chunk = 50;
  source->hole_begin = 100;
  source->hole_end = source->data.size();
  source->hole_result = -1;
  cGenericFileStatus status;
  EXPECT_EQ(cGenericFile_unwrap(source, nullptr, nullptr, &status), nullptr);
  EXPECT_EQ(status, GENERIC_FILE_DECOMPRESS_FAILED);
  delete source;  // a scripted source has no close: the caller frees it
}

TEST(Unwrap, NullSourceAndStatus) {
  cGenericFileStatus status;
  EXPECT_EQ(cGenericFile_unwrap(nullptr, nullptr, nullptr, &status), nullptr);
  EXPECT_EQ(status, GENERIC_FILE_NO_SOURCE);
  IOPtr io(cGenericFile_unwrap(
      memoryWith(containerFixture("compressed_rev0.bin")).release(), nullptr,
      nullptr, nullptr));
  EXPECT_NE(io, nullptr);
}

TEST(Unwrap, StatusMessages) {
  const std::pair<cGenericFileStatus, const char*> cases[] = {
      {GENERIC_FILE_OK, ""},
      {GENERIC_FILE_NO_SOURCE, "Could not open data source"},
      {GENERIC_FILE_UNKNOWN_TYPE, "Could not open data source"},
      {GENERIC_FILE_TOO_DEEP, "Could not open data source"},
      {GENERIC_FILE_DECOMPRESS_FAILED, "Could not decompress stream"},
      {GENERIC_FILE_NO_PASSWORDS,
       "Encrypted file detected, but no passwords supplied"},
      {GENERIC_FILE_NO_KEY, "Could not find key to decrypt stream"},
      {GENERIC_FILE_LOOKUP_FAILED, "Could not open data source"},
      {GENERIC_FILE_DECRYPT_FAILED, "Could not decrypt stream"},
  };
  for (const auto& [status, message] : cases)
    EXPECT_STREQ(cGenericFile_statusMessage(status), message) << status;
}

TEST(Unwrap, PasswordTable) {
  cGenericFilePasswordTable table;
  for (const char* bad : {"no separator", "=password", ""})
    EXPECT_FALSE(cGenericFile_tableAdd(&table, bad)) << bad;
  EXPECT_FALSE(cGenericFile_tableAdd(nullptr, "default=x"));
  EXPECT_TRUE(cGenericFile_tableAdd(&table, "0001E240=a=b"));
  EXPECT_TRUE(cGenericFile_tableAdd(&table, "default="));
  EXPECT_TRUE(cGenericFile_tableAdd(&table, "default=second"));
  ASSERT_EQ(table.size(), 3u);
  const char* password = nullptr;
  size_t length = 0;
  ASSERT_EQ(cGenericFile_tableLookup(&table, "0001E240", &password, &length),
            1);
  EXPECT_EQ(std::string(password, length), "a=b");
  ASSERT_EQ(cGenericFile_tableLookup(&table, "default", &password, &length), 1);
  EXPECT_EQ(std::string(password, length), "");
  EXPECT_EQ(cGenericFile_tableLookup(&table, "0001E241", &password, &length),
            0);
  // The tools' way: the table as the unwrap lookup.
  cGenericFilePasswordTable fixture;
  ASSERT_TRUE(
      cGenericFile_tableAdd(&fixture, (kDevice + "=" + kPassword).c_str()));
  cGenericFileStatus status;
  IOPtr io(cGenericFile_unwrap(
      memoryWith(containerFixture("encrypted_rev1.bin")).release(),
      cGenericFile_tableLookup, &fixture, &status));
  EXPECT_EQ(status, GENERIC_FILE_OK);
  ASSERT_NE(io, nullptr);
  cIO_seek(io.get(), 0, CIO_SEEK_SET);
  EXPECT_EQ(readAll(io.get()), containerFixture("payload.bin"));
}

// A pipe: reads only, in pieces, no tell and no seek.
struct PipeSource : cIO {
  std::string data;
  size_t pos = 0;
  explicit PipeSource(std::string bytes) : data(std::move(bytes)) {
    vtable = &kTable;
  }
  static int64_t read(cIO* io, void* dst, uint64_t len) {
    auto* pipe = static_cast<PipeSource*>(io);
    const size_t n =
        std::min<size_t>({len, 333, pipe->data.size() - pipe->pos});
    memcpy(dst, pipe->data.data() + pipe->pos, n);
    pipe->pos += n;
    return static_cast<int64_t>(n);
  }
  static constexpr cIO_vtable kTable = {read, nullptr, nullptr, nullptr,
                                        nullptr};
};

TEST(Unwrap, ASourceThatCannotSeekIsReadFromATemporaryCopy) {
  const std::string payload = containerFixture("payload.bin");
  for (const char* name :
       {"payload.bin", "compressed_rev1.bin", "encrypted_rev0.bin",
        "nested_compressed_encrypted.bin", "nested_encrypted_compressed.bin"}) {
    PipeSource pipe(containerFixture(name));
    Lookup lookup(Passwords{{kDevice, kPassword}});
    cGenericFileStatus status;
    IOPtr io(cGenericFile_unwrap(&pipe, Lookup::call, &lookup, &status));
    ASSERT_NE(io, nullptr) << name;
    EXPECT_EQ(status, GENERIC_FILE_OK);
    EXPECT_NE(cGenericFile_outermost(io.get()), &pipe);
    EXPECT_EQ(readAll(io.get()), payload) << name;
  }
}

TEST(Unwrap, AFileChangedAfterTheOpenFailsItsReads) {
  // 200 KB in literals: input blocks of 16 KiB, read again as they are
  // needed; a changed one fails, and the chain says which container.
  std::string content;
  for (int i = 0; i < 200000; ++i) content += static_cast<char>(i * 7 % 251);
  ScriptedSource source(compressedAround(content));
  cGenericFileStatus status;
  IOPtr io(cGenericFile_unwrap(&source, nullptr, nullptr, &status));
  ASSERT_NE(io, nullptr);
  EXPECT_EQ(cGenericFile_fault(io.get(), nullptr), GENERIC_FILE_OK);
  source.data[28 + 100000] ^= 0x10;
  const std::string got = readAll(io.get());
  EXPECT_LT(got.size(), content.size());
  EXPECT_EQ(got, content.substr(0, got.size()));
  cReason reason{};
  EXPECT_EQ(cGenericFile_fault(io.get(), &reason),
            GENERIC_FILE_DECOMPRESS_FAILED);
  EXPECT_STREQ(cReason_text(&reason),
               "compressed content at 0x18000: the compressed file changed "
               "since it was opened");
  EXPECT_EQ(cGenericFile_outermost(io.get()), &source);
}

}  // namespace
