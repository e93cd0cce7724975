// File stream: cIO over stdio. The position is cached so that the frequent
// seek to where the stream already stands costs no fseek (which would also
// drop stdio's read buffer).
#include "streams/cIO_file.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>

namespace {

cIO_file_t* asFile(cIO* io) { return static_cast<cIO_file_t*>(io); }

// C requires a positioning call between output and input on one update
// stream; fseek to where we stand is one, and flushes pending output.
bool switchTo(cIO_file_t* f, int op) {
  if (f->last_op != CIO_FILE_OP_NONE && f->last_op != op) {
    if (fseeko(f->file, 0, SEEK_CUR) != 0) return false;
  }
  f->last_op = op;
  return true;
}

int64_t cIO_file_read(cIO* io, void* dst, uint64_t len) {
  cIO_file_t* f = asFile(io);
  if (len == 0) return 0;
  if (!dst || !switchTo(f, CIO_FILE_OP_READ)) return -1;
  const size_t n = fread(dst, 1, len, f->file);
  f->pos += n;
  return static_cast<int64_t>(n);
}

int64_t cIO_file_write(cIO* io, const void* src, uint64_t len) {
  cIO_file_t* f = asFile(io);
  if (len == 0) return 0;
  if (!src || !switchTo(f, CIO_FILE_OP_WRITE)) return -1;
  const size_t n = fwrite(src, 1, len, f->file);
  f->pos += n;
  return static_cast<int64_t>(n);
}

int64_t cIO_file_tell(cIO* io) { return ftello(asFile(io)->file); }

int64_t cIO_file_seek(cIO* io, int64_t offset, int whence) {
  cIO_file_t* f = asFile(io);
  if (whence < CIO_SEEK_SET || whence > CIO_SEEK_END) return -1;
  if (whence == CIO_SEEK_SET && offset >= 0 &&
      static_cast<uint64_t>(offset) == f->pos)
    return offset;
  static const int kOrigin[] = {SEEK_SET, SEEK_CUR, SEEK_END};
  if (fseeko(f->file, offset, kOrigin[whence]) != 0) return -1;
  // A successful fseek is itself the positioning call between read and
  // write, so either may follow.
  f->last_op = CIO_FILE_OP_NONE;
  const int64_t pos = ftello(f->file);
  if (pos < 0) return -1;
  f->pos = static_cast<uint64_t>(pos);
  return pos;
}

// fclose releases the handle even when it fails (a failed flush of pending
// output, for instance), so the record goes with it and the failure is
// reported through the result.
int cIO_file_close(cIO* io) {
  cIO_file_t* f = asFile(io);
  const int rc = fclose(f->file);
  delete f;
  return rc;
}

const cIO_vtable vtable_r = {cIO_file_read, nullptr, cIO_file_tell,
                             cIO_file_seek, cIO_file_close};
const cIO_vtable vtable_w = {nullptr, cIO_file_write, cIO_file_tell,
                             cIO_file_seek, cIO_file_close};
const cIO_vtable vtable_rw = {cIO_file_read, cIO_file_write, cIO_file_tell,
                              cIO_file_seek, cIO_file_close};

FILE* openForMode(const char* path, int mode) {
  switch (mode) {
    case CIO_FILE_READ:
      return fopen(path, "rb");
    case CIO_FILE_WRITE:
      return fopen(path, "wb");
    case CIO_FILE_READWRITE: {
      // Keep an existing file's content; create only a missing one, so a
      // file that exists but cannot be opened is never truncated.
      FILE* file = fopen(path, "r+b");
      if (!file && errno == ENOENT) file = fopen(path, "w+b");
      return file;
    }
    default:
      return nullptr;
  }
}

}  // namespace

cIO* cIO_file_open(const char* path, int mode) {
  static const cIO_vtable* const kTables[] = {&vtable_r, &vtable_w, &vtable_rw};
  if (!path || mode < CIO_FILE_READ || mode > CIO_FILE_READWRITE)
    return nullptr;
  cIO_file_t* f = new (std::nothrow) cIO_file_t;
  if (!f) return nullptr;
  f->file = openForMode(path, mode);
  if (!f->file) {
    delete f;
    return nullptr;
  }
  f->vtable = kTables[mode];
  f->pos = 0;
  f->last_op = CIO_FILE_OP_NONE;
  return f;
}

cIO* cIO_file_temporary() {
  const char* dir = getenv("TMPDIR");
  std::string path = std::string(dir && *dir ? dir : "/tmp") + "/mf4-XXXXXX";
  const int fd = mkstemp(path.data());
  if (fd < 0) return nullptr;
  // Gone from the directory at once: it lives while the stream is open.
  unlink(path.c_str());
  FILE* file = fdopen(fd, "w+b");
  cIO_file_t* f = file ? new (std::nothrow) cIO_file_t : nullptr;
  if (!f) {
    if (file)
      fclose(file);
    else
      close(fd);
    return nullptr;
  }
  f->vtable = &vtable_rw;
  f->file = file;
  f->pos = 0;
  f->last_op = CIO_FILE_OP_NONE;
  return f;
}
