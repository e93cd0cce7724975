#include "mdf/cMdfSignals.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "mdf/cPages.h"

namespace {

// Payload bytes a frame holds at most (CAN FD).
constexpr uint64_t kMaxPayload = 64;

// An array of `count` elements left uninitialised (the fill writes every
// element it gives), or null when memory runs out.
template <typename T>
std::unique_ptr<T[]> uninitialised(uint64_t count) {
  return std::unique_ptr<T[]>(new (std::nothrow) T[count]);
}

// One batch's columns, allocated once and filled again and again, and
// their rows' messages. The columns of fixed width share one block in
// huge pages (a batch of 65,536 rows: one), which the fills touch whole;
// of the payloads', only the part that the rows' lengths take.
struct Batch {
  struct Free {
    void operator()(uint8_t* bytes) const { std::free(bytes); }
  };
  std::unique_ptr<uint8_t, Free> fixed;  // the columns below but payload
  double* timestamps = nullptr;
  int64_t* timestampsNs = nullptr;
  uint16_t* channels = nullptr;
  uint32_t* ids = nullptr;
  uint8_t* extended = nullptr;
  int64_t* offsets = nullptr;          // rows + 1
  std::unique_ptr<uint8_t[]> payload;  // packed, at most 64 bytes a row
  cMdfColumnOutput out{};
  uint64_t filled = 0;                // rows the fill gave (out.rows: kept)
  std::vector<int32_t> messageOfRow;  // per row
  std::vector<uint64_t> counts;       // per message
  bool accepted = false;              // match accepted the rows
  bool earlierFilter = false;         // filled before the reader's ids were set
};

bool allocate(Batch* batch, uint64_t rows, size_t messages) {
  batch->messageOfRow.resize(rows);
  batch->counts.resize(messages);
  if (rows > (UINT64_MAX >> 8)) return false;
  // The widest first: every column aligned.
  const uint64_t bytes = 8 * (rows + 1) + (8 + 8 + 4 + 2 + 1) * rows;
  const uint64_t size = (bytes + kPagesHuge - 1) & ~(kPagesHuge - 1);
  batch->fixed.reset(
      static_cast<uint8_t*>(std::aligned_alloc(kPagesHuge, size)));
  batch->payload = uninitialised<uint8_t>(rows * kMaxPayload);
  if (!batch->fixed || !batch->payload) return false;
  cPages_preferHuge(batch->fixed.get(), size);
  uint8_t* at = batch->fixed.get();
  auto take = [&at](auto** column, uint64_t count) {
    *column = reinterpret_cast<std::remove_pointer_t<decltype(column)>>(at);
    at += count * sizeof(**column);
  };
  take(&batch->offsets, rows + 1);
  take(&batch->timestamps, rows);
  take(&batch->timestampsNs, rows);
  take(&batch->ids, rows);
  take(&batch->channels, rows);
  take(&batch->extended, rows);
  cMdfColumnOutput& out = batch->out;
  out.capacity = rows;
  out.columns[kMdfColumnTimestamp] = batch->timestamps;
  out.columns[kMdfColumnTimestampNs] = batch->timestampsNs;
  out.columns[kMdfColumnChannel] = batch->channels;
  out.columns[kMdfColumnArbitrationId] = batch->ids;
  out.columns[kMdfColumnIsExtendedId] = batch->extended;
  out.columns[kMdfColumnDataValues] = batch->payload.get();
  out.columns[kMdfColumnDataOffsets] = batch->offsets;
  return true;
}

// A batch's rows as the plan's input, row 0 being row `firstRow` of the
// reader. `carried` holds the kMdfSignalCarried columns' pointers.
cSignalInput inputOf(const Batch& batch, int64_t firstRow,
                     const void** carried) {
  static const uint32_t kWidths[kMdfSignalCarried] = {8, 8, 2};
  carried[0] = batch.timestamps;
  carried[1] = batch.timestampsNs;
  carried[2] = batch.channels;
  cSignalInput input{};
  input.rows = batch.out.rows;
  input.ids = batch.ids;
  input.extended = batch.extended;
  input.channels = batch.channels;
  input.payload = batch.payload.get();
  input.payloadSize = static_cast<uint64_t>(batch.offsets[input.rows]);
  input.offsets = batch.offsets;
  input.carried = carried;
  input.carriedWidths = kWidths;
  input.carriedCount = kMdfSignalCarried;
  input.firstRow = firstRow;
  return input;
}

// Leaves out the rows of ids the reader's filter keeps not (the batch was
// filled before the filter had them), moving the others down in order
// (the payloads with them): the batch as the reader gives it now.
void keepRows(const cMdfColumnReader* reader, Batch* batch) {
  const uint64_t rows = batch->out.rows;
  uint64_t r = 0;
  while (r < rows && cMdfColumnReader_keepsId(reader, batch->ids[r])) ++r;
  if (r == rows) return;
  int64_t* offsets = batch->offsets;
  uint8_t* payload = batch->payload.get();
  uint64_t kept = r;
  int64_t bytes = offsets[r];
  for (; r < rows; ++r) {
    if (!cMdfColumnReader_keepsId(reader, batch->ids[r])) continue;
    const int64_t first = offsets[r];
    const int64_t length = offsets[r + 1] - first;
    batch->timestamps[kept] = batch->timestamps[r];
    batch->timestampsNs[kept] = batch->timestampsNs[r];
    batch->channels[kept] = batch->channels[r];
    batch->ids[kept] = batch->ids[r];
    batch->extended[kept] = batch->extended[r];
    std::memmove(payload + bytes, payload + first, static_cast<size_t>(length));
    offsets[kept] = bytes;
    bytes += length;
    ++kept;
  }
  offsets[kept] = bytes;
  batch->out.rows = kept;
}

// A filled batch's rows kept (with a `reader` whose filter changed since
// the fill) and matched to the plan's messages.
void match(const cSignalPlan* plan, const cMdfColumnReader* reader,
           Batch* batch) {
  if (reader != nullptr && batch->earlierFilter) keepRows(reader, batch);
  const void* carried[kMdfSignalCarried];
  const cSignalInput input = inputOf(*batch, 0, carried);
  // The reader's own columns: every payload lies in the buffer.
  batch->accepted = cSignalPlan_match(plan, &input, batch->messageOfRow.data(),
                                      batch->counts.data(), nullptr);
}

// A batch filled (not matched yet); `earlierFilter` while the reader's
// ids are still to be set.
void fill(cMdfColumnReader* reader, Batch* batch, bool earlierFilter) {
  batch->earlierFilter = earlierFilter;
  batch->filled = cMdfColumnReader_fill(reader, &batch->out);
}

// The input of rows from `first` on.
cSignalInput tailOf(const cSignalInput& input, size_t first,
                    std::vector<const void*>* carried) {
  cSignalInput tail = input;
  tail.rows = input.rows - first;
  tail.ids += first;
  tail.extended += first;
  if (tail.channels != nullptr) tail.channels += first;
  if (tail.usable != nullptr) tail.usable += first;
  if (tail.offsets != nullptr) {
    tail.offsets += first;  // offsets into the same payload
  } else {
    tail.payload += first * kMaxPayload;
    tail.payloadSize -= first * kMaxPayload;
    tail.lengths += first;
  }
  for (size_t c = 0; c < input.carriedCount; ++c)
    (*carried)[c] = static_cast<const uint8_t*>(input.carried[c]) +
                    first * input.carriedWidths[c];
  tail.carried = carried->data();
  tail.firstRow = input.firstRow + static_cast<int64_t>(first);
  return tail;
}

// Rows of a piece of an extraction that two threads share: small enough
// that the thread that is done first waits little for the other, large
// enough that a piece's own set-up (a chunk's buffers) is paid rarely.
constexpr uint64_t kPieceRows = 16384;

// An extraction cut into pieces of the rows, which two threads may run at
// once, each taking the next piece no thread has taken yet: a piece's rows
// go after each message's rows of the pieces before it. Each piece counts
// its present values apart; sumPresentCounts gives the output's once all
// pieces are done.
class Pieces {
 public:
  // Throws std::bad_alloc when memory runs out.
  Pieces(const cSignalPlan* plan, const cSignalInput* input,
         const int32_t* messageOfRow, const cSignalOutput* output)
      : plan_(plan), output_(output) {
    const size_t messageCount = cSignalPlan_messageCount(plan);
    const size_t signalCount = cSignalPlan_signalCount(plan);
    const size_t carriedCount = input->carriedCount;
    const size_t rows = input->rows;
    const size_t count = std::clamp<size_t>(rows / kPieceRows, 2, 8);
    pieces_ = std::vector<Piece>(count);
    // Each message's rows in the pieces before the one at hand.
    std::vector<uint64_t> before(messageCount, 0);
    for (size_t p = 0; p < count; ++p) {
      Piece& piece = pieces_[p];
      const size_t begin = rows * p / count;
      const size_t end = rows * (p + 1) / count;
      piece.counts.assign(messageCount, 0);
      for (size_t r = begin; r < end; ++r)
        if (messageOfRow[r] >= 0)
          ++piece.counts[static_cast<size_t>(messageOfRow[r])];
      piece.rowsAt.assign(messageCount, nullptr);
      piece.carriedAt.assign(messageCount * carriedCount, nullptr);
      piece.valuesAt.assign(signalCount, nullptr);
      piece.presentAt.assign(signalCount, nullptr);
      piece.presentCounts.assign(signalCount, 0);
      for (size_t m = 0; m < messageCount; ++m) {
        const uint64_t at = before[m];
        before[m] += piece.counts[m];
        if (piece.counts[m] == 0) continue;
        if (output->rows != nullptr && output->rows[m] != nullptr)
          piece.rowsAt[m] = output->rows[m] + at;
        for (size_t c = 0; c < carriedCount; ++c)
          piece.carriedAt[m * carriedCount + c] =
              static_cast<uint8_t*>(output->carried[m * carriedCount + c]) +
              at * input->carriedWidths[c];
        const cSignalMessage message = cSignalPlan_message(plan, m);
        for (uint32_t k = 0; k < message.signalCount; ++k) {
          const size_t s = message.firstSignal + k;
          piece.valuesAt[s] = static_cast<uint8_t*>(output->values[s]) +
                              at * cSignalPlan_valueWidth(plan, s);
          piece.presentAt[s] = output->present[s] + at;
        }
      }
      piece.carried.assign(carriedCount, nullptr);
      piece.input = tailOf(*input, begin, &piece.carried);
      piece.input.rows = end - begin;
      piece.messageOfRow = messageOfRow + begin;
      piece.output = {output->rows == nullptr ? nullptr : piece.rowsAt.data(),
                      piece.valuesAt.data(), piece.presentAt.data(),
                      piece.presentCounts.data(), piece.carriedAt.data()};
    }
  }

  // Extracts the pieces no thread has taken yet, one at a time, until none
  // is left; false when memory ran out in one of them.
  bool run() {
    bool done = true;
    for (size_t p = next_.fetch_add(1, std::memory_order_relaxed);
         p < pieces_.size();
         p = next_.fetch_add(1, std::memory_order_relaxed)) {
      Piece& piece = pieces_[p];
      done = cSignalPlan_extract(plan_, &piece.input, piece.messageOfRow,
                                 piece.counts.data(), &piece.output) &&
             done;
    }
    return done;
  }

  // The output's present counts: those of every piece (all of them done).
  void sumPresentCounts() const {
    const size_t signals = cSignalPlan_signalCount(plan_);
    std::fill(output_->presentCounts, output_->presentCounts + signals, 0);
    for (const Piece& piece : pieces_)
      for (size_t s = 0; s < signals; ++s)
        output_->presentCounts[s] += piece.presentCounts[s];
  }

 private:
  struct Piece {
    cSignalInput input{};
    const int32_t* messageOfRow = nullptr;
    std::vector<uint64_t> counts;  // per message
    std::vector<int64_t*> rowsAt;
    std::vector<void*> carriedAt, valuesAt;
    std::vector<uint8_t*> presentAt;
    std::vector<uint64_t> presentCounts;
    std::vector<const void*> carried;
    cSignalOutput output{};
  };

  const cSignalPlan* plan_;
  const cSignalOutput* output_;
  std::vector<Piece> pieces_;
  std::atomic<size_t> next_{0};  // the next piece to take
};

}  // namespace

// The pool a prefetch faults in while the plan is awaited: what the thread
// can fault in until then, of at most 128 bytes a row the file may give
// (the results of a row rarely take more) and 64 MiB. What the blocks do
// not take is given back at the end.
constexpr uint64_t kPoolRowBytes = 128;
constexpr uint64_t kPoolMost = uint64_t{64} << 20;

// Fills batches ahead: with `overlap` (and more than one CPU, and a thread
// to be had) a second thread fills a ring of batches in turn while the
// caller extracts the oldest; else the caller fills each batch when it
// takes it. A batch is matched to the plan by whichever thread gets to it
// first once there is a plan: the second thread when it has no batch to
// fill (its fills come first: they are the longer part), else the caller
// when it takes it. With nothing else to do (the ring full and matched,
// or the frames over), the second thread lets the sink prepare for the
// rows to come, once per batch reserved; before there is a plan, it
// faults in the pages of a pool that the sink's first blocks take. The
// thread ends when the prefetch is halted or destroyed, on whatever path,
// once the batch at hand is filled (or matched).
struct cMdfSignalPrefetch {
  // Batches filled ahead at most: room for the second thread to go on
  // while an extraction is slow (the first one faults in most of the
  // results' memory). Four or more measured slower: their own fresh
  // memory, and a pool the smaller for them while databases are parsed.
  static constexpr size_t kRing = 3;
  // Rows of a batch from which the thread is offered pieces of its
  // extraction.
  static constexpr uint64_t kShareRows = 8192;

  // Where a filled batch's matching stands.
  enum Match : uint8_t { kUnmatched, kMatching, kMatched };

  cMdfColumnReader* reader = nullptr;
  uint64_t batchRows = 0;
  Batch batches[kRing];
  size_t ringSize = 1;
  bool used = false;  // a decoding took it
  // Pages faulted in while the plan is awaited (null: none); the thread
  // leaves them once there is a plan.
  cPagePool* pages = nullptr;

  std::mutex mutex;
  std::condition_variable wake;
  // Under mutex:
  size_t first = 0;    // the oldest filled batch (the one taken)
  size_t ready = 0;    // filled batches from `first` on
  bool ended = false;  // a fill was not full: no more batches
  bool quit = false;   // the thread is to end
  Match state[kRing] = {};
  const cSignalPlan* plan = nullptr;
  // The reader once its ids are set, for the batches filled before: their
  // rows of other ids are left out when they are matched.
  const cMdfColumnReader* keep = nullptr;
  bool idsToSet = true;  // no plan yet: the reader may get its ids
  bool filling = false;  // the thread is in a fill
  bool pooling = false;  // the thread is faulting in a page of the pool
  // The caller waits to set the plan: the thread starts no fill and no
  // page of the pool meanwhile.
  bool planWanted = false;
  const cMdfSignalSink* sink = nullptr;
  const uint64_t* estimate = nullptr;  // rows to prepare for, or null
  bool preparing = false;              // the thread is in the sink's prepare
  // The extraction at hand, offered to the thread: it takes its pieces
  // before anything else (the extraction sets the pace) alongside the
  // caller, who runs them all where the thread does not come.
  enum Help : uint8_t { kNoHelp, kOffered, kHelping, kHelped };
  Help help = kNoHelp;
  Pieces* pieces = nullptr;
  bool helped = false;            // the thread's pieces' result
  std::atomic<bool> stop{false};  // prepare no more
  std::thread thread;             // last: started once the rest is there

  ~cMdfSignalPrefetch() {
    halt();
    cPagePool_dtor(pages);
  }

  // Ends the thread, once the batch at hand is filled (or matched).
  void halt() {
    if (!thread.joinable()) return;
    stop.store(true, std::memory_order_relaxed);
    {
      std::lock_guard<std::mutex> lock(mutex);
      quit = true;
    }
    wake.notify_all();
    thread.join();
  }

  bool threaded() const { return thread.joinable(); }

  // A batch of the ring is free to be filled.
  bool fillable() const { return !ended && ready < ringSize && !planWanted; }

  // The pool has pages to fault in, and no plan has come yet.
  bool poolable() const {
    return plan == nullptr && !planWanted && pages != nullptr &&
           pages->faulted.load(std::memory_order_relaxed) < pages->size;
  }

  // The oldest filled batch the thread may match (not the one taken,
  // which the caller matches), or kRing.
  size_t toMatch() const {
    if (plan == nullptr) return kRing;
    for (size_t k = 1; k < ready; ++k) {
      const size_t b = (first + k) % ringSize;
      if (state[b] == kUnmatched) return b;
    }
    return kRing;
  }

  void loop() {
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
      wake.wait(lock, [this] {
        return quit || help == kOffered || fillable() || toMatch() != kRing ||
               (estimate != nullptr && sink->prepare != nullptr) || poolable();
      });
      if (quit) return;
      if (help == kOffered) {
        help = kHelping;
        lock.unlock();
        const bool done = pieces->run();
        lock.lock();
        helped = done;
        help = kHelped;
        wake.notify_all();
        continue;
      }
      if (fillable()) {
        const size_t b = (first + ready) % ringSize;
        const bool earlierFilter = idsToSet;
        filling = true;
        lock.unlock();
        fill(reader, &batches[b], earlierFilter);
        lock.lock();
        filling = false;
        state[b] = kUnmatched;
        ++ready;
        if (batches[b].filled < batchRows) ended = true;
        wake.notify_all();
        continue;
      }
      const size_t b = toMatch();
      if (b != kRing) {
        state[b] = kMatching;
        lock.unlock();
        match(plan, keep, &batches[b]);
        lock.lock();
        state[b] = kMatched;
        wake.notify_all();
        continue;
      }
      if (poolable()) {
        // The ring is full and the plan still to come: the results' first
        // pages are faulted in meanwhile, a huge page at a time.
        pooling = true;
        lock.unlock();
        cPagePool_faultNext(pages);
        lock.lock();
        pooling = false;
        wake.notify_all();
        continue;
      }
      // Nothing to fill or match: the rows to come may be prepared for,
      // once.
      const uint64_t* counts = estimate;
      estimate = nullptr;
      preparing = true;
      lock.unlock();
      if (!stop.load(std::memory_order_relaxed))
        sink->prepare(sink->context, counts, &stop);
      lock.lock();
      preparing = false;
      wake.notify_all();
    }
  }

  // The plan the batches are matched to from now on and the sink that
  // prepares; with `ids`, the reader keeps only the frames of those from
  // the next fill on (set between two fills), and the batches filled
  // before leave the others out when they are matched. It waits for the
  // fill, or the page of the pool, at hand. False (no plan) when memory
  // runs out.
  bool setPlan(const cSignalPlan* planned, const uint32_t* ids, size_t idCount,
               const cMdfSignalSink* callbacks) {
    {
      std::unique_lock<std::mutex> lock(mutex);
      planWanted = true;
      wake.wait(lock, [this] { return !filling && !pooling; });
      planWanted = false;
      idsToSet = false;
      if (ids != nullptr) {
        if (!cMdfColumnReader_setIds(reader, ids, idCount)) return false;
        keep = reader;
      }
      plan = planned;
      sink = callbacks;
    }
    wake.notify_all();
    return true;
  }

  // The oldest batch not yet extracted, filled and matched.
  Batch* take() {
    Batch* batch = &batches[first];
    if (!threaded()) {
      fill(reader, batch, false);
      match(plan, keep, batch);
      return batch;
    }
    std::unique_lock<std::mutex> lock(mutex);
    wake.wait(lock, [this] { return ready > 0; });
    if (state[first] == kUnmatched) {
      state[first] = kMatching;
      lock.unlock();
      match(plan, keep, batch);
      lock.lock();
      state[first] = kMatched;
    }
    wake.wait(lock, [this] { return state[first] == kMatched; });
    return batch;
  }

  // The sink may prepare for about counts[m] rows of message m (when the
  // thread has nothing else to do) until the next call of closePrepare().
  void openPrepare(const uint64_t* counts) {
    if (!threaded()) return;
    stop.store(false, std::memory_order_relaxed);
    {
      std::lock_guard<std::mutex> lock(mutex);
      estimate = counts;
    }
    wake.notify_all();
  }

  // Ends the sink's preparing, before it moves or grows anything.
  void closePrepare() {
    if (!threaded()) return;
    stop.store(true, std::memory_order_relaxed);
    std::unique_lock<std::mutex> lock(mutex);
    estimate = nullptr;
    wake.wait(lock, [this] { return !preparing; });
  }

  // Offers the pieces of an extraction to the thread (its preparing stops
  // for them); the caller runs them too, then reclaim() must follow before
  // `offered` goes.
  void offer(Pieces* offered) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      pieces = offered;
      help = kOffered;
    }
    stop.store(true, std::memory_order_relaxed);
    wake.notify_all();
  }

  // Once the caller has run out of pieces: the thread's result, when it
  // is done with its own (true where it took none).
  bool reclaim() {
    std::unique_lock<std::mutex> lock(mutex);
    if (help == kOffered) {
      help = kNoHelp;
      return true;
    }
    wake.wait(lock, [this] { return help == kHelped; });
    help = kNoHelp;
    return helped;
  }

  // Gives the batch taken last back to be filled again.
  void give() {
    if (!threaded()) return;
    {
      std::lock_guard<std::mutex> lock(mutex);
      first = (first + 1) % ringSize;
      --ready;
    }
    // The thread prepares no more: it has a batch to fill.
    stop.store(true, std::memory_order_relaxed);
    wake.notify_all();
  }
};

namespace {

// A reading of the frames of `reader` (see cMdfSignals_prefetch), with a
// pool of pages to fault in while the plan is awaited when `pool`.
cMdfSignalPrefetch* startPrefetch(cMdfColumnReader* reader, uint64_t batchRows,
                                  bool overlap, bool pool) {
  if (reader == nullptr || batchRows == 0 || batchRows > (UINT64_MAX >> 8))
    return nullptr;
  try {
    std::unique_ptr<cMdfSignalPrefetch> prefetch(new (std::nothrow)
                                                     cMdfSignalPrefetch);
    if (!prefetch) return nullptr;
    prefetch->reader = reader;
    prefetch->batchRows = batchRows;
    const bool threads = overlap && std::thread::hardware_concurrency() > 1;
    prefetch->ringSize = threads ? cMdfSignalPrefetch::kRing : 1;
    // The batches' memory is only reserved here: a fill touches what it
    // writes.
    for (size_t b = 0; b < prefetch->ringSize; ++b)
      if (!allocate(&prefetch->batches[b], batchRows, 0)) return nullptr;
    if (threads) {
      if (pool)
        prefetch->pages =
            cPagePool_new(std::min(kPoolMost / kPoolRowBytes,
                                   cMdfColumnReader_rowEstimate(reader)) *
                          kPoolRowBytes);
      try {
        prefetch->thread =
            std::thread(&cMdfSignalPrefetch::loop, prefetch.get());
      } catch (const std::exception&) {
        prefetch->ringSize = 1;  // no thread: batches filled in turn
      }
    }
    return prefetch.release();
  } catch (const std::exception&) {
    return nullptr;
  }
}

}  // namespace

cMdfSignalPrefetch* cMdfSignals_prefetch(cMdfColumnReader* reader,
                                         uint64_t batchRows, bool overlap) {
  return startPrefetch(reader, batchRows, overlap, true);
}

void cMdfSignals_prefetchDtor(cMdfSignalPrefetch* prefetch) { delete prefetch; }

cPagePool* cMdfSignals_prefetchPages(cMdfSignalPrefetch* prefetch) {
  return prefetch == nullptr ? nullptr : prefetch->pages;
}

int32_t cMdfSignals_decodePrefetched(cMdfSignalPrefetch* prefetch,
                                     const cSignalPlan* plan,
                                     const uint32_t* keepIds, size_t keepCount,
                                     const cMdfSignalSink* sink,
                                     uint64_t* presentCounts,
                                     cMdfSignalRun* run) {
  if (prefetch == nullptr || prefetch->used || plan == nullptr ||
      sink == nullptr || sink->reserve == nullptr || presentCounts == nullptr ||
      run == nullptr || (keepIds == nullptr && keepCount > 0))
    return kMdfSignalsBadInput;
  prefetch->used = true;
  *run = cMdfSignalRun{};
  const size_t messageCount = cSignalPlan_messageCount(plan);
  const size_t signalCount = cSignalPlan_signalCount(plan);
  std::fill(presentCounts, presentCounts + signalCount, 0);
  const uint64_t batchRows = prefetch->batchRows;
  try {
    // The batches' per-message counts (the second thread matches no batch
    // before the plan is set below).
    for (size_t b = 0; b < prefetch->ringSize; ++b)
      prefetch->batches[b].counts.resize(messageCount);
    std::vector<uint64_t> batchPresent(signalCount);
    std::vector<uint64_t> estimate(messageCount);
    // The thread ends before the plan and `estimate` may go, on
    // every path: the prefetch is spent.
    struct Halt {
      cMdfSignalPrefetch* prefetch;
      ~Halt() { prefetch->halt(); }
    } halt{prefetch};
    if (!prefetch->setPlan(plan, keepIds, keepCount, sink))
      return kMdfSignalsNoMemory;
    for (;;) {
      Batch* current = prefetch->take();
      if (current->filled == 0) break;
      const uint64_t rows = current->out.rows;
      // A batch that is not full ends the frames.
      const bool last = current->filled < batchRows;
      if (!current->accepted) return kMdfSignalsBadInput;
      if (prefetch->threaded()) ++run->overlapped;
      if (rows > 0) {
        uint64_t matched = 0;
        for (uint64_t count : current->counts) matched += count;
        run->unmatched += rows - matched;
        prefetch->closePrepare();
        cSignalOutput output{};
        output.presentCounts = batchPresent.data();
        if (!sink->reserve(sink->context, current->counts.data(), last,
                           &output))
          return kMdfSignalsStopped;
        // While this batch is extracted, the sink may prepare for as many
        // rows again (once it has made room for this one's, so that what
        // it prepares stays where it is).
        if (!last) {
          std::copy(current->counts.begin(), current->counts.end(),
                    estimate.begin());
          prefetch->openPrepare(estimate.data());
        }
        const void* carried[kMdfSignalCarried];
        const cSignalInput input =
            inputOf(*current, static_cast<int64_t>(run->rows), carried);
        bool extracted = false;
        if (prefetch->threaded() && rows >= cMdfSignalPrefetch::kShareRows) {
          Pieces pieces(plan, &input, current->messageOfRow.data(), &output);
          prefetch->offer(&pieces);
          const bool mine = pieces.run();
          extracted = prefetch->reclaim() && mine;
          pieces.sumPresentCounts();
        } else {
          extracted =
              cSignalPlan_extract(plan, &input, current->messageOfRow.data(),
                                  current->counts.data(), &output);
        }
        if (!extracted) return kMdfSignalsNoMemory;
        if (sink->settle != nullptr &&
            !sink->settle(sink->context, batchPresent.data()))
          return kMdfSignalsStopped;
        for (size_t s = 0; s < signalCount; ++s)
          presentCounts[s] += batchPresent[s];
        run->rows += rows;
        ++run->batches;
      }
      if (last) break;
      prefetch->give();
    }
    return kMdfSignalsDone;
  } catch (const std::exception&) {
    return kMdfSignalsNoMemory;
  }
}

int32_t cMdfSignals_decode(cMdfColumnReader* reader, const cSignalPlan* plan,
                           uint64_t batchRows, bool overlap,
                           const cMdfSignalSink* sink, uint64_t* presentCounts,
                           cMdfSignalRun* run) {
  if (reader == nullptr || plan == nullptr || sink == nullptr ||
      sink->reserve == nullptr || presentCounts == nullptr || run == nullptr ||
      batchRows == 0 || batchRows > (UINT64_MAX >> 8))
    return kMdfSignalsBadInput;
  std::unique_ptr<cMdfSignalPrefetch, decltype(&cMdfSignals_prefetchDtor)>
      prefetch(startPrefetch(reader, batchRows, overlap, false),
               &cMdfSignals_prefetchDtor);
  if (!prefetch) return kMdfSignalsNoMemory;
  return cMdfSignals_decodePrefetched(prefetch.get(), plan, nullptr, 0, sink,
                                      presentCounts, run);
}

namespace {

// Rows from which an extraction in memory is worth a second thread.
constexpr uint64_t kSplitRows = 65536;

}  // namespace

bool cMdfSignals_match(const cSignalPlan* plan, const cSignalInput* input,
                       int32_t* messageOfRow, uint64_t* counts, cReason* reason,
                       bool split) {
  const size_t rows = input->rows;
  if (!split || rows < kSplitRows || std::thread::hardware_concurrency() <= 1)
    return cSignalPlan_match(plan, input, messageOfRow, counts, reason);
  try {
    const size_t half = rows / 2;
    std::vector<uint64_t> tailCounts(cSignalPlan_messageCount(plan));
    std::vector<const void*> carried(input->carriedCount);
    const cSignalInput second = tailOf(*input, half, &carried);
    cSignalInput first = *input;
    first.rows = half;
    bool firstDone = false;
    std::thread thread;
    try {
      thread = std::thread([&] {
        firstDone =
            cSignalPlan_match(plan, &first, messageOfRow, counts, nullptr);
      });
    } catch (const std::exception&) {
      return cSignalPlan_match(plan, input, messageOfRow, counts, reason);
    }
    const bool secondDone = cSignalPlan_match(
        plan, &second, messageOfRow + half, tailCounts.data(), nullptr);
    thread.join();
    // A refusal: the reason names the row among all of them.
    if (!firstDone || !secondDone)
      return cSignalPlan_match(plan, input, messageOfRow, counts, reason);
    for (size_t m = 0; m < tailCounts.size(); ++m) counts[m] += tailCounts[m];
    return true;
  } catch (const std::exception&) {
    return cSignalPlan_match(plan, input, messageOfRow, counts, reason);
  }
}

bool cMdfSignals_extract(const cSignalPlan* plan, const cSignalInput* input,
                         const int32_t* messageOfRow, const uint64_t* counts,
                         const cSignalOutput* output, bool split) {
  const size_t rows = input->rows;
  if (!split || rows < kSplitRows || std::thread::hardware_concurrency() <= 1)
    return cSignalPlan_extract(plan, input, messageOfRow, counts, output);
  try {
    Pieces pieces(plan, input, messageOfRow, output);
    bool theirs = false;
    std::thread thread;
    try {
      thread = std::thread([&] { theirs = pieces.run(); });
    } catch (const std::exception&) {
      return cSignalPlan_extract(plan, input, messageOfRow, counts, output);
    }
    const bool mine = pieces.run();
    thread.join();
    pieces.sumPresentCounts();
    return mine && theirs;
  } catch (const std::exception&) {
    return false;
  }
}
