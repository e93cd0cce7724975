// Helpers shared by the block tests: little-endian field encoders, an MF4
// image assembled block by block at chosen offsets, and the data sections
// of the descriptive blocks.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "mdf/blocks/cMdfBlock.h"
#include "streams/cIO.h"
#include "streams/stream_test_util.h"

inline std::string le(uint64_t v, int width) {
  std::string out(static_cast<size_t>(width), '\0');
  for (int i = 0; i < width; ++i) out[i] = static_cast<char>(v >> (8 * i));
  return out;
}
inline std::string u8(uint64_t v) { return le(v, 1); }
inline std::string u16(uint64_t v) { return le(v, 2); }
inline std::string u64(uint64_t v) { return le(v, 8); }
inline std::string f64(double v) {
  uint64_t bits;
  memcpy(&bits, &v, sizeof bits);
  return le(bits, 8);
}
inline std::string zeros(size_t n) { return std::string(n, '\0'); }

// The text of a TX or MD data section: the characters, a zero byte and
// zeros up to a multiple of 8 bytes of block (as the save writes them).
inline std::string textData(std::string_view text) {
  std::string data(text);
  data.push_back('\0');
  while ((24 + data.size()) % 8 != 0) data.push_back('\0');
  return data;
}

// The bytes of a block: header (id, reserved, length, link count), links
// (0 for none) and data section. Its length is 24 + 8 * links + data unless
// `length` is given.
inline std::string blockBytes(std::string_view id,
                              const std::vector<uint64_t>& links,
                              const std::string& data, uint64_t length = 0) {
  std::string raw(id);
  raw += zeros(4);
  if (length == 0) length = 24 + 8 * links.size() + data.size();
  raw += u64(length) + u64(links.size());
  for (uint64_t link : links) raw += u64(link);
  return raw + data;
}

// An MF4 file image built block by block at chosen offsets.
struct Mf4Image {
  std::string bytes;

  // `raw` at `offset`; the image grows with zeros as needed.
  Mf4Image& put(uint64_t offset, const std::string& raw) {
    if (bytes.size() < offset + raw.size()) bytes.resize(offset + raw.size());
    bytes.replace(offset, raw.size(), raw);
    return *this;
  }
  // A block at `offset` (see blockBytes).
  Mf4Image& block(uint64_t offset, std::string_view id,
                  const std::vector<uint64_t>& links, const std::string& data,
                  uint64_t length = 0) {
    return put(offset, blockBytes(id, links, data, length));
  }
  IOPtr stream() const { return memoryWith(bytes); }
};

inline std::string idData(const std::string& ident = "MDF     ",
                          uint16_t flags = 0, uint16_t custom = 0,
                          uint16_t version = 410) {
  return ident + "4.10    " + "QXlogger" + zeros(4) + u16(version) + zeros(30) +
         u16(flags) + u16(custom);
}

inline std::string hdData(uint64_t startTime = 1'600'000'000'000'000'000,
                          int16_t timeZone = 0, int16_t dst = 0) {
  return u64(startTime) + u16(static_cast<uint16_t>(timeZone)) +
         u16(static_cast<uint16_t>(dst)) + u8(2) + u8(10) + u8(1) + zeros(1) +
         f64(0.5) + f64(12.25);
}

inline std::string fhData(uint64_t time = 1'600'000'000'000'000'000) {
  return u64(time) + u16(60) + u16(0) + u8(2) + zeros(3);
}

// A channel group's data section: record id, cycle count 0, flags, data
// and invalidation bytes.
inline std::string cgData(uint64_t recordId, uint16_t flags = 0,
                          uint32_t dataBytes = 0,
                          uint32_t invalidationBytes = 0) {
  return u64(recordId) + u64(0) + u16(flags) + zeros(6) + le(dataBytes, 4) +
         le(invalidationBytes, 4);
}

// A channel's data section: channel type and data type (raw codes), bit
// and byte offset, bit count; the rest zero.
inline std::string cnData(uint8_t channelType = 0, uint8_t dataType = 0,
                          uint8_t bitOffset = 0, uint32_t byteOffset = 0,
                          uint32_t bitCount = 8) {
  return u8(channelType) + u8(0) + u8(dataType) + u8(bitOffset) +
         le(byteOffset, 4) + le(bitCount, 4) + zeros(60);
}

inline const std::string kToolComment =
    "<FHcomment><TX>written</TX><tool_id>QX</tool_id></FHcomment>";

// The smallest file this library accepts: identification, header block
// with one file history block whose metadata comment names the tool.
//   0 ID, 64 HD, 168 FH, 224 MD
inline Mf4Image minimalFile(uint64_t hdComment = 0) {
  Mf4Image image;
  image.put(0, idData());
  image.block(64, "##HD", {0, 168, 0, 0, 0, hdComment}, hdData());
  image.block(168, "##FH", {0, 224}, fhData());
  image.block(224, "##MD", {}, textData(kToolComment));
  return image;
}

// Owns one handle for the length of a test.
class Held {
 public:
  explicit Held(cMdfBlockRef ref = {}) : ref_(ref) {}
  ~Held() { cMdfBlockRef_drop(&ref_); }
  Held(const Held&) = delete;
  Held& operator=(const Held&) = delete;
  void reset(cMdfBlockRef ref) {
    cMdfBlockRef_drop(&ref_);
    ref_ = ref;
  }
  cMdfBlockRef get() const { return ref_; }
  cMdfBlock_t* block() const { return ref_.block; }

 private:
  cMdfBlockRef ref_;
};

// Everything written to a memory stream, from its start.
inline std::string contentOf(cIO* io) {
  cIO_seek(io, 0, CIO_SEEK_SET);
  return readAll(io);
}

// Loads the block at `offset` of `image` through a fresh cache, saves it
// with the pass starting at `offset` into a fresh memory stream and expects
// the image back byte for byte (zeros before `offset`, children laid out
// behind their parent as the save places them).
inline void expectGoldenRoundTrip(const Mf4Image& image, uint64_t offset) {
  IOPtr in = image.stream();
  cMdfBlockCache cache;
  Held block(cMdfBlock_loadAtSingle(in.get(), offset, &cache));
  ASSERT_NE(block.block(), nullptr);
  IOPtr out(cIO_memoryAlloc_ctor());
  cMdfBlockSaveContext context;
  context.stream = out.get();
  context.nextFree = offset;
  ASSERT_EQ(cMdfBlock_save(block.block(), &context, nullptr), 1);
  EXPECT_EQ(contentOf(out.get()), image.bytes);
}

// Loads `image` at `offset` through a fresh cache; the handle or null.
inline cMdfBlockRef loadBlock(const Mf4Image& image, uint64_t offset) {
  IOPtr in = image.stream();
  cMdfBlockCache cache;
  return cMdfBlock_loadAtSingle(in.get(), offset, &cache);
}

// Bytes of tests/cpp/fixtures/blocks/<name>, written by make_fixtures.py in
// that folder with the project's MF4 writer.
inline std::string blockFixture(const std::string& name) {
  const std::filesystem::path path =
      std::filesystem::path(__FILE__).parent_path().parent_path() / "fixtures" /
      "blocks" / name;
  std::ifstream in(path, std::ios::binary);
  EXPECT_TRUE(in.good()) << path;
  return std::string(std::istreambuf_iterator<char>(in), {});
}
