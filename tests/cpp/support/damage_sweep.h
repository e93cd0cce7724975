// Truncated and damaged copies of a fixture file, for the tests that check
// that a reading path either refuses such a copy or reads it to an end with
// no more frames than the intact file holds (the sanitizers watch that
// nothing reads outside its data).
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "mdf/blocks/cMdfBlock_DG.h"
#include "mdf/cMdf.h"
#include "mdf/cMdfBusMsgContainer.h"
#include "support/log_capture.h"
#include "support/mf4_truth_support.h"

namespace mdftest {

// The frames of every data group of an open file.
inline int64_t framesOf(cMdf* mdf) {
  int64_t frames = 0;
  cMdfBlockList* groups = cMdf_getDataGroups(mdf);
  for (size_t g = 0; g < cMdfBlockList_size(groups); ++g) {
    cMdfBusMsgContainer* container = cMdfBusMsgContainer_ctor(
        cMdfBlock_t_to_cMdfBlock_DG_t_mut(cMdfBlockList_at(groups, g)));
    for (cMdfBusMsgContainerPosition p = cMdfBusMsgContainer_begin(container);
         p.frame; cMdfBusMsgContainer_next(&p))
      ++frames;
    cMdfBusMsgContainer_dtor(container);
  }
  return frames;
}

// Reads copies of tests/cpp/fixtures/mdf/<name>.mf4 with `frames` (the
// frames a copy gives, -1 when it is refused): cut every `cutStep` bytes,
// and with every `damageStep`-th byte XORed with `mask`. The intact file
// must give the frames of <name>.truth, no copy more; both outcomes must
// occur, so that the sweep reaches the blocks and the records.
template <typename Frames>
void expectDamagedCopiesReadCleanly(const std::string& name, size_t cutStep,
                                    size_t damageStep, uint8_t mask,
                                    Frames frames) {
  LogCapture quiet;
  const std::string bytes = mf4truth::fixtureBytes("mdf", name + ".mf4");
  int64_t truth = 0;
  for (const auto& group : mf4truth::readTruth("mdf", name + ".truth"))
    truth += static_cast<int64_t>(group.size());
  ASSERT_GT(truth, 0);
  ASSERT_EQ(frames(bytes), truth);
  size_t read = 0, refused = 0;
  for (size_t n = 0; n < bytes.size(); n += cutStep) {
    const int64_t got = frames(bytes.substr(0, n));
    EXPECT_LE(got, truth) << "cut at " << n;
    ++(got < 0 ? refused : read);
  }
  for (size_t at = 0; at < bytes.size(); at += damageStep) {
    std::string damaged = bytes;
    damaged[at] = static_cast<char>(damaged[at] ^ mask);
    const int64_t got = frames(damaged);
    EXPECT_LE(got, truth) << "byte " << at << " damaged";
    ++(got < 0 ? refused : read);
  }
  EXPECT_GT(read, 0u);
  EXPECT_GT(refused, 0u);
}

}  // namespace mdftest
