#include "mdf/blocks/cMdfBlock_DL.h"

#include <new>
#include <unordered_set>
#include <vector>

#include "log/zf_log.h"

namespace {

const cMdfBlock_vtable kOperations = {cMdfBlock_DL_load, cMdfBlock_DL_save,
                                      cMdfBlock_DL_dtor, nullptr};

using ull = unsigned long long;

enum : uint64_t { kLinkNext, kLinkFirstMember };
enum : uint8_t { kFlagEqualLength = 1 };
// Flags, reserved bytes and member count.
constexpr uint64_t kFieldsSize = 8;

// What a list of the chain said so far about the sizes of its members.
struct Sizes {
  bool shortSeen;  // a member shorter than the equal length: the last one
};

// Loads the members of the list block at `offset` (header `h`, the stream
// just after it) into the chain's list and stream; its next link in *next.
bool loadList(cMdfBlock_DL_t* dl, cIO* stream, cMdfBlockCache* cache,
              uint64_t offset, const cMdfBlockHeader& h, uint64_t* next,
              Sizes* sizes) {
  cReason* reason = &cache->reason;
  const ull at = offset;
  if (h.linkCount < 1)
    return cReason_note(reason, offset,
                        "DL block at 0x%llX: 0 links, needs at least 1", at);
  std::vector<uint64_t> links;
  std::vector<uint64_t> offsets;
  try {
    links.resize(h.linkCount);
  } catch (...) {
    return cReason_note(reason, offset, "DL block at 0x%llX: out of memory",
                        at);
  }
  if (!cMdfBlock_loadLinks(stream, &h, links.data(), h.linkCount))
    return cReason_note(reason, offset,
                        "DL block at 0x%llX: its links could not be read", at);
  const uint64_t members = h.linkCount - 1;
  cSerializer s{
      stream,
      static_cast<int64_t>(offset + MDF_BLOCK_HEADER_SIZE + 8 * h.linkCount),
      0};
  uint8_t flags = 0;
  uint8_t reserved[3];
  uint32_t count = 0;
  if (!cSerializer_readU8(&s, &flags) ||
      !cSerializer_readRaw(&s, reserved, 3) || !cSerializer_readU32(&s, &count))
    return cReason_note(reason, offset,
                        "DL block at 0x%llX: its fields could not be read", at);
  if (count != members)
    return cReason_note(reason, offset,
                        "DL block at 0x%llX: %llu member links, its count "
                        "says %u",
                        at, static_cast<ull>(members), count);
  const bool equal = (flags & kFlagEqualLength) != 0;
  const uint64_t needed = kFieldsSize + (equal ? 8 : 8 * members);
  if (cMdfBlockHeader_getDataSize(&h) < needed)
    return cReason_note(reason, offset,
                        "DL block at 0x%llX: length %llu does not hold the "
                        "sizes of its %llu members",
                        at, static_cast<ull>(h.length),
                        static_cast<ull>(members));
  uint64_t equalLength = 0;
  bool ok = true;
  if (equal) {
    ok = cSerializer_readU64(&s, &equalLength);
  } else {
    try {
      offsets.resize(members);
    } catch (...) {
      return cReason_note(reason, offset, "DL block at 0x%llX: out of memory",
                          at);
    }
    for (uint64_t i = 0; ok && i < members; ++i)
      ok = cSerializer_readU64(&s, &offsets[i]);
  }
  if (!ok)
    return cReason_note(reason, offset,
                        "DL block at 0x%llX: its fields could not be read", at);

  for (uint64_t i = 0; i < members; ++i) {
    const uint64_t link = links[kLinkFirstMember + i];
    if (link == MDF_NO_LINK)
      return cReason_note(reason, offset,
                          "DL block at 0x%llX: member %llu has no link", at,
                          static_cast<ull>(i));
    cMdfBlockRef member = cMdfBlock_loadAtSingle(stream, link, cache);
    if (!member.block) return false;
    const uint32_t type = member.block->type;
    const uint64_t size = cMdfDataStream_memberSize(member.block);
    const uint64_t start = dl->stream.size;
    if (type != MDF_BLOCK_DT && type != MDF_BLOCK_SD && type != MDF_BLOCK_DZ) {
      cMdfBlockRef_drop(&member);
      return cReason_note(reason, offset,
                          "DL block at 0x%llX: member %llu is a %s block, not "
                          "DT, SD or DZ",
                          at, static_cast<ull>(i), cMdfBlockHeader_name(type));
    }
    // Listed twice, its data would be read twice: a small file could
    // stand for any amount of data.
    if (cMdfBlockRef_useCount(member) != 1) {
      cMdfBlockRef_drop(&member);
      ZF_LOGE("Could not parse block at offset %lu",
              static_cast<unsigned long>(link));
      return cReason_note(reason, offset,
                          "DL block at 0x%llX: member %llu (at 0x%llX) is "
                          "listed more than once",
                          at, static_cast<ull>(i), static_cast<ull>(link));
    }
    const char* misfit = nullptr;
    if (equal && sizes->shortSeen)
      misfit = "follows a member shorter than the equal length";
    else if (equal && size > equalLength)
      misfit = "holds more than the equal length";
    else if (!equal && offsets[i] != start)
      misfit = "does not start where the members before it end";
    if (misfit) {
      cMdfBlockRef_drop(&member);
      return cReason_note(reason, offset,
                          "DL block at 0x%llX: member %llu (%llu bytes, "
                          "listed at %llu, equal length %llu) %s",
                          at, static_cast<ull>(i), static_cast<ull>(size),
                          static_cast<ull>(equal ? start : offsets[i]),
                          static_cast<ull>(equalLength), misfit);
    }
    if (equal && size < equalLength) sizes->shortSeen = true;
    if (!cMdfDataStream_append(&dl->stream, member.block)) {
      cMdfBlockRef_drop(&member);
      return cReason_note(reason, offset,
                          "DL block at 0x%llX: out of memory, or more data "
                          "than a stream can address",
                          at);
    }
    if (!cMdfBlockList_pushBack(&dl->members, member))
      return cReason_note(reason, offset, "DL block at 0x%llX: out of memory",
                          at);
  }
  *next = links[kLinkNext];
  return true;
}

}  // namespace

cMdfBlock_DL_t* cMdfBlock_DL_ctor() {
  auto* dl = cMdfBlock_allocate<cMdfBlock_DL_t>(MDF_BLOCK_DL, &kOperations);
  if (dl) cMdfDataStream_init(&dl->stream);
  return dl;
}

bool cMdfBlock_DL_load(cMdfBlock_t* block, cIO* stream, cMdfBlockCache* cache,
                       const cMdfBlockHeader* header, cMdfBlockList*) {
  auto* dl = static_cast<cMdfBlock_DL_t*>(block);
  if (!header || !cache) return false;
  cMdfBlock_copyHeader(block, header);
  // The chain is walked by this loop: however long it is, the stack stays
  // as it is.
  std::unordered_set<uint64_t> seen;
  cMdfBlockHeader h = *header;
  uint64_t offset = block->fileOffset;
  Sizes sizes{false};
  try {
    seen.insert(offset);
  } catch (...) {
    return cMdfBlock_refuse(cache, block, "out of memory");
  }
  for (;;) {
    uint64_t next = MDF_NO_LINK;
    if (!loadList(dl, stream, cache, offset, h, &next, &sizes)) return false;
    if (next == MDF_NO_LINK) return true;
    bool fresh = false;
    try {
      fresh = seen.insert(next).second;
    } catch (...) {
      return cMdfBlock_refuse(cache, block, "out of memory");
    }
    if (!fresh || cache->entries.contains(next)) {
      ZF_LOGE("Could not parse block at offset %lu",
              static_cast<unsigned long>(next));
      return cReason_note(&cache->reason, offset,
                          "DL block at 0x%llX: its next list at 0x%llX is "
                          "linked again (a cycle, or a list another block "
                          "holds)",
                          static_cast<ull>(offset), static_cast<ull>(next));
    }
    if (!cMdfBlock_readHeaderAt(stream, cache, next, &h)) return false;
    if (h.type != MDF_BLOCK_DL)
      return cReason_note(&cache->reason, offset,
                          "DL block at 0x%llX: its next list at 0x%llX is a "
                          "%s block",
                          static_cast<ull>(offset), static_cast<ull>(next),
                          cMdfBlockHeader_name(h.type));
    offset = next;
  }
}

bool cMdfBlock_DL_save(cMdfBlock_t* block, cMdfBlockSaveContext* context,
                       const cMdfBlock_t*) {
  auto* dl = static_cast<cMdfBlock_DL_t*>(block);
  const uint64_t members = cMdfBlockList_size(&dl->members);
  if (members > UINT32_MAX || members != dl->stream.count) return false;
  std::vector<uint64_t> links;
  try {
    links.resize(1 + members);
  } catch (...) {
    return false;
  }
  block->linkCount = 1 + members;
  block->length =
      MDF_BLOCK_HEADER_SIZE + 8 * (1 + members) + kFieldsSize + 8 * members;
  if (!cMdfBlock_reserve(block, context, true)) return false;
  bool ok = true;
  links[kLinkNext] = 0;
  for (uint64_t i = 0; i < members; ++i)
    links[kLinkFirstMember + i] =
        cMdfBlock_saveChild(cMdfBlockList_at(&dl->members, i), context, &ok);
  cSerializer s;
  if (!cMdfBlock_writeHead(block, context, links.data(), 1 + members, &s))
    return false;
  ok = cSerializer_writeU8(&s, 0) && ok;  // offsets form
  ok = cSerializer_writeCsview(&s, "\0\0\0", 3) && ok;
  ok = cSerializer_writeU32(&s, static_cast<uint32_t>(members)) && ok;
  for (uint64_t i = 0; i < members; ++i)
    ok = cSerializer_writeU64(&s, dl->stream.segments[i].start) && ok;
  return cMdfBlock_writeTail(block, &s) && ok;
}

void cMdfBlock_DL_dtor(cMdfBlock_t* block) {
  auto* dl = static_cast<cMdfBlock_DL_t*>(block);
  cMdfDataStream_drop(&dl->stream);
  cMdfBlockList_clear(&dl->members);
}
