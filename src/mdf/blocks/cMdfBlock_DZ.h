// Compressed data block (DZ, type 14): the data section of a data (DT) or
// signal data (SD) block, compressed with zlib's deflate, optionally after
// a transposition of its bytes. Nothing is read into memory at load: the
// data stream that serves the block's bytes (cMdfDataStream.h) inflates it
// when reading reaches it.
//
// On disk (little-endian):
//   offset  width  field
//   0       24     header "##DZ", no links
//   24      2      original block id without "##": "DT" or "SD"
//   26      1      zip type: 0 deflate, 1 transposition + deflate
//   27      1      reserved
//   28      4      zip parameter: zip type 1, the columns of the
//                  transposition (the record length)
//   32      8      original data length: bytes after inflating
//   40      8      compressed data length
//   48      n      compressed data: one zlib stream
//
// Transposition (zip type 1): the original bytes, taken as R = length /
// columns rows of `columns` bytes, were written column by column; the
// length % columns bytes after those rows were written as they are.
#pragma once

#include <cstdint>

#include "log/cReason.h"
#include "mdf/blocks/cMdfBlock.h"
#include "streams/cIO.h"

// Zip types.
enum : uint8_t {
  kMdfZipDeflate = 0,
  kMdfZipTransposeDeflate = 1,
};

// A compressed block inflates to at most this many bytes. Writers keep
// blocks to a few MiB (the format recommends 4 MiB); the bound keeps a
// small block from claiming gigabytes of memory.
constexpr uint64_t kMdfMaxInflatedSize = uint64_t{128} << 20;

struct cMdfBlock_DZ_t;
struct cMdfDataStream;

// The bytes of one inflated block, reused from block to block: storage
// grows only as inflated bytes arrive, up to the largest block met. Plain
// data: zero-filled is empty.
struct cMdfInflateBuffers {
  uint8_t* plain;  // the original bytes (owned, malloc)
  uint64_t plainCapacity;
  uint64_t plainSize;
  uint8_t* transposed;  // zip type 1: the bytes before transposing back
  uint64_t transposedCapacity;
};

// Frees both buffers and leaves them empty.
void cMdfInflateBuffers_drop(cMdfInflateBuffers* buffers);

struct cMdfBlock_DZ_t : cMdfBlock_t {
  char originalId[2];  // "DT" or "SD"
  uint8_t zipType;     // kMdfZip*
  uint32_t zipParameter;
  uint64_t originalLength;    // at most kMdfMaxInflatedSize
  uint64_t compressedLength;  // lies inside the block
  uint64_t dataOffset;        // absolute position of the compressed data
  cIO* source;                // the stream read from: borrowed (the file's)
  // The block's bytes as a stream of their own, for a data link to the
  // block itself (not through a list); owned.
  cMdfDataStream* stream;
};

MDF_BLOCK_CASTS(DZ, MDF_BLOCK_DZ)

// A zero-filled block with the DZ template's header, or nullptr.
cMdfBlock_DZ_t* cMdfBlock_DZ_ctor();
// Reads the fixed fields; refuses an original block other than DT and SD,
// an unknown zip type, a transposition of no columns, compressed data that
// do not fit in the block, and an original length above
// kMdfMaxInflatedSize or beyond what deflate can make of the compressed
// length (1032 bytes per byte).
bool cMdfBlock_DZ_load(cMdfBlock_t* block, cIO* stream, cMdfBlockCache* cache,
                       const cMdfBlockHeader* header, cMdfBlockList* list);
// Writes the block as it was read: its fields and compressed data.
bool cMdfBlock_DZ_save(cMdfBlock_t* block, cMdfBlockSaveContext* context,
                       const cMdfBlock_t* next);
void cMdfBlock_DZ_dtor(cMdfBlock_t* block);

// Inflates the block into buffers->plain (plainSize = the original length).
// False, with the reason in *reason (when not null), when the compressed
// data cannot be read, are no valid zlib stream, or inflate to another
// length than the block states; memory grows only with inflated bytes, so
// a block that claims more than its data hold costs no more than they do.
// *unavailable (when not null) tells a failure that says nothing of the
// data (their read failed, memory ran out) from data that do not inflate.
bool cMdfBlock_DZ_inflate(const cMdfBlock_DZ_t* block,
                          cMdfInflateBuffers* buffers, cReason* reason,
                          bool* unavailable = nullptr);
