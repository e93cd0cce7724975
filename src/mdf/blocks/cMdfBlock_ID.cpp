#include "mdf/blocks/cMdfBlock_ID.h"

#include <cstdlib>
#include <cstring>

namespace {

const cMdfBlock_vtable kOperations = {cMdfBlock_ID_load, cMdfBlock_ID_save,
                                      cMdfBlock_ID_dtor, nullptr};

constexpr char kFinalized[] = "MDF     ";
constexpr char kUnfinalized[] = "UnFinMF ";
constexpr uint64_t kReservedAfterTexts = 4;
constexpr uint64_t kReservedAfterVersion = 30;

}  // namespace

cMdfBlock_ID_t* cMdfBlock_ID_ctor() {
  return cMdfBlock_allocate<cMdfBlock_ID_t>(MDF_BLOCK_ID, &kOperations);
}

bool cMdfBlock_ID_load(cMdfBlock_t* block, cIO* stream, cMdfBlockCache*,
                       const cMdfBlockHeader*, cMdfBlockList*) {
  auto* id = static_cast<cMdfBlock_ID_t*>(block);
  cSerializer s;
  cSerializer_ctor(&s, stream);
  char ident[8];
  if (!cSerializer_readRaw(&s, ident, sizeof ident) ||
      (memcmp(ident, kFinalized, 8) != 0 &&
       memcmp(ident, kUnfinalized, 8) != 0))
    return false;
  bool ok = cSerializer_readRaw(&s, id->versionText, 8);
  ok = cSerializer_readRaw(&s, id->programText, 8) && ok;
  ok = cSerializer_skip(&s, kReservedAfterTexts) && ok;
  ok = cSerializer_readU16(&s, &id->version) && ok;
  ok = cSerializer_skip(&s, kReservedAfterVersion) && ok;
  ok = cSerializer_readU16(&s, &id->finalizationFlags) && ok;
  return cSerializer_readU16(&s, &id->finalizationFlagsCustom) && ok;
}

bool cMdfBlock_ID_save(cMdfBlock_t* block, cMdfBlockSaveContext* context,
                       const cMdfBlock_t*) {
  auto* id = static_cast<cMdfBlock_ID_t*>(block);
  if (context->nextFree != 0 ||
      !cMdfBlock_seekToWrite(context->stream, 0, block->length) ||
      !cMdfBlock_reserve(block, context, false))
    return false;
  const bool unfinalized =
      id->finalizationFlags != 0 || id->finalizationFlagsCustom != 0;
  cSerializer s;
  cSerializer_ctor(&s, context->stream);
  bool ok =
      cSerializer_writeCsview(&s, unfinalized ? kUnfinalized : kFinalized, 8);
  ok = cSerializer_writeCsview(&s, id->versionText, 8) && ok;
  ok = cSerializer_writeCsview(&s, id->programText, 8) && ok;
  ok = cSerializer_skip(&s, kReservedAfterTexts) && ok;
  ok = cSerializer_writeU16(&s, id->version) && ok;
  ok = cSerializer_skip(&s, kReservedAfterVersion) && ok;
  ok = cSerializer_writeU16(&s, id->finalizationFlags) && ok;
  ok = cSerializer_writeU16(&s, id->finalizationFlagsCustom) && ok;
  return cMdfBlock_save(id->header.block, context, nullptr) != 0 && ok;
}

void cMdfBlock_ID_dtor(cMdfBlock_t* block) {
  cMdfBlockRef_drop(&static_cast<cMdfBlock_ID_t*>(block)->header);
}

uint16_t cMdfBlock_ID_getFinalizationFlags(const cMdfBlock_ID_t* block) {
  return block ? block->finalizationFlags : 0;
}

uint16_t cMdfBlock_ID_getFinalizationFlagsCustom(const cMdfBlock_ID_t* block) {
  return block ? block->finalizationFlagsCustom : 0;
}
