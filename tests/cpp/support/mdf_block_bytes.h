// Test helpers: MF4 blocks written byte by byte into a buffer, as a logger
// lays them out, a memory stream over the result, and a capture of the
// library's log messages.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "log/zf_log.h"
#include "mdf/blocks/cMdfBlock.h"
#include "streams/cIO.h"
#include "streams/cIO_memoryAlloc.h"

namespace mdftest {

// Blocks appended one after another at 8-byte aligned offsets. The buffer
// starts with 64 bytes of padding, so that no block lies at offset 0.
class BlockBytes {
 public:
  BlockBytes() : bytes_(64, 0) {}

  // A block with the given id, links (0 for none) and data section.
  uint64_t block(const char* id, const std::vector<uint64_t>& links,
                 const std::vector<uint8_t>& data) {
    while (bytes_.size() % 8 != 0) bytes_.push_back(0);
    const uint64_t at = bytes_.size();
    bytes_.insert(bytes_.end(), id, id + 4);
    putU32(0);
    putU64(24 + 8 * links.size() + data.size());
    putU64(links.size());
    for (uint64_t link : links) putU64(link);
    bytes_.insert(bytes_.end(), data.begin(), data.end());
    return at;
  }

  uint64_t tx(const std::string& text) {
    std::vector<uint8_t> data(text.begin(), text.end());
    data.push_back(0);
    return block("##TX", {}, data);
  }

  // Conversion block without references: type and parameters.
  uint64_t cc(uint8_t type, const std::vector<double>& values) {
    Data d;
    d.u8(type).u8(0).u16(0).u16(0).u16(static_cast<uint16_t>(values.size()));
    d.f64(0).f64(0);
    for (double v : values) d.f64(v);
    return block("##CC", {0, 0, 0, 0}, d.bytes);
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
    Data d;
    d.u8(c.channelType).u8(0).u8(c.dataType).u8(c.bitOffset);
    d.u32(c.byteOffset).u32(c.bitCount).u32(0).u32(0);
    d.u8(0).u8(0).u16(0);
    for (int i = 0; i < 6; ++i) d.f64(0);
    return block("##CN",
                 {c.next, c.composition, name, 0, c.conversion, c.data, 0, 0},
                 d.bytes);
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
    Data d;
    d.u64(g.recordId).u64(0).u16(g.flags).u16(0).u32(0);
    d.u32(g.dataBytes).u32(0);
    return block(
        "##CG",
        {g.next, g.firstChannel, 0, g.acquisitionSource, g.sampleReduction, 0},
        d.bytes);
  }

  // Overwrites link i of the block at `at`.
  void setLink(uint64_t at, uint64_t i, uint64_t target) {
    std::memcpy(&bytes_[at + 24 + 8 * i], &target, 8);
  }

  const std::vector<uint8_t>& bytes() const { return bytes_; }

  // A fresh memory stream holding the bytes, positioned at 0. Close it
  // with cIO_close.
  cIO* stream() const {
    cIO* io = cIO_memoryAlloc_ctor();
    EXPECT_NE(io, nullptr);
    EXPECT_EQ(cIO_write(io, bytes_.data(), bytes_.size()),
              static_cast<int64_t>(bytes_.size()));
    cIO_seek(io, 0, CIO_SEEK_SET);
    return io;
  }

  // Little-endian data section builder.
  struct Data {
    std::vector<uint8_t> bytes;
    Data& raw(const void* p, size_t n) {
      const auto* b = static_cast<const uint8_t*>(p);
      bytes.insert(bytes.end(), b, b + n);
      return *this;
    }
    Data& u8(uint8_t v) { return raw(&v, 1); }
    Data& u16(uint16_t v) { return raw(&v, 2); }
    Data& u32(uint32_t v) { return raw(&v, 4); }
    Data& u64(uint64_t v) { return raw(&v, 8); }
    Data& f64(double v) { return raw(&v, 8); }
  };

 private:
  void putU32(uint32_t v) {
    const auto* b = reinterpret_cast<const uint8_t*>(&v);
    bytes_.insert(bytes_.end(), b, b + 4);
  }
  void putU64(uint64_t v) {
    const auto* b = reinterpret_cast<const uint8_t*>(&v);
    bytes_.insert(bytes_.end(), b, b + 8);
  }

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
  cIO* io = bytes.stream();
  cMdfBlockCache cache;
  cMdfBlockRef ref = cMdfBlock_loadAtSingle(io, at, &cache);
  cIO_close(io);
  return ref;
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

// Collects the messages the library logs while it lives.
class LogCapture {
 public:
  LogCapture()
      : level_(_zf_log_global_output_lvl), output_(_zf_log_global_output) {
    zf_log_set_output_v(ZF_LOG_PUT_MSG, this, &LogCapture::collect);
    zf_log_set_output_level(ZF_LOG_WARN);
  }
  ~LogCapture() {
    zf_log_set_output_v(output_.mask, output_.arg, output_.callback);
    zf_log_set_output_level(level_);
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<std::string> messages;

 private:
  static void collect(const zf_log_message* msg, void* arg) {
    static_cast<LogCapture*>(arg)->messages.emplace_back(msg->msg_b, msg->p);
  }

  int level_;
  zf_log_output output_;
};

}  // namespace mdftest
