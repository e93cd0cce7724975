// File history block (FH, type 7): a chain hanging from the header block,
// one block per change of the file. The library reads only files of its own
// loggers: every file history comment must be a metadata block naming the
// tool ("<tool_id>QX</tool_id>"), or the file is refused with "Unsupported
// MF4 file".
//
//   offset  width  field
//   0       24     header: "##FH", reserved, length, 2 links
//   24      8      link: next file history block, or 0
//   32      8      link: comment (MD)
//   40      8      time of the change, ns since 1970-01-01 UTC
//   48      2      time zone offset, minutes (signed)
//   50      2      daylight saving time offset, minutes (signed)
//   52      1      time flags
//   53      3      reserved, written as zero
#pragma once

#include <cstdint>

#include "mdf/blocks/cMdfBlock.h"

// The next block is not a member: the header block's list holds the chain.
struct cMdfBlock_FH_t : cMdfBlock_t {
  cMdfBlockRef comment;
  uint64_t time;           // ns since 1970-01-01 UTC
  int16_t timeZoneOffset;  // minutes
  int16_t daylightOffset;  // minutes
  uint8_t timeFlags;
};

cMdfBlock_FH_t* cMdfBlock_FH_ctor();
// Loads the rest of the chain into `list` first, so the last block is
// checked first and a failing one stops the check of those before it.
bool cMdfBlock_FH_load(cMdfBlock_t* block, cIO* stream, cMdfBlockCache* cache,
                       const cMdfBlockHeader* header, cMdfBlockList* list);
bool cMdfBlock_FH_save(cMdfBlock_t* block, cMdfBlockSaveContext* context,
                       const cMdfBlock_t* next);
void cMdfBlock_FH_dtor(cMdfBlock_t* block);

MDF_BLOCK_CASTS(FH, MDF_BLOCK_FH)
