#include "decode/cMdfConversionRule.h"

#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>

const cMdfConversionRule_vtable defaultVtable = {nullptr, nullptr, nullptr};
const cMdfConversionRule_vtable linearVtable = {convertLinear, dropLinear,
                                                cloneLinear};
const cMdfConversionRule_vtable lookupTableExactVtable = {
    convertLookupTableExact, dropLookupTableExact, cloneLookupTableExact};

namespace {

enum : uint8_t { kSlotEmpty = 0, kSlotOccupied = 1, kSlotEnd = 2 };

constexpr int32_t kMinTableCapacity = 8;
constexpr int32_t kMaxTableCapacity = int32_t{1} << 30;

uint64_t hashKey(double key) {
  // 0.0 == -0.0, so both must land in the same slot.
  uint64_t h = std::bit_cast<uint64_t>(key == 0.0 ? 0.0 : key);
  // splitmix64 finaliser: spreads the exponent bits over the low bits.
  h ^= h >> 30;
  h *= 0xbf58476d1ce4e5b9ULL;
  h ^= h >> 27;
  h *= 0x94d049bb133111ebULL;
  h ^= h >> 31;
  return h;
}

// Slot holding key, or of the first empty slot of its probe run. The table
// has storage and at least one empty slot.
int32_t probe(const cMdfValueTable* table, double key) {
  const uint64_t mask = static_cast<uint64_t>(table->capacity) - 1;
  uint64_t i = hashKey(key) & mask;
  while (table->states[i] == kSlotOccupied && table->entries[i].key != key) {
    i = (i + 1) & mask;
  }
  return static_cast<int32_t>(i);
}

// Fresh storage of the given capacity (a power of two), all slots empty.
bool allocateStorage(cMdfValueTable* table, int32_t capacity) {
  const auto n = static_cast<size_t>(capacity);
  auto* entries = static_cast<cMdfValueTableEntry*>(
      std::calloc(n, sizeof(cMdfValueTableEntry)));
  auto* states = static_cast<uint8_t*>(std::calloc(n + 1, 1));
  if (entries == nullptr || states == nullptr) {
    std::free(entries);
    std::free(states);
    return false;
  }
  states[n] = kSlotEnd;
  table->entries = entries;
  table->states = states;
  table->capacity = capacity;
  table->count = 0;
  return true;
}

bool grow(cMdfValueTable* table) {
  const int32_t capacity =
      table->capacity == 0 ? kMinTableCapacity : table->capacity * 2;
  if (capacity > kMaxTableCapacity) return false;
  cMdfValueTable bigger{};
  if (!allocateStorage(&bigger, capacity)) return false;
  for (int32_t i = 0; i < table->capacity; ++i) {
    if (table->states[i] != kSlotOccupied) continue;
    const int32_t slot = probe(&bigger, table->entries[i].key);
    bigger.entries[slot] = table->entries[i];
    bigger.states[slot] = kSlotOccupied;
    ++bigger.count;
  }
  cMdfValueTable_drop(table);
  *table = bigger;
  return true;
}

// A table with the same entries in storage of its own; false when
// allocation fails (copy untouched). An empty table copies to an empty one.
bool copyTable(const cMdfValueTable* from, cMdfValueTable* copy) {
  cMdfValueTable fresh{};
  if (from->capacity > 0) {
    if (!allocateStorage(&fresh, from->capacity)) return false;
    std::memcpy(
        fresh.entries, from->entries,
        sizeof(cMdfValueTableEntry) * static_cast<size_t>(from->capacity));
    std::memcpy(fresh.states, from->states,
                static_cast<size_t>(from->capacity) + 1);
    fresh.count = from->count;
  }
  *copy = fresh;
  return true;
}

}  // namespace

bool cMdfValueTable_insert(cMdfValueTable* table, double key, double value) {
  if (table == nullptr) return false;
  if (std::isnan(key)) return true;  // could never be found again
  if (table->capacity > 0 &&
      table->states[probe(table, key)] == kSlotOccupied) {
    return true;
  }
  // Keep at least a quarter of the slots empty so that probing ends soon.
  if (static_cast<int64_t>(table->count + 1) * 4 >
          static_cast<int64_t>(table->capacity) * 3 &&
      !grow(table)) {
    return false;
  }
  const int32_t slot = probe(table, key);
  table->entries[slot] = {key, value};
  table->states[slot] = kSlotOccupied;
  ++table->count;
  return true;
}

const double* cMdfValueTable_find(const cMdfValueTable* table, double key) {
  if (table == nullptr || table->capacity == 0 || std::isnan(key)) {
    return nullptr;
  }
  const int32_t slot = probe(table, key);
  return table->states[slot] == kSlotOccupied ? &table->entries[slot].value
                                              : nullptr;
}

void cMdfValueTable_drop(cMdfValueTable* table) {
  if (table == nullptr) return;
  std::free(table->entries);
  std::free(table->states);
  *table = cMdfValueTable{};
}

cMdfConversionRule cMdfConversionRule_default() {
  return {&defaultVtable, nullptr};
}

cMdfConversionRule cMdfConversionRule_linear(double factor, double offset) {
  auto* parameter = static_cast<cMdfLinearParameter*>(
      std::malloc(sizeof(cMdfLinearParameter)));
  if (parameter == nullptr)
    return cMdfConversionRule_incompleteOf(&linearVtable);
  *parameter = {factor, offset};
  return {&linearVtable, parameter};
}

cMdfConversionRule cMdfConversionRule_lookupTable(cMdfValueTable table) {
  auto* parameter = new (std::nothrow) cMdfSharedValueTable{{}, 1};
  if (parameter == nullptr)
    return cMdfConversionRule_incompleteOf(&lookupTableExactVtable);
  if (!copyTable(&table, &parameter->table)) {
    delete parameter;
    return cMdfConversionRule_incompleteOf(&lookupTableExactVtable);
  }
  return {&lookupTableExactVtable, parameter};
}

cMdfConversionRule cMdfConversionRule_incompleteOf(
    const cMdfConversionRule_vtable* vtable) {
  return {vtable, nullptr};
}

bool cMdfConversionRule_incomplete(const cMdfConversionRule* rule) {
  return rule != nullptr && rule->parameter == nullptr &&
         (rule->vtable == &linearVtable ||
          rule->vtable == &lookupTableExactVtable);
}

double cMdfConversionRule_convert(const cMdfConversionRule* rule, double raw) {
  if (rule == nullptr || rule->vtable == nullptr ||
      rule->vtable->convert == nullptr) {
    return raw;
  }
  return rule->vtable->convert(rule, raw);
}

void cMdfConversionRule_drop(cMdfConversionRule* rule) {
  if (rule == nullptr || rule->vtable == nullptr ||
      rule->vtable->drop == nullptr) {
    return;
  }
  rule->vtable->drop(rule);
}

cMdfConversionRule cMdfConversionRule_clone(cMdfConversionRule rule) {
  if (rule.vtable == nullptr || rule.vtable->clone == nullptr) return rule;
  return rule.vtable->clone(rule);
}

double convertLinear(const cMdfConversionRule* rule, double x) {
  const auto* p = static_cast<const cMdfLinearParameter*>(rule->parameter);
  if (p == nullptr) return x;
  // One multiplication, then one addition: no fused multiply-add.
  const double scaled = x * p->factor;
  return scaled + p->offset;
}

double convertLookupTableExact(const cMdfConversionRule* rule, double x) {
  const auto* shared =
      static_cast<const cMdfSharedValueTable*>(rule->parameter);
  const double* value =
      shared != nullptr ? cMdfValueTable_find(&shared->table, x) : nullptr;
  return value != nullptr ? *value : x;
}

void dropLinear(cMdfConversionRule* rule) {
  std::free(rule->parameter);
  rule->parameter = nullptr;
}

void dropLookupTableExact(cMdfConversionRule* rule) {
  auto* shared = static_cast<cMdfSharedValueTable*>(rule->parameter);
  rule->parameter = nullptr;
  if (shared == nullptr ||
      shared->holders.fetch_sub(1, std::memory_order_acq_rel) != 1)
    return;
  cMdfValueTable_drop(&shared->table);
  delete shared;
}

cMdfConversionRule cloneLinear(cMdfConversionRule rule) {
  const auto* p = static_cast<const cMdfLinearParameter*>(rule.parameter);
  if (p == nullptr) return rule;
  return cMdfConversionRule_linear(p->factor, p->offset);
}

cMdfConversionRule cloneLookupTableExact(cMdfConversionRule rule) {
  auto* shared = static_cast<cMdfSharedValueTable*>(rule.parameter);
  if (shared == nullptr) return rule;
  shared->holders.fetch_add(1, std::memory_order_relaxed);
  return rule;
}

cMdfTickScale cMdfConversionRule_tickScale(const cMdfConversionRule* rule) {
  const cMdfTickScale none{0, 0, 0};
  if (rule == nullptr || rule->vtable == nullptr ||
      rule->vtable == &defaultVtable) {
    return {1000000000, 0, 0};
  }
  if (rule->vtable != &linearVtable || rule->parameter == nullptr) return none;
  const auto* linear = static_cast<const cMdfLinearParameter*>(rule->parameter);
  const double perTick = linear->factor * 1e9;
  const double offset = linear->offset * 1e9;
  if (!std::isfinite(perTick) || !(std::fabs(offset) < 0x1p62)) return none;
  for (uint32_t shift = 0; shift <= 32; ++shift) {
    const double scaled = std::ldexp(perTick, static_cast<int>(shift));
    // Beyond 40 bits the factor is the double of no short fraction.
    if (!(std::fabs(scaled) < 0x1p40)) return none;
    const double whole = std::nearbyint(scaled);
    // A decimal factor is a double a few units in the last place away
    // from the decimal; the whole number it stands for is taken.
    if (whole != 0.0 && std::fabs(scaled - whole) <= std::fabs(whole) * 1e-12) {
      return {static_cast<int64_t>(whole), shift,
              static_cast<int64_t>(std::llround(offset))};
    }
  }
  return none;
}

namespace {

__extension__ typedef __int128 Int128;

int64_t saturated(Int128 value) {
  if (value > INT64_MAX) return INT64_MAX;
  if (value < INT64_MIN) return INT64_MIN;
  return static_cast<int64_t>(value);
}

}  // namespace

int64_t cMdfTickScale_applyWide(const cMdfTickScale* scale, uint64_t ticks,
                                bool isSigned) {
  if (scale == nullptr) return 0;
  const Int128 count = isSigned
                           ? static_cast<Int128>(static_cast<int64_t>(ticks))
                           : static_cast<Int128>(ticks);
  Int128 ns = count * scale->numerator;
  if (scale->shift > 0) {
    // Round to nearest, halves up; >> on a negative value floors.
    ns = (ns + (static_cast<Int128>(1) << (scale->shift - 1))) >> scale->shift;
  }
  return saturated(ns + scale->offsetNs);
}

int64_t cMdfNanoseconds_fromSeconds(double seconds) {
  if (std::isnan(seconds)) return 0;
  if (seconds >= 0x1p63 / 1e9) return INT64_MAX;
  if (seconds <= -0x1p63 / 1e9) return INT64_MIN;
  // Whole seconds and the fraction apart: the fraction times 1e9 rounds
  // once, far below half a nanosecond.
  const double whole = std::floor(seconds);
  const double fraction = (seconds - whole) * 1e9;
  return saturated(static_cast<Int128>(static_cast<int64_t>(whole)) *
                       1000000000 +
                   std::llround(fraction));
}
