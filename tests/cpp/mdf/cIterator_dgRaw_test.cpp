#include "mdf/cIterator_dgRaw.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "mdf/cMdf.h"
#include "support/mdf_group_support.h"

namespace {

using mdfgroup::BlockBytes;
using mdfgroup::Loaded;
using mdfgroup::record;
using mdfgroup::vlsdRecord;

struct Raw {
  uint64_t id;
  std::string bytes;
  uint64_t offset;  // of the iterator after the record

  bool operator==(const Raw&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Raw& r) {
  return os << "{" << r.id << ", " << testing::PrintToString(r.bytes) << ", "
            << r.offset << "}";
}

std::vector<Raw> drain(cMdfBlock_DG_t* group) {
  const cMdf file{};
  cIterator* it = cIterator_dgRaw_ctor(&file, group);
  EXPECT_NE(it, nullptr);
  std::vector<Raw> out;
  while (auto* r = static_cast<cMdfRawRecord*>(cIterator_next(it))) {
    out.push_back({r->id, mdfgroup::viewBytes(r->bytes.data, r->bytes.size),
                   static_cast<cIterator_dgRaw*>(it)->offset});
  }
  EXPECT_EQ(cIterator_next(it), nullptr);  // stays at the end
  cIterator_dtor(it);
  return out;
}

// Frame records (group 1, 3 bytes) and VLSD records (group 2) in file
// order, each with its id and the bytes after it; the iteration ends at
// the record with the undefined id 7.
TEST(cIterator_dgRaw, YieldsEveryRecordUpToAnUndefinedId) {
  BlockBytes b;
  const uint64_t first = mdfgroup::channelGroups(&b, {{1, 3}, {2, 0, 0, true}});
  const std::string data = record(1, 1, "abc") + vlsdRecord(2, 1, "hello") +
                           record(1, 1, "def") + record(7, 1, "xyz") +
                           record(1, 1, "ghi");
  Loaded loaded(b, mdfgroup::dataGroup(
                       &b, first, mdfgroup::dataBlock(&b, "##DT", data), 1));
  const std::vector<Raw> expected = {
      {1, "abc", 4},
      {2, mdfgroup::le(5, 4) + "hello", 14},
      {1, "def", 18},
  };
  EXPECT_EQ(drain(loaded.group()), expected);
}

TEST(cIterator_dgRaw, NoDataBlockNoRecords) {
  BlockBytes b;
  Loaded loaded(
      b, mdfgroup::dataGroup(&b, mdfgroup::channelGroups(&b, {{1, 3}}), 0, 1));
  EXPECT_TRUE(drain(loaded.group()).empty());
  EXPECT_TRUE(drain(nullptr).empty());
}

TEST(cIterator_dgRaw, NeedsAFile) {
  EXPECT_EQ(cIterator_dgRaw_ctor(nullptr, nullptr), nullptr);
}

}  // namespace
