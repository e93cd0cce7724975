#include "mdf/blocks/cMdfBlock_SI.h"

#include <cstdlib>

#include "mdf/blocks/cMdfBlock_TX.h"

namespace {

const cMdfBlock_vtable kOperations = {cMdfBlock_SI_load, cMdfBlock_SI_save,
                                      cMdfBlock_SI_dtor, nullptr};

enum : uint64_t { kLinkName, kLinkPath, kLinkComment, kLinkCount };

uint32_t busKindOf(uint8_t busType) {
  switch (busType) {
    case 0:
      return MDF_SI_BUS_NONE;
    case 2:
      return MDF_SI_BUS_CAN;
    case 3:
      return MDF_SI_BUS_LIN;
    default:
      return MDF_SI_BUS_OTHER;
  }
}

}  // namespace

cMdfBlock_SI_t* cMdfBlock_SI_ctor() {
  return cMdfBlock_allocate<cMdfBlock_SI_t>(MDF_BLOCK_SI, &kOperations);
}

bool cMdfBlock_SI_load(cMdfBlock_t* block, cIO* stream, cMdfBlockCache* cache,
                       const cMdfBlockHeader* header, cMdfBlockList*) {
  auto* si = static_cast<cMdfBlock_SI_t*>(block);
  uint64_t links[kLinkCount];
  if (!cMdfBlock_loadHead(block, stream, cache, header, links, kLinkCount) ||
      !cMdfBlock_loadSingleLink(stream, links[kLinkName], cache, &si->name) ||
      !cMdfBlock_loadSingleLink(stream, links[kLinkPath], cache, &si->path) ||
      !cMdfBlock_loadSingleLink(stream, links[kLinkComment], cache,
                                &si->comment))
    return false;
  cSerializer s = cMdfBlock_dataSerializer(block, stream);
  if (!cSerializer_readU8(&s, &si->sourceType) ||
      !cSerializer_readU8(&s, &si->busType) ||
      !cSerializer_readU8(&s, &si->flags))
    return cMdfBlock_refuse(cache, block, "its fields could not be read");
  si->sourceKind =
      si->sourceType == 2 ? MDF_SI_SOURCE_BUS : MDF_SI_SOURCE_OTHER;
  si->busKind = busKindOf(si->busType);
  return true;
}

bool cMdfBlock_SI_save(cMdfBlock_t* block, cMdfBlockSaveContext* context,
                       const cMdfBlock_t*) {
  auto* si = static_cast<cMdfBlock_SI_t*>(block);
  if (!cMdfBlock_reserve(block, context, false)) return false;
  bool ok = true;
  uint64_t links[kLinkCount];
  links[kLinkName] = cMdfBlock_saveChild(si->name, context, &ok);
  links[kLinkPath] = cMdfBlock_saveChild(si->path, context, &ok);
  links[kLinkComment] = cMdfBlock_saveChild(si->comment, context, &ok);
  cSerializer s;
  if (!cMdfBlock_writeHead(block, context, links, kLinkCount, &s)) return false;
  ok = cSerializer_writeU8(&s, si->sourceType) && ok;
  ok = cSerializer_writeU8(&s, si->busType) && ok;
  ok = cSerializer_writeU8(&s, si->flags) && ok;
  return cMdfBlock_writeTail(block, &s) && ok;  // reserved: zeros
}

void cMdfBlock_SI_dtor(cMdfBlock_t* block) {
  auto* si = static_cast<cMdfBlock_SI_t*>(block);
  cMdfBlockRef_drop(&si->name);
  cMdfBlockRef_drop(&si->path);
  cMdfBlockRef_drop(&si->comment);
}

uint32_t cMdfBlock_SI_getType(const cMdfBlock_SI_t* block) {
  return block ? block->sourceKind : 0;
}

uint32_t cMdfBlock_SI_getBusType(const cMdfBlock_SI_t* block) {
  return block ? block->busKind : 0;
}

std::string_view cMdfBlock_SI_getComment(const cMdfBlock_SI_t* block) {
  return block ? cMdfBlockText_get(block->comment.block) : "";
}
