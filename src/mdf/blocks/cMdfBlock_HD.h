// Header block (HD, type 8): at file offset 64, the entry to everything
// recorded: data groups, file history, start time and the comment whose XML
// carries the file's metadata. Files with channel hierarchies, attachments
// or events are refused ("Unsupported parameter present in file").
//
//   offset  width  field
//   0       24     header: "##HD", reserved, length, 6 links
//   24      8      link: first data group (DG)
//   32      8      link: first file history block (FH)
//   40      8      link: first channel hierarchy block, must be 0
//   48      8      link: first attachment block, must be 0
//   56      8      link: first event block, must be 0
//   64      8      link: comment (MD or TX), or 0
//   72      8      start time, ns since 1970-01-01 UTC
//   80      2      time zone offset, minutes (signed)
//   82      2      daylight saving time offset, minutes (signed)
//   84      1      time flags
//   85      1      time quality class
//   86      1      flags
//   87      1      reserved
//   88      8      start angle, rad (binary64)
//   96      8      start distance, m (binary64)
#pragma once

#include <cstdint>
#include <string_view>

#include "mdf/blocks/cMdfBlock.h"

struct cMdfBlock_HD_t : cMdfBlock_t {
  cMdfBlockList dataGroups;   // chain order
  cMdfBlockList fileHistory;  // chain order
  cMdfBlockRef comment;       // may be null
  uint64_t startTime;         // ns since 1970-01-01 UTC
  int16_t timeZoneOffset;     // minutes
  int16_t daylightOffset;     // minutes
  uint8_t timeFlags;
  uint8_t timeQuality;
  uint8_t flags;
  double startAngle;     // rad
  double startDistance;  // m
};

cMdfBlock_HD_t* cMdfBlock_HD_ctor();
// Fills a caller's record with zeros, base included, and returns it.
cMdfBlock_HD_t* cMdfBlock_HD_default(cMdfBlock_HD_t* record);
bool cMdfBlock_HD_load(cMdfBlock_t* block, cIO* stream, cMdfBlockCache* cache,
                       const cMdfBlockHeader* header, cMdfBlockList* list);
// Must land at offset 64, right after the identification block.
bool cMdfBlock_HD_save(cMdfBlock_t* block, cMdfBlockSaveContext* context,
                       const cMdfBlock_t* next);
void cMdfBlock_HD_dtor(cMdfBlock_t* block);

// The comment's text when it is an MD or TX block, else an empty view.
std::string_view cMdfBlock_HD_getComment(const cMdfBlock_HD_t* block);

MDF_BLOCK_CASTS(HD, MDF_BLOCK_HD)
