#include "mdf/cMdfSignals.h"

#include <algorithm>
#include <exception>
#include <memory>
#include <new>
#include <optional>
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

// One batch's columns, allocated once and filled again and again.
struct Batch {
  std::unique_ptr<double[]> timestamps;
  std::unique_ptr<int64_t[]> timestampsNs;
  std::unique_ptr<uint16_t[]> channels;
  std::unique_ptr<uint32_t[]> ids;
  std::unique_ptr<uint8_t[]> extended;
  std::unique_ptr<uint8_t[]> payload;  // packed, at most 64 bytes a row
  std::unique_ptr<int64_t[]> offsets;  // rows + 1
  cMdfColumnOutput out{};
};

bool allocate(Batch* batch, uint64_t rows) {
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

// The fill of the next batch: on a thread of its own when `overlap` (and
// a thread can be started), joined when the filler goes out of scope on
// whatever path; else in turn, at join().
class Filler {
 public:
  Filler(cMdfColumnReader* reader, Batch* batch, bool overlap)
      : reader_(reader), batch_(batch) {
    if (!overlap) return;
    try {
      thread_ = std::thread(cMdfColumnReader_fill, reader_, &batch_->out);
    } catch (const std::exception&) {
      // No thread: join() fills in turn.
    }
  }
  ~Filler() {
    if (thread_.joinable()) thread_.join();
  }
  Filler(const Filler&) = delete;
  Filler& operator=(const Filler&) = delete;

  bool threaded() const { return thread_.joinable(); }

  // The batch filled.
  void join() {
    if (thread_.joinable())
      thread_.join();
    else
      cMdfColumnReader_fill(reader_, &batch_->out);
  }

 private:
  cMdfColumnReader* reader_;
  Batch* batch_;
  std::thread thread_;
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
    if (!allocate(&batches[0], batchRows) || !allocate(&batches[1], batchRows))
      return kMdfSignalsNoMemory;
    std::vector<int32_t> messageOfRow(batchRows);
    std::vector<uint64_t> counts(messageCount);
    std::vector<uint64_t> batchPresent(signalCount);
    Batch* current = &batches[0];
    Batch* next = &batches[1];
    cMdfColumnReader_fill(reader, &current->out);
    while (current->out.rows > 0) {
      const uint64_t rows = current->out.rows;
      // A batch that is not full ends the frames.
      const bool last = rows < batchRows;
      const void* carried[kMdfSignalCarried];
      const cSignalInput input =
          inputOf(*current, static_cast<int64_t>(run->rows), carried);
      next->out.rows = 0;
      std::optional<Filler> filler;
      if (!last) {
        filler.emplace(reader, next, overlap);
        if (filler->threaded()) ++run->overlapped;
      }
      // The reader's own columns: every payload lies in the buffer.
      if (!cSignalPlan_match(plan, &input, messageOfRow.data(), counts.data(),
                             nullptr))
        return kMdfSignalsBadInput;
      uint64_t matched = 0;
      for (uint64_t count : counts) matched += count;
      run->unmatched += rows - matched;
      cSignalOutput output{};
      output.presentCounts = batchPresent.data();
      if (!sink->reserve(sink->context, counts.data(), last, &output))
        return kMdfSignalsStopped;
      if (!cSignalPlan_extract(plan, &input, messageOfRow.data(), counts.data(),
                               &output))
        return kMdfSignalsNoMemory;
      for (size_t s = 0; s < signalCount; ++s)
        presentCounts[s] += batchPresent[s];
      run->rows += rows;
      ++run->batches;
      if (last) break;
      filler->join();
      std::swap(current, next);
    }
    return kMdfSignalsDone;
  } catch (const std::exception&) {
    return kMdfSignalsNoMemory;
  }
}
