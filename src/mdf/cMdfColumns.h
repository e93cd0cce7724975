// Frame columns: every bus frame of an open file as rows of column arrays,
// in the order of message iteration, filtered on the way.
//
//   cMdfColumnFilter filter = {};               // every frame
//   cMdfColumnReader* reader = cMdfColumnReader_ctor(mdf, &filter);
//   cMdfColumnOutput out = {};
//   out.capacity = rows;
//   out.columns[kMdfColumnTimestamp] = timestamps;   // rows doubles
//   ...                                             // null: not wanted
//   while (cMdfColumnReader_fill(reader, &out) > 0) ... out.rows ...
//   cMdfColumnReader_dtor(reader);
//
// Row order: the data groups' frames are merged the way a heap merge of the
// groups' message sequences orders them (Python's heapq.merge): the frame
// with the smallest timestamp (start time + offset, as a double) among the
// groups' next frames comes first, of equal timestamps the one of the
// earlier data group; within a group record order. Records that decode to
// no frame (groups that are not bus logging, undecodable records) yield no
// row and take no part in the order; a group ends where its container ends
// (a truncated record, an unknown record id). Filtered frames take part in
// the order but yield no row, so a filtered table is the unfiltered table
// with rows left out.
//
// Once a single group is left (a log of one data group, as loggers write
// them), no merge is needed: runs of its records of one channel group
// that stand one after another in the read window are written as they
// stand, CAN data frames column by column straight from the records'
// bits. The rows are those that decoding each frame would give.
//
// The reader borrows the file: it must outlive the reader. One reader at a
// time per file (the data groups' record access shares the file's stream
// position only through seeks, but the containers are the reader's own).
#pragma once

#include <cstddef>
#include <cstdint>

#include "decode/cMdfDecoders.h"

struct cMdf;

// The columns. Each is an array of `capacity` elements of its type unless
// said otherwise; booleans are bytes 0 or 1.
enum cMdfColumn : uint32_t {
  kMdfColumnTimestamp = 0,        // double: seconds since 1970, UTC
  kMdfColumnTimestampNs,          // int64: nanoseconds since 1970, UTC
  kMdfColumnChannel,              // uint16: kMdfChannelCan/Lin + bus channel
  kMdfColumnKind,                 // uint8: kMdfBusMsg* (1 to 8)
  kMdfColumnArbitrationId,        // uint32: the id, 29 bits
  kMdfColumnIsExtendedId,         // bool
  kMdfColumnIsRemoteFrame,        // bool
  kMdfColumnIsErrorFrame,         // bool
  kMdfColumnIsFd,                 // bool
  kMdfColumnIsRx,                 // bool
  kMdfColumnBitrateSwitch,        // bool
  kMdfColumnErrorStateIndicator,  // bool
  kMdfColumnDlc,                  // uint8: payload bytes
  kMdfColumnData,                 // capacity rows of 64 bytes, zero after dlc
  kMdfColumnErrorType,            // uint8: CAN error frames' type, else 0
  kMdfColumnGroup,                // uint16: data group index (saturated)
  // The payloads back to back (capacity * 64 bytes at most) and where each
  // row's starts: int64, capacity + 1 elements, the first 0 for every fill.
  kMdfColumnDataValues,
  kMdfColumnDataOffsets,
  kMdfColumnCount,
};

// Channel codes (kMdfColumnChannel): the bus family plus the bus channel.
constexpr uint16_t kMdfChannelCan = 0;    // "CAN <n>"
constexpr uint16_t kMdfChannelLin = 256;  // "LIN <n>"

struct cMdfColumnFilter {
  // Channel codes to keep; none (count 0) keeps every channel.
  const uint16_t* channels;
  size_t channelCount;
  // Arbitration ids to keep, in any order; none keeps every id.
  const uint32_t* ids;
  size_t idCount;
  // Frame kinds to keep, bit 1 << kind; 0 keeps every kind.
  uint32_t kinds;
  // Timestamps (seconds since 1970) from start inclusive to stop
  // exclusive, where set.
  bool hasStart;
  double start;
  bool hasStop;
  double stop;
};

// Bytes per row of a column (the offsets have one element more than rows;
// the values at most this many per row); 0 for no column.
uint64_t cMdfColumn_width(uint32_t column);

// Text expanded from a code column: row i is item code[i] of `table`
// (`items` items of `width` bytes back to back; a code beyond the table
// gives zero bytes). The "channel" and "kind" names as fixed-width strings.
struct cMdfColumnText {
  const void* table;
  uint64_t width;
  uint64_t items;
  void* out;  // capacity * width bytes; null: not wanted
};

// The texts a fill can expand, each from its code column.
enum cMdfColumnTextOf : uint32_t {
  kMdfTextChannel = 0,  // from kMdfColumnChannel
  kMdfTextKind,         // from kMdfColumnKind
  kMdfTextCount,
};

struct cMdfColumnOutput {
  void* columns[kMdfColumnCount];  // null: the column is not wanted
  // Null `out`: not wanted; else the code column must be given too (it
  // holds the codes).
  cMdfColumnText texts[kMdfTextCount];
  uint64_t capacity;  // rows each column has room for
  uint64_t rows;      // set by a fill: the rows written
  // A second thread may share the work of a large fill (never on a
  // machine with one CPU): it faults in the pages of the output ahead of
  // the decoding and writes the texts of the rows decoded so far. It lives
  // within the fill; the rows are the same either way.
  bool helper;
};

struct cMdfColumnReader;

// A reader over every data group of `mdf`, before its first frame, or null
// (null file, no memory). The filter is copied. Measures the file's stream
// (for the row estimate).
cMdfColumnReader* cMdfColumnReader_ctor(cMdf* mdf,
                                        const cMdfColumnFilter* filter);
void cMdfColumnReader_dtor(cMdfColumnReader* reader);

// Writes the next rows, at most out->capacity, into the wanted columns and
// texts from row 0, and sets and returns out->rows; 0 at the end (or for a
// null argument).
uint64_t cMdfColumnReader_fill(cMdfColumnReader* reader, cMdfColumnOutput* out);

// Keeps, from the next fill on, only the frames of the `count` ids given,
// in place of the filter's ids (none given: no frame). Only between
// fills. False (the filter as it was) for null or when memory runs out.
bool cMdfColumnReader_setIds(cMdfColumnReader* reader, const uint32_t* ids,
                             size_t count);

// Whether the filter keeps frames of the arbitration id `id` (a 29-bit
// id, as the rows give it): every id without an id filter. False for
// null.
bool cMdfColumnReader_keepsId(const cMdfColumnReader* reader, uint32_t id);

// Why the rows ended early (cMdfReadFailure, see
// cMdfBusMsgContainer_failure): a data group whose data could not be read,
// or memory that ran short, ends that group, and the rows then lack
// frames. kMdfReadOk while nothing failed, and for null.
uint32_t cMdfColumnReader_failure(const cMdfColumnReader* reader);

// How many rows the whole file may give: the cycle counts of its channel
// groups, each data group's bounded by the records its data block has
// bytes for in the file (so a file cannot claim more rows than it has
// bytes). An estimate for sizing
// arrays, exact for a finalized file of bus frames read without filters;
// 0 for null.
uint64_t cMdfColumnReader_rowEstimate(const cMdfColumnReader* reader);
