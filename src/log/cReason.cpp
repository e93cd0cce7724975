// The first reason of a failure: noted once, logged once.
#include "log/cReason.h"

#include <cstdarg>
#include <cstdio>

#include "log/zf_log.h"

void cReason_clear(cReason* reason) {
  if (reason) *reason = {};
}

bool cReason_note(cReason* reason, uint64_t offset, const char* format, ...) {
  if (!reason || reason->set) return false;
  va_list args;
  va_start(args, format);
  const int n = std::vsnprintf(reason->text, sizeof reason->text, format, args);
  va_end(args);
  if (n < 0) reason->text[0] = '\0';
  reason->set = true;
  reason->logged = false;
  reason->offset = offset;
  return false;
}

bool cReason_noteAt(cReason* reason, const char* what, uint64_t offset,
                    const char* format, ...) {
  if (!reason || reason->set) return false;
  char text[sizeof reason->text];
  va_list args;
  va_start(args, format);
  const int n = std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  if (n < 0) text[0] = '\0';
  return cReason_note(reason, offset, "%s at 0x%llX: %s", what,
                      static_cast<unsigned long long>(offset), text);
}

bool cReason_isSet(const cReason* reason) { return reason && reason->set; }

const char* cReason_text(const cReason* reason) {
  return reason && reason->set ? reason->text : "";
}

void cReason_log(cReason* reason) {
  if (!reason || !reason->set || reason->logged) return;
  reason->logged = true;
  ZF_LOGE("%s", reason->text);
}
