// Data group block (DG, type 5): ties a data block, which holds the
// records, to the channel groups that describe them.
//
// On disk (little-endian; 64 bytes, exactly 4 links):
//   offset  width  field
//   0       24     header "##DG", link count 4
//   24      8      link: next data group
//   32      8      link: first channel group (CG)
//   40      8      link: data block (DT)
//   48      8      link: comment (TX or MD)
//   56      1      record id size in bytes: 0 (sorted: the records of one
//                  channel group, without ids) or 1, 2, 4, 8 (unsorted)
//   57      7      reserved, written as zero
//
// Besides the file contents the group keeps its record map (built at load,
// see decode/cMdfRecordGroupInfo.h for record access). Reading its frames
// is for a bus message container over it (mdf/cMdfBusMsgContainer.h), which
// its user makes.
#pragma once

#include <cstdint>

#include "decode/cMdfRecordGroupInfo.h"
#include "mdf/blocks/cMdfBlock.h"

// Record ids are read into 64-bit values: larger id sizes are refused.
constexpr uint8_t kMdfMaxRecordIdSize = 8;

struct cMdfBlock_DG_t : cMdfBlock_t {
  cMdfBlockList channelGroups;  // the channel group chain, in chain order
  cMdfBlockRef data;            // the data block; null for no link
  cMdfBlockRef comment;         // null for no link
  uint8_t recordIdSize;         // 0 to kMdfMaxRecordIdSize
  cMdfRecordMap recordMap;      // owned; its entries own nothing
  // Loaded for any writer (cMdfBlockCache::anyWriter): the record map
  // decodes by the conventions of other bus-logging writers too
  // (cMdfBlock_DG_updateRecordMap).
  bool anyWriter;
};

MDF_BLOCK_CASTS(DG, MDF_BLOCK_DG)

// A zero-filled group with the DG template's header, no channel groups and
// an empty record map; nullptr when memory runs out.
cMdfBlock_DG_t* cMdfBlock_DG_ctor();
// Loads the next data group into `list`, the channel groups, the data block
// and the comment, reads the record id size and builds the record map.
// Fails for a link count other than 4, a link that yields no block, a
// data block that another block links too ("Could not parse block at
// offset %lu" with its offset), a record id size above kMdfMaxRecordIdSize,
// or a short block.
bool cMdfBlock_DG_load(cMdfBlock_t* block, cIO* stream, cMdfBlockCache* cache,
                       const cMdfBlockHeader* header, cMdfBlockList* list);
// Writes the group and, behind it, its channel groups, data block and
// comment. The channel group chain is written in list order (so that a
// VLSD channel group, also reached through a channel's data link, keeps its
// place in the chain), unlike the other chains of a save pass.
bool cMdfBlock_DG_save(cMdfBlock_t* block, cMdfBlockSaveContext* context,
                       const cMdfBlock_t* next);
// Drops the channel groups, data block and comment and frees the record
// map.
void cMdfBlock_DG_dtor(cMdfBlock_t* block);

// True exactly when the record id size is 0 and the group holds exactly one
// channel group; false for a null group.
bool cMdfBlock_DG_isSorted(const cMdfBlock_DG_t* group);
