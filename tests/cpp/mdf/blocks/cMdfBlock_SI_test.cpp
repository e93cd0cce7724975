#include "mdf/blocks/cMdfBlock_SI.h"

#include <gtest/gtest.h>

#include <string>

#include "support/mdf_block_support.h"

namespace {

Mf4Image sourceBlock(uint8_t sourceType, uint8_t busType,
                     uint64_t comment = 0) {
  Mf4Image image;
  image.block(64, "##SI", {0, 0, comment},
              u8(sourceType) + u8(busType) + u8(0) + zeros(5));
  return image;
}

TEST(cMdfBlock_SI, DerivesSourceAndBusKinds) {
  struct Case {
    uint8_t sourceType, busType;
    uint32_t kind, busKind;
  };
  const Case cases[] = {{2, 2, 2, 2}, {2, 3, 2, 3}, {4, 2, 6, 2},
                        {2, 7, 2, 4}, {2, 0, 2, 0}, {2, 1, 2, 4}};
  for (const Case& c : cases) {
    Held held(loadBlock(sourceBlock(c.sourceType, c.busType), 64));
    const cMdfBlock_SI_t* si = cMdfBlock_t_to_cMdfBlock_SI_t(held.get());
    ASSERT_NE(si, nullptr);
    EXPECT_EQ(cMdfBlock_SI_getType(si), c.kind) << int{c.sourceType};
    EXPECT_EQ(cMdfBlock_SI_getBusType(si), c.busKind) << int{c.busType};
  }
  EXPECT_EQ(cMdfBlock_SI_getType(nullptr), 0u);
  EXPECT_EQ(cMdfBlock_SI_getBusType(nullptr), 0u);
  EXPECT_EQ(cMdfBlock_SI_getComment(nullptr), "");
}

TEST(cMdfBlock_SI, CommentOfEitherTextKind) {
  for (const char* kind : {"##TX", "##MD"}) {
    Mf4Image image = sourceBlock(2, 2, 120);
    image.block(120, kind, {}, textData("front camera bus"));
    Held held(loadBlock(image, 64));
    EXPECT_STREQ(
        cMdfBlock_SI_getComment(cMdfBlock_t_to_cMdfBlock_SI_t(held.get()))
            .data(),
        "front camera bus")
        << kind;
  }
  Mf4Image noText = sourceBlock(2, 2, 120);
  noText.block(120, "##SI", {0, 0, 0}, zeros(8));
  Held held(loadBlock(noText, 64));
  EXPECT_EQ(cMdfBlock_SI_getComment(cMdfBlock_t_to_cMdfBlock_SI_t(held.get())),
            "");
}

TEST(cMdfBlock_SI, WrongLinkCountOrShortFieldsFail) {
  Mf4Image links;
  links.block(64, "##SI", {0, 0}, zeros(16));
  EXPECT_EQ(loadBlock(links, 64).block, nullptr);
  Mf4Image missingChild = sourceBlock(2, 2, 4000);
  EXPECT_EQ(loadBlock(missingChild, 64).block, nullptr);
}

TEST(cMdfBlock_SI, GoldenRoundTrip) {
  Mf4Image image;
  image.block(64, "##SI", {120, 152, 120}, u8(2) + u8(2) + u8(1) + zeros(5));
  image.block(120, "##TX", {}, textData("CAN1"));
  image.block(152, "##TX", {}, textData("/bus/can1"));
  expectGoldenRoundTrip(image, 64);
}

}  // namespace
