#include "mdf/blocks/cMdfBlock_CC.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "support/mdf_block_support.h"

namespace {

// A conversion block at `offset` with the given links and parameters.
void conversion(Mf4Image* image, uint64_t offset,
                const std::vector<uint64_t>& links,
                const std::vector<double>& values, uint8_t type = 1) {
  std::string data = u8(type) + u8(3) + u16(0) + u16(0) + u16(values.size()) +
                     f64(-1.0) + f64(1.0);
  for (double v : values) data += f64(v);
  image->block(offset, "##CC", links, data);
}

TEST(cMdfBlock_CC, LinearParameters) {
  Mf4Image image;
  conversion(&image, 64, {0, 0, 0, 0}, {0.5, 2.0});
  Held held(loadBlock(image, 64));
  const cMdfBlock_CC_t* cc = cMdfBlock_t_to_cMdfBlock_CC_t(held.get());
  ASSERT_NE(cc, nullptr);
  EXPECT_EQ(cMdfBlock_CC_getConversionType(cc), 1);
  EXPECT_EQ(cMdfBlock_CC_getValueCount(cc), 2);
  EXPECT_EQ(cc->precision, 3);
  EXPECT_EQ(cc->rangeMin, -1.0);
  double value = 7.0;
  EXPECT_TRUE(cMdfBlock_CC_getParameter(cc, 0, &value));
  EXPECT_EQ(value, 0.5);
  EXPECT_TRUE(cMdfBlock_CC_getParameter(cc, 1, &value));
  EXPECT_EQ(value, 2.0);
  EXPECT_FALSE(cMdfBlock_CC_getParameter(cc, 2, &value));
  EXPECT_EQ(value, 2.0);
  EXPECT_FALSE(cMdfBlock_CC_getParameter(cc, 0, nullptr));
  EXPECT_FALSE(cMdfBlock_CC_getParameter(nullptr, 0, &value));
}

TEST(cMdfBlock_CC, RefusedBlocks) {
  struct Case {
    const char* what;
    Mf4Image image;
  };
  Case cases[3];
  cases[0].what = "value to text with 3 references";
  conversion(&cases[0].image, 64, {0, 0, 0, 0, 0, 0, 0}, {1, 2, 3}, 7);
  cases[1].what = "parameters beyond the block";
  conversion(&cases[1].image, 64, {0, 0, 0, 0}, {0.5, 2.0});
  cases[1].image.put(64 + 8, u64(88));
  cases[2].what = "inverse missing";
  conversion(&cases[2].image, 64, {0, 0, 0, 4000}, {});
  for (const Case& c : cases)
    EXPECT_EQ(loadBlock(c.image, 64).block, nullptr) << c.what;
}

// Two conversions with the same inverse share it; each block loads its
// linked blocks eagerly.
TEST(cMdfBlock_CC, InverseIsAConversionSharedThroughTheCache) {
  Mf4Image image;
  conversion(&image, 64, {0, 0, 0, 400}, {0.0, 2.0});
  conversion(&image, 200, {0, 0, 0, 400}, {1.0, 2.0});
  conversion(&image, 400, {0, 0, 0, 0}, {0.0, 0.5});
  IOPtr io = image.stream();
  cMdfBlockCache cache;
  Held a(cMdfBlock_loadAtSingle(io.get(), 64, &cache));
  Held b(cMdfBlock_loadAtSingle(io.get(), 200, &cache));
  const cMdfBlock_CC_t* ca = cMdfBlock_t_to_cMdfBlock_CC_t(a.get());
  const cMdfBlock_CC_t* cb = cMdfBlock_t_to_cMdfBlock_CC_t(b.get());
  ASSERT_TRUE(ca && cb);
  EXPECT_EQ(ca->inverse.block, cb->inverse.block);
  EXPECT_EQ(cMdfBlockRef_useCount(ca->inverse), 2);
  double factor = 0;
  EXPECT_TRUE(cMdfBlock_CC_getParameter(
      cMdfBlock_t_to_cMdfBlock_CC_t(ca->inverse), 1, &factor));
  EXPECT_EQ(factor, 0.5);
}

TEST(cMdfBlock_CC, WithoutParametersSavesWithLength80) {
  Mf4Image image;
  conversion(&image, 64, {0, 0, 0, 0}, {});
  expectGoldenRoundTrip(image, 64);
  EXPECT_EQ(image.bytes.substr(72, 8), u64(80));
}

TEST(cMdfBlock_CC, GoldenRoundTrip) {
  Mf4Image image;
  conversion(&image, 64, {176, 0, 208, 240}, {0.0, 1.0, 7.0, 8.0});
  image.block(176, "##TX", {}, textData("Speed"));
  image.block(208, "##MD", {}, textData("<CC/>"));
  conversion(&image, 240, {176, 0, 0, 0}, {0.0, 1.0});
  expectGoldenRoundTrip(image, 64);
}

TEST(cMdfBlock_CC, BuiltBlocksGrowTheirLengthToTheirParameters) {
  cMdfBlock_CC_t* cc = cMdfBlock_CC_ctor();
  cc->valueCount = 2;
  cc->values = static_cast<double*>(malloc(2 * sizeof(double)));
  cc->values[0] = 3.0;
  cc->values[1] = 4.0;
  Held held(cMdfBlockRef_make(cc));
  IOPtr out(cIO_memoryAlloc_ctor());
  cMdfBlockSaveContext context;
  context.stream = out.get();
  ASSERT_EQ(cMdfBlock_save(held.block(), &context, nullptr), 1);
  EXPECT_EQ(context.nextFree, 96u);
  EXPECT_EQ(contentOf(out.get()).substr(80), f64(3.0) + f64(4.0));
}

}  // namespace
