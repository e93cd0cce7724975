// cMdf: an open MF4 file, a byte stream and the block tree loaded from it.
//
//   cMdf* mdf = cMdf_open(stream);            // loads every block
//   cMdfBlockList* groups = cMdf_getDataGroups(mdf);
//   double start = cMdf_getStartTime(mdf, 1);  // seconds since 1970, UTC
//   ... a cMdfBusMsgContainer per data group ...
//   cMdf_close(mdf);
//   cIO_close(stream);                         // the caller's stream
//
// Opening an unfinalized file whose last data block still has the length
// of an empty one (unfinalized flag bit 2) extends that block to the end of
// the stream in memory, so that it can be read without being rewritten.
#pragma once

#include <cstdint>

#include "log/cReason.h"
#include "mdf/blocks/cMdfBlock.h"
#include "streams/cIO.h"

struct cMdf {
  cIO* stream;        // borrowed: never closed here
  cMdfBlockRef root;  // the identification block, which holds the header
                      // block and through it everything else; owned
};

// Unfinalized flag: the length of the last data block must be updated.
constexpr uint16_t kMdfUnfinalizedLastDataLength = 0x0004;

// A new open file over `stream`, or null: null stream, no memory, or a file
// that does not load. Then *reason (when not null) says why, with the file
// offset concerned: "DG block at 0x1A40: 3 links, needs 4" (see
// log/cReason.h; the block loader notes the first failure where it
// happens). Nothing of the reason is logged here: the caller reports it
// (cReason_log logs it once).
//
// By default only the logger family's own files open (a file history of
// another tool gives "Unsupported MF4 file"); with `anyWriter` files of any
// writer do, read by the bus-logging conventions (cMdfBlockCache).
cMdf* cMdf_open(cIO* stream, cReason* reason = nullptr, bool anyWriter = false);
// Drops the block tree and frees the record; the stream stays open.
// Nothing for null.
void cMdf_close(cMdf* mdf);
// The header block's list of data groups, in chain order; borrowed, valid
// until close. Null for a null file.
cMdfBlockList* cMdf_getDataGroups(cMdf* mdf);
// The recording's start time in seconds since 1970-01-01 UTC when the low
// byte of utcOnly is non-zero, else shifted by the header's time zone and
// daylight saving offsets to local time. 0.0 for a null file.
double cMdf_getStartTime(const cMdf* mdf, uint32_t utcOnly);
// The recording's start time in nanoseconds since 1970-01-01 UTC, as the
// header holds it (times beyond the int64 range saturate). Frame times in
// nanoseconds are this plus the frame's timeOffsetNs. 0 for a null file.
int64_t cMdf_getStartTimeNs(const cMdf* mdf);
// Writes the whole tree to `stream` from offset 0 in one save pass (nothing
// is truncated). False on failure or a null argument.
bool cMdf_save(cMdf* mdf, cIO* stream);
