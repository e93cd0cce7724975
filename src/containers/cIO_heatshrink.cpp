// Decompressing stream: pulls compressed bytes from the source into the
// decoder whenever the decoder runs dry, until the caller's buffer is full
// or the source has ended.
#include "containers/cIO_heatshrink.h"

#include <cstdint>
#include <new>

namespace {

cIO_heatshrink_t* asHeatshrink(cIO* io) {
  return static_cast<cIO_heatshrink_t*>(io);
}

// Refills the decoder from the source. 1 when input was added, 0 at the end
// of the source, -1 on a source error.
int64_t refill(cIO_heatshrink_t* h) {
  uint8_t input[kHeatshrinkInputBufferSize];
  const int64_t got = cIO_read(h->source, input, sizeof input);
  if (got < 0 || got > static_cast<int64_t>(sizeof input)) return -1;
  if (got == 0) return 0;
  size_t accepted = 0;
  heatshrink_decoder_sink(h->decoder, input, static_cast<size_t>(got),
                          &accepted);
  // The decoder asks for input only once its buffer is empty, so it takes
  // everything; should it not, the rest is read again later.
  const int64_t rest = got - static_cast<int64_t>(accepted);
  if (rest > 0 && cIO_seek(h->source, -rest, CIO_SEEK_CUR) < 0) return -1;
  return 1;
}

int64_t cIO_heatshrink_read(cIO* io, void* dst, uint64_t len) {
  cIO_heatshrink_t* h = asHeatshrink(io);
  if (len == 0) return 0;
  if (!dst) return -1;
  if (len > static_cast<uint64_t>(INT64_MAX)) len = INT64_MAX;
  uint8_t* out = static_cast<uint8_t*>(dst);
  uint64_t delivered = 0;
  while (delivered < len) {
    size_t produced = 0;
    const int polled = heatshrink_decoder_poll(
        h->decoder, out + delivered, static_cast<size_t>(len - delivered),
        &produced);
    delivered += produced;
    if (polled == HSDR_POLL_MORE) continue;
    if (polled != HSDR_POLL_EMPTY) return -1;
    const int64_t refilled = refill(h);
    if (refilled < 0) return -1;
    // The source has ended while the decoder wants input: its buffer is
    // used up and no back-reference is half emitted (what finish checks),
    // so everything decodable was delivered. Bits left in the last byte
    // are padding.
    if (refilled == 0) break;
  }
  return static_cast<int64_t>(delivered);
}

int64_t cIO_heatshrink_write(cIO*, const void*, uint64_t) { return -1; }
int64_t cIO_heatshrink_tell(cIO*) { return -1; }
int64_t cIO_heatshrink_seek(cIO*, int64_t, int) { return -1; }

// Releases the decoder and the record; the source stays open.
int cIO_heatshrink_close(cIO* io) {
  cIO_heatshrink_t* h = asHeatshrink(io);
  heatshrink_decoder_free(h->decoder);
  delete h;
  return 0;
}

const cIO_vtable vtable_heatshrink = {cIO_heatshrink_read, cIO_heatshrink_write,
                                      cIO_heatshrink_tell, cIO_heatshrink_seek,
                                      cIO_heatshrink_close};

}  // namespace

cIO* cIO_heatshrink_open(cIO* source, unsigned window_bits,
                         unsigned lookahead_bits) {
  if (!source) return nullptr;
  heatshrink_decoder* decoder = heatshrink_decoder_alloc(
      kHeatshrinkInputBufferSize, window_bits, lookahead_bits);
  if (!decoder) return nullptr;
  cIO_heatshrink_t* h = new (std::nothrow) cIO_heatshrink_t;
  if (!h) {
    heatshrink_decoder_free(decoder);
    return nullptr;
  }
  h->vtable = &vtable_heatshrink;
  h->source = source;
  h->decoder = decoder;
  return h;
}
