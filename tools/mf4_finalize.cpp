// mf4_finalize: finalizes and sorts an MF4 file and writes the result.
//
//   mf4_finalize [--password KEY=PASSWORD]... IN OUT
//
// Opens IN with the MF4 library, unwrapping compressed and encrypted
// containers (KEY: a device id as eight upper-case hex digits, or
// "default"), finalizes and sorts it in memory (cMdf_finalizeAndSort) and
// writes the whole tree to OUT in one save pass (cMdf_save). Exit status 0
// on success; 1 for wrong arguments; 2 when IN does not open (the message
// names the library's reason: block, file offset, fault); 3 when
// finalizing fails (the message says why: the data group refused and its
// fault, a failed read, or memory); 4 when the save or writing OUT fails.
#include <cstdio>
#include <cstring>
#include <vector>

#include "containers/cGenericFileUnwrap.h"
#include "log/cReason.h"
#include "mdf/cMdf.h"
#include "mdf/cMdfFinalize.h"
#include "streams/cIO.h"
#include "streams/cIO_file.h"
#include "streams/cIO_memoryAlloc.h"

namespace {

// The whole memory stream to a new file at `path`.
bool writeFile(cIO* memory, const char* path) {
  const int64_t size = cIO_getSize(memory);
  if (size < 0 || cIO_seek(memory, 0, CIO_SEEK_SET) != 0) return false;
  std::vector<char> bytes(static_cast<size_t>(size));
  if (size > 0 && cIO_read(memory, bytes.data(), bytes.size()) != size)
    return false;
  FILE* out = std::fopen(path, "wb");
  if (!out) return false;
  const bool written =
      std::fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
  return std::fclose(out) == 0 && written;
}

int run(const char* in, const char* out, cGenericFilePasswordTable* passwords) {
  cIO* file = cIO_file_open(in, CIO_FILE_READ);
  if (!file) {
    std::fprintf(stderr, "mf4_finalize: %s: Could not open file\n", in);
    return 2;
  }
  cGenericFileStatus unwrapped;
  cReason reason{};
  // Without --password there are no passwords at all, as in the reader.
  cIO* stream = cGenericFile_unwrap(
      file, passwords->empty() ? nullptr : cGenericFile_tableLookup, passwords,
      &unwrapped, &reason);
  cMdf* mdf = stream ? cMdf_open(stream, &reason) : nullptr;
  int status = 0;
  cReason refused{};  // why finalizing refused the file
  if (!stream) {
    std::fprintf(stderr, "mf4_finalize: %s: %s: %s\n", in,
                 cGenericFile_statusMessage(unwrapped), cReason_text(&reason));
    status = 2;
  } else if (!mdf) {
    std::fprintf(stderr, "mf4_finalize: %s: Could not open data source: %s\n",
                 in, cReason_text(&reason));
    status = 2;
  } else if (const int finalized = cMdf_finalizeAndSort(mdf, &refused);
             finalized != kMdfFinalizeDone) {
    std::fprintf(stderr, "mf4_finalize: %s cannot be finalized: %s\n", in,
                 finalized == kMdfFinalizeRefused      ? cReason_text(&refused)
                 : finalized == kMdfFinalizeReadFailed ? "a read failed"
                                                       : "out of memory");
    status = 3;
  } else {
    // The save pass seeks back and forth; it writes into memory first.
    cIO* saved = cIO_memoryAlloc_ctor();
    if (!saved || !cMdf_save(mdf, saved) || !writeFile(saved, out)) {
      std::fprintf(stderr, "mf4_finalize: cannot write %s\n", out);
      status = 4;
    }
    cIO_close(saved);
  }
  cMdf_close(mdf);
  cIO_close(stream);
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  cGenericFilePasswordTable passwords;
  int at = 1;
  for (; at + 1 < argc && std::strcmp(argv[at], "--password") == 0; at += 2) {
    if (!cGenericFile_tableAdd(&passwords, argv[at + 1])) {
      std::fprintf(stderr, "mf4_finalize: --password wants KEY=PASSWORD\n");
      return 1;
    }
  }
  if (argc - at != 2) {
    std::fprintf(stderr,
                 "usage: mf4_finalize [--password KEY=PASSWORD]... IN OUT\n");
    return 1;
  }
  try {
    return run(argv[at], argv[at + 1], &passwords);
  } catch (...) {
    std::fprintf(stderr, "mf4_finalize: out of memory\n");
    return 4;
  }
}
