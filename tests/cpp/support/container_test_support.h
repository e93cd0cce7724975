// Helpers shared by the container tests: the committed fixtures, a
// heatshrink bit-stream writer for hand-made streams, a memory source with
// scripted short reads and failures, and a capture of the library's log.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "streams/cIO.h"
#include "streams/stream_test_util.h"
#include "support/log_capture.h"

// Bytes of tests/cpp/fixtures/containers/<name>, written by
// make_fixtures.py in that folder with the independent encoders.
inline std::string containerFixture(const std::string& name) {
  const std::filesystem::path path =
      std::filesystem::path(__FILE__).parent_path().parent_path() / "fixtures" /
      "containers" / name;
  std::ifstream in(path, std::ios::binary);
  EXPECT_TRUE(in.good()) << path;
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// `bytes` with the byte at `at` replaced by `value`.
inline std::string withByte(std::string bytes, size_t at, int value) {
  bytes[at] = static_cast<char>(value);
  return bytes;
}

// Checks an opened container whose content is payload.bin: its operations
// act on the content (which is writable), close releases it with the
// content's result, and the source stays open for its owner.
inline void expectStreamOverPayload(cIO* io, cIO* source) {
  EXPECT_EQ(cIO_seek(io, 0, CIO_SEEK_SET), 0);
  EXPECT_EQ(cIO_write(io, "XY", 2), 2);
  EXPECT_EQ(cIO_seek(io, 0, CIO_SEEK_SET), 0);
  char head[4] = {};
  EXPECT_EQ(cIO_read(io, head, 4), 4);
  EXPECT_EQ(std::string(head, 4), "XYF ");  // payload.bin starts "MDF "
  EXPECT_EQ(cIO_close(io), 0);
  EXPECT_EQ(cIO_seek(source, 0, CIO_SEEK_SET), 0);
}

// One raw stream of heatshrink_streams.bin.
struct HeatshrinkFixture {
  unsigned window_bits;
  unsigned lookahead_bits;
  uint32_t plain_size;
  uint32_t plain_crc;  // standard CRC-32 of the decompressed bytes
  std::string packed;
};

inline uint32_t fixtureU32(const std::string& b, size_t at) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<uint8_t>(b[at + i]);
  return v;
}

inline std::vector<HeatshrinkFixture> heatshrinkFixtures() {
  const std::string b = containerFixture("heatshrink_streams.bin");
  std::vector<HeatshrinkFixture> out;
  for (size_t at = 0; at + 14 <= b.size();) {
    HeatshrinkFixture f{static_cast<uint8_t>(b[at]),
                        static_cast<uint8_t>(b[at + 1]),
                        fixtureU32(b, at + 2),
                        fixtureU32(b, at + 6),
                        {}};
    const uint32_t packed = fixtureU32(b, at + 10);
    f.packed = b.substr(at + 14, packed);
    at += 14 + packed;
    out.push_back(f);
  }
  return out;
}

// Writes heatshrink items most-significant bit first; the last byte is
// padded with zero bits, as the encoder does.
class HeatshrinkBits {
 public:
  HeatshrinkBits(unsigned window_bits, unsigned lookahead_bits)
      : w_(window_bits), l_(lookahead_bits) {}
  HeatshrinkBits& literal(uint8_t byte) {
    put(1, 1);
    put(byte, 8);
    return *this;
  }
  HeatshrinkBits& backref(unsigned distance, unsigned length) {
    put(0, 1);
    put(distance - 1, w_);
    put(length - 1, l_);
    return *this;
  }
  std::string bytes() const {
    std::string out;
    for (size_t i = 0; i < bits_.size(); i += 8) {
      uint8_t byte = 0;
      for (size_t j = 0; j < 8; ++j)
        byte = static_cast<uint8_t>(byte << 1 |
                                    (i + j < bits_.size() ? bits_[i + j] : 0));
      out.push_back(static_cast<char>(byte));
    }
    return out;
  }

 private:
  void put(unsigned value, unsigned count) {
    for (unsigned i = count; i-- > 0;) bits_.push_back((value >> i) & 1);
  }
  unsigned w_, l_;
  std::vector<uint8_t> bits_;
};

// A read-only source over fixed bytes with scripted behaviour: each read
// delivers at most `chunk` bytes, and a read starting inside [hole_begin,
// hole_end) returns `hole_result` (0: ends early, -1: fails). Tell and seek
// work over the whole size, so the stream looks intact until it is read.
struct ScriptedSource : cIO {
  std::string data;
  uint64_t pos = 0;
  uint64_t chunk = UINT64_MAX;
  uint64_t hole_begin = 0, hole_end = 0;
  int64_t hole_result = 0;
  uint64_t furthest = 0;  // highest position any read reached

  explicit ScriptedSource(std::string bytes) : data(std::move(bytes)) {
    vtable = &kTable;
  }

 private:
  static ScriptedSource* self(cIO* io) {
    return static_cast<ScriptedSource*>(io);
  }
  static int64_t read(cIO* io, void* dst, uint64_t len) {
    ScriptedSource* s = self(io);
    if (s->pos >= s->hole_begin && s->pos < s->hole_end) return s->hole_result;
    if (s->pos >= s->data.size()) return 0;
    uint64_t n = std::min({len, s->chunk, s->data.size() - s->pos});
    memcpy(dst, s->data.data() + s->pos, n);
    s->pos += n;
    s->furthest = std::max(s->furthest, s->pos);
    return static_cast<int64_t>(n);
  }
  static int64_t tell(cIO* io) { return static_cast<int64_t>(self(io)->pos); }
  static int64_t seek(cIO* io, int64_t offset, int whence) {
    ScriptedSource* s = self(io);
    const int64_t origin = whence == CIO_SEEK_SET   ? 0
                           : whence == CIO_SEEK_CUR ? tell(io)
                                                    : int64_t(s->data.size());
    if (origin + offset < 0) return -1;
    s->pos = static_cast<uint64_t>(origin + offset);
    return static_cast<int64_t>(s->pos);
  }
  static constexpr cIO_vtable kTable = {read, nullptr, tell, seek, nullptr};
};
