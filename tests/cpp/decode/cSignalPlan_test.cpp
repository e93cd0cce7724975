#include "decode/cSignalPlan.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "decode/cDecode.h"

namespace {

using Plan = std::unique_ptr<cSignalPlan, void (*)(cSignalPlan*)>;

cSignalLayout field(uint32_t firstBit, uint8_t length, bool little,
                    uint8_t kind = kSignalUnsigned, bool raw = true) {
  cSignalLayout layout = cSignalLayout_field(firstBit, length, little, kind);
  layout.raw = raw ? 1 : 0;
  return layout;
}

// Layouts of one database and one message per key, each the signals of
// its range.
struct Layouts {
  std::vector<cSignalLayout> signals;
  std::vector<uint64_t> selectors;
  std::vector<cSignalMessage> messages;
  std::vector<cSignalKey> keys;
  std::vector<int32_t> channelDatabase;
  size_t databases = 1;
  int32_t defaultDatabase = 0;

  uint32_t add(uint64_t key, const std::vector<cSignalLayout>& fields) {
    const auto message = static_cast<uint32_t>(messages.size());
    messages.push_back({static_cast<uint32_t>(signals.size()),
                        static_cast<uint32_t>(fields.size())});
    signals.insert(signals.end(), fields.begin(), fields.end());
    keys.push_back({key, 0, message});
    return message;
  }

  cSignalLayouts get() const {
    return {signals.data(),
            signals.size(),
            selectors.data(),
            selectors.size(),
            messages.data(),
            messages.size(),
            keys.data(),
            keys.size(),
            databases,
            channelDatabase.empty() ? nullptr : channelDatabase.data(),
            defaultDatabase};
  }

  Plan plan(cReason* reason = nullptr) const {
    const cSignalLayouts layouts = get();
    return Plan(cSignalPlan_ctor(&layouts, reason), cSignalPlan_dtor);
  }
};

// Frames as packed payloads, held in exactly-sized buffers so that
// AddressSanitizer sees a read past the end.
struct Frames {
  std::vector<uint32_t> ids;
  std::vector<uint8_t> extended;
  std::vector<uint16_t> channels;
  std::vector<std::vector<uint8_t>> payloads;
  std::unique_ptr<uint8_t[]> packed;
  std::vector<int64_t> offsets;

  void add(uint32_t id, std::vector<uint8_t> payload, uint16_t channel = 1,
           bool isExtended = false) {
    ids.push_back(id);
    extended.push_back(isExtended ? 1 : 0);
    channels.push_back(channel);
    payloads.push_back(std::move(payload));
  }

  cSignalInput input() {
    offsets.assign(1, 0);
    for (const auto& payload : payloads)
      offsets.push_back(offsets.back() + static_cast<int64_t>(payload.size()));
    packed.reset(new uint8_t[static_cast<size_t>(offsets.back())]);
    for (size_t r = 0; r < payloads.size(); ++r)
      if (!payloads[r].empty())
        std::memcpy(packed.get() + offsets[r], payloads[r].data(),
                    payloads[r].size());
    cSignalInput in{};
    in.rows = ids.size();
    in.ids = ids.data();
    in.extended = extended.data();
    in.channels = channels.data();
    in.payload = packed.get();
    in.payloadSize = static_cast<size_t>(offsets.back());
    in.offsets = offsets.data();
    return in;
  }
};

// What extract wrote: per message its rows, per signal values and flags.
struct Result {
  std::vector<uint64_t> counts;
  std::vector<std::vector<int64_t>> rows;
  std::vector<std::vector<uint64_t>> values;  // 8 bytes per row
  std::vector<std::vector<uint8_t>> present;
  std::vector<uint64_t> presentCounts;
};

Result run(const Layouts& layouts, const cSignalPlan* plan,
           const cSignalInput& in) {
  Result result;
  std::vector<int32_t> messageOfRow(in.rows);
  result.counts.resize(layouts.messages.size());
  EXPECT_TRUE(cSignalPlan_match(plan, &in, messageOfRow.data(),
                                result.counts.data(), nullptr));
  result.rows.resize(layouts.messages.size());
  result.values.resize(layouts.signals.size());
  result.present.resize(layouts.signals.size());
  result.presentCounts.resize(layouts.signals.size());
  std::vector<int64_t*> rows;
  std::vector<void*> values;
  std::vector<uint8_t*> present;
  for (size_t m = 0; m < layouts.messages.size(); ++m) {
    result.rows[m].resize(result.counts[m]);
    rows.push_back(result.rows[m].data());
    for (uint32_t s = 0; s < layouts.messages[m].signalCount; ++s) {
      const size_t index = layouts.messages[m].firstSignal + s;
      // Memory that held something else: missing values must not show it.
      result.values[index].assign(result.counts[m], ~uint64_t{0});
      result.present[index].resize(result.counts[m]);
    }
  }
  for (size_t s = 0; s < layouts.signals.size(); ++s) {
    values.push_back(result.values[s].data());
    present.push_back(result.present[s].data());
  }
  // The row numbers, carried over as a column, come back as the rows.
  std::vector<uint64_t> numbers(in.rows);
  for (size_t r = 0; r < in.rows; ++r) numbers[r] = r;
  const void* carriedIn[] = {numbers.data()};
  const uint32_t widths[] = {8};
  cSignalInput withCarried = in;
  withCarried.carried = carriedIn;
  withCarried.carriedWidths = widths;
  withCarried.carriedCount = 1;
  std::vector<std::vector<uint64_t>> carried(layouts.messages.size());
  std::vector<void*> carriedOut;
  for (size_t m = 0; m < layouts.messages.size(); ++m) {
    carried[m].resize(result.counts[m]);
    carriedOut.push_back(carried[m].data());
  }
  const cSignalOutput out{rows.data(), values.data(), present.data(),
                          result.presentCounts.data(), carriedOut.data()};
  EXPECT_TRUE(cSignalPlan_extract(plan, &withCarried, messageOfRow.data(),
                                  result.counts.data(), &out));
  for (size_t m = 0; m < layouts.messages.size(); ++m)
    for (size_t i = 0; i < result.counts[m]; ++i)
      EXPECT_EQ(carried[m][i], static_cast<uint64_t>(result.rows[m][i]));
  // Without the row numbers (no rows asked for): the same values.
  std::vector<std::vector<uint64_t>> valuesAgain = result.values;
  std::vector<std::vector<uint8_t>> presentAgain = result.present;
  std::vector<void*> valuesAgainOut;
  std::vector<uint8_t*> presentAgainOut;
  for (size_t s = 0; s < layouts.signals.size(); ++s) {
    valuesAgain[s].assign(valuesAgain[s].size(), ~uint64_t{0});
    valuesAgainOut.push_back(valuesAgain[s].data());
    presentAgainOut.push_back(presentAgain[s].data());
  }
  std::vector<uint64_t> presentCountsAgain(layouts.signals.size());
  const cSignalOutput noRows{nullptr, valuesAgainOut.data(),
                             presentAgainOut.data(), presentCountsAgain.data(),
                             carriedOut.data()};
  EXPECT_TRUE(cSignalPlan_extract(plan, &withCarried, messageOfRow.data(),
                                  result.counts.data(), &noRows));
  EXPECT_EQ(valuesAgain, result.values);
  EXPECT_EQ(presentAgain, result.present);
  EXPECT_EQ(presentCountsAgain, result.presentCounts);
  // Missing values: NaN where the value is a float, else 0.
  for (size_t s = 0; s < layouts.signals.size(); ++s) {
    const cSignalLayout& layout = layouts.signals[s];
    for (size_t i = 0; i < result.values[s].size(); ++i) {
      if (result.present[s][i] != 0) continue;
      const uint64_t value = result.values[s][i];
      if (layout.raw && layout.kind == kSignalFloat32)  // fills 4 bytes
        EXPECT_TRUE(
            std::isnan(std::bit_cast<float>(static_cast<uint32_t>(value))))
            << s << i;
      else if (layout.raw && layout.kind != kSignalFloat64)
        EXPECT_EQ(value, 0u) << s << i;
      else
        EXPECT_TRUE(std::isnan(std::bit_cast<double>(value))) << s << i;
    }
  }
  return result;
}

TEST(cSignalPlan, FieldsEqualTheBitExtractionAtEveryPlaceAndLength) {
  std::mt19937_64 random(18);
  Layouts layouts;
  std::vector<cSignalLayout> fields;
  for (int i = 0; i < 40; ++i) {
    const auto length = static_cast<uint8_t>(1 + random() % 64);
    const bool little = random() % 2 == 0;
    const auto first = static_cast<uint32_t>(random() % (8 * 64 + 8));
    const uint8_t kind = random() % 2 == 0 ? kSignalUnsigned : kSignalSigned;
    fields.push_back(field(first, length, little, kind));
  }
  layouts.add(0x123, fields);
  const Plan plan = layouts.plan();
  ASSERT_TRUE(plan);
  Frames frames;
  for (int r = 0; r < 300; ++r) {
    std::vector<uint8_t> payload(random() % 65);
    for (auto& byte : payload) byte = static_cast<uint8_t>(random());
    frames.add(r % 7 == 0 ? 0x124 : 0x123, payload);
  }
  const cSignalInput in = frames.input();
  const Result result = run(layouts, plan.get(), in);
  size_t slot = 0;
  for (size_t r = 0; r < frames.payloads.size(); ++r) {
    if (frames.ids[r] != 0x123) continue;
    ASSERT_EQ(result.rows[0][slot], static_cast<int64_t>(r));
    const auto& payload = frames.payloads[r];
    for (size_t s = 0; s < fields.size(); ++s) {
      const cSignalLayout& f = fields[s];
      const bool fits = f.firstBit + f.length <= 8 * payload.size();
      ASSERT_EQ(result.present[s][slot], fits ? 1 : 0) << r << " " << s;
      if (!fits) continue;
      uint64_t want = cDecode_getRawBits(payload.data(), payload.size(),
                                         f.firstBit, f.length, f.littleEndian);
      if (f.kind == kSignalSigned && f.length < 64 &&
          (want >> (f.length - 1)) != 0)
        want |= ~uint64_t{0} << f.length;
      EXPECT_EQ(result.values[s][slot], want) << r << " " << s;
    }
    ++slot;
  }
  EXPECT_EQ(slot, result.counts[0]);
}

TEST(cSignalPlan, ScaledValuesAndFloats) {
  Layouts layouts;
  cSignalLayout scaled = field(0, 8, true, kSignalSigned, false);
  scaled.scale = 0.5;
  scaled.offset = -3;
  cSignalLayout single = field(8, 32, true, kSignalFloat32, false);
  single.scale = 2;
  cSignalLayout rawSingle = field(8, 32, true, kSignalFloat32, true);
  cSignalLayout wide = field(0, 64, false, kSignalFloat64, true);
  layouts.add(7, {scaled, single, rawSingle, wide});
  const Plan plan = layouts.plan();
  ASSERT_TRUE(plan);
  Frames frames;
  std::vector<uint8_t> payload(8);
  payload[0] = 0xFE;  // -2
  const float f = 1.25f;
  std::memcpy(payload.data() + 1, &f, 4);
  frames.add(7, payload);
  const Result result = run(layouts, plan.get(), frames.input());
  EXPECT_EQ(std::bit_cast<double>(result.values[0][0]), -2 * 0.5 - 3);
  EXPECT_EQ(std::bit_cast<double>(result.values[1][0]), 2.5);
  float single32;
  std::memcpy(&single32, result.values[2].data(), 4);
  EXPECT_EQ(single32, 1.25f);
  uint64_t bigEndian = 0;
  for (uint8_t byte : payload) bigEndian = bigEndian << 8 | byte;
  EXPECT_EQ(result.values[3][0], bigEndian);
}

TEST(cSignalPlan, NestedMultiplexersSelectByRawValue) {
  Layouts layouts;
  cSignalLayout mux = field(0, 4, true, kSignalSigned);
  cSignalLayout a = field(8, 8, true);
  a.multiplexer = 0;
  a.selectorFirst = 0;
  a.selectorCount = 2;  // -1 and 3
  cSignalLayout sub = field(16, 4, true);
  sub.multiplexer = 0;
  sub.selectorFirst = 2;
  sub.selectorCount = 1;  // 2
  cSignalLayout b = field(24, 8, true);
  b.multiplexer = 2;
  b.selectorFirst = 3;
  b.selectorCount = 1;  // 5
  layouts.selectors = {3, ~uint64_t{0}, 2, 5};
  std::sort(layouts.selectors.begin(), layouts.selectors.begin() + 2);
  layouts.add(1, {mux, a, sub, b});
  const Plan plan = layouts.plan();
  ASSERT_TRUE(plan);
  struct Case {
    std::vector<uint8_t> payload;
    std::vector<uint8_t> present;
  };
  const Case cases[] = {
      {{0x0F, 1, 0, 0}, {1, 1, 0, 0}},  // -1 selects a
      {{0x03, 1, 0, 0}, {1, 1, 0, 0}},  // 3 selects a
      {{0x02, 1, 5, 9}, {1, 0, 1, 1}},  // 2 selects sub, 5 selects b
      {{0x02, 1, 6, 9}, {1, 0, 1, 0}},  // sub 6 selects nothing
      {{0x02, 1, 5}, {1, 0, 1, 0}},     // b beyond the payload
      {{0x04, 1, 5, 9}, {1, 0, 0, 0}},  // 4 selects nothing
      {{}, {0, 0, 0, 0}},               // nothing at all
  };
  Frames frames;
  for (const Case& c : cases) frames.add(1, c.payload);
  const Result result = run(layouts, plan.get(), frames.input());
  for (size_t r = 0; r < std::size(cases); ++r)
    for (size_t s = 0; s < 4; ++s)
      EXPECT_EQ(result.present[s][r], cases[r].present[s]) << r << " " << s;
  EXPECT_EQ(result.presentCounts[1], 2u);
  EXPECT_EQ(result.presentCounts[3], 1u);
}

TEST(cSignalPlan, LongInputsGiveWhatTheirPiecesGive) {
  // More rows than extract copies at a time: multiplexers and values
  // across its chunks equal those of short pieces of the input.
  Layouts layouts;
  cSignalLayout mux = field(0, 4, true, kSignalSigned);
  cSignalLayout a = field(8, 8, true);
  a.multiplexer = 0;
  a.selectorFirst = 0;
  a.selectorCount = 2;
  cSignalLayout sub = field(23, 12, false);
  sub.multiplexer = 0;
  sub.selectorFirst = 2;
  sub.selectorCount = 1;
  cSignalLayout b = field(40, 24, true, kSignalSigned);
  b.multiplexer = 2;
  b.selectorFirst = 3;
  b.selectorCount = 1;
  layouts.selectors = {3, ~uint64_t{0}, 2, 5};
  std::sort(layouts.selectors.begin(), layouts.selectors.begin() + 2);
  layouts.add(1, {mux, a, sub, b});
  layouts.add(2,
              {field(7, 64, false), field(3, 32, true, kSignalFloat32, false)});
  const Plan plan = layouts.plan();
  ASSERT_TRUE(plan);
  std::mt19937 random(18);
  Frames all;
  for (int r = 0; r < 40000; ++r) {
    std::vector<uint8_t> payload(random() % 10);
    for (uint8_t& byte : payload) byte = static_cast<uint8_t>(random() % 7);
    all.add(static_cast<uint32_t>(1 + random() % 3), payload);
  }
  const Result whole = run(layouts, plan.get(), all.input());
  Result pieces;
  pieces.rows.resize(layouts.messages.size());
  pieces.values.resize(layouts.signals.size());
  pieces.present.resize(layouts.signals.size());
  for (size_t first = 0; first < all.ids.size(); first += 1000) {
    Frames piece;
    for (size_t r = first; r < first + 1000; ++r)
      piece.add(all.ids[r], all.payloads[r]);
    const Result part = run(layouts, plan.get(), piece.input());
    for (size_t m = 0; m < layouts.messages.size(); ++m)
      for (int64_t row : part.rows[m])
        pieces.rows[m].push_back(row + static_cast<int64_t>(first));
    for (size_t s = 0; s < layouts.signals.size(); ++s)
      for (size_t i = 0; i < part.present[s].size(); ++i) {
        pieces.present[s].push_back(part.present[s][i]);
        // Values of absent signals are left as they are.
        pieces.values[s].push_back(part.present[s][i] ? part.values[s][i] : 0);
      }
  }
  EXPECT_EQ(whole.rows, pieces.rows);
  EXPECT_EQ(whole.present, pieces.present);
  for (size_t s = 0; s < layouts.signals.size(); ++s)
    for (size_t i = 0; i < whole.present[s].size(); ++i)
      if (whole.present[s][i]) {
        ASSERT_EQ(whole.values[s][i], pieces.values[s][i]) << s << " " << i;
      }
}

TEST(cSignalPlan, KeysChannelsAndTheMatrixForm) {
  Layouts layouts;
  layouts.add(0x10, {field(0, 8, true)});
  layouts.add(0x10 + (1ull << 32), {field(0, 16, true)});
  layouts.add(0x1FFFFFFF + (1ull << 32), {field(8, 8, true)});
  layouts.add(0x10, {field(0, 4, true)});  // database 1 (below)
  layouts.keys.back().database = 1;
  layouts.databases = 2;
  layouts.channelDatabase.assign(512, -1);
  layouts.channelDatabase[2] = 1;
  const Plan plan = layouts.plan();
  ASSERT_TRUE(plan);
  Frames frames;
  frames.add(0x10, {0xAB, 0xCD});
  frames.add(0x10, {0xAB, 0xCD}, 1, true);
  frames.add(0x1FFFFFFF, {0xAB, 0xCD}, 1, true);
  frames.add(0x10, {0xAB, 0xCD}, 2);
  frames.add(0x11, {0xAB, 0xCD});
  cSignalInput in = frames.input();
  std::vector<uint8_t> usable = {1, 1, 1, 1, 1};
  in.usable = usable.data();
  const Result packed = run(layouts, plan.get(), in);
  EXPECT_EQ(packed.counts, (std::vector<uint64_t>{1, 1, 1, 1}));
  EXPECT_EQ(packed.values[0][0], 0xABu);
  EXPECT_EQ(packed.values[1][0], 0xCDABu);
  EXPECT_EQ(packed.values[2][0], 0xCDu);
  EXPECT_EQ(packed.values[3][0], 0xBu);
  EXPECT_EQ(packed.rows[3][0], 3);
  // The same frames as a matrix of 64 bytes per row.
  std::vector<uint8_t> matrix(64 * 5);
  std::vector<uint8_t> lengths(5, 2);
  for (size_t r = 0; r < 5; ++r) {
    matrix[64 * r] = 0xAB;
    matrix[64 * r + 1] = 0xCD;
  }
  in.offsets = nullptr;
  in.payload = matrix.data();
  in.payloadSize = matrix.size();
  in.lengths = lengths.data();
  usable[0] = 0;
  const Result dense = run(layouts, plan.get(), in);
  EXPECT_EQ(dense.counts, (std::vector<uint64_t>{0, 1, 1, 1}));
  EXPECT_EQ(dense.values[1], packed.values[1]);
  // Too few bytes for the rows.
  in.payloadSize -= 1;
  std::vector<int32_t> messageOfRow(5);
  std::vector<uint64_t> counts(4);
  cReason reason{};
  EXPECT_FALSE(cSignalPlan_match(plan.get(), &in, messageOfRow.data(),
                                 counts.data(), &reason));
  EXPECT_TRUE(cReason_isSet(&reason));
}

TEST(cSignalPlan, PayloadsOutsideTheDataFailTheMatch) {
  Layouts layouts;
  layouts.add(1, {field(0, 8, true)});
  const Plan plan = layouts.plan();
  ASSERT_TRUE(plan);
  Frames frames;
  frames.add(1, {1, 2, 3});
  frames.add(1, {4});
  cSignalInput in = frames.input();
  std::vector<int32_t> messageOfRow(2);
  std::vector<uint64_t> counts(1);
  const std::vector<std::vector<int64_t>> bad = {
      {0, 3, 5}, {0, 4, 3}, {-1, 3, 4}, {0, 66, 66}};
  for (const auto& offsets : bad) {
    std::vector<int64_t> copy = offsets;
    in.offsets = copy.data();
    cReason reason{};
    EXPECT_FALSE(cSignalPlan_match(plan.get(), &in, messageOfRow.data(),
                                   counts.data(), &reason));
    EXPECT_TRUE(cReason_isSet(&reason));
  }
}

TEST(cSignalPlan, InconsistentLayoutsAreRefused) {
  using Change = void (*)(Layouts*);
  const Change changes[] = {
      [](Layouts* s) { s->signals[0].length = 0; },
      [](Layouts* s) { s->signals[0].length = 65; },
      [](Layouts* s) { s->signals[0].kind = kSignalFloat32; },
      [](Layouts* s) { s->signals[0].kind = 9; },
      [](Layouts* s) { s->signals[0].multiplexer = 0; },
      [](Layouts* s) { s->signals[1].multiplexer = 1; },
      [](Layouts* s) { s->signals[1].multiplexer = -2; },
      [](Layouts* s) { s->signals[1].selectorCount = 3; },
      [](Layouts* s) { s->signals[1].selectorFirst = 0xFFFFFFFF; },
      [](Layouts* s) {
        s->selectors = {5, 4};
      },
      [](Layouts* s) { s->messages[0].signalCount = 3; },
      [](Layouts* s) { s->messages[0].firstSignal = 0xFFFFFFFF; },
      [](Layouts* s) {
        s->messages.push_back({1, 1});
      },  // a shared signal
      [](Layouts* s) { s->keys[0].message = 1; },
      [](Layouts* s) { s->keys[0].database = 1; },
      [](Layouts* s) { s->keys[0].key = 1ull << 33; },
      [](Layouts* s) { s->defaultDatabase = 1; },
      [](Layouts* s) { s->databases = 1u << 30; },
      [](Layouts* s) { s->channelDatabase.assign(512, 3); },
  };
  for (size_t i = 0; i < std::size(changes); ++i) {
    Layouts layouts;
    cSignalLayout selected = field(8, 8, true);
    selected.multiplexer = 0;
    selected.selectorCount = 2;
    layouts.selectors = {4, 5};
    layouts.add(1, {field(0, 8, true), selected});
    changes[i](&layouts);
    cReason reason{};
    EXPECT_FALSE(layouts.plan(&reason)) << i;
    EXPECT_TRUE(cReason_isSet(&reason)) << i;
  }
}

}  // namespace
