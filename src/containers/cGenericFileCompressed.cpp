// Compressed container: window over the payload -> checksumming stream ->
// decompressing stream -> memory stream, then the footer check.
#include "containers/cGenericFileCompressed.h"

#include <unistd.h>

#include <bit>
#include <cstdarg>
#include <cstdio>
#include <new>

#include "containers/cIO_heatshrink.h"
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

// Notes "compressed container at 0x<offset>: <text>" in *reason and
// returns false.
__attribute__((format(printf, 3, 4))) bool refuse(cReason* reason,
                                                  int64_t offset,
                                                  const char* format, ...) {
  if (!reason || reason->set) return false;
  char text[sizeof reason->text];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  return cReason_note(reason, static_cast<uint64_t>(offset),
                      "compressed container at 0x%llX: %s",
                      static_cast<unsigned long long>(offset), text);
}

// Copies `from` to its end into `to`. False, with the reason, on a read
// error, a write that takes fewer bytes than given, or more than `limit`
// bytes in all.
bool copyAll(cIO* from, cIO* to, uint64_t limit, cReason* reason) {
  uint8_t buffer[4096];
  uint64_t total = 0;
  for (;;) {
    const int64_t n = cIO_read(from, buffer, sizeof buffer);
    if (n == 0) return true;
    if (n < 0 || n > static_cast<int64_t>(sizeof buffer))
      return refuse(reason, kPayloadOffset, "its payload could not be read");
    if (static_cast<uint64_t>(n) > limit - total)
      return refuse(reason, kPayloadOffset,
                    "content beyond the limit of %llu bytes "
                    "(max_content_bytes; by default half the physical memory)",
                    static_cast<unsigned long long>(limit));
    if (cIO_write(to, buffer, static_cast<uint64_t>(n)) != n)
      return refuse(reason, kPayloadOffset,
                    "out of memory after %llu bytes of content",
                    static_cast<unsigned long long>(total));
    total += static_cast<uint64_t>(n);
  }
}

// Decompresses the payload [kPayloadOffset, payload_end) of source into
// content and leaves the CRC register over the payload in *crc. The decoder
// reads its source to the end, so the register covers every payload byte
// exactly once.
bool decompress(cIO* source, int64_t payload_end,
                const cGenericFileCompressed_t* c, uint64_t limit,
                uint32_t* crc, cReason* reason) {
  // W = 0 for a zero field, which the decoder refuses like any W > 15.
  const unsigned window_bits =
      c->window_size ? static_cast<unsigned>(std::countr_zero(c->window_size))
                     : 0;
  const unsigned lookahead_bits = c->lookahead & 0xFFu;
  cIO* payload = cIO_scoped_ctor(source, kPayloadOffset, payload_end);
  cIO* checksum = cIO_crc32_ctor(payload);
  cIO* inflater = cIO_heatshrink_open(checksum, window_bits, lookahead_bits);
  bool ok = false;
  if (!inflater)
    refuse(reason, kParameterOffset,
           "window bits W = %u, lookahead bits L = %u outside W 4 to 15, L "
           "3 to W - 1",
           window_bits, lookahead_bits);
  else if (cIO_seek(payload, 0, CIO_SEEK_SET) != 0)
    refuse(reason, kPayloadOffset, "its payload could not be read");
  else
    ok = copyAll(inflater, c->content, limit, reason);
  *crc = cIO_crc32_getCRC(checksum);
  cIO_close(inflater);
  cIO_close(checksum);
  cIO_close(payload);
  return ok;
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

bool load(cIO* source, cGenericFileCompressed_t* c, uint64_t limit,
          cReason* reason) {
  cSerializer s;
  if (!cIO_seekTo(source, kParameterOffset))
    return refuse(reason, kParameterOffset, "its parameters could not be read");
  cSerializer_ctor(&s, source);
  if (!cSerializer_readU32_BE(&s, &c->lookahead) ||
      !cSerializer_readU32_BE(&s, &c->window_size))
    return refuse(reason, kParameterOffset, "its parameters could not be read");
  const int64_t size = cIO_getSize(source);
  if (size < 0) return refuse(reason, 0, "its size cannot be measured");
  const bool footer = c->header.footer_flag == 1;
  const int64_t payload_end =
      cGenericFile_compressed_payloadEnd(size, c->header.footer_flag);
  if (payload_end < 0)
    return cReason_note(reason, static_cast<uint64_t>(size),
                        "Expected to read out CRC from footer, but found none "
                        "(compressed container of %lld bytes, no room for "
                        "one)",
                        static_cast<long long>(size));
  uint32_t crc = 0;
  if (!decompress(source, payload_end, c, limit, &crc, reason)) return false;
  return !footer || footerMatches(source, size, crc, reason);
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

cIO* cGenericFile_compressed_open(cIO* source, const cGenericFileHeader* header,
                                  cReason* reason) {
  return cGenericFile_compressed_openLimited(
      source, header, cGenericFile_compressed_defaultLimit(), reason);
}

cIO* cGenericFile_compressed_openLimited(cIO* source,
                                         const cGenericFileHeader* header,
                                         uint64_t max_content_bytes,
                                         cReason* reason) {
  if (!source || !header) {
    cReason_note(reason, kReasonNoOffset, "no container to open");
    return nullptr;
  }
  if (!cGenericFile_accepts(header, GENERIC_FILE_TYPE_COMPRESSED)) {
    cGenericFile_refuseHeader(header, "compressed", reason);
    return nullptr;
  }
  cGenericFileCompressed_t* c = new (std::nothrow) cGenericFileCompressed_t;
  if (!c) {
    refuse(reason, 0, "out of memory");
    return nullptr;
  }
  c->vtable = &cGenericFileCompressed::vtable;
  c->header = *header;
  c->window_size = 0;
  c->lookahead = 0;
  c->content = cIO_memoryAlloc_ctor();
  if (!c->content) refuse(reason, 0, "out of memory");
  if (!c->content || !load(source, c, max_content_bytes, reason)) {
    cGenericFileCompressed::close(c);
    return nullptr;
  }
  return c;
}
