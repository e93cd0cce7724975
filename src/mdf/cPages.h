// Pages of the memory a reading writes its results into: faulted in ahead
// of the writes (by a second thread, so that the writing one finds them
// there), asked for in huge pages, and given back where they went unused.
// Where the system cannot, each call does nothing: the writes then fault
// the pages in as ever.
//
//   cPages_populate(columns, rowsDone * 8, rowsAhead * 8);
//
// A pool faults pages in before it is known where they will go (while a
// thread would otherwise wait), and moves them, already in memory, into
// the memory that wants them:
//
//   cPagePool* pool = cPagePool_new(32 << 20);
//   while (waiting && cPagePool_faultNext(pool)) {}  // on a second thread
//   cPagePool_give(pool, block, blockBytes);         // later, on another
//   cPagePool_dtor(pool);
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <memory>

// Bytes of a huge page.
constexpr uint64_t kPagesHuge = uint64_t{2} << 20;

// Faults in the pages of bytes [from, to) of `base`, writable, without
// changing them (safe while another thread writes there).
void cPages_populate(void* base, uint64_t from, uint64_t to);

// Asks that the whole huge pages (kPagesHuge) within `size` bytes from `bytes`
// be huge pages when first touched: one fault each instead of 512.
void cPages_preferHuge(void* bytes, uint64_t size);

// Memory left uninitialised, for arrays whose every element is written
// before it is read: from a huge page on, aligned to one and asked to be
// huge pages (the whole rounded up to a huge page), so that its first
// touches fault in 2 MiB each; smaller ones as malloc gives them. Null when
// memory runs out.
struct cPagesFree {
  void operator()(void* bytes) const { std::free(bytes); }
};
using cPagesBlock = std::unique_ptr<uint8_t, cPagesFree>;
cPagesBlock cPages_block(uint64_t bytes);

// Gives back the whole pages (of `page` bytes, 0: the system's small pages)
// within `size` bytes from `bytes`: their contents are dropped (they read
// as zeros when next touched).
void cPages_release(void* bytes, uint64_t size, uint64_t page);

// Pages faulted in ahead, in huge pages where the system has them.
struct cPagePool {
  uint8_t* base = nullptr;           // huge page aligned
  uint64_t size = 0;                 // bytes from base, whole huge pages
  uint64_t taken = 0;                // bytes from base given away
  std::atomic<uint64_t> faulted{0};  // bytes from base faulted in
};

// A pool of at most `bytes` (rounded down to whole huge pages), none of
// them in memory yet; null where the system cannot move pages, for less
// than a huge page, or when no address space is to be had.
cPagePool* cPagePool_new(uint64_t bytes);
// Unmaps the pages not given away. Null: nothing.
void cPagePool_dtor(cPagePool* pool);
// Faults the next huge page in (zeros); false when the pool is all in
// memory. One thread at a time, and not while cPagePool_give runs.
bool cPagePool_faultNext(cPagePool* pool);
// Moves the pages faulted in and not given away yet, as many whole huge
// pages as fit in `bytes` from `dest`, to `dest` (huge page aligned,
// within memory of the caller's, mapped private and writable, whose
// contents there are dropped); returns the bytes moved (0: none, and
// `dest` as it was).
uint64_t cPagePool_give(cPagePool* pool, void* dest, uint64_t bytes);
