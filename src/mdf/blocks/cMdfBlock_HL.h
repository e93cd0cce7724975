// Header list block (HL, type 15): the entry to a data list (DL) of
// compressed blocks, as writers of MDF 4.1 put it in front of such a list.
// Its data are the list's.
//
// On disk (little-endian):
//   offset  width  field
//   0       24     header "##HL", 1 link
//   24      8      link: the first data list (DL)
//   32      2      flags (bit 0: the list's members are of equal length)
//   34      1      zip type of the list's DZ blocks
//   35      5      reserved
#pragma once

#include <cstdint>

#include "mdf/blocks/cMdfBlock.h"

struct cMdfBlock_HL_t : cMdfBlock_t {
  cMdfBlockRef list;  // the data list (DL), owned
  uint16_t flags;
  uint8_t zipType;
};

MDF_BLOCK_CASTS(HL, MDF_BLOCK_HL)

// A zero-filled block with the HL template's header, or nullptr.
cMdfBlock_HL_t* cMdfBlock_HL_ctor();
// Loads the list; refuses a link to no block or to another kind than DL.
bool cMdfBlock_HL_load(cMdfBlock_t* block, cIO* stream, cMdfBlockCache* cache,
                       const cMdfBlockHeader* header, cMdfBlockList* list);
bool cMdfBlock_HL_save(cMdfBlock_t* block, cMdfBlockSaveContext* context,
                       const cMdfBlock_t* next);
void cMdfBlock_HL_dtor(cMdfBlock_t* block);
