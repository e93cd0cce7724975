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
// Opening reads the payload once: it checks the footer and counts the
// content without decoding it (cIO_heatshrinkIndexed.h). The opened stream
// then decodes what is read, where it is read, without holding the content:
// its memory is bounded whatever the file's size.
#pragma once

#include <cstdint>

#include "containers/cGenericFile.h"
#include "log/cReason.h"
#include "streams/cIO.h"

struct cGenericFileCompressed_t : cIO {
  cGenericFileHeader header;  // copy of the container header
  uint32_t window_size;       // window-size field as stored (2^W)
  uint32_t lookahead;         // lookahead field as stored (L in its low byte)
  cIO* source;                // the container's stream; not owned
  cIO* payload;  // owned window over the source's heatshrink bit stream
  cIO* content;  // owned decompressing stream over payload
};

// Opens the container on `source` (its header already read into `header`
// by cGenericFile_readHeader), which must be able to seek. Returns the new
// stream, positioned at 0, or nullptr on any failure: null arguments, a
// header combination that is not accepted, W or L out of range, a source
// read error, lack of memory, or a footer that is missing or does not
// match. No content is decoded before the footer matched. The source is
// neither closed nor taken over and must outlive the stream. The stream
// reads, tells and seeks on the content; write returns -1. Should the
// source change or fail later, reads fail (-1) from then on and
// cGenericFile_fault tells why.
//
// Why it failed is noted in *reason (when not null; log/cReason.h), with
// the offset in the container: "compressed container at 0x14: window bits
// W = 20, lookahead bits L = 4 outside W 4 to 15, L 3 to W - 1". A missing
// or wrong footer keeps the words it was logged with before: "Expected to
// read out CRC from footer, but found none (...)", "Could not validate
// checksum, expected 340BC6D8 but found 340BC6D9 (footer at 0x25)". Nothing
// is logged here.
//
// Heatshrink expands at most 2^L bytes per 1 + W + L input bits (about
// 4,400 times at W = 15, L = 14): a small file may hold a huge content,
// which costs time as it is read, but never memory.
cIO* cGenericFile_compressed_open(cIO* source, const cGenericFileHeader* header,
                                  cReason* reason = nullptr);
// Where the payload of a container of `size` bytes ends (exclusive): before
// the footer when footer_flag is 1, else at the end. -1 when there is no
// room for a footer after the header fields.
int64_t cGenericFile_compressed_payloadEnd(int64_t size, uint8_t footer_flag);

// Why reads of an opened compressed container `stream` fail (its source
// changed or failed since the open), or nullptr while they do not or when
// `stream` is no compressed container.
const cReason* cGenericFile_compressed_fault(const cIO* stream);
// The source an opened compressed container reads; nullptr when `stream`
// is none.
cIO* cGenericFile_compressed_source(const cIO* stream);
