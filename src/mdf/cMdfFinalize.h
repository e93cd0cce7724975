// Finalize and sort: turns the unsorted data groups of an open unfinalized
// file into sorted ones, in memory, ready to be written with cMdf_save.
//
//   cMdf* mdf = cMdf_open(in);
//   if (cMdf_finalizeAndSort(mdf, &reason) == kMdfFinalizeDone)
//     cMdf_save(mdf, out);
//   cMdf_close(mdf);
//
// A logger writes one data group whose data block interleaves the records
// of several channel groups, each record behind its group's record id.
// Finalizing gives every channel group a data group of its own whose data
// block (held in a memory stream) holds that group's records in their
// former order, without ids; the records of a VLSD channel group become a
// signal data block (SD) that the channels which referred to the group now
// link to; cycle counts are set; the unfinalized flags for cycle counts
// and VLSD byte counts are cleared. The input stream is only read.
//
// Resulting order of the header's data groups: the groups that were sorted
// already, in their former order; then, for each unsorted group in its
// former order, one new group per channel group that keeps records (every
// fixed-length group, and a VLSD group no channel refers to), in the
// former order of the channel groups.
//
// Decisions that keep every record:
// - A record is whole: a fixed-length record is its group's data bytes
//   followed by its invalidation bytes, as record access reads it, and is
//   copied whole. The cycle count is the number of records copied, which
//   is the new data block's size divided by that whole record size, and
//   stays defined for groups of no bytes (whose records are ids only).
// - Every channel of the data group, composition members included, whose
//   data link is a VLSD channel group gets the signal data block, wherever
//   its group stands in the chain (before or after the VLSD group).
// - A VLSD channel group that no channel of its data group refers to keeps
//   its records, with their ids, in a data group of its own with the
//   former record id size; its cycle count becomes the number of values
//   and its byte count (data bytes, invalidation bytes as high part) the
//   size of its records without ids.
// - A data group whose records cannot be told apart (two channel groups
//   with one record id, or several groups without record ids) is refused:
//   the whole operation returns kMdfFinalizeRefused and changes nothing.
// - A sorted data group keeps its place; when the cycle counts are marked
//   as outdated, its cycle count becomes its data block's size divided by
//   its whole record size (a group of no bytes keeps its count).
// - A data group without channel groups keeps its place and its data.
// - The records of a group are copied up to the first record whose id the
//   group does not define, or a record cut short by the end of the data:
//   no reader can place the bytes behind it.
// The unfinalized flags other than cycle counts and VLSD byte counts stay
// as they are: with VLSD offsets marked as outdated, for example, the file
// is still written as unfinalized.
#pragma once

#include <cstdint>

#include "log/cReason.h"
#include "mdf/blocks/cMdfBlock.h"
#include "mdf/cMdf.h"

struct cMdfBlock_CN_t;

// Unfinalized flags that finalizing settles: cycle counts of channel
// groups, byte counts of VLSD channel groups.
constexpr uint16_t kMdfUnfinalizedCycleCounts = 0x0001;
constexpr uint16_t kMdfUnfinalizedVlsdBytes = 0x0020;

// What cMdf_finalizeAndSort did; the file is unchanged unless it is done.
enum cMdfFinalizeResult : int {
  kMdfFinalizeDone = 1,  // also when there was nothing to do
  // A null file, or a data group whose records cannot be told apart (see
  // above): the reason says which group and why.
  kMdfFinalizeRefused = 0,
  kMdfFinalizeReadFailed = -1,  // reading the records failed
  kMdfFinalizeNoMemory = -2,
};

// Finalizes and sorts (a cMdfFinalizeResult). Done also when there was
// nothing to do: no standard unfinalized flag set (custom flags are not
// looked at). `reason` (may be null) receives why a file is refused.
int cMdf_finalizeAndSort(cMdf* mdf, cReason* reason);

// The first channel, in a depth-first pre-order walk of `channel` and its
// composition members, whose data link is `target`; nullptr when there is
// none or an argument is null.
cMdfBlock_CN_t* findMatchingCNBlock(cMdfBlock_CN_t* channel,
                                    const cMdfBlock_t* target);
