// Compressed container: a heatshrink-compressed file (an MF4 file or
// another container) behind the "Generic File" header, optionally followed
// by a CRC-32 footer over the compressed bytes.
//
// Layout on disk (integers big-endian):
//   offset    width  field
//        0       20  common header (cGenericFile.h), container type 0x22
//       20        4  lookahead field: its lowest byte is L
//       24        4  window-size field: 2^W; W is its count of trailing
//                    zero bits
//       28     rest  heatshrink bit stream, up to the footer or the end
//   size-4        4  footer, only with footer flag 1: the CRC-32 register
//                    after all payload bytes (complement of the standard
//                    CRC-32 of the payload)
//
// Opening decompresses the whole payload into a memory stream at once and
// checks the footer; the opened stream then reads, writes, tells and seeks
// on that memory stream.
#pragma once

#include <cstdint>

#include "containers/cGenericFile.h"
#include "log/cReason.h"
#include "streams/cIO.h"

struct cGenericFileCompressed_t : cIO {
  cGenericFileHeader header;  // copy of the container header
  uint32_t window_size;       // window-size field as stored (2^W)
  uint32_t lookahead;         // lookahead field as stored (L in its low byte)
  cIO* content;               // owned memory stream: the decompressed file
};

// Decompresses the container on `source` (its header already read into
// `header` by cGenericFile_readHeader) into memory. Returns the new stream,
// positioned at the end of the content, or nullptr on any failure: null
// arguments, a header combination that is not accepted, W or L out of
// range, a source read error, content above the limit below, lack of
// memory, or a footer that is missing or does not match. The source is
// neither closed nor taken over.
//
// Why it failed is noted in *reason (when not null; log/cReason.h), with
// the offset in the container: "compressed container at 0x14: window bits
// W = 20, lookahead bits L = 4 outside W 4 to 15, L 3 to W - 1". A missing
// or wrong footer keeps the words it was logged with before: "Expected to
// read out CRC from footer, but found none (...)", "Could not validate
// checksum, expected 340BC6D8 but found 340BC6D9 (footer at 0x25)". Nothing
// is logged here.
//
// The decompressed content is held in memory whole. Heatshrink expands at
// most 2^L bytes per 1 + W + L input bits (about 4,400 times at W = 15,
// L = 14), so a small file may claim a huge content: opening stops and
// fails once the content would exceed the limit, which is half the
// machine's physical memory.
cIO* cGenericFile_compressed_open(cIO* source, const cGenericFileHeader* header,
                                  cReason* reason = nullptr);
// The same with the content limit given in bytes.
cIO* cGenericFile_compressed_openLimited(cIO* source,
                                         const cGenericFileHeader* header,
                                         uint64_t max_content_bytes,
                                         cReason* reason = nullptr);
// The limit used by cGenericFile_compressed_open.
uint64_t cGenericFile_compressed_defaultLimit();
// Where the payload of a container of `size` bytes ends (exclusive): before
// the footer when footer_flag is 1, else at the end. -1 when there is no
// room for a footer after the header fields.
int64_t cGenericFile_compressed_payloadEnd(int64_t size, uint8_t footer_flag);
