// cMdfBlockHeader: the 24-byte header that starts every MF4 block except the
// identification block, and the table of block kinds the library knows.
//
// On disk (little-endian):
//   offset  width  field
//   0       4      block id: "##" and two upper-case letters
//   4       4      reserved (written as zero, ignored when read)
//   8       8      length: whole block, header, links and data section
//   16      8      link count
//   24      8 * n  links: absolute file offsets of other blocks, 0 = none
//   24+8n   ...    data section, laid out per kind
//
// The identification block at offset 0 has no header: it starts with
// "MDF     " (finalized) or "UnFinMF " (unfinalized) and is 64 bytes long.
#pragma once

#include <cstdint>

#include "log/cReason.h"
#include "streams/cIO.h"

// Block type numbers. 0 is "unknown": such a block cannot be loaded.
enum : uint32_t {
  MDF_BLOCK_UNKNOWN = 0,
  MDF_BLOCK_ID = 1,   // identification, "MDF     " / "UnFinMF "
  MDF_BLOCK_CC = 2,   // channel conversion, "##CC"
  MDF_BLOCK_CG = 3,   // channel group, "##CG"
  MDF_BLOCK_CN = 4,   // channel, "##CN"
  MDF_BLOCK_DG = 5,   // data group, "##DG"
  MDF_BLOCK_DT = 6,   // data, "##DT"
  MDF_BLOCK_FH = 7,   // file history, "##FH"
  MDF_BLOCK_HD = 8,   // header, "##HD"
  MDF_BLOCK_MD = 9,   // metadata, "##MD"
  MDF_BLOCK_SD = 10,  // signal data, "##SD"
  MDF_BLOCK_SI = 11,  // source information, "##SI"
  MDF_BLOCK_TX = 12,  // text, "##TX"
  MDF_BLOCK_DL = 13,  // data list, "##DL"
  MDF_BLOCK_DZ = 14,  // compressed data, "##DZ"
  MDF_BLOCK_HL = 15,  // header of a list of compressed data, "##HL"
  MDF_BLOCK_TYPE_COUNT = 16,
};

// Size of the common header on disk.
constexpr uint64_t MDF_BLOCK_HEADER_SIZE = 24;

// In memory; also the first three members of every block (cMdfBlock_t).
struct cMdfBlockHeader {
  uint32_t type;       // MDF_BLOCK_*
  uint64_t length;     // as on disk
  uint64_t linkCount;  // as on disk
};

// The template of a kind: its type, default length and default link count,
// which a newly constructed block starts from. nullptr for an unknown type.
const cMdfBlockHeader* cMdfBlockHeader_template(uint32_t type);

// True for the kinds whose link 0 is the next member of a chain (file
// history, data group, channel group, channel). Their load puts that next
// member into the same block list the block itself is loaded for.
bool cMdfBlockHeader_isChained(uint32_t type);

// The kind's two letters ("DG", "ID" for the identification block); "?"
// for an unknown type.
const char* cMdfBlockHeader_name(uint32_t type);

// Reads a header at the stream's position into *out. The stream is left
// just after the 24 bytes (the links follow), except for an identification
// block, where it is put back to the block's start and length 64, link
// count 0 are set. False for a short read (silent) or an unknown id (logged
// at error level: "Unable to load block header for type %s"); either is
// noted in *reason (when not null) with the header's offset: "block at
// 0x200: header cut short by the end of the file", "block at 0x200:
// unknown block id \"##XY\"".
bool cMdfBlockHeader_read(cIO* stream, cMdfBlockHeader* out,
                          cReason* reason = nullptr);

// cMdfBlockHeader_read into a new record owned by the caller (release it
// with cMdfBlockHeader_free), or nullptr.
cMdfBlockHeader* cMdfBlockHeader_load(cIO* stream);
void cMdfBlockHeader_free(cMdfBlockHeader* header);

// Writes the header of `block` (id of its type, four zero bytes, length,
// link count) at the stream's position in one write. Writes nothing for a
// null argument or type 0 or 1 (the identification block writes its own
// first bytes). True when all 24 bytes were written.
bool cMdfBlockHeader_save(const cMdfBlockHeader* block, cIO* stream);

// length - 24 - 8 * link count; 0 for a null header or a length too short
// to hold the links.
uint64_t cMdfBlockHeader_getDataSize(const cMdfBlockHeader* header);
