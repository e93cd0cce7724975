#include "mdf/cIterator.h"

#include <gtest/gtest.h>

namespace {

// An iterator kind over the numbers 1 to 3 that records its destruction.
struct Counting : cIterator {
  int value = 0;
  bool* destroyed = nullptr;
};

void* countingNext(cIterator* it) {
  auto* c = static_cast<Counting*>(it);
  return c->value < 3 ? &++c->value : nullptr;
}

void countingDestroy(cIterator* it) {
  *static_cast<Counting*>(it)->destroyed = true;
}

TEST(cIterator, DispatchesToTheKindsOperations) {
  static const cIterator_vtable kOperations = {countingNext, countingDestroy};
  bool destroyed = false;
  Counting it;
  it.vtable = &kOperations;
  it.destroyed = &destroyed;
  for (int expected = 1; expected <= 3; ++expected) {
    auto* item = static_cast<int*>(cIterator_next(&it));
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(*item, expected);
  }
  EXPECT_EQ(cIterator_next(&it), nullptr);
  cIterator_dtor(&it);
  EXPECT_TRUE(destroyed);
}

TEST(cIterator, NullAndEmptySlotsDoNothing) {
  static const cIterator_vtable kEmpty = {nullptr, nullptr};
  cIterator it{&kEmpty};
  EXPECT_EQ(cIterator_next(&it), nullptr);
  cIterator_dtor(&it);
  EXPECT_EQ(cIterator_next(nullptr), nullptr);
  cIterator_dtor(nullptr);
}

}  // namespace
