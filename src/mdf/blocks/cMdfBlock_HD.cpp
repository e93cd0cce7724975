#include "mdf/blocks/cMdfBlock_HD.h"

#include <cstdlib>
#include <cstring>

#include "log/zf_log.h"
#include "mdf/blocks/cMdfBlock_TX.h"

namespace {

const cMdfBlock_vtable kOperations = {cMdfBlock_HD_load, cMdfBlock_HD_save,
                                      cMdfBlock_HD_dtor, nullptr};

enum : uint64_t {
  kLinkFirstDataGroup,
  kLinkFirstFileHistory,
  kLinkFirstChannelHierarchy,
  kLinkFirstAttachment,
  kLinkFirstEvent,
  kLinkComment,
  kLinkCount,
};

constexpr uint64_t kOffset = 64;

}  // namespace

cMdfBlock_HD_t* cMdfBlock_HD_ctor() {
  return cMdfBlock_allocate<cMdfBlock_HD_t>(MDF_BLOCK_HD, &kOperations);
}

cMdfBlock_HD_t* cMdfBlock_HD_default(cMdfBlock_HD_t* record) {
  if (record) memset(static_cast<void*>(record), 0, sizeof *record);
  return record;
}

bool cMdfBlock_HD_load(cMdfBlock_t* block, cIO* stream, cMdfBlockCache* cache,
                       const cMdfBlockHeader* header, cMdfBlockList*) {
  auto* hd = static_cast<cMdfBlock_HD_t*>(block);
  uint64_t links[kLinkCount];
  if (!cMdfBlock_loadHead(block, stream, cache, header, links, kLinkCount))
    return false;
  // The chains come first, so a file history block's own complaint is
  // heard before the unsupported links are.
  if (!cMdfBlock_loadChainLink(stream, links[kLinkFirstFileHistory], cache,
                               &hd->fileHistory) ||
      !cMdfBlock_loadChainLink(stream, links[kLinkFirstDataGroup], cache,
                               &hd->dataGroups))
    return false;
  // Files of other writers may hold them; reading frames needs none, and
  // they are not kept (a save writes none).
  if (!(cache && cache->anyWriter) &&
      (links[kLinkFirstChannelHierarchy] != MDF_NO_LINK ||
       links[kLinkFirstAttachment] != MDF_NO_LINK ||
       links[kLinkFirstEvent] != MDF_NO_LINK)) {
    ZF_LOGE("Unsupported parameter present in file");
    return cMdfBlock_refuse(cache, block,
                            "links to channel hierarchy, attachment or event "
                            "blocks, which are not supported");
  }
  if (!cMdfBlock_loadSingleLink(stream, links[kLinkComment], cache,
                                &hd->comment))
    return false;

  cSerializer s = cMdfBlock_dataSerializer(block, stream);
  bool ok = cSerializer_readU64(&s, &hd->startTime);
  ok = ok && cSerializer_readI16(&s, &hd->timeZoneOffset);
  ok = ok && cSerializer_readI16(&s, &hd->daylightOffset);
  ok = ok && cSerializer_readU8(&s, &hd->timeFlags);
  ok = ok && cSerializer_readU8(&s, &hd->timeQuality);
  ok = ok && cSerializer_readU8(&s, &hd->flags);
  ok = ok && cSerializer_skip(&s, 1);
  ok = ok && cSerializer_readF64(&s, &hd->startAngle);
  if (!ok || !cSerializer_readF64(&s, &hd->startDistance))
    return cMdfBlock_refuse(cache, block, "its fields could not be read");
  return true;
}

bool cMdfBlock_HD_save(cMdfBlock_t* block, cMdfBlockSaveContext* context,
                       const cMdfBlock_t*) {
  auto* hd = static_cast<cMdfBlock_HD_t*>(block);
  if (context->nextFree != kOffset || !cMdfBlock_reserve(block, context, false))
    return false;
  bool ok = true;
  uint64_t links[kLinkCount] = {};
  links[kLinkFirstDataGroup] =
      cMdfBlock_saveChain(&hd->dataGroups, context, &ok);
  links[kLinkFirstFileHistory] =
      cMdfBlock_saveChain(&hd->fileHistory, context, &ok);
  links[kLinkComment] = cMdfBlock_saveChild(hd->comment, context, &ok);
  cSerializer s;
  if (!cMdfBlock_writeHead(block, context, links, kLinkCount, &s)) return false;
  ok = cSerializer_writeU64(&s, hd->startTime) && ok;
  ok = cSerializer_writeI16(&s, hd->timeZoneOffset) && ok;
  ok = cSerializer_writeI16(&s, hd->daylightOffset) && ok;
  ok = cSerializer_writeU8(&s, hd->timeFlags) && ok;
  ok = cSerializer_writeU8(&s, hd->timeQuality) && ok;
  ok = cSerializer_writeU8(&s, hd->flags) && ok;
  ok = cSerializer_skip(&s, 1) && ok;
  ok = cSerializer_writeF64(&s, hd->startAngle) && ok;
  ok = cSerializer_writeF64(&s, hd->startDistance) && ok;
  return cMdfBlock_writeTail(block, &s) && ok;
}

void cMdfBlock_HD_dtor(cMdfBlock_t* block) {
  auto* hd = static_cast<cMdfBlock_HD_t*>(block);
  cMdfBlockList_clear(&hd->dataGroups);
  cMdfBlockList_clear(&hd->fileHistory);
  cMdfBlockRef_drop(&hd->comment);
}

std::string_view cMdfBlock_HD_getComment(const cMdfBlock_HD_t* block) {
  return block ? cMdfBlockText_get(block->comment.block) : "";
}
