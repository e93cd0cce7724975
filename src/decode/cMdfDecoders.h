// Frame decoders: turn one record of a channel group into one decoded bus
// frame, by walking the group's decoding rules.
//
// Every field comes from the rules; there is no fixed byte layout. The
// decoder of a group is chosen once from its channel names
// (getOptimalDecoder); per record only the rule walk runs, which allocates
// nothing and compares no strings. Where the rules carry a decode plan that
// holds for the record (decode/cMdfDecodePlan.h), the walk takes each
// numeric value by the rule's step: a direct load and an inline conversion
// instead of the general bit extraction, with the same result.
#pragma once

#include <cstdint>

#include "decode/cMdfDecodeRule.h"

// Frame kinds (cMdfBusMsg::kind).
enum : uint32_t {
  kMdfBusMsgNone = 0,
  kMdfBusMsgCanData = 1,
  kMdfBusMsgCanRemote = 2,
  kMdfBusMsgCanError = 3,
  kMdfBusMsgLin = 4,
  // LIN error records: the frame id where the record holds one (else 0) and
  // the bus channel, in the LIN member; no payload.
  kMdfBusMsgLinChecksumError = 5,
  kMdfBusMsgLinReceiveError = 6,
  kMdfBusMsgLinSyncError = 7,
  kMdfBusMsgLinTransmissionError = 8,
};

// Decoder result for a record that was not decoded.
constexpr int32_t kMdfDecodeFailed = 9;

// Payload capacities. A decoded frame's data length never exceeds them.
constexpr uint64_t kMdfCanPayloadSize = 64;
constexpr uint64_t kMdfLinPayloadSize = 8;

// One decoded bus frame. It points into itself (data), so it is filled in
// place and not copied around.
struct cMdfBusMsg {
  double timeOffset;  // seconds relative to the file's start time
  // The same offset in nanoseconds: exact, in integer arithmetic, for a
  // time channel of integer ticks whose conversion has an exact tick scale
  // (cMdfTickScale); otherwise the seconds, rounded once.
  int64_t timeOffsetNs;
  uint32_t id;
  const uint8_t* data;  // the payload member of the kind, or null
  uint64_t dataLength;  // payload bytes; at most the kind's payload size
  uint32_t kind;        // kMdfBusMsg*
  union {
    struct {     // CAN data and remote frames
      bool ide;  // extended identifier
      bool dir;  // transmitted
      bool edl;  // FD frame
      bool esi;  // error state indicator
      bool brs;  // bit rate switch
      bool remote;
      uint8_t busChannel;
      uint8_t dlc;  // as logged; the payload length is dataLength
      uint8_t payload[kMdfCanPayloadSize];
    } can;
    struct {  // CAN error frame
      uint8_t busChannel;
      uint32_t errorType;  // 1 to 5, 0 for anything else
    } canError;
    struct {     // LIN frame and LIN error records
      bool dir;  // transmitted
      uint8_t busChannel;
      uint8_t receivedDataByteCount;
      uint8_t payload[kMdfLinPayloadSize];
    } lin;
  };
};

// What a decoder reads: one record and the signal data fetched for it.
struct cMdfRecordView {
  const uint8_t* record;  // record bytes, without the record id
  uint64_t recordSize;
  // Variable-length values of the record's VLSD channels, one per rule that
  // has signal data, in rule order: a u32 little-endian length, then that
  // many bytes.
  const uint8_t* signalData;
  uint64_t signalDataSize;
  const cMdfDecodeRuleArray* rules;  // the channel group's rules
};

// Fills *frame from *view; returns the frame kind (1 to 8) or
// kMdfDecodeFailed when the record was not decoded.
typedef int32_t (*cMdfDecoderFn)(const cMdfRecordView* view, cMdfBusMsg* frame);

// Group decoder kinds (getOptimalDecoder).
enum : uint32_t {
  kMdfDecoderGeneric = 0,
  kMdfDecoderCanData = 1,
  kMdfDecoderCanRemote = 2,
  kMdfDecoderCanError = 3,
  kMdfDecoderLin = 4,
  kMdfDecoderLinChecksumError = 5,
  kMdfDecoderLinReceiveError = 6,
  kMdfDecoderLinSyncError = 7,
  kMdfDecoderLinTransmissionError = 8,
};

// Chooses a group's decoder from the common prefix of its rule names (the
// text before the first "."; names without one do not count). False, with
// both outputs untouched, unless there is exactly one prefix; an unknown
// prefix gives the generic decoder and kind 0.
bool getOptimalDecoder(const cMdfDecodeRuleArray* rules, cMdfDecoderFn* decoder,
                       uint32_t* kind);

// Decoders. On failure (result 9) the frame has kind 0, data length 0 and no
// data; the members the walk reached are left as it wrote them.
//
// Byte values (rules of kind Bytes) come from the signal data for VLSD
// channels and from the record otherwise. A value longer than 64 bytes, or
// one that reaches past its buffer, fails the frame at once. Bytes rules
// fill only the DataBytes fields and numeric rules only the others; a rule
// of the wrong kind for its field is skipped. Data lengths are clamped to
// the payload (64 bytes for CAN, 8 for LIN).
int32_t cMdfDecoders_decodeCanDataFrame(const cMdfRecordView* view,
                                        cMdfBusMsg* frame);
int32_t cMdfDecoders_decodeCanRemoteFrame(const cMdfRecordView* view,
                                          cMdfBusMsg* frame);
int32_t cMdfDecoders_decodeCanErrorFrame(const cMdfRecordView* view,
                                         cMdfBusMsg* frame);
int32_t cMdfDecoders_decodeLinFrame(const cMdfRecordView* view,
                                    cMdfBusMsg* frame);
// LIN error records: Timestamp, ID and BusChannel are taken, any other
// channel of the record is passed over; no data.
int32_t cMdfDecoders_decodeLinChecksumError(const cMdfRecordView* view,
                                            cMdfBusMsg* frame);
int32_t cMdfDecoders_decodeLinReceiveError(const cMdfRecordView* view,
                                           cMdfBusMsg* frame);
int32_t cMdfDecoders_decodeLinSyncError(const cMdfRecordView* view,
                                        cMdfBusMsg* frame);
int32_t cMdfDecoders_decodeLinTransmissionError(const cMdfRecordView* view,
                                                cMdfBusMsg* frame);
// Sets the kind to 0 and returns 9, touching nothing else.
int32_t cMdfDecoders_decodeGeneric(const cMdfRecordView* view,
                                   cMdfBusMsg* frame);
