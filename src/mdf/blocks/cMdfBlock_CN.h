// Channel block (CN, type 4): one signal of a channel group's record.
//
// On disk (little-endian; 160 bytes, exactly 8 links):
//   offset  width  field
//   0       24     header "##CN", link count 8
//   24      8      link: next channel of the same chain (CN)
//   32      8      link: composition, first member channel (CN)
//   40      8      link: name (TX)
//   48      8      link: source (SI)
//   56      8      link: conversion (CC)
//   64      8      link: data, signal data of a VLSD channel (SD, or in an
//                  unsorted file the VLSD channel group holding the values)
//   72      8      link: unit (TX or MD)
//   80      8      link: comment (TX or MD)
//   88      1      channel type (raw)
//   89      1      sync type
//   90      1      data type (raw)
//   91      1      bit offset, added to the byte offset
//   92      4      byte offset of the value within the record
//   96      4      bit count
//   100     4      flags
//   104     4      invalidation bit position
//   108     1      precision
//   109     1      reserved: neither read nor written
//   110     2      attachment count
//   112     8 * 6  value range min/max, limit min/max, extended limit min/max
//
// The next link is not kept: the next channel is loaded into the same block
// list as this one (the group's channel list or the parent channel's
// composition list), which therefore holds the whole chain in order.
#pragma once

#include <cstdint>

#include "mdf/blocks/cMdfBlock.h"

// Derived channel types (cMdfBlock_CN_getChannelType).
enum : uint32_t {
  MDF_CN_FIXED = 0,        // fixed-length data channel
  MDF_CN_VLSD = 1,         // variable-length signal data channel
  MDF_CN_MASTER = 2,       // master channel
  MDF_CN_VIRTUAL = 6,      // virtual data channel
  MDF_CN_UNSUPPORTED = 7,  // any other raw channel type
};

// Derived data types (cMdfBlock_CN_getDataType): raw value plus one for the
// supported kinds, 0 for any other.
enum : uint32_t {
  MDF_CN_DATA_UNSUPPORTED = 0,
  MDF_CN_DATA_UNSIGNED_LE = 1,
  MDF_CN_DATA_UNSIGNED_BE = 2,
  MDF_CN_DATA_SIGNED_LE = 3,  // two's complement
  MDF_CN_DATA_SIGNED_BE = 4,
  MDF_CN_DATA_FLOAT_LE = 5,
  MDF_CN_DATA_FLOAT_BE = 6,
  MDF_CN_DATA_STRING = 7,
  MDF_CN_DATA_BYTES = 11,
};

struct cMdfBlock_CN_t : cMdfBlock_t {
  cMdfBlockList composition;  // member channels, in chain order
  cMdfBlockRef name;
  cMdfBlockRef source;
  cMdfBlockRef conversion;
  cMdfBlockRef data;
  cMdfBlockRef unit;
  cMdfBlockRef comment;
  // The data section as read.
  uint8_t channelTypeRaw;
  uint8_t syncType;
  uint8_t dataTypeRaw;
  uint8_t bitOffset;
  uint32_t byteOffset;
  uint32_t bitCount;
  uint32_t flags;
  uint32_t invalidationBitPosition;
  uint8_t precision;
  uint16_t attachmentCount;
  double valueRangeMin;
  double valueRangeMax;
  double limitMin;
  double limitMax;
  double extendedLimitMin;
  double extendedLimitMax;
  // Set at load from the raw types.
  uint32_t channelType;  // MDF_CN_*
  uint32_t dataType;     // MDF_CN_DATA_*
};

MDF_BLOCK_CASTS(CN, MDF_BLOCK_CN)

// A zero-filled channel with the CN template's header, or nullptr.
cMdfBlock_CN_t* cMdfBlock_CN_ctor();
bool cMdfBlock_CN_load(cMdfBlock_t* block, cIO* stream, cMdfBlockCache* cache,
                       const cMdfBlockHeader* header, cMdfBlockList* list);
bool cMdfBlock_CN_save(cMdfBlock_t* block, cMdfBlockSaveContext* context,
                       const cMdfBlock_t* next);
void cMdfBlock_CN_dtor(cMdfBlock_t* block);

// Getters; a null channel gives 0 (channel type: MDF_CN_UNSUPPORTED).
uint8_t cMdfBlock_CN_getBitOffset(const cMdfBlock_CN_t* channel);
uint32_t cMdfBlock_CN_getByteOffset(const cMdfBlock_CN_t* channel);
uint32_t cMdfBlock_CN_getBitLength(const cMdfBlock_CN_t* channel);
uint32_t cMdfBlock_CN_getDataType(const cMdfBlock_CN_t* channel);
uint32_t cMdfBlock_CN_getChannelType(const cMdfBlock_CN_t* channel);

// The derived types of raw channel and data types.
uint32_t cMdfBlock_CN_deriveChannelType(uint8_t raw);
uint32_t cMdfBlock_CN_deriveDataType(uint8_t raw);
