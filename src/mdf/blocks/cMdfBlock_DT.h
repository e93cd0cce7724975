// Data block (DT, type 6) and the code it shares with the signal data block
// (SD, type 10): records of a data group, or the variable-length values
// records point into. Neither is read into memory: each block carries a
// read-only stream view onto its data section that reads the underlying
// stream on demand.
//
//   offset  width       field
//   0       24          header: "##DT" / "##SD", reserved, length, 0 links
//   24      length-24   data section
//
// The view reads, tells and seeks within [0, length - 24); seeks beyond an
// end land on it. Whence 0 takes the offset as unsigned (a negative one
// lands at the end), whence 1 counts from the current position, whence 2
// from the end; any other whence fails with -1. A seek only moves the
// view: every read seeks the source, so several views over one stream
// work side by side in a thread. A source that ends before the data does
// ends them (a read gives 0 there); a source that cannot be read or sought
// fails the read with -1.
#pragma once

#include <cstdint>
#include <cstdlib>

#include "mdf/blocks/cMdfBlock.h"
#include "streams/cIO.h"

struct cMdfBlockData_t;

struct cMdfBlockDataView : cIO {
  cMdfBlockData_t* block;  // the block whose data section this is
  uint64_t pos;            // relative to the data start
};

struct cMdfBlockData_t : cMdfBlock_t {
  uint64_t dataOffset;     // absolute position of the data in `source`
  cIO* source;             // the stream the data is read from
  bool ownsSource;         // made from a stream of its own: closed by dtor
  cMdfBlockDataView view;  // never closed by its users
};

struct cMdfBlock_DT_t : cMdfBlockData_t {};

cMdfBlock_DT_t* cMdfBlock_DT_ctor();
// A block owning `stream`, whose data section is the whole stream (length
// 24 + its size); the stream is sought back to 0. nullptr when the stream
// is null or cannot be measured, or memory runs out; the caller then keeps
// the stream.
cMdfBlock_DT_t* cMdfBlock_DT_ctor_fromIO(cIO* stream);

// Operations shared by DT and SD.
// Never fails: nothing of the data is read.
bool cMdfBlock_DT_load(cMdfBlock_t* block, cIO* stream, cMdfBlockCache* cache,
                       const cMdfBlockHeader* header, cMdfBlockList* list);
// Copies the whole data section behind the header; the next free offset is
// rounded up to a multiple of 8 (the padding is not written). Fails, with
// "Error during save. Expected to be at %zu but stream is at %zu", when the
// data section could not be copied whole.
bool cMdfBlock_DT_save(cMdfBlock_t* block, cMdfBlockSaveContext* context,
                       const cMdfBlock_t* next);
void cMdfBlock_DT_dtor(cMdfBlock_t* block);

// The view as a stream; nullptr for a null block.
cIO* cMdfBlock_DT_getIOInterface(cMdfBlock_DT_t* block);
// The data offset; 0 for a null block.
uint64_t cMdfBlock_DT_getDataOffset(const cMdfBlock_DT_t* block);

// Shared by the DT and SD constructors: sets up a zero-filled record of
// `type` (DT or SD) with its view and returns it.
cMdfBlockData_t* cMdfBlockData_init(cMdfBlockData_t* block, uint32_t type);
// Makes a freshly constructed block own `stream` as its data section.
// False, with the block unchanged, for a null argument or a stream that
// cannot be measured.
bool cMdfBlockData_adopt(cMdfBlockData_t* block, cIO* stream);

template <typename T>
T* cMdfBlockData_new(uint32_t type) {
  auto* block = static_cast<T*>(calloc(1, sizeof(T)));
  cMdfBlockData_init(block, type);
  return block;
}

template <typename T>
T* cMdfBlockData_newFromIO(uint32_t type, cIO* stream) {
  T* block = cMdfBlockData_new<T>(type);
  if (!cMdfBlockData_adopt(block, stream)) {
    free(block);
    return nullptr;
  }
  return block;
}

MDF_BLOCK_CASTS(DT, MDF_BLOCK_DT)
