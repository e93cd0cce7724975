// Identification block (ID, type 1): the first 64 bytes of every MF4 file,
// without the common block header. Root of the loaded tree: it holds the
// header block found at offset 64.
//
//   offset  width  field
//   0       8      file identifier: "MDF     " (finalized) or "UnFinMF "
//   8       8      format version text
//   16      8      program identifier text
//   24      4      reserved
//   28      2      format version number
//   30      30     reserved
//   60      2      standard unfinalized flags
//   62      2      custom unfinalized flags
#pragma once

#include <cstdint>

#include "mdf/blocks/cMdfBlock.h"

struct cMdfBlock_ID_t : cMdfBlock_t {
  cMdfBlockRef header;  // the header block (HD), owned; set by loadTree
  char versionText[8];  // exactly the 8 bytes of the file, not terminated
  char programText[8];  // likewise
  uint16_t version;     // format version number, e.g. 410
  uint16_t finalizationFlags;        // standard unfinalized flags
  uint16_t finalizationFlagsCustom;  // custom unfinalized flags
};

// Empty texts (8 zero bytes each), zero numbers, no header block.
cMdfBlock_ID_t* cMdfBlock_ID_ctor();
// Needs no cache and no list; the stream stands at the block's start.
bool cMdfBlock_ID_load(cMdfBlock_t* block, cIO* stream, cMdfBlockCache* cache,
                       const cMdfBlockHeader* header, cMdfBlockList* list);
// Must be the first block of the pass: writes offset 0, then the header
// block, which lands at 64. "UnFinMF " is written when a flag is set.
bool cMdfBlock_ID_save(cMdfBlock_t* block, cMdfBlockSaveContext* context,
                       const cMdfBlock_t* next);
void cMdfBlock_ID_dtor(cMdfBlock_t* block);

// 0 for a null block.
uint16_t cMdfBlock_ID_getFinalizationFlags(const cMdfBlock_ID_t* block);
uint16_t cMdfBlock_ID_getFinalizationFlagsCustom(const cMdfBlock_ID_t* block);

MDF_BLOCK_CASTS(ID, MDF_BLOCK_ID)
