// Text block (TX, type 12) and the code it shares with the metadata block
// (MD, type 9): both have this layout and differ only in type and id.
//
//   offset  width       field
//   0       24          header: "##TX" / "##MD", reserved, length, 0 links
//   24      length-24   the text (UTF-8), ended by a zero byte; zero bytes
//                       of padding may stand before that final byte
//
// In memory the text is the data section without its final byte; padding
// zeros before it stay part of the text, so its size can exceed its
// zero-terminated length. It is always zero-terminated in storage.
#pragma once

#include <cstdint>
#include <string_view>

#include "mdf/blocks/cMdfBlock.h"

struct cMdfBlockText_t : cMdfBlock_t {
  char* text;     // owned, zero-terminated; nullptr while empty
  uint64_t size;  // characters held, padding zeros included
};

struct cMdfBlock_TX_t : cMdfBlockText_t {};

cMdfBlock_TX_t* cMdfBlock_TX_ctor();

// Operations shared by TX and MD (the type comes from the header or the
// record).
bool cMdfBlock_TX_load(cMdfBlock_t* block, cIO* stream, cMdfBlockCache* cache,
                       const cMdfBlockHeader* header, cMdfBlockList* list);
// The length becomes text size + 25 (header, text, zero byte); the next
// free offset is rounded up to a multiple of 8 and the gap written as zeros.
bool cMdfBlock_TX_save(cMdfBlock_t* block, cMdfBlockSaveContext* context,
                       const cMdfBlock_t* next);
void cMdfBlock_TX_dtor(cMdfBlock_t* block);

// The text of a TX or MD block; an empty view (pointing to "") for any
// other block or null. Valid while the block lives and its text is not set.
std::string_view cMdfBlockText_get(const cMdfBlock_t* block);
// Replaces the text of a TX or MD block (for blocks built in memory).
// False, with the old text kept, when memory runs out.
bool cMdfBlockText_set(cMdfBlockText_t* block, std::string_view text);

std::string_view cMdfBlock_TX_getText(const cMdfBlock_TX_t* block);

MDF_BLOCK_CASTS(TX, MDF_BLOCK_TX)
