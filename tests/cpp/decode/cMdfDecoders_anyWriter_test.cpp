// Groups of other writers (a data group loaded for any writer): the time
// master channel gives the time whatever its name, channels of no known
// name are passed over (a variable-length one without taking the next
// channel's value), and remote frames take their DLC as length. Loaded for
// the logger family, the same group's frames fail to decode.
#include <gtest/gtest.h>

#include <string>

#include "decode/cMdfDecoders.h"
#include "decode/cMdfRecordGroupInfo.h"
#include "mdf/blocks/cMdfBlock_DG.h"
#include "support/mdf_group_support.h"

namespace {

using mdfgroup::BlockBytes;
using mdfgroup::Group;
using mdfgroup::State;

// A time master channel named "time" (float64, sync type time) first in
// the chain before `next`.
uint64_t timeMaster(BlockBytes* b, uint64_t next) {
  const uint64_t name = b->tx("time");
  return b->block(
      "##CN", {next, 0, name, 0, 0, 0, 0, 0},
      u8(2) + u8(1) + u8(4) + u8(0) + le(0, 4) + le(64, 4) + zeros(60));
}

struct Decoded {
  int32_t result;
  cMdfBusMsg frame;
};

// The first record of the sorted group at `dg`, decoded, the group loaded
// with or without `anyWriter`.
Decoded decodeFirst(const BlockBytes& b, uint64_t dg, bool anyWriter) {
  cIO* io = b.stream();
  cMdfBlockCache cache;
  cache.anyWriter = anyWriter;
  cMdfBlockRef ref = cMdfBlock_loadAtSingle(io, dg, &cache);
  Decoded out{kMdfDecodeFailed, {}};
  cMdfBlock_DG_t* group = cMdfBlock_t_to_cMdfBlock_DG_t_mut(ref);
  EXPECT_NE(group, nullptr) << cReason_text(&cache.reason);
  if (group) {
    State state;
    const cMdfRecordView* view = cMdfBlock_DG_at(group, &state.s);
    EXPECT_NE(view, nullptr);
    if (view) out.result = state.s.decoder(view, &out.frame);
  }
  cMdfBlockRef_drop(&ref);
  cIO_close(io);
  return out;
}

TEST(AnyWriterGroups, TimeMasterAndUnknownVariableLengthChannel) {
  using Channel = BlockBytes::Channel;
  BlockBytes b;
  // Values of the signal data block: "abc" at 0, "WXYZ" at 7.
  const uint64_t sd =
      mdfgroup::dataBlock(&b, "##SD", le(3, 4) + "abc" + le(4, 4) + "WXYZ");
  Channel id{"CAN_DataFrame.ID", 8, 0, 32};
  Channel length{"CAN_DataFrame.DataLength", 12, 0, 8};
  Channel extra{"CAN_DataFrame.Extra", 13, 0, 64};
  extra.dataType = 10;
  extra.channelType = 1;
  extra.data = sd;
  Channel bytes{"CAN_DataFrame.DataBytes", 21, 0, 64};
  bytes.dataType = 10;
  bytes.channelType = 1;
  bytes.data = sd;
  const uint64_t first = timeMaster(&b, b.chain({id, length, extra, bytes}));
  Group frames{0, 29};
  frames.firstChannel = first;
  frames.source = mdfgroup::busSource(&b);
  const uint64_t cg = mdfgroup::channelGroup(&b, frames, 0);
  const std::string record =
      f64(1.5) + le(0x123, 4) + le(4, 1) + le(0, 8) + le(7, 8);
  const uint64_t dg =
      mdfgroup::dataGroup(&b, cg, mdfgroup::dataBlock(&b, "##DT", record), 0);

  const Decoded any = decodeFirst(b, dg, true);
  ASSERT_EQ(any.result, kMdfBusMsgCanData);
  EXPECT_EQ(any.frame.timeOffset, 1.5);
  EXPECT_EQ(any.frame.id, 0x123u);
  EXPECT_EQ(any.frame.dataLength, 4u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(any.frame.data), 4),
            "WXYZ");

  EXPECT_EQ(decodeFirst(b, dg, false).result, kMdfDecodeFailed);
}

TEST(AnyWriterGroups, RemoteFramesTakeTheirDlcAsLength) {
  using Channel = BlockBytes::Channel;
  BlockBytes b;
  Channel id{"CAN_RemoteFrame.ID", 8, 0, 32};
  Channel dlc{"CAN_RemoteFrame.DLC", 12, 0, 8};
  Channel length{"CAN_RemoteFrame.DataLength", 13, 0, 8};
  Group frames{0, 14};
  frames.firstChannel = timeMaster(&b, b.chain({id, dlc, length}));
  frames.source = mdfgroup::busSource(&b);
  const uint64_t cg = mdfgroup::channelGroup(&b, frames, 0);
  const std::string record = f64(0.25) + le(0x7FF, 4) + le(6, 1) + le(0, 1);
  const uint64_t dg =
      mdfgroup::dataGroup(&b, cg, mdfgroup::dataBlock(&b, "##DT", record), 0);

  const Decoded any = decodeFirst(b, dg, true);
  ASSERT_EQ(any.result, kMdfBusMsgCanRemote);
  EXPECT_EQ(any.frame.dataLength, 6u);
  EXPECT_EQ(any.frame.id, 0x7FFu);
  EXPECT_EQ(any.frame.timeOffset, 0.25);
}

}  // namespace
