// Times the C++ reading core on one MF4 file, without Python, and a plain
// sequential read of the same file to compare it with. Built and run by
// read_core.sh, which starts one process per measurement and takes medians.
//
//   read_core [--password KEY=PASSWORD]... LOG
//
// One line on stdout, "key=value" pairs:
//   read      seconds to read the file's bytes sequentially in 1 MiB chunks
//   unwrap    seconds to unwrap compressed and encrypted containers
//             (cGenericFile_unwrap): the open's pass over each container
//             (its check; revisions up to 144cbcf decoded the whole
//             content into memory there)
//   decode    seconds from cMdf_open to the last frame: every data group
//             drained frame by frame through a bus message container
//   frames    frames delivered (with the sum of their payload lengths and
//             ids as a check that two builds read the same frames)
//   hwm_kib   the process's peak resident set (VmHWM)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "bench_support.h"

#include "containers/cGenericFileUnwrap.h"
// Revisions before open failures had reasons open without one (so that
// BASELINE may name them).
#if __has_include("log/cReason.h")
#include "log/cReason.h"
#define READ_CORE_REASONS 1
#endif
#include "mdf/blocks/cMdfBlock_DG.h"
#include "mdf/cMdf.h"
#include "mdf/cMdfBusMsgContainer.h"
#include "streams/cIO_file.h"

namespace {

using Clock = std::chrono::steady_clock;

double since(Clock::time_point began) {
  return std::chrono::duration<double>(Clock::now() - began).count();
}

// Reads the whole file in 1 MiB chunks; the byte count, or -1.
long long plainRead(const char* path) {
  FILE* file = std::fopen(path, "rb");
  if (!file) return -1;
  std::setvbuf(file, nullptr, _IONBF, 0);
  std::vector<unsigned char> chunk(1 << 20);
  long long total = 0;
  unsigned check = 0;
  for (;;) {
    const size_t n = std::fread(chunk.data(), 1, chunk.size(), file);
    if (n == 0) break;
    total += static_cast<long long>(n);
    check += chunk[n - 1];
  }
  std::fclose(file);
  // Keeps the reads from being optimised away.
  return check == 0xFFFFFFFFu ? -1 : total;
}

}  // namespace

int main(int argc, char** argv) {
  cGenericFilePasswordTable passwords;
  const char* path = bench::logArguments(argc, argv, &passwords);
  if (!path) return 2;

  auto began = Clock::now();
  const long long size = plainRead(path);
  const double read = since(began);
  if (size < 0) {
    std::fprintf(stderr, "cannot read %s\n", path);
    return 1;
  }

  began = Clock::now();
  cGenericFileStatus status;
  cIO* io = cGenericFile_unwrap(
      cIO_file_open(path, CIO_FILE_READ),
      passwords.empty() ? nullptr : cGenericFile_tableLookup, &passwords,
      &status);
  const double unwrap = since(began);

  began = Clock::now();
#ifdef READ_CORE_REASONS
  cReason reason{};
  cMdf* mdf = io ? cMdf_open(io, &reason) : nullptr;
  const char* why = cReason_text(&reason);
#else
  cMdf* mdf = io ? cMdf_open(io) : nullptr;
  const char* why = "";
#endif
  if (!mdf) {
    std::fprintf(
        stderr, "%s: %s%s%s\n", path,
        io ? "Could not open data source" : cGenericFile_statusMessage(status),
        *why ? ": " : "", why);
    cIO_close(io);
    return 1;
  }
  unsigned long long frames = 0, bytes = 0, ids = 0;
  cMdfBlockList* groups = cMdf_getDataGroups(mdf);
  for (size_t g = 0; g < cMdfBlockList_size(groups); ++g) {
    cMdfBusMsgContainer* container = cMdfBusMsgContainer_ctor(
        cMdfBlock_t_to_cMdfBlock_DG_t_mut(cMdfBlockList_at(groups, g)));
    for (cMdfBusMsgContainerPosition p = cMdfBusMsgContainer_begin(container);
         p.frame; cMdfBusMsgContainer_next(&p)) {
      ++frames;
      bytes += p.frame->dataLength;
      ids += p.frame->id;
    }
    cMdfBusMsgContainer_dtor(container);
  }
  const double decode = since(began);
  cMdf_close(mdf);
  cIO_close(io);

  std::printf(
      "size=%lld read=%.6f unwrap=%.6f decode=%.6f frames=%llu "
      "payload=%llu idsum=%llu hwm_kib=%ld\n",
      size, read, unwrap, decode, frames, bytes, ids, bench::peakRssKib());
  return 0;
}
