// Decompressing stream: a read-only cIO that decodes a heatshrink bit
// stream read from another stream, on the fly.
//
// Memory: the stream holds one decoder (record, 1024-byte input buffer and
// a 2^W-byte window, at most 33,792 bytes of buffers) and allocates nothing
// after it is opened. Output is produced only as the caller reads it, so
// however far a small input expands, what is held at once is bounded by the
// caller's own buffer.
//
// End of data: a read returns fewer bytes than asked for only when the
// source has ended and everything decodable was delivered; later reads
// return 0. A truncated bit stream just ends early; only a checksum over
// the compressed bytes can tell.
#pragma once

#include "containers/heatshrink_decoder.h"
#include "streams/cIO.h"

struct cIO_heatshrink_t : cIO {
  cIO* source;                  // compressed bytes; not owned
  heatshrink_decoder* decoder;  // owned
};

// Size of the decoder's input buffer, and of each read from the source.
inline constexpr size_t kHeatshrinkInputBufferSize = 1024;

// A decompressing stream over source, with W window bits and L lookahead
// bits; does not take ownership of source. Reads consume the source from
// where it stands. nullptr when source is null or W and L are outside the
// ranges of heatshrink_decoder_alloc. Write, tell and seek return -1.
cIO* cIO_heatshrink_open(cIO* source, unsigned window_bits,
                         unsigned lookahead_bits);
