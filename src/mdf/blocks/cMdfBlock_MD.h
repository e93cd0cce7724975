// Metadata block (MD, type 9): XML fragments such as comments and the file
// history's tool description. Layout and code are those of the text block
// (cMdfBlock_TX.h); only the type and the id "##MD" differ.
#pragma once

#include <string_view>

#include "mdf/blocks/cMdfBlock.h"
#include "mdf/blocks/cMdfBlock_TX.h"

struct cMdfBlock_MD_t : cMdfBlockText_t {};

cMdfBlock_MD_t* cMdfBlock_MD_ctor();

std::string_view cMdfBlock_MD_getText(const cMdfBlock_MD_t* block);

MDF_BLOCK_CASTS(MD, MDF_BLOCK_MD)
