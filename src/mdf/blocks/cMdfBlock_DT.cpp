#include "mdf/blocks/cMdfBlock_DT.h"

#include <cstdlib>

namespace {

const cMdfBlock_vtable kOperations = {cMdfBlock_DT_load, cMdfBlock_DT_save,
                                      cMdfBlock_DT_dtor, nullptr};

uint64_t dataSize(const cMdfBlockData_t* block) {
  return cMdfBlockHeader_getDataSize(block);
}

// Puts the source at data offset + target; false when it does not get there.
bool seekSource(const cMdfBlockData_t* block, uint64_t target) {
  const uint64_t at = block->dataOffset + target;
  return at >= target && cIO_seekTo(block->source, at);
}

int64_t viewRead(cIO* io, void* dst, uint64_t len) {
  auto* view = static_cast<cMdfBlockDataView*>(io);
  const uint64_t n = dataSize(view->block);
  const uint64_t left = view->pos < n ? n - view->pos : 0;
  if (len > left) len = left;
  if (len == 0) return 0;
  if (!seekSource(view->block, view->pos)) {
    // A source that ends before the place is the end of the data (a
    // truncated file); any other way of not getting there is an error.
    const uint64_t at = view->block->dataOffset + view->pos;
    const int64_t size = cIO_getSize(view->block->source);
    const bool beyond =
        at < view->pos || (size >= 0 && static_cast<uint64_t>(size) <= at);
    return beyond ? 0 : -1;
  }
  const int64_t got = cIO_read(view->block->source, dst, len);
  if (got > 0) view->pos += static_cast<uint64_t>(got);
  return got;
}

int64_t viewTell(cIO* io) {
  return static_cast<int64_t>(static_cast<cMdfBlockDataView*>(io)->pos);
}

// Clamps origin + offset into [0, n].
uint64_t clampedMove(uint64_t origin, int64_t offset, uint64_t n) {
  if (offset < 0) {
    const uint64_t back = 0 - static_cast<uint64_t>(offset);
    return back > origin ? 0 : origin - back;
  }
  const auto forward = static_cast<uint64_t>(offset);
  return forward > n - origin ? n : origin + forward;
}

int64_t viewSeek(cIO* io, int64_t offset, int whence) {
  auto* view = static_cast<cMdfBlockDataView*>(io);
  const uint64_t n = dataSize(view->block);
  uint64_t target;
  switch (whence) {
    case CIO_SEEK_SET: {
      const auto position = static_cast<uint64_t>(offset);
      target = position < n ? position : n;
      break;
    }
    case CIO_SEEK_CUR:
      target = clampedMove(view->pos < n ? view->pos : n, offset, n);
      break;
    case CIO_SEEK_END:
      target = clampedMove(n, offset, n);
      break;
    default:
      return -1;
  }
  // The source is sought by the next read: a seek within the data always
  // succeeds, so that failing to get there is the read's failure.
  view->pos = target;
  return static_cast<int64_t>(target);
}

const cIO_vtable kViewOperations = {viewRead, nullptr, viewTell, viewSeek,
                                    nullptr};

}  // namespace

cMdfBlockData_t* cMdfBlockData_init(cMdfBlockData_t* block, uint32_t type) {
  if (!block) return nullptr;
  cMdfBlock_ctorInPlace(block, cMdfBlockHeader_template(type), &kOperations);
  block->view.vtable = &kViewOperations;
  block->view.block = block;
  return block;
}

bool cMdfBlockData_adopt(cMdfBlockData_t* block, cIO* stream) {
  if (!block || !stream) return false;
  const int64_t size = cIO_getSize(stream);
  if (size < 0 || cIO_seek(stream, 0, CIO_SEEK_SET) != 0) return false;
  block->length = MDF_BLOCK_HEADER_SIZE + static_cast<uint64_t>(size);
  block->dataOffset = 0;
  block->source = stream;
  block->ownsSource = true;
  return true;
}

cMdfBlock_DT_t* cMdfBlock_DT_ctor() {
  return cMdfBlockData_new<cMdfBlock_DT_t>(MDF_BLOCK_DT);
}

cMdfBlock_DT_t* cMdfBlock_DT_ctor_fromIO(cIO* stream) {
  return cMdfBlockData_newFromIO<cMdfBlock_DT_t>(MDF_BLOCK_DT, stream);
}

bool cMdfBlock_DT_load(cMdfBlock_t* block, cIO* stream, cMdfBlockCache*,
                       const cMdfBlockHeader* header, cMdfBlockList*) {
  auto* data = static_cast<cMdfBlockData_t*>(block);
  // Type and link count stay the kind's: the data follow the 24 bytes.
  block->length = header->length;
  data->dataOffset = block->fileOffset + MDF_BLOCK_HEADER_SIZE;
  data->source = stream;
  data->ownsSource = false;
  data->view.pos = 0;
  return true;
}

bool cMdfBlock_DT_save(cMdfBlock_t* block, cMdfBlockSaveContext* context,
                       const cMdfBlock_t*) {
  auto* data = static_cast<cMdfBlockData_t*>(block);
  if (data->ownsSource) {
    const int64_t size = cIO_getSize(data->source);
    if (size < 0) return false;
    block->length = MDF_BLOCK_HEADER_SIZE + static_cast<uint64_t>(size);
  }
  cSerializer s;
  if (!cMdfBlock_reserve(block, context, true) ||
      !cMdfBlock_writeHead(block, context, nullptr, 0, &s))
    return false;
  data->view.pos = 0;
  cIO_cat(&data->view, context->stream);
  return cMdfBlock_checkSavePosition(context,
                                     block->fileOffset + block->length);
}

void cMdfBlock_DT_dtor(cMdfBlock_t* block) {
  auto* data = static_cast<cMdfBlockData_t*>(block);
  if (data->ownsSource) cIO_close(data->source);
  data->source = nullptr;
  data->ownsSource = false;
}

cIO* cMdfBlock_DT_getIOInterface(cMdfBlock_DT_t* block) {
  return block ? &block->view : nullptr;
}

uint64_t cMdfBlock_DT_getDataOffset(const cMdfBlock_DT_t* block) {
  return block ? block->dataOffset : 0;
}
