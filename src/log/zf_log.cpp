// Diagnostics log: formats one line into a stack buffer and hands it to the
// output callback. Nothing here allocates or locks; the broken-down local
// time is cached per second behind a lock-free state word so that threads
// logging at once neither serialise on localtime_r nor race on the cache.
#include "log/zf_log.h"

#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <ctime>

zf_log_format _zf_log_global_format = {32};
zf_log_output _zf_log_global_output = {ZF_LOG_PUT_STD, nullptr,
                                       zf_log_out_stderr_callback};
const zf_log_output out_stderr = {ZF_LOG_PUT_STD, nullptr,
                                  zf_log_out_stderr_callback};
int _zf_log_global_output_lvl = 0;
const char* _zf_log_tag_prefix = nullptr;

namespace {

const zf_log_sink global_sink = {&_zf_log_global_format,
                                 &_zf_log_global_output};

const char c_hex[] = "0123456789abcdef";

// Time cache state word: bits 0-29 count the readers inside the cache,
// bit 30 asks for a refresh, bit 31 marks a refresh in progress. Readers
// enter only while both flag bits are clear; a writer enters only when the
// word is exactly "refresh requested, no readers".
constexpr uint32_t kTcacheStale = 0x40000000u;
constexpr uint32_t kTcacheFluid = 0x40000000u | 0x80000000u;

std::atomic<uint32_t> g_tcache_mode{kTcacheStale};
timeval g_tcache_tv = {0, 0};
tm g_tcache_tm = {};

bool tcache_get(const timeval& tv, tm* out) {
  if (g_tcache_mode.load(std::memory_order_relaxed) & kTcacheFluid)
    return false;
  bool hit = false;
  const uint32_t mode =
      g_tcache_mode.fetch_add(1, std::memory_order_acquire) + 1;
  if (!(mode & kTcacheFluid)) {
    if (g_tcache_tv.tv_sec == tv.tv_sec) {
      *out = g_tcache_tm;
      hit = true;
    } else {
      g_tcache_mode.fetch_or(kTcacheStale, std::memory_order_relaxed);
    }
  }
  g_tcache_mode.fetch_sub(1, std::memory_order_release);
  return hit;
}

void tcache_set(const timeval& tv, const tm& t) {
  uint32_t expected = kTcacheStale;
  if (g_tcache_mode.compare_exchange_strong(expected, kTcacheFluid,
                                            std::memory_order_acquire,
                                            std::memory_order_relaxed)) {
    g_tcache_tv = tv;
    g_tcache_tm = t;
    g_tcache_mode.fetch_and(~kTcacheFluid, std::memory_order_release);
  }
}

void current_time(tm* t, unsigned* msec) {
  timeval tv;
  gettimeofday(&tv, nullptr);
  if (!tcache_get(tv, t)) {
    localtime_r(&tv.tv_sec, t);
    tcache_set(tv, *t);
  }
  *msec = static_cast<unsigned>(tv.tv_usec) / 1000;
}

char lvl_char(int lvl) {
  switch (lvl) {
    case ZF_LOG_VERBOSE:
      return 'V';
    case ZF_LOG_DEBUG:
      return 'D';
    case ZF_LOG_INFO:
      return 'I';
    case ZF_LOG_WARN:
      return 'W';
    case ZF_LOG_ERROR:
      return 'E';
    case ZF_LOG_FATAL:
      return 'F';
    default:
      return '?';
  }
}

// Prints into what is left of the line; the content end never passes e.
void put_vprintf(zf_log_message* msg, const char* fmt, va_list va) {
  const int n =
      vsnprintf(msg->p, static_cast<size_t>(msg->e - msg->p) + 1, fmt, va);
  if (n <= 0) return;
  msg->p = n < msg->e - msg->p ? msg->p + n : msg->e;
}

void put_printf(zf_log_message* msg, const char* fmt, ...)
    __attribute__((format(printf, 2, 3)));
void put_printf(zf_log_message* msg, const char* fmt, ...) {
  va_list va;
  va_start(va, fmt);
  put_vprintf(msg, fmt, va);
  va_end(va);
}

// Copies a zero-terminated text, as much of it as fits.
void put_text(zf_log_message* msg, const char* text) {
  for (; msg->p != msg->e && *text; ++msg->p, ++text) *msg->p = *text;
}

void put_ctx(zf_log_message* msg) {
  tm t;
  unsigned msec;
  current_time(&t, &msec);
  const long pid = static_cast<long>(getpid());
  const long tid = static_cast<long>(syscall(SYS_gettid));
  put_printf(msg, "%02d-%02d %02d:%02d:%02d.%03u %5ld %5ld %c ", t.tm_mon + 1,
             t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec, msec, pid, tid,
             lvl_char(msg->lvl));
}

void put_tag(zf_log_message* msg, const char* tag) {
  msg->tag_b = msg->p;
  if (_zf_log_tag_prefix) put_text(msg, _zf_log_tag_prefix);
  if (tag && tag[0]) {
    if (msg->tag_b != msg->p && msg->p != msg->e) *msg->p++ = '.';
    put_text(msg, tag);
  }
  msg->tag_e = msg->p;
  if (msg->tag_b != msg->p && msg->p != msg->e) *msg->p++ = ' ';
}

struct src_location {
  const char* func;
  const char* file;
  unsigned line;
};

const char* base_name(const char* path) {
  const char* name = path;
  for (const char* c = path; *c; ++c)
    if (*c == '/' || *c == '\\') name = c + 1;
  return name;
}

void put_src(zf_log_message* msg, const src_location& src) {
  put_printf(msg, "%s@%s:%u ", src.func ? src.func : "",
             base_name(src.file ? src.file : ""), src.line);
}

struct mem_block {
  const void* d;
  size_t d_sz;
};

void emit(const zf_log_sink* sink, const zf_log_message* msg) {
  if (sink->output->callback) sink->output->callback(msg, sink->output->arg);
}

// One dump line per mem_width bytes, written over the message part: hex
// column padded to 2 * width, two spaces, then the bytes as text with "?"
// for what is not printable. Nothing when a full dump line does not fit.
void put_mem(const zf_log_sink* sink, zf_log_message* msg,
             const mem_block& mem) {
  const uint64_t width = sink->format ? sink->format->mem_width : 0;
  if (!mem.d || mem.d_sz == 0 || width == 0) return;
  if (static_cast<uint64_t>(msg->e - msg->msg_b) < 3 * width + 2) return;
  const unsigned char* d = static_cast<const unsigned char*>(mem.d);
  const unsigned char* const d_end = d + mem.d_sz;
  char* const hex_b = msg->msg_b;
  char* const ascii_b = hex_b + 2 * width + 2;
  while (d != d_end) {
    const uint64_t left = static_cast<uint64_t>(d_end - d);
    const unsigned char* const cut = d + (left < width ? left : width);
    char* hex = hex_b;
    char* ascii = ascii_b;
    for (; d != cut; ++d) {
      *hex++ = c_hex[*d >> 4];
      *hex++ = c_hex[*d & 0x0F];
      *ascii++ = *d >= 0x20 && *d < 0x7F ? static_cast<char>(*d) : '?';
    }
    while (hex != ascii_b) *hex++ = ' ';
    *ascii = 0;
    msg->p = ascii;
    emit(sink, msg);
  }
}

void _zf_log_write_imp(const zf_log_sink* sink, const src_location* src,
                       const mem_block* mem, int lvl, const char* tag,
                       const char* fmt, va_list va) {
  if (!sink || !sink->output) return;
  char buf[ZF_LOG_BUF_SZ];
  zf_log_message msg;
  msg.lvl = lvl;
  msg.tag = tag;
  msg.buf = buf;
  msg.e = buf + ZF_LOG_BUF_SZ - 2;  // room for the line end and a zero
  msg.p = buf;
  const unsigned mask = sink->output->mask;
  if (mask & ZF_LOG_PUT_CTX) put_ctx(&msg);
  msg.tag_b = msg.tag_e = msg.p;
  if (mask & ZF_LOG_PUT_TAG) put_tag(&msg, tag);
  if (src && (mask & ZF_LOG_PUT_SRC)) put_src(&msg, *src);
  msg.msg_b = msg.p;
  if ((mask & ZF_LOG_PUT_MSG) && fmt) put_vprintf(&msg, fmt, va);
  *msg.p = 0;
  emit(sink, &msg);
  if (mem) put_mem(sink, &msg, *mem);
}

}  // namespace

void zf_log_set_output_v(unsigned mask, void* arg, zf_log_output_cb callback) {
  _zf_log_global_output.mask = mask;
  _zf_log_global_output.arg = arg;
  _zf_log_global_output.callback = callback;
}

void zf_log_set_output_level(int lvl) { _zf_log_global_output_lvl = lvl; }

void zf_log_set_tag_prefix(const char* prefix) { _zf_log_tag_prefix = prefix; }

void zf_log_set_mem_width(unsigned width) {
  _zf_log_global_format.mem_width = width;
}

void zf_log_out_stderr_callback(const zf_log_message* msg, void*) {
  *msg->p = '\n';
  const char* b = msg->buf;
  const char* const e = msg->p + 1;
  while (b != e) {
    const ssize_t n = write(STDERR_FILENO, b, static_cast<size_t>(e - b));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    b += n;
  }
}

// The public writers differ only in which output settings, source location
// and memory block they pass on.
#define ZF_LOG_FORWARD(sink, src, mem, fmt)               \
  do {                                                    \
    va_list va;                                           \
    va_start(va, fmt);                                    \
    _zf_log_write_imp(sink, src, mem, lvl, tag, fmt, va); \
    va_end(va);                                           \
  } while (0)

void _zf_log_write(int lvl, const char* tag, const char* fmt, ...) {
  ZF_LOG_FORWARD(&global_sink, nullptr, nullptr, fmt);
}

void _zf_log_write_aux(const zf_log_sink* sink, int lvl, const char* tag,
                       const char* fmt, ...) {
  ZF_LOG_FORWARD(sink, nullptr, nullptr, fmt);
}

void _zf_log_write_d(const char* func, const char* file, unsigned line, int lvl,
                     const char* tag, const char* fmt, ...) {
  const src_location src = {func, file, line};
  ZF_LOG_FORWARD(&global_sink, &src, nullptr, fmt);
}

void _zf_log_write_aux_d(const char* func, const char* file, unsigned line,
                         const zf_log_sink* sink, int lvl, const char* tag,
                         const char* fmt, ...) {
  const src_location src = {func, file, line};
  ZF_LOG_FORWARD(sink, &src, nullptr, fmt);
}

void _zf_log_write_mem(int lvl, const char* tag, const void* d, size_t d_sz,
                       const char* fmt, ...) {
  const mem_block mem = {d, d_sz};
  ZF_LOG_FORWARD(&global_sink, nullptr, &mem, fmt);
}

void _zf_log_write_mem_aux(const zf_log_sink* sink, int lvl, const char* tag,
                           const void* d, size_t d_sz, const char* fmt, ...) {
  const mem_block mem = {d, d_sz};
  ZF_LOG_FORWARD(sink, nullptr, &mem, fmt);
}

void _zf_log_write_mem_d(const char* func, const char* file, unsigned line,
                         int lvl, const char* tag, const void* d, size_t d_sz,
                         const char* fmt, ...) {
  const src_location src = {func, file, line};
  const mem_block mem = {d, d_sz};
  ZF_LOG_FORWARD(&global_sink, &src, &mem, fmt);
}

void _zf_log_write_mem_aux_d(const char* func, const char* file, unsigned line,
                             const zf_log_sink* sink, int lvl, const char* tag,
                             const void* d, size_t d_sz, const char* fmt, ...) {
  const src_location src = {func, file, line};
  const mem_block mem = {d, d_sz};
  ZF_LOG_FORWARD(sink, &src, &mem, fmt);
}

#undef ZF_LOG_FORWARD
