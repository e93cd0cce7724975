#include "mdf/cIterator_dgRaw.h"

#include <cstdlib>

#include "mdf/blocks/cMdfBlock_DG.h"

namespace {

void* next(cIterator* iterator) {
  auto* it = static_cast<cIterator_dgRaw*>(iterator);
  if (it->failure != kMdfReadOk) return nullptr;
  const uint32_t size = cMdfBlock_DG_getRecordDataRaw(
      it->file, it->group, it->offset, &it->item, &it->failure);
  if (it->failure != kMdfReadOk) return nullptr;
  // The reader's "no record" (all bits set) and any size beyond the signed
  // 32-bit range end the iteration, and so does a record of no bytes,
  // which would leave the offset where it is.
  if (static_cast<int32_t>(size) <= 0) return nullptr;
  it->offset += size;
  it->lastSize = size;
  return &it->item;
}

void destroy(cIterator* iterator) {
  auto* it = static_cast<cIterator_dgRaw*>(iterator);
  cMdfRawRecord_drop(&it->item);
  free(it);
}

const cIterator_vtable kOperations = {next, destroy};

}  // namespace

cIterator* cIterator_dgRaw_ctor(const cMdf* mdf, cMdfBlock_DG_t* group) {
  if (!mdf) return nullptr;
  auto* it = static_cast<cIterator_dgRaw*>(calloc(1, sizeof(cIterator_dgRaw)));
  if (!it) return nullptr;
  it->vtable = &kOperations;
  it->file = mdf;
  it->group = group;
  return it;
}
