// Allocation failure injection for the C++ tests: while a
// FailingAllocations is alive, the n-th allocation fails. Counted are
// malloc, calloc and realloc called from the code linked into the test
// executable, the library's included (it wraps them at link time: --wrap),
// and operator new (replaced in the test executable, so also std::string
// and std::vector storage the library asks for). Shared libraries (zlib,
// expat, the C library's own) keep their allocations. A failing new throws
// std::bad_alloc, the others return null. Only one may be alive at a time,
// on one thread.
#pragma once

#include <cstdint>

class FailingAllocations {
 public:
  // Fails allocation number `failAt` (from 1); 0 fails none and counts.
  explicit FailingAllocations(uint64_t failAt);
  ~FailingAllocations();
  FailingAllocations(const FailingAllocations&) = delete;
  FailingAllocations& operator=(const FailingAllocations&) = delete;
  // The allocations counted so far.
  uint64_t count() const;
};
