#include "mdf/blocks/cMdfBlock_DZ.h"

#include <zlib.h>

#include <cstdlib>
#include <cstring>

#include "mdf/blocks/cMdfDataStream.h"

namespace {

const cMdfBlock_vtable kOperations = {cMdfBlock_DZ_load, cMdfBlock_DZ_save,
                                      cMdfBlock_DZ_dtor, nullptr};

using ull = unsigned long long;

// Bytes of the fixed fields after the header.
constexpr uint64_t kFieldsSize = 24;
// Deflate makes at most 1032 bytes of one compressed byte (and a few bytes
// of a stream's end).
constexpr uint64_t kMaxDeflateRatio = 1032;
// Compressed bytes read at once.
constexpr uint64_t kInputChunk = 16 * 1024;
// Rows transposed back at once: a band of records of a few KiB.
constexpr uint64_t kTransposeBand = 64;
// Inflated storage grows by at least this much.
constexpr uint64_t kMinGrowth = 64 * 1024;

bool originalIdKnown(const char id[2]) {
  return memcmp(id, "DT", 2) == 0 || memcmp(id, "SD", 2) == 0;
}

// Makes room for `wanted` bytes, growing by half at least (never beyond
// `limit`, the block's original length); false when memory runs out.
bool grow(uint8_t** data, uint64_t* capacity, uint64_t wanted, uint64_t limit) {
  if (wanted <= *capacity) return true;
  uint64_t target = *capacity + *capacity / 2;
  if (target < wanted) target = wanted;
  if (target < kMinGrowth) target = kMinGrowth;
  if (target > limit) target = limit;
  if (target < wanted || target > SIZE_MAX) return false;
  void* bigger = realloc(*data, static_cast<size_t>(target));
  if (!bigger) return false;
  *data = static_cast<uint8_t*>(bigger);
  *capacity = target;
  return true;
}

// Inflates the block's zlib stream into *out (capacity *capacity, grown as
// bytes arrive); true when it ends after exactly the original length. A
// failure that says nothing of the data (a read that failed, memory that
// ran out) also sets *unavailable.
bool inflateInto(const cMdfBlock_DZ_t* dz, uint8_t** out, uint64_t* capacity,
                 cReason* reason, bool* unavailable) {
  const uint64_t at = dz->fileOffset;
  const uint64_t expected = dz->originalLength;
  z_stream z;
  memset(&z, 0, sizeof z);
  if (inflateInit(&z) != Z_OK) {
    *unavailable = true;
    return cReason_note(reason, at, "DZ block at 0x%llX: out of memory",
                        static_cast<ull>(at));
  }
  unsigned char input[kInputChunk];
  uint64_t read = 0;      // compressed bytes read
  uint64_t produced = 0;  // inflated bytes
  int status = Z_OK;
  const char* fault = nullptr;
  while (status != Z_STREAM_END && !fault) {
    if (z.avail_in == 0) {
      const uint64_t left = dz->compressedLength - read;
      if (left == 0) {
        fault = "its compressed data end before the zlib stream does";
        break;
      }
      const uint64_t n = left < kInputChunk ? left : kInputChunk;
      if (!cIO_seekTo(dz->source, dz->dataOffset + read) ||
          cIO_readFull(dz->source, input, n) != static_cast<int64_t>(n)) {
        *unavailable = true;
        fault = "its compressed data could not be read";
        break;
      }
      read += n;
      z.next_in = input;
      z.avail_in = static_cast<uInt>(n);
    }
    // One byte of room beyond the original length shows a stream that
    // inflates to more.
    unsigned char beyond = 0;
    if (produced == expected) {
      z.next_out = &beyond;
      z.avail_out = 1;
    } else {
      const uint64_t wanted =
          produced +
          (expected - produced < kMinGrowth ? expected - produced : kMinGrowth);
      if (!grow(out, capacity, wanted, expected)) {
        *unavailable = true;
        fault = "out of memory";
        break;
      }
      const uint64_t room = *capacity - produced;
      z.next_out = *out + produced;
      z.avail_out = static_cast<uInt>(room < UINT32_MAX ? room : UINT32_MAX);
    }
    const uInt before = z.avail_out;
    status = inflate(&z, Z_NO_FLUSH);
    const uint64_t made = before - z.avail_out;
    if (produced == expected && made > 0) {
      fault = "it inflates to more bytes than its original length";
      break;
    }
    produced += made;
    if (status == Z_MEM_ERROR) {
      *unavailable = true;
      fault = "out of memory";
    } else if (status == Z_NEED_DICT || status == Z_DATA_ERROR ||
               (status == Z_BUF_ERROR && made == 0 && z.avail_in > 0)) {
      fault = "its compressed data are no valid zlib stream";
    }
  }
  inflateEnd(&z);
  if (!fault && produced != expected) {
    return cReason_note(reason, at,
                        "DZ block at 0x%llX: inflates to %llu bytes, its "
                        "original length is %llu",
                        static_cast<ull>(at), static_cast<ull>(produced),
                        static_cast<ull>(expected));
  }
  if (fault)
    return cReason_note(reason, at, "DZ block at 0x%llX: %s",
                        static_cast<ull>(at), fault);
  return true;
}

}  // namespace

void cMdfInflateBuffers_drop(cMdfInflateBuffers* buffers) {
  if (!buffers) return;
  free(buffers->plain);
  free(buffers->transposed);
  *buffers = {};
}

cMdfBlock_DZ_t* cMdfBlock_DZ_ctor() {
  return cMdfBlock_allocate<cMdfBlock_DZ_t>(MDF_BLOCK_DZ, &kOperations);
}

bool cMdfBlock_DZ_load(cMdfBlock_t* block, cIO* stream, cMdfBlockCache* cache,
                       const cMdfBlockHeader* header, cMdfBlockList*) {
  auto* dz = static_cast<cMdfBlock_DZ_t*>(block);
  uint64_t none[1];
  if (!cMdfBlock_loadHead(block, stream, cache, header, none, 0)) return false;
  cSerializer s = cMdfBlock_dataSerializer(block, stream);
  uint8_t reserved = 0;
  if (!cSerializer_readRaw(&s, dz->originalId, 2) ||
      !cSerializer_readU8(&s, &dz->zipType) ||
      !cSerializer_readU8(&s, &reserved) ||
      !cSerializer_readU32(&s, &dz->zipParameter) ||
      !cSerializer_readU64(&s, &dz->originalLength) ||
      !cSerializer_readU64(&s, &dz->compressedLength))
    return cMdfBlock_refuse(cache, block, "its fields could not be read");
  if (!originalIdKnown(dz->originalId))
    return cMdfBlock_refuse(cache, block,
                            "compresses a block of id \"%.2s\", not DT or SD",
                            dz->originalId);
  if (dz->zipType > kMdfZipTransposeDeflate)
    return cMdfBlock_refuse(cache, block, "unknown zip type %u",
                            unsigned{dz->zipType});
  if (dz->zipType == kMdfZipTransposeDeflate && dz->zipParameter == 0)
    return cMdfBlock_refuse(cache, block, "transposition of 0 columns");
  const uint64_t room = cMdfBlockHeader_getDataSize(header) - kFieldsSize;
  if (dz->compressedLength > room)
    return cMdfBlock_refuse(cache, block,
                            "compressed length %llu does not fit in its "
                            "length %llu",
                            static_cast<ull>(dz->compressedLength),
                            static_cast<ull>(header->length));
  if (dz->originalLength > kMdfMaxInflatedSize)
    return cMdfBlock_refuse(cache, block,
                            "original length %llu above kMdfMaxInflatedSize "
                            "(%llu)",
                            static_cast<ull>(dz->originalLength),
                            static_cast<ull>(kMdfMaxInflatedSize));
  if (dz->originalLength > dz->compressedLength * kMaxDeflateRatio + 64)
    return cMdfBlock_refuse(cache, block,
                            "original length %llu is more than deflate can "
                            "make of %llu bytes",
                            static_cast<ull>(dz->originalLength),
                            static_cast<ull>(dz->compressedLength));
  dz->dataOffset = block->fileOffset + MDF_BLOCK_HEADER_SIZE + kFieldsSize;
  dz->source = stream;
  dz->stream = static_cast<cMdfDataStream*>(malloc(sizeof(cMdfDataStream)));
  if (!dz->stream || !cMdfDataStream_init(dz->stream) ||
      !cMdfDataStream_append(dz->stream, block))
    return cMdfBlock_refuse(cache, block, "out of memory");
  return true;
}

bool cMdfBlock_DZ_save(cMdfBlock_t* block, cMdfBlockSaveContext* context,
                       const cMdfBlock_t*) {
  auto* dz = static_cast<cMdfBlock_DZ_t*>(block);
  cSerializer s;
  if (!cMdfBlock_reserve(block, context, true) ||
      !cMdfBlock_writeHead(block, context, nullptr, 0, &s))
    return false;
  bool ok = cSerializer_writeCsview(&s, dz->originalId, 2);
  ok = cSerializer_writeU8(&s, dz->zipType) && ok;
  ok = cSerializer_writeU8(&s, 0) && ok;
  ok = cSerializer_writeU32(&s, dz->zipParameter) && ok;
  ok = cSerializer_writeU64(&s, dz->originalLength) && ok;
  ok = cSerializer_writeU64(&s, dz->compressedLength) && ok;
  char chunk[4096];
  for (uint64_t done = 0; ok && done < dz->compressedLength;) {
    const uint64_t left = dz->compressedLength - done;
    const uint64_t n = left < sizeof chunk ? left : sizeof chunk;
    ok = cIO_seekTo(dz->source, dz->dataOffset + done) &&
         cIO_readFull(dz->source, chunk, n) == static_cast<int64_t>(n) &&
         cIO_seekTo(context->stream, block->fileOffset + MDF_BLOCK_HEADER_SIZE +
                                         kFieldsSize + done) &&
         cSerializer_writeCsview(&s, chunk, n);
    done += n;
  }
  return ok && cMdfBlock_writeTail(block, &s);
}

void cMdfBlock_DZ_dtor(cMdfBlock_t* block) {
  auto* dz = static_cast<cMdfBlock_DZ_t*>(block);
  cMdfDataStream_drop(dz->stream);
  free(dz->stream);
  dz->stream = nullptr;
  dz->source = nullptr;
}

bool cMdfBlock_DZ_inflate(const cMdfBlock_DZ_t* block,
                          cMdfInflateBuffers* buffers, cReason* reason,
                          bool* unavailable) {
  bool ignored = false;
  if (!unavailable) unavailable = &ignored;
  *unavailable = false;
  if (!block || !buffers) return false;
  buffers->plainSize = 0;
  const uint64_t length = block->originalLength;
  if (block->zipType != kMdfZipTransposeDeflate) {
    if (!inflateInto(block, &buffers->plain, &buffers->plainCapacity, reason,
                     unavailable))
      return false;
    buffers->plainSize = length;
    return true;
  }
  if (!inflateInto(block, &buffers->transposed, &buffers->transposedCapacity,
                   reason, unavailable))
    return false;
  // All bytes arrived: the storage for them is no claim of the file's.
  if (!grow(&buffers->plain, &buffers->plainCapacity, length, length)) {
    *unavailable = true;
    return cReason_note(reason, block->fileOffset,
                        "DZ block at 0x%llX: out of memory",
                        static_cast<ull>(block->fileOffset));
  }
  const uint64_t columns = block->zipParameter;
  const uint64_t rows = length / columns;
  const uint8_t* in = buffers->transposed;
  uint8_t* out = buffers->plain;
  // In bands of rows: a band's records stay in the cache while every
  // column is written into them, and each column's bytes of the band are
  // read in one run.
  for (uint64_t first = 0; first < rows; first += kTransposeBand) {
    const uint64_t last =
        rows - first < kTransposeBand ? rows : first + kTransposeBand;
    for (uint64_t c = 0; c < columns; ++c) {
      const uint8_t* column = in + c * rows;
      for (uint64_t r = first; r < last; ++r) out[r * columns + c] = column[r];
    }
  }
  const uint64_t body = rows * columns;
  if (length > body) memcpy(out + body, in + body, length - body);
  buffers->plainSize = length;
  return true;
}
