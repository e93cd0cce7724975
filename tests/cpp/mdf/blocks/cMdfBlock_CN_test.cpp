#include "mdf/blocks/cMdfBlock_CN.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "mdf/blocks/cMdfBlock_CC.h"
#include "mdf/blocks/cMdfBlock_TX.h"
#include "support/mdf_block_bytes.h"

namespace {

using mdftest::BlockBytes;

using mdftest::loadSingle;

uint64_t u64At(const std::vector<uint8_t>& bytes, uint64_t at) {
  uint64_t v = 0;
  std::memcpy(&v, &bytes.at(at), 8);
  return v;
}

std::string nameOf(const cMdfBlock_CN_t* channel) {
  return std::string(cMdfBlockText_get(channel->name.block));
}

TEST(cMdfBlock_CN, LoadsLinksAndDataSection) {
  BlockBytes bytes;
  const uint64_t cc = bytes.cc(1, {0.5, 2.0});
  BlockBytes::Channel described;
  described.name = "CAN_DataFrame.ID";
  described.byteOffset = 9;
  described.bitOffset = 3;
  described.bitCount = 29;
  described.conversion = cc;
  const uint64_t at = bytes.cn(described);
  cMdfBlockRef ref = loadSingle(bytes, at);
  const cMdfBlock_CN_t* channel = cMdfBlock_t_to_cMdfBlock_CN_t(ref);
  ASSERT_NE(channel, nullptr);
  EXPECT_EQ(channel->length, 160u);
  EXPECT_EQ(channel->linkCount, 8u);
  EXPECT_EQ(channel->fileOffset, at);
  EXPECT_EQ(nameOf(channel), "CAN_DataFrame.ID");
  EXPECT_EQ(cMdfBlock_CC_getConversionType(
                cMdfBlock_t_to_cMdfBlock_CC_t(channel->conversion)),
            1);
  EXPECT_EQ(cMdfBlock_CN_getByteOffset(channel), 9u);
  EXPECT_EQ(cMdfBlock_CN_getBitOffset(channel), 3);
  EXPECT_EQ(cMdfBlock_CN_getBitLength(channel), 29u);
  EXPECT_EQ(cMdfBlock_CN_getDataType(channel), MDF_CN_DATA_UNSIGNED_LE);
  EXPECT_EQ(cMdfBlock_CN_getChannelType(channel), MDF_CN_FIXED);
  EXPECT_EQ(channel->source.block, nullptr);
  EXPECT_EQ(cMdfBlockList_size(&channel->composition), 0u);
  cMdfBlockRef_drop(&ref);
}

TEST(cMdfBlock_CN, DerivedTypes) {
  const struct {
    uint8_t raw;
    uint32_t channelType;
    uint32_t dataType;
  } cases[] = {
      {0, MDF_CN_FIXED, MDF_CN_DATA_UNSIGNED_LE},
      {1, MDF_CN_VLSD, MDF_CN_DATA_UNSIGNED_BE},
      {2, MDF_CN_MASTER, MDF_CN_DATA_SIGNED_LE},
      {3, MDF_CN_UNSUPPORTED, MDF_CN_DATA_SIGNED_BE},
      {4, MDF_CN_UNSUPPORTED, MDF_CN_DATA_FLOAT_LE},
      {5, MDF_CN_UNSUPPORTED, MDF_CN_DATA_FLOAT_BE},
      {6, MDF_CN_VIRTUAL, MDF_CN_DATA_STRING},
      {7, MDF_CN_UNSUPPORTED, 0},
      {10, MDF_CN_UNSUPPORTED, MDF_CN_DATA_BYTES},
      {255, MDF_CN_UNSUPPORTED, 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(cMdfBlock_CN_deriveChannelType(c.raw), c.channelType) << +c.raw;
    EXPECT_EQ(cMdfBlock_CN_deriveDataType(c.raw), c.dataType) << +c.raw;
  }
  // Through a load: unsupported raw types load and derive to 7 and 0.
  BlockBytes bytes;
  BlockBytes::Channel described;
  described.channelType = 4;
  described.dataType = 7;
  cMdfBlockRef ref = loadSingle(bytes, bytes.cn(described));
  ASSERT_NE(ref.block, nullptr);
  EXPECT_EQ(cMdfBlock_CN_getChannelType(cMdfBlock_t_to_cMdfBlock_CN_t(ref)),
            MDF_CN_UNSUPPORTED);
  EXPECT_EQ(cMdfBlock_CN_getDataType(cMdfBlock_t_to_cMdfBlock_CN_t(ref)),
            MDF_CN_DATA_UNSUPPORTED);
  cMdfBlockRef_drop(&ref);
}

TEST(cMdfBlock_CN, NullChannelGetters) {
  EXPECT_EQ(cMdfBlock_CN_getBitOffset(nullptr), 0);
  EXPECT_EQ(cMdfBlock_CN_getByteOffset(nullptr), 0u);
  EXPECT_EQ(cMdfBlock_CN_getBitLength(nullptr), 0u);
  EXPECT_EQ(cMdfBlock_CN_getDataType(nullptr), 0u);
  EXPECT_EQ(cMdfBlock_CN_getChannelType(nullptr), 7u);
}

TEST(cMdfBlock_CN, RefusesOtherLinkCountsAndShortBlocks) {
  BlockBytes bytes;
  const std::vector<uint8_t> data(72, 0);
  const uint64_t nineLinks =
      bytes.block("##CN", {0, 0, 0, 0, 0, 0, 0, 0, 0}, data);
  const uint64_t shortData = bytes.block("##CN", {0, 0, 0, 0, 0, 0, 0, 0},
                                         std::vector<uint8_t>(40, 0));
  for (const uint64_t at : {nineLinks, shortData}) {
    cMdfBlockRef ref = loadSingle(bytes, at);
    EXPECT_EQ(ref.block, nullptr) << at;
    cMdfBlockRef_drop(&ref);
  }
}

TEST(cMdfBlock_CN, ChainLoadsIntoTheListInChainOrder) {
  BlockBytes bytes;
  BlockBytes::Channel first, second, third;
  first.name = "first";
  second.name = "second";
  third.name = "third";
  const uint64_t at = bytes.chain({first, second, third});
  cMdfBlockList list{};
  ASSERT_TRUE(mdftest::loadChain(bytes, at, &list));
  ASSERT_EQ(cMdfBlockList_size(&list), 3u);
  const char* names[] = {"first", "second", "third"};
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(nameOf(cMdfBlock_t_to_cMdfBlock_CN_t(cMdfBlockList_at(&list, i))),
              names[i]);
  }
  cMdfBlockList_clear(&list);
}

TEST(cMdfBlock_CN, SaveKeepsCompositionOrderAndRoundTrips) {
  BlockBytes bytes;
  BlockBytes::Channel first, second, third, parent;
  first.name = "first";
  second.name = "second";
  third.name = "third";
  parent.name = "CAN_DataFrame";
  parent.dataType = 10;
  parent.channelType = 3;  // unsupported raw type, written back as is
  parent.bitCount = 64;
  parent.composition = bytes.chain({first, second, third});
  cMdfBlockRef ref = loadSingle(bytes, bytes.cn(parent));
  ASSERT_NE(ref.block, nullptr);
  ASSERT_EQ(
      cMdfBlockList_size(&cMdfBlock_t_to_cMdfBlock_CN_t(ref)->composition), 3u);

  const std::vector<uint8_t> out = mdftest::savePass(ref.block);
  // The parent is written first, at offset 0; raw types unchanged.
  EXPECT_EQ(std::string(out.begin(), out.begin() + 4), "##CN");
  EXPECT_EQ(out.at(88), 3);
  EXPECT_EQ(out.at(90), 10);
  EXPECT_EQ(out.at(109), 0);  // reserved, never written
  // Members are written from the last to the first, each linking to its
  // successor: the chain on disk runs first -> second -> third.
  const cMdfBlockList* members =
      &cMdfBlock_t_to_cMdfBlock_CN_t(ref)->composition;
  const uint64_t offsets[] = {cMdfBlockList_at(members, 0).block->fileOffset,
                              cMdfBlockList_at(members, 1).block->fileOffset,
                              cMdfBlockList_at(members, 2).block->fileOffset};
  EXPECT_GT(offsets[0], offsets[1]);
  EXPECT_GT(offsets[1], offsets[2]);
  EXPECT_EQ(u64At(out, 32), offsets[0]);
  EXPECT_EQ(u64At(out, offsets[0] + 24), offsets[1]);
  EXPECT_EQ(u64At(out, offsets[1] + 24), offsets[2]);
  EXPECT_EQ(u64At(out, offsets[2] + 24), 0u);

  // What was written loads again, with the chain in its order.
  cIO* io = cIO_memoryAlloc_ctor();
  cIO_write(io, out.data(), out.size());
  cMdfBlockCache cache;
  cMdfBlockRef again = cMdfBlock_loadAtSingle(io, 0, &cache);
  cIO_close(io);
  const cMdfBlock_CN_t* reloaded = cMdfBlock_t_to_cMdfBlock_CN_t(again);
  ASSERT_NE(reloaded, nullptr);
  EXPECT_EQ(nameOf(reloaded), "CAN_DataFrame");
  EXPECT_EQ(reloaded->channelTypeRaw, 3);
  EXPECT_EQ(reloaded->dataTypeRaw, 10);
  EXPECT_EQ(cMdfBlock_CN_getBitLength(reloaded), 64u);
  ASSERT_EQ(cMdfBlockList_size(&reloaded->composition), 3u);
  const char* names[] = {"first", "second", "third"};
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(nameOf(cMdfBlock_t_to_cMdfBlock_CN_t(
                  cMdfBlockList_at(&reloaded->composition, i))),
              names[i]);
  }
  cMdfBlockRef_drop(&again);
  cMdfBlockRef_drop(&ref);
}

TEST(cMdfBlock_CN, SharedNameIsWrittenOnce) {
  BlockBytes bytes;
  const uint64_t name = bytes.tx("shared");
  BlockBytes::Channel a, b;
  // chain() writes the last channel first, so b lies just before a.
  const uint64_t first = bytes.chain({a, b});
  bytes.setLink(first, 2, name);
  bytes.setLink(first - 160, 2, name);
  cMdfBlockList list{};
  ASSERT_TRUE(mdftest::loadChain(bytes, first, &list));
  ASSERT_EQ(cMdfBlockList_size(&list), 2u);
  const cMdfBlock_CN_t* ca =
      cMdfBlock_t_to_cMdfBlock_CN_t(cMdfBlockList_at(&list, 0));
  const cMdfBlock_CN_t* cb =
      cMdfBlock_t_to_cMdfBlock_CN_t(cMdfBlockList_at(&list, 1));
  ASSERT_EQ(ca->name.block, cb->name.block);
  EXPECT_EQ(cMdfBlockRef_useCount(ca->name), 2);

  cIO* out = mdftest::zeroedOutput();
  cMdfBlockSaveContext context;
  context.stream = out;
  EXPECT_EQ(cMdfBlock_save(cMdfBlockList_at(&list, 0).block, &context, nullptr),
            1);
  EXPECT_EQ(cMdfBlock_save(cMdfBlockList_at(&list, 1).block, &context,
                           cMdfBlockList_at(&list, 0).block),
            1);
  const std::vector<uint8_t> written =
      mdftest::streamBytes(out, context.nextFree);
  cIO_close(out);
  EXPECT_EQ(u64At(written, ca->fileOffset + 40),
            u64At(written, cb->fileOffset + 40));
  EXPECT_EQ(u64At(written, cb->fileOffset + 24), ca->fileOffset);
  cMdfBlockList_clear(&list);
}

}  // namespace
