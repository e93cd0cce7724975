#include "mdf/cMdfSignals.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <thread>
#include <utility>
#include <vector>

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
// their rows' messages.
struct Batch {
  std::unique_ptr<double[]> timestamps;
  std::unique_ptr<int64_t[]> timestampsNs;
  std::unique_ptr<uint16_t[]> channels;
  std::unique_ptr<uint32_t[]> ids;
  std::unique_ptr<uint8_t[]> extended;
  std::unique_ptr<uint8_t[]> payload;  // packed, at most 64 bytes a row
  std::unique_ptr<int64_t[]> offsets;  // rows + 1
  cMdfColumnOutput out{};
  std::vector<int32_t> messageOfRow;  // per row
  std::vector<uint64_t> counts;       // per message
  bool matched = false;               // match accepted the rows
};

bool allocate(Batch* batch, uint64_t rows, size_t messages) {
  batch->messageOfRow.resize(rows);
  batch->counts.resize(messages);
  batch->timestamps = uninitialised<double>(rows);
  batch->timestampsNs = uninitialised<int64_t>(rows);
  batch->channels = uninitialised<uint16_t>(rows);
  batch->ids = uninitialised<uint32_t>(rows);
  batch->extended = uninitialised<uint8_t>(rows);
  batch->payload = uninitialised<uint8_t>(rows * kMaxPayload);
  batch->offsets = uninitialised<int64_t>(rows + 1);
  if (!batch->timestamps || !batch->timestampsNs || !batch->channels ||
      !batch->ids || !batch->extended || !batch->payload || !batch->offsets)
    return false;
  cMdfColumnOutput& out = batch->out;
  out.capacity = rows;
  out.columns[kMdfColumnTimestamp] = batch->timestamps.get();
  out.columns[kMdfColumnTimestampNs] = batch->timestampsNs.get();
  out.columns[kMdfColumnChannel] = batch->channels.get();
  out.columns[kMdfColumnArbitrationId] = batch->ids.get();
  out.columns[kMdfColumnIsExtendedId] = batch->extended.get();
  out.columns[kMdfColumnDataValues] = batch->payload.get();
  out.columns[kMdfColumnDataOffsets] = batch->offsets.get();
  return true;
}

// A batch's rows as the plan's input, row 0 being row `firstRow` of the
// reader. `carried` holds the kMdfSignalCarried columns' pointers.
cSignalInput inputOf(const Batch& batch, int64_t firstRow,
                     const void** carried) {
  static const uint32_t kWidths[kMdfSignalCarried] = {8, 8, 2};
  carried[0] = batch.timestamps.get();
  carried[1] = batch.timestampsNs.get();
  carried[2] = batch.channels.get();
  cSignalInput input{};
  input.rows = batch.out.rows;
  input.ids = batch.ids.get();
  input.extended = batch.extended.get();
  input.channels = batch.channels.get();
  input.payload = batch.payload.get();
  input.payloadSize = static_cast<uint64_t>(batch.offsets[input.rows]);
  input.offsets = batch.offsets.get();
  input.carried = carried;
  input.carriedWidths = kWidths;
  input.carriedCount = kMdfSignalCarried;
  input.firstRow = firstRow;
  return input;
}

// A filled batch's rows matched to the plan's messages.
void match(const cSignalPlan* plan, Batch* batch) {
  const void* carried[kMdfSignalCarried];
  const cSignalInput input = inputOf(*batch, 0, carried);
  // The reader's own columns: every payload lies in the buffer.
  batch->matched = cSignalPlan_match(plan, &input, batch->messageOfRow.data(),
                                     batch->counts.data(), nullptr);
}

// A batch filled and matched.
void fillAndMatch(cMdfColumnReader* reader, const cSignalPlan* plan,
                  Batch* batch) {
  cMdfColumnReader_fill(reader, &batch->out);
  match(plan, batch);
}

// Fills batches: on a thread of its own when `overlap` (and the machine
// has more than one CPU, and a thread can be started), one batch at a time
// between start() and finish(), letting the sink prepare for rows as many as
// the estimate given (the batch before's) once a batch is filled, until
// finish() is called; else in turn, at finish(). The thread ends when the
// worker goes out of scope, on whatever path, once the batch at hand is filled.
class FillWorker {
 public:
  FillWorker(cMdfColumnReader* reader, const cSignalPlan* plan,
             const cMdfSignalSink* sink, bool overlap)
      : reader_(reader), plan_(plan), sink_(sink) {
    if (!overlap || std::thread::hardware_concurrency() <= 1) return;
    try {
      thread_ = std::thread(&FillWorker::loop, this);
    } catch (const std::exception&) {
      // No thread: finish() fills in turn.
    }
  }
  ~FillWorker() {
    if (!thread_.joinable()) return;
    stop_.store(true, std::memory_order_relaxed);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      quit_ = true;
    }
    wake_.notify_all();
    thread_.join();
  }
  FillWorker(const FillWorker&) = delete;
  FillWorker& operator=(const FillWorker&) = delete;

  bool threaded() const { return thread_.joinable(); }

  // Starts filling `batch`.
  void start(Batch* batch, const uint64_t* estimate) {
    batch_ = batch;
    if (!thread_.joinable()) return;
    stop_.store(false, std::memory_order_relaxed);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      estimate_ = estimate;
      pending_ = true;
    }
    wake_.notify_all();
  }

  // The batch started last, filled and matched.
  void finish() {
    if (thread_.joinable()) {
      stop_.store(true, std::memory_order_relaxed);
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [this] { return !pending_; });
    } else {
      cMdfColumnReader_fill(reader_, &batch_->out);
    }
    match(plan_, batch_);
  }

 private:
  void loop() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      wake_.wait(lock, [this] { return quit_ || pending_; });
      if (quit_) return;
      Batch* batch = batch_;
      const uint64_t* estimate = estimate_;
      lock.unlock();
      cMdfColumnReader_fill(reader_, &batch->out);
      if (sink_->prepare != nullptr && estimate != nullptr &&
          !stop_.load(std::memory_order_relaxed))
        sink_->prepare(sink_->context, estimate, &stop_);
      lock.lock();
      pending_ = false;
      wake_.notify_all();
    }
  }

  cMdfColumnReader* reader_;
  const cSignalPlan* plan_;
  const cMdfSignalSink* sink_;
  Batch* batch_ = nullptr;
  const uint64_t* estimate_ = nullptr;  // under mutex_
  bool pending_ = false;                // under mutex_: a batch to fill
  bool quit_ = false;                   // under mutex_
  std::atomic<bool> stop_{false};       // prepare no more
  std::mutex mutex_;
  std::condition_variable wake_;
  std::thread thread_;  // last: started once the rest is there
};

}  // namespace

int32_t cMdfSignals_decode(cMdfColumnReader* reader, const cSignalPlan* plan,
                           uint64_t batchRows, bool overlap,
                           const cMdfSignalSink* sink, uint64_t* presentCounts,
                           cMdfSignalRun* run) {
  if (reader == nullptr || plan == nullptr || sink == nullptr ||
      sink->reserve == nullptr || presentCounts == nullptr || run == nullptr ||
      batchRows == 0 || batchRows > (UINT64_MAX >> 8))
    return kMdfSignalsBadInput;
  *run = cMdfSignalRun{};
  const size_t messageCount = cSignalPlan_messageCount(plan);
  const size_t signalCount = cSignalPlan_signalCount(plan);
  std::fill(presentCounts, presentCounts + signalCount, 0);
  try {
    Batch batches[2];
    if (!allocate(&batches[0], batchRows, messageCount) ||
        !allocate(&batches[1], batchRows, messageCount))
      return kMdfSignalsNoMemory;
    std::vector<uint64_t> batchPresent(signalCount);
    Batch* current = &batches[0];
    Batch* next = &batches[1];
    FillWorker filler(reader, plan, sink, overlap);
    fillAndMatch(reader, plan, current);
    while (current->out.rows > 0) {
      const uint64_t rows = current->out.rows;
      // A batch that is not full ends the frames.
      const bool last = rows < batchRows;
      if (!current->matched) return kMdfSignalsBadInput;
      uint64_t matched = 0;
      for (uint64_t count : current->counts) matched += count;
      run->unmatched += rows - matched;
      cSignalOutput output{};
      output.presentCounts = batchPresent.data();
      if (!sink->reserve(sink->context, current->counts.data(), last, &output))
        return kMdfSignalsStopped;
      // The next batch is filled while this one is extracted, once the
      // sink has made room for this one's rows (so that what it prepares
      // for the next stays where it is).
      next->out.rows = 0;
      if (!last) {
        filler.start(next, current->counts.data());
        if (filler.threaded()) ++run->overlapped;
      }
      const void* carried[kMdfSignalCarried];
      const cSignalInput input =
          inputOf(*current, static_cast<int64_t>(run->rows), carried);
      if (!cSignalPlan_extract(plan, &input, current->messageOfRow.data(),
                               current->counts.data(), &output))
        return kMdfSignalsNoMemory;
      if (sink->settle != nullptr &&
          !sink->settle(sink->context, batchPresent.data()))
        return kMdfSignalsStopped;
      for (size_t s = 0; s < signalCount; ++s)
        presentCounts[s] += batchPresent[s];
      run->rows += rows;
      ++run->batches;
      if (last) break;
      filler.finish();
      std::swap(current, next);
    }
    return kMdfSignalsDone;
  } catch (const std::exception&) {
    return kMdfSignalsNoMemory;
  }
}

namespace {

// Rows from which an extraction in memory is worth a second thread.
constexpr uint64_t kSplitRows = 65536;

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

}  // namespace

bool cMdfSignals_extract(const cSignalPlan* plan, const cSignalInput* input,
                         const int32_t* messageOfRow, const uint64_t* counts,
                         const cSignalOutput* output, bool split) {
  const size_t rows = input->rows;
  if (!split || rows < kSplitRows || std::thread::hardware_concurrency() <= 1)
    return cSignalPlan_extract(plan, input, messageOfRow, counts, output);
  try {
    const size_t messageCount = cSignalPlan_messageCount(plan);
    const size_t signalCount = cSignalPlan_signalCount(plan);
    const size_t carriedCount = input->carriedCount;
    const size_t half = rows / 2;
    // Each message's rows in the first half, and where the second half's
    // go: after them.
    std::vector<uint64_t> head(messageCount), tail(messageCount);
    for (size_t r = 0; r < half; ++r)
      if (messageOfRow[r] >= 0) ++head[static_cast<size_t>(messageOfRow[r])];
    std::vector<int64_t*> rowsAt(messageCount);
    std::vector<void*> carriedAt(messageCount * carriedCount);
    std::vector<void*> valuesAt(signalCount);
    std::vector<uint8_t*> presentAt(signalCount);
    std::vector<uint64_t> presentCounts(signalCount);
    for (size_t m = 0; m < messageCount; ++m) {
      tail[m] = counts[m] - head[m];
      if (tail[m] == 0) continue;
      if (output->rows != nullptr && output->rows[m] != nullptr)
        rowsAt[m] = output->rows[m] + head[m];
      for (size_t c = 0; c < carriedCount; ++c)
        carriedAt[m * carriedCount + c] =
            static_cast<uint8_t*>(output->carried[m * carriedCount + c]) +
            head[m] * input->carriedWidths[c];
      const cSignalMessage message = cSignalPlan_message(plan, m);
      for (uint32_t k = 0; k < message.signalCount; ++k) {
        const size_t s = message.firstSignal + k;
        valuesAt[s] = static_cast<uint8_t*>(output->values[s]) +
                      head[m] * cSignalPlan_valueWidth(plan, s);
        presentAt[s] = output->present[s] + head[m];
      }
    }
    std::vector<const void*> carried(carriedCount);
    const cSignalInput second = tailOf(*input, half, &carried);
    cSignalInput first = *input;
    first.rows = half;
    const cSignalOutput secondOutput{rowsAt.data(), valuesAt.data(),
                                     presentAt.data(), presentCounts.data(),
                                     carriedAt.data()};
    bool firstDone = false;
    std::thread thread;
    try {
      thread = std::thread([&] {
        firstDone = cSignalPlan_extract(plan, &first, messageOfRow, head.data(),
                                        output);
      });
    } catch (const std::exception&) {
      return cSignalPlan_extract(plan, input, messageOfRow, counts, output);
    }
    const bool secondDone = cSignalPlan_extract(
        plan, &second, messageOfRow + half, tail.data(), &secondOutput);
    thread.join();
    for (size_t s = 0; s < signalCount; ++s)
      output->presentCounts[s] += presentCounts[s];
    return firstDone && secondDone;
  } catch (const std::exception&) {
    return false;
  }
}
