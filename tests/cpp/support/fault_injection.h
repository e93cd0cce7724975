// Read and seek failure injection for the C++ tests: a stream that fails
// the n-th read or seek of the stream it wraps.
#pragma once

#include <cstdint>

#include "streams/cIO.h"

// A stream over `inner` (taken over, closed with it) whose read number
// `failReadAt` or seek number `failSeekAt` (from 1; 0: none) fails with -1
// and does nothing; every other operation passes through. *reads and
// *seeks (when not null) count the calls; they must outlive the stream.
cIO* failingStream(cIO* inner, uint64_t failReadAt, uint64_t failSeekAt,
                   uint64_t* reads, uint64_t* seeks);
