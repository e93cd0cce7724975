// Source information block (SI, type 11): where a channel group's data came
// from, and for bus logging the bus type.
//
//   offset  width  field
//   0       24     header: "##SI", reserved, length, 3 links
//   24      8      link: name (TX), or 0
//   32      8      link: path (TX), or 0
//   40      8      link: comment (MD or TX), or 0
//   48      1      source type (2 = bus)
//   49      1      bus type (0 none, 2 CAN, 3 LIN, others)
//   50      1      flags
//   51      5      reserved
#pragma once

#include <cstdint>
#include <string_view>

#include "mdf/blocks/cMdfBlock.h"

// Source kinds and bus kinds derived at load.
enum : uint32_t {
  MDF_SI_SOURCE_BUS = 2,
  MDF_SI_SOURCE_OTHER = 6,
  MDF_SI_BUS_NONE = 0,
  MDF_SI_BUS_CAN = 2,
  MDF_SI_BUS_LIN = 3,
  MDF_SI_BUS_OTHER = 4,
};

struct cMdfBlock_SI_t : cMdfBlock_t {
  cMdfBlockRef name;
  cMdfBlockRef path;
  cMdfBlockRef comment;
  uint8_t sourceType;   // as read
  uint8_t busType;      // as read
  uint8_t flags;        // as read
  uint32_t sourceKind;  // MDF_SI_SOURCE_*, not written
  uint32_t busKind;     // MDF_SI_BUS_*, not written
};

cMdfBlock_SI_t* cMdfBlock_SI_ctor();
bool cMdfBlock_SI_load(cMdfBlock_t* block, cIO* stream, cMdfBlockCache* cache,
                       const cMdfBlockHeader* header, cMdfBlockList* list);
bool cMdfBlock_SI_save(cMdfBlock_t* block, cMdfBlockSaveContext* context,
                       const cMdfBlock_t* next);
void cMdfBlock_SI_dtor(cMdfBlock_t* block);

// The source kind (2 or 6); 0 for a null block.
uint32_t cMdfBlock_SI_getType(const cMdfBlock_SI_t* block);
// The bus kind (0, 2, 3 or 4); 0 for a null block.
uint32_t cMdfBlock_SI_getBusType(const cMdfBlock_SI_t* block);
// The comment's text when it is an MD or TX block, else an empty view.
std::string_view cMdfBlock_SI_getComment(const cMdfBlock_SI_t* block);

MDF_BLOCK_CASTS(SI, MDF_BLOCK_SI)
