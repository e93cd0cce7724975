#include "mdf/blocks/cMdfBlockHeader.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "log/zf_log.h"
#include "streams/cCoding.h"

namespace {

struct Kind {
  const char* id;  // four characters on disk; nullptr for the ID block
  cMdfBlockHeader header;
  bool chained;  // link 0 is the next member of a chain
};

// Indexed by type number.
const Kind kKinds[MDF_BLOCK_TYPE_COUNT] = {
    {nullptr, {MDF_BLOCK_UNKNOWN, 0, 0}, false},
    {nullptr, {MDF_BLOCK_ID, 64, 0}, false},
    {"##CC", {MDF_BLOCK_CC, 80, 4}, false},
    {"##CG", {MDF_BLOCK_CG, 104, 6}, true},
    {"##CN", {MDF_BLOCK_CN, 160, 8}, true},
    {"##DG", {MDF_BLOCK_DG, 64, 4}, true},
    {"##DT", {MDF_BLOCK_DT, 24, 0}, false},
    {"##FH", {MDF_BLOCK_FH, 56, 2}, true},
    {"##HD", {MDF_BLOCK_HD, 104, 6}, false},
    {"##MD", {MDF_BLOCK_MD, 24, 0}, false},
    {"##SD", {MDF_BLOCK_SD, 24, 0}, false},
    {"##SI", {MDF_BLOCK_SI, 56, 3}, false},
    {"##TX", {MDF_BLOCK_TX, 24, 0}, false},
    {"##DL", {MDF_BLOCK_DL, 40, 1}, false},
    {"##DZ", {MDF_BLOCK_DZ, 48, 0}, false},
    {"##HL", {MDF_BLOCK_HL, 40, 1}, false},
};

// The ids are tested in a fixed order: the frequent four-character ids
// first, then the eight-character identification strings, then the rest.
uint32_t classify(const unsigned char* bytes) {
  static const uint32_t kFrequent[] = {MDF_BLOCK_CC, MDF_BLOCK_CG, MDF_BLOCK_CN,
                                       MDF_BLOCK_DG, MDF_BLOCK_DT, MDF_BLOCK_FH,
                                       MDF_BLOCK_HD};
  static const uint32_t kRare[] = {MDF_BLOCK_MD, MDF_BLOCK_SD, MDF_BLOCK_SI,
                                   MDF_BLOCK_TX, MDF_BLOCK_DL, MDF_BLOCK_DZ,
                                   MDF_BLOCK_HL};
  for (uint32_t type : kFrequent)
    if (memcmp(bytes, kKinds[type].id, 4) == 0) return type;
  if (memcmp(bytes, "UnFinMF ", 8) == 0 || memcmp(bytes, "MDF     ", 8) == 0)
    return MDF_BLOCK_ID;
  for (uint32_t type : kRare)
    if (memcmp(bytes, kKinds[type].id, 4) == 0) return type;
  return MDF_BLOCK_UNKNOWN;
}

}  // namespace

const cMdfBlockHeader* cMdfBlockHeader_template(uint32_t type) {
  if (type == MDF_BLOCK_UNKNOWN || type >= MDF_BLOCK_TYPE_COUNT) return nullptr;
  return &kKinds[type].header;
}

bool cMdfBlockHeader_isChained(uint32_t type) {
  return type < MDF_BLOCK_TYPE_COUNT && kKinds[type].chained;
}

const char* cMdfBlockHeader_name(uint32_t type) {
  if (type == MDF_BLOCK_ID) return "ID";
  if (type == MDF_BLOCK_UNKNOWN || type >= MDF_BLOCK_TYPE_COUNT) return "?";
  return kKinds[type].id + 2;
}

bool cMdfBlockHeader_read(cIO* stream, cMdfBlockHeader* out, cReason* reason) {
  if (!stream || !out) return false;
  const int64_t at = reason ? cIO_tell(stream) : -1;
  const uint64_t offset = at < 0 ? kReasonNoOffset : static_cast<uint64_t>(at);
  unsigned char bytes[MDF_BLOCK_HEADER_SIZE];
  const int64_t got = cIO_readFull(stream, bytes, sizeof bytes);
  if (got != static_cast<int64_t>(sizeof bytes)) {
    if (got < 0)
      return cReason_note(reason, offset,
                          "block at 0x%llX: header could not be read",
                          static_cast<unsigned long long>(offset));
    return cReason_note(reason, offset,
                        "block at 0x%llX: header cut short by the end of the "
                        "file (%lld of 24 bytes)",
                        static_cast<unsigned long long>(offset),
                        static_cast<long long>(got));
  }
  const uint32_t type = classify(bytes);
  if (type == MDF_BLOCK_UNKNOWN) {
    char id[9];
    memcpy(id, bytes, 8);
    id[8] = '\0';
    ZF_LOGE("Unable to load block header for type %s", id);
    // The id's four bytes as text, anything unprintable as \xNN.
    char shown[4 * 4 + 1];
    size_t n = 0;
    for (int i = 0; i < 4; ++i) {
      const unsigned char c = bytes[i];
      if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\')
        shown[n++] = static_cast<char>(c);
      else
        n += static_cast<size_t>(
            snprintf(shown + n, sizeof shown - n, "\\x%02X", c));
    }
    shown[n] = '\0';
    return cReason_note(reason, offset,
                        "block at 0x%llX: unknown block id \"%s\"",
                        static_cast<unsigned long long>(offset), shown);
  }
  out->type = type;
  if (type == MDF_BLOCK_ID) {
    if (cIO_seek(stream, -static_cast<int64_t>(MDF_BLOCK_HEADER_SIZE),
                 CIO_SEEK_CUR) < 0)
      return cReason_note(reason, offset,
                          "block at 0x%llX: could not seek back to its start",
                          static_cast<unsigned long long>(offset));
    out->length = kKinds[MDF_BLOCK_ID].header.length;
    out->linkCount = 0;
  } else {
    out->length = cCoding_loadLE<uint64_t>(bytes + 8);
    out->linkCount = cCoding_loadLE<uint64_t>(bytes + 16);
  }
  return true;
}

cMdfBlockHeader* cMdfBlockHeader_load(cIO* stream) {
  cMdfBlockHeader header;
  if (!cMdfBlockHeader_read(stream, &header)) return nullptr;
  auto* copy = static_cast<cMdfBlockHeader*>(malloc(sizeof header));
  if (copy) *copy = header;
  return copy;
}

void cMdfBlockHeader_free(cMdfBlockHeader* header) { free(header); }

bool cMdfBlockHeader_save(const cMdfBlockHeader* block, cIO* stream) {
  if (!block || !stream || block->type <= MDF_BLOCK_ID ||
      block->type >= MDF_BLOCK_TYPE_COUNT)
    return false;
  unsigned char bytes[MDF_BLOCK_HEADER_SIZE] = {};
  memcpy(bytes, kKinds[block->type].id, 4);
  cCoding_storeLE<uint64_t>(bytes + 8, block->length);
  cCoding_storeLE<uint64_t>(bytes + 16, block->linkCount);
  return cIO_write(stream, bytes, sizeof bytes) ==
         static_cast<int64_t>(sizeof bytes);
}

uint64_t cMdfBlockHeader_getDataSize(const cMdfBlockHeader* header) {
  if (!header || header->linkCount > (UINT64_MAX - MDF_BLOCK_HEADER_SIZE) / 8)
    return 0;
  const uint64_t head = MDF_BLOCK_HEADER_SIZE + 8 * header->linkCount;
  return header->length > head ? header->length - head : 0;
}
