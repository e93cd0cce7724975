// cMdfDataStream: the data a data link holds, as one read-only stream,
// whatever blocks hold it: a data list (DL, with its chain of further
// lists) of data, signal data or compressed blocks, a header list (HL) over
// such a list, or a single compressed block (DZ). Record access reads
// through it as through a data block's own view (cMdfBlock_DT.h), so a
// record may straddle two members of a list.
//
// Members are read on demand. A compressed member is inflated whole, when
// reading reaches it, into the stream's buffers, which hold one member at a
// time and are reused for the next: memory is bounded by the largest
// member (kMdfMaxInflatedSize), not by the data group. A member whose data
// do not inflate ends the data where it begins (reads of it give 0); its
// reason is logged once, at error level, and reading the group ends there.
// A member that cannot be inflated for want of memory, or whose compressed
// data cannot be read, makes reads of it fail (-1).
//
// The stream has read, tell and seek (as a data block's view: seeks beyond
// the end land on it, any other whence fails); write and close are empty.
// It is owned by the block that holds it and borrows its members from that
// block's lists.
#pragma once

#include <cstddef>
#include <cstdint>

#include "log/cReason.h"
#include "mdf/blocks/cMdfBlock.h"
#include "mdf/blocks/cMdfBlock_DZ.h"
#include "streams/cIO.h"

struct cMdfDataSegment {
  uint64_t start;      // the member's first byte in the stream
  uint64_t size;       // its bytes: data section, or original length of DZ
  cMdfBlock_t* block;  // DT, SD or DZ; borrowed
};

struct cMdfDataStream : cIO {
  cMdfDataSegment* segments;  // owned (malloc), in stream order
  size_t count;
  size_t capacity;
  uint64_t size;   // all members' bytes
  uint64_t pos;    // read position
  size_t current;  // the segment read last
  // The compressed member whose bytes `buffers` hold, or null.
  const cMdfBlock_DZ_t* inflated;
  cMdfInflateBuffers buffers;
  // A compressed member that failed to inflate (logged), or null.
  const cMdfBlock_DZ_t* broken;
};

// An empty stream (no members) with its operations; false for null.
bool cMdfDataStream_init(cMdfDataStream* stream);
// Appends a member (DT, SD or DZ) at the end of the stream; false for
// another kind, a total beyond the largest stream offset, or no memory.
bool cMdfDataStream_append(cMdfDataStream* stream, cMdfBlock_t* member);
// Frees the segments and the buffers; the stream is empty again.
void cMdfDataStream_drop(cMdfDataStream* stream);

// The bytes a member adds to a data stream: a data or signal data block's
// data section, a compressed block's original length; 0 for other kinds.
uint64_t cMdfDataStream_memberSize(const cMdfBlock_t* member);

// The stream of the data a data link holds, for the kinds that hold data:
// a DT or SD block's view, the stream of a DZ, DL or HL block; its size in
// *size. Null for any other block (and for null).
cIO* cMdfData_stream(cMdfBlock_t* block, uint64_t* size);
