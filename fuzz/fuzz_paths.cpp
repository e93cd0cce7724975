#include "fuzz_paths.h"

#include <algorithm>
#include <cstring>
#include <iterator>

#include "fuzz_digest.h"

#include "containers/cGenericFileUnwrap.h"
#include "mdf/blocks/cMdfBlock_DG.h"
#include "mdf/cMdf.h"
#include "mdf/cMdfBusMsgContainer.h"
#include "mdf/cMdfColumns.h"
#include "mdf/cMdfFinalize.h"
#include "mdf/cMdfMetaData.h"
#include "streams/cIO_memoryAlloc.h"

namespace {

using fuzzpaths::Digest;

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

// The most rows the small fills are asked for, and the rows of the large
// fill, enough for the fill's helper thread.
constexpr uint64_t kMaxFill = 64;
constexpr uint64_t kLargeFill = 65536;

// The name tables the fills expand the code columns with: fewer items
// than codes, so that codes beyond a table (LIN channels, CAN channels
// from 3, LIN error kinds) give zero bytes.
constexpr uint64_t kChannelWidth = 6;
constexpr char kChannelNames[][kChannelWidth] = {"CAN 0", "CAN 1", "CAN 2"};
constexpr uint64_t kKindWidth = 9;
constexpr char kKindNames[][kKindWidth] = {"none", "CAN data", "CAN rtr",
                                           "CAN err", "LIN"};

// Room for every column and text of `Rows` rows.
template <uint64_t Rows>
struct ColumnStore {
  double timestamp[Rows];
  int64_t timestampNs[Rows];
  uint16_t channel[Rows];
  uint8_t kind[Rows];
  uint32_t id[Rows];
  uint8_t flags[7][Rows];  // the seven boolean columns, in column order
  uint8_t dlc[Rows];
  uint8_t data[Rows][64];
  uint8_t errorType[Rows];
  uint16_t group[Rows];
  uint8_t values[Rows * 64];
  int64_t offsets[Rows + 1];
  char channelText[Rows][kChannelWidth];
  char kindText[Rows][kKindWidth];
};

// The columns of a store, whatever its size.
struct Columns {
  double* timestamp;
  int64_t* timestampNs;
  uint16_t* channel;
  uint8_t* kind;
  uint32_t* id;
  uint8_t* flags[7];
  uint8_t* dlc;
  uint8_t (*data)[64];
  uint8_t* errorType;
  uint16_t* group;
  uint8_t* values;
  int64_t* offsets;
  char (*channelText)[kChannelWidth];
  char (*kindText)[kKindWidth];
};

template <uint64_t Rows>
Columns viewOf(ColumnStore<Rows>* s) {
  Columns c{
      s->timestamp, s->timestampNs, s->channel,     s->kind,      s->id,
      {},           s->dlc,         s->data,        s->errorType, s->group,
      s->values,    s->offsets,     s->channelText, s->kindText};
  for (size_t f = 0; f < 7; ++f) c.flags[f] = s->flags[f];
  return c;
}

// The store of the large fill: 12 MB, made once (the fuzz targets and the
// tests run one path at a time).
ColumnStore<kLargeFill> largeStore;

// The boolean columns, in the order of Columns::flags.
constexpr cMdfColumn kFlagColumns[7] = {kMdfColumnIsExtendedId,
                                        kMdfColumnIsRemoteFrame,
                                        kMdfColumnIsErrorFrame,
                                        kMdfColumnIsFd,
                                        kMdfColumnIsRx,
                                        kMdfColumnBitrateSwitch,
                                        kMdfColumnErrorStateIndicator};

[[noreturn]] void broken(const char* what) {
  fuzzpaths::broken("fuzz_readColumns", what);
}

cMdfColumnOutput outputFor(const Columns& c, uint64_t capacity, bool helper) {
  cMdfColumnOutput out{};
  out.capacity = capacity;
  out.helper = helper;
  out.columns[kMdfColumnTimestamp] = c.timestamp;
  out.columns[kMdfColumnTimestampNs] = c.timestampNs;
  out.columns[kMdfColumnChannel] = c.channel;
  out.columns[kMdfColumnKind] = c.kind;
  out.columns[kMdfColumnArbitrationId] = c.id;
  for (size_t f = 0; f < 7; ++f) out.columns[kFlagColumns[f]] = c.flags[f];
  out.columns[kMdfColumnDlc] = c.dlc;
  out.columns[kMdfColumnData] = c.data;
  out.columns[kMdfColumnErrorType] = c.errorType;
  out.columns[kMdfColumnGroup] = c.group;
  out.columns[kMdfColumnDataValues] = c.values;
  out.columns[kMdfColumnDataOffsets] = c.offsets;
  out.texts[kMdfTextChannel] = {kChannelNames, kChannelWidth,
                                std::size(kChannelNames), c.channelText};
  out.texts[kMdfTextKind] = {kKindNames, kKindWidth, std::size(kKindNames),
                             c.kindText};
  return out;
}

// Whether a text of a row is its code's item of `table`, or zero bytes
// for a code beyond the table.
template <size_t Items, size_t Width>
bool textOf(const char (&table)[Items][Width], uint64_t code,
            const char* text) {
  static constexpr char kZero[Width] = {};
  return std::memcmp(text, code < Items ? table[code] : kZero, Width) == 0;
}

// Row `i` of a fill into *digest, after checking that its payload columns
// agree (the values from its offset are its data, none for a remote
// frame, the rest of its data row zero) and that its texts are those of
// its codes.
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
  if (!textOf(kChannelNames, c.channel[i], c.channelText[i]) ||
      !textOf(kKindNames, c.kind[i], c.kindText[i]))
    broken("a text is not the name of its code");
  digest->add(c.timestamp[i]);
  digest->add(c.timestampNs[i]);
  digest->add(c.channel[i]);
  digest->add(c.kind[i]);
  digest->add(c.id[i]);
  for (const uint8_t* flag : c.flags) digest->add(flag[i]);
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

// One pass over every row of `mdf` in fills of `capacity` rows (at most
// those of c's store), with the helper thread where `helper` and the fills are
// large enough, each fill handed to fill(columns, rows). False when the
// reader cannot be made or reading failed.
template <typename Fill>
bool readColumns(cMdf* mdf, const cMdfColumnFilter& filter, uint64_t capacity,
                 bool helper, const Columns& c, Fill fill) {
  cMdfColumnReader* reader = cMdfColumnReader_ctor(mdf, &filter);
  if (reader == nullptr) return false;
  // The estimate is reached, not compared: it measures the stream, and
  // is an estimate.
  (void)cMdfColumnReader_rowEstimate(reader);
  cMdfColumnOutput out = outputFor(c, capacity, helper);
  while (cMdfColumnReader_fill(reader, &out) > 0) {
    if (out.rows > capacity || c.offsets[0] != 0)
      broken("a fill beyond its capacity, or offsets not from 0");
    fill(c, out.rows);
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

// The table in fills of several sizes and through a filter; with `large`,
// once more in one fill of kLargeFill rows with the helper thread.
bool columnsOf(cMdf* mdf, bool large, uint64_t* digest) {
  ColumnStore<kMaxFill> store;
  const Columns c = viewOf(&store);
  const cMdfColumnFilter none{};
  // The whole table in the largest fills; its first fill makes the filter.
  Table whole;
  RowFilter wanted{};
  double last = 0.0;
  if (!readColumns(mdf, none, kMaxFill, false, c,
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
  if (!readColumns(mdf, none, 5, false, c,
                   [&](const Columns& rows, uint64_t count) {
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
  if (!readColumns(mdf, wanted.filter(), 3, false, c,
                   [&](const Columns& rows, uint64_t count) {
                     for (uint64_t i = 0; i < count; ++i)
                       addRow(&filtered.digest, rows, i);
                     filtered.rows += count;
                   }))
    return false;
  if (filtered.digest.value != kept.digest.value || filtered.rows != kept.rows)
    broken("the filtered table is not the whole table less the rows left out");
  // In one large fill, the texts shared with the helper thread: the same
  // rows.
  Table helped;
  if (large && !readColumns(mdf, none, kLargeFill, true, viewOf(&largeStore),
                            [&](const Columns& rows, uint64_t count) {
                              for (uint64_t i = 0; i < count; ++i)
                                addRow(&helped.digest, rows, i);
                              helped.rows += count;
                            }))
    return false;
  if (large &&
      (helped.digest.value != whole.digest.value || helped.rows != whole.rows))
    broken("a fill with the helper thread gives other rows");
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

bool fuzz_tail(cIO* stream, uint8_t* tail, size_t want, size_t* got) {
  const int64_t size = cIO_getSize(stream);
  if (size < 0) return false;
  const size_t count = static_cast<size_t>(
      std::min(static_cast<uint64_t>(want), static_cast<uint64_t>(size)));
  *got = count;
  return cIO_seekTo(stream, static_cast<uint64_t>(size) - count) &&
         cIO_readFull(stream, tail, count) == static_cast<int64_t>(count) &&
         cIO_seekTo(stream, 0);
}

bool fuzz_readColumns(cIO* stream, uint64_t* digest, bool anyWriter) {
  uint8_t last = 0;
  size_t got = 0;
  if (!fuzz_tail(stream, &last, 1, &got)) {
    cIO_close(stream);
    return false;
  }
  cMdf* mdf = cMdf_open(stream, nullptr, anyWriter);
  const bool read =
      mdf != nullptr &&
      columnsOf(mdf, (last & kFuzzLargeFill) == kFuzzLargeFill, digest);
  cMdf_close(mdf);
  cIO_close(stream);
  return read;
}

bool fuzz_finalize(cIO* stream, uint64_t* digest, bool anyWriter) {
  cMdf* mdf = cMdf_open(stream, nullptr, anyWriter);
  cIO* saved = nullptr;
  bool done = mdf != nullptr &&
              cMdf_finalizeAndSort(mdf, nullptr) == kMdfFinalizeDone &&
              (saved = cIO_memoryAlloc_ctor()) != nullptr &&
              cMdf_save(mdf, saved) && cIO_seek(saved, 0, CIO_SEEK_SET) == 0;
  cMdf_close(mdf);
  cIO_close(stream);
  done = done && readOpen(saved, digest, anyWriter);
  cIO_close(saved);
  return done;
}
