// Compressed container: the encoder's containers, the header fields, the
// CRC footer and the reasons it fails with, damaged and truncated files, a
// failing source, a decompression bomb and 64-bit payload positions.
#include "containers/cGenericFileCompressed.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "streams/crc32.h"
#include "support/container_test_support.h"

namespace {

std::string be32(uint32_t v) {
  return {static_cast<char>(v >> 24), static_cast<char>(v >> 16),
          static_cast<char>(v >> 8), static_cast<char>(v)};
}

uint32_t crcRegister(const std::string& bytes) {
  return ~crc_32(reinterpret_cast<const unsigned char*>(bytes.data()),
                 bytes.size());
}

// A compressed container around `payload`; with `footer` set, revision 1
// and the given footer value, else revision 0.
std::string container(const std::string& payload, uint32_t lookahead_field,
                      uint32_t window_field,
                      std::optional<uint32_t> footer = std::nullopt) {
  const char revision = footer ? 1 : 0;
  std::string out = "Generic File";
  out += {revision, revision, 0x22, 1};
  out +=
      be32(0x0001E240) + be32(lookahead_field) + be32(window_field) + payload;
  if (footer) out += be32(*footer);
  return out;
}

// Opens the container on `source` and returns its content read from
// offset 0, or nullopt (and the reason in *reason when given).
std::optional<std::string> open(cIO* source, cReason* reason = nullptr) {
  cGenericFileHeader h{};
  cGenericFile_readHeader(source, &h);
  IOPtr io(cGenericFile_compressed_open(source, &h, reason));
  if (!io) return std::nullopt;
  EXPECT_EQ(cIO_tell(io.get()), 0);
  const int64_t size = cIO_seek(io.get(), 0, CIO_SEEK_END);
  EXPECT_EQ(cIO_seek(io.get(), 0, CIO_SEEK_SET), 0);
  std::string content = readAll(io.get());
  EXPECT_EQ(static_cast<int64_t>(content.size()), size);
  return content;
}

std::optional<std::string> open(const std::string& file) {
  IOPtr source = memoryWith(file);
  return open(source.get());
}

// Why the container in `file` does not open ("" when it does), and where.
std::pair<std::string, uint64_t> reasonOf(const std::string& file) {
  IOPtr source = memoryWith(file);
  cReason reason{};
  LogCapture log;
  const bool opened = open(source.get(), &reason).has_value();
  EXPECT_TRUE(log.lines().empty());  // the caller reports it
  EXPECT_EQ(opened, !cReason_isSet(&reason));
  return {cReason_text(&reason), reason.offset};
}

TEST(CompressedContainer, OpensTheEncodersContainers) {
  const std::string payload = containerFixture("payload.bin");
  for (const char* name : {"compressed_rev0.bin", "compressed_rev1.bin"})
    EXPECT_EQ(open(containerFixture(name)), payload) << name;
}

TEST(CompressedContainer, TakesWindowAndLookaheadFromTheirFields) {
  // compressed_rev0.bin holds W = 11 (field 2048), L = 4.
  const std::string file = containerFixture("compressed_rev0.bin");
  const std::string payload = containerFixture("payload.bin");
  struct Case {
    uint32_t lookahead, window;
    bool opens;
  };
  const Case cases[] = {
      {4, 2048, true},
      {0x00000104, 2048, true},  // only the lowest byte is L
      {4, 0x1800, true},         // W counts the trailing zero bits
      {4, 0, false},             // W = 0
      {4, 0x10000, false},       // W = 16
      {11, 2048, false},         // L = W
      {2, 2048, false},
  };
  for (const Case& c : cases) {
    std::string patched = file;
    patched.replace(20, 8, be32(c.lookahead) + be32(c.window));
    const auto content = open(patched);
    EXPECT_EQ(content.has_value(), c.opens) << c.lookahead << " " << c.window;
    if (content) {
      EXPECT_EQ(*content, payload);
    }
  }
}

TEST(CompressedContainer, RefusesHeaderCombinationsOutsideTheTable) {
  const std::string file = containerFixture("compressed_rev1.bin");
  // offset, value: revision/footer mismatch both ways, version, type.
  const std::pair<size_t, char> cases[] = {
      {12, 0}, {13, 0}, {15, 2}, {15, 0}, {12, 2}, {14, 0x11}, {14, 0x33}};
  for (const auto& [at, value] : cases)
    EXPECT_FALSE(open(withByte(file, at, value))) << at << "=" << int(value);
  IOPtr source = memoryWith(file);
  cGenericFileHeader h{};
  ASSERT_TRUE(cGenericFile_readHeader(source.get(), &h));
  EXPECT_EQ(cGenericFile_compressed_open(nullptr, &h), nullptr);
  EXPECT_EQ(cGenericFile_compressed_open(source.get(), nullptr), nullptr);
}

TEST(CompressedContainer, FooterIsTheRegisterOverThePayload) {
  // Any bits decode to something; the footer decides.
  EXPECT_TRUE(open(container("123456789", 4, 256, 0x340BC6D9)));
  EXPECT_EQ(reasonOf(container("123456789", 4, 256, 0x340BC6D8)),
            std::make_pair(std::string("Could not validate checksum, expected "
                                       "340BC6D8 but found 340BC6D9 "
                                       "(compressed container, footer at "
                                       "0x25)"),
                           uint64_t{0x25}));
}

TEST(CompressedContainer, DamagedPayloadByteFailsTheChecksum) {
  const std::string file = containerFixture("compressed_rev1.bin");
  const std::string footer = file.substr(file.size() - 4);
  for (size_t at = 28; at < file.size() - 4; ++at) {
    const std::string bad = withByte(file, at, file[at] ^ 0x01);
    char expected[160];
    const uint32_t stored = static_cast<uint32_t>(
        static_cast<uint8_t>(footer[0]) << 24 |
        static_cast<uint8_t>(footer[1]) << 16 |
        static_cast<uint8_t>(footer[2]) << 8 | static_cast<uint8_t>(footer[3]));
    snprintf(expected, sizeof expected,
             "Could not validate checksum, expected %08X but found %08X "
             "(compressed container, footer at 0x%zX)",
             stored, crcRegister(bad.substr(28, bad.size() - 32)),
             file.size() - 4);
    ASSERT_EQ(reasonOf(bad),
              std::make_pair(std::string(expected), uint64_t{file.size() - 4}))
        << at;
  }
}

TEST(CompressedContainer, NoRoomForAFooterSaysThatNoneWasFound) {
  // With the footer flag, files of 28 to 31 bytes end inside the header
  // fields: there is no footer to read.
  const std::string file = containerFixture("compressed_rev1.bin");
  for (size_t size = 28; size < 32; ++size) {
    EXPECT_EQ(
        reasonOf(file.substr(0, size)),
        std::make_pair("Expected to read out CRC from footer, but found "
                       "none (compressed container of " +
                           std::to_string(size) + " bytes, no room for one)",
                       uint64_t{size}));
  }
  // An empty payload with the footer of nothing opens to nothing.
  EXPECT_EQ(open(container("", 4, 256, 0xFFFFFFFF)), "");
}

TEST(CompressedContainer, TruncatedFiles) {
  const std::string payload = containerFixture("payload.bin");
  const std::string with_footer = containerFixture("compressed_rev1.bin");
  const std::string without = containerFixture("compressed_rev0.bin");
  for (size_t size = 0; size < with_footer.size(); ++size) {
    LogCapture quiet;
    EXPECT_FALSE(open(with_footer.substr(0, size))) << size;
  }
  // Without a footer nothing can tell: the content is a shorter prefix.
  for (size_t size = 28; size < without.size(); size += 17) {
    const auto content = open(without.substr(0, size));
    ASSERT_TRUE(content) << size;
    EXPECT_LT(content->size(), payload.size());
    EXPECT_EQ(*content, payload.substr(0, content->size()));
  }
}

TEST(CompressedContainer, SourceReadErrorFailsTheOpen) {
  // Without a footer a failed read would otherwise pass as a short file.
  ScriptedSource source(containerFixture("compressed_rev0.bin"));
  source.chunk = 50;
  source.hole_begin = 100;
  source.hole_end = source.data.size();
  source.hole_result = -1;
  EXPECT_FALSE(open(&source));
}

// 16 MiB from 3,840 bytes: back-references of 2^14 bytes at distance 1
// (W = 15, L = 14), 30 bits each, four to 15 bytes.
std::string bombPayload() {
  HeatshrinkBits bits(15, 14);
  for (int i = 0; i < 4; ++i) bits.backref(1, 1 << 14);
  std::string payload;
  for (int i = 0; i < 256; ++i) payload += bits.bytes();
  return payload;
}

TEST(CompressedContainer, ADecompressionBombCostsNoMemory) {
  const std::string payload = bombPayload();
  const int64_t full = int64_t{1} << 24;
  ScriptedSource source(container(payload, 14, 1 << 15, crcRegister(payload)));
  cGenericFileHeader h{};
  ASSERT_TRUE(cGenericFile_readHeader(&source, &h));
  IOPtr io(cGenericFile_compressed_open(&source, &h));
  ASSERT_NE(io, nullptr);
  // Its size is known without decoding; what is read is decoded.
  EXPECT_EQ(cIO_seek(io.get(), 0, CIO_SEEK_END), full);
  EXPECT_EQ(cIO_seek(io.get(), -100, CIO_SEEK_END), full - 100);
  EXPECT_EQ(readAll(io.get()), std::string(100, '\0'));
}

TEST(CompressedContainer, PayloadPositionsAre64Bit) {
  const int64_t big = (int64_t{1} << 31) + 4;
  EXPECT_EQ(cGenericFile_compressed_payloadEnd(big, 1), big - 4);
  EXPECT_EQ(cGenericFile_compressed_payloadEnd(big * 3, 1), big * 3 - 4);
  EXPECT_EQ(cGenericFile_compressed_payloadEnd(big, 0), big);
  EXPECT_EQ(cGenericFile_compressed_payloadEnd(32, 1), 28);
  EXPECT_EQ(cGenericFile_compressed_payloadEnd(31, 1), -1);
}

TEST(CompressedContainer, StreamActsOnTheContent) {
  IOPtr source = memoryWith(containerFixture("compressed_rev0.bin"));
  cGenericFileHeader h{};
  ASSERT_TRUE(cGenericFile_readHeader(source.get(), &h));
  cIO* io = cGenericFile_compressed_open(source.get(), &h);
  ASSERT_NE(io, nullptr);
  auto* c = static_cast<cGenericFileCompressed_t*>(io);
  EXPECT_EQ(c->header.device_id, 0x0001E240u);
  EXPECT_EQ(c->window_size, 2048u);
  EXPECT_EQ(c->lookahead, 4u);
  // Read-only: the content is decoded as it is read.
  EXPECT_EQ(cIO_write(io, "XY", 2), -1);
  char head[4] = {};
  EXPECT_EQ(cIO_seek(io, 4, CIO_SEEK_SET), 4);
  EXPECT_EQ(cIO_read(io, head, 4), 4);
  EXPECT_EQ(std::string(head, 4), containerFixture("payload.bin").substr(4, 4));
  EXPECT_EQ(cIO_close(io), 0);
  EXPECT_EQ(cIO_seek(source.get(), 0, CIO_SEEK_SET), 0);
}

}  // namespace
