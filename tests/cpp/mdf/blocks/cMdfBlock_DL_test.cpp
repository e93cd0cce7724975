// Data held in lists and compressed blocks (DL, DZ, HL): read through the
// records of a data group as a data block's would be, and hostile lists
// and compressed blocks refused or ended cleanly.
#include "mdf/blocks/cMdfBlock_DL.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <string>
#include <vector>

#include "mdf/blocks/cMdfBlock_DG.h"
#include "mdf/blocks/cMdfBlock_DZ.h"
#include "mdf/blocks/cMdfBlock_HL.h"
#include "mdf/blocks/cMdfDataStream.h"
#include "streams/cIO_memoryAlloc.h"
#include "support/log_capture.h"
#include "support/mdf_group_support.h"

namespace {

using mdfgroup::BlockBytes;
using mdfgroup::Group;
using mdfgroup::Loaded;
using mdfgroup::Step;
using mdfgroup::steps;

std::string deflated(const std::string& plain) {
  uLongf size = compressBound(plain.size());
  std::string out(size, '\0');
  EXPECT_EQ(
      compress2(reinterpret_cast<Bytef*>(out.data()), &size,
                reinterpret_cast<const Bytef*>(plain.data()), plain.size(), 6),
      Z_OK);
  out.resize(size);
  return out;
}

// The bytes as the transposition of `columns` columns stores them.
std::string transposed(const std::string& plain, size_t columns) {
  const size_t rows = plain.size() / columns;
  std::string out;
  for (size_t c = 0; c < columns; ++c)
    for (size_t r = 0; r < rows; ++r) out += plain[r * columns + c];
  return out + plain.substr(rows * columns);
}

// A DZ block's data section.
std::string dzData(const char* original, uint8_t zipType, uint32_t parameter,
                   uint64_t originalLength, const std::string& compressed) {
  return std::string(original, 2) + u8(zipType) + u8(0) + le(parameter, 4) +
         u64(originalLength) + u64(compressed.size()) + compressed;
}

uint64_t dz(BlockBytes* b, const std::string& plain, uint8_t zipType = 0,
            uint32_t columns = 0) {
  const std::string packed =
      deflated(zipType == 1 ? transposed(plain, columns) : plain);
  return b->block("##DZ", {},
                  dzData("DT", zipType, columns, plain.size(), packed));
}

// A DL block's data section: equal length, or offsets when `offsets` is
// not empty.
std::string dlData(uint32_t count, uint64_t equalLength,
                   const std::vector<uint64_t>& offsets = {}) {
  std::string data = u8(offsets.empty() ? 1 : 0) + zeros(3) + le(count, 4);
  if (offsets.empty()) return data + u64(equalLength);
  for (uint64_t o : offsets) data += u64(o);
  return data;
}

uint64_t dl(BlockBytes* b, const std::vector<uint64_t>& members,
            uint64_t equalLength, uint64_t next = 0,
            const std::vector<uint64_t>& offsets = {}) {
  std::vector<uint64_t> links{next};
  links.insert(links.end(), members.begin(), members.end());
  return b->block(
      "##DL", links,
      dlData(static_cast<uint32_t>(members.size()), equalLength, offsets));
}

uint64_t hl(BlockBytes* b, uint64_t list) {
  return b->block("##HL", {list}, u16(1) + u8(0) + zeros(5));
}

// 16-byte records of a sorted group: "r0..." to "rN...".
std::string records(int n) {
  std::string out;
  for (int i = 0; i < n; ++i) {
    // Appended piece by piece: GCC 12 takes `"r" + std::to_string(i)` at
    // -O3 for an overlapping copy (-Wrestrict, a false positive).
    const std::string number = std::to_string(i);
    out += 'r';
    out += number;
    out.append(15 - number.size(), static_cast<char>('a' + i));
  }
  return out;
}

// The records a sorted group of 16-byte records yields from `data`, read
// after the data group built around it.
std::vector<std::string> read(BlockBytes* b, uint64_t data) {
  const uint64_t cg = mdfgroup::channelGroup(b, Group{0, 16}, 0);
  const uint64_t dg = mdfgroup::dataGroup(b, cg, data, 0);
  Loaded loaded(*b, dg);
  std::vector<std::string> out;
  if (!loaded.group()) return {"<no group>"};
  for (const Step& step : steps(loaded.group(), 1 << 20))
    out.push_back(step.record);
  return out;
}

std::vector<std::string> expected(int n) {
  std::vector<std::string> out;
  const std::string all = records(n);
  for (int i = 0; i < n; ++i) out.push_back(all.substr(16 * i, 16));
  return out;
}

TEST(DataList, RecordsStraddleMembersOfEqualLength) {
  BlockBytes b;
  const std::string data = records(5);  // 80 bytes in 24 + 24 + 24 + 8
  const uint64_t m0 = mdfgroup::dataBlock(&b, "##DT", data.substr(0, 24));
  const uint64_t m1 = mdfgroup::dataBlock(&b, "##DT", data.substr(24, 24));
  const uint64_t m2 = mdfgroup::dataBlock(&b, "##DT", data.substr(48, 24));
  const uint64_t m3 = mdfgroup::dataBlock(&b, "##DT", data.substr(72));
  EXPECT_EQ(read(&b, dl(&b, {m0, m1, m2, m3}, 24)), expected(5));
}

TEST(DataList, OffsetsFormAndChainedLists) {
  BlockBytes b;
  const std::string data = records(4);
  const uint64_t m0 = mdfgroup::dataBlock(&b, "##DT", data.substr(0, 10));
  const uint64_t m1 = mdfgroup::dataBlock(&b, "##DT", data.substr(10, 30));
  const uint64_t m2 = mdfgroup::dataBlock(&b, "##DT", data.substr(40));
  const uint64_t second = dl(&b, {m2}, 0, 0, {40});
  EXPECT_EQ(read(&b, dl(&b, {m0, m1}, 0, second, {0, 10})), expected(4));
}

TEST(DataList, CompressedMembersBehindAHeaderList) {
  BlockBytes b;
  const std::string data = records(7);  // 112 bytes: 48 + 48 + 16
  const uint64_t m0 = dz(&b, data.substr(0, 48));
  const uint64_t m1 = dz(&b, data.substr(48, 48), 1, 16);
  const uint64_t m2 = dz(&b, data.substr(96), 1, 5);  // rows and a rest
  const uint64_t list = dl(&b, {m0, m1}, 48, dl(&b, {m2}, 48));
  EXPECT_EQ(read(&b, hl(&b, list)), expected(7));
}

TEST(DataList, CompressedBlockAlone) {
  for (uint8_t zipType : {uint8_t{0}, uint8_t{1}}) {
    BlockBytes b;
    EXPECT_EQ(read(&b, dz(&b, records(9), zipType, 20)), expected(9));
  }
}

TEST(DataList, LongChainLoadsWithoutDeepStack) {
  // Each list of one member; nested loads would need a frame per list.
  BlockBytes b;
  const int n = 3000;
  const std::string data = records(n);
  std::vector<uint64_t> members;
  for (int i = 0; i < n; ++i)
    members.push_back(mdfgroup::dataBlock(&b, "##DT", data.substr(16 * i, 16)));
  uint64_t next = 0;
  for (int i = n; i-- > 0;) next = dl(&b, {members[i]}, 16, next);
  EXPECT_EQ(read(&b, next), expected(n));
}

// ---------------------------------------------------------------------------
// Hostile lists and compressed blocks: the group does not load, and the
// reason says why.

struct Hostile {
  const char* name;
  // Builds the data link of a sorted group of 16-byte records.
  uint64_t (*build)(BlockBytes* b);
  const char* reason;  // a part of the reason noted
};

uint64_t member(BlockBytes* b) {
  return mdfgroup::dataBlock(b, "##DT", records(1));
}

const Hostile kHostile[] = {
    {"CountDisagreesWithLinks",
     [](BlockBytes* b) {
       const uint64_t m = member(b);
       return b->block("##DL", {0, m}, dlData(2, 16));
     },
     "1 member links, its count says 2"},
    {"MemberWithoutLink",
     [](BlockBytes* b) {
       return dl(b, {member(b), 0}, 16);
     },
     "member 1 has no link"},
    {"MemberListedTwice",
     [](BlockBytes* b) {
       const uint64_t m = member(b);
       return dl(b, {m, m}, 16);
     },
     "listed more than once"},
    {"MemberOfAnotherKind",
     [](BlockBytes* b) { return dl(b, {b->tx("x")}, 16); },
     "member 0 is a TX block"},
    {"MemberLongerThanTheEqualLength",
     [](BlockBytes* b) { return dl(b, {member(b)}, 8); },
     "holds more than the equal length"},
    {"ShortMemberBeforeTheLast",
     [](BlockBytes* b) {
       return dl(b, {member(b), member(b)}, 32);
     },
     "follows a member shorter"},
    {"OffsetsDisagree",
     [](BlockBytes* b) {
       return dl(b, {member(b), member(b)}, 0, 0, {0, 20});
     },
     "does not start where the members before it end"},
    {"LengthTooShortForTheOffsets",
     [](BlockBytes* b) {
       const uint64_t m0 = member(b), m1 = member(b);
       // The offsets form, with room for one offset only.
       return b->block("##DL", {0, m0, m1},
                       u8(0) + zeros(3) + le(2, 4) + u64(0));
     },
     "does not hold the sizes"},
    {"ListIsItsOwnNext",
     [](BlockBytes* b) {
       const uint64_t list = dl(b, {member(b)}, 16);
       b->setLink(list, 0, list);
       return list;
     },
     "a cycle"},
    {"TwoListsInACycle",
     [](BlockBytes* b) {
       const uint64_t second = dl(b, {member(b)}, 16);
       const uint64_t first = dl(b, {member(b)}, 16, second);
       b->setLink(second, 0, first);
       return first;
     },
     "a cycle"},
    {"NextListOfAnotherKind",
     [](BlockBytes* b) { return dl(b, {member(b)}, 16, member(b)); },
     "is a DT block"},
    {"UnknownZipType",
     [](BlockBytes* b) {
       return b->block("##DZ", {}, dzData("DT", 2, 0, 16, deflated("x")));
     },
     "unknown zip type 2"},
    {"UnknownOriginalBlock",
     [](BlockBytes* b) {
       return b->block("##DZ", {}, dzData("RD", 0, 0, 16, deflated("x")));
     },
     "\"RD\", not DT or SD"},
    {"TranspositionOfNoColumns",
     [](BlockBytes* b) {
       return b->block("##DZ", {}, dzData("DT", 1, 0, 16, deflated("x")));
     },
     "transposition of 0 columns"},
    {"CompressedLengthBeyondTheBlock",
     [](BlockBytes* b) {
       std::string data = dzData("DT", 0, 0, 16, deflated(records(1)));
       data.resize(data.size() - 4);
       return b->block("##DZ", {}, data);
     },
     "does not fit in its length"},
    {"OriginalLengthAboveTheLimit",
     [](BlockBytes* b) {
       return b->block("##DZ", {},
                       dzData("DT", 0, 0, kMdfMaxInflatedSize + 1,
                              std::string(200000, 'x')));
     },
     "above kMdfMaxInflatedSize"},
    {"OriginalLengthBeyondDeflate",
     [](BlockBytes* b) {
       return b->block("##DZ", {}, dzData("DT", 0, 0, 1 << 20, deflated("x")));
     },
     "more than deflate can make"},
    {"HeaderListOfNoList", [](BlockBytes* b) { return hl(b, member(b)); },
     "links a DT block, not a data list"},
};

class HostileData : public testing::TestWithParam<Hostile> {};

TEST_P(HostileData, IsRefusedWithItsReason) {
  BlockBytes b;
  const uint64_t data = GetParam().build(&b);
  const uint64_t cg = mdfgroup::channelGroup(&b, Group{0, 16}, 0);
  const uint64_t dg = mdfgroup::dataGroup(&b, cg, data, 0);
  LogCapture log;
  cIO* io = b.stream();
  cMdfBlockCache cache;
  cMdfBlockRef ref = cMdfBlock_loadAtSingle(io, dg, &cache);
  EXPECT_EQ(ref.block, nullptr);
  EXPECT_NE(std::string(cReason_text(&cache.reason)).find(GetParam().reason),
            std::string::npos)
      << cReason_text(&cache.reason);
  cMdfBlockRef_drop(&ref);
  cIO_close(io);
}

INSTANTIATE_TEST_SUITE_P(Blocks, HostileData, testing::ValuesIn(kHostile),
                         [](const testing::TestParamInfo<Hostile>& param) {
                           return std::string(param.param.name);
                         });

// ---------------------------------------------------------------------------
// Compressed data that load but do not inflate to what their block says:
// the records end where the block begins, and the reason is logged once.

struct BadInflate {
  const char* name;
  std::string compressed;
  uint64_t originalLength;
  const char* logged;
};

std::vector<BadInflate> badInflates() {
  std::string corrupt = deflated(records(3));
  corrupt[corrupt.size() / 2] ^= 0x55;
  corrupt[2] ^= 0x7F;
  // Ten MiB of zeros stated as 64 bytes: inflating stops at byte 65.
  const std::string bomb = deflated(std::string(10 << 20, '\0'));
  return {
      {"Corrupt", corrupt, 48, "DZ block at"},
      {"ShorterThanStated", deflated(records(3)), 64,
       "inflates to 48 bytes, its original length is 64"},
      {"LongerThanStated", deflated(records(3)), 32,
       "inflates to more bytes than its original length"},
      {"Bomb", bomb, 64, "inflates to more bytes than its original length"},
      {"CutShort", deflated(records(3)).substr(0, 20), 48,
       "end before the zlib stream does"},
  };
}

class BadInflateData : public testing::TestWithParam<BadInflate> {};

TEST_P(BadInflateData, EndsTheRecordsAndLogsWhy) {
  BlockBytes b;
  const std::string good = records(2);
  const uint64_t m0 = mdfgroup::dataBlock(&b, "##DT", good);
  const uint64_t m1 = b.block(
      "##DZ", {},
      dzData("DT", 0, 0, GetParam().originalLength, GetParam().compressed));
  const uint64_t list =
      dl(&b, {m0, m1}, 0, 0, {0, static_cast<uint64_t>(good.size())});
  LogCapture log;
  EXPECT_EQ(read(&b, list), expected(2));
  ASSERT_EQ(log.lines().size(), 1u);
  EXPECT_NE(log.lines()[0].find(GetParam().logged), std::string::npos)
      << log.lines()[0];
}

INSTANTIATE_TEST_SUITE_P(Blocks, BadInflateData,
                         testing::ValuesIn(badInflates()),
                         [](const testing::TestParamInfo<BadInflate>& param) {
                           return std::string(param.param.name);
                         });

// ---------------------------------------------------------------------------
// Saving: a list of compressed members behind a header list is written as
// one list in the offsets form, and reads back the same.

TEST(DataList, SaveAndReloadKeepTheData) {
  BlockBytes b;
  const std::string data = records(6);
  const uint64_t list = dl(
      &b, {dz(&b, data.substr(0, 48)), dz(&b, data.substr(48, 48), 1, 16)}, 48);
  const uint64_t root = hl(&b, list);
  cIO* in = b.stream();
  cMdfBlockCache cache;
  cMdfBlockRef hlRef = cMdfBlock_loadAtSingle(in, root, &cache);
  ASSERT_NE(hlRef.block, nullptr) << cReason_text(&cache.reason);

  cIO* out = cIO_memoryAlloc_ctor();
  cMdfBlockSaveContext context;
  context.stream = out;
  context.nextFree = 64;
  ASSERT_EQ(cMdfBlock_save(hlRef.block, &context, nullptr), 1);

  cMdfBlockCache again;
  cMdfBlockRef reloaded = cMdfBlock_loadAtSingle(out, 64, &again);
  ASSERT_NE(reloaded.block, nullptr) << cReason_text(&again.reason);
  uint64_t size = 0;
  cIO* stream = cMdfData_stream(reloaded.block, &size);
  ASSERT_NE(stream, nullptr);
  std::string back(size, '\0');
  ASSERT_TRUE(cIO_seekTo(stream, 0));
  EXPECT_EQ(cIO_readFull(stream, back.data(), size),
            static_cast<int64_t>(size));
  EXPECT_EQ(back, data);
  cMdfBlockRef_drop(&reloaded);
  cMdfBlockRef_drop(&hlRef);
  cIO_close(out);
  cIO_close(in);
}

}  // namespace
