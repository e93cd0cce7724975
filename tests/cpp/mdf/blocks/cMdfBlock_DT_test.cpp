#include "mdf/blocks/cMdfBlock_DT.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "mdf/blocks/cMdfBlock_SD.h"
#include "mdf/blocks/cMdfBlock_TX.h"
#include "support/container_test_support.h"
#include "support/mdf_block_support.h"

namespace {

// A data block of length 1024 at 4096 whose data bytes count up.
struct cMdfBlock_DTView : ::testing::Test {
  void SetUp() override {
    image.block(4096, "##DT", {}, countingBytes(1000));
    io = image.stream();
    block.reset(cMdfBlock_loadAtSingle(io.get(), 4096, &cache));
    dt = cMdfBlock_t_to_cMdfBlock_DT_t_mut(block.get());
    ASSERT_NE(dt, nullptr);
    view = cMdfBlock_DT_getIOInterface(dt);
  }
  Mf4Image image;
  IOPtr io;
  cMdfBlockCache cache;
  Held block;
  cMdfBlock_DT_t* dt = nullptr;
  cIO* view = nullptr;
};

TEST_F(cMdfBlock_DTView, ViewReadsAndSeeksWithinTheDataSection) {
  EXPECT_EQ(cMdfBlock_DT_getDataOffset(dt), 4120u);
  EXPECT_EQ(cIO_seek(view, 0, CIO_SEEK_END), 1000);
  EXPECT_EQ(cIO_seek(view, 990, CIO_SEEK_SET), 990);
  char buf[50];
  EXPECT_EQ(cIO_read(view, buf, 50), 10);
  EXPECT_EQ(static_cast<unsigned char>(buf[0]), 990 % 256);
  EXPECT_EQ(cIO_read(view, buf, 50), 0);
  EXPECT_EQ(cIO_tell(view), 1000);

  struct Seek {
    int64_t from, offset;
    int whence;
    int64_t result;
  };
  const Seek seeks[] = {
      {0, 5000, CIO_SEEK_SET, 1000}, {0, -5, CIO_SEEK_SET, 1000},
      {990, 20, CIO_SEEK_CUR, 1000}, {990, -20, CIO_SEEK_CUR, 970},
      {10, -20, CIO_SEEK_CUR, 0},    {0, -10, CIO_SEEK_END, 990},
      {0, 10, CIO_SEEK_END, 1000},   {10, 0, 7, -1},
  };
  for (const Seek& s : seeks) {
    ASSERT_EQ(cIO_seek(view, s.from, CIO_SEEK_SET), s.from);
    EXPECT_EQ(cIO_seek(view, s.offset, s.whence), s.result)
        << s.from << " " << s.offset << " " << s.whence;
  }
  EXPECT_EQ(cIO_tell(view), 10);  // the failed seek kept the position
  EXPECT_EQ(cIO_write(view, "x", 1), CIO_UNSUPPORTED);
  EXPECT_EQ(cIO_close(view), 0);
}

// Each view re-seeks the shared source, so views work side by side.
TEST_F(cMdfBlock_DTView, ViewsShareTheSource) {
  image.block(5200, "##SD", {}, "abcdef");
  IOPtr io2 = image.stream();
  cMdfBlockCache cache2;
  Held dtAgain(cMdfBlock_loadAtSingle(io2.get(), 4096, &cache2));
  Held sd(cMdfBlock_loadAtSingle(io2.get(), 5200, &cache2));
  cIO* a = cMdfBlock_DT_getIOInterface(
      cMdfBlock_t_to_cMdfBlock_DT_t_mut(dtAgain.get()));
  cIO* b =
      cMdfBlock_SD_getIOInterface(cMdfBlock_t_to_cMdfBlock_SD_t_mut(sd.get()));
  ASSERT_TRUE(a && b);
  char x = 0, y = 0;
  ASSERT_EQ(cIO_seek(a, 3, CIO_SEEK_SET), 3);
  ASSERT_EQ(cIO_seek(b, 2, CIO_SEEK_SET), 2);
  EXPECT_EQ(cIO_read(a, &x, 1), 1);
  EXPECT_EQ(cIO_read(b, &y, 1), 1);
  EXPECT_EQ(x, 3);
  EXPECT_EQ(y, 'c');
  EXPECT_EQ(cMdfBlock_SD_getIOInterface(nullptr), nullptr);
  EXPECT_EQ(cMdfBlock_DT_getIOInterface(nullptr), nullptr);
  EXPECT_EQ(cMdfBlock_DT_getDataOffset(nullptr), 0u);
}

TEST_F(cMdfBlock_DTView, SaveWritesTheWholeSectionWhereverTheViewStood) {
  ASSERT_EQ(cIO_seek(view, 500, CIO_SEEK_SET), 500);
  IOPtr out(cIO_memoryAlloc_ctor());
  cMdfBlockSaveContext context;
  context.stream = out.get();
  context.nextFree = 4096;
  ASSERT_EQ(cMdfBlock_save(block.block(), &context, nullptr), 1);
  EXPECT_EQ(context.nextFree, 4096u + 1024u);
  EXPECT_EQ(contentOf(out.get()), image.bytes);
}

TEST(cMdfBlock_DT, FromAStreamOwnsIt) {
  for (uint32_t type : {uint32_t{MDF_BLOCK_DT}, uint32_t{MDF_BLOCK_SD}}) {
    IOPtr source = memoryWith("0123456789");
    cIO* stream = source.release();
    cMdfBlockData_t* data =
        type == MDF_BLOCK_DT
            ? static_cast<cMdfBlockData_t*>(cMdfBlock_DT_ctor_fromIO(stream))
            : cMdfBlock_SD_ctor_fromIO(stream);
    ASSERT_NE(data, nullptr);
    Held held(cMdfBlockRef_make(data));  // closes the stream when dropped
    EXPECT_EQ(data->length, 34u);
    EXPECT_EQ(data->type, type);
    IOPtr out(cIO_memoryAlloc_ctor());
    cMdfBlockSaveContext context;
    context.stream = out.get();
    context.nextFree = 16;
    ASSERT_EQ(cMdfBlock_save(data, &context, nullptr), 1);
    EXPECT_EQ(context.nextFree, 56u);
    EXPECT_EQ(contentOf(out.get()),
              zeros(16) + (type == MDF_BLOCK_DT ? "##DT" : "##SD") + zeros(4) +
                  u64(34) + u64(0) + "0123456789");
  }
  EXPECT_EQ(cMdfBlock_DT_ctor_fromIO(nullptr), nullptr);
}

// A data section that ends before the block does cannot be saved whole.
TEST(cMdfBlock_DT, SavingAShortSectionFails) {
  Mf4Image image;
  image.block(64, "##DT", {}, "abc", /*length=*/124);
  IOPtr io = image.stream();
  cMdfBlockCache cache;
  Held dt(cMdfBlock_loadAtSingle(io.get(), 64, &cache));
  ASSERT_NE(dt.block(), nullptr);  // loading never looks at the data
  LogCapture log;
  IOPtr out(cIO_memoryAlloc_ctor());
  cMdfBlockSaveContext context;
  context.stream = out.get();
  EXPECT_EQ(cMdfBlock_save(dt.block(), &context, nullptr), 0);
  EXPECT_EQ(log.lines(), std::vector<std::string>{
                             "Error during save. Expected to be at 124 but "
                             "stream is at 27"});
  // The pass writes nothing more.
  Held tx(cMdfBlockRef_make(cMdfBlock_TX_ctor()));
  EXPECT_EQ(cMdfBlock_save(tx.block(), &context, nullptr), 0);
  EXPECT_EQ(contentOf(out.get()).size(), 27u);
}

}  // namespace
