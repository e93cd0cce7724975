#include "mdf/blocks/cMdfBlock_MD.h"

#include <cstdlib>

namespace {

const cMdfBlock_vtable kOperations = {cMdfBlock_TX_load, cMdfBlock_TX_save,
                                      cMdfBlock_TX_dtor, nullptr};

}  // namespace

cMdfBlock_MD_t* cMdfBlock_MD_ctor() {
  return cMdfBlock_allocate<cMdfBlock_MD_t>(MDF_BLOCK_MD, &kOperations);
}

std::string_view cMdfBlock_MD_getText(const cMdfBlock_MD_t* block) {
  return cMdfBlockText_get(block);
}
