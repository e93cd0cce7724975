#include "mdf/blocks/cMdfBlock_HL.h"

namespace {

const cMdfBlock_vtable kOperations = {cMdfBlock_HL_load, cMdfBlock_HL_save,
                                      cMdfBlock_HL_dtor, nullptr};

enum : uint64_t { kLinkList, kLinkCount };

}  // namespace

cMdfBlock_HL_t* cMdfBlock_HL_ctor() {
  return cMdfBlock_allocate<cMdfBlock_HL_t>(MDF_BLOCK_HL, &kOperations);
}

bool cMdfBlock_HL_load(cMdfBlock_t* block, cIO* stream, cMdfBlockCache* cache,
                       const cMdfBlockHeader* header, cMdfBlockList*) {
  auto* hl = static_cast<cMdfBlock_HL_t*>(block);
  uint64_t links[kLinkCount];
  if (!cMdfBlock_loadHead(block, stream, cache, header, links, kLinkCount))
    return false;
  if (links[kLinkList] == MDF_NO_LINK)
    return cMdfBlock_refuse(cache, block, "links no data list");
  if (!cMdfBlock_loadSingleLink(stream, links[kLinkList], cache, &hl->list))
    return false;
  if (hl->list.block->type != MDF_BLOCK_DL)
    return cMdfBlock_refuse(cache, block, "links a %s block, not a data list",
                            cMdfBlockHeader_name(hl->list.block->type));
  // Shared, its data would be read once per holder.
  if (cMdfBlockRef_useCount(hl->list) != 1)
    return cMdfBlock_refuse(cache, block,
                            "links a data list that another block holds");
  cSerializer s = cMdfBlock_dataSerializer(block, stream);
  if (!cSerializer_readU16(&s, &hl->flags) ||
      !cSerializer_readU8(&s, &hl->zipType))
    return cMdfBlock_refuse(cache, block, "its fields could not be read");
  return true;
}

bool cMdfBlock_HL_save(cMdfBlock_t* block, cMdfBlockSaveContext* context,
                       const cMdfBlock_t*) {
  auto* hl = static_cast<cMdfBlock_HL_t*>(block);
  if (!cMdfBlock_reserve(block, context, false)) return false;
  bool ok = true;
  uint64_t links[kLinkCount];
  links[kLinkList] = cMdfBlock_saveChild(hl->list, context, &ok);
  cSerializer s;
  if (!cMdfBlock_writeHead(block, context, links, kLinkCount, &s)) return false;
  // The saved list is in the offsets form: no equal length.
  ok = cSerializer_writeU16(&s, 0) && ok;
  ok = cSerializer_writeU8(&s, hl->zipType) && ok;
  return cMdfBlock_writeTail(block, &s) && ok;  // reserved: zeros
}

void cMdfBlock_HL_dtor(cMdfBlock_t* block) {
  cMdfBlockRef_drop(&static_cast<cMdfBlock_HL_t*>(block)->list);
}
