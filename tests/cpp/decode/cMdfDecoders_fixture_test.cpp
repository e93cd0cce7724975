// Records of a file written by the project's MF4 writer decode to the
// frames of the writer's ground truth. Channel groups are loaded from the
// file by the block loader; the records are cut out of the data block here,
// following the record layout (record id, data bytes, VLSD records or
// signal data offsets), so that only block loading, rule building and the
// decoders are under test.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

#include "decode/cDecode.h"
#include "decode/cMdfDecoders.h"
#include "mdf/blocks/cMdfBlock_CG.h"
#include "streams/cIO_memoryAlloc.h"
#include "support/mf4_truth_support.h"

namespace {

std::vector<uint8_t> fixtureBytes(const std::string& name) {
  const std::string bytes = mf4truth::fixtureBytes("decode", name);
  return std::vector<uint8_t>(bytes.begin(), bytes.end());
}

uint64_t littleEndian(const std::vector<uint8_t>& bytes, uint64_t at,
                      unsigned width) {
  uint64_t v = 0;
  for (unsigned i = 0; i < width; ++i) {
    v |= uint64_t{bytes.at(at + i)} << (8 * i);
  }
  return v;
}

TEST(cMdfDecodersFixture, RecordsDecodeToTheWritersGroundTruth) {
  const std::vector<uint8_t> file = fixtureBytes("frames.mf4");
  const std::vector<std::vector<mf4truth::Frame>> truth =
      mf4truth::readTruth("decode", "frames.truth");
  ASSERT_EQ(truth.size(), 3u);
  cIO* io = cIO_memoryAlloc_ctor();
  ASSERT_EQ(cIO_write(io, file.data(), file.size()),
            static_cast<int64_t>(file.size()));

  // Header block at 64: link 0 is the first data group. Data group: links
  // next, first channel group, data block; record id size at byte 56.
  uint64_t dg = littleEndian(file, 64 + 24, 8);
  for (size_t g = 0; g < truth.size(); ++g) {
    SCOPED_TRACE("data group " + std::to_string(g));
    ASSERT_NE(dg, 0u);
    const uint64_t firstGroup = littleEndian(file, dg + 32, 8);
    const uint64_t dt = littleEndian(file, dg + 40, 8);
    const auto idSize = static_cast<unsigned>(file.at(dg + 56));
    cMdfBlockCache cache;
    cMdfBlockList groups{};
    ASSERT_TRUE(cMdfBlock_loadAt(io, firstGroup, &cache, &groups));

    struct Group {
      cMdfBlock_CG_t* block;
      cMdfDecoderFn decoder;
    };
    std::unordered_map<uint64_t, Group> byId;
    for (size_t i = 0; i < cMdfBlockList_size(&groups); ++i) {
      cMdfBlock_CG_t* cg =
          cMdfBlock_t_to_cMdfBlock_CG_t_mut(cMdfBlockList_at(&groups, i));
      ASSERT_NE(cg, nullptr);
      cMdfDecoderFn decoder = cMdfDecoders_decodeGeneric;
      uint32_t kind = 0;
      getOptimalDecoder(cMdfBlock_CG_getDecodingRules(cg), &decoder, &kind);
      byId[cg->recordId] = {cg, decoder};
    }

    const uint64_t end = dt + littleEndian(file, dt + 8, 8);
    uint64_t at = dt + 24;
    size_t n = 0;
    while (at < end) {
      const auto found = byId.find(littleEndian(file, at, idSize));
      ASSERT_NE(found, byId.end()) << at;
      const cMdfBlock_CG_t* cg = found->second.block;
      ASSERT_FALSE(cg->vlsd) << "VLSD record before its frame at " << at;
      at += idSize;
      const std::vector<uint8_t> record(file.begin() + at,
                                        file.begin() + at + cg->dataBytes);
      at += cg->dataBytes;
      // One signal data value per VLSD rule, in rule order.
      std::vector<uint8_t> signal;
      for (size_t r = 0; r < cg->rules.size; ++r) {
        const cMdfDecodeRule& rule = cg->rules.data[r];
        if (rule.signalData == nullptr) continue;
        uint64_t value = 0;
        if (const cMdfBlock_CG_t* vlsd =
                cMdfBlock_t_to_cMdfBlock_CG_t(rule.signalData)) {
          ASSERT_EQ(littleEndian(file, at, idSize), vlsd->recordId);
          value = at + idSize;
          at = value + 4 + littleEndian(file, value, 4);
        } else {
          value = rule.signalData->fileOffset + 24 +
                  cDecode_getRawBits(record.data(), record.size(),
                                     rule.bitPosition, rule.bitCount, true);
        }
        const uint64_t length = littleEndian(file, value, 4);
        signal.insert(signal.end(), file.begin() + value,
                      file.begin() + value + 4 + length);
      }
      const cMdfRecordView view{record.data(), record.size(),
                                signal.empty() ? nullptr : signal.data(),
                                signal.size(), &cg->rules};
      cMdfBusMsg frame;
      const int32_t result = found->second.decoder(&view, &frame);
      ASSERT_LT(n, truth[g].size());
      SCOPED_TRACE("record " + std::to_string(n));
      mf4truth::expectFrame(result, frame, truth[g][n++]);
    }
    EXPECT_EQ(n, truth[g].size());
    cMdfBlockList_clear(&groups);
    dg = littleEndian(file, dg + 24, 8);
  }
  cIO_close(io);
}

}  // namespace
