// Heatshrink decoder: parameter ranges, the bit-level format on hand-made
// streams, and every stream of the independent encoder over every window
// and lookahead size it accepts.
#include "containers/heatshrink_decoder.h"

#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>

#include "streams/crc32.h"
#include "support/container_test_support.h"

namespace {

struct FreeDecoder {
  void operator()(heatshrink_decoder* d) const { heatshrink_decoder_free(d); }
};
using DecoderPtr = std::unique_ptr<heatshrink_decoder, FreeDecoder>;

// Feeds `packed` in pieces of `sink_size` and polls into buffers of
// `poll_size` until the decoder needs more input; checks finish at the end.
std::string decode(const std::string& packed, unsigned w, unsigned l,
                   size_t sink_size = 1024, size_t poll_size = 4096) {
  DecoderPtr d(heatshrink_decoder_alloc(64, w, l));
  EXPECT_NE(d, nullptr);
  if (!d) return "";
  std::string out;
  std::string buffer(poll_size, '\0');
  auto drain = [&] {
    for (;;) {
      size_t produced = 0;
      const int r = heatshrink_decoder_poll(
          d.get(), reinterpret_cast<uint8_t*>(buffer.data()), poll_size,
          &produced);
      out.append(buffer, 0, produced);
      if (r != HSDR_POLL_MORE) {
        EXPECT_EQ(r, HSDR_POLL_EMPTY);
        return;
      }
    }
  };
  for (size_t at = 0; at < packed.size();) {
    size_t accepted = 0;
    const size_t piece = std::min(sink_size, packed.size() - at);
    const int r = heatshrink_decoder_sink(
        d.get(), reinterpret_cast<const uint8_t*>(packed.data() + at), piece,
        &accepted);
    EXPECT_TRUE(r == HSDR_SINK_OK || r == HSDR_SINK_FULL);
    at += accepted;
    drain();
  }
  EXPECT_EQ(heatshrink_decoder_finish(d.get()), HSDR_FINISH_DONE);
  return out;
}

TEST(HeatshrinkDecoder, AllocAcceptsOnlyTheFormatsRanges) {
  struct Case {
    size_t input;
    unsigned w, l;
    bool ok;
  };
  const Case cases[] = {
      {64, 4, 3, true},        {64, 15, 14, true},      {64, 8, 4, true},
      {1, 4, 3, true},         {65535, 4, 3, true},     {64, 3, 2, false},
      {64, 16, 4, false},      {64, 8, 2, false},       {64, 8, 8, false},
      {64, 4, 4, false},       {0, 8, 4, false},        {65536, 8, 4, false},
      {64, 4 + 256, 3, false}, {64, 8, 4 + 256, false},
  };
  for (const Case& c : cases) {
    DecoderPtr d(heatshrink_decoder_alloc(c.input, c.w, c.l));
    EXPECT_EQ(d != nullptr, c.ok) << c.input << " " << c.w << " " << c.l;
  }
}

TEST(HeatshrinkDecoder, DecodesHandMadeItems) {
  struct Case {
    const char* what;
    unsigned w, l;
    std::string packed, plain;
  };
  std::string abc_run = "AB";
  while (abc_run.size() < 2 + 300)
    abc_run += abc_run.substr(abc_run.size() - 2);
  abc_run.resize(302);
  std::string far = std::string(300, '\0');
  for (size_t i = 0; i < far.size(); ++i) far[i] = static_cast<char>(i * 7);
  HeatshrinkBits far_bits(15, 14);
  for (char c : far) far_bits.literal(static_cast<uint8_t>(c));
  far_bits.backref(300, 280);  // both fields wider than 8 bits
  const Case cases[] = {
      {"literal and padding", 8, 4, std::string("\xB0\x00", 2), "\x60"},
      {"run after a literal", 8, 4,
       HeatshrinkBits(8, 4).literal('A').backref(1, 5).bytes(), "AAAAAA"},
      {"reference before any output", 8, 4,
       HeatshrinkBits(8, 4).backref(3, 4).literal('x').bytes(),
       std::string(4, '\0') + "x"},
      {"distance shorter than length", 15, 14,
       HeatshrinkBits(15, 14).literal('A').literal('B').backref(2, 300).bytes(),
       abc_run},
      {"long distance and length", 15, 14, far_bits.bytes(),
       far + far.substr(0, 280)},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(decode(c.packed, c.w, c.l), c.plain) << c.what;
    EXPECT_EQ(decode(c.packed, c.w, c.l, 1, 1), c.plain) << c.what;
  }
}

TEST(HeatshrinkDecoder, DecodesTheEncoderForEveryWindowAndLookahead) {
  const std::string sample = containerFixture("heatshrink_sample.bin");
  const std::vector<HeatshrinkFixture> streams = heatshrinkFixtures();
  std::set<std::pair<unsigned, unsigned>> seen;
  for (const HeatshrinkFixture& f : streams) {
    seen.insert({f.window_bits, f.lookahead_bits});
    for (auto [sink, poll] :
         {std::pair<size_t, size_t>{1, 1}, {7, 3}, {64, 100000}}) {
      const std::string out =
          decode(f.packed, f.window_bits, f.lookahead_bits, sink, poll);
      ASSERT_EQ(out.size(), f.plain_size)
          << f.window_bits << "/" << f.lookahead_bits;
      EXPECT_EQ(crc_32(reinterpret_cast<const unsigned char*>(out.data()),
                       out.size()),
                f.plain_crc);
      if (f.plain_size == sample.size()) {
        EXPECT_EQ(out, sample);
      }
    }
  }
  // Every pair the format allows: W 4 to 15, L 3 to W - 1.
  for (unsigned w = 4; w <= 15; ++w)
    for (unsigned l = 3; l < w; ++l) EXPECT_TRUE(seen.count({w, l})) << w << l;
}

TEST(HeatshrinkDecoder, ReportsFullInputAndOutputAndPendingWork) {
  DecoderPtr d(heatshrink_decoder_alloc(4, 8, 4));
  const std::string packed =
      HeatshrinkBits(8, 4).literal('A').backref(1, 16).bytes();  // 3 bytes
  size_t accepted = 0;
  const auto* in = reinterpret_cast<const uint8_t*>("\xFF\xFF\xFF\xFF\xFF");
  // Only what fits in the 4-byte input buffer is taken.
  EXPECT_EQ(heatshrink_decoder_sink(d.get(), in, 5, &accepted), HSDR_SINK_OK);
  EXPECT_EQ(accepted, 4u);
  EXPECT_EQ(heatshrink_decoder_sink(d.get(), in, 5, &accepted), HSDR_SINK_FULL);
  EXPECT_EQ(accepted, 0u);
  EXPECT_EQ(heatshrink_decoder_finish(d.get()), HSDR_FINISH_MORE);

  heatshrink_decoder_reset(d.get());
  EXPECT_EQ(heatshrink_decoder_finish(d.get()), HSDR_FINISH_DONE);
  heatshrink_decoder_sink(d.get(),
                          reinterpret_cast<const uint8_t*>(packed.data()),
                          packed.size(), &accepted);
  uint8_t out[5];
  size_t produced = 0;
  // 17 bytes to come through a 5-byte buffer: full, full, full, then the
  // last two with the decoder asking for input.
  std::string all;
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(heatshrink_decoder_poll(d.get(), out, sizeof out, &produced),
              HSDR_POLL_MORE);
    EXPECT_EQ(produced, 5u);
    all.append(reinterpret_cast<char*>(out), produced);
    // Inside the back-reference: more to emit although the input is used up.
    EXPECT_EQ(heatshrink_decoder_finish(d.get()), HSDR_FINISH_MORE);
  }
  EXPECT_EQ(heatshrink_decoder_poll(d.get(), out, sizeof out, &produced),
            HSDR_POLL_EMPTY);
  all.append(reinterpret_cast<char*>(out), produced);
  EXPECT_EQ(all, std::string(17, 'A'));
  EXPECT_EQ(heatshrink_decoder_finish(d.get()), HSDR_FINISH_DONE);
}

TEST(HeatshrinkDecoder, NullArgumentsAndUnknownState) {
  DecoderPtr d(heatshrink_decoder_alloc(4, 8, 4));
  uint8_t buf[4] = {};
  size_t n = 0;
  EXPECT_EQ(heatshrink_decoder_sink(nullptr, buf, 1, &n), HSDR_SINK_ERROR_NULL);
  EXPECT_EQ(heatshrink_decoder_sink(d.get(), nullptr, 1, &n),
            HSDR_SINK_ERROR_NULL);
  EXPECT_EQ(heatshrink_decoder_sink(d.get(), buf, 1, nullptr),
            HSDR_SINK_ERROR_NULL);
  EXPECT_EQ(heatshrink_decoder_poll(nullptr, buf, 4, &n), HSDR_POLL_ERROR_NULL);
  EXPECT_EQ(heatshrink_decoder_poll(d.get(), nullptr, 4, &n),
            HSDR_POLL_ERROR_NULL);
  EXPECT_EQ(heatshrink_decoder_poll(d.get(), buf, 4, nullptr),
            HSDR_POLL_ERROR_NULL);
  EXPECT_EQ(heatshrink_decoder_finish(nullptr), HSDR_FINISH_ERROR_NULL);
  heatshrink_decoder_free(nullptr);
  heatshrink_decoder_reset(nullptr);
  d->state = static_cast<heatshrink_decoder_state>(7);
  EXPECT_EQ(heatshrink_decoder_poll(d.get(), buf, 4, &n),
            HSDR_POLL_ERROR_UNKNOWN);
}

}  // namespace
