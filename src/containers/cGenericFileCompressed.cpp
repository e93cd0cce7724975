// Compressed container: the parameters, one pass over the payload (CRC,
// content size, the CRC of every input block), the footer check, then a
// seekable decompressing stream over the payload.
#include "containers/cGenericFileCompressed.h"

#include <bit>
#include <new>
#include <vector>

#include "containers/cIO_heatshrinkIndexed.h"
#include "streams/cIO_scoped.h"
#include "streams/cSerializer.h"
#include "streams/crc32.h"

namespace {

constexpr int64_t kParameterOffset = kGenericFileHeaderSize;
constexpr int64_t kPayloadOffset = kParameterOffset + 8;
constexpr int64_t kFooterSize = 4;
constexpr const char* kWhat = "compressed container";

// What the pass over the payload found.
struct PayloadPass {
  uint32_t crc;                  // CRC register over every payload byte
  uint64_t content;              // content size
  std::vector<uint32_t> blocks;  // standard CRC-32 of each input block
};

// Reads the payload [0, length) of `payload` once, block by block.
bool passOver(cIO* payload, uint64_t length, unsigned w, unsigned l,
              uint64_t block_size, PayloadPass* pass, cReason* reason) {
  std::vector<uint8_t> block;
  try {
    block.resize(block_size);
    pass->blocks.reserve((length + block_size - 1) / block_size);
  } catch (...) {
    return cReason_noteAt(reason, kWhat, 0, "out of memory");
  }
  cHeatshrinkSizer sizer;
  cHeatshrinkSizer_init(&sizer, w, l);
  // Standard CRC-32 of the payload so far, combined from the blocks' own.
  uint32_t crc = 0;
  if (!cIO_seekTo(payload, 0))
    return cReason_noteAt(reason, kWhat, kPayloadOffset,
                          "its payload could not be read");
  for (uint64_t at = 0; at < length; at += block_size) {
    const uint64_t n = std::min(block_size, length - at);
    if (cIO_readFull(payload, block.data(), n) != static_cast<int64_t>(n))
      return cReason_noteAt(reason, kWhat, kPayloadOffset + at,
                            "its payload could not be read");
    const uint32_t block_crc = crc_32(block.data(), n);
    pass->blocks.push_back(block_crc);
    crc = crc_32_combine(crc, block_crc, n);
    cHeatshrinkSizer_feed(&sizer, block.data(), n);
  }
  pass->crc = ~crc;
  pass->content = sizer.size;
  return true;
}

// Compares the footer with the register; notes why when they disagree or
// there is no footer to compare with.
bool footerMatches(cIO* source, int64_t size, uint32_t crc, cReason* reason) {
  uint32_t footer = 0;
  cSerializer s;
  const int64_t at = size - kFooterSize;
  const bool found =
      cIO_seekTo(source, static_cast<uint64_t>(at)) &&
      cSerializer_readU32_BE(cSerializer_ctor(&s, source), &footer);
  if (!found)
    return cReason_note(reason, static_cast<uint64_t>(at),
                        "Expected to read out CRC from footer, but found none "
                        "(compressed container, footer at 0x%llX)",
                        static_cast<unsigned long long>(at));
  if (footer != crc)
    return cReason_note(reason, static_cast<uint64_t>(at),
                        "Could not validate checksum, expected %08X but found "
                        "%08X (compressed container, footer at 0x%llX)",
                        footer, crc, static_cast<unsigned long long>(at));
  return true;
}

bool load(cIO* source, cGenericFileCompressed_t* c, cReason* reason) {
  cSerializer s;
  if (!cIO_seekTo(source, kParameterOffset))
    return cReason_noteAt(reason, kWhat, kParameterOffset,
                          "its parameters could not be read");
  cSerializer_ctor(&s, source);
  if (!cSerializer_readU32_BE(&s, &c->lookahead) ||
      !cSerializer_readU32_BE(&s, &c->window_size))
    return cReason_noteAt(reason, kWhat, kParameterOffset,
                          "its parameters could not be read");
  // W = 0 for a zero field, which is refused like any W > 15.
  const unsigned w =
      c->window_size ? static_cast<unsigned>(std::countr_zero(c->window_size))
                     : 0;
  const unsigned l = c->lookahead & 0xFFu;
  if (w < 4 || w > 15 || l < 3 || l >= w)
    return cReason_noteAt(reason, kWhat, kParameterOffset,
                          "window bits W = %u, lookahead bits L = %u outside "
                          "W 4 to 15, L 3 to W - 1",
                          w, l);
  const int64_t size = cIO_getSize(source);
  if (size < 0)
    return cReason_noteAt(reason, kWhat, 0, "its size cannot be measured");
  const int64_t payload_end =
      cGenericFile_compressed_payloadEnd(size, c->header.footer_flag);
  if (payload_end < 0)
    return cReason_note(reason, static_cast<uint64_t>(size),
                        "Expected to read out CRC from footer, but found none "
                        "(compressed container of %lld bytes, no room for "
                        "one)",
                        static_cast<long long>(size));
  const uint64_t length =
      payload_end > kPayloadOffset ? uint64_t(payload_end - kPayloadOffset) : 0;
  c->payload = cIO_scoped_ctor(source, kPayloadOffset, payload_end);
  if (!c->payload) return cReason_noteAt(reason, kWhat, 0, "out of memory");
  const uint64_t block_size = cIO_heatshrinkIndexed_blockSize(length);
  PayloadPass pass;
  if (!passOver(c->payload, length, w, l, block_size, &pass, reason))
    return false;
  if (c->header.footer_flag == 1 &&
      !footerMatches(source, size, pass.crc, reason))
    return false;
  c->content = cIO_heatshrinkIndexed_open(c->payload, length, pass.content, w,
                                          l, block_size, &pass.blocks);
  if (!c->content) return cReason_noteAt(reason, kWhat, 0, "out of memory");
  return true;
}

int64_t read(cIO* io, void* dst, uint64_t len) {
  return cIO_read(static_cast<cGenericFileCompressed_t*>(io)->content, dst,
                  len);
}

int64_t write(cIO*, const void*, uint64_t) { return -1; }

int64_t tell(cIO* io) {
  return cIO_tell(static_cast<cGenericFileCompressed_t*>(io)->content);
}

int64_t seek(cIO* io, int64_t offset, int whence) {
  return cIO_seek(static_cast<cGenericFileCompressed_t*>(io)->content, offset,
                  whence);
}

// Closes the content and the payload window and releases the record; the
// source stays open.
int close(cIO* io) {
  auto* c = static_cast<cGenericFileCompressed_t*>(io);
  cIO_close(c->content);
  cIO_close(c->payload);
  delete c;
  return 0;
}

const cIO_vtable kOperations = {read, write, tell, seek, close};

}  // namespace

int64_t cGenericFile_compressed_payloadEnd(int64_t size, uint8_t footer_flag) {
  if (footer_flag != 1) return size;
  // Positions stay 64-bit: a container of 2 GiB or more is no special case.
  // A footer must follow the header fields; in a shorter file the last four
  // bytes would be header fields, not a footer.
  return size - kFooterSize >= kPayloadOffset ? size - kFooterSize : -1;
}

cIO* cGenericFile_compressed_open(cIO* source, const cGenericFileHeader* header,
                                  cReason* reason) {
  if (!source || !header) {
    cReason_note(reason, kReasonNoOffset, "no container to open");
    return nullptr;
  }
  if (!cGenericFile_accepts(header, GENERIC_FILE_TYPE_COMPRESSED)) {
    cGenericFile_refuseHeader(header, "compressed", reason);
    return nullptr;
  }
  auto* c = new (std::nothrow) cGenericFileCompressed_t;
  if (!c) {
    cReason_noteAt(reason, kWhat, 0, "out of memory");
    return nullptr;
  }
  c->vtable = &kOperations;
  c->header = *header;
  c->window_size = 0;
  c->lookahead = 0;
  c->source = source;
  c->payload = nullptr;
  c->content = nullptr;
  if (!load(source, c, reason)) {
    close(c);
    return nullptr;
  }
  return c;
}

const cReason* cGenericFile_compressed_fault(const cIO* stream) {
  if (!stream || stream->vtable != &kOperations) return nullptr;
  return cIO_heatshrinkIndexed_fault(
      static_cast<const cGenericFileCompressed_t*>(stream)->content);
}

cIO* cGenericFile_compressed_source(const cIO* stream) {
  if (!stream || stream->vtable != &kOperations) return nullptr;
  return static_cast<const cGenericFileCompressed_t*>(stream)->source;
}
