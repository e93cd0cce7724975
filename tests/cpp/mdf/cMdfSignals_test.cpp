#include "mdf/cMdfSignals.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "mdf/cMdf.h"
#include "streams/cIO_memoryAlloc.h"
#include "support/column_reader_support.h"
#include "support/mf4_truth_support.h"

namespace {

struct DropPlan {
  void operator()(cSignalPlan* plan) const { cSignalPlan_dtor(plan); }
};

// What a decoding gave, per message and per signal, grown batch by batch
// as a sink grows its arrays.
struct Tables {
  std::vector<std::vector<int64_t>> rows;
  std::vector<std::vector<uint64_t>> carried[kMdfSignalCarried];
  std::vector<std::vector<uint64_t>> values;
  std::vector<std::vector<uint8_t>> present;
  bool operator==(const Tables&) const = default;
};

// A sink that stores into Tables; it stops at batch `stopAt` (0: never).
struct Sink {
  const cSignalLayouts* layouts;
  Tables tables;
  // Each message's carried columns as 8-byte elements, narrowed when the
  // batch is over (carried columns are 8, 8 and 2 bytes wide).
  std::vector<std::vector<uint16_t>> channels;
  std::vector<int64_t*> rows;
  std::vector<void*> values;
  std::vector<uint8_t*> present;
  std::vector<void*> carried;
  uint64_t batches = 0;
  uint64_t stopAt = 0;
  uint64_t settleStopsAt = 0;  // the batch whose settle stops (0: none)
  uint64_t settled = 0;
  bool lastSeen = false;
  // The counts of every reserve, and those prepare was given (on the
  // second thread) with the number of reserves made by then.
  std::vector<std::vector<uint64_t>> reserved;
  std::vector<std::pair<uint64_t, std::vector<uint64_t>>> prepared;
  std::atomic<uint64_t> preparedCount{0};
  // settle waits (a while at most) until the second thread has prepared
  // for the next batch, so that every prepare happens.
  bool awaitPrepare = false;

  explicit Sink(const cSignalLayouts* s) : layouts(s) {
    tables.rows.resize(s->messageCount);
    for (auto& column : tables.carried) column.resize(s->messageCount);
    channels.resize(s->messageCount);
    tables.values.resize(s->signalCount);
    tables.present.resize(s->signalCount);
    rows.resize(s->messageCount);
    values.resize(s->signalCount);
    present.resize(s->signalCount);
    carried.resize(s->messageCount * kMdfSignalCarried);
  }

  static bool reserve(void* context, const uint64_t* counts, bool last,
                      cSignalOutput* output) {
    auto* sink = static_cast<Sink*>(context);
    EXPECT_FALSE(sink->lastSeen);
    sink->lastSeen = last;
    sink->reserved.emplace_back(counts, counts + sink->layouts->messageCount);
    if (++sink->batches == sink->stopAt) return false;
    for (size_t m = 0; m < sink->layouts->messageCount; ++m) {
      const size_t at = sink->tables.rows[m].size();
      const size_t size = at + counts[m];
      sink->tables.rows[m].resize(size);
      sink->rows[m] = sink->tables.rows[m].data() + at;
      for (size_t c = 0; c < kMdfSignalCarried; ++c) {
        sink->tables.carried[c][m].resize(size);
        sink->carried[m * kMdfSignalCarried + c] =
            sink->tables.carried[c][m].data() + at;
      }
      // The channel column is 2 bytes wide.
      sink->channels[m].resize(size);
      sink->carried[m * kMdfSignalCarried + 2] = sink->channels[m].data() + at;
      const cSignalMessage& message = sink->layouts->messages[m];
      for (uint32_t s = 0; s < message.signalCount; ++s) {
        const size_t index = message.firstSignal + s;
        sink->tables.values[index].resize(size);
        sink->tables.present[index].resize(size);
        sink->values[index] = sink->tables.values[index].data() + at;
        sink->present[index] = sink->tables.present[index].data() + at;
      }
    }
    output->rows = sink->rows.data();
    output->values = sink->values.data();
    output->present = sink->present.data();
    output->carried = sink->carried.data();
    return true;
  }

  // Checks that the present counts are those of the batch's rows.
  static bool settle(void* context, const uint64_t* presentCounts) {
    auto* sink = static_cast<Sink*>(context);
    const std::vector<uint64_t>& counts = sink->reserved.back();
    for (size_t m = 0; m < sink->layouts->messageCount; ++m) {
      const cSignalMessage& message = sink->layouts->messages[m];
      for (uint32_t s = 0; s < message.signalCount; ++s) {
        const auto& flags = sink->tables.present[message.firstSignal + s];
        uint64_t present = 0;
        for (size_t i = flags.size() - counts[m]; i < flags.size(); ++i)
          present += flags[i];
        EXPECT_EQ(presentCounts[message.firstSignal + s], present);
      }
    }
    for (int i = 0; sink->awaitPrepare && !sink->lastSeen && i < 2000 &&
                    sink->preparedCount.load() < sink->batches;
         ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return ++sink->settled != sink->settleStopsAt;
  }

  static void prepare(void* context, const uint64_t* counts,
                      const std::atomic<bool>*) {
    auto* sink = static_cast<Sink*>(context);
    sink->prepared.emplace_back(
        sink->batches,
        std::vector<uint64_t>(counts, counts + sink->layouts->messageCount));
    sink->preparedCount.fetch_add(1);
  }

  Tables result() {
    Tables out = tables;
    for (size_t m = 0; m < channels.size(); ++m)
      out.carried[2][m].assign(channels[m].begin(), channels[m].end());
    return out;
  }
};

class cMdfSignals : public testing::Test {
 protected:
  void SetUp() override {
    const std::string bytes = mf4truth::fixtureBytes("mdf", "shapes.mf4");
    io.reset(cIO_memoryAlloc_ctor());
    ASSERT_EQ(cIO_write(io.get(), bytes.data(), bytes.size()),
              static_cast<int64_t>(bytes.size()));
    mdf.reset(cMdf_open(io.get()));
    ASSERT_NE(mdf, nullptr);
    // A message per CAN data id of the file (and one of no frame): a
    // little-endian byte, a big-endian 12-bit field from byte 1, and a
    // signed field beyond 8 bytes, so that short payloads miss signals.
    ReaderPtr all = reader();
    std::vector<uint32_t> ids(1 << 16);
    std::vector<uint8_t> extended(1 << 16);
    cMdfColumnOutput out{};
    out.capacity = 1 << 16;
    out.columns[kMdfColumnArbitrationId] = ids.data();
    out.columns[kMdfColumnIsExtendedId] = extended.data();
    const uint64_t rows = cMdfColumnReader_fill(all.get(), &out);
    ASSERT_GT(rows, 20u);
    ASSERT_LT(rows, out.capacity);
    std::map<uint64_t, uint32_t> keys;
    for (uint64_t r = 0; r < rows; ++r)
      keys.emplace(ids[r] + (extended[r] != 0 ? 1ull << 32 : 0), 0);
    const bool added = keys.emplace(0x7FF, 0).second;
    ASSERT_TRUE(added);
    for (auto& [key, message] : keys) {
      message = static_cast<uint32_t>(messages.size());
      messages.push_back({static_cast<uint32_t>(signals.size()), 3});
      signals.push_back(cSignalLayout_field(0, 8, true, kSignalUnsigned));
      signals.push_back(cSignalLayout_field(8, 12, false, kSignalUnsigned));
      signals.push_back(cSignalLayout_field(70, 9, true, kSignalSigned));
      plannedKeys.push_back({key, 0, message});
    }
    silent = keys[0x7FF];
    layouts.signals = signals.data();
    layouts.signalCount = signals.size();
    layouts.messages = messages.data();
    layouts.messageCount = messages.size();
    layouts.keys = plannedKeys.data();
    layouts.keyCount = plannedKeys.size();
    layouts.databaseCount = 1;
    layouts.defaultDatabase = 0;
    plan.reset(cSignalPlan_ctor(&layouts, nullptr));
    ASSERT_NE(plan, nullptr);
  }

  // A reader of the CAN data frames (of `ids` only, where given).
  ReaderPtr reader(const std::vector<uint32_t>& ids = {}) {
    cMdfColumnFilter filter{};
    filter.kinds = 1u << kMdfBusMsgCanData;
    filter.ids = ids.data();
    filter.idCount = ids.size();
    return ReaderPtr(cMdfColumnReader_ctor(mdf.get(), &filter));
  }

  // The whole log decoded in batches of `batchRows`: of the frames of
  // `ids` (all where none are given), which the reader filters, or with
  // `ahead` which a reading started before the plan keeps.
  Tables decode(uint64_t batchRows, bool overlap, cMdfSignalRun* run,
                const std::vector<uint32_t>& ids = {}, bool ahead = false) {
    Sink sink(&layouts);
    sink.awaitPrepare = overlap;
    const cMdfSignalSink callbacks{&sink, Sink::reserve, Sink::prepare,
                                   Sink::settle};
    std::vector<uint64_t> presentCounts(layouts.signalCount);
    ReaderPtr frames = reader(ahead ? std::vector<uint32_t>{} : ids);
    if (ahead) {
      cMdfSignalPrefetch* prefetch =
          cMdfSignals_prefetch(frames.get(), batchRows, overlap);
      EXPECT_NE(prefetch, nullptr);
      EXPECT_EQ(cMdfSignals_decodePrefetched(
                    prefetch, plan.get(), ids.empty() ? nullptr : ids.data(),
                    ids.size(), &callbacks, presentCounts.data(), run),
                kMdfSignalsDone);
      // Once only.
      EXPECT_EQ(
          cMdfSignals_decodePrefetched(prefetch, plan.get(), nullptr, 0,
                                       &callbacks, presentCounts.data(), run),
          kMdfSignalsBadInput);
      cMdfSignals_prefetchDtor(prefetch);
    } else {
      EXPECT_EQ(cMdfSignals_decode(frames.get(), plan.get(), batchRows, overlap,
                                   &callbacks, presentCounts.data(), run),
                kMdfSignalsDone);
    }
    // Prepared for by the second thread only, once for each batch but the
    // last (the sink waits for it), each time for as many rows as the last
    // reserve asked for.
    EXPECT_EQ(sink.prepared.size(),
              run->overlapped == 0 ? 0 : sink.reserved.size() - sink.lastSeen);
    for (const auto& [reserves, counts] : sink.prepared) {
      EXPECT_GT(reserves, 0u);
      EXPECT_LE(reserves, sink.reserved.size());
      if (reserves > 0 && reserves <= sink.reserved.size()) {
        EXPECT_EQ(counts, sink.reserved[reserves - 1]);
      }
    }
    // A batch that is not full is known to be the last (where no rows are
    // left out of batches).
    if (!ahead || ids.empty()) {
      EXPECT_EQ(sink.lastSeen, run->rows % batchRows != 0);
    }
    Tables tables = sink.result();
    for (size_t s = 0; s < layouts.signalCount; ++s) {
      uint64_t present = 0;
      for (uint8_t flag : tables.present[s]) present += flag;
      EXPECT_EQ(presentCounts[s], present) << s;
    }
    return tables;
  }

  IOPtr io;
  MdfPtr mdf;
  std::vector<cSignalLayout> signals;
  std::vector<cSignalMessage> messages;
  std::vector<cSignalKey> plannedKeys;
  cSignalLayouts layouts{};
  std::unique_ptr<cSignalPlan, DropPlan> plan;
  size_t silent = 0;  // the message of an id no frame has
};

TEST_F(cMdfSignals, BatchesOfAnySizeWithOrWithoutTheSecondThreadAgree) {
  cMdfSignalRun run{};
  const Tables whole = decode(1 << 16, false, &run);
  EXPECT_EQ(run.batches, 1u);
  EXPECT_EQ(run.unmatched, 0u);
  const uint64_t rows = run.rows;
  uint64_t matched = 0;
  for (const auto& message : whole.rows) matched += message.size();
  EXPECT_EQ(matched, rows);
  // Rows number the reader's rows, in order, each in one message.
  std::vector<bool> seen(rows);
  for (const auto& message : whole.rows)
    for (size_t i = 0; i < message.size(); ++i) {
      ASSERT_LT(message[i], static_cast<int64_t>(rows));
      EXPECT_FALSE(seen[message[i]]);
      seen[message[i]] = true;
      if (i > 0) {
        EXPECT_LT(message[i - 1], message[i]);
      }
    }
  EXPECT_TRUE(whole.rows[silent].empty());  // the id of no frame
  uint64_t shortFrames = 0;                 // the signal beyond 8 bytes missing
  for (size_t s = 2; s < whole.present.size(); s += 3)
    for (uint8_t flag : whole.present[s]) shortFrames += flag == 0;
  EXPECT_GT(shortFrames, 0u);
  for (uint64_t batch : {1, 2, 7, 64}) {
    for (bool overlap : {false, true}) {
      SCOPED_TRACE(std::to_string(batch) + (overlap ? " overlapped" : ""));
      cMdfSignalRun batched{};
      EXPECT_EQ(decode(batch, overlap, &batched), whole);
      EXPECT_EQ(batched.rows, rows);
      EXPECT_EQ(batched.batches, (rows + batch - 1) / batch);
      if (overlap) {
        EXPECT_GT(batched.overlapped, 0u);
      }
    }
  }
}

TEST_F(cMdfSignals, AReadingAheadKeepsTheIdsAsTheReadersFilterWould) {
  cMdfSignalRun all{};
  const Tables whole = decode(1 << 16, false, &all);
  // Every other id of the file's frames, standard and extended, and one of
  // no frame.
  std::vector<uint32_t> ids;
  for (size_t k = 0; k < plannedKeys.size(); k += 2)
    ids.push_back(static_cast<uint32_t>(plannedKeys[k].key));
  ids.push_back(0x1ABCDEF);
  cMdfSignalRun kept{};
  const Tables some = decode(1 << 16, false, &kept, ids);
  ASSERT_GT(kept.rows, 0u);
  ASSERT_LT(kept.rows, all.rows);
  for (uint64_t batch : {1, 2, 7, 64, 1 << 16}) {
    for (bool overlap : {false, true}) {
      SCOPED_TRACE(std::to_string(batch) + (overlap ? " overlapped" : ""));
      cMdfSignalRun ahead{};
      EXPECT_EQ(decode(batch, overlap, &ahead, ids, true), some);
      EXPECT_EQ(ahead.rows, kept.rows);
      EXPECT_EQ(ahead.unmatched, kept.unmatched);
      EXPECT_EQ(decode(batch, overlap, &ahead, {}, true), whole);
      EXPECT_EQ(ahead.rows, all.rows);
    }
  }
  // A reading ahead never decoded ends with its thread joined; one of no
  // reader or rows is refused.
  for (bool overlap : {false, true}) {
    ReaderPtr frames = reader();
    cMdfSignals_prefetchDtor(cMdfSignals_prefetch(frames.get(), 3, overlap));
    EXPECT_EQ(cMdfSignals_prefetch(nullptr, 3, overlap), nullptr);
    EXPECT_EQ(cMdfSignals_prefetch(frames.get(), 0, overlap), nullptr);
  }
  cMdfSignals_prefetchDtor(nullptr);
}

TEST_F(cMdfSignals, ASinkThatStopsEndsTheDecoding) {
  for (bool overlap : {false, true}) {
    for (bool bySettle : {false, true}) {
      Sink sink(&layouts);
      (bySettle ? sink.settleStopsAt : sink.stopAt) = 3;
      const cMdfSignalSink callbacks{&sink, Sink::reserve, nullptr,
                                     Sink::settle};
      std::vector<uint64_t> presentCounts(layouts.signalCount);
      cMdfSignalRun run{};
      ReaderPtr frames = reader();
      EXPECT_EQ(cMdfSignals_decode(frames.get(), plan.get(), 4, overlap,
                                   &callbacks, presentCounts.data(), &run),
                kMdfSignalsStopped);
      EXPECT_EQ(sink.batches, 3u);
      EXPECT_EQ(run.batches, 2u);
    }
  }
}

TEST_F(cMdfSignals, BadArgumentsAreRefused) {
  Sink sink(&layouts);
  const cMdfSignalSink callbacks{&sink, Sink::reserve, nullptr, nullptr};
  const cMdfSignalSink none{&sink, nullptr, nullptr, nullptr};
  std::vector<uint64_t> presentCounts(layouts.signalCount);
  cMdfSignalRun run{};
  ReaderPtr frames = reader();
  EXPECT_EQ(cMdfSignals_decode(nullptr, plan.get(), 4, true, &callbacks,
                               presentCounts.data(), &run),
            kMdfSignalsBadInput);
  EXPECT_EQ(cMdfSignals_decode(frames.get(), plan.get(), 0, true, &callbacks,
                               presentCounts.data(), &run),
            kMdfSignalsBadInput);
  EXPECT_EQ(cMdfSignals_decode(frames.get(), plan.get(), 4, true, &none,
                               presentCounts.data(), &run),
            kMdfSignalsBadInput);
  EXPECT_EQ(cMdfSignals_decode(frames.get(), plan.get(), UINT64_MAX, true,
                               &callbacks, presentCounts.data(), &run),
            kMdfSignalsBadInput);
  EXPECT_EQ(sink.batches, 0u);
}

// What an extraction in memory wrote.
struct Extracted {
  std::vector<std::vector<int64_t>> rows;
  std::vector<std::vector<uint64_t>> carried;
  std::vector<std::vector<uint64_t>> values;
  std::vector<std::vector<uint8_t>> present;
  std::vector<uint64_t> presentCounts;
  std::vector<int32_t> messageOfRow;  // as the match gave them
  std::vector<uint64_t> counts;
  bool operator==(const Extracted&) const = default;
};

Extracted extractInMemory(const cSignalPlan* plan,
                          const cSignalLayouts& layouts,
                          const cSignalInput& input, bool split) {
  std::vector<int32_t> messageOfRow(input.rows);
  std::vector<uint64_t> counts(layouts.messageCount);
  EXPECT_TRUE(cMdfSignals_match(plan, &input, messageOfRow.data(),
                                counts.data(), nullptr, split));
  Extracted got;
  got.messageOfRow = messageOfRow;
  got.counts = counts;
  got.rows.resize(layouts.messageCount);
  got.carried.resize(layouts.messageCount);
  got.values.resize(layouts.signalCount);
  got.present.resize(layouts.signalCount);
  got.presentCounts.resize(layouts.signalCount);
  std::vector<int64_t*> rows;
  std::vector<void*> carried, values;
  std::vector<uint8_t*> present;
  for (size_t m = 0; m < layouts.messageCount; ++m) {
    got.rows[m].resize(counts[m]);
    got.carried[m].resize(counts[m]);
    rows.push_back(got.rows[m].data());
    carried.push_back(got.carried[m].data());
    for (uint32_t s = 0; s < layouts.messages[m].signalCount; ++s) {
      const size_t index = layouts.messages[m].firstSignal + s;
      got.values[index].resize(counts[m]);
      got.present[index].resize(counts[m]);
    }
  }
  for (size_t s = 0; s < layouts.signalCount; ++s) {
    values.push_back(got.values[s].data());
    present.push_back(got.present[s].data());
  }
  const cSignalOutput output{rows.data(), values.data(), present.data(),
                             got.presentCounts.data(), carried.data()};
  EXPECT_TRUE(cMdfSignals_extract(plan, &input, messageOfRow.data(),
                                  counts.data(), &output, split));
  return got;
}

TEST_F(cMdfSignals, AnExtractionInMemoryInPiecesOnTwoThreadsGivesTheSame) {
  // More rows than a split needs (in pieces of unequal sizes), of every
  // planned message and of none, with payloads of every length, packed
  // and in rows of 64 bytes.
  constexpr size_t kRows = 150001;
  std::vector<uint32_t> ids(kRows);
  std::vector<uint8_t> extended(kRows), lengths(kRows);
  std::vector<uint8_t> packed, padded(kRows * 64);
  std::vector<int64_t> offsets{0};
  std::vector<uint64_t> stamps(kRows);
  uint64_t state = 7;
  for (size_t r = 0; r < kRows; ++r) {
    state = state * 6364136223846793005u + 1442695040888963407u;
    const cSignalKey& key = plannedKeys[(state >> 33) % plannedKeys.size()];
    const bool none = (state >> 20) % 17 == 0;
    ids[r] = static_cast<uint32_t>(key.key & 0xFFFFFFFFu) ^ (none ? 1u : 0u);
    extended[r] = key.key >> 32 != 0 ? 1 : 0;
    lengths[r] = static_cast<uint8_t>((state >> 40) % 65);
    for (uint8_t b = 0; b < lengths[r]; ++b) {
      const auto byte = static_cast<uint8_t>(state >> (b % 56));
      packed.push_back(byte);
      padded[r * 64 + b] = byte;
    }
    offsets.push_back(static_cast<int64_t>(packed.size()));
    stamps[r] = state;
  }
  const void* carried[] = {stamps.data()};
  const uint32_t widths[] = {8};
  cSignalInput input{};
  input.rows = kRows;
  input.ids = ids.data();
  input.extended = extended.data();
  input.carried = carried;
  input.carriedWidths = widths;
  input.carriedCount = 1;
  input.firstRow = 5;
  for (bool withOffsets : {true, false}) {
    SCOPED_TRACE(withOffsets ? "packed" : "rows of 64 bytes");
    if (withOffsets) {
      input.payload = packed.data();
      input.payloadSize = packed.size();
      input.offsets = offsets.data();
      input.lengths = nullptr;
    } else {
      input.payload = padded.data();
      input.payloadSize = padded.size();
      input.offsets = nullptr;
      input.lengths = lengths.data();
    }
    const Extracted whole = extractInMemory(plan.get(), layouts, input, false);
    uint64_t present = 0, missing = 0;
    for (const auto& flags : whole.present)
      for (uint8_t flag : flags) (flag != 0 ? present : missing) += 1;
    EXPECT_GT(present, 0u);
    EXPECT_GT(missing, 0u);
    EXPECT_EQ(extractInMemory(plan.get(), layouts, input, true), whole);
  }
  // A payload beyond the data in the last piece: refused, naming its row
  // among all, split or not.
  offsets[kRows - 3] = static_cast<int64_t>(packed.size()) + 1;
  input.payload = packed.data();
  input.payloadSize = packed.size();
  input.offsets = offsets.data();
  std::vector<int32_t> messageOfRow(kRows);
  std::vector<uint64_t> counts(layouts.messageCount);
  for (bool split : {false, true}) {
    cReason reason{};
    EXPECT_FALSE(cMdfSignals_match(plan.get(), &input, messageOfRow.data(),
                                   counts.data(), &reason, split));
    EXPECT_STREQ(cReason_text(&reason), "row 149997: payload outside the data");
  }
}

}  // namespace
