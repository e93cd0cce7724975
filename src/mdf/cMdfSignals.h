// Signals of a file's frames: the CAN frames a column reader gives, cut into
// the signals of a plan (decode/cSignalPlan.h) batch after batch, for the
// package's MdfFile.decode_signals. While one batch is extracted, the next
// ones are filled (and matched) on a second thread; a few batches' columns
// are allocated once and reused, so that they stay in the caches. The
// extraction sets the pace: the second thread, when it has nothing to fill
// or match, takes pieces of the batch at hand alongside the caller.
//
//   cMdfSignalSink sink{context, reserve, prepare, settle};
//   cMdfSignalRun run{};
//   int32_t result = cMdfSignals_decode(reader, plan, 65536, true, &sink,
//                                       presentCounts, &run);
//
// The reading may also start before the plan is there (while the caller
// parses its databases), the reader then filtering on everything but the
// ids: the decoding gives the reader the ids for its fills from then on
// and leaves the other ids out of the batches filled before, as the reader
// would have:
//
//   cMdfSignalPrefetch* prefetch = cMdfSignals_prefetch(reader, 65536, true);
//   ... make the plan ...
//   cMdfSignals_decodePrefetched(prefetch, plan, ids, idCount, &sink,
//                                presentCounts, &run);
//   cMdfSignals_prefetchDtor(prefetch);
//
// Every batch's rows are matched to the plan's messages (row numbers
// count from the reader's first row), the sink says where each message's
// rows go (it may grow its arrays between batches), and extract writes
// them there.
// The rows carry the reader's timestamp, timestamp_ns and channel columns,
// in that order (carried columns of 8, 8 and 2 bytes).
//
// The reader's filter should keep CAN data frames only: the rows are taken
// as such. Every thread is joined before cMdfSignals_decode returns, on
// every path.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "decode/cSignalPlan.h"
#include "mdf/cMdfColumns.h"

// The columns each message's rows carry, in the order of the carried
// outputs.
constexpr size_t kMdfSignalCarried = 3;  // timestamp, timestamp_ns, channel

struct cMdfSignalSink {
  void* context;
  // Called on the caller's thread before a batch is extracted: counts[m]
  // rows of message m follow (cSignalPlan_messageCount entries); `last`
  // when the batch is known to be the final one (it is not full; a full
  // one may be followed by none). Sets output->rows,
  // values, present and carried (per message and carried column, m *
  // kMdfSignalCarried + c) to where those rows go; pointers of messages
  // without rows in the batch are not used. False stops the decoding.
  bool (*reserve)(void* context, const uint64_t* counts, bool last,
                  cSignalOutput* output);
  // Optional (null: none). Called on the second thread, at most once per
  // batch reserved and while the caller's thread extracts it, when the
  // thread has no batch to fill (it is ahead, or the frames are over):
  // about counts[m] rows of message m come next (the counts of the batch
  // reserved last). It may fault in the memory such rows would take
  // beyond the rows reserved so far, until *stop turns true (a batch is
  // to be filled, or the extraction is done); it must not move or grow
  // anything, nor call into Python.
  void (*prepare)(void* context, const uint64_t* counts,
                  const std::atomic<bool>* stop);
  // Optional (null: none). Called on the caller's thread after a batch is
  // extracted: presentCounts[s] of the rows reserved for signal s's
  // message have its value (output->presentCounts of the reserve). False
  // stops the decoding.
  bool (*settle)(void* context, const uint64_t* presentCounts);
};

// What a decoding went through.
struct cMdfSignalRun {
  uint64_t rows;        // frames the reader gave (and the ids kept)
  uint64_t unmatched;   // of those, rows of no message of the plan
  uint64_t batches;     // batches extracted
  uint64_t overlapped;  // batches filled on the second thread
};

enum cMdfSignalResult : int32_t {
  kMdfSignalsDone = 0,
  kMdfSignalsStopped = -1,   // the sink returned false
  kMdfSignalsNoMemory = -2,  // buffers could not be had
  kMdfSignalsBadInput = -3,  // null arguments or no batch rows
};

// Decodes every remaining frame of `reader`, `batchRows` at a time, filling
// the next batch on a second thread when `overlap` (else, on a machine
// with one CPU, or when no thread can be started, in turn). presentCounts
// (cSignalPlan_signalCount entries, set here) receives the rows where each
// signal is present. kMdfSignalsDone, or a negative cMdfSignalResult; the
// reader's own read failures are its to report (cMdfColumnReader_failure).
int32_t cMdfSignals_decode(cMdfColumnReader* reader, const cSignalPlan* plan,
                           uint64_t batchRows, bool overlap,
                           const cMdfSignalSink* sink, uint64_t* presentCounts,
                           cMdfSignalRun* run);

// A reading of the frames of `reader` started ahead of its decoding,
// `batchRows` at a time, on a second thread when `overlap` (as for
// cMdfSignals_decode); null for bad arguments or when memory runs out.
// The reader must outlive it; nothing else may read from the reader
// until it is destroyed.
struct cMdfSignalPrefetch;
cMdfSignalPrefetch* cMdfSignals_prefetch(cMdfColumnReader* reader,
                                         uint64_t batchRows, bool overlap);
// Joins its thread (once the batch at hand is filled). Null: nothing.
void cMdfSignals_prefetchDtor(cMdfSignalPrefetch* prefetch);

// Pages the prefetch's thread faults in while it waits for the plan (in
// a ring full of batches), for the results' first blocks to take
// (cPagePool_give) from the sink's reserve; null: none. The prefetch owns
// them.
struct cPagePool;
cPagePool* cMdfSignals_prefetchPages(cMdfSignalPrefetch* prefetch);

// cMdfSignals_decode over the frames of a prefetch, of which only those
// whose arbitration id is one of the `idCount` at `ids` are kept (ids null:
// all; the reader's id filter becomes them), the others left out before
// anything counts or numbers the rows.
// A prefetch decodes once (kMdfSignalsBadInput after that); its thread
// has ended when this returns.
int32_t cMdfSignals_decodePrefetched(cMdfSignalPrefetch* prefetch,
                                     const cSignalPlan* plan,
                                     const uint32_t* ids, size_t idCount,
                                     const cMdfSignalSink* sink,
                                     uint64_t* presentCounts,
                                     cMdfSignalRun* run);

// cSignalPlan_match over rows in memory, in two halves on two threads when
// `split`, the rows are many and the machine has more than one CPU (else,
// or when no thread can be started, in one): the same messages, counts,
// and on refusal the same reason.
bool cMdfSignals_match(const cSignalPlan* plan, const cSignalInput* input,
                       int32_t* messageOfRow, uint64_t* counts, cReason* reason,
                       bool split);

// cSignalPlan_extract over rows in memory (the input and messageOfRow and
// counts as match gave them), in pieces two threads share when `split`,
// the rows are many and the machine has more than one CPU (else, or when
// no thread can be started, in one). Both threads are joined before it
// returns. False when memory runs out.
bool cMdfSignals_extract(const cSignalPlan* plan, const cSignalInput* input,
                         const int32_t* messageOfRow, const uint64_t* counts,
                         const cSignalOutput* output, bool split);
