#include "decode/cMdfRecordGroupInfo.h"

#include <cstdlib>
#include <cstring>

#include "decode/cDecode.h"
#include "decode/cMdfDecodePlan.h"
#include "mdf/blocks/cMdfBlock_CG.h"
#include "mdf/blocks/cMdfBlock_DG.h"
#include "mdf/blocks/cMdfBlock_DT.h"
#include "mdf/blocks/cMdfBlock_SD.h"
#include "mdf/blocks/cMdfBlock_SI.h"
#include "mdf/blocks/cMdfDataStream.h"
#include "streams/cCoding.h"

// ---------------------------------------------------------------------------
// Record info

bool cMdfRecordInfo_init(cMdfRecordInfo* info) {
  if (!info) return false;
  *info = {};
  return true;
}

// ---------------------------------------------------------------------------
// Record map

namespace {

cMdfRecordMapSlot* probe(cMdfRecordMapSlot* slots, size_t capacity,
                         uint64_t key) {
  for (size_t i = cMdfRecordMap_slotOf(key, capacity);;
       i = (i + 1) & (capacity - 1)) {
    if (!slots[i].used || slots[i].key == key) return &slots[i];
  }
}

// Room for one more entry, the table staying at most half full.
bool makeRoom(cMdfRecordMap* map) {
  if (2 * (map->size + 1) <= map->capacity) return true;
  const size_t capacity = map->capacity ? 2 * map->capacity : 8;
  if (capacity > SIZE_MAX / sizeof(cMdfRecordMapSlot)) return false;
  auto* slots = static_cast<cMdfRecordMapSlot*>(
      calloc(capacity, sizeof(cMdfRecordMapSlot)));
  if (!slots) return false;
  for (size_t i = 0; i < map->capacity; ++i) {
    if (map->slots[i].used)
      *probe(slots, capacity, map->slots[i].key) = map->slots[i];
  }
  free(map->slots);
  map->slots = slots;
  map->capacity = capacity;
  return true;
}

}  // namespace

bool cMdfRecordMap_insert(cMdfRecordMap* map, uint64_t id,
                          const cMdfRecordInfo* info) {
  if (!map || !info || cMdfRecordMap_find(map, id) || !makeRoom(map))
    return false;
  *probe(map->slots, map->capacity, id) = {id, *info, true};
  ++map->size;
  // The slots may have moved.
  for (uint64_t small = 0; small < kMdfRecordMapSmallIds; ++small)
    map->small[small] = cMdfRecordMap_findHashed(map, small);
  return true;
}

size_t cMdfRecordMap_size(const cMdfRecordMap* map) {
  return map ? map->size : 0;
}

void cMdfRecordMap_clear(cMdfRecordMap* map) {
  if (!map || !map->slots) return;
  memset(static_cast<void*>(map->slots), 0,
         map->capacity * sizeof(cMdfRecordMapSlot));
  map->size = 0;
  for (const cMdfRecordInfo*& small : map->small) small = nullptr;
}

void cMdfRecordMap_drop(cMdfRecordMap* map) {
  if (!map) return;
  free(map->slots);
  *map = {};
}

// ---------------------------------------------------------------------------
// Byte buffers

namespace {

// How far a buffer may grow ahead of the bytes that arrive in it.
constexpr uint64_t kReadAhead = 64 * 1024;

bool reserve(cMdfByteBuffer* buffer, uint64_t capacity) {
  if (capacity <= buffer->capacity) return true;
  uint64_t grown = buffer->capacity * 3 / 2 + 4;
  if (grown < capacity) grown = capacity;
  if (grown > SIZE_MAX) return false;
  void* data = realloc(buffer->data, static_cast<size_t>(grown));
  if (!data) return false;
  buffer->data = static_cast<uint8_t*>(data);
  buffer->capacity = grown;
  return true;
}

bool append(cMdfByteBuffer* buffer, const void* bytes, uint64_t n) {
  if (n > UINT64_MAX - buffer->size || !reserve(buffer, buffer->size + n))
    return false;
  memcpy(buffer->data + buffer->size, bytes, n);
  buffer->size += n;
  return true;
}

// Notes the first failure of an iteration (where there is one to note).
void noteFailure(uint32_t* failure, cMdfReadFailure what) {
  if (failure && *failure == kMdfReadOk) *failure = what;
}

// Appends up to n bytes read from `io` and returns how many arrived (fewer
// at the end of the data, on a read error or when memory runs out: then
// *failure, where given, says which). The storage grows at most kReadAhead
// beyond the bytes that arrived, so a length taken from a file cannot size
// an allocation by itself; once the buffer is large enough this is a
// single read.
uint64_t appendFrom(cIO* io, cMdfByteBuffer* buffer, uint64_t n,
                    uint32_t* failure) {
  uint64_t got = 0;
  while (got < n) {
    const uint64_t want = n - got;
    if (buffer->capacity == buffer->size &&
        !reserve(buffer,
                 buffer->size + (want < kReadAhead ? want : kReadAhead))) {
      noteFailure(failure, kMdfReadNoMemory);
      break;
    }
    const uint64_t room = buffer->capacity - buffer->size;
    const int64_t r =
        cIO_read(io, buffer->data + buffer->size, want < room ? want : room);
    if (r < 0) noteFailure(failure, kMdfReadFailed);
    if (r <= 0) break;
    buffer->size += static_cast<uint64_t>(r);
    got += static_cast<uint64_t>(r);
  }
  return got;
}

}  // namespace

void cMdfByteBuffer_drop(cMdfByteBuffer* buffer) {
  if (!buffer) return;
  free(buffer->data);
  *buffer = {};
}

void cMdfRawRecord_drop(cMdfRawRecord* record) {
  if (record) cMdfByteBuffer_drop(&record->bytes);
}

// ---------------------------------------------------------------------------
// The record map of a data group

namespace {

// Rules of a file of any writer: the group's master channel of time is its
// time whatever its name ("time" in files of asammdf and python-can), and
// channels of no known name are passed over instead of failing their
// frames (the bus-logging conventions allow members the frame holds
// nothing of).
void adaptRules(cMdfDecodeRuleArray* rules) {
  for (size_t r = 0; rules && r < rules->size; ++r) {
    cMdfDecodeRule& rule = rules->data[r];
    if (rule.field != cMdfFrameField::None) continue;
    rule.field =
        rule.timeMaster ? cMdfFrameField::Timestamp : cMdfFrameField::Ignored;
  }
}

// A remote frame carries no data; its length is the one it requests, which
// its DLC states (a classic CAN frame's DLC is its length). Other writers
// leave the data length channel of remote frames 0 (python-can's) or out:
// where a group has a DLC channel, it gives the length.
void lengthFromDlc(cMdfDecodeRuleArray* rules) {
  cMdfDecodeRule* dlc = nullptr;
  for (size_t r = 0; r < rules->size; ++r)
    if (rules->data[r].field == cMdfFrameField::Dlc) dlc = &rules->data[r];
  if (!dlc) return;
  for (size_t r = 0; r < rules->size; ++r)
    if (rules->data[r].field == cMdfFrameField::DataLength)
      rules->data[r].field = cMdfFrameField::Ignored;
  dlc->field = cMdfFrameField::DataLength;
}

}  // namespace

bool cMdfBlock_DG_updateRecordMap(cMdfBlock_DG_t* group) {
  if (!group) return true;
  cMdfRecordMap_clear(&group->recordMap);
  for (size_t i = 0; i < cMdfBlockList_size(&group->channelGroups); ++i) {
    cMdfBlock_CG_t* cg = cMdfBlock_t_to_cMdfBlock_CG_t_mut(
        cMdfBlockList_at(&group->channelGroups, i));
    if (!cg) continue;
    cMdfRecordInfo info;
    cMdfRecordInfo_init(&info);
    info.recordId = cg->recordId;
    if (cMdfBlock_CG_isVLSD(cg)) {
      info.recordLength = kMdfRecordLengthVlsd;
    } else {
      // The invalidation bytes follow the data bytes in every record.
      const uint64_t length =
          uint64_t{cg->dataBytes} + uint64_t{cg->invalidationBytes};
      if (length >= kMdfRecordLengthVlsd) continue;
      info.recordLength = static_cast<uint32_t>(length);
      cMdfDecodeRuleArray* rules = cMdfBlock_CG_getDecodingRules(cg);
      if (rules && rules->incomplete) return false;
      info.rules = rules;
      size_t signalRules = 0;
      for (size_t r = rules ? rules->size : 0; r-- > 0;) {
        if (rules->data[r].signalData) {
          info.hasSignalData = true;
          info.firstSignalRule = r;
          ++signalRules;
        }
      }
      info.oneSignalValue = signalRules == 1;
      info.decoder = cMdfDecoders_decodeGeneric;
      info.decoderKind = kMdfDecoderGeneric;
      const cMdfBlock_SI_t* source =
          cMdfBlock_t_to_cMdfBlock_SI_t(cg->acquisitionSource);
      if (group->anyWriter) adaptRules(rules);
      // Other writers may flag a bus event group without naming its source.
      if (cMdfBlock_SI_getType(source) == MDF_SI_SOURCE_BUS ||
          (group->anyWriter && cg->busEvent)) {
        cMdfDecoderFn decoder = nullptr;
        uint32_t kind = 0;
        if (getOptimalDecoder(info.rules, &decoder, &kind)) {
          info.decoder = decoder;
          info.decoderKind = kind;
          if (group->anyWriter && kind == kMdfDecoderCanRemote)
            lengthFromDlc(rules);
        }
      }
      // Every record of the group has this length: its rules become a plan
      // for records of it and for its decoder.
      if (info.decoderKind != kMdfDecoderGeneric)
        cMdfDecodeRuleArray_plan(rules, length, info.decoderKind);
    }
    // Records without ids are looked up as id 0; the first group entered
    // under an id keeps it.
    const uint64_t key = group->recordIdSize == 0 ? 0 : cg->recordId;
    if (!cMdfRecordMap_find(&group->recordMap, key) &&
        !cMdfRecordMap_insert(&group->recordMap, key, &info))
      return false;
  }
  return true;
}

// ---------------------------------------------------------------------------
// Record access

namespace {

// Reads exactly n bytes (n at most 8) as a little-endian number; false at
// the end of the data or when the read fails (noted in *failure).
bool readNumber(cIO* io, unsigned n, uint64_t* value, uint32_t* failure) {
  uint8_t bytes[8];
  const int64_t got = cIO_readFull(io, bytes, n);
  if (got < 0) noteFailure(failure, kMdfReadFailed);
  if (got != static_cast<int64_t>(n)) return false;
  *value = cCoding_loadLEn(bytes, n);
  return true;
}

// Of a signal data value no more than this is fetched: every record may
// point at the same value in a signal data block, however long, a VLSD
// record may claim gigabytes, and no decoder takes a value of more than 64
// bytes (a longer one fails its frame all the same).
constexpr uint64_t kMaxSignalDataValue = kMdfCanPayloadSize + 1;

// Windows: at most this much of a block is read ahead at once...
constexpr uint64_t kWindowSize = 256 * 1024;
// ... and never less than this (a record id, a VLSD length and the longest
// value fetched fit with room to spare), unless the block is smaller.
constexpr uint64_t kMinWindowSize = 4096;
// A jump to a place outside the window reads this much: reading that goes
// on from there grows the window again, reading that keeps jumping (values
// of a signal data block in no order) does not read 256 KiB per value.
constexpr uint64_t kJumpRead = kMinWindowSize;

// A window and the data it reads: the stream of a data link
// (cMdfData_stream), of `size` bytes, known by the block that holds it.
struct Window {
  cMdfReadWindow* w;
  const void* block;
  cIO* io;
  uint64_t size;
  uint32_t* failure;  // the iteration's (cMdfReadFailure)
};

// The window over the data a block holds; io null when it holds none.
Window windowOver(cMdfReadWindow* w, cMdfBlock_t* block, uint32_t* failure) {
  Window win{w, block, nullptr, 0, failure};
  win.io = cMdfData_stream(block, &win.size);
  return win;
}

// The bytes [at, at + want) of the block's data section, with [keep, at)
// kept in the window as well (keep <= at): a pointer to `at` in the window,
// and in *got how many of the wanted bytes are there. Fewer than wanted
// only where the data end (or fail, noted as the iteration's failure), or
// where [keep, at + want) is longer than the window; null when nothing of
// them is there.
const uint8_t* windowAt(Window win, uint64_t keep, uint64_t at, uint64_t want,
                        uint64_t* got) {
  cMdfReadWindow* w = win.w;
  *got = 0;
  if (w->block == win.block && at >= w->start && at - w->start <= w->size) {
    const uint64_t there = w->size - (at - w->start);
    if (there >= want) {
      *got = want;
      return w->data + (at - w->start);
    }
  }
  if (w->block != win.block) {
    // Sized by the data: a small block gets a small window.
    const uint64_t section = win.size;
    uint64_t capacity = section < kWindowSize ? section : kWindowSize;
    if (capacity < kMinWindowSize) capacity = kMinWindowSize;
    // The storage only grows, so that states alternating between blocks
    // allocate nothing once they have seen them.
    if (capacity > w->capacity) {
      free(w->data);
      w->data = static_cast<uint8_t*>(malloc(static_cast<size_t>(capacity)));
      w->capacity = w->data ? capacity : 0;
      if (!w->data) noteFailure(win.failure, kMdfReadNoMemory);
    }
    w->block = win.block;
    w->start = 0;
    w->size = 0;
  }
  if (!w->data || keep > at || at - keep >= w->capacity) return nullptr;
  // Bytes from `keep` that are in the window already move to its front;
  // reading goes on after them. A jump elsewhere starts afresh.
  const bool onward = keep >= w->start && keep <= w->start + w->size;
  const uint64_t kept = onward ? w->start + w->size - keep : 0;
  if (kept > 0) memmove(w->data, w->data + (keep - w->start), kept);
  w->start = keep;
  w->size = kept;
  uint64_t room = w->capacity - kept;
  if (!onward && room > kJumpRead && at + want - keep <= kJumpRead)
    room = kJumpRead;
  cIO* io = win.io;
  if (room > 0 && cIO_seekTo(io, keep + kept)) {
    // Bytes that arrived before the end of the data are kept; a read that
    // fails is noted for the iteration, which then stops.
    for (uint64_t read = 0; read < room;) {
      const int64_t n = cIO_read(io, w->data + kept + read, room - read);
      if (n < 0) noteFailure(win.failure, kMdfReadFailed);
      if (n <= 0 || static_cast<uint64_t>(n) > room - read) break;
      read += static_cast<uint64_t>(n);
      w->size += static_cast<uint64_t>(n);
    }
  }
  const uint64_t offset = at - w->start;
  if (offset >= w->size) return nullptr;
  const uint64_t there = w->size - offset;
  *got = there < want ? there : want;
  return w->data + offset;
}

// The bytes [at, at + want) where the window holds them all already, else
// null: the common case, without a call.
[[gnu::always_inline]] inline const uint8_t* inWindow(Window win, uint64_t at,
                                                      uint64_t want) {
  const cMdfReadWindow* w = win.w;
  if (w->block != win.block || at < w->start) return nullptr;
  const uint64_t offset = at - w->start;
  if (offset > w->size || w->size - offset < want) return nullptr;
  return w->data + offset;
}

bool fromWindowSlow(Window win, uint64_t keep, uint64_t at, unsigned n,
                    uint64_t* value) {
  uint64_t got = 0;
  const uint8_t* bytes = windowAt(win, keep, at, n, &got);
  if (n > 0 && (!bytes || got < n)) return false;
  *value = n > 0 ? cCoding_loadLEn(bytes, n) : 0;
  return true;
}

// The little-endian number of the n bytes (n at most 8) at `at`, read into
// the window where they are not there yet, with [keep, at) kept in it.
// False where the data end before.
[[gnu::always_inline]] inline bool fromWindow(Window win, uint64_t keep,
                                              uint64_t at, unsigned n,
                                              uint64_t* value) {
  if (const uint8_t* bytes = inWindow(win, at, n)) {
    *value = cCoding_loadLEn(bytes, n);
    return true;
  }
  return fromWindowSlow(win, keep, at, n, value);
}

// Appends one signal data value that starts at `at` of the window's block
// with its u32 length: the length as four little-endian bytes, then at
// most kMaxSignalDataValue bytes of the value. A value cut short by the
// end of its data, or by that limit, keeps the bytes taken and the length
// says how many; a length that cannot be read gives an empty value.
// Returns the bytes the value spans from `at` (a value over the limit is
// passed over, not copied), or fewer when its data ends first.
uint64_t appendValue(Window win, uint64_t keep, uint64_t at,
                     cMdfByteBuffer* signal) {
  uint64_t length = 0;
  const bool sized = win.io && fromWindow(win, keep, at, 4, &length);
  const uint64_t into = signal->size;
  const uint8_t none[4] = {};
  if (!append(signal, none, sizeof none)) {
    noteFailure(win.failure, kMdfReadNoMemory);
    return sized ? 4 : 0;
  }
  if (!sized) return 0;
  const uint64_t want =
      length < kMaxSignalDataValue ? length : kMaxSignalDataValue;
  uint64_t got = want;
  const uint8_t* value = inWindow(win, at + 4, want);
  if (!value) value = windowAt(win, keep, at + 4, want, &got);
  if (got > 0 && !append(signal, value, got)) {
    noteFailure(win.failure, kMdfReadNoMemory);
    got = 0;
  }
  cCoding_storeLE(signal->data + into, static_cast<uint32_t>(got));
  return got < want ? 4 + got : 4 + length;
}

void appendEmptyValue(cMdfByteBuffer* signal, uint32_t* failure) {
  appendValue({nullptr, nullptr, nullptr, 0, failure}, 0, 0, signal);
}

// Bytes a VLSD record in the data block may need in the window after its
// frame record: its id, its length and the longest value fetched.
constexpr uint64_t kVlsdSpan = kMdfMaxRecordIdSize + 4 + kMaxSignalDataValue;

// Where the current frame record is: in the record window from `at` on
// (`inWindow`) or in the record buffer.
struct FrameRecord {
  uint64_t at;  // data block offset of its first byte (after the id)
  uint64_t size;
  bool inWindow;
};

const uint8_t* recordBytes(const FrameRecord& frame,
                           const cMdfBlock_DG_iteratorState* state) {
  return frame.inWindow
             ? state->records.data + (frame.at - state->records.start)
             : state->record.data;
}

// Fetches the values of the record's VLSD channels into the state's signal
// data buffer, in rule order; `next` is where the frame record ends in the
// data block and `keep` where it starts, with its id. Returns the bytes of
// VLSD records consumed from the data block; *frame tells where the frame
// record is afterwards (reading may move it).
uint64_t fetchSignalData(Window records, uint64_t keep, uint64_t next,
                         unsigned idSize, const cMdfRecordInfo* info,
                         FrameRecord* frame,
                         cMdfBlock_DG_iteratorState* state) {
  uint64_t consumed = 0;
  const cMdfDecodeRuleArray* rules = info->rules;
  for (size_t i = info->firstSignalRule; rules && i < rules->size; ++i) {
    const cMdfBlock_t* source = rules->data[i].signalData;
    if (!source) continue;
    if (const cMdfBlock_CG_t* vlsd = cMdfBlock_t_to_cMdfBlock_CG_t(source)) {
      // The value is the next record when that record is one of this VLSD
      // group; any other record stays for the next call. A data link to a
      // group of frame records gives no value.
      const uint64_t at = next + consumed;
      if (frame->inWindow && at + kVlsdSpan - keep > records.w->capacity) {
        // The window cannot hold the frame record and the next value
        // together: the frame record moves to the record buffer.
        state->record.size = 0;
        if (!append(&state->record, recordBytes(*frame, state), frame->size)) {
          noteFailure(&state->failure, kMdfReadNoMemory);
          return consumed;
        }
        frame->inWindow = false;
      }
      if (!frame->inWindow) keep = at;
      uint64_t id = 0;
      if (idSize > 0 && fromWindow(records, keep, at, idSize, &id) &&
          id == vlsd->recordId && cMdfBlock_CG_isVLSD(vlsd)) {
        consumed += idSize +
                    appendValue(records, keep, at + idSize, &state->signalData);
      } else {
        appendEmptyValue(&state->signalData, &state->failure);
      }
    } else if (source->type != MDF_BLOCK_DT) {
      // A signal data block, or a list or compressed block of them.
      const Window values = windowOver(
          &state->values, const_cast<cMdfBlock_t*>(source), &state->failure);
      const cMdfDecodeRule& rule = rules->data[i];
      const uint64_t offset = cDecode_getRawBits(
          recordBytes(*frame, state), frame->size, rule.bitPosition,
          rule.bitCount, rule.littleEndian);
      appendValue(values, offset, offset, &state->signalData);
    } else {
      appendEmptyValue(&state->signalData, &state->failure);
    }
  }
  return consumed;
}

void resetWindow(cMdfReadWindow* w) {
  w->block = nullptr;
  w->start = 0;
  w->size = 0;
}

void dropWindow(cMdfReadWindow* w) {
  free(w->data);
  *w = {};
}

}  // namespace

bool cMdfBlock_DG_iteratorState_init(cMdfBlock_DG_iteratorState* state,
                                     const cMdfBlock_DG_t*) {
  if (!state) return false;
  state->position = 0;
  state->view = {};
  resetWindow(&state->records);
  resetWindow(&state->values);
  state->record.size = 0;
  state->signalData.size = 0;
  state->decoderKind = 0;
  state->decoder = nullptr;
  state->failure = kMdfReadOk;
  return true;
}

void cMdfBlock_DG_iteratorState_drop(cMdfBlock_DG_iteratorState* state) {
  if (!state) return;
  dropWindow(&state->records);
  dropWindow(&state->values);
  cMdfByteBuffer_drop(&state->record);
  cMdfByteBuffer_drop(&state->signalData);
  *state = {};
}

namespace {

// The state's view of a record of `info` at `at` (with its id), `bytes`
// long, and the position moved past it and `advance` bytes in all.
const cMdfRecordView* viewOf(cMdfBlock_DG_iteratorState* state,
                             const cMdfRecordInfo* info, uint64_t at,
                             uint64_t advance, const uint8_t* bytes,
                             uint64_t size, const uint8_t* signal,
                             uint64_t signalSize) {
  state->position = at + advance;
  state->view = {bytes, size, signal, signalSize, info->rules};
  state->decoder = info->decoder;
  state->decoderKind = info->decoderKind;
  return &state->view;
}

// The record at the state's position where the record window holds all of
// it and, for a record with one variable-length value, a window holds that
// value too (the next record, or a signal data block's value): the record
// and the value are served in place, without a copy (a value stands in
// both as the view's signal data has it: a u32 length, then the bytes).
// Null for anything else, which readRecord then reads: bytes not in the
// windows, a VLSD record where a frame record is expected, an unknown id,
// a record that takes several values, a value record that is not the next
// record, a value longer than what is fetched of one, a record of no
// bytes.
[[gnu::always_inline]] inline const cMdfRecordView* recordInWindow(
    cMdfBlock_DG_t* group, cMdfBlock_DG_iteratorState* state) {
  const cMdfReadWindow& w = state->records;
  const uint64_t at = state->position;
  const unsigned idSize = group->recordIdSize;
  if (w.block != group->data.block || w.block == nullptr || at < w.start ||
      at - w.start > w.size)
    return nullptr;
  const uint8_t* bytes = w.data + (at - w.start);
  uint64_t left = w.size - (at - w.start);
  if (left < idSize) return nullptr;
  const cMdfRecordInfo* info =
      cMdfRecordMap_find(&group->recordMap, cCoding_loadLEn(bytes, idSize));
  if (!info || info->recordLength == kMdfRecordLengthVlsd) return nullptr;
  const uint64_t size = info->recordLength;
  left -= idSize;
  if (left < size || idSize + size == 0) return nullptr;
  uint64_t advance = idSize + size;
  const uint8_t* signal = state->signalData.data;
  uint64_t signalSize = 0;
  if (info->hasSignalData) {
    if (!info->oneSignalValue) return nullptr;
    const cMdfDecodeRule& rule = info->rules->data[info->firstSignalRule];
    if (const cMdfBlock_CG_t* vlsd =
            cMdfBlock_t_to_cMdfBlock_CG_t(rule.signalData)) {
      // The next record, of the channel's VLSD group.
      left -= size;
      if (!vlsd->vlsd || idSize == 0 || left < idSize + 4) return nullptr;
      const uint8_t* value = bytes + advance;
      const uint64_t length = cCoding_loadLE<uint32_t>(value + idSize);
      if (cCoding_loadLEn(value, idSize) != vlsd->recordId ||
          length > kMaxSignalDataValue || left - idSize - 4 < length)
        return nullptr;
      signal = value + idSize;
      signalSize = 4 + length;
      advance += idSize + signalSize;
    } else {
      // A value of the signal data block that the value window holds.
      const cMdfReadWindow& v = state->values;
      if (v.block != rule.signalData) return nullptr;
      const uint64_t offset =
          cDecode_getRawBits(bytes + idSize, size, rule.bitPosition,
                             rule.bitCount, rule.littleEndian);
      if (offset < v.start || offset - v.start > v.size ||
          v.size - (offset - v.start) < 4)
        return nullptr;
      signal = v.data + (offset - v.start);
      const uint64_t length = cCoding_loadLE<uint32_t>(signal);
      if (length > kMaxSignalDataValue ||
          v.size - (offset - v.start) - 4 < length)
        return nullptr;
      signalSize = 4 + length;
    }
  }
  state->signalData.size = 0;
  return viewOf(state, info, at, advance, bytes + idSize, size, signal,
                signalSize);
}

// The record at the state's position by the general way: see
// cMdfBlock_DG_at.
[[gnu::noinline]] const cMdfRecordView* readRecord(
    cMdfBlock_DG_t* group, cMdfBlock_DG_iteratorState* state) {
  // The records: a data block, or a list or compressed block of them.
  if (!group->data.block || group->data.block->type == MDF_BLOCK_SD)
    return nullptr;
  const Window records =
      windowOver(&state->records, group->data.block, &state->failure);
  if (!records.io) return nullptr;
  // Records carry ids whenever the group says so, also when it holds a
  // single channel group (as a logger writes a log of one frame kind);
  // without ids they are looked up as id 0.
  const unsigned idSize = group->recordIdSize;

  // The record id and its info. VLSD records standing where a frame record
  // is expected (their frame lost, or values written ahead of it) are
  // skipped: an id, a u32 length, that many bytes.
  uint64_t at = state->position;
  const cMdfRecordInfo* info = nullptr;
  for (;;) {
    uint64_t id = 0;
    if (!fromWindow(records, at, at, idSize, &id)) return nullptr;
    info = cMdfRecordMap_find(&group->recordMap, id);
    if (!info) return nullptr;
    if (info->recordLength != kMdfRecordLengthVlsd) break;
    uint64_t length = 0;
    if (idSize == 0 || !fromWindow(records, at, at + idSize, 4, &length))
      return nullptr;
    at += idSize + 4 + length;
  }

  // The record's bytes: in the window, or, too long for it, read into the
  // record buffer.
  FrameRecord frame{at + idSize, info->recordLength, true};
  if (inWindow(records, frame.at, frame.size)) {
    // There already.
  } else if (idSize + frame.size <= state->records.capacity) {
    uint64_t got = 0;
    windowAt(records, at, frame.at, frame.size, &got);
    if (got != frame.size) return nullptr;
  } else {
    frame.inWindow = false;
    state->record.size = 0;
    if (!cIO_seekTo(records.io, frame.at) ||
        appendFrom(records.io, &state->record, frame.size, &state->failure) !=
            frame.size)
      return nullptr;
  }
  state->signalData.size = 0;
  uint64_t advance = idSize + frame.size;
  if (info->hasSignalData)
    advance +=
        fetchSignalData(records, at, at + advance, idSize, info, &frame, state);
  // A value that could not be fetched would give the frame a wrong one.
  if (state->failure != kMdfReadOk) return nullptr;
  // A record of no bytes would leave the position where it is for ever.
  if (advance == 0) return nullptr;

  return viewOf(state, info, at, advance, recordBytes(frame, state), frame.size,
                state->signalData.data, state->signalData.size);
}

}  // namespace

const cMdfRecordView* cMdfBlock_DG_at(cMdfBlock_DG_t* group,
                                      cMdfBlock_DG_iteratorState* state) {
  if (!group || !state || group->recordIdSize > kMdfMaxRecordIdSize ||
      state->failure != kMdfReadOk)
    return nullptr;
  if (const cMdfRecordView* view = recordInWindow(group, state)) return view;
  return readRecord(group, state);
}

int32_t cMdfBlock_DG_decodeNext(cMdfBlock_DG_t* group,
                                cMdfBlock_DG_iteratorState* state,
                                cMdfBusMsg* frame) {
  if (!group || !state || !frame || group->recordIdSize > kMdfMaxRecordIdSize ||
      state->failure != kMdfReadOk)
    return -1;
  const cMdfRecordView* view = recordInWindow(group, state);
  if (view) {
    // What the group's decoder does with a straight plan.
    const uint32_t kind = state->decoderKind;
    const cMdfDecodePlan* plan =
        view->rules != nullptr ? cMdfDecodePlan_of(view, kind) : nullptr;
    if (plan != nullptr && plan->straight && state->decoder != nullptr &&
        kind != kMdfDecoderGeneric &&
        cMdfDecodePlan_decodeStraight(plan, view, frame, kind))
      return static_cast<int32_t>(kind);
  } else {
    view = readRecord(group, state);
  }
  if (!view || !state->decoder) return -1;
  return state->decoder(view, frame);
}

uint32_t cMdfBlock_DG_recordRun(cMdfBlock_DG_t* group,
                                cMdfBlock_DG_iteratorState* state,
                                uint32_t count, cMdfRecordRun* run) {
  if (!group || !state || !run || count == 0 ||
      group->recordIdSize > kMdfMaxRecordIdSize || state->failure != kMdfReadOk)
    return 0;
  const uint64_t position = state->position;
  const cMdfRecordView* view = recordInWindow(group, state);
  if (!view) return 0;
  const uint32_t kind = state->decoderKind;
  const cMdfDecodePlan* plan =
      view->rules != nullptr ? cMdfDecodePlan_of(view, kind) : nullptr;
  // A record with a variable-length value is followed by that value's
  // record, or points into a signal data block: not a run at one stride.
  if (plan == nullptr || !plan->straight || state->decoder == nullptr ||
      kind == kMdfDecoderGeneric || !cMdfDecodePlan_inRecord(plan) ||
      view->signalDataSize != 0 ||
      state->position - position != group->recordIdSize + view->recordSize) {
    state->position = position;  // decodeNext's to read
    return 0;
  }
  // The records after it at the same stride with the same id, as far as
  // the window holds them whole.
  const cMdfReadWindow& w = state->records;
  const unsigned idSize = group->recordIdSize;
  const uint64_t stride = idSize + view->recordSize;
  const uint8_t* first = view->record - idSize;
  const uint8_t* end = w.data + w.size;
  const uint64_t id = cCoding_loadLEn(first, idSize);
  uint32_t taken = 1;
  for (const uint8_t* next = first + stride;
       taken < count && static_cast<uint64_t>(end - next) >= stride &&
       (idSize == 0 || cCoding_loadLEn(next, idSize) == id);
       next += stride)
    ++taken;
  state->position = position + taken * stride;
  // Member by member: a copy of the whole view is a string move here.
  run->view.record = view->record;
  run->view.recordSize = view->recordSize;
  run->view.signalData = nullptr;
  run->view.signalDataSize = 0;
  run->view.rules = view->rules;
  run->plan = plan;
  run->stride = stride;
  run->count = taken;
  return run->count;
}

namespace {

// The stream of the group's records, or null when its data link holds
// none.
cIO* dataOf(cMdfBlock_DG_t* group) {
  if (!group->data.block || group->data.block->type == MDF_BLOCK_SD)
    return nullptr;
  return cMdfData_stream(group->data.block, nullptr);
}

}  // namespace

uint32_t cMdfBlock_DG_getRecordDataRaw(const cMdf*, cMdfBlock_DG_t* group,
                                       uint64_t position, cMdfRawRecord* out,
                                       uint32_t* failure) {
  if (!group || !out || group->recordIdSize > kMdfMaxRecordIdSize)
    return kMdfNoRecord;
  cIO* data = dataOf(group);
  const unsigned idSize = group->recordIdSize;
  uint64_t id = 0;
  if (!data || !cIO_seekTo(data, position) ||
      !readNumber(data, idSize, &id, failure))
    return kMdfNoRecord;
  out->bytes.size = 0;
  const cMdfRecordInfo* info = cMdfRecordMap_find(&group->recordMap, id);
  if (!info) return kMdfNoRecord;
  uint64_t size = info->recordLength;
  uint64_t prefix = 0;
  if (size == kMdfRecordLengthVlsd) {
    uint8_t length[4];
    if (!readNumber(data, 4, &size, failure)) return kMdfNoRecord;
    cCoding_storeLE(length, static_cast<uint32_t>(size));
    if (!append(&out->bytes, length, sizeof length)) {
      noteFailure(failure, kMdfReadNoMemory);
      return kMdfNoRecord;
    }
    prefix = 4;
  }
  const uint64_t total = idSize + prefix + size;
  if (total >= kMdfNoRecord) return kMdfNoRecord;
  out->id = id;
  appendFrom(data, &out->bytes, size, failure);
  return static_cast<uint32_t>(total);
}
