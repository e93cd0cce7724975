#include "mdf/blocks/cMdfBlock_CC.h"

#include <cstdlib>

namespace {

const cMdfBlock_vtable kOperations = {cMdfBlock_CC_load, cMdfBlock_CC_save,
                                      cMdfBlock_CC_dtor, nullptr};

enum : uint64_t {
  kLinkName,
  kLinkUnit,
  kLinkComment,
  kLinkInverse,
  kLinkCount
};

// Header, links and fixed fields before the parameters.
constexpr uint64_t kFixedLength = 80;

}  // namespace

cMdfBlock_CC_t* cMdfBlock_CC_ctor() {
  return cMdfBlock_allocate<cMdfBlock_CC_t>(MDF_BLOCK_CC, &kOperations);
}

bool cMdfBlock_CC_load(cMdfBlock_t* block, cIO* stream, cMdfBlockCache* cache,
                       const cMdfBlockHeader* header, cMdfBlockList*) {
  auto* cc = static_cast<cMdfBlock_CC_t*>(block);
  uint64_t links[kLinkCount];
  if (!cMdfBlock_loadHead(block, stream, cache, header, links, kLinkCount) ||
      !cMdfBlock_loadSingleLink(stream, links[kLinkName], cache, &cc->name) ||
      !cMdfBlock_loadSingleLink(stream, links[kLinkUnit], cache, &cc->unit) ||
      !cMdfBlock_loadSingleLink(stream, links[kLinkComment], cache,
                                &cc->comment) ||
      !cMdfBlock_loadSingleLink(stream, links[kLinkInverse], cache,
                                &cc->inverse))
    return false;
  cSerializer s = cMdfBlock_dataSerializer(block, stream);
  bool ok = cSerializer_readU8(&s, &cc->conversionType);
  ok = ok && cSerializer_readU8(&s, &cc->precision);
  ok = ok && cSerializer_readU16(&s, &cc->flags);
  ok = ok && cSerializer_readU16(&s, &cc->referenceCount);
  ok = ok && cSerializer_readU16(&s, &cc->valueCount);
  ok = ok && cSerializer_readF64(&s, &cc->rangeMin);
  ok = ok && cSerializer_readF64(&s, &cc->rangeMax);
  if (!ok)
    return cMdfBlock_refuse(cache, block, "its fields could not be read");
  if (cc->valueCount == 0) return true;
  const uint64_t bytes = 8 * uint64_t{cc->valueCount};
  if (bytes > block->length - kFixedLength)
    return cMdfBlock_refuse(cache, block,
                            "%u values do not fit in its length %llu",
                            unsigned{cc->valueCount},
                            static_cast<unsigned long long>(block->length));
  if (!cMdfBlock_fitsInStream(stream, cache, block->fileOffset + kFixedLength,
                              bytes))
    return cMdfBlock_refuse(cache, block,
                            "%u values run past the end of the file",
                            unsigned{cc->valueCount});
  cc->values = static_cast<double*>(malloc(bytes));
  if (!cc->values) return cMdfBlock_refuse(cache, block, "out of memory");
  for (uint16_t i = 0; i < cc->valueCount; ++i)
    if (!cSerializer_readF64(&s, &cc->values[i]))
      return cMdfBlock_refuse(cache, block, "its values could not be read");
  return true;
}

bool cMdfBlock_CC_save(cMdfBlock_t* block, cMdfBlockSaveContext* context,
                       const cMdfBlock_t*) {
  auto* cc = static_cast<cMdfBlock_CC_t*>(block);
  // A block built in memory may hold more parameters than its length says.
  const uint64_t needed = kFixedLength + 8 * uint64_t{cc->valueCount};
  if (block->length < needed) block->length = needed;
  if (!cMdfBlock_reserve(block, context, false)) return false;
  bool ok = true;
  uint64_t links[kLinkCount];
  links[kLinkName] = cMdfBlock_saveChild(cc->name, context, &ok);
  links[kLinkUnit] = cMdfBlock_saveChild(cc->unit, context, &ok);
  links[kLinkComment] = cMdfBlock_saveChild(cc->comment, context, &ok);
  links[kLinkInverse] = cMdfBlock_saveChild(cc->inverse, context, &ok);
  cSerializer s;
  if (!cMdfBlock_writeHead(block, context, links, kLinkCount, &s)) return false;
  ok = cSerializer_writeU8(&s, cc->conversionType) && ok;
  ok = cSerializer_writeU8(&s, cc->precision) && ok;
  ok = cSerializer_writeU16(&s, cc->flags) && ok;
  ok = cSerializer_writeU16(&s, cc->referenceCount) && ok;
  ok = cSerializer_writeU16(&s, cc->valueCount) && ok;
  ok = cSerializer_writeF64(&s, cc->rangeMin) && ok;
  ok = cSerializer_writeF64(&s, cc->rangeMax) && ok;
  for (uint16_t i = 0; i < cc->valueCount; ++i)
    ok = cSerializer_writeF64(&s, cc->values ? cc->values[i] : 0.0) && ok;
  return cMdfBlock_writeTail(block, &s) && ok;
}

void cMdfBlock_CC_dtor(cMdfBlock_t* block) {
  auto* cc = static_cast<cMdfBlock_CC_t*>(block);
  cMdfBlockRef_drop(&cc->name);
  cMdfBlockRef_drop(&cc->unit);
  cMdfBlockRef_drop(&cc->comment);
  cMdfBlockRef_drop(&cc->inverse);
  free(cc->values);
  cc->values = nullptr;
  cMdfConversionRule_drop(&cc->rule);
  cc->rule = {};
}

bool cMdfBlock_CC_getParameter(const cMdfBlock_CC_t* block, uint64_t index,
                               double* out) {
  if (!block || !out || !block->values || index >= block->valueCount)
    return false;
  *out = block->values[index];
  return true;
}

uint8_t cMdfBlock_CC_getConversionType(const cMdfBlock_CC_t* block) {
  return block ? block->conversionType : 0;
}

uint16_t cMdfBlock_CC_getValueCount(const cMdfBlock_CC_t* block) {
  return block ? block->valueCount : 0;
}
