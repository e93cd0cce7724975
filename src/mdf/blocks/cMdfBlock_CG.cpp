#include "mdf/blocks/cMdfBlock_CG.h"

#include <cstring>

#include "log/zf_log.h"
#include "mdf/blocks/cMdfBlock_CN.h"

namespace {

// Link positions.
enum : uint64_t {
  kLinkNext = 0,
  kLinkFirstChannel = 1,
  kLinkAcquisitionName = 2,
  kLinkAcquisitionSource = 3,
  kLinkSampleReduction = 4,
  kLinkComment = 5,
  kLinkCount = 6,
};

enum : uint16_t {
  kFlagVlsd = 0x0001,
  kFlagBusEvent = 0x0002,
  kFlagPlainBusEvent = 0x0004,
};

const cMdfBlock_vtable kGroupOperations = {cMdfBlock_CG_load, cMdfBlock_CG_save,
                                           cMdfBlock_CG_dtor, cMdfBlock_CG_cmp};

void buildRules(cMdfBlock_CG_t* group) {
  for (size_t i = 0; i < cMdfBlockList_size(&group->channels); ++i) {
    createDecodingRulesInner(
        cMdfBlock_t_to_cMdfBlock_CN_t(cMdfBlockList_at(&group->channels, i)),
        &group->rules);
  }
}

}  // namespace

cMdfBlock_CG_t* cMdfBlock_CG_ctor() {
  return cMdfBlock_allocate<cMdfBlock_CG_t>(MDF_BLOCK_CG, &kGroupOperations);
}

bool cMdfBlock_CG_load(cMdfBlock_t* block, cIO* stream, cMdfBlockCache* cache,
                       const cMdfBlockHeader* header, cMdfBlockList* list) {
  cMdfBlock_CG_t* group = cMdfBlock_t_to_cMdfBlock_CG_t_mut(block);
  uint64_t links[kLinkCount];
  if (group == nullptr || header == nullptr ||
      !cMdfBlock_loadHead(group, stream, cache, header, links, kLinkCount) ||
      !cMdfBlock_loadChainLink(stream, links[kLinkNext], cache, list) ||
      !cMdfBlock_loadChainLink(stream, links[kLinkFirstChannel], cache,
                               &group->channels) ||
      !cMdfBlock_loadSingleLink(stream, links[kLinkAcquisitionName], cache,
                                &group->acquisitionName) ||
      !cMdfBlock_loadSingleLink(stream, links[kLinkAcquisitionSource], cache,
                                &group->acquisitionSource)) {
    return false;
  }
  if (links[kLinkSampleReduction] != MDF_NO_LINK) {
    ZF_LOGE("Unsupported parameter present in file");
    return cMdfBlock_refuse(cache, group,
                            "links to a sample reduction block, which is not "
                            "supported");
  }
  if (!cMdfBlock_loadSingleLink(stream, links[kLinkComment], cache,
                                &group->comment)) {
    return false;
  }

  cSerializer s = cMdfBlock_dataSerializer(group, stream);
  if (!cSerializer_readU64(&s, &group->recordId) ||
      !cSerializer_readU64(&s, &group->cycleCount) ||
      !cSerializer_readU16(&s, &group->flags) ||
      !cSerializer_readU16(&s, &group->pathSeparator) ||
      !cSerializer_skip(&s, 4) || !cSerializer_readU32(&s, &group->dataBytes) ||
      !cSerializer_readU32(&s, &group->invalidationBytes)) {
    return cMdfBlock_refuse(cache, group, "its fields could not be read");
  }
  group->vlsd = (group->flags & kFlagVlsd) != 0;
  group->busEvent = (group->flags & kFlagBusEvent) != 0;
  group->plainBusEvent = (group->flags & kFlagPlainBusEvent) != 0;
  buildRules(group);
  return true;
}

bool cMdfBlock_CG_save(cMdfBlock_t* block, cMdfBlockSaveContext* context,
                       const cMdfBlock_t* next) {
  cMdfBlock_CG_t* group = cMdfBlock_t_to_cMdfBlock_CG_t_mut(block);
  if (group == nullptr || context == nullptr ||
      !cMdfBlock_reserve(group, context, false)) {
    return false;
  }
  bool ok = true;
  uint64_t links[kLinkCount];
  links[kLinkNext] = cMdfBlock_linkTo(next);
  links[kLinkFirstChannel] =
      cMdfBlock_saveChain(&group->channels, context, &ok);
  links[kLinkAcquisitionName] =
      cMdfBlock_saveChild(group->acquisitionName, context, &ok);
  links[kLinkAcquisitionSource] =
      cMdfBlock_saveChild(group->acquisitionSource, context, &ok);
  links[kLinkSampleReduction] = 0;
  links[kLinkComment] = cMdfBlock_saveChild(group->comment, context, &ok);

  cSerializer s;
  if (!cMdfBlock_writeHead(group, context, links, kLinkCount, &s)) {
    return false;
  }
  ok = cSerializer_writeU64(&s, group->recordId) && ok;
  ok = cSerializer_writeU64(&s, group->cycleCount) && ok;
  ok = cSerializer_writeU16(&s, group->flags) && ok;
  ok = cSerializer_writeU16(&s, group->pathSeparator) && ok;
  ok = cSerializer_skip(&s, 4) && ok;
  ok = cSerializer_writeU32(&s, group->dataBytes) && ok;
  ok = cSerializer_writeU32(&s, group->invalidationBytes) && ok;
  return ok;
}

void cMdfBlock_CG_dtor(cMdfBlock_t* block) {
  cMdfBlock_CG_t* group = cMdfBlock_t_to_cMdfBlock_CG_t_mut(block);
  if (group == nullptr) return;
  cMdfBlockList_clear(&group->channels);
  cMdfBlockRef_drop(&group->acquisitionName);
  cMdfBlockRef_drop(&group->acquisitionSource);
  cMdfBlockRef_drop(&group->comment);
  cMdfDecodeRuleArray_drop(&group->rules);
}

int cMdfBlock_CG_cmp(const cMdfBlock_t* a, const cMdfBlock_t* b) {
  if (a == b) return 0;
  if (a == nullptr) return 1;
  if (b == nullptr) return -1;
  const int diff = std::memcmp(a, b, sizeof(cMdfBlock_CG_t));
  return diff < 0 ? -1 : diff > 0 ? 1 : 0;
}

bool cMdfBlock_CG_isVLSD(const cMdfBlock_CG_t* group) {
  return group != nullptr && group->vlsd;
}

cMdfDecodeRuleArray* cMdfBlock_CG_getDecodingRules(cMdfBlock_CG_t* group) {
  if (group == nullptr) return nullptr;
  cMdfDecodeRuleArray_clear(&group->rules);
  buildRules(group);
  return &group->rules;
}
