// Container header: recognition, field order and the acceptance table.
#include "containers/cGenericFile.h"

#include <gtest/gtest.h>

#include <set>
#include <tuple>

#include "support/container_test_support.h"

namespace {

std::string headerBytes(uint8_t revision, uint8_t footer, uint8_t type,
                        uint8_t version, uint32_t device) {
  std::string h = "Generic File";
  h += {static_cast<char>(revision), static_cast<char>(footer),
        static_cast<char>(type), static_cast<char>(version)};
  for (int shift = 24; shift >= 0; shift -= 8)
    h.push_back(static_cast<char>(device >> shift));
  return h;
}

TEST(GenericFileHeader, ReadsFieldsInFileOrder) {
  IOPtr io = memoryWith(headerBytes(1, 0, 0x11, 1, 0x0001E240) + "rest");
  cGenericFileHeader h{};
  ASSERT_TRUE(cGenericFile_readHeader(io.get(), &h));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(h.magic), 12), "Generic File");
  EXPECT_EQ(h.format_revision, 1);
  EXPECT_EQ(h.footer_flag, 0);
  EXPECT_EQ(h.container_type, 0x11);
  EXPECT_EQ(h.header_version, 1);
  EXPECT_EQ(h.device_id, 0x0001E240u);
  EXPECT_EQ(cIO_tell(io.get()), 20);
}

TEST(GenericFileHeader, RefusesWhatIsNoContainerHeader) {
  const std::string valid = headerBytes(0, 0, 0x22, 1, 7);
  std::string lower = valid;
  lower[0] = 'g';
  const std::string cases[] = {
      "MDF     4.11    ",
      std::string("UnFinMF ") + std::string(16, '\0'),
      valid.substr(0, 19),
      lower,
      "",
  };
  for (const std::string& bytes : cases) {
    IOPtr io = memoryWith(bytes);
    cGenericFileHeader h{};
    EXPECT_FALSE(cGenericFile_readHeader(io.get(), &h)) << bytes;
  }
  cGenericFileHeader h{};
  EXPECT_FALSE(cGenericFile_readHeader(nullptr, &h));
  IOPtr io = memoryWith(valid);
  EXPECT_FALSE(cGenericFile_readHeader(io.get(), nullptr));
}

TEST(GenericFileHeader, FillsFieldsAsFarAsTheStreamGoes) {
  // 15 bytes: magic, revision, footer flag and container type are there.
  IOPtr io = memoryWith(headerBytes(1, 1, 0x22, 1, 0).substr(0, 15));
  cGenericFileHeader h{};
  h.header_version = 0xEE;
  h.device_id = 0xDEADBEEF;
  EXPECT_FALSE(cGenericFile_readHeader(io.get(), &h));
  EXPECT_EQ(h.format_revision, 1);
  EXPECT_EQ(h.footer_flag, 1);
  EXPECT_EQ(h.container_type, 0x22);
  EXPECT_EQ(h.header_version, 0xEE);
  EXPECT_EQ(h.device_id, 0xDEADBEEFu);
}

TEST(GenericFileHeader, AcceptsExactlyTheTable) {
  using Row = std::tuple<int, int, int, int>;  // type, version, rev, footer
  const std::set<Row> accepted = {
      {0x22, 1, 0, 0}, {0x22, 1, 1, 1}, {0x11, 1, 0, 0}, {0x11, 1, 1, 0}};
  for (int type : {0x11, 0x22, 0x33})
    for (int version = 0; version <= 2; ++version)
      for (int rev = 0; rev <= 2; ++rev)
        for (int footer = 0; footer <= 2; ++footer) {
          cGenericFileHeader h{};
          h.container_type = static_cast<uint8_t>(type);
          h.header_version = static_cast<uint8_t>(version);
          h.format_revision = static_cast<uint8_t>(rev);
          h.footer_flag = static_cast<uint8_t>(footer);
          const bool expected = accepted.count({type, version, rev, footer});
          for (int opener : {0x11, 0x22})
            EXPECT_EQ(cGenericFile_accepts(&h, static_cast<uint8_t>(opener)),
                      expected && opener == type)
                << type << " " << version << " " << rev << " " << footer;
        }
  EXPECT_FALSE(cGenericFile_accepts(nullptr, GENERIC_FILE_TYPE_COMPRESSED));
}

}  // namespace
