// Channel group block (CG, type 3): one kind of record of a data group, its
// record id and size and the chain of channels that make it up.
//
// On disk (little-endian; 104 bytes, exactly 6 links):
//   offset  width  field
//   0       24     header "##CG", link count 6
//   24      8      link: next channel group
//   32      8      link: first channel (CN)
//   40      8      link: acquisition name (TX)
//   48      8      link: acquisition source (SI)
//   56      8      link: first sample reduction block; must be 0
//   64      8      link: comment (TX or MD)
//   72      8      record id
//   80      8      cycle count
//   88      2      flags: bit 0 VLSD group, bit 1 bus event, bit 2 plain
//                  bus event; other bits are kept and written back
//   90      2      path separator character
//   92      4      reserved: neither read nor written
//   96      4      data bytes (record size without the record id)
//   100     4      invalidation bytes
//
// Besides the file contents the group keeps its decoding rules, one per
// leaf channel, built at load and rebuilt by cMdfBlock_CG_getDecodingRules.
#pragma once

#include <cstdint>

#include "decode/cMdfDecodeRule.h"
#include "mdf/blocks/cMdfBlock.h"

struct cMdfBlock_CG_t : cMdfBlock_t {
  cMdfBlockList channels;  // the channel chain, in chain order
  cMdfBlockRef acquisitionName;
  cMdfBlockRef acquisitionSource;
  cMdfBlockRef comment;
  uint64_t recordId;
  uint64_t cycleCount;
  uint16_t flags;  // as read
  uint16_t pathSeparator;
  uint32_t dataBytes;
  uint32_t invalidationBytes;  // kept, not used for reading records
  bool vlsd;                   // flags bit 0
  bool busEvent;               // flags bit 1
  bool plainBusEvent;          // flags bit 2
  // Owned. The array record stays at this place for the group's life: the
  // data group's record map points at it.
  cMdfDecodeRuleArray rules;
};

MDF_BLOCK_CASTS(CG, MDF_BLOCK_CG)

// A zero-filled group with the CG template's header, or nullptr.
cMdfBlock_CG_t* cMdfBlock_CG_ctor();
bool cMdfBlock_CG_load(cMdfBlock_t* block, cIO* stream, cMdfBlockCache* cache,
                       const cMdfBlockHeader* header, cMdfBlockList* list);
bool cMdfBlock_CG_save(cMdfBlock_t* block, cMdfBlockSaveContext* context,
                       const cMdfBlock_t* next);
void cMdfBlock_CG_dtor(cMdfBlock_t* block);
// Raw comparison of the two records, byte by byte: 0 only for
// bit-identical records, otherwise the sign of the first differing byte.
int cMdfBlock_CG_cmp(const cMdfBlock_t* a, const cMdfBlock_t* b);

// False for a null group.
bool cMdfBlock_CG_isVLSD(const cMdfBlock_CG_t* group);

// Rebuilds the group's rules from its channels, in channel order, and
// returns the group's rule array (the same pointer every time); nullptr for
// a null group.
cMdfDecodeRuleArray* cMdfBlock_CG_getDecodingRules(cMdfBlock_CG_t* group);
