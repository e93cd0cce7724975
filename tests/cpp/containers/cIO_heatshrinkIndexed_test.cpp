// Seekable decompressing stream: the same bytes as the incremental decoder
// for every window and lookahead, the sizing pass, reads at any offset in
// any order (backward across checkpoints, with the checkpoints thinned),
// interleaved readers that decode each byte once, and a source that changes
// or fails after the open.
#include "containers/cIO_heatshrinkIndexed.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "containers/cIO_heatshrink.h"
#include "streams/crc32.h"
#include "support/container_test_support.h"

namespace {

struct Packed {
  unsigned w, l;
  std::string bits;
};

// The incremental decoder's output: the reference.
std::string reference(const Packed& p) {
  ScriptedSource source(p.bits);
  IOPtr io(cIO_heatshrink_open(&source, p.w, p.l));
  return io ? readAll(io.get()) : "";
}

// A seekable stream over p as the compressed container makes it: the
// sizing pass, then the stream.
struct Indexed {
  ScriptedSource source;
  IOPtr io;
  explicit Indexed(const Packed& p, uint64_t block = 0) : source(p.bits) {
    const uint64_t payload = p.bits.size();
    if (block == 0) block = cIO_heatshrinkIndexed_blockSize(payload);
    cHeatshrinkSizer sizer;
    cHeatshrinkSizer_init(&sizer, p.w, p.l);
    std::vector<uint32_t> crcs;
    for (uint64_t at = 0; at < payload; at += block) {
      const auto* bytes = reinterpret_cast<const uint8_t*>(p.bits.data() + at);
      const uint64_t n = std::min(block, payload - at);
      // In uneven pieces: items cross the pieces' edges.
      cHeatshrinkSizer_feed(&sizer, bytes, n / 3);
      cHeatshrinkSizer_feed(&sizer, bytes + n / 3, n - n / 3);
      crcs.push_back(crc_32(bytes, n));
    }
    io.reset(cIO_heatshrinkIndexed_open(&source, payload, sizer.size, p.w, p.l,
                                        block, &crcs));
  }
  cIO_heatshrinkIndexed_t* stream() {
    return static_cast<cIO_heatshrinkIndexed_t*>(io.get());
  }
  std::string at(uint64_t offset, uint64_t n) {
    std::string out(n, '\0');
    EXPECT_EQ(cIO_seek(io.get(), static_cast<int64_t>(offset), CIO_SEEK_SET),
              static_cast<int64_t>(offset));
    const int64_t got = cIO_read(io.get(), out.data(), n);
    out.resize(got < 0 ? 0 : static_cast<size_t>(got));
    return out;
  }
};

// Random items: literals from a small alphabet and back-references of any
// distance and length, so that the content repeats and reaches into the
// initial zero window.
Packed randomStream(unsigned w, unsigned l, size_t items, uint32_t seed) {
  std::mt19937 random(seed);
  HeatshrinkBits bits(w, l);
  for (size_t i = 0; i < items; ++i) {
    if (random() % 3 == 0)
      bits.literal(static_cast<uint8_t>('a' + random() % 16));
    else
      bits.backref(static_cast<unsigned>(1 + random() % (1u << w)),
                   static_cast<unsigned>(1 + random() % (1u << l)));
  }
  return {w, l, bits.bytes()};
}

TEST(HeatshrinkIndexed, GivesTheDecodersBytesForEveryWindowAndLookahead) {
  std::vector<Packed> streams;
  for (const HeatshrinkFixture& f : heatshrinkFixtures())
    streams.push_back({f.window_bits, f.lookahead_bits, f.packed});
  for (unsigned w = 4; w <= 15; ++w)
    for (unsigned l : {3u, w / 2 + 1, w - 1})
      if (l >= 3 && l < w) streams.push_back(randomStream(w, l, 3000, w * l));
  for (const Packed& p : streams) {
    SCOPED_TRACE(testing::Message() << "W " << p.w << " L " << p.l);
    const std::string expected = reference(p);
    Indexed indexed(p);
    ASSERT_NE(indexed.io, nullptr);
    EXPECT_EQ(cIO_seek(indexed.io.get(), 0, CIO_SEEK_END),
              static_cast<int64_t>(expected.size()));
    EXPECT_EQ(indexed.at(0, expected.size() + 10), expected);
    EXPECT_EQ(indexed.at(expected.size(), 10), "");
  }
}

TEST(HeatshrinkIndexed, ReadsAnywhereInAnyOrderAcrossCheckpoints) {
  const Packed p = randomStream(11, 6, 200000, 7);
  const std::string expected = reference(p);
  ASSERT_GT(expected.size(), 2'000'000u);
  for (const bool thin : {false, true}) {
    Indexed indexed(p);
    ASSERT_NE(indexed.io, nullptr);
    // Checkpoints every 4 KiB, and with `thin` at most 16 of them: they
    // thin out over and over as decoding goes on.
    indexed.stream()->spacing = 4096;
    if (thin) indexed.stream()->max_checkpoints = 16;
    std::mt19937 random(thin);
    for (int i = 0; i < 150; ++i) {
      const uint64_t offset = random() % expected.size();
      const uint64_t n = 1 + random() % (i % 2 ? 70000 : 100);
      ASSERT_EQ(indexed.at(offset, n), expected.substr(offset, n))
          << offset << " " << n;
    }
    // Backward, one piece after the other, from the end to the start.
    for (uint64_t end = expected.size(); end > 0;) {
      const uint64_t offset = end > 50000 ? end - 50000 : 0;
      ASSERT_EQ(indexed.at(offset, end - offset),
                expected.substr(offset, end - offset));
      end = offset;
    }
    EXPECT_LE(indexed.stream()->checkpoints.size(),
              indexed.stream()->max_checkpoints);
    EXPECT_GT(indexed.stream()->checkpoints.size(), 1u);
  }
}

TEST(HeatshrinkIndexed, InterleavedReadersDecodeEachByteOnce) {
  const Packed p = randomStream(13, 7, 400000, 3);
  const std::string expected = reference(p);
  Indexed indexed(p);
  ASSERT_NE(indexed.io, nullptr);
  // Five readers far apart, each reading on from where it stopped, in
  // turn, as the merge of data groups does.
  const uint64_t part = expected.size() / 5;
  std::vector<uint64_t> at = {0, part, 2 * part, 3 * part, 4 * part};
  const uint64_t piece = 4096;
  for (uint64_t done = 0; done + piece <= part; done += piece)
    for (uint64_t& position : at) {
      ASSERT_EQ(indexed.at(position, piece), expected.substr(position, piece));
      position += piece;
    }
  // Once to get to each reader's start, once for what was read.
  EXPECT_LE(cIO_heatshrinkIndexed_decoded(indexed.io.get()),
            expected.size() + 5 * part);
}

TEST(HeatshrinkIndexed, ASourceThatChangesOrFailsFailsForGood) {
  const Packed p = randomStream(10, 5, 100000, 11);
  const std::string expected = reference(p);
  for (const bool changed : {true, false}) {
    Indexed indexed(p, 16384);
    ASSERT_NE(indexed.io, nullptr);
    ASSERT_EQ(indexed.at(0, 1000), expected.substr(0, 1000));
    if (changed) {
      indexed.source.data[40000] ^= 1;
    } else {
      indexed.source.hole_begin = 32768;
      indexed.source.hole_end = indexed.source.data.size();
      indexed.source.hole_result = -1;
    }
    std::string out(expected.size(), '\0');
    EXPECT_EQ(cIO_read(indexed.io.get(), out.data(), out.size()), -1);
    const cReason* fault = cIO_heatshrinkIndexed_fault(indexed.io.get());
    ASSERT_NE(fault, nullptr);
    EXPECT_STREQ(cReason_text(fault),
                 changed ? "compressed content at 0x8000: the compressed file "
                           "changed since it was opened"
                         : "compressed content at 0x8000: the compressed file "
                           "can no longer be read");
    // Also where it could still read.
    EXPECT_EQ(indexed.at(0, 10), "");
  }
}

TEST(HeatshrinkIndexed, SizerCountsCompleteItemsOnly) {
  // A literal, a back-reference of 5, then a literal cut off by the end.
  HeatshrinkBits bits(8, 4);
  bits.literal('A').backref(1, 5);
  std::string packed = bits.bytes();
  packed += static_cast<char>(0x80);  // tag 1 and 7 of the literal's 8 bits
  cHeatshrinkSizer sizer;
  cHeatshrinkSizer_init(&sizer, 8, 4);
  for (char byte : packed)
    cHeatshrinkSizer_feed(&sizer, reinterpret_cast<const uint8_t*>(&byte), 1);
  EXPECT_EQ(sizer.size, 6u);
  EXPECT_EQ(reference({8, 4, packed}), "AAAAAA");
}

TEST(HeatshrinkIndexed, RefusesWhatItCannotDecode) {
  std::vector<uint32_t> crcs = {0};
  ScriptedSource source("x");
  EXPECT_EQ(cIO_heatshrinkIndexed_open(&source, 1, 1, 16, 4, 16384, &crcs),
            nullptr);
  EXPECT_EQ(cIO_heatshrinkIndexed_open(&source, 1, 1, 8, 8, 16384, &crcs),
            nullptr);
  EXPECT_EQ(cIO_heatshrinkIndexed_open(nullptr, 1, 1, 8, 4, 16384, &crcs),
            nullptr);
  std::vector<uint32_t> none;
  EXPECT_EQ(cIO_heatshrinkIndexed_open(&source, 1, 1, 8, 4, 16384, &none),
            nullptr);
  EXPECT_EQ(cIO_heatshrinkIndexed_blockSize(0), 16384u);
  EXPECT_EQ(cIO_heatshrinkIndexed_blockSize(uint64_t{16384} << 18), 32768u);
  EXPECT_EQ(cIO_heatshrinkIndexed_blockSize(uint64_t{1} << 50), 1u << 20);
}

}  // namespace
