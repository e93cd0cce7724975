#include "mdf/blocks/cMdfBlockHeader.h"

#include <gtest/gtest.h>

#include <string>

#include "support/container_test_support.h"
#include "support/mdf_block_support.h"

namespace {

struct IdCase {
  std::string first8;
  uint32_t type;
};

TEST(cMdfBlockHeader, ClassifiesEveryKnownId) {
  const IdCase cases[] = {
      {"##CCabcd", MDF_BLOCK_CC}, {"##CG\0\0\0\0", MDF_BLOCK_CG},
      {"##CN    ", MDF_BLOCK_CN}, {"##DG\xff\xff\xff\xff", MDF_BLOCK_DG},
      {"##DT    ", MDF_BLOCK_DT}, {"##FH    ", MDF_BLOCK_FH},
      {"##HDxyzw", MDF_BLOCK_HD}, {"##MD    ", MDF_BLOCK_MD},
      {"##SD    ", MDF_BLOCK_SD}, {"##SI    ", MDF_BLOCK_SI},
      {"##TX    ", MDF_BLOCK_TX}, {"##DL    ", MDF_BLOCK_DL},
      {"##DZ    ", MDF_BLOCK_DZ}, {"##HL    ", MDF_BLOCK_HL},
  };
  for (const IdCase& c : cases) {
    const std::string id(c.first8.data(), 8);
    IOPtr io = memoryWith(id + u64(1234) + u64(5));
    cMdfBlockHeader h{};
    ASSERT_TRUE(cMdfBlockHeader_read(io.get(), &h)) << id;
    EXPECT_EQ(h.type, c.type) << id;
    EXPECT_EQ(h.length, 1234u);
    EXPECT_EQ(h.linkCount, 5u);
    EXPECT_EQ(cIO_tell(io.get()), 24);
  }
}

TEST(cMdfBlockHeader, IdentificationPutsTheStreamBack) {
  for (const char* ident : {"MDF     ", "UnFinMF "}) {
    IOPtr io = memoryWith(idData(ident));
    cMdfBlockHeader* h = cMdfBlockHeader_load(io.get());
    ASSERT_NE(h, nullptr) << ident;
    EXPECT_EQ(h->type, MDF_BLOCK_ID);
    EXPECT_EQ(h->length, 64u);
    EXPECT_EQ(h->linkCount, 0u);
    EXPECT_EQ(cIO_tell(io.get()), 0);
    cMdfBlockHeader_free(h);
  }
}

TEST(cMdfBlockHeader, UnknownIdsAreLoggedAndRefused) {
  const std::string ids[] = {std::string("MDF    \0", 8),
                             "MDF4    ",
                             "UnFinMf ",
                             "##AT    ",
                             "##EV    ",
                             "##CH    ",
                             "##LD    ",
                             "##SR    "};
  for (const std::string& id : ids) {
    LogCapture log;
    IOPtr io = memoryWith(id + u64(24) + u64(0));
    EXPECT_EQ(cMdfBlockHeader_load(io.get()), nullptr) << id;
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_EQ(log.lines()[0], "Unable to load block header for type " +
                                  std::string(id.c_str()));
  }
}

TEST(cMdfBlockHeader, ShortReadFailsSilently) {
  LogCapture log;
  IOPtr io = memoryWith("##HD" + zeros(19));
  EXPECT_EQ(cMdfBlockHeader_load(io.get()), nullptr);
  EXPECT_TRUE(log.lines().empty());
}

TEST(cMdfBlockHeader, SaveWritesIdZerosLengthAndLinkCount) {
  IOPtr io(cIO_memoryAlloc_ctor());
  const cMdfBlockHeader tx{MDF_BLOCK_TX, 30, 0};
  ASSERT_TRUE(cMdfBlockHeader_save(&tx, io.get()));
  EXPECT_EQ(contentOf(io.get()), "##TX" + zeros(4) + u64(30) + u64(0));

  const cMdfBlockHeader id{MDF_BLOCK_ID, 64, 0};
  EXPECT_FALSE(cMdfBlockHeader_save(&id, io.get()));
  EXPECT_FALSE(cMdfBlockHeader_save(nullptr, io.get()));
  EXPECT_EQ(contentOf(io.get()).size(), 24u);
}

TEST(cMdfBlockHeader, DataSize) {
  const cMdfBlockHeader cn{MDF_BLOCK_CN, 160, 8};
  EXPECT_EQ(cMdfBlockHeader_getDataSize(&cn), 72u);
  const cMdfBlockHeader tooShort{MDF_BLOCK_CN, 80, 8};
  EXPECT_EQ(cMdfBlockHeader_getDataSize(&tooShort), 0u);
  EXPECT_EQ(cMdfBlockHeader_getDataSize(nullptr), 0u);
}

TEST(cMdfBlockHeader, Templates) {
  const cMdfBlockHeader* cn = cMdfBlockHeader_template(MDF_BLOCK_CN);
  ASSERT_NE(cn, nullptr);
  EXPECT_EQ(cn->length, 160u);
  EXPECT_EQ(cn->linkCount, 8u);
  EXPECT_EQ(cMdfBlockHeader_template(MDF_BLOCK_SI)->length, 56u);
  EXPECT_EQ(cMdfBlockHeader_template(0), nullptr);
  EXPECT_EQ(cMdfBlockHeader_template(MDF_BLOCK_TYPE_COUNT), nullptr);
  for (uint32_t t : {MDF_BLOCK_FH, MDF_BLOCK_DG, MDF_BLOCK_CG, MDF_BLOCK_CN})
    EXPECT_TRUE(cMdfBlockHeader_isChained(t)) << t;
  for (uint32_t t : {uint32_t{MDF_BLOCK_HD}, uint32_t{MDF_BLOCK_TX},
                     uint32_t{MDF_BLOCK_CC}, 99u})
    EXPECT_FALSE(cMdfBlockHeader_isChained(t)) << t;
}

}  // namespace
