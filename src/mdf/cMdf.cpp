#include "mdf/cMdf.h"

#include <cstdlib>

#include "mdf/blocks/cMdfBlock_DG.h"
#include "mdf/blocks/cMdfBlock_DT.h"
#include "mdf/blocks/cMdfBlock_HD.h"
#include "mdf/blocks/cMdfBlock_ID.h"

namespace {

cMdfBlock_HD_t* headerOf(const cMdf* mdf) {
  const cMdfBlock_ID_t* id = cMdfBlock_t_to_cMdfBlock_ID_t(mdf->root);
  return id ? cMdfBlock_t_to_cMdfBlock_HD_t_mut(id->header) : nullptr;
}

// An unfinalized file may still give its last data block the length of an
// empty one: the logger appended records without coming back to it. The
// data block at the largest offset (of the first group, on a tie) then
// runs to the end of the stream. Without any data block nothing changes,
// the flag included. False when the stream cannot be measured (the block
// would be read short).
bool extendLastDataBlock(cMdf* mdf) {
  auto* id = cMdfBlock_t_to_cMdfBlock_ID_t_mut(mdf->root);
  if (!id || !(id->finalizationFlags & kMdfUnfinalizedLastDataLength))
    return true;
  const cMdfBlockList* groups = cMdf_getDataGroups(mdf);
  cMdfBlock_DT_t* last = nullptr;
  for (size_t i = 0; i < cMdfBlockList_size(groups); ++i) {
    const cMdfBlock_DG_t* group =
        cMdfBlock_t_to_cMdfBlock_DG_t(cMdfBlockList_at(groups, i));
    cMdfBlock_DT_t* data =
        group ? cMdfBlock_t_to_cMdfBlock_DT_t_mut(group->data) : nullptr;
    if (data && (!last || data->fileOffset > last->fileOffset)) last = data;
  }
  if (!last) return true;
  const int64_t size = cIO_getSize(mdf->stream);
  if (size < 0) return false;
  if (static_cast<uint64_t>(size) < last->fileOffset) return true;
  last->length = static_cast<uint64_t>(size) - last->fileOffset;
  id->finalizationFlags &=
      static_cast<uint16_t>(~kMdfUnfinalizedLastDataLength);
  return true;
}

}  // namespace

cMdf* cMdf_open(cIO* stream, cReason* reason, bool anyWriter) {
  if (!stream) {
    cReason_note(reason, kReasonNoOffset, "no stream to read");
    return nullptr;
  }
  auto* mdf = static_cast<cMdf*>(calloc(1, sizeof(cMdf)));
  if (!mdf) {
    cReason_note(reason, kReasonNoOffset, "out of memory");
    return nullptr;
  }
  mdf->stream = stream;
  try {
    mdf->root = cMdfBlock_loadTree(stream, reason, anyWriter);
  } catch (...) {
    cReason_note(reason, kReasonNoOffset, "out of memory");
    mdf->root = {};
  }
  if (!mdf->root.block) {
    cMdf_close(mdf);
    return nullptr;
  }
  if (!extendLastDataBlock(mdf)) {
    cReason_note(reason, kReasonNoOffset, "unable to measure the stream");
    cMdf_close(mdf);
    return nullptr;
  }
  return mdf;
}

void cMdf_close(cMdf* mdf) {
  if (!mdf) return;
  cMdfBlockRef_drop(&mdf->root);
  free(mdf);
}

cMdfBlockList* cMdf_getDataGroups(cMdf* mdf) {
  cMdfBlock_HD_t* hd = mdf ? headerOf(mdf) : nullptr;
  return hd ? &hd->dataGroups : nullptr;
}

double cMdf_getStartTime(const cMdf* mdf, uint32_t utcOnly) {
  const cMdfBlock_HD_t* hd = mdf ? headerOf(mdf) : nullptr;
  if (!hd) return 0.0;
  const double utc = static_cast<double>(hd->startTime) * 1e-9;
  if (utcOnly & 0xFF) return utc;
  return utc + 60.0 * (int32_t{hd->timeZoneOffset} + hd->daylightOffset);
}

int64_t cMdf_getStartTimeNs(const cMdf* mdf) {
  const cMdfBlock_HD_t* hd = mdf ? headerOf(mdf) : nullptr;
  if (!hd) return 0;
  return hd->startTime > static_cast<uint64_t>(INT64_MAX)
             ? INT64_MAX
             : static_cast<int64_t>(hd->startTime);
}

bool cMdf_save(cMdf* mdf, cIO* stream) {
  if (!mdf || !stream) return false;
  try {
    return cMdfBlock_saveTree(mdf->root, stream);
  } catch (...) {
    return false;
  }
}
