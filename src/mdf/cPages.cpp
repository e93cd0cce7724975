#include "mdf/cPages.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <new>

namespace {

uintptr_t pageSize() {
  static const auto page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  return page;
}

// madvise over the whole pages of `page` bytes within [begin, end).
void adviseWithin(uintptr_t begin, uintptr_t end, uintptr_t page, int advice) {
  const uintptr_t first = (begin + page - 1) & ~(page - 1);
  const uintptr_t last = end & ~(page - 1);
  if (last > first)
    madvise(reinterpret_cast<void*>(first), last - first, advice);
}

}  // namespace

void cPages_populate(void* base, uint64_t from, uint64_t to) {
#ifdef MADV_POPULATE_WRITE
  if (base == nullptr || to <= from) return;
  const uintptr_t page = pageSize();
  const uintptr_t first =
      (reinterpret_cast<uintptr_t>(base) + from) & ~(page - 1);
  const uintptr_t end =
      (reinterpret_cast<uintptr_t>(base) + to + page - 1) & ~(page - 1);
  madvise(reinterpret_cast<void*>(first), end - first, MADV_POPULATE_WRITE);
#else
  (void)base, (void)from, (void)to;
#endif
}

void cPages_preferHuge(void* bytes, uint64_t size) {
#ifdef MADV_HUGEPAGE
  const auto begin = reinterpret_cast<uintptr_t>(bytes);
  if (bytes != nullptr)
    adviseWithin(begin, begin + size, kPagesHuge, MADV_HUGEPAGE);
#else
  (void)bytes, (void)size;
#endif
}

cPagesBlock cPages_block(uint64_t bytes) {
  if (bytes < kPagesHuge)
    return cPagesBlock(static_cast<uint8_t*>(std::malloc(bytes ? bytes : 1)));
  if (bytes > UINT64_MAX - kPagesHuge) return nullptr;
  const uint64_t size = (bytes + kPagesHuge - 1) & ~(kPagesHuge - 1);
  cPagesBlock block(
      static_cast<uint8_t*>(std::aligned_alloc(kPagesHuge, size)));
  cPages_preferHuge(block.get(), size);
  return block;
}

void cPages_release(void* bytes, uint64_t size, uint64_t page) {
#ifdef MADV_DONTNEED
  const auto begin = reinterpret_cast<uintptr_t>(bytes);
  if (bytes != nullptr)
    adviseWithin(begin, begin + size, page == 0 ? pageSize() : page,
                 MADV_DONTNEED);
#else
  (void)bytes, (void)size, (void)page;
#endif
}

cPagePool* cPagePool_new(uint64_t bytes) {
#if defined(__linux__) && defined(MREMAP_FIXED)
  const uint64_t size = bytes & ~(kPagesHuge - 1);
  if (size == 0 || size > (UINT64_MAX >> 2)) return nullptr;
  auto* pool = new (std::nothrow) cPagePool;
  if (pool == nullptr) return nullptr;
  // Mapped a huge page larger, then cut to the aligned part.
  void* mapping = mmap(nullptr, size + kPagesHuge, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (mapping == MAP_FAILED) {
    delete pool;
    return nullptr;
  }
  const auto start = reinterpret_cast<uintptr_t>(mapping);
  const uintptr_t aligned = (start + kPagesHuge - 1) & ~(kPagesHuge - 1);
  if (aligned > start) munmap(mapping, aligned - start);
  const uintptr_t tail = aligned + size;
  const uintptr_t end = start + size + kPagesHuge;
  if (end > tail) munmap(reinterpret_cast<void*>(tail), end - tail);
  pool->base = reinterpret_cast<uint8_t*>(aligned);
  pool->size = size;
#ifdef MADV_HUGEPAGE
  madvise(pool->base, size, MADV_HUGEPAGE);
#endif
  return pool;
#else
  (void)bytes;
  return nullptr;
#endif
}

void cPagePool_dtor(cPagePool* pool) {
  if (pool == nullptr) return;
  // Only the part not given away: the rest of the range may be anyone's
  // by now.
  if (pool->size > pool->taken)
    munmap(pool->base + pool->taken, pool->size - pool->taken);
  delete pool;
}

bool cPagePool_faultNext(cPagePool* pool) {
  if (pool == nullptr) return false;
  const uint64_t from = pool->faulted.load(std::memory_order_relaxed);
  if (from >= pool->size) return false;
  // A write a page: one fault for a huge page, else one per page.
  const uintptr_t page = pageSize();
  for (uint64_t at = from; at < from + kPagesHuge; at += page)
    *reinterpret_cast<volatile uint8_t*>(pool->base + at) = 0;
  pool->faulted.store(from + kPagesHuge, std::memory_order_release);
  return true;
}

uint64_t cPagePool_give(cPagePool* pool, void* dest, uint64_t bytes) {
#if defined(__linux__) && defined(MREMAP_FIXED)
  if (pool == nullptr || dest == nullptr ||
      reinterpret_cast<uintptr_t>(dest) % kPagesHuge != 0)
    return 0;
  const uint64_t faulted = pool->faulted.load(std::memory_order_acquire);
  const uint64_t moved =
      std::min(bytes & ~(kPagesHuge - 1), faulted - pool->taken);
  if (moved == 0) return 0;
  if (mremap(pool->base + pool->taken, moved, moved,
             MREMAP_MAYMOVE | MREMAP_FIXED, dest) == MAP_FAILED)
    return 0;
  pool->taken += moved;
  return moved;
#else
  (void)pool, (void)dest, (void)bytes;
  return 0;
#endif
}
