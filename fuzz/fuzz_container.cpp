// libFuzzer target: fuzz_readContainer (fuzz/fuzz_paths.h) on every input.
#include <cstddef>
#include <cstdint>

#include "fuzz_paths.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  cIO* stream = fuzz_memoryStream(data, size);
  if (stream != nullptr) fuzz_readContainer(stream, nullptr);
  return 0;
}
