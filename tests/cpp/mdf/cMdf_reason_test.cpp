// Why a file does not open: a table of broken files, each made from the
// smallest accepted file (support/mdf_block_support.h) with one fault, and
// the reason cMdf_open gives for it, with the file offset concerned.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "log/cReason.h"
#include "mdf/cMdf.h"
#include "support/log_capture.h"
#include "support/mdf_block_support.h"

namespace {

// minimalFile(): 0 ID, 64 HD, 168 FH, 224 MD; HD links: first data group,
// first file history, channel hierarchy, attachment, event, comment. Test
// blocks go from 512 on.
constexpr uint64_t kHd = 64, kFh = 168;
constexpr uint64_t kDg = 512, kCg = 640, kCn = 768, kMore = 1024;

std::string hex(uint64_t v) {
  char text[32];
  std::snprintf(text, sizeof text, "0x%llX",
                static_cast<unsigned long long>(v));
  return text;
}

// The minimal file with the header's first data group at kDg: `dgLinks`
// and record id size `idSize`.
Mf4Image withDataGroup(const std::vector<uint64_t>& dgLinks,
                       uint8_t idSize = 0) {
  Mf4Image image = minimalFile();
  image.block(kHd, "##HD", {kDg, kFh, 0, 0, 0, 0}, hdData());
  image.block(kDg, "##DG", dgLinks, u8(idSize) + zeros(7));
  return image;
}

// ... and its channel group at kCg with the given links.
Mf4Image withChannelGroup(const std::vector<uint64_t>& cgLinks) {
  Mf4Image image = withDataGroup({0, kCg, 0, 0});
  image.block(kCg, "##CG", cgLinks, cgData(0));
  return image;
}

struct Case {
  const char* name;
  std::function<Mf4Image()> make;
  uint64_t offset;  // of the reason
  // The reason; the image's size stands for "%size%".
  std::string reason;
};

std::string expand(std::string text, const Mf4Image& image) {
  const std::string key = "%size%";
  const size_t at = text.find(key);
  if (at != std::string::npos)
    text.replace(at, key.size(), std::to_string(image.bytes.size()));
  return text;
}

const Case kCases[] = {
    {"an empty file", [] { return Mf4Image{}; }, 0,
     "block at 0x0: beyond the end of the file (0 bytes)"},
    {"no MF4 file at all",
     [] { return Mf4Image{std::string("PK\x03\x04", 4) + zeros(100)}; }, 0,
     "block at 0x0: unknown block id \"PK\\x03\\x04\""},
    {"an identification block cut short",
     [] { return Mf4Image{"MDF     " + zeros(22)}; }, 0,
     "ID block at 0x0: length 64 runs past the end of the file (30 bytes)"},
    {"a file cut in the header block's header",
     [] { return Mf4Image{minimalFile().bytes.substr(0, 80)}; }, kHd,
     "block at 0x40: header cut short by the end of the file (16 of 24 "
     "bytes)"},
    {"a text block where the header block belongs",
     [] {
       Mf4Image image = minimalFile();
       image.block(kHd, "##TX", {}, textData("not a header"));
       return image;
     },
     kHd,
     "TX block at 0x40: the header block (HD) must follow the identification "
     "block"},
    {"a data group of 3 links",
     [] {
       Mf4Image image = withDataGroup({0, 0, 0});
       image.block(kDg, "##DG", {0, 0, 0}, u8(0) + zeros(15));
       return image;
     },
     kDg, "DG block at 0x200: 3 links, needs 4"},
    {"a data group of more links than its length holds",
     [] {
       Mf4Image image = minimalFile();
       image.block(kHd, "##HD", {kDg, kFh, 0, 0, 0, 0}, hdData());
       image.block(kDg, "##DG", {0, 0, 0, 0}, u8(0) + zeros(7));
       image.put(kDg + 16, u64(9));
       return image;
     },
     kDg, "DG block at 0x200: 9 links do not fit in its length 64"},
    {"a record id size beyond the limit",
     [] {
       return withDataGroup({0, 0, 0, 0}, 9);
     },
     kDg, "DG block at 0x200: record id size 9 above kMdfMaxRecordIdSize (8)"},
    {"a text block of length 2^60",
     [] {
       Mf4Image image = minimalFile(kMore);
       image.block(kMore, "##TX", {}, textData("comment"), uint64_t{1} << 60);
       return image;
     },
     kMore,
     "TX block at 0x400: length 1152921504606846976 runs past the end of the "
     "file (%size% bytes)"},
    {"a link beyond the end of the file",
     [] { return minimalFile(uint64_t{1} << 40); }, uint64_t{1} << 40,
     "block at 0x10000000000: beyond the end of the file (%size% bytes)"},
    {"an unknown block id",
     [] {
       Mf4Image image = minimalFile(kMore);
       image.block(kMore, "##ZZ", {}, zeros(8));
       return image;
     },
     kMore, "block at 0x400: unknown block id \"##ZZ\""},
    {"a channel group shorter than its kind",
     [] {
       Mf4Image image = withDataGroup({0, kCg, 0, 0});
       image.block(kCg, "##CG", {0, 0, 0, 0, 0, 0}, cgData(0), 72);
       return image;
     },
     kCg,
     "CG block at 0x280: length 72, shorter than the 104 bytes of its kind"},
    {"a sample reduction block",
     [] {
       return withChannelGroup({0, 0, 0, 0, kMore, 0});
     },
     kCg,
     "CG block at 0x280: links to a sample reduction block, which is not "
     "supported"},
    {"an event block",
     [] {
       Mf4Image image = minimalFile();
       image.block(kHd, "##HD", {0, kFh, 0, 0, kMore, 0}, hdData());
       return image;
     },
     kHd,
     "HD block at 0x40: links to channel hierarchy, attachment or event "
     "blocks, which are not supported"},
    {"a file history of another tool",
     [] {
       Mf4Image image = minimalFile();
       image.block(224, "##MD", {}, textData("<FHcomment>other</FHcomment>"));
       return image;
     },
     kFh,
     "FH block at 0xA8: its comment does not name the logger's tool "
     "(<tool_id>QX</tool_id>): the file was not written by a supported "
     "logger"},
    {"a data group whose comment is itself",
     [] {
       return withDataGroup({0, 0, 0, kDg});
     },
     kDg, "block at 0x200: linked again while it loads (a cycle)"},
    {"a channel that two channel groups share",
     [] {
       Mf4Image image = withDataGroup({0, kCg, 0, 0});
       image.block(kCg, "##CG", {kMore, kCn, 0, 0, 0, 0}, cgData(1));
       image.block(kMore, "##CG", {0, kCn, 0, 0, 0, 0}, cgData(2));
       image.block(kCn, "##CN", {0, 0, 0, 0, 0, 0, 0, 0}, cnData());
       return image;
     },
     kCn,
     "block at 0x300: linked as a chain member a second time (a cycle, or a "
     "block that two chains share)"},
    {"a data block that two data groups share",
     [] {
       Mf4Image image = withDataGroup({kMore, 0, kCg, 0});
       image.block(kMore, "##DG", {0, 0, kCg, 0}, u8(0) + zeros(7));
       image.block(kCg, "##DT", {}, zeros(8));
       return image;
     },
     kCg, "DT block at 0x280: data block of more than one data group"},
    {"a data block reaching into the next block",
     [] {
       Mf4Image image = withDataGroup({0, 0, kCg, kMore});
       image.block(kCg, "##DT", {}, zeros(8), 1000);
       image.block(kMore, "##TX", {}, textData("comment"));
       return image;
     },
     kCg, "DT block at 0x280: length 1000 reaches into the TX block at 0x400"},
    {"a conversion of more values than its length holds",
     [] {
       Mf4Image image = withChannelGroup({0, kCn, 0, 0, 0, 0});
       image.block(kCn, "##CN", {0, 0, 0, 0, kMore, 0, 0, 0}, cnData());
       image.block(kMore, "##CC", {0, 0, 0, 0},
                   u8(1) + zeros(5) + u16(1000) + zeros(16));
       return image;
     },
     kMore, "CC block at 0x400: 1000 values do not fit in its length 80"},
};

class BrokenFile : public testing::TestWithParam<Case> {};

TEST_P(BrokenFile, SaysWhyAndWhere) {
  const Case& c = GetParam();
  const Mf4Image image = c.make();
  IOPtr io = image.stream();
  LogCapture log;  // the library's own lines are not the subject here
  cReason reason{};
  cMdf* mdf = cMdf_open(io.get(), &reason);
  EXPECT_EQ(mdf, nullptr);
  cMdf_close(mdf);
  EXPECT_EQ(std::string(cReason_text(&reason)), expand(c.reason, image));
  EXPECT_EQ(hex(reason.offset), hex(c.offset));
}

INSTANTIATE_TEST_SUITE_P(Reasons, BrokenFile, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<Case>& param) {
                           std::string name;
                           for (const char* p = param.param.name; *p; ++p)
                             name +=
                                 std::isalnum(static_cast<unsigned char>(*p))
                                     ? *p
                                     : '_';
                           return name;
                         });

TEST(BrokenFile, NestingBeyondTheLimitNamesIt) {
  // Channels nested in one another's composition, deeper than loads may
  // nest: HD, DG, CG and then the channels take a level each.
  Mf4Image image = withChannelGroup({0, kMore, 0, 0, 0, 0});
  const uint64_t kCount = MDF_BLOCK_MAX_DEPTH + 4;
  for (uint64_t i = 0; i < kCount; ++i) {
    const uint64_t at = kMore + 160 * i;
    const uint64_t inner = i + 1 < kCount ? at + 160 : 0;
    image.block(at, "##CN", {0, inner, 0, 0, 0, 0, 0, 0}, cnData());
  }
  IOPtr io = image.stream();
  LogCapture log;
  cReason reason{};
  EXPECT_EQ(cMdf_open(io.get(), &reason), nullptr);
  // The header block loads at depth 0, the data group at 1, the channel
  // group at 2, channel i at 3 + i.
  const uint64_t refused = kMore + 160 * (MDF_BLOCK_MAX_DEPTH - 3);
  EXPECT_EQ(std::string(cReason_text(&reason)),
            "block at " + hex(refused) +
                ": links nest deeper than MDF_BLOCK_MAX_DEPTH (64)");
  EXPECT_EQ(reason.offset, refused);
}

TEST(BrokenFile, AnIntactFileGivesNoReason) {
  IOPtr io = minimalFile().stream();
  cReason reason{};
  cMdf* mdf = cMdf_open(io.get(), &reason);
  EXPECT_NE(mdf, nullptr);
  EXPECT_FALSE(cReason_isSet(&reason));
  cMdf_close(mdf);
}

TEST(BrokenFile, NoStreamIsAReasonToo) {
  cReason reason{};
  EXPECT_EQ(cMdf_open(nullptr, &reason), nullptr);
  EXPECT_STREQ(cReason_text(&reason), "no stream to read");
  EXPECT_EQ(reason.offset, kReasonNoOffset);
}

TEST(BrokenFile, OpeningLogsNoReasonItself) {
  // The caller reports the reason (cReason_log); the loader's own lines
  // stay as they were.
  IOPtr io = withDataGroup({0, 0, 0, 0}, 9).stream();
  LogCapture log;
  cReason reason{};
  EXPECT_EQ(cMdf_open(io.get(), &reason), nullptr);
  EXPECT_TRUE(log.lines().empty());
  cReason_log(&reason);
  EXPECT_EQ(log.lines(),
            std::vector<std::string>{"DG block at 0x200: record id size 9 "
                                     "above kMdfMaxRecordIdSize (8)"});
}

}  // namespace
