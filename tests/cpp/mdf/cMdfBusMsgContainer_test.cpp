#include "mdf/cMdfBusMsgContainer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/mdf_group_support.h"

namespace {

using mdfgroup::BlockBytes;
using mdfgroup::Loaded;
using mdfgroup::record;
using mdfgroup::vlsdRecord;

// Three CAN data frames, their payloads in a VLSD channel group.
std::string threeFrames() {
  std::string data;
  for (uint32_t k = 0; k < 3; ++k) {
    const std::string value(k + 1, static_cast<char>('a' + k));
    data += record(1, 1,
                   mdfgroup::canRecord(10 * (k + 1), 0x100 + k,
                                       static_cast<uint8_t>(k + 1)));
    data += vlsdRecord(2, 1, value);
  }
  return data;
}

struct Seen {
  int32_t result;
  uint32_t id;
  std::string payload;
  double time;
  const cMdfBusMsg* frame;
};

std::vector<Seen> drain(cMdfBusMsgContainer* container) {
  std::vector<Seen> out;
  for (cMdfBusMsgContainerPosition p = cMdfBusMsgContainer_begin(container);
       p.frame && out.size() < 16; cMdfBusMsgContainer_next(&p)) {
    EXPECT_EQ(p.container, container);
    out.push_back({p.result, p.frame->id,
                   mdfgroup::viewBytes(p.frame->data, p.frame->dataLength),
                   p.frame->timeOffset, p.frame});
  }
  return out;
}

TEST(cMdfBusMsgContainer, FramesInFileOrderThroughOneBuffer) {
  mdfgroup::VlsdInGroup file(threeFrames());
  Loaded loaded(file.b, file.dg);
  cMdfBusMsgContainer* container = cMdfBusMsgContainer_ctor(loaded.group());
  ASSERT_NE(container, nullptr);
  const std::vector<Seen> frames = drain(container);
  ASSERT_EQ(frames.size(), 3u);
  for (uint32_t k = 0; k < 3; ++k) {
    EXPECT_EQ(frames[k].result, 1);
    EXPECT_EQ(frames[k].id, 0x100 + k);
    EXPECT_EQ(frames[k].payload,
              std::string(k + 1, static_cast<char>('a' + k)));
    EXPECT_EQ(frames[k].time, 10.0 * (k + 1));
    EXPECT_EQ(frames[k].frame, &container->frame);
  }
  // Begin again after the end: the same frames from the first record.
  const std::vector<Seen> again = drain(container);
  ASSERT_EQ(again.size(), 3u);
  EXPECT_EQ(again[0].id, 0x100u);
  EXPECT_EQ(again[2].payload, "ccc");
  cMdfBusMsgContainer_dtor(container);
}

// A record the decoder refuses is still delivered, with result 9.
TEST(cMdfBusMsgContainer, UndecodedRecordsAreDelivered) {
  BlockBytes b;
  const uint64_t first = mdfgroup::channelGroups(&b, {{1, 2}});
  const uint64_t dt = mdfgroup::dataBlock(&b, "##DT", "abcdef");
  Loaded loaded(b, mdfgroup::dataGroup(&b, first, dt, 0));
  cMdfBusMsgContainer container;
  ASSERT_TRUE(cMdfBusMsgContainer_init(&container, loaded.group()));
  const std::vector<Seen> frames = drain(&container);
  ASSERT_EQ(frames.size(), 3u);
  for (const Seen& s : frames) EXPECT_EQ(s.result, kMdfDecodeFailed);
  cMdfBusMsgContainer_drop(&container);
}

TEST(cMdfBusMsgContainer, EmptyGroupAndNullArguments) {
  BlockBytes b;
  const uint64_t first = mdfgroup::channelGroups(&b, {{1, 2}});
  Loaded loaded(b, mdfgroup::dataGroup(&b, first,
                                       mdfgroup::dataBlock(&b, "##DT", ""), 0));
  cMdfBusMsgContainer* container = cMdfBusMsgContainer_ctor(loaded.group());
  cMdfBusMsgContainerPosition p = cMdfBusMsgContainer_begin(container);
  EXPECT_EQ(p.frame, nullptr);
  EXPECT_EQ(p.container, nullptr);
  EXPECT_EQ(p.result, kMdfDecodeFailed);
  cMdfBusMsgContainer_next(&p);  // an ended position stays ended
  EXPECT_EQ(p.frame, nullptr);
  cMdfBusMsgContainer_dtor(container);

  p = cMdfBusMsgContainer_begin(nullptr);
  EXPECT_EQ(p.frame, nullptr);
  EXPECT_EQ(p.container, nullptr);
  EXPECT_EQ(p.result, kMdfDecodeFailed);
  cMdfBusMsgContainer_next(nullptr);
  EXPECT_EQ(cMdfBusMsgContainer_ctor(nullptr), nullptr);
  cMdfBusMsgContainer storage;
  EXPECT_FALSE(cMdfBusMsgContainer_init(&storage, nullptr));
  EXPECT_FALSE(cMdfBusMsgContainer_init(nullptr, loaded.group()));
  cMdfBusMsgContainer_drop(nullptr);
  cMdfBusMsgContainer_dtor(nullptr);
}

}  // namespace
