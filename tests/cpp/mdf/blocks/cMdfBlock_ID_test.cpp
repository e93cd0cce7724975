#include "mdf/blocks/cMdfBlock_ID.h"

#include <gtest/gtest.h>

#include <string>

#include "support/mdf_block_support.h"

namespace {

TEST(cMdfBlock_ID, LoadsVersionAndFlags) {
  Mf4Image image;
  image.put(0, idData("UnFinMF ", 0x0004, 0, 410));
  Held root(loadBlock(image, 0));
  const cMdfBlock_ID_t* id = cMdfBlock_t_to_cMdfBlock_ID_t(root.get());
  ASSERT_NE(id, nullptr);
  EXPECT_EQ(cMdfBlock_ID_getFinalizationFlags(id), 4);
  EXPECT_EQ(cMdfBlock_ID_getFinalizationFlagsCustom(id), 0);
  EXPECT_EQ(id->version, 410);
  EXPECT_EQ(std::string(id->versionText, 8), "4.10    ");
  EXPECT_EQ(std::string(id->programText, 8), "QXlogger");
  EXPECT_EQ(cMdfBlock_ID_getFinalizationFlags(nullptr), 0);
  EXPECT_EQ(cMdfBlock_ID_getFinalizationFlagsCustom(nullptr), 0);
}

TEST(cMdfBlock_ID, SaveWritesTheIdentifierTheFlagsCallFor) {
  struct Case {
    uint16_t flags, custom;
    std::string ident;
  };
  const Case cases[] = {
      {0, 0, "MDF     "}, {4, 0, "UnFinMF "}, {0, 1, "UnFinMF "}};
  for (const Case& c : cases) {
    Mf4Image image;
    image.put(0, idData("MDF     ", c.flags, c.custom));
    Held root(loadBlock(image, 0));
    ASSERT_NE(root.block(), nullptr);
    IOPtr out(cIO_memoryAlloc_ctor());
    EXPECT_TRUE(cMdfBlock_saveTree(root.get(), out.get()));
    EXPECT_EQ(contentOf(out.get()), idData(c.ident, c.flags, c.custom));
  }
}

}  // namespace
