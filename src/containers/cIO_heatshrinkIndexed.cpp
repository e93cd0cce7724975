// Seekable decompressing stream: cursors that decode on from where they
// stand, checkpoints to restart from, and the sizing pass.
//
// The bit stream is the one of heatshrink_decoder.h (items taken most
// significant bit first: a literal is 1 and 8 bits, a back-reference 0, W
// bits of distance - 1 and L bits of length - 1); the cursors decode it in
// a 64-bit bit buffer, whole items at a time, to the same bytes as the
// incremental decoder.
#include "containers/cIO_heatshrinkIndexed.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "streams/cCoding.h"
#include "streams/crc32.h"

namespace {

constexpr unsigned kMinWindowBits = 4;
constexpr unsigned kMaxWindowBits = 15;
constexpr unsigned kMinLookaheadBits = 3;
constexpr uint64_t kMinBlock = 16u << 10;
constexpr uint64_t kMaxBlock = 1u << 20;
constexpr uint64_t kMaxBlocks = 1u << 18;

bool validBits(unsigned w, unsigned l) {
  return w >= kMinWindowBits && w <= kMaxWindowBits && l >= kMinLookaheadBits &&
         l < w;
}

}  // namespace

namespace {

using Stream = cIO_heatshrinkIndexed_t;
using Cursor = cHeatshrinkCursor;

Stream* asStream(cIO* io) { return static_cast<Stream*>(io); }

uint64_t windowSize(const Stream* s) { return uint64_t{1} << s->window_bits; }

bool fail(Stream* s, uint64_t offset, const char* what) {
  if (!s->failed)
    cReason_note(&s->fault, offset, "compressed content at 0x%llX: %s",
                 static_cast<unsigned long long>(offset), what);
  s->failed = true;
  return false;
}

// Loads the input block holding bit-stream offset `at` and checks it
// against the CRC the sizing pass recorded.
bool loadBlock(Stream* s, Cursor* c, uint64_t at) {
  const uint64_t index = at / s->block_size;
  const uint64_t start = index * s->block_size;
  const uint64_t want = std::min(s->block_size, s->payload - start);
  if (!cIO_seekTo(s->source, start) ||
      cIO_readFull(s->source, c->block, want) != static_cast<int64_t>(want))
    return fail(s, start, "the compressed file can no longer be read");
  if (crc_32(c->block, want) != s->block_crcs[index])
    return fail(s, start, "the compressed file changed since it was opened");
  c->block_start = start;
  c->block_fill = want;
  return true;
}

// Tops `bits` up to more than 56 bits, or to the end of the bit stream.
bool refill(Stream* s, Cursor* c) {
  while (c->count <= 56 && c->in < s->payload) {
    if (c->in < c->block_start || c->in >= c->block_start + c->block_fill) {
      if (!loadBlock(s, c, c->in)) return false;
    }
    const uint8_t* p = c->block + (c->in - c->block_start);
    const uint64_t available = c->block_start + c->block_fill - c->in;
    const uint64_t n = std::min<uint64_t>((64 - c->count) / 8, available);
    if (available >= 8) {
      // Eight bytes at once, of which the n whole ones that fit are kept.
      const uint64_t keep = n == 8 ? ~0ull : ~(~0ull >> (8 * n));
      const uint64_t next = cCoding_loadBE<uint64_t>(p) & keep;
      c->bits |= next >> c->count;
      c->count += static_cast<unsigned>(8 * n);
    } else {
      for (uint64_t i = 0; i < n; ++i) {
        c->bits |= uint64_t{p[i]} << (56 - c->count);
        c->count += 8;
      }
    }
    c->in += n;
  }
  return true;
}

// Emits up to `room` bytes of the back-reference under way. Pieces that
// neither wrap around the window nor overlap their own source are copied
// whole; a run of one byte is a fill; anything else goes byte by byte.
inline void copyBack(Stream* s, Cursor* c, uint8_t* dst, uint64_t room,
                     uint64_t* produced) {
  const uint64_t size = windowSize(s);
  const uint64_t mask = size - 1;
  uint64_t n = std::min<uint64_t>(c->pending, room);
  c->pending -= static_cast<uint32_t>(n);
  uint8_t* w = c->window;
  uint8_t* d = dst ? dst + *produced : nullptr;
  *produced += n;
  const uint64_t distance = c->distance;
  uint64_t out = c->out;
  c->out += n;
  while (n > 0) {
    const uint64_t to = out & mask;
    const uint64_t from = (out - distance) & mask;
    uint64_t piece = std::min({n, size - to, size - from});
    if (distance == 1) {
      std::memset(w + to, w[from], piece);
    } else if (distance >= 16) {
      piece = std::min(piece, distance);
      std::memmove(w + to, w + from, piece);
    } else {
      piece = 1;
      w[to] = w[from];
    }
    if (d) {
      std::memcpy(d, w + to, piece);
      d += piece;
    }
    out += piece;
    n -= piece;
  }
}

void takeCheckpoint(Stream* s, const Cursor* c);

// Decodes `n` bytes with the cursor into dst (null: only into the window).
// False, with the stream failed, when the bit stream ends before them.
bool decode(Stream* s, Cursor* c, uint8_t* dst, uint64_t n) {
  const unsigned w = s->window_bits;
  const unsigned l = s->lookahead_bits;
  const unsigned backref = 1 + w + l;
  // Bits that surely hold a whole item (a literal takes 9).
  const unsigned item = backref > 9 ? backref : 9;
  const uint64_t mask = windowSize(s) - 1;
  uint64_t produced = 0;
  while (produced < n) {
    if (c->pending) {
      copyBack(s, c, dst, n - produced, &produced);
      continue;
    }
    // Between items: the place for a checkpoint.
    if (c->out >= s->checkpoints.back().out + s->spacing) takeCheckpoint(s, c);
    if (c->count < item && !refill(s, c)) return false;
    if (c->count == 0) break;
    if (c->bits >> 63) {
      if (c->count < 9) break;
      const uint8_t byte = static_cast<uint8_t>(c->bits >> 55);
      c->bits <<= 9;
      c->count -= 9;
      c->window[c->out & mask] = byte;
      if (dst) dst[produced] = byte;
      ++c->out;
      ++produced;
      continue;
    }
    if (c->count < backref) break;
    c->distance = static_cast<uint32_t>((c->bits << 1) >> (64 - w)) + 1;
    c->pending = static_cast<uint32_t>((c->bits << (1 + w)) >> (64 - l)) + 1;
    c->bits <<= backref;
    c->count -= backref;
  }
  s->decoded += produced;
  if (produced < n)
    return fail(s, c->in, "the compressed data end before the content does");
  return true;
}

void dropCheckpoint(cHeatshrinkCheckpoint* checkpoint) {
  std::free(checkpoint->window);
  checkpoint->window = nullptr;
}

// Keeps every other checkpoint (the first, at 0, stays) and doubles the
// spacing.
void thinCheckpoints(Stream* s) {
  size_t kept = 1;
  for (size_t i = 1; i < s->checkpoints.size(); ++i) {
    if (i % 2 == 0)
      s->checkpoints[kept++] = s->checkpoints[i];
    else
      dropCheckpoint(&s->checkpoints[i]);
  }
  s->checkpoints.resize(kept);
  s->spacing *= 2;
}

// A checkpoint of the cursor, which stands between items and beyond the
// last checkpoint by the spacing. Lack of memory only costs time later.
void takeCheckpoint(Stream* s, const Cursor* c) {
  if (s->checkpoints.size() >= s->max_checkpoints) {
    thinCheckpoints(s);
    if (c->out < s->checkpoints.back().out + s->spacing) return;
  }
  cHeatshrinkCheckpoint checkpoint{
      c->out, c->in * 8 - c->count,
      static_cast<uint8_t*>(std::malloc(windowSize(s)))};
  if (!checkpoint.window) return;
  std::memcpy(checkpoint.window, c->window, windowSize(s));
  try {
    s->checkpoints.push_back(checkpoint);
  } catch (...) {
    dropCheckpoint(&checkpoint);
  }
}

// Puts the cursor in the checkpoint's state.
bool restore(Stream* s, Cursor* c, const cHeatshrinkCheckpoint& checkpoint) {
  c->out = checkpoint.out;
  c->in = checkpoint.bit / 8;
  c->bits = 0;
  c->count = 0;
  c->pending = 0;
  c->distance = 0;
  if (checkpoint.window)
    std::memcpy(c->window, checkpoint.window, windowSize(s));
  else
    std::memset(c->window, 0, windowSize(s));
  const unsigned skip = static_cast<unsigned>(checkpoint.bit % 8);
  if (skip == 0) return true;
  if (!refill(s, c)) return false;
  c->bits <<= skip;
  c->count -= skip;
  return true;
}

// Bytes before its position that the cursor's window still holds.
uint64_t behind(const Stream* s, const Cursor* c) {
  return std::min(c->out, windowSize(s));
}

// The cursor to read at `at`: one that stands there or holds it in its
// window, else the one that decodes least to get there, restarting the
// least recently used cursor from a checkpoint when that is closer.
Cursor* cursorFor(Stream* s, uint64_t at) {
  Cursor* best = nullptr;
  Cursor* oldest = &s->cursors[0];
  for (int i = 0; i < kHeatshrinkCursors; ++i) {
    Cursor* c = &s->cursors[i];
    if (c->used < oldest->used) oldest = c;
    if (!c->used || c->out - behind(s, c) > at) continue;
    if (c->out >= at) return c;
    if (!best || c->out > best->out) best = c;
  }
  auto next = std::upper_bound(
      s->checkpoints.begin(), s->checkpoints.end(), at,
      [](uint64_t a, const cHeatshrinkCheckpoint& b) { return a < b.out; });
  const cHeatshrinkCheckpoint& checkpoint = *(next - 1);
  if (best && best->out >= checkpoint.out) return best;
  return restore(s, oldest, checkpoint) ? oldest : nullptr;
}

int64_t read(cIO* io, void* dst, uint64_t len) {
  Stream* s = asStream(io);
  if (s->failed) return -1;
  if (s->position >= s->size || len == 0) return 0;
  if (!dst) return -1;
  uint64_t n = std::min(len, s->size - s->position);
  if (n > static_cast<uint64_t>(INT64_MAX)) n = INT64_MAX;
  Cursor* c = cursorFor(s, s->position);
  if (!c) return -1;
  c->used = ++s->clock;
  uint8_t* out = static_cast<uint8_t*>(dst);
  uint64_t done = 0;
  if (c->out > s->position) {
    // From the window: the bytes the cursor has emitted already.
    const uint64_t mask = windowSize(s) - 1;
    const uint64_t from = std::min(n, c->out - s->position);
    for (uint64_t i = 0; i < from; ++i)
      out[i] = c->window[(s->position + i) & mask];
    done = from;
  } else if (!decode(s, c, nullptr, s->position - c->out)) {
    return -1;
  }
  if (done < n && !decode(s, c, out + done, n - done)) return -1;
  s->position += n;
  return static_cast<int64_t>(n);
}

int64_t write(cIO*, const void*, uint64_t) { return -1; }

int64_t tell(cIO* io) { return static_cast<int64_t>(asStream(io)->position); }

int64_t seek(cIO* io, int64_t offset, int whence) {
  Stream* s = asStream(io);
  const int64_t target = cIO_seekTarget(s->position, s->size, offset, whence);
  if (target < 0) return -1;
  s->position = static_cast<uint64_t>(target);
  return target;
}

void freeCursors(Stream* s) {
  if (!s->cursors) return;
  for (int i = 0; i < kHeatshrinkCursors; ++i) {
    std::free(s->cursors[i].window);
    std::free(s->cursors[i].block);
  }
  delete[] s->cursors;
  s->cursors = nullptr;
}

// Releases the cursors, the checkpoints and the record; the source stays
// open.
int close(cIO* io) {
  Stream* s = asStream(io);
  freeCursors(s);
  for (cHeatshrinkCheckpoint& checkpoint : s->checkpoints)
    dropCheckpoint(&checkpoint);
  delete s;
  return 0;
}

const cIO_vtable kOperations = {read, write, tell, seek, close};

}  // namespace

void cHeatshrinkSizer_init(cHeatshrinkSizer* sizer, unsigned window_bits,
                           unsigned lookahead_bits) {
  *sizer = {0, 0, window_bits, lookahead_bits, 0};
}

void cHeatshrinkSizer_feed(cHeatshrinkSizer* sizer, const uint8_t* bytes,
                           size_t length) {
  const unsigned w = sizer->window_bits;
  const unsigned l = sizer->lookahead_bits;
  const unsigned backref = 1 + w + l;
  uint64_t bits = sizer->bits;
  unsigned count = sizer->count;
  uint64_t size = sizer->size;
  size_t i = 0;
  for (;;) {
    while (count <= 56 && i < length) {
      bits |= uint64_t{bytes[i++]} << (56 - count);
      count += 8;
    }
    // An item whose bits are not all there yet waits for the next piece.
    const bool literal = bits >> 63;
    if (literal ? count < 9 : count < backref) break;
    if (literal) {
      bits <<= 9;
      count -= 9;
      ++size;
    } else {
      size += ((bits << (1 + w)) >> (64 - l)) + 1;
      bits <<= backref;
      count -= backref;
    }
  }
  sizer->bits = bits;
  sizer->count = count;
  sizer->size = size;
}

uint64_t cIO_heatshrinkIndexed_blockSize(uint64_t payload) {
  uint64_t block = kMinBlock;
  while (block < kMaxBlock && payload / block >= kMaxBlocks) block *= 2;
  return block;
}

cIO* cIO_heatshrinkIndexed_open(cIO* source, uint64_t payload, uint64_t size,
                                unsigned window_bits, unsigned lookahead_bits,
                                uint64_t block_size,
                                std::vector<uint32_t>* block_crcs) {
  if (!source || !block_crcs || !validBits(window_bits, lookahead_bits) ||
      block_size == 0 ||
      block_crcs->size() != (payload + block_size - 1) / block_size ||
      size > static_cast<uint64_t>(INT64_MAX))
    return nullptr;
  Stream* s = new (std::nothrow) Stream;
  if (!s) return nullptr;
  s->vtable = &kOperations;
  s->source = source;
  s->window_bits = window_bits;
  s->lookahead_bits = lookahead_bits;
  s->payload = payload;
  s->size = size;
  s->position = 0;
  s->block_size = block_size;
  s->block_crcs.swap(*block_crcs);
  s->spacing = kHeatshrinkFirstSpacing;
  s->max_checkpoints = static_cast<size_t>(
      std::max<uint64_t>(2, kHeatshrinkCheckpointBytes >> window_bits));
  s->clock = 0;
  s->decoded = 0;
  s->failed = false;
  s->fault = {};
  s->cursors = new (std::nothrow) Cursor[kHeatshrinkCursors]();
  bool ok = s->cursors != nullptr;
  for (int i = 0; ok && i < kHeatshrinkCursors; ++i) {
    Cursor* c = &s->cursors[i];
    c->window = static_cast<uint8_t*>(std::malloc(windowSize(s)));
    c->block = static_cast<uint8_t*>(std::malloc(block_size));
    ok = c->window && c->block;
  }
  try {
    // The start: a fresh decoder, whose window is all zeros.
    if (ok) s->checkpoints.push_back({0, 0, nullptr});
  } catch (...) {
    ok = false;
  }
  if (!ok) {
    close(s);
    return nullptr;
  }
  return s;
}

uint64_t cIO_heatshrinkIndexed_decoded(const cIO* stream) {
  return stream && stream->vtable == &kOperations
             ? static_cast<const Stream*>(stream)->decoded
             : 0;
}

const cReason* cIO_heatshrinkIndexed_fault(const cIO* stream) {
  if (!stream || stream->vtable != &kOperations) return nullptr;
  const auto* s = static_cast<const Stream*>(stream);
  return s->failed ? &s->fault : nullptr;
}
