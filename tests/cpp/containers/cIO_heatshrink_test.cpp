// Decompressing stream: read sizes, end of data, truncated and corrupted
// input, and a source that fails.
#include "containers/cIO_heatshrink.h"

#include <gtest/gtest.h>

#include <string>

#include "streams/crc32.h"
#include "support/container_test_support.h"

namespace {

// Everything the stream gives in reads of `request` bytes; checks that
// only the last read comes back short.
std::string readInRequests(cIO* io, size_t request) {
  std::string out, buffer(request, '\0');
  for (;;) {
    const int64_t n = cIO_read(io, buffer.data(), request);
    EXPECT_GE(n, 0);
    if (n <= 0) return out;
    out.append(buffer, 0, static_cast<size_t>(n));
    if (static_cast<size_t>(n) < request) break;
  }
  EXPECT_EQ(cIO_read(io, buffer.data(), request), 0) << "after the end";
  return out;
}

std::string decompress(const std::string& packed, unsigned w, unsigned l,
                       size_t request, uint64_t source_chunk = UINT64_MAX) {
  ScriptedSource source(packed);
  source.chunk = source_chunk;
  IOPtr io(cIO_heatshrink_open(&source, w, l));
  EXPECT_NE(io, nullptr);
  return io ? readInRequests(io.get(), request) : "";
}

uint32_t crcOf(const std::string& s) {
  return crc_32(reinterpret_cast<const unsigned char*>(s.data()), s.size());
}

TEST(HeatshrinkStream, ReadsOfOneByteAndOf100000BytesAgree) {
  const HeatshrinkFixture f = heatshrinkFixtures().back();  // 160 KiB
  ASSERT_GT(f.plain_size, 100000u);
  const std::string big =
      decompress(f.packed, f.window_bits, f.lookahead_bits, 100000);
  const std::string small =
      decompress(f.packed, f.window_bits, f.lookahead_bits, 1);
  EXPECT_EQ(big.size(), f.plain_size);
  EXPECT_EQ(crcOf(big), f.plain_crc);
  EXPECT_EQ(small, big);
  // A source that hands out one byte at a time changes nothing either.
  EXPECT_EQ(decompress(f.packed, f.window_bits, f.lookahead_bits, 4096, 1),
            big);
}

TEST(HeatshrinkStream, DecodesEveryWindowAndLookahead) {
  for (const HeatshrinkFixture& f : heatshrinkFixtures()) {
    const std::string out =
        decompress(f.packed, f.window_bits, f.lookahead_bits, 100000);
    EXPECT_EQ(out.size(), f.plain_size)
        << f.window_bits << "/" << f.lookahead_bits;
    EXPECT_EQ(crcOf(out), f.plain_crc);
  }
}

TEST(HeatshrinkStream, TruncatedInputGivesAPrefix) {
  const std::string sample = containerFixture("heatshrink_sample.bin");
  for (const HeatshrinkFixture& f : heatshrinkFixtures()) {
    if (f.window_bits != 9 || f.plain_size != sample.size()) continue;
    for (size_t cut = 0; cut < f.packed.size(); ++cut) {
      const std::string out = decompress(f.packed.substr(0, cut), f.window_bits,
                                         f.lookahead_bits, 4096);
      EXPECT_LT(out.size(), sample.size()) << cut;
      EXPECT_EQ(out, sample.substr(0, out.size())) << cut;
    }
  }
}

TEST(HeatshrinkStream, CorruptedInputEndsWithBoundedOutput) {
  // Any bit sequence decodes to something; what matters is that decoding
  // ends and expands no more than the format allows: at most 2^L bytes per
  // 1 + W + L input bits.
  for (const HeatshrinkFixture& f : heatshrinkFixtures()) {
    if (f.lookahead_bits != f.window_bits - 1 || f.packed.size() > 400)
      continue;
    const uint64_t bound = f.packed.size() * 8 /
                               (1 + f.window_bits + f.lookahead_bits) *
                               (uint64_t{1} << f.lookahead_bits) +
                           f.packed.size();
    for (size_t at = 0; at < f.packed.size(); at += 3) {
      std::string bad = f.packed;
      bad[at] = static_cast<char>(bad[at] ^ 0x5A);
      const std::string out =
          decompress(bad, f.window_bits, f.lookahead_bits, 4096);
      EXPECT_LE(out.size(), bound);
    }
  }
}

TEST(HeatshrinkStream, SourceErrorIsAnError) {
  const HeatshrinkFixture f = heatshrinkFixtures().back();
  ScriptedSource source(f.packed);
  source.hole_begin = 1024;  // the second refill fails
  source.hole_end = f.packed.size();
  source.hole_result = -1;
  IOPtr io(cIO_heatshrink_open(&source, f.window_bits, f.lookahead_bits));
  std::string buffer(1 << 20, '\0');
  EXPECT_EQ(cIO_read(io.get(), buffer.data(), buffer.size()), -1);
}

TEST(HeatshrinkStream, OpenAndUnsupportedOperations) {
  IOPtr source = memoryWith(std::string("\xB0\x00", 2));
  EXPECT_EQ(cIO_heatshrink_open(nullptr, 8, 4), nullptr);
  EXPECT_EQ(cIO_heatshrink_open(source.get(), 16, 4), nullptr);
  EXPECT_EQ(cIO_heatshrink_open(source.get(), 8, 8), nullptr);
  IOPtr io(cIO_heatshrink_open(source.get(), 8, 4));
  ASSERT_NE(io, nullptr);
  char byte = 0;
  EXPECT_EQ(cIO_write(io.get(), "x", 1), -1);
  EXPECT_EQ(cIO_tell(io.get()), -1);
  EXPECT_EQ(cIO_seek(io.get(), 0, CIO_SEEK_SET), -1);
  EXPECT_EQ(cIO_read(io.get(), &byte, 0), 0);
  EXPECT_EQ(cIO_read(io.get(), &byte, 1), 1);
  EXPECT_EQ(byte, 0x60);
  EXPECT_EQ(cIO_read(io.get(), &byte, 1), 0);
  // Closing leaves the source open and usable.
  io.reset();
  EXPECT_EQ(cIO_seek(source.get(), 0, CIO_SEEK_SET), 0);
}

}  // namespace
