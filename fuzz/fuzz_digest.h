// What the fuzz paths (fuzz/fuzz_paths.cpp, fuzz/fuzz_signals.cpp) share
// beside their interface: the digest of what they read and their way of
// stopping on an inconsistency.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace fuzzpaths {

// FNV-1a, 64 bits.
struct Digest {
  uint64_t value = 0xcbf29ce484222325u;
  void add(const void* bytes, size_t size) {
    const auto* p = static_cast<const uint8_t*>(bytes);
    for (size_t i = 0; i < size; ++i) {
      value = (value ^ p[i]) * 0x100000001b3u;
    }
  }
  template <typename T>
  void add(const T& field) {
    add(&field, sizeof field);
  }
  void add(const std::string& text) {
    add(text.size());
    add(text.data(), text.size());
  }
};

// An inconsistency the library must never show: the fuzzer takes the
// abort for a finding, the tests for a crash.
[[noreturn]] inline void broken(const char* path, const char* what) {
  std::fprintf(stderr, "%s: %s\n", path, what);
  std::abort();
}

}  // namespace fuzzpaths
