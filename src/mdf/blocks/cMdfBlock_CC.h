// Channel conversion block (CC, type 2): how a channel's raw value becomes
// a physical value. Stored as read; the decoding rules decide which
// conversion types they support. Only conversions without references to
// other blocks are accepted (exactly 4 links).
//
//   offset  width  field
//   0       24     header: "##CC", reserved, length, 4 links
//   24      8      link: name (TX), or 0
//   32      8      link: unit (MD or TX), or 0
//   40      8      link: comment (MD or TX), or 0
//   48      8      link: inverse conversion (CC), or 0
//   56      1      conversion type
//   57      1      precision (decimal places)
//   58      2      flags
//   60      2      reference count (0 in every accepted block)
//   62      2      value count n
//   64      8      physical range minimum (binary64)
//   72      8      physical range maximum (binary64)
//   80      8 * n  conversion parameters (binary64 each)
#pragma once

#include <cstdint>

#include "decode/cMdfConversionRule.h"
#include "mdf/blocks/cMdfBlock.h"

struct cMdfBlock_CC_t : cMdfBlock_t {
  cMdfBlockRef name;
  cMdfBlockRef unit;
  cMdfBlockRef comment;
  cMdfBlockRef inverse;  // a full conversion block itself
  uint8_t conversionType;
  uint8_t precision;
  uint16_t flags;
  uint16_t referenceCount;  // stored, not interpreted
  uint16_t valueCount;
  double rangeMin;
  double rangeMax;
  double* values;  // owned, valueCount entries; nullptr when 0
  // The conversion rule of the parameters, built by the decoding rules on
  // their first use of the block (no operation table until then); every
  // channel's rule is a clone of it, so channels sharing the block share
  // its value table. Owned.
  cMdfConversionRule rule;
};

cMdfBlock_CC_t* cMdfBlock_CC_ctor();
// The parameters must lie inside the block's length.
bool cMdfBlock_CC_load(cMdfBlock_t* block, cIO* stream, cMdfBlockCache* cache,
                       const cMdfBlockHeader* header, cMdfBlockList* list);
bool cMdfBlock_CC_save(cMdfBlock_t* block, cMdfBlockSaveContext* context,
                       const cMdfBlock_t* next);
void cMdfBlock_CC_dtor(cMdfBlock_t* block);

// The conversion type and the number of parameters; 0 for a null block.
uint8_t cMdfBlock_CC_getConversionType(const cMdfBlock_CC_t* block);
uint16_t cMdfBlock_CC_getValueCount(const cMdfBlock_CC_t* block);
// Stores parameter `index` in *out and returns true when block and out are
// non-null and index < value count; otherwise false, *out untouched.
bool cMdfBlock_CC_getParameter(const cMdfBlock_CC_t* block, uint64_t index,
                               double* out);

MDF_BLOCK_CASTS(CC, MDF_BLOCK_CC)
