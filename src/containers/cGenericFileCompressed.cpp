// Compressed container: window over the payload -> checksumming stream ->
// decompressing stream -> memory stream, then the footer check.
#include "containers/cGenericFileCompressed.h"

#include <unistd.h>

#include <bit>
#include <new>

#include "containers/cIO_heatshrink.h"
#include "log/zf_log.h"
#include "streams/cIO_crc32.h"
#include "streams/cIO_memoryAlloc.h"
#include "streams/cIO_scoped.h"
#include "streams/cSerializer.h"

namespace {

constexpr int64_t kParameterOffset = kGenericFileHeaderSize;
constexpr int64_t kPayloadOffset = kParameterOffset + 8;
constexpr int64_t kFooterSize = 4;

// The operations of stream kind cGenericFileCompressed.
using cGenericFileCompressed = cGenericFileContentOps<cGenericFileCompressed_t>;

// Copies `from` to its end into `to`. False on a read error, a write that
// takes fewer bytes than given, or more than `limit` bytes in all.
bool copyAll(cIO* from, cIO* to, uint64_t limit) {
  uint8_t buffer[4096];
  uint64_t total = 0;
  for (;;) {
    const int64_t n = cIO_read(from, buffer, sizeof buffer);
    if (n == 0) return true;
    if (n < 0 || n > static_cast<int64_t>(sizeof buffer)) return false;
    if (static_cast<uint64_t>(n) > limit - total) return false;
    if (cIO_write(to, buffer, static_cast<uint64_t>(n)) != n) return false;
    total += static_cast<uint64_t>(n);
  }
}

// Decompresses the payload [kPayloadOffset, payload_end) of source into
// content and leaves the CRC register over the payload in *crc. The decoder
// reads its source to the end, so the register covers every payload byte
// exactly once.
bool decompress(cIO* source, int64_t payload_end,
                const cGenericFileCompressed_t* c, uint64_t limit,
                uint32_t* crc) {
  // W = 0 for a zero field, which the decoder refuses like any W > 15.
  const unsigned window_bits =
      c->window_size ? static_cast<unsigned>(std::countr_zero(c->window_size))
                     : 0;
  const unsigned lookahead_bits = c->lookahead & 0xFFu;
  cIO* payload = cIO_scoped_ctor(source, kPayloadOffset, payload_end);
  cIO* checksum = cIO_crc32_ctor(payload);
  cIO* inflater = cIO_heatshrink_open(checksum, window_bits, lookahead_bits);
  const bool ok = inflater && cIO_seek(payload, 0, CIO_SEEK_SET) == 0 &&
                  copyAll(inflater, c->content, limit);
  *crc = cIO_crc32_getCRC(checksum);
  cIO_close(inflater);
  cIO_close(checksum);
  cIO_close(payload);
  return ok;
}

// Compares the footer with the register. Logs why when they disagree or
// there is no footer to compare with.
bool footerMatches(cIO* source, int64_t size, uint32_t crc) {
  uint32_t footer = 0;
  cSerializer s;
  const bool found =
      cIO_seek(source, size - kFooterSize, CIO_SEEK_SET) ==
          size - kFooterSize &&
      cSerializer_readU32_BE(cSerializer_ctor(&s, source), &footer);
  if (!found) {
    ZF_LOGE("Expected to read out CRC from footer, but found none");
    return false;
  }
  if (footer != crc) {
    ZF_LOGE("Could not validate checksum, expected %08X but found %08X", footer,
            crc);
    return false;
  }
  return true;
}

bool load(cIO* source, cGenericFileCompressed_t* c, uint64_t limit) {
  cSerializer s;
  if (cIO_seek(source, kParameterOffset, CIO_SEEK_SET) != kParameterOffset)
    return false;
  cSerializer_ctor(&s, source);
  if (!cSerializer_readU32_BE(&s, &c->lookahead) ||
      !cSerializer_readU32_BE(&s, &c->window_size))
    return false;
  const int64_t size = cIO_getSize(source);
  if (size < 0) return false;
  const bool footer = c->header.footer_flag == 1;
  const int64_t payload_end =
      cGenericFile_compressed_payloadEnd(size, c->header.footer_flag);
  if (payload_end < 0) {
    ZF_LOGE("Expected to read out CRC from footer, but found none");
    return false;
  }
  uint32_t crc = 0;
  if (!decompress(source, payload_end, c, limit, &crc)) return false;
  return !footer || footerMatches(source, size, crc);
}

}  // namespace

int64_t cGenericFile_compressed_payloadEnd(int64_t size, uint8_t footer_flag) {
  if (footer_flag != 1) return size;
  // Positions stay 64-bit: a container of 2 GiB or more is no special case.
  // A footer must follow the header fields; in a shorter file the last four
  // bytes would be header fields, not a footer.
  return size - kFooterSize >= kPayloadOffset ? size - kFooterSize : -1;
}

uint64_t cGenericFile_compressed_defaultLimit() {
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long page_size = sysconf(_SC_PAGE_SIZE);
  if (pages <= 0 || page_size <= 0) return UINT64_MAX;
  return static_cast<uint64_t>(pages) * static_cast<uint64_t>(page_size) / 2;
}

cIO* cGenericFile_compressed_open(cIO* source,
                                  const cGenericFileHeader* header) {
  return cGenericFile_compressed_openLimited(
      source, header, cGenericFile_compressed_defaultLimit());
}

cIO* cGenericFile_compressed_openLimited(cIO* source,
                                         const cGenericFileHeader* header,
                                         uint64_t max_content_bytes) {
  if (!source || !cGenericFile_accepts(header, GENERIC_FILE_TYPE_COMPRESSED))
    return nullptr;
  cGenericFileCompressed_t* c = new (std::nothrow) cGenericFileCompressed_t;
  if (!c) return nullptr;
  c->vtable = &cGenericFileCompressed::vtable;
  c->header = *header;
  c->window_size = 0;
  c->lookahead = 0;
  c->content = cIO_memoryAlloc_ctor();
  if (!c->content || !load(source, c, max_content_bytes)) {
    cGenericFileCompressed::close(c);
    return nullptr;
  }
  return c;
}
