// Incremental heatshrink decoder: sink compressed bytes, poll decompressed
// bytes, ask whether everything was decoded. Only decoding exists here.
//
// Heatshrink is an LZSS scheme for small devices. Its bit stream is read
// most-significant bit first, byte after byte, as a sequence of items:
//   literal:        1, then 8 bits: the byte
//   back-reference: 0, then W bits: distance - 1, then L bits: length - 1
// A back-reference repeats `length` bytes (1 to 2^L) starting `distance`
// bytes (1 to 2^W) back in the output, one byte at a time, so a distance
// shorter than the length repeats the last bytes. The window starts as 2^W
// zero bytes: reaching before the start of the output yields zeros. The last
// byte is padded with zero bits, which may look like the start of a
// back-reference; finish accepts that.
//
// W (window bits) is 4 to 15, L (lookahead bits) 3 to W - 1.
//
// The decoder never allocates after heatshrink_decoder_alloc: the record,
// its input buffer and its window are one block. It cannot be driven into
// a read or write outside that block by any input: every window access is
// masked to the window size, and any bit sequence decodes to some output.
#pragma once

#include <cstddef>
#include <cstdint>

// What each state waits for.
//
//   TagBit --1--> YieldLiteral --------------------------------> TagBit
//     |
//     0--> [BackrefIndexMsb] --> BackrefIndexLsb
//          --> [BackrefCountMsb] --> BackrefCountLsb --> YieldBackref
//          --> TagBit
//
// The bracketed states are passed only when W > 8, respectively L > 8.
enum class heatshrink_decoder_state : uint8_t {
  TagBit = 0,           // the 1-bit tag of the next item
  YieldLiteral = 1,     // 8 bits of a literal and room in the output
  BackrefIndexMsb = 2,  // the upper W - 8 bits of distance - 1
  BackrefIndexLsb = 3,  // the lower min(W, 8) bits of distance - 1
  BackrefCountMsb = 4,  // the upper L - 8 bits of length - 1
  BackrefCountLsb = 5,  // the lower min(L, 8) bits of length - 1
  YieldBackref = 6,     // room in the output for the rest of a back-reference
};

enum {
  HSDR_SINK_OK = 0,
  HSDR_SINK_FULL = 1,  // the input buffer is full: poll first
  HSDR_SINK_ERROR_NULL = -1,
};

enum {
  HSDR_POLL_EMPTY = 0,  // needs more input; the output is not full
  HSDR_POLL_MORE = 1,   // the output is full; more output may follow
  HSDR_POLL_ERROR_NULL = -1,
  HSDR_POLL_ERROR_UNKNOWN = -2,  // the state is none of the above
};

enum {
  HSDR_FINISH_DONE = 0,
  HSDR_FINISH_MORE = 1,  // output or buffered input is still pending
  HSDR_FINISH_ERROR_NULL = -1,
};

struct heatshrink_decoder {
  uint16_t input_size;    // bytes in the input buffer
  uint16_t input_index;   // next unread byte of the input buffer
  uint16_t output_count;  // bytes of the current back-reference still to
                          // emit; while decoding it, the length assembled
  uint16_t output_index;  // distance of the current back-reference, 1-based;
                          // while decoding it, the value assembled
  uint16_t head_index;    // bytes emitted so far, modulo 2^16; the window
                          // position is head_index & (2^W - 1)
  heatshrink_decoder_state state;
  uint8_t current_byte;        // input byte being consumed bit by bit
  uint8_t bit_mask;            // next bit of current_byte, 0x80 down to 0x01;
                               // 0 when a new byte is needed
  uint8_t window_bits;         // W
  uint8_t lookahead_bits;      // L
  uint16_t input_buffer_size;  // capacity of the input buffer
  // The same allocation goes on with the input buffer (input_buffer_size
  // bytes) and the window (2^W bytes).
};

// A new, reset decoder, or nullptr when W is outside 4 to 15, L is below 3
// or not below W, the input buffer size is 0 or above 65535, or memory is
// exhausted.
heatshrink_decoder* heatshrink_decoder_alloc(size_t input_buffer_size,
                                             unsigned window_bits,
                                             unsigned lookahead_bits);
// Releases the decoder and its buffers; a null decoder is ignored.
void heatshrink_decoder_free(heatshrink_decoder* hsd);
// Back to the state of a fresh decoder: empty input, zeroed window, TagBit.
void heatshrink_decoder_reset(heatshrink_decoder* hsd);

// Copies up to the free input capacity; *accepted receives the count.
// HSDR_SINK_*.
int heatshrink_decoder_sink(heatshrink_decoder* hsd, const uint8_t* in,
                            size_t size, size_t* accepted);
// Decodes into out until the output is full or more input is needed;
// *produced receives the count written. HSDR_POLL_*.
int heatshrink_decoder_poll(heatshrink_decoder* hsd, uint8_t* out,
                            size_t out_size, size_t* produced);
// HSDR_FINISH_DONE when nothing is pending: no input left and no
// back-reference half emitted. HSDR_FINISH_*.
int heatshrink_decoder_finish(heatshrink_decoder* hsd);
