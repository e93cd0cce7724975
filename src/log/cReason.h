// cReason: why an operation failed, in words, and where in the file.
//
// The code that detects a fault notes it where it happens, with the byte
// offset it concerns:
//
//   return cReason_note(reason, offset, "DG block at 0x%llX: %llu links, "
//                       "needs 4", ...);              // always false
//
// Only the first note counts: once a load has failed, later failures are
// its consequences (the block that linked to the broken one fails too), so
// the first reason is the one worth reporting. The layer that reports the
// failure to a user reads the text (cReason_text), logs it once
// (cReason_log) or hands it on.
//
// Wording: "<kind> block at 0x<offset>: <what is wrong>", offsets in
// upper-case hex; a refused hostile-input limit names its constant and
// value ("... above kMdfMaxRecordIdSize (8)").
//
// A null reason is allowed everywhere and records nothing, so callers that
// do not care pass nullptr. Plain data; zero-filled is "no reason".
#pragma once

#include <cstddef>
#include <cstdint>

// cReason::offset when the reason concerns no particular place.
constexpr uint64_t kReasonNoOffset = UINT64_MAX;

struct cReason {
  bool set;         // a reason was noted
  bool logged;      // cReason_log wrote it
  uint64_t offset;  // file offset it concerns, or kReasonNoOffset
  char text[256];   // the reason, cut to fit; "" while none
};

// Forgets any reason.
void cReason_clear(cReason* reason);

// Notes the reason unless one is noted already (or `reason` is null). The
// text is formatted as by printf and cut at 255 characters. Returns false,
// so that a failing path can return its result.
bool cReason_note(cReason* reason, uint64_t offset, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// Notes "<what> at 0x<offset>: <text>" (the offset in upper-case hex, the
// text formatted as by printf), unless a reason is noted already. Returns
// false, like cReason_note: cReason_noteAt(reason, "compressed container",
// 0x14, "window bits W = %u ...", w).
bool cReason_noteAt(cReason* reason, const char* what, uint64_t offset,
                    const char* format, ...)
    __attribute__((format(printf, 4, 5)));

// True when a reason was noted; false for null.
bool cReason_isSet(const cReason* reason);

// The noted text; "" when none is noted or for null.
const char* cReason_text(const cReason* reason);

// Logs the noted reason at error level, once: later calls (and calls
// without a reason) log nothing.
void cReason_log(cReason* reason);
