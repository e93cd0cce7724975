// Helpers shared by the stream tests: owned streams, memory streams with
// given content, scratch files and a stream kind that records its writes.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "streams/cIO.h"
#include "streams/cIO_memoryAlloc.h"

struct CloseIO {
  void operator()(cIO* io) const { cIO_close(io); }
};
using IOPtr = std::unique_ptr<cIO, CloseIO>;

// A memory stream holding `bytes`, positioned at 0.
inline IOPtr memoryWith(const std::string& bytes) {
  IOPtr io(cIO_memoryAlloc_ctor());
  EXPECT_NE(io, nullptr);
  EXPECT_EQ(cIO_write(io.get(), bytes.data(), bytes.size()),
            static_cast<int64_t>(bytes.size()));
  EXPECT_EQ(cIO_seek(io.get(), 0, CIO_SEEK_SET), 0);
  return io;
}

// Bytes 0, 1, 2, ... n-1 (mod 256).
inline std::string countingBytes(size_t n) {
  std::string bytes(n, '\0');
  for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<char>(i & 0xFF);
  return bytes;
}

// Everything from the stream's current position to its end.
inline std::string readAll(cIO* io) {
  std::string out;
  char buf[256];
  for (int64_t n; (n = cIO_read(io, buf, sizeof buf)) > 0;)
    out.append(buf, static_cast<size_t>(n));
  return out;
}

// A file path unique within the test run, removed when it goes out of scope.
class ScratchFile {
 public:
  explicit ScratchFile(const std::string& content = std::string(),
                       bool create = true) {
    path_ = testing::TempDir() + "mf4_stream_" + std::to_string(getpid()) +
            "_" + std::to_string(counter()++);
    std::remove(path_.c_str());
    if (create) std::ofstream(path_, std::ios::binary) << content;
  }
  ~ScratchFile() { std::remove(path_.c_str()); }
  const char* path() const { return path_.c_str(); }
  std::string content() const {
    std::ifstream in(path_, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

 private:
  static int& counter() {
    static int n = 0;
    return n;
  }
  std::string path_;
};

// A write-only stream without tell or seek that records every write call.
struct RecordingStream : cIO {
  std::vector<uint64_t> writes;  // lengths passed to each write
  std::string data;              // everything written, in order

  RecordingStream() { vtable = &kTable; }

 private:
  static int64_t write(cIO* io, const void* src, uint64_t len) {
    auto* self = static_cast<RecordingStream*>(io);
    self->writes.push_back(len);
    self->data.append(static_cast<const char*>(src), len);
    return static_cast<int64_t>(len);
  }
  static constexpr cIO_vtable kTable = {nullptr, write, nullptr, nullptr,
                                        nullptr};
};

// A stream over `bytes` (it keeps a copy) whose reads deliver at most
// `most` bytes per call, like a pipe or a socket, and fail once `failAt`
// bytes have been delivered. It tells and seeks like a memory stream.
struct TrickleStream : cIO {
  std::string bytes;
  uint64_t most;
  uint64_t failAt;
  uint64_t pos = 0;
  uint64_t reads = 0;  // read calls so far

  TrickleStream(std::string content, uint64_t most_,
                uint64_t failAt_ = UINT64_MAX)
      : bytes(std::move(content)), most(most_), failAt(failAt_) {
    vtable = &kTable;
  }

 private:
  static int64_t read(cIO* io, void* dst, uint64_t len) {
    auto* self = static_cast<TrickleStream*>(io);
    ++self->reads;
    if (self->pos >= self->failAt) return -1;
    const uint64_t left =
        self->pos < self->bytes.size() ? self->bytes.size() - self->pos : 0;
    uint64_t n = len < self->most ? len : self->most;
    if (n > left) n = left;
    if (n > self->failAt - self->pos) n = self->failAt - self->pos;
    memcpy(dst, self->bytes.data() + self->pos, n);
    self->pos += n;
    return static_cast<int64_t>(n);
  }
  static int64_t tell(cIO* io) {
    return static_cast<int64_t>(static_cast<TrickleStream*>(io)->pos);
  }
  static int64_t seek(cIO* io, int64_t offset, int whence) {
    auto* self = static_cast<TrickleStream*>(io);
    const int64_t origin = whence == CIO_SEEK_SET ? 0
                           : whence == CIO_SEEK_CUR
                               ? static_cast<int64_t>(self->pos)
                               : static_cast<int64_t>(self->bytes.size());
    if (whence < CIO_SEEK_SET || whence > CIO_SEEK_END || origin + offset < 0)
      return -1;
    self->pos = static_cast<uint64_t>(origin + offset);
    return origin + offset;
  }
  static constexpr cIO_vtable kTable = {read, nullptr, tell, seek, nullptr};
};
