// The MF4 writer's ground truth as the C++ tests read it: the ".truth"
// files of the fixtures written with tests/support/mf4writer (line format
// in tests/cpp/fixtures/decode/make_fixtures.py), and the comparison of a
// decoded frame with one truth line.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "decode/cMdfDecoders.h"

namespace mf4truth {

// tests/cpp/fixtures/<folder>/<name>.
inline std::filesystem::path fixturePath(const std::string& folder,
                                         const std::string& name) {
  return std::filesystem::path(__FILE__).parent_path().parent_path() /
         "fixtures" / folder / name;
}

inline std::string fixtureBytes(const std::string& folder,
                                const std::string& name) {
  std::ifstream in(fixturePath(folder, name), std::ios::binary);
  EXPECT_TRUE(in.good()) << fixturePath(folder, name);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// One frame record: what the reader's message holds.
struct Frame {
  int kind = 0;  // the frame kind (kMdfBusMsg*), 0 none
  double time = 0;
  int64_t ns = 0;  // the time in nanoseconds
  uint32_t id = 0;
  unsigned bus = 0;
  uint64_t length = 0;
  std::vector<uint8_t> data;
  int ide = 0, dir = 0, edl = 0, brs = 0, esi = 0;
};

// Per data group, in file order, the frames of its records.
inline std::vector<std::vector<Frame>> readTruth(const std::string& folder,
                                                 const std::string& name) {
  std::istringstream in(fixtureBytes(folder, name));
  std::vector<std::vector<Frame>> groups;
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("dg ", 0) == 0) {
      groups.emplace_back();
      continue;
    }
    std::istringstream fields(line);
    Frame t;
    std::string time, hex;
    fields >> t.kind >> time >> t.id >> t.bus >> t.length >> hex >> t.ide >>
        t.dir >> t.edl >> t.brs >> t.esi >> t.ns;
    t.time = std::stod(time);
    for (size_t i = 0; hex != "-" && i + 1 < hex.size(); i += 2) {
      t.data.push_back(
          static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    }
    EXPECT_FALSE(groups.empty()) << "frame before the first data group";
    if (!groups.empty()) groups.back().push_back(t);
  }
  return groups;
}

// Checks a decoded frame (the decoder's result and frame) against the truth;
// the frame's time offsets are relative to `start` and `startNs`, the
// truth's times absolute.
inline void expectFrame(int32_t result, const cMdfBusMsg& frame, const Frame& t,
                        double start = 0.0, int64_t startNs = 0) {
  if (t.kind == 0) {
    EXPECT_EQ(result, kMdfDecodeFailed);
    EXPECT_EQ(frame.kind, 0u);
    return;
  }
  ASSERT_EQ(result, t.kind);
  EXPECT_EQ(frame.kind, static_cast<uint32_t>(t.kind));
  EXPECT_DOUBLE_EQ(start + frame.timeOffset, t.time);
  EXPECT_EQ(startNs + frame.timeOffsetNs, t.ns);
  if (t.kind >= static_cast<int>(kMdfBusMsgLinChecksumError)) {
    EXPECT_EQ(frame.id, t.id);
    EXPECT_EQ(frame.lin.busChannel, t.bus);
    EXPECT_EQ(frame.data, nullptr);
    EXPECT_EQ(frame.dataLength, 0u);
    return;
  }
  if (t.kind == 3) {
    EXPECT_EQ(frame.canError.busChannel, t.bus);
    EXPECT_EQ(frame.data, nullptr);
    return;
  }
  EXPECT_EQ(frame.id & 0x1FFFFFFFu, t.id);
  ASSERT_EQ(frame.dataLength, t.length);
  ASSERT_NE(frame.data, nullptr);
  EXPECT_EQ(std::vector<uint8_t>(frame.data, frame.data + frame.dataLength),
            t.data);
  if (t.kind == 4) {
    EXPECT_EQ(frame.lin.busChannel, t.bus);
    EXPECT_EQ(frame.lin.dir, t.dir == 1);
    return;
  }
  EXPECT_EQ(frame.can.busChannel, t.bus);
  EXPECT_EQ(frame.can.ide, t.ide == 1);
  EXPECT_EQ(frame.can.dir, t.dir == 1);
  EXPECT_EQ(frame.can.remote, t.kind == 2);
  if (t.kind == 1) {
    EXPECT_EQ(frame.can.edl, t.edl == 1);
    EXPECT_EQ(frame.can.brs, t.brs == 1);
    EXPECT_EQ(frame.can.esi, t.esi == 1);
  }
}

}  // namespace mf4truth
