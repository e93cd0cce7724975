#include "support/allocation_failure.h"

#include <cstdlib>
#include <new>

namespace {

bool armed = false;
uint64_t failAt = 0;
uint64_t counted = 0;

bool failsNow() { return armed && ++counted == failAt; }

}  // namespace

FailingAllocations::FailingAllocations(uint64_t n) {
  failAt = n;
  counted = 0;
  armed = true;
}

FailingAllocations::~FailingAllocations() { armed = false; }

uint64_t FailingAllocations::count() const { return counted; }

// The library's malloc, calloc and realloc (linked with --wrap=malloc and
// so on: its calls land here, __real_* are the C library's).
extern "C" {
void* __real_malloc(size_t size);
void* __real_calloc(size_t count, size_t size);
void* __real_realloc(void* pointer, size_t size);

void* __wrap_malloc(size_t size) {
  return failsNow() ? nullptr : __real_malloc(size);
}
void* __wrap_calloc(size_t count, size_t size) {
  return failsNow() ? nullptr : __real_calloc(count, size);
}
void* __wrap_realloc(void* pointer, size_t size) {
  return failsNow() ? nullptr : __real_realloc(pointer, size);
}
}

// The global operator new and delete of the whole test executable.
void* operator new(size_t size) {
  void* p = failsNow() ? nullptr : __real_malloc(size > 0 ? size : 1);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
void* operator new[](size_t size) { return operator new(size); }
void* operator new(size_t size, const std::nothrow_t&) noexcept {
  return failsNow() ? nullptr : __real_malloc(size > 0 ? size : 1);
}
void* operator new[](size_t size, const std::nothrow_t& tag) noexcept {
  return operator new(size, tag);
}
void operator delete(void* p) noexcept { free(p); }
void operator delete[](void* p) noexcept { free(p); }
void operator delete(void* p, size_t) noexcept { free(p); }
void operator delete[](void* p, size_t) noexcept { free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { free(p); }
