#include "mdf/blocks/cMdfBlock_CN.h"

#include <iterator>

namespace {

// Link positions.
enum : uint64_t {
  kLinkNext = 0,
  kLinkComposition = 1,
  kLinkName = 2,
  kLinkSource = 3,
  kLinkConversion = 4,
  kLinkData = 5,
  kLinkUnit = 6,
  kLinkComment = 7,
  kLinkCount = 8,
};

const cMdfBlock_vtable kChannelOperations = {
    cMdfBlock_CN_load, cMdfBlock_CN_save, cMdfBlock_CN_dtor, nullptr};

// The single links after the composition, in load and save order, as
// members of the channel.
cMdfBlockRef cMdfBlock_CN_t::*const kSingleLinks[] = {
    &cMdfBlock_CN_t::name, &cMdfBlock_CN_t::source, &cMdfBlock_CN_t::conversion,
    &cMdfBlock_CN_t::data, &cMdfBlock_CN_t::unit,   &cMdfBlock_CN_t::comment};

bool readDataSection(cMdfBlock_CN_t* channel, cSerializer* s) {
  return cSerializer_readU8(s, &channel->channelTypeRaw) &&
         cSerializer_readU8(s, &channel->syncType) &&
         cSerializer_readU8(s, &channel->dataTypeRaw) &&
         cSerializer_readU8(s, &channel->bitOffset) &&
         cSerializer_readU32(s, &channel->byteOffset) &&
         cSerializer_readU32(s, &channel->bitCount) &&
         cSerializer_readU32(s, &channel->flags) &&
         cSerializer_readU32(s, &channel->invalidationBitPosition) &&
         cSerializer_readU8(s, &channel->precision) && cSerializer_skip(s, 1) &&
         cSerializer_readU16(s, &channel->attachmentCount) &&
         cSerializer_readF64(s, &channel->valueRangeMin) &&
         cSerializer_readF64(s, &channel->valueRangeMax) &&
         cSerializer_readF64(s, &channel->limitMin) &&
         cSerializer_readF64(s, &channel->limitMax) &&
         cSerializer_readF64(s, &channel->extendedLimitMin) &&
         cSerializer_readF64(s, &channel->extendedLimitMax);
}

bool writeDataSection(const cMdfBlock_CN_t* channel, cSerializer* s) {
  bool ok = cSerializer_writeU8(s, channel->channelTypeRaw);
  ok = cSerializer_writeU8(s, channel->syncType) && ok;
  ok = cSerializer_writeU8(s, channel->dataTypeRaw) && ok;
  ok = cSerializer_writeU8(s, channel->bitOffset) && ok;
  ok = cSerializer_writeU32(s, channel->byteOffset) && ok;
  ok = cSerializer_writeU32(s, channel->bitCount) && ok;
  ok = cSerializer_writeU32(s, channel->flags) && ok;
  ok = cSerializer_writeU32(s, channel->invalidationBitPosition) && ok;
  ok = cSerializer_writeU8(s, channel->precision) && ok;
  ok = cSerializer_skip(s, 1) && ok;
  ok = cSerializer_writeU16(s, channel->attachmentCount) && ok;
  ok = cSerializer_writeF64(s, channel->valueRangeMin) && ok;
  ok = cSerializer_writeF64(s, channel->valueRangeMax) && ok;
  ok = cSerializer_writeF64(s, channel->limitMin) && ok;
  ok = cSerializer_writeF64(s, channel->limitMax) && ok;
  ok = cSerializer_writeF64(s, channel->extendedLimitMin) && ok;
  ok = cSerializer_writeF64(s, channel->extendedLimitMax) && ok;
  return ok;
}

}  // namespace

cMdfBlock_CN_t* cMdfBlock_CN_ctor() {
  auto* channel =
      cMdfBlock_allocate<cMdfBlock_CN_t>(MDF_BLOCK_CN, &kChannelOperations);
  if (channel != nullptr) channel->channelType = MDF_CN_UNSUPPORTED;
  return channel;
}

bool cMdfBlock_CN_load(cMdfBlock_t* block, cIO* stream, cMdfBlockCache* cache,
                       const cMdfBlockHeader* header, cMdfBlockList* list) {
  cMdfBlock_CN_t* channel = cMdfBlock_t_to_cMdfBlock_CN_t_mut(block);
  uint64_t links[kLinkCount];
  // The rest of this channel's chain joins the list it is loaded for; the
  // members of its own composition go to its composition list.
  if (channel == nullptr || header == nullptr ||
      !cMdfBlock_loadHead(channel, stream, cache, header, links, kLinkCount) ||
      !cMdfBlock_loadChainLink(stream, links[kLinkNext], cache, list) ||
      !cMdfBlock_loadChainLink(stream, links[kLinkComposition], cache,
                               &channel->composition)) {
    return false;
  }
  for (size_t i = 0; i < std::size(kSingleLinks); ++i) {
    if (!cMdfBlock_loadSingleLink(stream, links[kLinkName + i], cache,
                                  &(channel->*kSingleLinks[i])))
      return false;
  }

  cSerializer s = cMdfBlock_dataSerializer(channel, stream);
  if (!readDataSection(channel, &s))
    return cMdfBlock_refuse(cache, channel, "its fields could not be read");
  channel->channelType =
      cMdfBlock_CN_deriveChannelType(channel->channelTypeRaw);
  channel->dataType = cMdfBlock_CN_deriveDataType(channel->dataTypeRaw);
  return true;
}

bool cMdfBlock_CN_save(cMdfBlock_t* block, cMdfBlockSaveContext* context,
                       const cMdfBlock_t* next) {
  cMdfBlock_CN_t* channel = cMdfBlock_t_to_cMdfBlock_CN_t_mut(block);
  if (channel == nullptr || context == nullptr ||
      !cMdfBlock_reserve(channel, context, false)) {
    return false;
  }
  bool ok = true;
  uint64_t links[kLinkCount];
  links[kLinkNext] = cMdfBlock_linkTo(next);
  links[kLinkComposition] =
      cMdfBlock_saveChain(&channel->composition, context, &ok);
  for (size_t i = 0; i < std::size(kSingleLinks); ++i) {
    links[kLinkName + i] =
        cMdfBlock_saveChild(channel->*kSingleLinks[i], context, &ok);
  }
  cSerializer s;
  if (!cMdfBlock_writeHead(channel, context, links, kLinkCount, &s)) {
    return false;
  }
  ok = writeDataSection(channel, &s) && ok;
  // A block whose length is not the 160 bytes written is reported, but the
  // write itself went through.
  cMdfBlock_checkSavePosition(context, channel->fileOffset + channel->length);
  return ok;
}

void cMdfBlock_CN_dtor(cMdfBlock_t* block) {
  cMdfBlock_CN_t* channel = cMdfBlock_t_to_cMdfBlock_CN_t_mut(block);
  if (channel == nullptr) return;
  cMdfBlockList_clear(&channel->composition);
  for (cMdfBlockRef cMdfBlock_CN_t::*member : kSingleLinks) {
    cMdfBlockRef_drop(&(channel->*member));
  }
}

uint8_t cMdfBlock_CN_getBitOffset(const cMdfBlock_CN_t* channel) {
  return channel != nullptr ? channel->bitOffset : 0;
}

uint32_t cMdfBlock_CN_getByteOffset(const cMdfBlock_CN_t* channel) {
  return channel != nullptr ? channel->byteOffset : 0;
}

uint32_t cMdfBlock_CN_getBitLength(const cMdfBlock_CN_t* channel) {
  return channel != nullptr ? channel->bitCount : 0;
}

uint32_t cMdfBlock_CN_getDataType(const cMdfBlock_CN_t* channel) {
  return channel != nullptr ? channel->dataType : MDF_CN_DATA_UNSUPPORTED;
}

uint32_t cMdfBlock_CN_getChannelType(const cMdfBlock_CN_t* channel) {
  return channel != nullptr ? channel->channelType : MDF_CN_UNSUPPORTED;
}

uint32_t cMdfBlock_CN_deriveChannelType(uint8_t raw) {
  switch (raw) {
    case 0:
      return MDF_CN_FIXED;
    case 1:
      return MDF_CN_VLSD;
    case 2:
      return MDF_CN_MASTER;
    case 6:
      return MDF_CN_VIRTUAL;
    default:
      return MDF_CN_UNSUPPORTED;
  }
}

uint32_t cMdfBlock_CN_deriveDataType(uint8_t raw) {
  switch (raw) {
    case 0:
      return MDF_CN_DATA_UNSIGNED_LE;
    case 1:
      return MDF_CN_DATA_UNSIGNED_BE;
    case 2:
      return MDF_CN_DATA_SIGNED_LE;
    case 3:
      return MDF_CN_DATA_SIGNED_BE;
    case 4:
      return MDF_CN_DATA_FLOAT_LE;
    case 5:
      return MDF_CN_DATA_FLOAT_BE;
    case 6:
      return MDF_CN_DATA_STRING;
    case 10:
      return MDF_CN_DATA_BYTES;
    default:
      return MDF_CN_DATA_UNSUPPORTED;
  }
}
