// Test helpers: MF4 blocks appended one after another into a buffer, as a
// logger lays them out (the block encodings of mdf_block_support.h), a
// memory stream over the result, loads through a fresh cache, save passes,
// and the library's log.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "mdf/blocks/cMdfBlock.h"
#include "streams/cIO.h"
#include "streams/cIO_memoryAlloc.h"
#include "support/log_capture.h"
#include "support/mdf_block_support.h"

namespace mdftest {

// Blocks appended one after another at 8-byte aligned offsets. The buffer
// starts with 64 bytes of padding, so that no block lies at offset 0.
class BlockBytes {
 public:
  BlockBytes() : bytes_(64, 0) {}

  // A block with the given id, links (0 for none) and data section; its
  // offset.
  uint64_t block(const char* id, const std::vector<uint64_t>& links,
                 const std::string& data) {
    while (bytes_.size() % 8 != 0) bytes_.push_back(0);
    const uint64_t at = bytes_.size();
    const std::string raw = blockBytes(id, links, data);
    bytes_.insert(bytes_.end(), raw.begin(), raw.end());
    return at;
  }
  uint64_t block(const char* id, const std::vector<uint64_t>& links,
                 const std::vector<uint8_t>& data) {
    return block(id, links, std::string(data.begin(), data.end()));
  }

  uint64_t tx(const std::string& text) {
    return block("##TX", {}, text + '\0');
  }

  // Conversion block without references: type and parameters.
  uint64_t cc(uint8_t type, const std::vector<double>& values) {
    std::string data = u8(type) + zeros(5) + u16(values.size()) + zeros(16);
    for (double v : values) data += f64(v);
    return block("##CC", {0, 0, 0, 0}, data);
  }

  // A channel block as loggers write it; its name becomes a text block of
  // its own unless name is empty.
  struct Channel {
    std::string name;
    uint32_t byteOffset = 0;
    uint8_t bitOffset = 0;
    uint32_t bitCount = 8;
    uint8_t dataType = 0;     // raw: 0 unsigned LE, 4 float LE, 10 bytes
    uint8_t channelType = 0;  // raw: 0 fixed, 1 VLSD, 2 master
    uint64_t conversion = 0;  // links
    uint64_t data = 0;
    uint64_t composition = 0;
    uint64_t next = 0;
  };
  uint64_t cn(const Channel& c) {
    const uint64_t name = c.name.empty() ? 0 : tx(c.name);
    return block("##CN",
                 {c.next, c.composition, name, 0, c.conversion, c.data, 0, 0},
                 cnData(c.channelType, c.dataType, c.bitOffset, c.byteOffset,
                        c.bitCount));
  }

  // A chain of channels (next links in vector order); the first one's
  // offset, 0 for none.
  uint64_t chain(const std::vector<Channel>& channels) {
    uint64_t next = 0;
    for (auto it = channels.rbegin(); it != channels.rend(); ++it) {
      Channel c = *it;
      c.next = next;
      next = cn(c);
    }
    return next;
  }

  struct Group {
    uint64_t firstChannel = 0;
    uint64_t recordId = 0;
    uint16_t flags = 0;
    uint32_t dataBytes = 0;
    uint64_t acquisitionSource = 0;
    uint64_t sampleReduction = 0;
    uint64_t next = 0;
  };
  uint64_t cg(const Group& g) {
    return block(
        "##CG",
        {g.next, g.firstChannel, 0, g.acquisitionSource, g.sampleReduction, 0},
        cgData(g.recordId, g.flags, g.dataBytes));
  }

  // Overwrites link i of the block at `at`.
  void setLink(uint64_t at, uint64_t i, uint64_t target) {
    std::memcpy(&bytes_[at + 24 + 8 * i], &target, 8);
  }

  const std::vector<uint8_t>& bytes() const { return bytes_; }

  // The bytes as a file image.
  Mf4Image image() const { return {std::string(bytes_.begin(), bytes_.end())}; }

  // A fresh memory stream holding the bytes, positioned at 0. Close it
  // with cIO_close.
  cIO* stream() const { return image().stream().release(); }

 private:
  std::vector<uint8_t> bytes_;
};

// Writes value into a record bit by bit, in the numbering of the byte order
// (LSB-first positions for little-endian, MSB-first for big-endian),
// independently of the extractor under test.
inline void putBits(std::vector<uint8_t>* record, uint64_t start,
                    uint64_t count, uint64_t value, bool littleEndian) {
  for (uint64_t i = 0; i < count; ++i) {
    const uint64_t p = start + i;
    const uint64_t weight = littleEndian ? i : count - 1 - i;
    const unsigned inByte = littleEndian ? p % 8 : 7 - p % 8;
    const auto mask = static_cast<uint8_t>(1u << inByte);
    if ((value >> weight) & 1u) {
      (*record)[p / 8] |= mask;
    } else {
      (*record)[p / 8] &= static_cast<uint8_t>(~mask);
    }
  }
}

// Signal data as record access hands it to a decoder: a u32 little-endian
// length, then the bytes.
inline void appendValue(std::vector<uint8_t>* signal,
                        const std::vector<uint8_t>& bytes) {
  const auto n = static_cast<uint32_t>(bytes.size());
  for (int i = 0; i < 4; ++i) signal->push_back(uint8_t(n >> (8 * i)));
  signal->insert(signal->end(), bytes.begin(), bytes.end());
}

// Loads the block at `at` through a fresh cache, as a single link; the
// caller drops the result.
inline cMdfBlockRef loadSingle(const BlockBytes& bytes, uint64_t at) {
  return loadBlock(bytes.image(), at);
}

// Loads the chain that starts at `at` into *list (which the caller clears);
// true when a block resulted.
inline bool loadChain(const BlockBytes& bytes, uint64_t at,
                      cMdfBlockList* list) {
  cIO* io = bytes.stream();
  cMdfBlockCache cache;
  const bool ok = cMdfBlock_loadAt(io, at, &cache, list);
  cIO_close(io);
  return ok;
}

// An output stream for a save pass: a memory stream of `size` zero bytes.
// A pass writes a block's children (at higher offsets) before the block
// itself, so the stream must already reach that far.
inline cIO* zeroedOutput(size_t size = size_t{1} << 16) {
  cIO* io = cIO_memoryAlloc_ctor();
  const std::vector<uint8_t> zeros(size, 0);
  EXPECT_EQ(cIO_write(io, zeros.data(), zeros.size()),
            static_cast<int64_t>(size));
  cIO_seek(io, 0, CIO_SEEK_SET);
  return io;
}

// The first n bytes of a stream.
inline std::vector<uint8_t> streamBytes(cIO* io, uint64_t n) {
  std::vector<uint8_t> out(n);
  cIO_seek(io, 0, CIO_SEEK_SET);
  if (n > 0) {
    EXPECT_EQ(cIO_read(io, out.data(), n), static_cast<int64_t>(n));
  }
  return out;
}

// One save pass starting at `block` into a fresh output; the bytes up to
// the pass's next free offset.
inline std::vector<uint8_t> savePass(cMdfBlock_t* block) {
  cIO* out = zeroedOutput();
  cMdfBlockSaveContext context;
  context.stream = out;
  EXPECT_EQ(cMdfBlock_save(block, &context, nullptr), 1);
  std::vector<uint8_t> bytes = streamBytes(out, context.nextFree);
  cIO_close(out);
  return bytes;
}

using ::LogCapture;

}  // namespace mdftest
