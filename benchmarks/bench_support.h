// What the C++ benchmark programs share: their command line and the peak
// resident memory of the process.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "containers/cGenericFileUnwrap.h"

namespace bench {

// The process's peak resident set (VmHWM) in KiB, -1 where unknown.
inline long peakRssKib() {
  FILE* status = std::fopen("/proc/self/status", "r");
  if (!status) return -1;
  char line[256];
  long kib = -1;
  while (std::fgets(line, sizeof line, status)) {
    if (std::strncmp(line, "VmHWM:", 6) == 0) kib = std::atol(line + 6);
  }
  std::fclose(status);
  return kib;
}

// `[--password KEY=PASSWORD]... LOG.mf4`: the log's path, with the
// passwords added to the table; null (after the usage line) otherwise.
inline const char* logArguments(int argc, char** argv,
                                cGenericFilePasswordTable* passwords) {
  int at = 1;
  for (; at + 1 < argc && std::strcmp(argv[at], "--password") == 0; at += 2)
    if (!cGenericFile_tableAdd(passwords, argv[at + 1])) at = argc;
  if (argc - at != 1) {
    std::fprintf(stderr, "usage: %s [--password KEY=PASSWORD]... LOG.mf4\n",
                 argv[0]);
    return nullptr;
  }
  return argv[at];
}

}  // namespace bench
