#include "decode/cMdfRecordGroupInfo.h"

#include <cstdlib>
#include <cstring>

#include "decode/cDecode.h"
#include "mdf/blocks/cMdfBlock_CG.h"
#include "mdf/blocks/cMdfBlock_DG.h"
#include "mdf/blocks/cMdfBlock_DT.h"
#include "mdf/blocks/cMdfBlock_SD.h"
#include "mdf/blocks/cMdfBlock_SI.h"
#include "streams/cCoding.h"

// ---------------------------------------------------------------------------
// Record info

bool cMdfRecordInfo_init(cMdfRecordInfo* info) {
  if (!info) return false;
  *info = {};
  return true;
}

void cMdfRecordInfo_drop(cMdfRecordInfo*) {}

cMdfRecordInfo cMdfRecordInfo_clone(cMdfRecordInfo info) { return info; }

// ---------------------------------------------------------------------------
// Record map

namespace {

size_t slotOf(uint64_t key, size_t capacity) {
  // Fibonacci hashing: record ids are small consecutive numbers.
  return static_cast<size_t>((key * 0x9E3779B97F4A7C15ull) >> 32) &
         (capacity - 1);
}

cMdfRecordMapSlot* probe(cMdfRecordMapSlot* slots, size_t capacity,
                         uint64_t key) {
  for (size_t i = slotOf(key, capacity);; i = (i + 1) & (capacity - 1)) {
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

const cMdfRecordInfo* cMdfRecordMap_find(const cMdfRecordMap* map,
                                         uint64_t id) {
  if (!map || map->size == 0) return nullptr;
  const cMdfRecordMapSlot* slot = probe(map->slots, map->capacity, id);
  return slot->used ? &slot->info : nullptr;
}

bool cMdfRecordMap_insert(cMdfRecordMap* map, uint64_t id,
                          const cMdfRecordInfo* info) {
  if (!map || !info || cMdfRecordMap_find(map, id) || !makeRoom(map))
    return false;
  *probe(map->slots, map->capacity, id) = {id, *info, true};
  ++map->size;
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

// Appends up to n bytes read from `io` and returns how many arrived (fewer
// at the end of the data, on a read error or when memory runs out). The
// storage grows at most kReadAhead beyond the bytes that arrived, so a
// length taken from a file cannot size an allocation by itself; once the
// buffer is large enough this is a single read.
uint64_t appendFrom(cIO* io, cMdfByteBuffer* buffer, uint64_t n) {
  uint64_t got = 0;
  while (got < n) {
    const uint64_t want = n - got;
    if (buffer->capacity == buffer->size &&
        !reserve(buffer,
                 buffer->size + (want < kReadAhead ? want : kReadAhead)))
      break;
    const uint64_t room = buffer->capacity - buffer->size;
    const int64_t r =
        cIO_read(io, buffer->data + buffer->size, want < room ? want : room);
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

void cMdfBlock_DG_updateRecordMap(cMdfBlock_DG_t* group) {
  if (!group) return;
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
      info.rules = cMdfBlock_CG_getDecodingRules(cg);
      info.decoder = cMdfDecoders_decodeGeneric;
      info.decoderKind = kMdfDecoderGeneric;
      const cMdfBlock_SI_t* source =
          cMdfBlock_t_to_cMdfBlock_SI_t(cg->acquisitionSource);
      if (cMdfBlock_SI_getType(source) == MDF_SI_SOURCE_BUS) {
        cMdfDecoderFn decoder = nullptr;
        uint32_t kind = 0;
        if (getOptimalDecoder(info.rules, &decoder, &kind)) {
          info.decoder = decoder;
          info.decoderKind = kind;
        }
      }
    }
    // Records without ids are looked up as id 0; the first group entered
    // under an id keeps it.
    const uint64_t key = group->recordIdSize == 0 ? 0 : cg->recordId;
    cMdfRecordMap_insert(&group->recordMap, key, &info);
  }
}

// ---------------------------------------------------------------------------
// Record access

namespace {

// Reads exactly n bytes (n at most 8) as a little-endian number.
bool readNumber(cIO* io, unsigned n, uint64_t* value) {
  uint8_t bytes[8];
  uint64_t got = 0;
  while (got < n) {
    const int64_t r = cIO_read(io, bytes + got, n - got);
    if (r <= 0) return false;
    got += static_cast<uint64_t>(r);
  }
  *value = cCoding_loadLEn(bytes, n);
  return true;
}

// Of a signal data value no more than this is fetched: every record may
// point at the same value in a signal data block, however long, a VLSD
// record may claim gigabytes, and no decoder takes a value of more than 64
// bytes (a longer one fails its frame all the same).
constexpr uint64_t kMaxSignalDataValue = kMdfCanPayloadSize + 1;

// Appends one signal data value read from `io`, which stands at its u32
// length: the length as four little-endian bytes, then at most
// kMaxSignalDataValue bytes of the value. A value cut short by the end of
// its data, or by that limit, keeps the bytes taken and the length says
// how many; a length that cannot be read gives an empty value. Returns the
// bytes the value spans in `io` (a value over the limit is skipped, not
// copied), or fewer when its data ends first.
uint64_t appendValue(cIO* io, cMdfByteBuffer* signal) {
  uint64_t length = 0;
  const bool sized = io && readNumber(io, 4, &length);
  const uint64_t at = signal->size;
  const uint8_t none[4] = {};
  if (!append(signal, none, sizeof none)) return sized ? 4 : 0;
  if (!sized) return 0;
  const uint64_t want =
      length < kMaxSignalDataValue ? length : kMaxSignalDataValue;
  const uint64_t got = appendFrom(io, signal, want);
  cCoding_storeLE(signal->data + at, static_cast<uint32_t>(got));
  if (got < want) return 4 + got;
  // The rest of a long value is passed over, so that `io` stands after it
  // like the record position does.
  if (length > want &&
      cIO_seek(io, static_cast<int64_t>(length - want), CIO_SEEK_CUR) < 0)
    return 4 + got;
  return 4 + length;
}

void appendEmptyValue(cMdfByteBuffer* signal) { appendValue(nullptr, signal); }

// The data view of the group's data block, or null when the data link is
// not a DT block.
cIO* dataOf(cMdfBlock_DG_t* group) {
  return cMdfBlock_DT_getIOInterface(
      cMdfBlock_t_to_cMdfBlock_DT_t_mut(group->data));
}

// Fetches the values of the record's VLSD channels into the state's signal
// data buffer, in rule order; `data` stands just after the frame record.
// Returns the bytes of VLSD records consumed from the data block.
uint64_t fetchSignalData(cIO* data, unsigned idSize, const cMdfRecordInfo* info,
                         cMdfBlock_DG_iteratorState* state) {
  uint64_t consumed = 0;
  bool peeked = false, peekedOk = false;
  uint64_t nextId = 0;
  const cMdfDecodeRuleArray* rules = info->rules;
  for (size_t i = 0; rules && i < rules->size; ++i) {
    const cMdfBlock_t* source = rules->data[i].signalData;
    if (!source) continue;
    if (const cMdfBlock_CG_t* vlsd = cMdfBlock_t_to_cMdfBlock_CG_t(source)) {
      // The value is the next record when that record is one of this VLSD
      // group; any other record stays for the next call. A data link to a
      // group of frame records gives no value.
      if (!peeked) {
        peekedOk = idSize > 0 && readNumber(data, idSize, &nextId);
        peeked = true;
      }
      if (peekedOk && nextId == vlsd->recordId && cMdfBlock_CG_isVLSD(vlsd)) {
        consumed += idSize + appendValue(data, &state->signalData);
        peeked = false;
      } else {
        appendEmptyValue(&state->signalData);
      }
    } else if (source->type == MDF_BLOCK_SD) {
      auto* sd = static_cast<cMdfBlock_SD_t*>(const_cast<cMdfBlock_t*>(source));
      cIO* values = cMdfBlock_SD_getIOInterface(sd);
      const cMdfDecodeRule& rule = rules->data[i];
      const uint64_t offset = cDecode_getRawBits(
          state->record.data, state->record.size, rule.bitPosition,
          rule.bitCount, rule.littleEndian);
      appendValue(cIO_seekTo(values, offset) ? values : nullptr,
                  &state->signalData);
    } else {
      appendEmptyValue(&state->signalData);
    }
  }
  return consumed;
}

}  // namespace

bool cMdfBlock_DG_iteratorState_init(cMdfBlock_DG_iteratorState* state,
                                     const cMdfBlock_DG_t*) {
  if (!state) return false;
  state->position = 0;
  state->view = {};
  state->record.size = 0;
  state->signalData.size = 0;
  state->decoderKind = 0;
  state->decoder = nullptr;
  return true;
}

void cMdfBlock_DG_iteratorState_drop(cMdfBlock_DG_iteratorState* state) {
  if (!state) return;
  cMdfByteBuffer_drop(&state->record);
  cMdfByteBuffer_drop(&state->signalData);
  *state = {};
}

const cMdfRecordView* cMdfBlock_DG_at(cMdfBlock_DG_t* group,
                                      cMdfBlock_DG_iteratorState* state) {
  if (!group || !state || group->recordIdSize > kMdfMaxRecordIdSize)
    return nullptr;
  cIO* data = dataOf(group);
  if (!data) return nullptr;
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
    if (!cIO_seekTo(data, at) || !readNumber(data, idSize, &id)) return nullptr;
    info = cMdfRecordMap_find(&group->recordMap, id);
    if (!info) return nullptr;
    if (info->recordLength != kMdfRecordLengthVlsd) break;
    uint64_t length = 0;
    if (idSize == 0 || !readNumber(data, 4, &length)) return nullptr;
    at += idSize + 4 + length;
  }

  state->record.size = 0;
  state->signalData.size = 0;
  if (appendFrom(data, &state->record, info->recordLength) !=
      info->recordLength)
    return nullptr;
  uint64_t advance = idSize + uint64_t{info->recordLength};
  advance += fetchSignalData(data, idSize, info, state);
  // A record of no bytes would leave the position where it is for ever.
  if (advance == 0) return nullptr;

  state->position = at + advance;
  state->view = {state->record.data, state->record.size, state->signalData.data,
                 state->signalData.size, info->rules};
  state->decoder = info->decoder;
  state->decoderKind = info->decoderKind;
  return &state->view;
}

uint32_t cMdfBlock_DG_getRecordDataRaw(const cMdf*, cMdfBlock_DG_t* group,
                                       uint64_t position, cMdfRawRecord* out) {
  if (!group || !out || group->recordIdSize > kMdfMaxRecordIdSize)
    return kMdfNoRecord;
  cIO* data = dataOf(group);
  const unsigned idSize = group->recordIdSize;
  uint64_t id = 0;
  if (!data || !cIO_seekTo(data, position) || !readNumber(data, idSize, &id))
    return kMdfNoRecord;
  out->bytes.size = 0;
  const cMdfRecordInfo* info = cMdfRecordMap_find(&group->recordMap, id);
  if (!info) return kMdfNoRecord;
  uint64_t size = info->recordLength;
  uint64_t prefix = 0;
  if (size == kMdfRecordLengthVlsd) {
    uint8_t length[4];
    if (!readNumber(data, 4, &size)) return kMdfNoRecord;
    cCoding_storeLE(length, static_cast<uint32_t>(size));
    if (!append(&out->bytes, length, sizeof length)) return kMdfNoRecord;
    prefix = 4;
  }
  const uint64_t total = idSize + prefix + size;
  if (total >= kMdfNoRecord) return kMdfNoRecord;
  out->id = id;
  appendFrom(data, &out->bytes, size);
  return static_cast<uint32_t>(total);
}
