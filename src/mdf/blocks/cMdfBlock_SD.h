// Signal data block (SD, type 10): the variable-length values (for example
// frame payloads) that records point into. Identical to the data block
// (cMdfBlock_DT.h) except for type, id "##SD" and the missing data-offset
// accessor.
#pragma once

#include "mdf/blocks/cMdfBlock.h"
#include "mdf/blocks/cMdfBlock_DT.h"
#include "streams/cIO.h"

struct cMdfBlock_SD_t : cMdfBlockData_t {};

cMdfBlock_SD_t* cMdfBlock_SD_ctor();
// See cMdfBlock_DT_ctor_fromIO.
cMdfBlock_SD_t* cMdfBlock_SD_ctor_fromIO(cIO* stream);

// The view as a stream; nullptr for a null block.
cIO* cMdfBlock_SD_getIOInterface(cMdfBlock_SD_t* block);

MDF_BLOCK_CASTS(SD, MDF_BLOCK_SD)
