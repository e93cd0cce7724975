#include "mdf/blocks/cMdfBlock_DG.h"

#include "log/zf_log.h"

namespace {

const cMdfBlock_vtable kOperations = {cMdfBlock_DG_load, cMdfBlock_DG_save,
                                      cMdfBlock_DG_dtor, nullptr};

enum : uint64_t {
  kLinkNext,
  kLinkFirstChannelGroup,
  kLinkData,
  kLinkComment,
  kLinkCount,
};

}  // namespace

cMdfBlock_DG_t* cMdfBlock_DG_ctor() {
  return cMdfBlock_allocate<cMdfBlock_DG_t>(MDF_BLOCK_DG, &kOperations);
}

bool cMdfBlock_DG_load(cMdfBlock_t* block, cIO* stream, cMdfBlockCache* cache,
                       const cMdfBlockHeader* header, cMdfBlockList* list) {
  auto* group = static_cast<cMdfBlock_DG_t*>(block);
  // The base keeps the template's header: a data group is 64 bytes with 4
  // links whatever length the file gives it.
  uint64_t links[kLinkCount];
  if (!header) return false;
  if (header->linkCount != kLinkCount)
    return cMdfBlock_refuse(cache, block, "%llu links, needs %llu",
                            static_cast<unsigned long long>(header->linkCount),
                            static_cast<unsigned long long>(kLinkCount));
  if (!cMdfBlock_loadLinks(stream, header, links, kLinkCount))
    return cMdfBlock_refuse(cache, block, "its links could not be read");
  if (!cMdfBlock_loadChainLink(stream, links[kLinkNext], cache, list) ||
      !cMdfBlock_loadChainLink(stream, links[kLinkFirstChannelGroup], cache,
                               &group->channelGroups) ||
      !cMdfBlock_loadSingleLink(stream, links[kLinkData], cache,
                                &group->data) ||
      !cMdfBlock_loadSingleLink(stream, links[kLinkComment], cache,
                                &group->comment))
    return false;
  // A data block holds the records of one data group. Shared by several,
  // it would yield its records once per group: a small file could make
  // the reader deliver the same frames thousands of times over.
  if (group->data.block && cMdfBlockRef_useCount(group->data) != 1) {
    ZF_LOGE("Could not parse block at offset %lu",
            static_cast<unsigned long>(group->data.block->fileOffset));
    return cMdfBlock_refuse(cache, group->data.block,
                            "data block of more than one data group");
  }
  cSerializer s = cMdfBlock_dataSerializer(block, stream);
  if (!cSerializer_readU8(&s, &group->recordIdSize))
    return cMdfBlock_refuse(cache, block, "its fields could not be read");
  if (group->recordIdSize > kMdfMaxRecordIdSize)
    return cMdfBlock_refuse(
        cache, block, "record id size %u above kMdfMaxRecordIdSize (%u)",
        unsigned{group->recordIdSize}, unsigned{kMdfMaxRecordIdSize});
  group->anyWriter = cache && cache->anyWriter;
  if (!cMdfBlock_DG_updateRecordMap(group))
    return cMdfBlock_refuse(cache, block, "out of memory");
  return true;
}

bool cMdfBlock_DG_save(cMdfBlock_t* block, cMdfBlockSaveContext* context,
                       const cMdfBlock_t* next) {
  auto* group = static_cast<cMdfBlock_DG_t*>(block);
  if (!cMdfBlock_reserve(block, context, false)) return false;
  bool ok = true;
  uint64_t links[kLinkCount];
  links[kLinkNext] = cMdfBlock_linkTo(next);
  links[kLinkFirstChannelGroup] =
      cMdfBlock_saveChain(&group->channelGroups, context, &ok);
  links[kLinkData] = cMdfBlock_saveChild(group->data, context, &ok);
  links[kLinkComment] = cMdfBlock_saveChild(group->comment, context, &ok);
  cSerializer s;
  if (!cMdfBlock_writeHead(block, context, links, kLinkCount, &s)) return false;
  ok = cSerializer_writeU8(&s, group->recordIdSize) && ok;
  return cMdfBlock_writeTail(block, &s) && ok;  // reserved: zeros
}

void cMdfBlock_DG_dtor(cMdfBlock_t* block) {
  auto* group = static_cast<cMdfBlock_DG_t*>(block);
  cMdfBlockList_clear(&group->channelGroups);
  cMdfBlockRef_drop(&group->data);
  cMdfBlockRef_drop(&group->comment);
  cMdfRecordMap_drop(&group->recordMap);
}

bool cMdfBlock_DG_isSorted(const cMdfBlock_DG_t* group) {
  return group && group->recordIdSize == 0 &&
         cMdfBlockList_size(&group->channelGroups) == 1;
}
