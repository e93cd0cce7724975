// Growable in-memory stream. The buffer doubles when a write needs room
// (from 2 bytes), so appends cost amortised O(n). Seeking from the end past
// the size pads with zeros.
//
// A seek from the start or the current position may place the position
// past the size (within the capacity); a write there fills the gap between
// the old size and the position with zeros, so no byte that was never
// written reads back as anything but zero.
#pragma once

#include "streams/cIO.h"

struct cIO_memoryAlloc_t : cIO {
  uint64_t capacity;  // bytes allocated
  uint64_t size;      // highest position ever written: the stream's end
  uint64_t pos;       // current position, never above capacity
  uint8_t* buffer;    // owned; nullptr until the first write
};

// A new, empty memory stream, or nullptr when allocation fails.
cIO* cIO_memoryAlloc_ctor();
