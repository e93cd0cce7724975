#include "decode/cMdfConversionRule.h"

#include <gtest/gtest.h>

#include <cmath>
#include <utility>
#include <vector>

namespace {

// Builds a table from (key, value) pairs the way a value-to-value
// conversion lists them; the caller drops it.
cMdfValueTable tableOf(const std::vector<std::pair<double, double>>& pairs) {
  cMdfValueTable table{};
  for (const auto& [key, value] : pairs) {
    EXPECT_TRUE(cMdfValueTable_insert(&table, key, value));
  }
  return table;
}

TEST(cMdfConversionRule, LinearIsOneMultiplyThenOneAdd) {
  cMdfConversionRule rule = cMdfConversionRule_linear(2.0, 0.5);
  EXPECT_EQ(rule.vtable, &linearVtable);
  EXPECT_EQ(cMdfConversionRule_convert(&rule, 10), 20.5);
  cMdfConversionRule_drop(&rule);
  EXPECT_EQ(rule.parameter, nullptr);

  rule = cMdfConversionRule_linear(0.001, 0);
  EXPECT_EQ(cMdfConversionRule_convert(&rule, 123456), 123456 * 0.001);
  EXPECT_DOUBLE_EQ(cMdfConversionRule_convert(&rule, 123456), 123.456);
  cMdfConversionRule_drop(&rule);
}

TEST(cMdfConversionRule, IdentityAndMissingRulesPassTheRawValue) {
  cMdfConversionRule identity = cMdfConversionRule_default();
  EXPECT_EQ(identity.vtable, &defaultVtable);
  EXPECT_EQ(identity.parameter, nullptr);
  EXPECT_EQ(cMdfConversionRule_convert(&identity, 7), 7);
  EXPECT_EQ(cMdfConversionRule_convert(nullptr, 7), 7);

  cMdfConversionRule zeroed{};
  EXPECT_EQ(cMdfConversionRule_convert(&zeroed, -3.5), -3.5);
  const cMdfConversionRule clone = cMdfConversionRule_clone(zeroed);
  EXPECT_EQ(clone.vtable, nullptr);
  EXPECT_EQ(clone.parameter, nullptr);
  cMdfConversionRule_drop(&zeroed);
  cMdfConversionRule_drop(nullptr);

  const cMdfConversionRule idClone = cMdfConversionRule_clone(identity);
  EXPECT_EQ(idClone.vtable, &defaultVtable);
  EXPECT_EQ(idClone.parameter, nullptr);
}

// A clone is dropped on its own: a linear rule copies its pair, a table
// rule shares its table with one more holder (tables are large and never
// change).
TEST(cMdfConversionRule, ClonesAreDroppedOnTheirOwn) {
  cMdfConversionRule linear = cMdfConversionRule_linear(3.0, 1.0);
  cMdfConversionRule linearCopy = cMdfConversionRule_clone(linear);
  EXPECT_NE(linearCopy.parameter, linear.parameter);
  cMdfConversionRule_drop(&linear);
  EXPECT_EQ(cMdfConversionRule_convert(&linearCopy, 2), 7.0);
  cMdfConversionRule_drop(&linearCopy);

  cMdfValueTable table = tableOf({{1, 10}, {2, 20}});
  cMdfConversionRule lookup = cMdfConversionRule_lookupTable(table);
  cMdfValueTable_drop(&table);  // the rule holds its own copy
  cMdfConversionRule lookupCopy = cMdfConversionRule_clone(lookup);
  EXPECT_EQ(lookupCopy.parameter, lookup.parameter);
  EXPECT_EQ(
      static_cast<cMdfSharedValueTable*>(lookup.parameter)->holders.load(), 2);
  cMdfConversionRule_drop(&lookup);
  EXPECT_EQ(lookup.parameter, nullptr);
  EXPECT_EQ(cMdfConversionRule_convert(&lookupCopy, 2), 20);
  cMdfConversionRule_drop(&lookupCopy);  // the leak checker sees it go
}

TEST(cMdfConversionRule, ExactTableLookup) {
  // Pairs as a conversion block lists them: the first pair for a key wins.
  cMdfValueTable table = tableOf({{1, 10}, {2, 20}, {1, 99}, {-0.0, 5}});
  EXPECT_EQ(table.count, 3);
  cMdfConversionRule rule = cMdfConversionRule_lookupTable(table);
  cMdfValueTable_drop(&table);
  EXPECT_EQ(rule.vtable, &lookupTableExactVtable);
  EXPECT_EQ(cMdfConversionRule_convert(&rule, 1), 10);
  EXPECT_EQ(cMdfConversionRule_convert(&rule, 2), 20);
  EXPECT_EQ(cMdfConversionRule_convert(&rule, 0.0), 5);  // 0.0 == -0.0
  // A value that is no key converts to itself; no nearest-key search.
  EXPECT_EQ(cMdfConversionRule_convert(&rule, 3), 3);
  EXPECT_EQ(cMdfConversionRule_convert(&rule, 1.5), 1.5);
  EXPECT_TRUE(std::isnan(cMdfConversionRule_convert(&rule, NAN)));
  cMdfConversionRule_drop(&rule);
  EXPECT_EQ(rule.parameter, nullptr);
}

TEST(cMdfConversionRule, NanKeysNeverMatch) {
  cMdfValueTable table = tableOf({{NAN, 1}, {4, 40}});
  EXPECT_EQ(table.count, 1);
  EXPECT_EQ(cMdfValueTable_find(&table, NAN), nullptr);
  ASSERT_NE(cMdfValueTable_find(&table, 4), nullptr);
  cMdfValueTable_drop(&table);
}

TEST(cMdfConversionRule, LargeTableKeepsEveryPair) {
  cMdfValueTable table{};
  for (int i = 0; i < 5000; ++i) {
    ASSERT_TRUE(cMdfValueTable_insert(&table, i * 0.25, -i));
  }
  cMdfConversionRule rule = cMdfConversionRule_lookupTable(table);
  cMdfValueTable_drop(&table);
  for (int i = 0; i < 5000; ++i) {
    ASSERT_EQ(cMdfConversionRule_convert(&rule, i * 0.25), -i) << i;
  }
  cMdfConversionRule_drop(&rule);
}

TEST(cMdfConversionRule, EmptyTableRuleConvertsToTheRawValue) {
  cMdfConversionRule rule = cMdfConversionRule_lookupTable(cMdfValueTable{});
  ASSERT_EQ(rule.vtable, &lookupTableExactVtable);
  const auto* copy = static_cast<const cMdfValueTable*>(rule.parameter);
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(copy->count, 0);
  EXPECT_EQ(copy->entries, nullptr);
  EXPECT_EQ(cMdfConversionRule_convert(&rule, 12), 12);
  cMdfConversionRule_drop(&rule);
}

}  // namespace
