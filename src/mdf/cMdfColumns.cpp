#include "mdf/cMdfColumns.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <thread>

#include "decode/cMdfDecodePlan.h"
#include "mdf/blocks/cMdfBlock_CG.h"
#include "mdf/blocks/cMdfBlock_DG.h"
#include "mdf/blocks/cMdfBlock_DT.h"
#include "mdf/cMdf.h"
#include "mdf/cMdfBusMsgContainer.h"
#include "mdf/cPages.h"

namespace {

// One data group's place in the merge: its container and current frame.
struct Source {
  cMdfBusMsgContainer container;
  cMdfBusMsgContainerPosition position;
  double timestamp;  // of the current frame
  uint32_t group;    // data group index
};

}  // namespace

struct cMdfColumnReader {
  Source* sources;  // one per data group, initialised or not (see `ready`)
  size_t sourceCount;
  // The merge heap: indexes into sources, ordered as heapq orders
  // [timestamp, group] entries.
  uint32_t* heap;
  size_t heapSize;
  bool started;
  double startTime;
  int64_t startTimeNs;
  uint64_t rowEstimate;
  // The filter. The ids to keep, when there is an id list: standard ids
  // (below 2048) as bits of standardIds, the others in an open-addressing
  // set: idSlots has idMask + 1 slots (a power of two, at least twice the
  // ids), each an id or kNoId; an id's probe starts at the top bits of its
  // product with a 64-bit odd constant.
  bool filtersIds;
  uint64_t standardIds[2048 / 64];
  uint32_t* idSlots;
  uint64_t idMask;
  uint32_t idShift;
  bool channels[512];
  bool anyChannel;
  uint32_t kinds;
  bool hasStart, hasStop;
  double start, stop;
};

namespace {

// heapq's order of [timestamp, group, ...] lists: the first elements that
// differ decide; timestamps compare as floats (a NaN equals nothing and is
// less than nothing).
bool before(const Source& a, const Source& b) {
  if (a.timestamp == b.timestamp) return a.group < b.group;
  return a.timestamp < b.timestamp;
}

bool heapLess(const cMdfColumnReader* r, size_t i, size_t j) {
  return before(r->sources[r->heap[i]], r->sources[r->heap[j]]);
}

// heapq._siftdown: moves the entry at pos up towards start.
void siftDown(cMdfColumnReader* r, size_t start, size_t pos) {
  const uint32_t item = r->heap[pos];
  while (pos > start) {
    const size_t parent = (pos - 1) >> 1;
    if (before(r->sources[item], r->sources[r->heap[parent]])) {
      r->heap[pos] = r->heap[parent];
      pos = parent;
      continue;
    }
    break;
  }
  r->heap[pos] = item;
}

// heapq._siftup: moves the smaller child up until a leaf, then sifts the
// entry into place.
void siftUp(cMdfColumnReader* r, size_t pos) {
  const size_t end = r->heapSize;
  const size_t start = pos;
  const uint32_t item = r->heap[pos];
  size_t child = 2 * pos + 1;
  while (child < end) {
    const size_t right = child + 1;
    if (right < end && !heapLess(r, child, right)) child = right;
    r->heap[pos] = r->heap[child];
    pos = child;
    child = 2 * pos + 1;
  }
  r->heap[pos] = item;
  siftDown(r, start, pos);
}

// Steps a source onto its next frame that decodes to a row kind; false at
// the end of its group.
bool advance(cMdfColumnReader* r, Source* s, bool first) {
  if (first) {
    s->position = cMdfBusMsgContainer_begin(&s->container);
  } else {
    cMdfBusMsgContainer_next(&s->position);
  }
  for (;;) {
    if (s->position.frame == nullptr) return false;
    const int32_t result = s->position.result;
    if (result >= static_cast<int32_t>(kMdfBusMsgCanData) &&
        result <= static_cast<int32_t>(kMdfBusMsgLinTransmissionError)) {
      s->timestamp = r->startTime + s->position.frame->timeOffset;
      return true;
    }
    cMdfBusMsgContainer_next(&s->position);
  }
}

// heapq.merge's start: every group's first frame, then heapify.
void start(cMdfColumnReader* r) {
  r->started = true;
  for (size_t i = 0; i < r->sourceCount; ++i) {
    if (advance(r, &r->sources[i], true))
      r->heap[r->heapSize++] = static_cast<uint32_t>(i);
  }
  for (size_t i = r->heapSize / 2; i-- > 0;) siftUp(r, i);
}

// Moves the merge past the frame at the top of the heap.
void pop(cMdfColumnReader* r) {
  Source* top = &r->sources[r->heap[0]];
  if (advance(r, top, false)) {
    if (r->heapSize > 1) siftUp(r, 0);  // heapreplace
    return;
  }
  // heappop
  const uint32_t last = r->heap[--r->heapSize];
  if (r->heapSize > 0) {
    r->heap[0] = last;
    siftUp(r, 0);
  }
}

uint16_t channelOf(const cMdfBusMsg* frame) {
  switch (frame->kind) {
    case kMdfBusMsgCanData:
    case kMdfBusMsgCanRemote:
      return kMdfChannelCan + frame->can.busChannel;
    case kMdfBusMsgCanError:
      return kMdfChannelCan + frame->canError.busChannel;
    default:
      return kMdfChannelLin + frame->lin.busChannel;
  }
}

uint32_t idOf(const cMdfBusMsg* frame) { return frame->id & 0x1FFFFFFFu; }

// No id: ids have 29 bits.
constexpr uint32_t kNoId = 0xFFFFFFFFu;

uint64_t firstSlot(const cMdfColumnReader* r, uint32_t id) {
  return (id * 0x9E3779B97F4A7C15u) >> r->idShift;
}

bool hasId(const cMdfColumnReader* r, uint32_t id) {
  if (id < 2048) return (r->standardIds[id / 64] >> (id % 64) & 1) != 0;
  for (uint64_t slot = firstSlot(r, id);; slot = (slot + 1) & r->idMask) {
    const uint32_t held = r->idSlots[slot];
    if (held == id) return true;
    if (held == kNoId) return false;
  }
}

// The id set of `count` ids, in place of any before; false when memory
// runs out (the set before then stays). Ids beyond 29 bits match no frame
// and are left out.
bool setIds(cMdfColumnReader* r, const uint32_t* ids, size_t count) {
  uint32_t bits = 3;
  while (bits < 40 && (uint64_t{1} << bits) < 2 * uint64_t{count}) ++bits;
  const uint64_t slots = uint64_t{1} << bits;
  auto* idSlots = static_cast<uint32_t*>(malloc(slots * sizeof(uint32_t)));
  if (idSlots == nullptr) return false;
  free(r->idSlots);
  r->idSlots = idSlots;
  std::fill(r->idSlots, r->idSlots + slots, kNoId);
  std::fill(std::begin(r->standardIds), std::end(r->standardIds), 0);
  r->idMask = slots - 1;
  r->idShift = 64 - bits;
  r->filtersIds = true;
  for (size_t i = 0; i < count; ++i) {
    if (ids[i] > 0x1FFFFFFFu) continue;
    if (ids[i] < 2048) {
      r->standardIds[ids[i] / 64] |= uint64_t{1} << (ids[i] % 64);
      continue;
    }
    uint64_t slot = firstSlot(r, ids[i]);
    while (r->idSlots[slot] != kNoId && r->idSlots[slot] != ids[i])
      slot = (slot + 1) & r->idMask;
    r->idSlots[slot] = ids[i];
  }
  return true;
}

// Whether a timestamp lies within the filter's start and stop.
bool inTime(const cMdfColumnReader* r, double timestamp) {
  return (!r->hasStart || timestamp >= r->start) &&
         (!r->hasStop || timestamp < r->stop);
}

bool keep(const cMdfColumnReader* r, const Source& s) {
  const cMdfBusMsg* frame = s.position.frame;
  if (r->kinds != 0 && (r->kinds & (1u << frame->kind)) == 0) return false;
  if (!r->anyChannel && !r->channels[channelOf(frame)]) return false;
  if (!inTime(r, s.timestamp)) return false;
  if (r->filtersIds && !hasId(r, idOf(frame))) return false;
  return true;
}

// The payload a message of the frame carries: none for remote and error
// frames, at most the kind's payload member.
uint64_t payloadOf(const cMdfBusMsg* frame, const uint8_t** bytes) {
  *bytes = frame->data;
  if (frame->data == nullptr) return 0;
  const uint64_t capacity =
      frame->kind == kMdfBusMsgLin ? kMdfLinPayloadSize : kMdfCanPayloadSize;
  return std::min(frame->dataLength, capacity);
}

int64_t saturatedSum(int64_t a, int64_t b) {
  int64_t sum = 0;
  if (__builtin_add_overflow(a, b, &sum)) return b > 0 ? INT64_MAX : INT64_MIN;
  return sum;
}

template <typename T>
void put(void* column, uint64_t row, T value) {
  if (column != nullptr) static_cast<T*>(column)[row] = value;
}

// The message attributes of one frame, as the message path sets them
// (python-can's defaults where it sets nothing), into row `row` of the
// wanted columns; LIN error records, which have no message, set no flag.
void writeRow(const Source& s, int64_t startNs, cMdfColumnOutput* out,
              uint64_t row, uint64_t* dataBytes) {
  const cMdfBusMsg* frame = s.position.frame;
  void* const* c = out->columns;
  const uint32_t kind = frame->kind;
  const bool can = kind == kMdfBusMsgCanData || kind == kMdfBusMsgCanRemote;
  put<double>(c[kMdfColumnTimestamp], row, s.timestamp);
  put<int64_t>(c[kMdfColumnTimestampNs], row,
               saturatedSum(startNs, frame->timeOffsetNs));
  put<uint16_t>(c[kMdfColumnChannel], row, channelOf(frame));
  put<uint8_t>(c[kMdfColumnKind], row, static_cast<uint8_t>(kind));
  put<uint32_t>(c[kMdfColumnArbitrationId], row, idOf(frame));
  // An error frame's message keeps python-can's defaults: extended id and
  // received.
  const bool error = kind == kMdfBusMsgCanError;
  put<uint8_t>(c[kMdfColumnIsExtendedId], row,
               error || (can && frame->can.ide));
  put<uint8_t>(c[kMdfColumnIsRemoteFrame], row, kind == kMdfBusMsgCanRemote);
  put<uint8_t>(c[kMdfColumnIsErrorFrame], row, kind == kMdfBusMsgCanError);
  const bool data = kind == kMdfBusMsgCanData;
  put<uint8_t>(c[kMdfColumnIsFd], row, data && frame->can.edl);
  bool rx = false;
  if (can) {
    rx = !frame->can.dir;
  } else if (kind == kMdfBusMsgLin) {
    rx = !frame->lin.dir;
  } else if (error) {
    rx = true;
  }
  put<uint8_t>(c[kMdfColumnIsRx], row, rx);
  put<uint8_t>(c[kMdfColumnBitrateSwitch], row, data && frame->can.brs);
  put<uint8_t>(c[kMdfColumnErrorStateIndicator], row, data && frame->can.esi);
  const uint8_t* payload = nullptr;
  const uint64_t length = payloadOf(frame, &payload);
  // A remote frame's message keeps its length but no data.
  const uint64_t carried = kind == kMdfBusMsgCanRemote ? 0 : length;
  put<uint8_t>(c[kMdfColumnDlc], row, static_cast<uint8_t>(length));
  if (c[kMdfColumnData] != nullptr) {
    // A clear of the fixed 64 bytes, then the payload over it: both inline
    // moves (a copy and a clear of lengths known only at run time are
    // calls that cost more than the bytes).
    uint8_t* to = static_cast<uint8_t*>(c[kMdfColumnData]) + row * 64;
    std::memset(to, 0, 64);
    cMdfDecodePlan_copyPayload(to, payload, carried);
  }
  if (c[kMdfColumnDataValues] != nullptr)
    cMdfDecodePlan_copyPayload(
        static_cast<uint8_t*>(c[kMdfColumnDataValues]) + *dataBytes, payload,
        carried);
  *dataBytes += carried;
  put<int64_t>(c[kMdfColumnDataOffsets], row + 1,
               static_cast<int64_t>(*dataBytes));
  put<uint8_t>(c[kMdfColumnErrorType], row,
               kind == kMdfBusMsgCanError
                   ? static_cast<uint8_t>(frame->canError.errorType)
                   : 0);
  put<uint16_t>(c[kMdfColumnGroup], row,
                static_cast<uint16_t>(std::min<uint32_t>(s.group, 0xFFFF)));
}

// The first of a CAN frame's byte members (ide, dir, edl, esi, brs,
// remote, busChannel, dlc), which follow one another.
constexpr size_t kCanBytes = offsetof(cMdfBusMsg, can.ide);
static_assert(offsetof(cMdfBusMsg, can.dir) == kCanBytes + 1 &&
              offsetof(cMdfBusMsg, can.edl) == kCanBytes + 2 &&
              offsetof(cMdfBusMsg, can.esi) == kCanBytes + 3 &&
              offsetof(cMdfBusMsg, can.brs) == kCanBytes + 4 &&
              offsetof(cMdfBusMsg, can.busChannel) == kCanBytes + 6 &&
              offsetof(cMdfBusMsg, can.dlc) == kCanBytes + 7);
// Byte members by their place among them.
enum CanByte : uint32_t {
  kIde = 0,
  kDir = 1,
  kEdl = 2,
  kEsi = 3,
  kBrs = 4,
  kBus = 6
};

// Records of one group written at a time, field by field, at most and at
// least.
constexpr uint32_t kRunRecords = 256;
constexpr uint32_t kFieldwiseRecords = 8;
// Records passed over at most before looking for a run again.
constexpr uint32_t kRunBackOff = 64;

// A run of CAN data records whose rows can be written field by field: the
// frame's members all come from 8-byte loads of the record (its byte
// members, the id, the length and the time in ticks) and its payload, if
// any, is bytes of the record. What decodeStraight stores into a clear
// frame, each field from its own bits.
struct CanRun {
  const uint8_t* first;  // the first record's bytes after its id
  uint64_t stride;
  const cMdfDecodePlan* plan;      // the same for every run of it
  const cMdfDecodeRule* timeRule;  // the rule of the tick time, or null
  // Per byte member, the store that sets it last (stores run in turn), or
  // null: the member stays 0.
  const cMdfBitStore* members[8];
  const cMdfDecodeStep* payload;  // PayloadFixed, or null
};

// The layout of the run's plan into *out (its plan set either way); false
// where its records' rows cannot be written field by field.
bool canRunOf(const cMdfRecordRun& run, CanRun* out) {
  const cMdfDecodePlan* plan = run.plan;
  *out = CanRun{};
  out->plan = plan;
  if (plan->decoderKind != kMdfDecoderCanData || plan->wordCount != 0 ||
      plan->directCount != 0)
    return false;
  for (size_t k = 0; k < plan->byteCount; ++k) {
    const cMdfBitStore& store = plan->bytes[k];
    if (store.target < kCanBytes || store.target >= kCanBytes + 8) return false;
    out->members[store.target - kCanBytes] = &store;
  }
  if (plan->tickTime < plan->count)
    out->timeRule = &run.view.rules->data[plan->tickTime];
  if (plan->payload < plan->count) out->payload = &plan->steps[plan->payload];
  return true;
}

// A byte member of a record's frame.
uint8_t memberOf(const CanRun& run, uint32_t member, const uint8_t* record) {
  const cMdfBitStore* store = run.members[member];
  return store != nullptr
             ? static_cast<uint8_t>(cMdfDecodeStep_wordBits(*store, record))
             : uint8_t{0};
}

// A record's channel column, as channelOf gives a frame's.
uint16_t channelOf(const CanRun& run, const uint8_t* record) {
  return static_cast<uint16_t>(kMdfChannelCan + memberOf(run, kBus, record));
}

uint32_t idOf(const CanRun& run, const uint8_t* record) {
  const cMdfBitStore& id = run.plan->id;
  return id.mask != 0 ? static_cast<uint32_t>(
                            cMdfDecodeStep_wordBits(id, record) & 0x1FFFFFFFu)
                      : 0;
}

// The record's time offset, in seconds and in nanoseconds.
double timeOf(const CanRun& run, const uint8_t* record, int64_t* ns) {
  *ns = 0;
  if (run.timeRule == nullptr) return 0;
  const cMdfDecodePlan* plan = run.plan;
  const cMdfDecodeStep& step = plan->steps[plan->tickTime];
  const uint64_t raw = cMdfDecodeStep_wordBits(step, record);
  *ns = cMdfTickScale_apply(&plan->ticks, raw, false);
  return cMdfDecodeStep_convert(step, *run.timeRule, static_cast<double>(raw));
}

// The payload bytes a record's message carries (its dlc).
uint64_t lengthOf(const CanRun& run, const uint8_t* record) {
  const cMdfBitStore& length = run.plan->length;
  if (length.mask == 0) return 0;
  const uint64_t bits = cMdfDecodeStep_wordBits(length, record) & 0xFF;
  return std::min<uint64_t>(bits < length.limit ? bits : length.limit,
                            kMdfCanPayloadSize);
}

// Writes the rows of the run's records that the filter keeps from row
// `at` on, each column in a loop of its own, as writeRow writes their
// frames' rows; the rows written.
uint64_t writeCanRun(const cMdfColumnReader* r, const CanRun& run,
                     uint32_t count, uint32_t group, cMdfColumnOutput* out,
                     uint64_t at, uint64_t* dataBytes) {
  if (r->kinds != 0 && (r->kinds & (1u << kMdfBusMsgCanData)) == 0) return 0;
  // The records the filter keeps, by index.
  uint32_t kept[kRunRecords];
  uint32_t rows = 0;
  const bool times = r->hasStart || r->hasStop;
  for (uint32_t i = 0; i < count; ++i) {
    const uint8_t* record = run.first + i * run.stride;
    if (!r->anyChannel && !r->channels[channelOf(run, record)]) continue;
    int64_t ns;
    if (times && !inTime(r, r->startTime + timeOf(run, record, &ns))) continue;
    if (r->filtersIds && !hasId(r, idOf(run, record))) continue;
    kept[rows++] = i;
  }
  if (rows == 0) return 0;
  auto recordAt = [&](uint32_t j) { return run.first + kept[j] * run.stride; };
  void* const* c = out->columns;
  if (c[kMdfColumnTimestamp] != nullptr ||
      c[kMdfColumnTimestampNs] != nullptr) {
    for (uint32_t j = 0; j < rows; ++j) {
      int64_t ns;
      const double offset = timeOf(run, recordAt(j), &ns);
      put<double>(c[kMdfColumnTimestamp], at + j, r->startTime + offset);
      put<int64_t>(c[kMdfColumnTimestampNs], at + j,
                   saturatedSum(r->startTimeNs, ns));
    }
  }
  if (auto* channels = static_cast<uint16_t*>(c[kMdfColumnChannel]))
    for (uint32_t j = 0; j < rows; ++j)
      channels[at + j] = channelOf(run, recordAt(j));
  if (auto* ids = static_cast<uint32_t*>(c[kMdfColumnArbitrationId]))
    for (uint32_t j = 0; j < rows; ++j) ids[at + j] = idOf(run, recordAt(j));
  // The flags: a member's bits, or !dir for received.
  const struct {
    uint32_t column, member;
    bool set;  // the flag is the member being set (else clear)
  } flags[] = {{kMdfColumnIsExtendedId, kIde, true},
               {kMdfColumnIsFd, kEdl, true},
               {kMdfColumnIsRx, kDir, false},
               {kMdfColumnBitrateSwitch, kBrs, true},
               {kMdfColumnErrorStateIndicator, kEsi, true}};
  for (const auto& flag : flags) {
    auto* to = static_cast<uint8_t*>(c[flag.column]);
    if (to == nullptr) continue;
    for (uint32_t j = 0; j < rows; ++j)
      to[at + j] = (memberOf(run, flag.member, recordAt(j)) != 0) == flag.set;
  }
  const struct {
    uint32_t column;
    uint8_t value;
  } constants[] = {{kMdfColumnKind, kMdfBusMsgCanData},
                   {kMdfColumnIsRemoteFrame, 0},
                   {kMdfColumnIsErrorFrame, 0},
                   {kMdfColumnErrorType, 0}};
  for (const auto& constant : constants)
    if (c[constant.column] != nullptr)
      std::memset(static_cast<uint8_t*>(c[constant.column]) + at,
                  constant.value, rows);
  if (auto* groups = static_cast<uint16_t*>(c[kMdfColumnGroup]))
    std::fill(groups + at, groups + at + rows,
              static_cast<uint16_t>(std::min<uint32_t>(group, 0xFFFF)));
  // The payloads: `held` bytes of the record, zeros after them up to the
  // length.
  const uint64_t held = run.payload != nullptr ? run.payload->limit : 0;
  const uint64_t from = run.payload != nullptr ? run.payload->byte : 0;
  auto* dlcs = static_cast<uint8_t*>(c[kMdfColumnDlc]);
  auto* data = static_cast<uint8_t*>(c[kMdfColumnData]);
  auto* values = static_cast<uint8_t*>(c[kMdfColumnDataValues]);
  auto* offsets = static_cast<int64_t*>(c[kMdfColumnDataOffsets]);
  if (dlcs == nullptr && data == nullptr && values == nullptr &&
      offsets == nullptr)
    return rows;
  for (uint32_t j = 0; j < rows; ++j) {
    const uint8_t* record = recordAt(j);
    const uint64_t length = lengthOf(run, record);
    const uint64_t bytes = std::min(length, held);
    if (dlcs != nullptr) dlcs[at + j] = static_cast<uint8_t>(length);
    if (data != nullptr) {
      uint8_t* to = data + (at + j) * 64;
      std::memset(to, 0, 64);
      cMdfDecodePlan_copyPayload(to, record + from, bytes);
    }
    if (values != nullptr) {
      uint8_t* to = values + *dataBytes;
      cMdfDecodePlan_copyPayload(to, record + from, bytes);
      if (length > bytes) std::memset(to + bytes, 0, length - bytes);
    }
    *dataBytes += length;
    if (offsets != nullptr)
      offsets[at + j + 1] = static_cast<int64_t>(*dataBytes);
  }
  return rows;
}

// Rows a data group may hold: its channel groups' cycle counts, bounded by
// the records that the bytes of its data block have room for (its length
// as far as the file has it).
uint64_t rowsOf(cMdfBlock_DG_t* group) {
  uint64_t cycles = 0;
  uint64_t shortest = UINT64_MAX;
  for (size_t i = 0; i < cMdfBlockList_size(&group->channelGroups); ++i) {
    const cMdfBlock_CG_t* cg = cMdfBlock_t_to_cMdfBlock_CG_t(
        cMdfBlockList_at(&group->channelGroups, i));
    if (cg == nullptr || cMdfBlock_CG_isVLSD(cg)) continue;
    cycles += std::min<uint64_t>(cg->cycleCount, UINT64_MAX - cycles);
    shortest =
        std::min<uint64_t>(shortest, uint64_t{group->recordIdSize} +
                                         cg->dataBytes + cg->invalidationBytes);
  }
  cMdfBlock_DT_t* block = cMdfBlock_t_to_cMdfBlock_DT_t_mut(group->data);
  cIO* data = cMdfBlock_DT_getIOInterface(block);
  if (data == nullptr || shortest == UINT64_MAX) return 0;
  const int64_t length = cIO_getSize(data);
  const int64_t source = cIO_getSize(block->source);
  if (length <= 0 || source <= 0 ||
      static_cast<uint64_t>(source) <= block->dataOffset)
    return 0;
  const uint64_t bytes =
      std::min(static_cast<uint64_t>(length),
               static_cast<uint64_t>(source) - block->dataOffset);
  return std::min(cycles, bytes / std::max<uint64_t>(shortest, 1));
}

// Bytes per row of each column (cMdfColumn order).
constexpr uint64_t kWidths[kMdfColumnCount] = {
    8, 8, 2, 1, 4, 1, 1, 1, 1, 1, 1, 1, 1, 64, 1, 2, 64, 8,
};

// The helper thread: rows the decoding publishes at a time, rows of text
// expanded at a time, rows of output faulted in ahead of the decoding
// (bounds what a filter that keeps few rows leaves faulted in for
// nothing), and the smallest fill worth a thread.
constexpr uint64_t kPublishRows = 4096;
constexpr uint64_t kTextRows = 4096;
constexpr uint64_t kAheadRows = 32768;
constexpr uint64_t kThreadRows = 65536;

// What the decoding thread and the helper share during one fill.
struct FillShare {
  cMdfColumnOutput* out;
  std::atomic<uint64_t> rows{0};       // rows written, all columns
  std::atomic<uint64_t> dataBytes{0};  // payload values written
  std::atomic<bool> done{false};       // rows is final
  std::atomic<uint32_t> epoch{0};      // bumped at each publication
  std::atomic<uint64_t> nextText{0};   // first row whose texts are unclaimed
};

// The texts of rows [first, end) from their codes.
void expand(const cMdfColumnOutput* out, uint64_t first, uint64_t end,
            bool fault) {
  for (uint32_t t = 0; t < kMdfTextCount; ++t) {
    const cMdfColumnText& text = out->texts[t];
    if (text.out == nullptr) continue;
    const size_t width = text.width;
    if (fault) cPages_populate(text.out, first * width, end * width);
    auto* to = static_cast<uint8_t*>(text.out) + first * width;
    const auto* from = static_cast<const uint8_t*>(text.table);
    for (uint64_t row = first; row < end; ++row, to += width) {
      const uint64_t code =
          t == kMdfTextChannel
              ? static_cast<const uint16_t*>(
                    out->columns[kMdfColumnChannel])[row]
              : static_cast<const uint8_t*>(out->columns[kMdfColumnKind])[row];
      if (code < text.items) {
        std::memcpy(to, from + code * width, width);
      } else {
        std::memset(to, 0, width);
      }
    }
  }
}

bool hasTexts(const cMdfColumnOutput* out) {
  for (const cMdfColumnText& text : out->texts)
    if (text.out != nullptr) return true;
  return false;
}

// Claims the next rows of texts to expand below `limit`, whole blocks
// unless `all`; false when there are none.
bool claimTexts(FillShare* share, uint64_t limit, bool all, uint64_t* first,
                uint64_t* end) {
  uint64_t at = share->nextText.load(std::memory_order_relaxed);
  for (;;) {
    if (at >= limit || (!all && limit - at < kTextRows)) return false;
    const uint64_t stop = std::min(at + kTextRows, limit);
    if (share->nextText.compare_exchange_weak(at, stop,
                                              std::memory_order_relaxed)) {
      *first = at;
      *end = stop;
      return true;
    }
  }
}

// Faults in the decoding's columns up to `rows` rows and `dataBytes` payload
// bytes, from where the last call stopped.
void faultAhead(const cMdfColumnOutput* out, uint64_t rows, uint64_t dataBytes,
                uint64_t* faultedRows, uint64_t* faultedBytes) {
  rows = std::min(rows, out->capacity);
  dataBytes = std::min(dataBytes, out->capacity * 64);
  for (uint32_t c = 0; c < kMdfColumnCount && rows > *faultedRows; ++c) {
    if (c == kMdfColumnDataValues) continue;
    const uint64_t extra = c == kMdfColumnDataOffsets ? 8 : 0;
    cPages_populate(out->columns[c], *faultedRows * kWidths[c] + extra,
                    rows * kWidths[c] + extra);
  }
  if (dataBytes > *faultedBytes)
    cPages_populate(out->columns[kMdfColumnDataValues], *faultedBytes,
                    dataBytes);
  *faultedRows = std::max(*faultedRows, rows);
  *faultedBytes = std::max(*faultedBytes, dataBytes);
}

// The helper thread: keeps the output faulted in ahead of the decoding and
// expands the texts of published rows, until the rows are final and every
// text is claimed.
void helpFill(FillShare* share) {
  const cMdfColumnOutput* out = share->out;
  uint64_t faultedRows = 0;
  uint64_t faultedBytes = 0;
  for (;;) {
    const uint32_t epoch = share->epoch.load(std::memory_order_acquire);
    const bool done = share->done.load(std::memory_order_acquire);
    const uint64_t rows = share->rows.load(std::memory_order_acquire);
    if (!done) {
      faultAhead(
          out, rows + kAheadRows,
          share->dataBytes.load(std::memory_order_relaxed) + kAheadRows * 64,
          &faultedRows, &faultedBytes);
    }
    uint64_t first = 0;
    uint64_t end = 0;
    if (claimTexts(share, rows, done, &first, &end)) {
      expand(out, first, end, true);
      continue;
    }
    if (done) return;
    share->epoch.wait(epoch, std::memory_order_acquire);
  }
}

// Makes the rows written so far visible to the helper.
void publish(FillShare* share, uint64_t rows, uint64_t dataBytes, bool done) {
  share->dataBytes.store(dataBytes, std::memory_order_relaxed);
  share->rows.store(rows, std::memory_order_release);
  if (done) share->done.store(true, std::memory_order_release);
  share->epoch.fetch_add(1, std::memory_order_release);
  share->epoch.notify_one();
}

// A helper thread for the fill, where it is allowed and worth it; false
// when there is none (it could not start either).
bool startHelper(FillShare* share, std::thread* thread) {
  const cMdfColumnOutput* out = share->out;
  if (!out->helper || out->capacity < kThreadRows ||
      std::thread::hardware_concurrency() <= 1)
    return false;
  try {
    *thread = std::thread(helpFill, share);
  } catch (...) {
    return false;
  }
  return true;
}

}  // namespace

uint64_t cMdfColumn_width(uint32_t column) {
  return column < kMdfColumnCount ? kWidths[column] : 0;
}

cMdfColumnReader* cMdfColumnReader_ctor(cMdf* mdf,
                                        const cMdfColumnFilter* filter) {
  if (mdf == nullptr || filter == nullptr) return nullptr;
  if ((filter->ids == nullptr && filter->idCount > 0) ||
      (filter->channels == nullptr && filter->channelCount > 0))
    return nullptr;
  auto* r = static_cast<cMdfColumnReader*>(calloc(1, sizeof(cMdfColumnReader)));
  if (r == nullptr) return nullptr;
  const cMdfBlockList* groups = cMdf_getDataGroups(mdf);
  const size_t count = cMdfBlockList_size(groups);
  r->sources = static_cast<Source*>(calloc(count + 1, sizeof(Source)));
  r->heap = static_cast<uint32_t*>(calloc(count + 1, sizeof(uint32_t)));
  if (r->sources == nullptr || r->heap == nullptr || count > UINT32_MAX ||
      (filter->idCount > 0 && !setIds(r, filter->ids, filter->idCount))) {
    cMdfColumnReader_dtor(r);
    return nullptr;
  }
  for (size_t i = 0; i < count; ++i) {
    cMdfBlock_DG_t* group =
        cMdfBlock_t_to_cMdfBlock_DG_t_mut(cMdfBlockList_at(groups, i));
    Source* s = &r->sources[r->sourceCount];
    if (group == nullptr || !cMdfBusMsgContainer_init(&s->container, group))
      continue;
    s->group = static_cast<uint32_t>(i);
    ++r->sourceCount;
    const uint64_t rows = rowsOf(group);
    r->rowEstimate += std::min(rows, UINT64_MAX - r->rowEstimate);
  }
  r->startTime = cMdf_getStartTime(mdf, 1);
  r->startTimeNs = cMdf_getStartTimeNs(mdf);
  r->anyChannel = filter->channelCount == 0;
  for (size_t i = 0; i < filter->channelCount; ++i) {
    if (filter->channels[i] < 512) r->channels[filter->channels[i]] = true;
  }
  r->kinds = filter->kinds;
  r->hasStart = filter->hasStart;
  r->start = filter->start;
  r->hasStop = filter->hasStop;
  r->stop = filter->stop;
  return r;
}

void cMdfColumnReader_dtor(cMdfColumnReader* reader) {
  if (reader == nullptr) return;
  for (size_t i = 0; reader->sources != nullptr && i < reader->sourceCount; ++i)
    cMdfBusMsgContainer_drop(&reader->sources[i].container);
  free(reader->sources);
  free(reader->heap);
  free(reader->idSlots);
  free(reader);
}

uint64_t cMdfColumnReader_fill(cMdfColumnReader* reader,
                               cMdfColumnOutput* out) {
  if (out == nullptr) return 0;
  out->rows = 0;
  if (reader == nullptr) return 0;
  for (uint32_t t = 0; t < kMdfTextCount; ++t) {
    const uint32_t codes =
        t == kMdfTextChannel ? kMdfColumnChannel : kMdfColumnKind;
    const cMdfColumnText& text = out->texts[t];
    if (text.out != nullptr && (out->columns[codes] == nullptr ||
                                text.table == nullptr || text.width == 0))
      return 0;
  }
  if (!reader->started) start(reader);
  FillShare share;
  share.out = out;
  std::thread thread;
  const bool helped = startHelper(&share, &thread);
  uint64_t rows = 0;
  uint64_t dataBytes = 0;
  put<int64_t>(out->columns[kMdfColumnDataOffsets], 0, 0);
  // The layout of the plan met last in a run (a group's records are
  // mostly of one plan).
  CanRun can{};
  bool canFieldwise = false;
  uint32_t backOff = 0;  // records to pass over after a short run
  uint32_t waiting = 0;  // of those, still to pass over
  while (rows < out->capacity && reader->heapSize > 0) {
    Source& top = reader->sources[reader->heap[0]];
    if (keep(reader, top)) {
      writeRow(top, reader->startTimeNs, out, rows, &dataBytes);
      ++rows;
      if (helped && rows % kPublishRows == 0)
        publish(&share, rows, dataBytes, false);
    }
    // A single group left needs no merge: runs of its records after the
    // current frame are written as they stand in the record window (a
    // short one record by record: a loop per column costs more than the
    // rows). Where runs come out short (records of several groups
    // interleaved), looking for them costs more than they save: the
    // reader then looks again only after a number of records that doubles
    // up to kRunBackOff while they stay short.
    while (reader->heapSize == 1 && rows < out->capacity) {
      if (waiting > 0) {
        --waiting;
        break;
      }
      cMdfRecordRun run;
      const uint32_t count =
          cMdfBlock_DG_recordRun(top.container.group, &top.container.state,
                                 static_cast<uint32_t>(std::min<uint64_t>(
                                     kRunRecords, out->capacity - rows)),
                                 &run);
      if (count < kFieldwiseRecords) {
        backOff = std::min(2 * backOff + 1, kRunBackOff);
        waiting = backOff;
      } else {
        backOff = 0;
      }
      if (count == 0) break;
      const uint64_t before = rows;
      if (run.plan != can.plan) canFieldwise = canRunOf(run, &can);
      if (canFieldwise && count >= kFieldwiseRecords) {
        can.first = run.view.record;
        can.stride = run.stride;
        rows +=
            writeCanRun(reader, can, count, top.group, out, rows, &dataBytes);
      } else {
        for (uint32_t i = 0; i < count; ++i) {
          cMdfRecordView view = run.view;
          view.record += i * run.stride;
          cMdfDecodePlan_decodeStraight(run.plan, &view, &top.container.frame,
                                        run.plan->decoderKind);
          top.timestamp = reader->startTime + top.container.frame.timeOffset;
          if (!keep(reader, top)) continue;
          writeRow(top, reader->startTimeNs, out, rows, &dataBytes);
          ++rows;
        }
      }
      if (helped && rows / kPublishRows != before / kPublishRows)
        publish(&share, rows, dataBytes, false);
    }
    pop(reader);
  }
  out->rows = rows;
  if (!helped) {
    if (hasTexts(out)) expand(out, 0, rows, false);
    return rows;
  }
  // The texts left are shared with the helper.
  publish(&share, rows, dataBytes, true);
  uint64_t first = 0;
  uint64_t end = 0;
  while (claimTexts(&share, rows, true, &first, &end))
    expand(out, first, end, true);
  thread.join();
  return rows;
}

bool cMdfColumnReader_setIds(cMdfColumnReader* reader, const uint32_t* ids,
                             size_t count) {
  return reader != nullptr && (ids != nullptr || count == 0) &&
         setIds(reader, ids, count);
}

bool cMdfColumnReader_keepsId(const cMdfColumnReader* reader, uint32_t id) {
  return reader != nullptr &&
         (!reader->filtersIds || (id <= 0x1FFFFFFFu && hasId(reader, id)));
}

uint64_t cMdfColumnReader_rowEstimate(const cMdfColumnReader* reader) {
  return reader != nullptr ? reader->rowEstimate : 0;
}

uint32_t cMdfColumnReader_failure(const cMdfColumnReader* reader) {
  for (size_t i = 0; reader != nullptr && i < reader->sourceCount; ++i) {
    const uint32_t failure =
        cMdfBusMsgContainer_failure(&reader->sources[i].container);
    if (failure != kMdfReadOk) return failure;
  }
  return kMdfReadOk;
}
