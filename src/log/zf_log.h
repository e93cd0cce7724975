// Diagnostics log: formats a line (context, tag, source location, message)
// into a 512-byte stack buffer and hands it to one process-wide output
// callback (standard error by default).
//
// The write functions do not test the level: callers compare with
// _zf_log_global_output_lvl first, which the ZF_LOG* macros below do.
#pragma once

#include <cstddef>

enum {
  ZF_LOG_VERBOSE = 1,
  ZF_LOG_DEBUG = 2,
  ZF_LOG_INFO = 3,
  ZF_LOG_WARN = 4,
  ZF_LOG_ERROR = 5,
  ZF_LOG_FATAL = 6,
};

// Output mask bits: which parts a line contains.
enum {
  ZF_LOG_PUT_CTX = 1,  // time, process id, thread id, level letter
  ZF_LOG_PUT_TAG = 2,
  ZF_LOG_PUT_SRC = 4,  // function@file:line, only for the _d writers
  ZF_LOG_PUT_MSG = 8,
  ZF_LOG_PUT_STD = 0xFFFF,
};

// Size of the line buffer; at most ZF_LOG_BUF_SZ - 2 characters of content
// fit, leaving room for a line end and a terminating zero.
constexpr size_t ZF_LOG_BUF_SZ = 512;

// One formatted line as the output callback sees it.
struct zf_log_message {
  int lvl;
  const char* tag;  // may be nullptr
  char* buf;        // line start
  char* e;          // last position where the line end may be written
  char* p;          // content end (append position)
  char* tag_b;      // tag part
  char* tag_e;
  char* msg_b;  // message part (after context, tag and location)
};

typedef void (*zf_log_output_cb)(const zf_log_message* msg, void* arg);

struct zf_log_format {
  unsigned mem_width;  // bytes per memory-dump line
};

struct zf_log_output {
  unsigned mask;  // ZF_LOG_PUT_* bits
  void* arg;      // passed to callback
  zf_log_output_cb callback;
};

// Where a line goes and how it is laid out: the output and its format.
struct zf_log_sink {
  const zf_log_format* format;
  const zf_log_output* output;
};

extern zf_log_format _zf_log_global_format;
extern zf_log_output _zf_log_global_output;
extern const zf_log_output out_stderr;
extern int _zf_log_global_output_lvl;
// Text put before every tag ("prefix.tag"); nullptr for none. Not copied:
// it must outlive all logging.
extern const char* _zf_log_tag_prefix;

// A null callback silences the output.
void zf_log_set_output_v(unsigned mask, void* arg, zf_log_output_cb callback);
void zf_log_set_output_level(int lvl);
void zf_log_set_tag_prefix(const char* prefix);
// Bytes per memory-dump line; 0 turns memory dumps off.
void zf_log_set_mem_width(unsigned width);
void zf_log_out_stderr_callback(const zf_log_message* msg, void* arg);

// The write functions have C linkage: their symbols are their plain names,
// so that code outside C++ (the Python tests, through ctypes) can call them.
extern "C" {
void _zf_log_write(int lvl, const char* tag, const char* fmt, ...)
    __attribute__((format(printf, 3, 4)));
void _zf_log_write_aux(const zf_log_sink* sink, int lvl, const char* tag,
                       const char* fmt, ...)
    __attribute__((format(printf, 4, 5)));
void _zf_log_write_d(const char* func, const char* file, unsigned line, int lvl,
                     const char* tag, const char* fmt, ...)
    __attribute__((format(printf, 6, 7)));
void _zf_log_write_aux_d(const char* func, const char* file, unsigned line,
                         const zf_log_sink* sink, int lvl, const char* tag,
                         const char* fmt, ...)
    __attribute__((format(printf, 7, 8)));
void _zf_log_write_mem(int lvl, const char* tag, const void* d, size_t d_sz,
                       const char* fmt, ...)
    __attribute__((format(printf, 5, 6)));
void _zf_log_write_mem_aux(const zf_log_sink* sink, int lvl, const char* tag,
                           const void* d, size_t d_sz, const char* fmt, ...)
    __attribute__((format(printf, 6, 7)));
void _zf_log_write_mem_d(const char* func, const char* file, unsigned line,
                         int lvl, const char* tag, const void* d, size_t d_sz,
                         const char* fmt, ...)
    __attribute__((format(printf, 8, 9)));
void _zf_log_write_mem_aux_d(const char* func, const char* file, unsigned line,
                             const zf_log_sink* sink, int lvl, const char* tag,
                             const void* d, size_t d_sz, const char* fmt, ...)
    __attribute__((format(printf, 9, 10)));
}  // extern "C"

// Library call sites: warnings and errors without a tag.
#define ZF_LOGW(...)                                    \
  do {                                                  \
    if (_zf_log_global_output_lvl <= ZF_LOG_WARN)       \
      _zf_log_write(ZF_LOG_WARN, nullptr, __VA_ARGS__); \
  } while (0)
#define ZF_LOGE(...)                                     \
  do {                                                   \
    if (_zf_log_global_output_lvl <= ZF_LOG_ERROR)       \
      _zf_log_write(ZF_LOG_ERROR, nullptr, __VA_ARGS__); \
  } while (0)
