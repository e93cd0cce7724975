// Decoding rules: how to get one channel's value out of a record and which
// field of the decoded frame (cMdfBusMsg) it fills.
//
// A channel group builds one rule per leaf channel when it loads; the frame
// decoders walk the rule array for every record. Everything a decoder needs
// per record is resolved here once: the field code comes from the channel
// name, so the per-record walk compares no strings.
#pragma once

#include <cstddef>
#include <cstdint>

#include "decode/cMdfConversionRule.h"

struct cMdfBlock_t;
struct cMdfBlock_CN_t;
struct cMdfDecodePlan;

enum class cMdfValueKind : uint32_t {
  Unsigned = 0,  // unsigned integer
  Bytes = 1,     // byte array
  Float = 2,     // IEEE 754 floating point
  Signed = 3,    // two's complement integer
};

// The frame field a channel fills, selected by its name.
enum class cMdfFrameField : uint32_t {
  None = 0,
  Brs = 1,
  BusChannel = 2,
  DataBytes = 3,
  DataLength = 4,
  Dir = 5,
  Dlc = 6,
  Edl = 7,
  ErrorType = 8,
  Esi = 9,
  Id = 10,
  Ide = 11,
  LinBusChannel = 12,
  LinDataBytes = 13,
  LinDataLength = 14,
  LinDir = 15,
  LinId = 16,
  LinReceivedDataByteCount = 17,
  Timestamp = 18,
  // A channel whose value the frame keeps nothing of: every decoder passes
  // it over. Only files of any writer have such rules: the bus-logging
  // conventions allow more members than a frame holds (the CRC, a frame
  // duration, an error frame's identifier), and other writers use them.
  Ignored = 19,
};

struct cMdfDecodeRule {
  // First bit of the value in the record (after the record id) in the
  // numbering of its byte order. Little-endian, LSB-first: byte offset * 8 +
  // bit offset. Big-endian, MSB-first: the value's most significant bit,
  // which lies bit offset + bit count bits above the low end of the last
  // byte the value touches.
  uint64_t bitPosition;
  uint64_t bitCount;
  cMdfValueKind valueKind;
  bool littleEndian;              // false: big-endian, MSB-first numbering
  cMdfConversionRule conversion;  // owned
  // Integer channels: the conversion as an exact tick scale to nanoseconds
  // (zero numerator when it has none, and for other value kinds).
  cMdfTickScale ticks;
  char* name;  // owned, zero-terminated (malloc); null reads as ""
  cMdfFrameField field;
  // Block holding the channel's variable-length values (SD block or VLSD
  // channel group); null unless the channel is a VLSD channel. Borrowed:
  // the channel keeps the reference.
  const cMdfBlock_t* signalData;
  // The channel is its group's master channel of time (channel type
  // master, sync type time), whatever its name.
  bool timeMaster;
};

// Growable rule array, owned by its channel group. It grows to
// capacity * 3 / 2 + 4 elements when full. All members are plain data, so
// the array moves rules with realloc.
struct cMdfDecodeRuleArray {
  cMdfDecodeRule* data;
  size_t size;
  size_t capacity;
  // The rules as a decode plan (decode/cMdfDecodePlan.h), owned; null when
  // none was made. Any change of the rules drops it.
  cMdfDecodePlan* plan;
  // Memory ran out building the rules (createDecodingRulesInner): a rule
  // is missing, or lacks its name or its conversion. Records must not be
  // decoded by them. Clearing the array resets it.
  bool incomplete;
};

// Every member zero or empty (position 0, count 0, Unsigned, big-endian,
// conversion with no table, no name, field None, no signal data). False for
// a null rule.
bool cMdfDecodeRule_init(cMdfDecodeRule* rule);
// Frees the name and drops the conversion; the rule is left empty.
void cMdfDecodeRule_drop(cMdfDecodeRule* rule);
// Same members, a fresh copy of the name and a clone of the conversion; the
// signal data pointer is shared. If the name cannot be copied the clone has
// none (and so field None).
cMdfDecodeRule cMdfDecodeRule_clone(cMdfDecodeRule rule);
// Replaces the name with a copy of the n bytes at text (cut at the first
// zero byte). False when allocation fails; the rule then has no name.
bool cMdfDecodeRule_setName(cMdfDecodeRule* rule, const char* text, size_t n);
// Sets the field from the name: whole, case-sensitive match against the
// bus-logging channel names; None for any other name.
void cMdfDecodeRule_mapName(cMdfDecodeRule* rule);

// Takes ownership of *rule on success (and drops the plan). False when the
// array cannot grow; the caller still owns the rule then.
bool cMdfDecodeRuleArray_push(cMdfDecodeRuleArray* rules,
                              const cMdfDecodeRule* rule);
// Drops every rule, last to first, and the plan; the storage is kept.
void cMdfDecodeRuleArray_clear(cMdfDecodeRuleArray* rules);
// Clears and frees the storage.
void cMdfDecodeRuleArray_drop(cMdfDecodeRuleArray* rules);
// Makes a plan of the rules for records of `recordSize` bytes and the
// decoder of `decoderKind`, in place of the one before; without memory for
// it the rules have none.
void cMdfDecodeRuleArray_plan(cMdfDecodeRuleArray* rules, uint64_t recordSize,
                              uint32_t decoderKind);

// Appends the rules of one channel: a composed channel contributes the
// rules of its leaf members, in order and at any depth, and none of its own.
// A rule's name is its channel's name, cut at 1024 bytes. Where memory runs
// out, the array is marked incomplete.
void createDecodingRulesInner(const cMdfBlock_CN_t* channel,
                              cMdfDecodeRuleArray* rules);
