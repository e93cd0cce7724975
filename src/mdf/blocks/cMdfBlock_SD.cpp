#include "mdf/blocks/cMdfBlock_SD.h"

#include <cstdlib>

cMdfBlock_SD_t* cMdfBlock_SD_ctor() {
  return cMdfBlockData_new<cMdfBlock_SD_t>(MDF_BLOCK_SD);
}

cMdfBlock_SD_t* cMdfBlock_SD_ctor_fromIO(cIO* stream) {
  return cMdfBlockData_newFromIO<cMdfBlock_SD_t>(MDF_BLOCK_SD, stream);
}

cIO* cMdfBlock_SD_getIOInterface(cMdfBlock_SD_t* block) {
  return block ? &block->view : nullptr;
}
