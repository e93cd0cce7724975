#include "mdf/blocks/cMdfDataStream.h"

#include <cstdlib>
#include <cstring>

#include "log/zf_log.h"
#include "mdf/blocks/cMdfBlock_DL.h"
#include "mdf/blocks/cMdfBlock_DT.h"
#include "mdf/blocks/cMdfBlock_HL.h"

namespace {

// The segment that holds byte `at` (< size): the current one or the next
// in the common case of reading on, else found by bisection.
size_t segmentOf(cMdfDataStream* s, uint64_t at) {
  auto holds = [&](size_t i) {
    return i < s->count && s->segments[i].start <= at &&
           at - s->segments[i].start < s->segments[i].size;
  };
  if (holds(s->current)) return s->current;
  if (holds(s->current + 1)) return s->current + 1;
  size_t low = 0;
  size_t high = s->count;
  while (high - low > 1) {
    const size_t middle = low + (high - low) / 2;
    if (s->segments[middle].start <= at)
      low = middle;
    else
      high = middle;
  }
  return low;
}

// The bytes of a compressed member, inflated into the stream's buffers if
// they do not hold it yet; null when it does not inflate, with *unavailable
// set when that says nothing of its data (a read failed, memory ran out:
// it is tried again on the next read).
const uint8_t* inflated(cMdfDataStream* s, const cMdfBlock_DZ_t* dz,
                        bool* unavailable) {
  if (s->inflated == dz) return s->buffers.plain;
  if (s->broken == dz) return nullptr;
  s->inflated = nullptr;
  cReason reason = {};
  if (!cMdfBlock_DZ_inflate(dz, &s->buffers, &reason, unavailable)) {
    if (!*unavailable) s->broken = dz;
    cReason_log(&reason);
    return nullptr;
  }
  s->inflated = dz;
  return s->buffers.plain;
}

int64_t streamRead(cIO* io, void* dst, uint64_t len) {
  auto* s = static_cast<cMdfDataStream*>(io);
  const uint64_t left = s->pos < s->size ? s->size - s->pos : 0;
  if (len > left) len = left;
  if (len == 0) return 0;
  const size_t i = segmentOf(s, s->pos);
  s->current = i;
  const cMdfDataSegment& segment = s->segments[i];
  const uint64_t within = s->pos - segment.start;
  const uint64_t there = segment.size - within;
  if (len > there) len = there;
  int64_t got = -1;
  if (segment.block->type == MDF_BLOCK_DZ) {
    bool unavailable = false;
    const uint8_t* bytes = inflated(
        s, static_cast<const cMdfBlock_DZ_t*>(segment.block), &unavailable);
    // Compressed data that do not inflate end the data where they begin
    // (the reason is logged once), as a truncated block ends it; a read
    // that failed or memory that ran out fails the read.
    if (!bytes) return unavailable ? -1 : 0;
    memcpy(dst, bytes + within, len);
    got = static_cast<int64_t>(len);
  } else {
    cIO* view = &static_cast<cMdfBlockData_t*>(segment.block)->view;
    if (!cIO_seekTo(view, within)) return -1;
    got = cIO_read(view, dst, len);
  }
  if (got > 0) s->pos += static_cast<uint64_t>(got);
  return got;
}

int64_t streamTell(cIO* io) {
  return static_cast<int64_t>(static_cast<cMdfDataStream*>(io)->pos);
}

int64_t streamSeek(cIO* io, int64_t offset, int whence) {
  auto* s = static_cast<cMdfDataStream*>(io);
  uint64_t origin = 0;
  switch (whence) {
    case CIO_SEEK_SET:
      origin = 0;
      break;
    case CIO_SEEK_CUR:
      origin = s->pos < s->size ? s->pos : s->size;
      break;
    case CIO_SEEK_END:
      origin = s->size;
      break;
    default:
      return -1;
  }
  uint64_t target;
  if (offset < 0) {
    const uint64_t back = 0 - static_cast<uint64_t>(offset);
    target = back > origin ? 0 : origin - back;
  } else {
    const auto forward = static_cast<uint64_t>(offset);
    target = forward > s->size - origin ? s->size : origin + forward;
  }
  s->pos = target;
  return static_cast<int64_t>(target);
}

const cIO_vtable kStreamOperations = {streamRead, nullptr, streamTell,
                                      streamSeek, nullptr};

}  // namespace

bool cMdfDataStream_init(cMdfDataStream* stream) {
  if (!stream) return false;
  *stream = {};
  stream->vtable = &kStreamOperations;
  return true;
}

uint64_t cMdfDataStream_memberSize(const cMdfBlock_t* member) {
  if (!member) return 0;
  switch (member->type) {
    case MDF_BLOCK_DT:
    case MDF_BLOCK_SD:
      return cMdfBlockHeader_getDataSize(member);
    case MDF_BLOCK_DZ:
      return static_cast<const cMdfBlock_DZ_t*>(member)->originalLength;
    default:
      return 0;
  }
}

bool cMdfDataStream_append(cMdfDataStream* stream, cMdfBlock_t* member) {
  if (!stream || !member ||
      (member->type != MDF_BLOCK_DT && member->type != MDF_BLOCK_SD &&
       member->type != MDF_BLOCK_DZ))
    return false;
  const uint64_t size = cMdfDataStream_memberSize(member);
  if (size > static_cast<uint64_t>(INT64_MAX) - stream->size) return false;
  if (stream->count == stream->capacity) {
    const size_t capacity = stream->capacity * 3 / 2 + 4;
    if (capacity > SIZE_MAX / sizeof(cMdfDataSegment)) return false;
    void* grown = realloc(stream->segments, capacity * sizeof(cMdfDataSegment));
    if (!grown) return false;
    stream->segments = static_cast<cMdfDataSegment*>(grown);
    stream->capacity = capacity;
  }
  stream->segments[stream->count++] = {stream->size, size, member};
  stream->size += size;
  return true;
}

void cMdfDataStream_drop(cMdfDataStream* stream) {
  if (!stream) return;
  free(stream->segments);
  cMdfInflateBuffers_drop(&stream->buffers);
  cMdfDataStream_init(stream);
}

cIO* cMdfData_stream(cMdfBlock_t* block, uint64_t* size) {
  if (!block) return nullptr;
  cMdfDataStream* stream = nullptr;
  switch (block->type) {
    case MDF_BLOCK_DT:
    case MDF_BLOCK_SD:
      if (size) *size = cMdfBlockHeader_getDataSize(block);
      return &static_cast<cMdfBlockData_t*>(block)->view;
    case MDF_BLOCK_DL:
      stream = &static_cast<cMdfBlock_DL_t*>(block)->stream;
      break;
    case MDF_BLOCK_DZ:
      stream = static_cast<cMdfBlock_DZ_t*>(block)->stream;
      break;
    case MDF_BLOCK_HL: {
      auto* list = cMdfBlock_t_to_cMdfBlock_DL_t_mut(
          static_cast<cMdfBlock_HL_t*>(block)->list);
      if (list) stream = &list->stream;
      break;
    }
    default:
      break;
  }
  if (!stream) return nullptr;
  if (size) *size = stream->size;
  return stream;
}
