// Times the C++ reading core on one MF4 file, without Python: cMdf_open,
// then every data group drained frame by frame through a bus message
// container, as the reader does. Compressed and encrypted logs are
// unwrapped first (counted in the open time). Built and run by read_core.sh.
//
//   read_core [--password KEY=PASSWORD]... LOG.mf4 [ROUNDS]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "containers/cGenericFileUnwrap.h"
#include "log/cReason.h"
#include "mdf/blocks/cMdfBlock_DG.h"
#include "mdf/cMdf.h"
#include "mdf/cMdfBusMsgContainer.h"
#include "streams/cIO_file.h"

int main(int argc, char** argv) {
  cGenericFilePasswordTable passwords;
  int at = 1;
  for (; at + 1 < argc && std::strcmp(argv[at], "--password") == 0; at += 2)
    if (!cGenericFile_tableAdd(&passwords, argv[at + 1])) at = argc;
  if (argc - at < 1 || argc - at > 2) {
    std::fprintf(stderr,
                 "usage: %s [--password KEY=PASSWORD]... LOG.mf4 [ROUNDS]\n",
                 argv[0]);
    return 2;
  }
  const char* path = argv[at];
  const int rounds = argc - at > 1 ? std::atoi(argv[at + 1]) : 3;
  for (int round = 0; round < rounds; ++round) {
    const auto began = std::chrono::steady_clock::now();
    cGenericFileStatus status;
    cReason reason{};
    cIO* io = cGenericFile_unwrap(
        cIO_file_open(path, CIO_FILE_READ),
        passwords.empty() ? nullptr : cGenericFile_tableLookup, &passwords,
        &status, &reason);
    cMdf* mdf = io ? cMdf_open(io, &reason) : nullptr;
    if (!mdf) {
      std::fprintf(stderr, "%s: %s%s%s\n", path,
                   io ? "Could not open data source"
                      : cGenericFile_statusMessage(status),
                   cReason_isSet(&reason) ? ": " : "", cReason_text(&reason));
      cIO_close(io);
      return 1;
    }
    const auto opened = std::chrono::steady_clock::now();
    uint64_t frames = 0, bytes = 0, check = 0;
    cMdfBlockList* groups = cMdf_getDataGroups(mdf);
    for (size_t g = 0; g < cMdfBlockList_size(groups); ++g) {
      cMdfBusMsgContainer* container = cMdfBusMsgContainer_ctor(
          cMdfBlock_t_to_cMdfBlock_DG_t_mut(cMdfBlockList_at(groups, g)));
      for (cMdfBusMsgContainerPosition p = cMdfBusMsgContainer_begin(container);
           p.frame; cMdfBusMsgContainer_next(&p)) {
        ++frames;
        bytes += p.frame->dataLength;
        check += p.frame->id;
      }
      cMdfBusMsgContainer_dtor(container);
    }
    const auto done = std::chrono::steady_clock::now();
    cMdf_close(mdf);
    cIO_close(io);
    const double open = std::chrono::duration<double>(opened - began).count();
    const double read = std::chrono::duration<double>(done - opened).count();
    std::printf(
        "round %d: open %.3f s, %llu frames (%llu payload bytes, id sum %llu) "
        "in %.3f s: %.2f M frames/s\n",
        round + 1, open, static_cast<unsigned long long>(frames),
        static_cast<unsigned long long>(bytes),
        static_cast<unsigned long long>(check), read, frames / read / 1e6);
  }
  return 0;
}
