// Times the C++ reading core on one MF4 file, without Python: cMdf_open,
// then every data group drained frame by frame through a bus message
// container, as the reader does. Built and run by read_core.sh.
//
//   read_core LOG.mf4 [ROUNDS]
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "mdf/blocks/cMdfBlock_DG.h"
#include "mdf/cMdf.h"
#include "mdf/cMdfBusMsgContainer.h"
#include "streams/cIO_file.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s LOG.mf4 [ROUNDS]\n", argv[0]);
    return 2;
  }
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
  for (int round = 0; round < rounds; ++round) {
    const auto began = std::chrono::steady_clock::now();
    cIO* io = cIO_file_open(argv[1], CIO_FILE_READ);
    cMdf* mdf = io ? cMdf_open(io) : nullptr;
    if (!mdf) {
      std::fprintf(stderr, "cannot open %s\n", argv[1]);
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
