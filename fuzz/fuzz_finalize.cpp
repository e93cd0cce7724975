// libFuzzer target: fuzz_finalize (fuzz/fuzz_paths.h) on every input.
#include <cstddef>
#include <cstdint>

#include "fuzz_paths.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  cIO* stream = fuzz_memoryStream(data, size);
  if (stream != nullptr) fuzz_finalize(stream, nullptr);
  return 0;
}
