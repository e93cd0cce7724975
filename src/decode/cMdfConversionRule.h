// Conversion rules: turn the raw number read from a record into the
// channel's physical value.
//
// A rule is a small value object: a pointer to a constant operation table
// and a pointer to a heap parameter owned by the rule. Three kinds exist:
//   identity           defaultVtable           no parameter
//   linear             linearVtable            cMdfLinearParameter
//   exact value table  lookupTableExactVtable  cMdfSharedValueTable
// A rule with no table at all (all zero) behaves as the identity rule.
// Rules are never modified after construction, so one rule serves any
// number of conversions; converting never allocates.
//
// A value table may hold 32767 pairs (a megabyte), and one conversion block
// may serve every channel of a file: the clones of a table rule share its
// table, counted, instead of copying it, so that the channels of a file
// cannot make it allocate a table each.
#pragma once

#include <atomic>
#include <cstdint>

struct cMdfConversionRule;

struct cMdfConversionRule_vtable {
  // Physical value of a raw value.
  double (*convert)(const cMdfConversionRule* rule, double raw);
  // Frees the parameter and sets it to null.
  void (*drop)(cMdfConversionRule* rule);
  // A new rule, safe to drop on its own: a copy of the parameter, or the
  // same immutable parameter with one more holder.
  cMdfConversionRule (*clone)(cMdfConversionRule rule);
};

struct cMdfConversionRule {
  const cMdfConversionRule_vtable* vtable;  // null acts as defaultVtable
  void* parameter;  // owned (shared among clones for a table); null for
                    // identity
};

// physical = raw * factor + offset
struct cMdfLinearParameter {
  double factor;
  double offset;
};

struct cMdfValueTableEntry {
  double key;
  double value;
};

// Hash map from double to double with open addressing (linear probing,
// capacity a power of two, at most three quarters full). Keys compare with
// floating-point equality: 0.0 and -0.0 are one key, and a NaN key never
// matches, so NaN keys are not stored at all.
struct cMdfValueTable {
  cMdfValueTableEntry* entries;  // capacity slots; null when empty
  uint8_t* states;  // capacity + 1 bytes: 0 empty, 1 occupied, end marker 2
  int32_t count;    // occupied slots
  int32_t capacity;
};

// Parameter of the exact table kind: the table and the number of rules
// holding it; the last one to drop it frees it. The table comes first, so
// the parameter reads as a cMdfValueTable.
struct cMdfSharedValueTable {
  cMdfValueTable table;
  std::atomic<int64_t> holders;
};

extern const cMdfConversionRule_vtable defaultVtable;
extern const cMdfConversionRule_vtable linearVtable;
extern const cMdfConversionRule_vtable lookupTableExactVtable;

// Integer ticks to nanoseconds in integer arithmetic:
//   ns = round(ticks * numerator / 2^shift) + offsetNs
// A zero numerator says that the conversion has no such exact form; its
// physical values are then converted to nanoseconds by rounding.
struct cMdfTickScale {
  int64_t numerator;
  uint32_t shift;
  int64_t offsetNs;
};

// The tick scale of an integer channel's conversion: the identity (ticks of
// one second) and linear conversions whose factor is a whole number of
// nanoseconds, or a whole number of nanoseconds over a power of two up to
// 2^32 (1/1024 s), the numerator below 2^40; the offset is rounded to whole
// nanoseconds. Decimal factors (1e-6) count as the decimal they stand for.
// Zero numerator for any other conversion.
cMdfTickScale cMdfConversionRule_tickScale(const cMdfConversionRule* rule);
// Nanoseconds of `ticks` (a signed or unsigned 64-bit integer as `isSigned`
// says) under a scale with a non-zero numerator, saturated to int64: the
// general form, in 128-bit arithmetic.
int64_t cMdfTickScale_applyWide(const cMdfTickScale* scale, uint64_t ticks,
                                bool isSigned);
// The same. Inline: every frame's time goes through it, and a scale
// without a shift whose product fits 64 bits (ticks of a logger's clock)
// needs no 128-bit arithmetic.
inline int64_t cMdfTickScale_apply(const cMdfTickScale* scale, uint64_t ticks,
                                   bool isSigned) {
  int64_t ns = 0;
  int64_t sum = 0;
  if (scale != nullptr && scale->shift == 0 &&
      (isSigned || ticks <= static_cast<uint64_t>(INT64_MAX)) &&
      !__builtin_mul_overflow(static_cast<int64_t>(ticks), scale->numerator,
                              &ns) &&
      !__builtin_add_overflow(ns, scale->offsetNs, &sum))
    return sum;
  return cMdfTickScale_applyWide(scale, ticks, isSigned);
}
// Seconds to nanoseconds, rounded to the nearest (halves away from zero),
// saturated to int64; 0 for NaN.
int64_t cMdfNanoseconds_fromSeconds(double seconds);

// Value table. The table starts zeroed (no storage).
// Adds key -> value unless the key is already there (the first pair wins)
// or is NaN. False when the table cannot grow; the table is then unchanged.
bool cMdfValueTable_insert(cMdfValueTable* table, double key, double value);
// The value stored for key, or null.
const double* cMdfValueTable_find(const cMdfValueTable* table, double key);
// Frees the storage and leaves an empty table.
void cMdfValueTable_drop(cMdfValueTable* table);

// Constructors. Where a parameter cannot be allocated the rule is
// incomplete (see cMdfConversionRule_incomplete).
cMdfConversionRule cMdfConversionRule_default();
cMdfConversionRule cMdfConversionRule_linear(double factor, double offset);
// Copies the table into a parameter of one holder; the caller keeps and
// frees its own.
cMdfConversionRule cMdfConversionRule_lookupTable(cMdfValueTable table);
// A rule of the kind `vtable` without its parameter: what a constructor or
// a clone gives when memory runs out.
cMdfConversionRule cMdfConversionRule_incompleteOf(
    const cMdfConversionRule_vtable* vtable);
// Whether the rule is of a kind with a parameter but has none (memory ran
// out making it): it converts as the identity, which is not the conversion
// it stands for, so its user must not take its values.
bool cMdfConversionRule_incomplete(const cMdfConversionRule* rule);

// Dispatchers. A null rule converts to the raw value; empty slots have
// nothing to do; clone of a kind without clone returns the rule itself; the
// clone of an incomplete rule, and a clone that runs out of memory, is
// incomplete.
double cMdfConversionRule_convert(const cMdfConversionRule* rule, double raw);
void cMdfConversionRule_drop(cMdfConversionRule* rule);
cMdfConversionRule cMdfConversionRule_clone(cMdfConversionRule rule);

// Kind operations, as found in the tables above. A value that is not a key
// of an exact table converts to itself: the table says nothing about it, and
// the raw value keeps the frame fields it feeds meaningful.
double convertLinear(const cMdfConversionRule* rule, double x);
double convertLookupTableExact(const cMdfConversionRule* rule, double x);
void dropLinear(cMdfConversionRule* rule);
void dropLookupTableExact(cMdfConversionRule* rule);
cMdfConversionRule cloneLinear(cMdfConversionRule rule);
cMdfConversionRule cloneLookupTableExact(cMdfConversionRule rule);
