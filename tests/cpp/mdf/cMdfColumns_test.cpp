#include "mdf/cMdfColumns.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "mdf/cMdf.h"
#include "streams/cIO_memoryAlloc.h"
#include "support/column_reader_support.h"
#include "support/mf4_truth_support.h"

namespace {

struct Row {
  double time;
  int64_t ns;
  uint16_t channel;
  uint8_t kind;
  uint32_t id;
  uint8_t dlc;
  std::vector<uint8_t> data;
  uint16_t group;
  bool operator==(const Row&) const = default;
};

// Every row of a reader, filled `capacity` rows at a time.
std::vector<Row> readAll(cMdfColumnReader* reader, uint64_t capacity) {
  std::vector<double> time(capacity);
  std::vector<int64_t> ns(capacity);
  std::vector<uint16_t> channel(capacity), group(capacity);
  std::vector<uint8_t> kind(capacity), dlc(capacity), data(capacity * 64);
  std::vector<uint32_t> id(capacity);
  cMdfColumnOutput out{};
  out.capacity = capacity;
  out.columns[kMdfColumnTimestamp] = time.data();
  out.columns[kMdfColumnTimestampNs] = ns.data();
  out.columns[kMdfColumnChannel] = channel.data();
  out.columns[kMdfColumnKind] = kind.data();
  out.columns[kMdfColumnArbitrationId] = id.data();
  out.columns[kMdfColumnDlc] = dlc.data();
  out.columns[kMdfColumnData] = data.data();
  out.columns[kMdfColumnGroup] = group.data();
  std::vector<Row> rows;
  while (cMdfColumnReader_fill(reader, &out) > 0) {
    EXPECT_LE(out.rows, capacity);
    for (uint64_t i = 0; i < out.rows; ++i) {
      rows.push_back({time[i], ns[i], channel[i], kind[i], id[i], dlc[i],
                      std::vector<uint8_t>(data.begin() + i * 64,
                                           data.begin() + i * 64 + 64),
                      group[i]});
    }
  }
  return rows;
}

class cMdfColumns : public testing::Test {
 protected:
  void SetUp() override {
    const std::string bytes = mf4truth::fixtureBytes("mdf", "shapes.mf4");
    io.reset(cIO_memoryAlloc_ctor());
    ASSERT_EQ(cIO_write(io.get(), bytes.data(), bytes.size()),
              static_cast<int64_t>(bytes.size()));
    mdf.reset(cMdf_open(io.get()));
    ASSERT_NE(mdf, nullptr);
    truth = mf4truth::readTruth("mdf", "shapes.truth");
  }
  ReaderPtr reader(const cMdfColumnFilter& filter = {}) {
    return ReaderPtr(cMdfColumnReader_ctor(mdf.get(), &filter));
  }
  IOPtr io;
  MdfPtr mdf;
  std::vector<std::vector<mf4truth::Frame>> truth;
};

TEST_F(cMdfColumns, RowsAreEveryGroupsFramesMergedByTime) {
  const std::vector<Row> rows = readAll(reader().get(), 1000);
  // Per data group, in record order: the truth's frames.
  size_t total = 0;
  for (size_t g = 0; g < truth.size(); ++g) {
    SCOPED_TRACE("data group " + std::to_string(g));
    std::vector<Row> own;
    for (const Row& row : rows)
      if (row.group == g) own.push_back(row);
    size_t n = 0;
    for (const mf4truth::Frame& t : truth[g]) {
      if (t.kind == 0) continue;
      ASSERT_LT(n, own.size());
      const Row& row = own[n++];
      EXPECT_EQ(row.kind, t.kind);
      EXPECT_EQ(row.time, t.time);
      EXPECT_EQ(row.ns, t.ns);
      EXPECT_EQ(row.id, t.id);
      EXPECT_EQ(row.channel,
                (t.kind >= 4 ? kMdfChannelLin : kMdfChannelCan) + t.bus);
      // Remote frames carry no data, like their messages.
      const std::vector<uint8_t> data =
          t.kind == 2 ? std::vector<uint8_t>{} : t.data;
      EXPECT_EQ(row.dlc, t.length);
      EXPECT_EQ(std::vector<uint8_t>(row.data.begin(),
                                     row.data.begin() + data.size()),
                data);
      EXPECT_EQ(
          std::vector<uint8_t>(row.data.begin() + data.size(), row.data.end()),
          std::vector<uint8_t>(64 - data.size()));
    }
    EXPECT_EQ(n, own.size());
    total += own.size();
  }
  EXPECT_EQ(total, rows.size());
  // The groups' records are in time order, so the merge is too; equal
  // times go by data group.
  for (size_t i = 1; i < rows.size(); ++i) {
    ASSERT_TRUE(rows[i - 1].time < rows[i].time ||
                (rows[i - 1].time == rows[i].time &&
                 rows[i - 1].group <= rows[i].group))
        << i;
  }
  const uint64_t estimate = cMdfColumnReader_rowEstimate(reader().get());
  EXPECT_GE(estimate, rows.size());
}

TEST_F(cMdfColumns, FillsOfAnySizeGiveTheSameRows) {
  const std::vector<Row> whole = readAll(reader().get(), 100000);
  ASSERT_GT(whole.size(), 100u);
  EXPECT_EQ(readAll(reader().get(), 1), whole);
  EXPECT_EQ(readAll(reader().get(), 7), whole);
}

TEST_F(cMdfColumns, FiltersLeaveOutRowsOfTheWholeTable) {
  const std::vector<Row> whole = readAll(reader().get(), 1000);
  const uint16_t channels[] = {kMdfChannelLin + 1, kMdfChannelCan + 2};
  const uint32_t ids[] = {43, 0, 21};
  cMdfColumnFilter filter{};
  filter.channels = channels;
  filter.channelCount = 2;
  filter.ids = ids;
  filter.idCount = 3;
  filter.kinds = 1u << kMdfBusMsgLin | 1u << kMdfBusMsgCanError |
                 1u << kMdfBusMsgLinChecksumError;
  filter.hasStart = true;
  filter.start = whole[whole.size() / 4].time;
  filter.hasStop = true;
  filter.stop = whole[whole.size() * 3 / 4].time;
  std::vector<Row> expected;
  for (const Row& row : whole) {
    if ((row.channel == channels[0] || row.channel == channels[1]) &&
        (row.id == 43 || row.id == 0 || row.id == 21) &&
        (filter.kinds & (1u << row.kind)) != 0 && row.time >= filter.start &&
        row.time < filter.stop)
      expected.push_back(row);
  }
  ASSERT_FALSE(expected.empty());
  EXPECT_EQ(readAll(reader(filter).get(), 3), expected);
}

TEST_F(cMdfColumns, IdListsOfAnySizeKeepExactlyTheirIds) {
  const std::vector<Row> whole = readAll(reader().get(), 1000);
  std::set<uint32_t> present;
  for (const Row& row : whole) present.insert(row.id);
  ASSERT_GT(present.size(), 2u);
  // Every other id of the log, each twice, among many ids it lacks and
  // ids of more than 29 bits (which no frame has).
  std::vector<uint32_t> ids;
  std::set<uint32_t> kept;
  bool take = true;
  for (uint32_t id : present) {
    if (take) {
      ids.push_back(id);
      ids.push_back(id);
      kept.insert(id);
    }
    take = !take;
  }
  for (uint32_t i = 0; i < 5000; ++i) {
    const uint32_t absent = 0x10000000u + i * 7919u;
    if (present.count(absent) == 0) ids.push_back(absent);
  }
  for (uint32_t id : kept) ids.push_back(id | 0x80000000u);
  cMdfColumnFilter filter{};
  filter.ids = ids.data();
  filter.idCount = ids.size();
  std::vector<Row> expected;
  for (const Row& row : whole)
    if (kept.count(row.id) != 0) expected.push_back(row);
  ASSERT_FALSE(expected.empty());
  EXPECT_EQ(readAll(reader(filter).get(), 64), expected);
  // Only ids no frame has: no row.
  const uint32_t none[] = {0xFFFFFFFFu, 0x20000000u};
  filter.ids = none;
  filter.idCount = 2;
  EXPECT_TRUE(readAll(reader(filter).get(), 64).empty());
}

// Ids set between fills take the place of the filter's ids from the next
// fill on; keepsId answers for them.
TEST_F(cMdfColumns, IdsSetBetweenFillsFilterTheFillsAfter) {
  const std::vector<Row> whole = readAll(reader().get(), 1000);
  std::set<uint32_t> present;
  for (const Row& row : whole) present.insert(row.id);
  ASSERT_GT(present.size(), 2u);
  const uint32_t kept = *present.begin();
  const uint32_t other = *present.rbegin();
  const uint32_t first[] = {other};
  cMdfColumnFilter filter{};
  filter.ids = first;
  filter.idCount = 1;
  ReaderPtr filtered = reader(filter);
  EXPECT_TRUE(cMdfColumnReader_keepsId(filtered.get(), other));
  EXPECT_FALSE(cMdfColumnReader_keepsId(filtered.get(), kept));
  const uint32_t ids[] = {kept, 0xFFFFFFFFu};
  ASSERT_TRUE(cMdfColumnReader_setIds(filtered.get(), ids, 2));
  EXPECT_TRUE(cMdfColumnReader_keepsId(filtered.get(), kept));
  EXPECT_FALSE(cMdfColumnReader_keepsId(filtered.get(), other));
  EXPECT_FALSE(cMdfColumnReader_keepsId(filtered.get(), 0xFFFFFFFFu));
  std::vector<Row> expected;
  for (const Row& row : whole)
    if (row.id == kept) expected.push_back(row);
  EXPECT_EQ(readAll(filtered.get(), 7), expected);
  // Without an id filter every id is kept; null keeps none.
  EXPECT_TRUE(cMdfColumnReader_keepsId(reader().get(), other));
  EXPECT_FALSE(cMdfColumnReader_keepsId(nullptr, other));
  EXPECT_FALSE(cMdfColumnReader_setIds(nullptr, ids, 2));
}

// The codes and the texts of every row, filled `capacity` rows at a time,
// with a helper thread or without: each text item is its code's number
// repeated over its width (the channel table has 256: zero bytes for the
// codes beyond it).
struct Texts {
  std::vector<Row> rows;
  std::vector<uint8_t> channels, kinds;
};
Texts readTexts(cMdfColumnReader* reader, uint64_t capacity, bool helper) {
  constexpr uint64_t kChannelWidth = 3, kKindWidth = 5;
  std::vector<uint8_t> channelTable(256 * kChannelWidth), kindTable(9 * 5);
  for (size_t i = 0; i < channelTable.size(); ++i)
    channelTable[i] = static_cast<uint8_t>(i / kChannelWidth);
  for (size_t i = 0; i < kindTable.size(); ++i)
    kindTable[i] = static_cast<uint8_t>(i / kKindWidth);
  std::vector<uint16_t> channel(capacity);
  std::vector<uint8_t> kind(capacity), channelText(capacity * kChannelWidth),
      kindText(capacity * kKindWidth), data(capacity * 64);
  std::vector<double> time(capacity);
  cMdfColumnOutput out{};
  out.capacity = capacity;
  out.helper = helper;
  out.columns[kMdfColumnTimestamp] = time.data();
  out.columns[kMdfColumnChannel] = channel.data();
  out.columns[kMdfColumnKind] = kind.data();
  out.columns[kMdfColumnData] = data.data();
  out.texts[kMdfTextChannel] = {channelTable.data(), kChannelWidth, 256,
                                channelText.data()};
  out.texts[kMdfTextKind] = {kindTable.data(), kKindWidth, 9, kindText.data()};
  Texts texts;
  while (cMdfColumnReader_fill(reader, &out) > 0) {
    for (uint64_t i = 0; i < out.rows; ++i) {
      texts.rows.push_back({time[i], 0, channel[i], kind[i], 0, 0,
                            std::vector<uint8_t>(data.begin() + i * 64,
                                                 data.begin() + i * 64 + 64),
                            0});
      const uint8_t* c = &channelText[i * kChannelWidth];
      const uint8_t* k = &kindText[i * kKindWidth];
      EXPECT_EQ(std::vector<uint8_t>(c, c + kChannelWidth),
                std::vector<uint8_t>(
                    kChannelWidth,
                    static_cast<uint8_t>(channel[i] < 256 ? channel[i] : 0)))
          << i;
      EXPECT_EQ(std::vector<uint8_t>(k, k + kKindWidth),
                std::vector<uint8_t>(kKindWidth, kind[i]))
          << i;
      texts.channels.push_back(c[0]);
      texts.kinds.push_back(k[0]);
    }
  }
  return texts;
}

TEST_F(cMdfColumns, TextsAreTheNamesOfTheCodesWithOrWithoutAHelper) {
  const Texts whole = readTexts(reader().get(), 1000, false);
  ASSERT_GT(whole.rows.size(), 100u);
  // LIN channels (codes from 256) are beyond the table: zero bytes.
  EXPECT_TRUE(std::any_of(whole.rows.begin(), whole.rows.end(),
                          [](const Row& row) { return row.channel >= 256; }));
  // Fills large enough for a thread, whole and cut short by a filter.
  for (uint64_t capacity :
       {uint64_t{1}, uint64_t{1} << 16, uint64_t{1} << 18}) {
    SCOPED_TRACE(capacity);
    const Texts helped = readTexts(reader().get(), capacity, true);
    EXPECT_EQ(helped.rows, whole.rows);
    EXPECT_EQ(helped.channels, whole.channels);
    EXPECT_EQ(helped.kinds, whole.kinds);
    cMdfColumnFilter filter{};
    filter.kinds = 1u << kMdfBusMsgLin;
    const Texts lin = readTexts(reader(filter).get(), capacity, true);
    ASSERT_FALSE(lin.rows.empty());
    for (uint8_t kind : lin.kinds) EXPECT_EQ(kind, kMdfBusMsgLin);
    filter.hasStart = true;
    filter.start = 1e256;  // keeps nothing
    EXPECT_TRUE(readTexts(reader(filter).get(), capacity, true).rows.empty());
  }
}

TEST_F(cMdfColumns, TextsNeedTheirCodesAndATable) {
  std::vector<uint8_t> table(9), text(64), kinds(64);
  cMdfColumnOutput out{};
  out.capacity = 64;
  out.texts[kMdfTextKind] = {table.data(), 1, 9, text.data()};
  EXPECT_EQ(cMdfColumnReader_fill(reader().get(), &out), 0u);  // no codes
  out.columns[kMdfColumnKind] = kinds.data();
  out.texts[kMdfTextKind].table = nullptr;
  EXPECT_EQ(cMdfColumnReader_fill(reader().get(), &out), 0u);
  out.texts[kMdfTextKind].table = table.data();
  out.texts[kMdfTextKind].width = 0;
  EXPECT_EQ(cMdfColumnReader_fill(reader().get(), &out), 0u);
  out.texts[kMdfTextKind].width = 1;
  EXPECT_EQ(cMdfColumnReader_fill(reader().get(), &out), 64u);
  EXPECT_EQ(cMdfColumn_width(kMdfColumnData), 64u);
  EXPECT_EQ(cMdfColumn_width(kMdfColumnCount), 0u);
}

TEST_F(cMdfColumns, NullArgumentsGiveNothing) {
  const cMdfColumnFilter filter{};
  EXPECT_EQ(cMdfColumnReader_ctor(nullptr, &filter), nullptr);
  EXPECT_EQ(cMdfColumnReader_ctor(mdf.get(), nullptr), nullptr);
  cMdfColumnFilter missing{};
  missing.idCount = 2;
  EXPECT_EQ(cMdfColumnReader_ctor(mdf.get(), &missing), nullptr);
  cMdfColumnOutput out{};
  out.capacity = 4;
  EXPECT_EQ(cMdfColumnReader_fill(nullptr, &out), 0u);
  EXPECT_EQ(cMdfColumnReader_fill(reader().get(), nullptr), 0u);
  EXPECT_EQ(cMdfColumnReader_rowEstimate(nullptr), 0u);
  cMdfColumnReader_dtor(nullptr);
}

}  // namespace
