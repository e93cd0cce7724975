// A libFuzzer target: the reading path FUZZ_PATH (one of fuzz/fuzz_paths.h,
// set by the build for each target) on every input.
#include <cstddef>
#include <cstdint>

#include "fuzz_paths.h"
#include "log/zf_log.h"

namespace {

// Lines are formatted as ever (their formatting is reached too) but not
// written: a line per input would slow the fuzzer and fill its log.
void discard(const zf_log_message*, void*) {}

}  // namespace

// AddressSanitizer's defaults for every run of a target (ASAN_OPTIONS
// adds to them). Its quarantine holds freed blocks back so that a use
// after free shows; at its default of 256 MB of blocks it took about
// 450 MB (a small block with its redzone and header takes twice its size
// or more), and a long run came near the 512 MB scripts/fuzz.sh allows.
// What the library frees for one input stays far below 64 MB: a use after
// free within an input still shows.
extern "C" const char* __asan_default_options() {
  return "quarantine_size_mb=64";
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  zf_log_set_output_v(ZF_LOG_PUT_STD, nullptr, discard);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  cIO* stream = fuzz_memoryStream(data, size);
  if (stream != nullptr) FUZZ_PATH(stream, nullptr, fuzz_anyWriter(data, size));
  return 0;
}
