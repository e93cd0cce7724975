#include "mdf/blocks/cMdfBlock_TX.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "mdf/blocks/cMdfBlock_MD.h"
#include "mdf/blocks/cMdfBlock_SI.h"
#include "support/mdf_block_support.h"

namespace {

// Text and metadata blocks share their code: every case runs for both.
struct Kind {
  const char* id;
  uint32_t type;
};
const Kind kKinds[] = {{"##TX", MDF_BLOCK_TX}, {"##MD", MDF_BLOCK_MD}};

cMdfBlockText_t* newText(uint32_t type) {
  if (type == MDF_BLOCK_TX) return cMdfBlock_TX_ctor();
  return cMdfBlock_MD_ctor();
}

TEST(cMdfBlock_TX, LoadsTheSectionWithoutItsFinalByte) {
  for (const Kind& k : kKinds) {
    Mf4Image image;
    image.block(64, k.id, {}, "");
    image.block(88, k.id, {}, std::string("abc") + zeros(5));
    Held empty(loadBlock(image, 64));
    Held padded(loadBlock(image, 88));
    ASSERT_NE(empty.block(), nullptr) << k.id;
    ASSERT_NE(padded.block(), nullptr) << k.id;
    EXPECT_EQ(empty.block()->type, k.type);
    EXPECT_EQ(cMdfBlockText_get(empty.block()), "");
    const std::string_view text = cMdfBlockText_get(padded.block());
    EXPECT_EQ(text.size(), 7u);
    EXPECT_STREQ(text.data(), "abc");
    EXPECT_EQ(padded.block()->length, 32u);
  }
}

TEST(cMdfBlock_TX, StoredTextIsTerminatedWhateverTheFinalByte) {
  Mf4Image image;
  image.block(64, "##TX", {}, "abcd");
  Held tx(loadBlock(image, 64));
  ASSERT_NE(tx.block(), nullptr);
  const std::string_view text =
      cMdfBlock_TX_getText(cMdfBlock_t_to_cMdfBlock_TX_t(tx.block()));
  EXPECT_EQ(text, "abc");
  EXPECT_EQ(text.data()[3], '\0');
}

TEST(cMdfBlock_TX, LinksOrShortSectionsFail) {
  for (const Kind& k : kKinds) {
    Mf4Image linked;
    linked.block(64, k.id, {0}, textData("abc"));
    EXPECT_EQ(loadBlock(linked, 64).block, nullptr) << k.id;
    Mf4Image truncated;
    truncated.block(64, k.id, {}, textData("abcdefgh"));
    truncated.bytes.resize(truncated.bytes.size() - 1);
    EXPECT_EQ(loadBlock(truncated, 64).block, nullptr) << k.id;
  }
}

TEST(cMdfBlock_TX, SaveSetsTheLengthAndPadsToEight) {
  struct Case {
    uint64_t offset;
    std::string text;
    uint64_t length;
    uint64_t nextFree;
  };
  const Case cases[] = {
      {104, "abc", 28, 136},
      {104, "abcdefg", 32, 136},
      {96, "", 25, 128},
  };
  for (const Kind& k : kKinds) {
    for (const Case& c : cases) {
      cMdfBlockText_t* text = newText(k.type);
      ASSERT_TRUE(cMdfBlockText_set(text, c.text));
      Held held(cMdfBlockRef_make(text));
      IOPtr out(cIO_memoryAlloc_ctor());
      cMdfBlockSaveContext context;
      context.stream = out.get();
      context.nextFree = c.offset;
      ASSERT_EQ(cMdfBlock_save(held.block(), &context, nullptr), 1);
      EXPECT_EQ(context.nextFree, c.nextFree) << c.text;
      EXPECT_EQ(contentOf(out.get()),
                zeros(c.offset) + k.id + zeros(4) + u64(c.length) + u64(0) +
                    c.text + zeros(c.nextFree - c.offset - 24 - c.text.size()))
          << c.text;
    }
  }
}

TEST(cMdfBlock_TX, GoldenRoundTripKeepsLengthAndPadding) {
  for (const Kind& k : kKinds) {
    Mf4Image image;
    image.block(64, k.id, {}, std::string("ab") + zeros(6));
    expectGoldenRoundTrip(image, 64);
  }
}

TEST(cMdfBlock_TX, TextOfOtherKindsIsEmpty) {
  Held si(cMdfBlockRef_make(cMdfBlock_SI_ctor()));
  EXPECT_EQ(cMdfBlockText_get(nullptr), "");
  EXPECT_EQ(cMdfBlock_MD_getText(nullptr), "");
  EXPECT_EQ(cMdfBlock_t_to_cMdfBlock_MD_t(si.block()), nullptr);
  EXPECT_EQ(cMdfBlockText_get(si.block()), "");
}

}  // namespace
