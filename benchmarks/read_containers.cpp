// Reads one log through the C++ core the way the column path does (every
// data group merged by timestamp, in batches of 65,536 rows of timestamps
// and ids), for bench_containers.py, which runs it in fresh processes.
//
//   read_containers [--password KEY=PASSWORD]... LOG
//
// One line on stdout, "key=value" pairs:
//   seconds   from the unwrap of the containers to the last row
//   rows      rows read, and the sum of their ids (a check that two builds
//             read the same frames)
//   hwm_kib   the process's peak resident set (VmHWM)
//   decoded   content bytes the compressed container decoded in all, and
//   content   the content's size, when LOG is a compressed container
//             directly (0 otherwise; builds whose compressed container has
//             no decoding stream report 0 too)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "bench_support.h"

#include "containers/cGenericFile.h"
#include "containers/cGenericFileCompressed.h"
#include "containers/cGenericFileUnwrap.h"
#include "mdf/cMdf.h"
#include "mdf/cMdfColumns.h"
#include "streams/cIO_file.h"
#if __has_include("containers/cIO_heatshrinkIndexed.h")
#include "containers/cIO_heatshrinkIndexed.h"
#define READ_CONTAINERS_INDEXED 1
#endif

int main(int argc, char** argv) {
  cGenericFilePasswordTable passwords;
  const char* path = bench::logArguments(argc, argv, &passwords);
  if (!path) return 2;
  const auto began = std::chrono::steady_clock::now();
  cIO* file = cIO_file_open(path, CIO_FILE_READ);
  cIO* io = nullptr;
  cIO* compressed = nullptr;  // a compressed container opened directly
  cGenericFileHeader header{};
  if (file && cGenericFile_readHeader(file, &header) &&
      header.container_type == GENERIC_FILE_TYPE_COMPRESSED) {
    compressed = cGenericFile_compressed_open(file, &header);
    io = compressed;
  } else {
    cGenericFileStatus status;
    io = cGenericFile_unwrap(
        file, passwords.empty() ? nullptr : cGenericFile_tableLookup,
        &passwords, &status);
    file = nullptr;
  }
  cMdf* mdf = io ? cMdf_open(io) : nullptr;
  if (!mdf) {
    std::fprintf(stderr, "%s: cannot be read\n", path);
    return 1;
  }
  cMdfColumnFilter filter = {};
  cMdfColumnReader* reader = cMdfColumnReader_ctor(mdf, &filter);
  constexpr uint64_t kRows = 65536;
  std::vector<int64_t> times(kRows);
  std::vector<uint32_t> ids(kRows);
  cMdfColumnOutput out = {};
  out.capacity = kRows;
  out.columns[kMdfColumnTimestampNs] = times.data();
  out.columns[kMdfColumnArbitrationId] = ids.data();
  unsigned long long rows = 0, idsum = 0;
  while (cMdfColumnReader_fill(reader, &out) > 0) {
    rows += out.rows;
    for (uint64_t i = 0; i < out.rows; ++i) idsum += ids[i];
  }
  cMdfColumnReader_dtor(reader);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - began)
          .count();
  unsigned long long decoded = 0, content = 0;
#ifdef READ_CONTAINERS_INDEXED
  if (compressed) {
    cIO* stream = static_cast<cGenericFileCompressed_t*>(compressed)->content;
    decoded = cIO_heatshrinkIndexed_decoded(stream);
    content = static_cast<cIO_heatshrinkIndexed_t*>(stream)->size;
  }
#endif
  cMdf_close(mdf);
  cIO_close(io);
  cIO_close(file);
  std::printf(
      "seconds=%.6f rows=%llu idsum=%llu hwm_kib=%ld decoded=%llu "
      "content=%llu\n",
      seconds, rows, idsum, bench::peakRssKib(), decoded, content);
  return 0;
}
