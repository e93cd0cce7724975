// Pages of the memory a reading writes its results into: faulted in ahead
// of the writes (by a second thread, so that the writing one finds them
// there), asked for in huge pages, and given back where they went unused.
// Where the system cannot, each call does nothing: the writes then fault
// the pages in as ever.
//
//   cPages_populate(columns, rowsDone * 8, rowsAhead * 8);
#pragma once

#include <cstdint>

// Bytes of a huge page.
constexpr uint64_t kPagesHuge = uint64_t{2} << 20;

// Faults in the pages of bytes [from, to) of `base`, writable, without
// changing them (safe while another thread writes there).
void cPages_populate(void* base, uint64_t from, uint64_t to);

// Asks that the whole huge pages (kPagesHuge) within `size` bytes from `bytes`
// be huge pages when first touched: one fault each instead of 512.
void cPages_preferHuge(void* bytes, uint64_t size);

// Gives back the whole pages within `size` bytes from `bytes`: their
// contents are dropped (they read as zeros when next touched).
void cPages_release(void* bytes, uint64_t size);
