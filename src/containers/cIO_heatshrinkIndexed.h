// Seekable decompressing stream: a read-only cIO over a heatshrink bit
// stream that serves reads and seeks anywhere in the content without
// holding it.
//
// Decoding runs in cursors: a decoder state (bit position, window of 2^W
// bytes, a back-reference half emitted) with an input block of its own. A
// read continues the cursor that stands where it starts, or whose window
// still holds its first bytes; readers that alternate between places far
// apart (the merge of several data groups) each keep a cursor of their own
// and never decode the same bytes twice. A read no cursor serves restarts
// the least recently used cursor from the nearest checkpoint before it: a
// copy of a decoder state and its window, taken every `spacing` content
// bytes the first time decoding passes there (as zlib's zran example does
// for deflate). Checkpoints stay within kHeatshrinkCheckpointBytes: when
// they would exceed it, every other one is dropped and the spacing
// doubles, so memory stays bounded for any content size.
//
// The content size comes from cHeatshrinkSizer, a pass over the compressed
// bytes that counts what the items expand to without decoding them. Input
// blocks are read at multiples of the block size, and each one's CRC-32 is
// compared with what that pass recorded: a source that changed or failed
// since makes the stream fail for good (every later read -1), with the
// reason in `fault`.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "log/cReason.h"
#include "streams/cIO.h"

// Cursors per stream.
inline constexpr int kHeatshrinkCursors = 16;
// Memory for the checkpoints' windows, at most.
inline constexpr uint64_t kHeatshrinkCheckpointBytes = 8u << 20;
// Content bytes between checkpoints at first; doubles as they thin out.
inline constexpr uint64_t kHeatshrinkFirstSpacing = 256u << 10;

// Counts the content of a heatshrink bit stream fed in pieces: the bytes
// its complete items expand to. An item cut off by the end of the stream
// yields nothing, as in the decoder.
struct cHeatshrinkSizer {
  uint64_t bits;   // pending bits, the next one in bit 63
  unsigned count;  // pending bits in `bits`
  unsigned window_bits;
  unsigned lookahead_bits;
  uint64_t size;  // content of the items complete so far
};

void cHeatshrinkSizer_init(cHeatshrinkSizer* sizer, unsigned window_bits,
                           unsigned lookahead_bits);
void cHeatshrinkSizer_feed(cHeatshrinkSizer* sizer, const uint8_t* bytes,
                           size_t length);

// Input block size for a bit stream of `payload` bytes: 16 KiB, doubled
// (up to 1 MiB) until there are at most 2^18 blocks, so that the recorded
// CRCs stay small for any file.
uint64_t cIO_heatshrinkIndexed_blockSize(uint64_t payload);

// A decoder state and its input block.
struct cHeatshrinkCursor {
  uint64_t out;          // content position of the next byte it emits
  uint64_t in;           // bit-stream offset of the next byte for `bits`
  uint64_t bits;         // pending bits, the next one in bit 63
  unsigned count;        // pending bits in `bits`
  uint32_t distance;     // back-reference being emitted: its distance
  uint32_t pending;      // and the bytes of it still to emit
  uint64_t used;         // clock tick of its last use; 0: holds nothing
  uint8_t* window;       // 2^W bytes: byte i of the content at i & (2^W - 1)
  uint8_t* block;        // input block
  uint64_t block_start;  // bit-stream offset of block[0]
  uint64_t block_fill;   // bytes in block; 0 when none is loaded
};

// A cursor's state between items, to restart from.
struct cHeatshrinkCheckpoint {
  uint64_t out;     // content position
  uint64_t bit;     // bit-stream position of the next item, in bits
  uint8_t* window;  // 2^W bytes, owned (freed by the stream)
};

struct cIO_heatshrinkIndexed_t : cIO {
  cIO* source;  // the bit stream from its offset 0; not owned
  unsigned window_bits;
  unsigned lookahead_bits;
  uint64_t payload;                  // bytes of the bit stream
  uint64_t size;                     // content bytes
  uint64_t position;                 // the stream's position in the content
  uint64_t block_size;               // input block size
  std::vector<uint32_t> block_crcs;  // standard CRC-32 of each input block
  cHeatshrinkCursor* cursors;        // kHeatshrinkCursors, owned
  std::vector<cHeatshrinkCheckpoint> checkpoints;  // by content position
  uint64_t spacing;        // content bytes between checkpoints
  size_t max_checkpoints;  // kHeatshrinkCheckpointBytes / 2^W, at least 2
  uint64_t clock;          // ticks for least-recently-used cursors
  uint64_t decoded;        // content bytes decoded in all, skips included
  bool failed;             // sticky: the source changed or failed
  cReason fault;           // why it failed
};

// A stream over the bit stream `source` (positions from 0; not owned) of
// `payload` bytes with W window and L lookahead bits, whose content is
// `size` bytes and whose input blocks of `block_size` bytes have the CRCs
// `block_crcs` (moved from). nullptr when W or L are out of the decoder's
// ranges, the CRCs do not cover the payload, or memory is short. Write
// returns -1; seeks anywhere at or after 0 succeed (reads beyond the
// content return 0).
cIO* cIO_heatshrinkIndexed_open(cIO* source, uint64_t payload, uint64_t size,
                                unsigned window_bits, unsigned lookahead_bits,
                                uint64_t block_size,
                                std::vector<uint32_t>* block_crcs);

// Content bytes decoded so far (bytes skipped on the way included): what
// a benchmark divides by the content read.
uint64_t cIO_heatshrinkIndexed_decoded(const cIO* stream);

// Why the stream fails, or nullptr while it does not (or for a stream of
// another kind).
const cReason* cIO_heatshrinkIndexed_fault(const cIO* stream);
