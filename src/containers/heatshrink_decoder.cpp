// Heatshrink decoder: a resumable state machine over a bit reader. Every
// field of an item is at most 8 bits wide per read, so a read either takes
// all its bits or none, and an item interrupted by the end of the input
// continues at the next poll after more input was sunk.
#include "containers/heatshrink_decoder.h"

#include <cstdlib>
#include <cstring>

namespace {

using State = heatshrink_decoder_state;

constexpr unsigned kMinWindowBits = 4;
constexpr unsigned kMaxWindowBits = 15;
constexpr unsigned kMinLookaheadBits = 3;
// Returned by getBits when the input runs out; no 8-bit field can hold it.
constexpr uint16_t kNoBits = 0xFFFF;

uint8_t* inputBuffer(heatshrink_decoder* hsd) {
  return reinterpret_cast<uint8_t*>(hsd + 1);
}

uint8_t* window(heatshrink_decoder* hsd) {
  return inputBuffer(hsd) + hsd->input_buffer_size;
}

uint16_t windowMask(const heatshrink_decoder* hsd) {
  return static_cast<uint16_t>((1u << hsd->window_bits) - 1);
}

// Reads `count` bits (at most 15; every caller asks for 8 or fewer), most
// significant first. kNoBits, with nothing consumed, when the input holds
// fewer bits than asked for.
uint16_t getBits(heatshrink_decoder* hsd, unsigned count) {
  if (count > 15) return kNoBits;
  if (hsd->input_size == 0 && hsd->bit_mask < (1u << (count - 1)))
    return kNoBits;
  uint16_t accumulator = 0;
  for (unsigned i = 0; i < count; ++i) {
    if (hsd->bit_mask == 0) {
      if (hsd->input_size == 0) return kNoBits;
      hsd->current_byte = inputBuffer(hsd)[hsd->input_index++];
      if (hsd->input_index == hsd->input_size) {
        hsd->input_index = 0;
        hsd->input_size = 0;
      }
      hsd->bit_mask = 0x80;
    }
    accumulator = static_cast<uint16_t>(accumulator << 1);
    if (hsd->current_byte & hsd->bit_mask) accumulator |= 1;
    hsd->bit_mask = static_cast<uint8_t>(hsd->bit_mask >> 1);
  }
  return accumulator;
}

unsigned lowBits(unsigned bits) { return bits < 8 ? bits : 8; }

// Appends one byte to the output and to the window.
void emit(heatshrink_decoder* hsd, uint8_t byte, uint8_t* out,
          size_t* produced) {
  window(hsd)[hsd->head_index & windowMask(hsd)] = byte;
  hsd->head_index++;
  out[(*produced)++] = byte;
}

// One step of the state machine; returns the next state, which is the
// current one when the step could not advance.
State step(heatshrink_decoder* hsd, uint8_t* out, size_t out_size,
           size_t* produced) {
  switch (hsd->state) {
    case State::TagBit: {
      const uint16_t bit = getBits(hsd, 1);
      if (bit == kNoBits) return State::TagBit;
      if (bit) return State::YieldLiteral;
      if (hsd->window_bits > 8) return State::BackrefIndexMsb;
      hsd->output_index = 0;
      return State::BackrefIndexLsb;
    }
    case State::YieldLiteral: {
      if (*produced == out_size) return State::YieldLiteral;
      const uint16_t byte = getBits(hsd, 8);
      if (byte == kNoBits) return State::YieldLiteral;
      emit(hsd, static_cast<uint8_t>(byte), out, produced);
      return State::TagBit;
    }
    case State::BackrefIndexMsb: {
      const uint16_t bits = getBits(hsd, hsd->window_bits - 8u);
      if (bits == kNoBits) return State::BackrefIndexMsb;
      hsd->output_index = static_cast<uint16_t>(bits << 8);
      return State::BackrefIndexLsb;
    }
    case State::BackrefIndexLsb: {
      const uint16_t bits = getBits(hsd, lowBits(hsd->window_bits));
      if (bits == kNoBits) return State::BackrefIndexLsb;
      hsd->output_index = static_cast<uint16_t>((hsd->output_index | bits) + 1);
      hsd->output_count = 0;
      return hsd->lookahead_bits > 8 ? State::BackrefCountMsb
                                     : State::BackrefCountLsb;
    }
    case State::BackrefCountMsb: {
      const uint16_t bits = getBits(hsd, hsd->lookahead_bits - 8u);
      if (bits == kNoBits) return State::BackrefCountMsb;
      hsd->output_count = static_cast<uint16_t>(bits << 8);
      return State::BackrefCountLsb;
    }
    case State::BackrefCountLsb: {
      const uint16_t bits = getBits(hsd, lowBits(hsd->lookahead_bits));
      if (bits == kNoBits) return State::BackrefCountLsb;
      hsd->output_count = static_cast<uint16_t>((hsd->output_count | bits) + 1);
      return State::YieldBackref;
    }
    case State::YieldBackref: {
      const size_t room = out_size - *produced;
      const size_t n = room < hsd->output_count ? room : hsd->output_count;
      const uint16_t mask = windowMask(hsd);
      for (size_t i = 0; i < n; ++i) {
        const uint16_t from =
            static_cast<uint16_t>(hsd->head_index - hsd->output_index);
        emit(hsd, window(hsd)[from & mask], out, produced);
      }
      hsd->output_count = static_cast<uint16_t>(hsd->output_count - n);
      return hsd->output_count == 0 ? State::TagBit : State::YieldBackref;
    }
    default:
      return hsd->state;
  }
}

}  // namespace

heatshrink_decoder* heatshrink_decoder_alloc(size_t input_buffer_size,
                                             unsigned window_bits,
                                             unsigned lookahead_bits) {
  if (window_bits < kMinWindowBits || window_bits > kMaxWindowBits ||
      lookahead_bits < kMinLookaheadBits || lookahead_bits >= window_bits ||
      input_buffer_size == 0 || input_buffer_size > UINT16_MAX)
    return nullptr;
  const size_t bytes = sizeof(heatshrink_decoder) + input_buffer_size +
                       (size_t{1} << window_bits);
  heatshrink_decoder* hsd = static_cast<heatshrink_decoder*>(malloc(bytes));
  if (!hsd) return nullptr;
  hsd->input_buffer_size = static_cast<uint16_t>(input_buffer_size);
  hsd->window_bits = static_cast<uint8_t>(window_bits);
  hsd->lookahead_bits = static_cast<uint8_t>(lookahead_bits);
  heatshrink_decoder_reset(hsd);
  return hsd;
}

void heatshrink_decoder_free(heatshrink_decoder* hsd) { free(hsd); }

void heatshrink_decoder_reset(heatshrink_decoder* hsd) {
  if (!hsd) return;
  memset(inputBuffer(hsd), 0,
         hsd->input_buffer_size + (size_t{1} << hsd->window_bits));
  hsd->input_size = 0;
  hsd->input_index = 0;
  hsd->output_count = 0;
  hsd->output_index = 0;
  hsd->head_index = 0;
  hsd->state = State::TagBit;
  hsd->current_byte = 0;
  hsd->bit_mask = 0;
}

int heatshrink_decoder_sink(heatshrink_decoder* hsd, const uint8_t* in,
                            size_t size, size_t* accepted) {
  if (!hsd || !in || !accepted) return HSDR_SINK_ERROR_NULL;
  const size_t room = hsd->input_buffer_size - hsd->input_size;
  if (room == 0) {
    *accepted = 0;
    return HSDR_SINK_FULL;
  }
  const size_t n = size < room ? size : room;
  memcpy(inputBuffer(hsd) + hsd->input_size, in, n);
  hsd->input_size = static_cast<uint16_t>(hsd->input_size + n);
  *accepted = n;
  return HSDR_SINK_OK;
}

int heatshrink_decoder_poll(heatshrink_decoder* hsd, uint8_t* out,
                            size_t out_size, size_t* produced) {
  if (!hsd || !out || !produced) return HSDR_POLL_ERROR_NULL;
  *produced = 0;
  for (;;) {
    if (hsd->state > State::YieldBackref) return HSDR_POLL_ERROR_UNKNOWN;
    const State before = hsd->state;
    hsd->state = step(hsd, out, out_size, produced);
    // A state that did not advance waits either for input or for room.
    if (hsd->state == before)
      return *produced == out_size ? HSDR_POLL_MORE : HSDR_POLL_EMPTY;
  }
}

int heatshrink_decoder_finish(heatshrink_decoder* hsd) {
  if (!hsd) return HSDR_FINISH_ERROR_NULL;
  if (hsd->state >= State::YieldBackref) return HSDR_FINISH_MORE;
  return hsd->input_size == 0 ? HSDR_FINISH_DONE : HSDR_FINISH_MORE;
}
