// Record map and record access: reading the records of a data group one
// after another, in file order.
//
// The record map of a data group tells, for every record id, how long the
// record is, which decoding rules describe it and which frame decoder turns
// it into a frame. It is built when the data group loads
// (cMdfBlock_DG_updateRecordMap). Record access then walks the group's data
// block: cMdfBlock_DG_at returns the next record, with the variable-length
// values of its VLSD channels already fetched, as a record view ready for
// the decoder; cMdfBlock_DG_getRecordDataRaw returns a record's id and raw
// bytes.
//
// Record layout in a data block (MDF 4):
//   sorted group (record id size 0, one channel group):
//     [data bytes][invalidation bytes] [data bytes][invalidation bytes] ...
//   unsorted group (record id size 1 to 8, records of several groups):
//     [id][data bytes][invalidation bytes]   a record of a frame group
//     [id][u32 length L][L bytes]            a record of a VLSD group
// A record's length is its channel group's data bytes plus invalidation
// bytes. The invalidation bytes are read with the record (they follow the
// data bytes) and take no other part in decoding.
//
// Variable-length values come either from the VLSD record that follows the
// frame record in the data block (VLSD channel group) or from a signal data
// block at the offset that the channel's value in the record gives.
//
// Records are served from a read buffer per iteration state: a window of
// the data block read ahead in pieces of up to 256 KiB, so that a record
// costs no call into the stream below; a record inside the window only
// moves a cursor, and is served in place, as is a record's single
// variable-length value that a window holds. Signal data blocks have a
// window of their own. Each
// iteration state keeps its own windows, so states over data groups far
// apart in one file may be advanced in turn. A window holds only bytes
// that really arrived.
//
// Reading never allocates per record in steady state: the windows and the
// buffers of an iteration state keep their storage. A window is at most
// 256 KiB and no larger than its block's data; the record buffer (for a
// record longer than the window) grows only with bytes that really
// arrived, never by a length taken from the file alone.
#pragma once

#include <cstddef>
#include <cstdint>

#include "decode/cMdfDecoders.h"

struct cMdf;
struct cMdfBlock_DG_t;

// Record length of a VLSD channel group in the map: its records carry their
// own length.
constexpr uint32_t kMdfRecordLengthVlsd = 0xFFFFFFFF;
// cMdfBlock_DG_getRecordDataRaw: there is no record.
constexpr uint32_t kMdfNoRecord = 0xFFFFFFFF;

// What the record map holds per record id. Owns nothing.
struct cMdfRecordInfo {
  uint64_t recordId;  // the channel group's own record id
  // Data bytes plus invalidation bytes of the group, or
  // kMdfRecordLengthVlsd for a VLSD channel group.
  uint32_t recordLength;
  const cMdfDecodeRuleArray* rules;  // the group's rules, borrowed; null
                                     // for a VLSD group
  cMdfDecoderFn decoder;             // null for a VLSD group
  uint32_t decoderKind;              // kMdfDecoder*; 0 for a VLSD group
  // Whether some rule takes variable-length values (signal data), and the
  // first such rule; whether it is the only one.
  bool hasSignalData;
  bool oneSignalValue;
  size_t firstSignalRule;
};

// Every member 0 or null; true (false for a null info). The info owns
// nothing: copies are plain copies, and nothing needs releasing.
bool cMdfRecordInfo_init(cMdfRecordInfo* info);

// Hash map from record id to record info, open addressing with linear
// probing over a power-of-two table kept at most half full. Plain data:
// zero-filled is empty.
struct cMdfRecordMapSlot {
  uint64_t key;
  cMdfRecordInfo info;
  bool used;
};
// Ids below this are looked up without hashing.
constexpr uint64_t kMdfRecordMapSmallIds = 16;
struct cMdfRecordMap {
  cMdfRecordMapSlot* slots;  // owned (malloc)
  size_t capacity;           // 0 or a power of two
  size_t size;
  // The info under each id below kMdfRecordMapSmallIds, or null: pointers
  // into the slots, set again whenever the slots change.
  const cMdfRecordInfo* small[kMdfRecordMapSmallIds];
};

// The slot where probing for `key` starts (capacity a power of two).
inline size_t cMdfRecordMap_slotOf(uint64_t key, size_t capacity) {
  // Fibonacci hashing: record ids are small consecutive numbers.
  return static_cast<size_t>((key * 0x9E3779B97F4A7C15ull) >> 32) &
         (capacity - 1);
}

// The info under `id` in the slots, or null.
inline const cMdfRecordInfo* cMdfRecordMap_findHashed(const cMdfRecordMap* map,
                                                      uint64_t id) {
  if (!map || map->size == 0) return nullptr;
  const size_t mask = map->capacity - 1;
  for (size_t i = cMdfRecordMap_slotOf(id, map->capacity);;
       i = (i + 1) & mask) {
    const cMdfRecordMapSlot& slot = map->slots[i];
    if (!slot.used) return nullptr;
    if (slot.key == id) return &slot.info;
  }
}
// The info under `id`, or null. Inline: record access looks up every
// record, whose ids are mostly small numbers.
inline const cMdfRecordInfo* cMdfRecordMap_find(const cMdfRecordMap* map,
                                                uint64_t id) {
  if (!map) return nullptr;
  if (id < kMdfRecordMapSmallIds) return map->small[id];
  return cMdfRecordMap_findHashed(map, id);
}
// Inserts a copy of *info under `id`. False when the id is present already
// (the first entry stays) or the table cannot grow.
bool cMdfRecordMap_insert(cMdfRecordMap* map, uint64_t id,
                          const cMdfRecordInfo* info);
size_t cMdfRecordMap_size(const cMdfRecordMap* map);
// Removes every entry; the storage stays.
void cMdfRecordMap_clear(cMdfRecordMap* map);
// Frees the storage.
void cMdfRecordMap_drop(cMdfRecordMap* map);

// A growable byte string. Plain data: zero-filled is empty.
struct cMdfByteBuffer {
  uint8_t* data;  // owned (malloc)
  uint64_t size;
  uint64_t capacity;
};

// Frees the storage and leaves the buffer empty.
void cMdfByteBuffer_drop(cMdfByteBuffer* buffer);

// A window onto the data section of a data or signal data block: the
// bytes [start, start + size) of the section, read ahead. Plain data:
// zero-filled is empty.
struct cMdfReadWindow {
  uint8_t* data;      // owned (malloc), capacity bytes
  uint64_t capacity;  // grows only, to at most 256 KiB
  uint64_t start;     // section offset of data[0]
  uint64_t size;      // bytes that arrived
  const void* block;  // the block whose bytes these are; null: none
};

// Why an iteration over a data group stopped short of the end of its data.
enum cMdfReadFailure : uint32_t {
  kMdfReadOk = 0,
  kMdfReadFailed = 1,    // a read or seek of the data failed
  kMdfReadNoMemory = 2,  // memory ran short
};

// Where an iteration over a data group stands, and the current record.
// Zero-filled is a valid state at position 0.
struct cMdfBlock_DG_iteratorState {
  // Offset, within the data section of the group's data block, of the next
  // record to read.
  uint64_t position;
  // The current record; points into the windows or the buffers and stays
  // valid until the next call on this state.
  cMdfRecordView view;
  cMdfReadWindow records;  // of the group's data block
  cMdfReadWindow values;   // of the signal data block read last
  // The current record, without its id, when it is too long for the
  // window.
  cMdfByteBuffer record;
  // Values of the current record's VLSD channels, one per rule with signal
  // data, in rule order: a u32 little-endian length, then that many bytes.
  cMdfByteBuffer signalData;
  uint32_t decoderKind;   // of the current record's channel group
  cMdfDecoderFn decoder;  // of the current record's channel group
  // The first failure met (cMdfReadFailure); once set, no record is read
  // until init clears it. kMdfReadOk while nothing failed: the end of the
  // records is then the end of the data (or of what the group defines).
  uint32_t failure;
};

// One record as it stands in the data block, without decoding.
struct cMdfRawRecord {
  uint64_t id;
  // The record's bytes after its id: the group's record length of bytes,
  // or for a VLSD record its u32 length followed by the value.
  cMdfByteBuffer bytes;
};

void cMdfRawRecord_drop(cMdfRawRecord* record);

// Rebuilds the group's record map from its channel groups, in list order:
// every channel group enters its record id (the first group with an id
// wins) with its record length, rules and decoder. A group whose
// acquisition source is a bus gets the decoder its channel names select,
// any other the generic decoder. With record id size 0 the records carry
// no id: the first channel group is entered under id 0. A group whose
// record length does not fit 32 bits is left out. False when memory runs
// out (a group's rules are incomplete or its entry cannot be made): the
// map must not be used then.
bool cMdfBlock_DG_updateRecordMap(cMdfBlock_DG_t* group);

// Position 0, empty buffers and windows (their storage kept), no failure;
// false for a null state. The state must be zero-filled or initialised before.
// The group is not used.
bool cMdfBlock_DG_iteratorState_init(cMdfBlock_DG_iteratorState* state,
                                     const cMdfBlock_DG_t* group);
// Frees the buffers and windows; the state is then at position 0 again.
void cMdfBlock_DG_iteratorState_drop(cMdfBlock_DG_iteratorState* state);

// Reads the record at the state's position and returns the state's view of
// it, with the state's decoder and decoder kind set for its channel group
// and the position moved past the record and the VLSD records it consumed.
// Null, with the state unchanged, at the end of the records: no data block
// (DT), the position at or beyond the end of the data, a record id the
// group does not define, a truncated record, a record of no bytes at all.
// Null as well when reading fails or memory runs short, with the state's
// failure set (and from then on, until init).
//
// Every record starts with an id of the group's record id size, also when
// the group holds a single channel group; with size 0 the records carry no
// id and are looked up as id 0 (a sorted group). A VLSD record met where a
// frame record is expected is skipped; a group without ids whose records
// are VLSD records holds no frames. After a frame record, a VLSD value is
// taken from the next record only when that record belongs to the
// channel's VLSD group; otherwise the value is empty and the record is read
// again by the next call. A value that reaches beyond its data is cut to
// the bytes that exist (its length says how many). Of a value in a signal
// data block at most 65 bytes are fetched: records may all point at one
// huge value, and a decoder refuses any value longer than 64 bytes.
const cMdfRecordView* cMdfBlock_DG_at(cMdfBlock_DG_t* group,
                                      cMdfBlock_DG_iteratorState* state);

// Reads the next record as cMdfBlock_DG_at does and decodes it into *frame
// with the state's decoder: the decoder's result, or -1 (frame untouched)
// where cMdfBlock_DG_at gives no record or the record's group has no
// decoder. A record that the record window holds and whose rules are a
// straight plan is decoded without a call.
int32_t cMdfBlock_DG_decodeNext(cMdfBlock_DG_t* group,
                                cMdfBlock_DG_iteratorState* state,
                                cMdfBusMsg* frame);

// Consecutive records of one channel group, one stride apart, that a
// straight plan decodes from their own bytes alone.
struct cMdfRecordRun {
  cMdfRecordView view;         // of the first record
  const cMdfDecodePlan* plan;  // view.rules->plan, for the group's decoder
  uint64_t stride;             // bytes from a record to the next
  uint32_t count;              // records, the first included
};

// The run of records at the state's position, of at most `count` records,
// that the record window holds whole: the record there and those after it
// with its record id, each a straight plan decodes from its bytes alone
// (cMdfDecodePlan_inRecord) without a variable-length value. Sets *run and
// moves the state past the run; its count, or 0 (state unchanged) where
// the record there is not such a record, which cMdfBlock_DG_decodeNext
// then reads as ever. Reads nothing itself, so no failure arises; the run
// holds until the next call on the state that reads. The state's own view
// and decoder are left for the next call.
uint32_t cMdfBlock_DG_recordRun(cMdfBlock_DG_t* group,
                                cMdfBlock_DG_iteratorState* state,
                                uint32_t count, cMdfRecordRun* run);

// Reads the record at `position` of the group's data block into *out and
// returns the bytes it occupies (id, VLSD length prefix and data), or
// kMdfNoRecord: no data block, the position beyond the data, a truncated
// id or VLSD length, an unknown id, a record too long to count in 32 bits.
// A record cut short by the end of the data gives fewer bytes in *out and
// the full size. A read that fails, or memory that runs short, sets
// *failure (when given and still kMdfReadOk) to kMdfReadFailed or
// kMdfReadNoMemory: the result then tells nothing about the data. `file`
// is not used.
uint32_t cMdfBlock_DG_getRecordDataRaw(const cMdf* file, cMdfBlock_DG_t* group,
                                       uint64_t position, cMdfRawRecord* out,
                                       uint32_t* failure = nullptr);
