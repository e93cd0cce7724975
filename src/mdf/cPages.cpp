#include "mdf/cPages.h"

#include <sys/mman.h>
#include <unistd.h>

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

void cPages_release(void* bytes, uint64_t size) {
#ifdef MADV_DONTNEED
  const auto begin = reinterpret_cast<uintptr_t>(bytes);
  if (bytes != nullptr)
    adviseWithin(begin, begin + size, pageSize(), MADV_DONTNEED);
#else
  (void)bytes, (void)size;
#endif
}
