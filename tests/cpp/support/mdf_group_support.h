// Helpers shared by the data group, record access and container tests:
// data groups written byte by byte (channel groups, a CAN data frame group
// with a VLSD payload, data and signal data blocks), loaded from a memory
// stream that lives as long as the group, and records as byte strings.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "decode/cMdfRecordGroupInfo.h"
#include "mdf/blocks/cMdfBlock_DG.h"
#include "support/mdf_block_bytes.h"

namespace mdfgroup {

using ::le;
using mdftest::BlockBytes;

// A record of an unsorted group: its id, then the bytes.
inline std::string record(uint64_t id, unsigned idSize,
                          const std::string& bytes) {
  return le(id, idSize) + bytes;
}

// A VLSD record: id, u32 length, value.
inline std::string vlsdRecord(uint64_t id, unsigned idSize,
                              const std::string& value) {
  return le(id, idSize) + le(value.size(), 4) + value;
}

// A channel group as described by the tests.
struct Group {
  uint64_t recordId = 0;
  uint32_t dataBytes = 0;
  uint32_t invalidationBytes = 0;
  bool vlsd = false;
  uint64_t firstChannel = 0;
  uint64_t source = 0;  // SI block, 0 for none
};

inline uint64_t channelGroup(BlockBytes* b, const Group& g, uint64_t next) {
  return b->block(
      "##CG", {next, g.firstChannel, 0, g.source, 0, 0},
      cgData(g.recordId, g.vlsd ? 1 : 0, g.dataBytes, g.invalidationBytes));
}

// The groups chained in vector order; the first one's offset.
inline uint64_t channelGroups(BlockBytes* b, const std::vector<Group>& groups) {
  uint64_t next = 0;
  for (auto it = groups.rbegin(); it != groups.rend(); ++it)
    next = channelGroup(b, *it, next);
  return next;
}

// A source information block of a bus source (CAN).
inline uint64_t busSource(BlockBytes* b) {
  return b->block("##SI", {0, 0, 0}, u8(2) + u8(2) + zeros(6));
}

// A DT or SD block holding `bytes`.
inline uint64_t dataBlock(BlockBytes* b, const char* id,
                          const std::string& bytes) {
  return b->block(id, {}, bytes);
}

inline uint64_t dataGroup(BlockBytes* b, uint64_t firstGroup, uint64_t data,
                          uint8_t recordIdSize, uint64_t next = 0) {
  return b->block("##DG", {next, firstGroup, data, 0},
                  u8(recordIdSize) + zeros(7));
}

// The channels of a CAN data frame group whose payload is a VLSD channel:
//   0 Timestamp (u64), 8 CAN_DataFrame.ID (u32), 12 CAN_DataFrame.DataLength
//   (u8), 13 CAN_DataFrame.DataBytes (u64 offset of the value, VLSD)
// with `signalData` (an SD block or a VLSD channel group) as the payload's
// data link. 21 data bytes.
constexpr uint32_t kCanRecordBytes = 21;

inline uint64_t canChannels(BlockBytes* b, uint64_t signalData) {
  using Channel = BlockBytes::Channel;
  Channel time{"Timestamp", 0, 0, 64};
  time.channelType = 2;
  Channel id{"CAN_DataFrame.ID", 8, 0, 32};
  Channel length{"CAN_DataFrame.DataLength", 12, 0, 8};
  Channel bytes{"CAN_DataFrame.DataBytes", 13, 0, 64};
  bytes.dataType = 10;
  bytes.channelType = 1;
  bytes.data = signalData;
  return b->chain({time, id, length, bytes});
}

inline std::string canRecord(uint64_t time, uint32_t id, uint8_t length,
                             uint64_t valueOffset = 0) {
  return le(time, 8) + le(id, 4) + le(length, 1) + le(valueOffset, 8);
}

// A CAN data frame group (record id 1, bus source) whose payload channel
// takes its values from a VLSD channel group (record id 2; with `vlsdGroup`
// false, a group of records of no bytes in its place). Its records may be
// longer than the channels need (`recordBytes`).
struct VlsdInGroup {
  BlockBytes b;
  uint64_t dg;

  explicit VlsdInGroup(const std::string& data, bool vlsdGroup = true,
                       uint32_t recordBytes = kCanRecordBytes) {
    const uint64_t vlsd = channelGroup(&b, {2, 0, 0, vlsdGroup}, 0);
    Group frames{1, recordBytes};
    frames.firstChannel = canChannels(&b, vlsd);
    frames.source = busSource(&b);
    const uint64_t first = channelGroup(&b, frames, vlsd);
    dg = dataGroup(&b, first, dataBlock(&b, "##DT", data), 1);
  }
};

// A data group loaded from the bytes, with the stream it reads kept open.
class Loaded {
 public:
  Loaded(const BlockBytes& bytes, uint64_t at) : io_(bytes.stream()) {
    cMdfBlockCache cache;
    ref_ = cMdfBlock_loadAtSingle(io_, at, &cache);
  }
  ~Loaded() {
    cMdfBlockRef_drop(&ref_);
    cIO_close(io_);
  }
  Loaded(const Loaded&) = delete;
  Loaded& operator=(const Loaded&) = delete;

  cMdfBlock_DG_t* group() const {
    return cMdfBlock_t_to_cMdfBlock_DG_t_mut(ref_);
  }
  cMdfBlockRef ref() const { return ref_; }
  cIO* stream() const { return io_; }

 private:
  cIO* io_;
  cMdfBlockRef ref_ = {};
};

// An iteration state released at the end of the scope.
struct State {
  cMdfBlock_DG_iteratorState s = {};
  State() { cMdfBlock_DG_iteratorState_init(&s, nullptr); }
  ~State() { cMdfBlock_DG_iteratorState_drop(&s); }
  State(const State&) = delete;
  State& operator=(const State&) = delete;
};

// One record as cMdfBlock_DG_at returned it.
struct Step {
  std::string record;
  std::string signal;
  uint64_t position;  // after the record
  uint32_t decoderKind;

  bool operator==(const Step&) const = default;
};

inline std::ostream& operator<<(std::ostream& os, const Step& s) {
  return os << "{" << testing::PrintToString(s.record) << ", "
            << testing::PrintToString(s.signal) << ", " << s.position << ", "
            << s.decoderKind << "}";
}

inline std::string viewBytes(const uint8_t* p, uint64_t n) {
  return n ? std::string(reinterpret_cast<const char*>(p), n) : std::string();
}

// Every record cMdfBlock_DG_at yields from position 0 until it returns
// null (at most `limit`).
inline std::vector<Step> steps(cMdfBlock_DG_t* group, size_t limit = 64) {
  State state;
  std::vector<Step> out;
  while (out.size() < limit) {
    const cMdfRecordView* view = cMdfBlock_DG_at(group, &state.s);
    if (!view) break;
    out.push_back({viewBytes(view->record, view->recordSize),
                   viewBytes(view->signalData, view->signalDataSize),
                   state.s.position, state.s.decoderKind});
  }
  return out;
}

}  // namespace mdfgroup
