// cIterator_dgRaw: a cIterator over the raw records of one data group, in
// the order they stand in its data block. Each item is a cMdfRawRecord
// (decode/cMdfRecordGroupInfo.h): the record id and the bytes after it,
// the data and invalidation bytes of a fixed-length record, or the u32
// length and the value of a VLSD record. Records are read with
// cMdfBlock_DG_getRecordDataRaw, so the iteration ends where record access
// ends: at the end of the data, at a record id the group does not define,
// or at once when the group's data link is not a data block (DT); and
// where reading fails or memory runs short, which `failure` then tells.
#pragma once

#include <cstdint>

#include "decode/cMdfRecordGroupInfo.h"
#include "mdf/cIterator.h"

struct cMdf;
struct cMdfBlock_DG_t;

struct cIterator_dgRaw : cIterator {
  cMdfRawRecord item;     // the current record; its bytes are owned
  const cMdf* file;       // passed on to the record reader
  cMdfBlock_DG_t* group;  // borrowed: must outlive the iterator
  uint64_t offset;        // of the next record in the group's data section
  uint64_t lastSize;      // bytes the current record took in the data:
                          // its id, a VLSD length and the record bytes
  uint32_t failure;       // cMdfReadFailure: why the iteration ended early
};

// A new iterator at the first record of `group`; nullptr when mdf is null
// or memory runs out. Release it with cIterator_dtor.
cIterator* cIterator_dgRaw_ctor(const cMdf* mdf, cMdfBlock_DG_t* group);
