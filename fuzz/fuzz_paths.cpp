#include "fuzz_paths.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "containers/cGenericFileUnwrap.h"
#include "mdf/blocks/cMdfBlock_DG.h"
#include "mdf/cMdf.h"
#include "mdf/cMdfBusMsgContainer.h"
#include "mdf/cMdfColumns.h"
#include "mdf/cMdfFinalize.h"
#include "mdf/cMdfMetaData.h"
#include "streams/cIO_memoryAlloc.h"

namespace {

// FNV-1a, 64 bits.
struct Digest {
  uint64_t value = 0xcbf29ce484222325u;
  void add(const void* bytes, size_t size) {
    const auto* p = static_cast<const uint8_t*>(bytes);
    for (size_t i = 0; i < size; ++i) {
      value = (value ^ p[i]) * 0x100000001b3u;
    }
  }
  template <typename T>
  void add(const T& field) {
    add(&field, sizeof field);
  }
  void add(const std::string& text) {
    add(text.size());
    add(text.data(), text.size());
  }
};

void addFrame(Digest* digest, int32_t result, const cMdfBusMsg& frame) {
  digest->add(result);
  digest->add(frame.kind);
  digest->add(frame.timeOffset);
  digest->add(frame.timeOffsetNs);
  digest->add(frame.id);
  digest->add(frame.dataLength);
  if (frame.data != nullptr) digest->add(frame.data, frame.dataLength);
}

}  // namespace

bool fuzz_readAll(cMdf* mdf, uint64_t* digest) {
  Digest value;
  value.add(cMdf_getStartTime(mdf, 1));
  value.add(cMdf_getStartTimeNs(mdf));
  cMdfBlockList* groups = cMdf_getDataGroups(mdf);
  const size_t count = cMdfBlockList_size(groups);
  for (size_t g = 0; g < count; ++g) {
    cMdfBusMsgContainer* container = cMdfBusMsgContainer_ctor(
        cMdfBlock_t_to_cMdfBlock_DG_t_mut(cMdfBlockList_at(groups, g)));
    if (container == nullptr) return false;
    for (cMdfBusMsgContainerPosition p = cMdfBusMsgContainer_begin(container);
         p.frame; cMdfBusMsgContainer_next(&p)) {
      addFrame(&value, p.result, *p.frame);
    }
    const bool failed = cMdfBusMsgContainer_failure(container) != kMdfReadOk;
    cMdfBusMsgContainer_dtor(container);
    if (failed) return false;
  }
  bool complete = true;
  const cMdfMetaDataMap metadata = cMdf_getMetaData(mdf, &complete);
  if (!complete) return false;
  for (const auto& [key, property] : metadata) {
    value.add(key);
    value.add(property.valueRaw);
    value.add(property.unit);
    value.add(property.valueType);
    value.add(property.readOnly);
  }
  if (digest != nullptr) *digest = value.value;
  return true;
}

namespace {

bool readOpen(cIO* stream, uint64_t* digest, bool anyWriter) {
  cMdf* mdf = cMdf_open(stream, nullptr, anyWriter);
  const bool read = mdf != nullptr && fuzz_readAll(mdf, digest);
  cMdf_close(mdf);
  return read;
}

// --- columns ---------------------------------------------------------------

// The most rows a fill is asked for.
constexpr uint64_t kMaxFill = 64;

// Room for every column of kMaxFill rows: no allocation of the path's own.
struct Columns {
  double timestamp[kMaxFill];
  int64_t timestampNs[kMaxFill];
  uint16_t channel[kMaxFill];
  uint8_t kind[kMaxFill];
  uint32_t id[kMaxFill];
  uint8_t flags[7][kMaxFill];  // the seven boolean columns, in column order
  uint8_t dlc[kMaxFill];
  uint8_t data[kMaxFill][64];
  uint8_t errorType[kMaxFill];
  uint16_t group[kMaxFill];
  uint8_t values[kMaxFill * 64];
  int64_t offsets[kMaxFill + 1];
};

// The boolean columns, in the order of Columns::flags.
constexpr cMdfColumn kFlagColumns[7] = {kMdfColumnIsExtendedId,
                                        kMdfColumnIsRemoteFrame,
                                        kMdfColumnIsErrorFrame,
                                        kMdfColumnIsFd,
                                        kMdfColumnIsRx,
                                        kMdfColumnBitrateSwitch,
                                        kMdfColumnErrorStateIndicator};

[[noreturn]] void broken(const char* what) {
  std::fprintf(stderr, "fuzz_readColumns: %s\n", what);
  std::abort();
}

cMdfColumnOutput outputFor(Columns* c, uint64_t capacity) {
  cMdfColumnOutput out{};
  out.capacity = capacity;
  out.columns[kMdfColumnTimestamp] = c->timestamp;
  out.columns[kMdfColumnTimestampNs] = c->timestampNs;
  out.columns[kMdfColumnChannel] = c->channel;
  out.columns[kMdfColumnKind] = c->kind;
  out.columns[kMdfColumnArbitrationId] = c->id;
  for (size_t f = 0; f < 7; ++f) out.columns[kFlagColumns[f]] = c->flags[f];
  out.columns[kMdfColumnDlc] = c->dlc;
  out.columns[kMdfColumnData] = c->data;
  out.columns[kMdfColumnErrorType] = c->errorType;
  out.columns[kMdfColumnGroup] = c->group;
  out.columns[kMdfColumnDataValues] = c->values;
  out.columns[kMdfColumnDataOffsets] = c->offsets;
  return out;
}

// Row `i` of a fill into *digest, after checking that its payload columns
// agree: the values from its offset are its data (none for a remote
// frame), the rest of its data row zero.
void addRow(Digest* digest, const Columns& c, uint64_t i) {
  if (c.kind[i] < kMdfBusMsgCanData ||
      c.kind[i] > kMdfBusMsgLinTransmissionError)
    broken("a row of no frame kind");
  const uint64_t carried = c.kind[i] == kMdfBusMsgCanRemote ? 0 : c.dlc[i];
  if (carried > 64 || c.offsets[i] < 0 ||
      c.offsets[i + 1] - c.offsets[i] != static_cast<int64_t>(carried) ||
      std::memcmp(c.values + c.offsets[i], c.data[i], carried) != 0)
    broken("data values and offsets disagree with the data column");
  for (uint64_t b = carried; b < 64; ++b) {
    if (c.data[i][b] != 0) broken("data beyond the payload is not zero");
  }
  digest->add(c.timestamp[i]);
  digest->add(c.timestampNs[i]);
  digest->add(c.channel[i]);
  digest->add(c.kind[i]);
  digest->add(c.id[i]);
  for (const auto& flag : c.flags) digest->add(flag[i]);
  digest->add(c.dlc[i]);
  digest->add(c.data[i], sizeof c.data[i]);
  digest->add(c.errorType[i]);
  digest->add(c.group[i]);
}

// A filter and, apart from the reader's own test, what it keeps.
struct RowFilter {
  uint16_t channels[2];
  uint32_t ids[8];
  size_t idCount;
  uint32_t kinds;
  double start, stop;

  cMdfColumnFilter filter() const {
    cMdfColumnFilter f{};
    f.channels = channels;
    f.channelCount = 2;
    f.ids = ids;
    f.idCount = idCount;
    f.kinds = kinds;
    f.hasStart = f.hasStop = true;
    f.start = start;
    f.stop = stop;
    return f;
  }
  bool keeps(const Columns& c, uint64_t i) const {
    bool id = idCount == 0;
    for (size_t k = 0; k < idCount; ++k) id = id || ids[k] == c.id[i];
    return id && (c.channel[i] == channels[0] || c.channel[i] == channels[1]) &&
           (kinds & (1u << c.kind[i])) != 0 && c.timestamp[i] >= start &&
           c.timestamp[i] < stop;
  }
};

// One pass over every row of `mdf` in fills of `capacity` rows, each fill
// handed to fill(columns, rows). False when the reader cannot be made or
// reading failed.
template <typename Fill>
bool readColumns(cMdf* mdf, const cMdfColumnFilter& filter, uint64_t capacity,
                 Columns* c, Fill fill) {
  cMdfColumnReader* reader = cMdfColumnReader_ctor(mdf, &filter);
  if (reader == nullptr) return false;
  // The estimate is reached, not compared: it measures the stream, and
  // is an estimate.
  (void)cMdfColumnReader_rowEstimate(reader);
  cMdfColumnOutput out = outputFor(c, capacity);
  while (cMdfColumnReader_fill(reader, &out) > 0) {
    if (out.rows > capacity || c->offsets[0] != 0)
      broken("a fill beyond its capacity, or offsets not from 0");
    fill(*c, out.rows);
  }
  const bool read = cMdfColumnReader_failure(reader) == kMdfReadOk;
  cMdfColumnReader_dtor(reader);
  return read;
}

// A filter of every kind made from the first fill of the whole table:
// its first channel, the ids of every other row, the kinds of the first
// three rows and LIN frames, the times from the second row on (the stop
// is set from the last row).
RowFilter filterFrom(const Columns& first, uint64_t rows) {
  RowFilter wanted{};
  wanted.channels[0] = rows > 0 ? first.channel[0] : kMdfChannelCan + 1;
  wanted.channels[1] = 600;  // no channel: left out of the reader's set
  for (uint64_t i = 0; i < rows && wanted.idCount < 8; i += 2)
    wanted.ids[wanted.idCount++] = first.id[i];
  wanted.kinds = 1u << kMdfBusMsgLin;
  for (uint64_t i = 0; i < rows && i < 3; ++i)
    wanted.kinds |= 1u << first.kind[i];
  wanted.start = rows > 1 ? first.timestamp[1] : 0.0;
  return wanted;
}

struct Table {
  Digest digest;
  uint64_t rows = 0;
};

bool columnsOf(cMdf* mdf, uint64_t* digest) {
  Columns c;
  const cMdfColumnFilter none{};
  // The whole table in the largest fills; its first fill makes the filter.
  Table whole;
  RowFilter wanted{};
  double last = 0.0;
  if (!readColumns(mdf, none, kMaxFill, &c,
                   [&](const Columns& rows, uint64_t count) {
                     if (whole.rows == 0) wanted = filterFrom(rows, count);
                     for (uint64_t i = 0; i < count; ++i)
                       addRow(&whole.digest, rows, i);
                     whole.rows += count;
                     last = rows.timestamp[count - 1];
                   }))
    return false;
  wanted.stop = last;
  // Again in small fills: the same rows; those the filter keeps.
  Table again, kept;
  if (!readColumns(mdf, none, 5, &c, [&](const Columns& rows, uint64_t count) {
        for (uint64_t i = 0; i < count; ++i) {
          addRow(&again.digest, rows, i);
          if (!wanted.keeps(rows, i)) continue;
          addRow(&kept.digest, rows, i);
          ++kept.rows;
        }
        again.rows += count;
      }))
    return false;
  if (again.digest.value != whole.digest.value || again.rows != whole.rows)
    broken("fills of another size give other rows");
  // Through the filter: the rows it keeps, in the same order.
  Table filtered;
  if (!readColumns(mdf, wanted.filter(), 3, &c,
                   [&](const Columns& rows, uint64_t count) {
                     for (uint64_t i = 0; i < count; ++i)
                       addRow(&filtered.digest, rows, i);
                     filtered.rows += count;
                   }))
    return false;
  if (filtered.digest.value != kept.digest.value || filtered.rows != kept.rows)
    broken("the filtered table is not the whole table less the rows left out");
  if (digest != nullptr) *digest = whole.digest.value;
  return true;
}

int lookupPassword(void*, const char* key, const char** password,
                   size_t* length) {
  if (std::strcmp(key, "default") != 0) return 0;
  *password = kFuzzPassword;
  *length = std::strlen(kFuzzPassword);
  return 1;
}

}  // namespace

cIO* fuzz_memoryStream(const uint8_t* data, size_t size) {
  cIO* io = cIO_memoryAlloc_ctor();
  if (io != nullptr &&
      (cIO_write(io, data, size) != static_cast<int64_t>(size) ||
       cIO_seek(io, 0, CIO_SEEK_SET) != 0)) {
    cIO_close(io);
    return nullptr;
  }
  return io;
}

bool fuzz_readPlain(cIO* stream, uint64_t* digest, bool anyWriter) {
  const bool opened = readOpen(stream, digest, anyWriter);
  cIO_close(stream);
  return opened;
}

bool fuzz_readContainer(cIO* stream, uint64_t* digest, bool anyWriter) {
  cIO* inner = cGenericFile_unwrap(stream, lookupPassword, nullptr, nullptr);
  const bool opened = inner != nullptr && readOpen(inner, digest, anyWriter);
  cIO_close(inner);
  return opened;
}

bool fuzz_readColumns(cIO* stream, uint64_t* digest, bool anyWriter) {
  cMdf* mdf = cMdf_open(stream, nullptr, anyWriter);
  const bool read = mdf != nullptr && columnsOf(mdf, digest);
  cMdf_close(mdf);
  cIO_close(stream);
  return read;
}

bool fuzz_finalize(cIO* stream, uint64_t* digest, bool anyWriter) {
  cMdf* mdf = cMdf_open(stream, nullptr, anyWriter);
  cIO* saved = nullptr;
  bool done = mdf != nullptr && cMdf_finalizeAndSort(mdf) == 1 &&
              (saved = cIO_memoryAlloc_ctor()) != nullptr &&
              cMdf_save(mdf, saved) && cIO_seek(saved, 0, CIO_SEEK_SET) == 0;
  cMdf_close(mdf);
  cIO_close(stream);
  done = done && readOpen(saved, digest, anyWriter);
  cIO_close(saved);
  return done;
}
