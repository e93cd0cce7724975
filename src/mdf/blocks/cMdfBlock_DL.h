// Data list block (DL, type 13): the data of a data group (or of a
// channel's signal data) held in several blocks, which read one after
// another are the data, as one data block's section would be. Lists chain:
// the first list's members come first, then those of its next list.
//
// On disk (little-endian):
//   offset      width  field
//   0           24     header "##DL", 1 + N links
//   24          8      link: next data list (DL), or 0
//   32          8 * N  links: the members, DT, SD or DZ blocks, in order
//   32+8N       1      flags: bit 0, equal length
//   33+8N       3      reserved
//   36+8N       4      member count N
//   40+8N       8      equal length (flag bit 0): the bytes of every
//                      member but the last, which may hold fewer
//           or  8 * N  offsets (no flag bit 0): each member's first byte
//                      within the data
//   (MDF 4.2 lists may follow with time, angle or distance values of the
//   members; they are not read.)
//
// The first list of a chain loads the whole chain: it walks the next links
// in a loop (a cycle, or a next list some other block holds, is refused)
// and holds the members of every list of the chain, and the stream over
// their data (cMdfDataStream.h). Every member must belong to this list
// alone, and its size must agree with the equal length or the offsets.
#pragma once

#include <cstdint>

#include "mdf/blocks/cMdfBlock.h"
#include "mdf/blocks/cMdfDataStream.h"

struct cMdfBlock_DL_t : cMdfBlock_t {
  cMdfBlockList members;  // of the whole chain, in data order
  cMdfDataStream stream;  // the members' data as one stream
};

MDF_BLOCK_CASTS(DL, MDF_BLOCK_DL)

// A zero-filled list with the DL template's header and an empty stream, or
// nullptr.
cMdfBlock_DL_t* cMdfBlock_DL_ctor();
bool cMdfBlock_DL_load(cMdfBlock_t* block, cIO* stream, cMdfBlockCache* cache,
                       const cMdfBlockHeader* header, cMdfBlockList* list);
// Writes the chain as one list of every member, in the offsets form.
bool cMdfBlock_DL_save(cMdfBlock_t* block, cMdfBlockSaveContext* context,
                       const cMdfBlock_t* next);
void cMdfBlock_DL_dtor(cMdfBlock_t* block);
