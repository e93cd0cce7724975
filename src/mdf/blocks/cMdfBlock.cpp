#include "mdf/blocks/cMdfBlock.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>
#include <vector>

#include "log/zf_log.h"
#include "mdf/blocks/cMdfBlock_CC.h"
#include "mdf/blocks/cMdfBlock_CG.h"
#include "mdf/blocks/cMdfBlock_CN.h"
#include "mdf/blocks/cMdfBlock_DG.h"
#include "mdf/blocks/cMdfBlock_DL.h"
#include "mdf/blocks/cMdfBlock_DT.h"
#include "mdf/blocks/cMdfBlock_DZ.h"
#include "mdf/blocks/cMdfBlock_FH.h"
#include "mdf/blocks/cMdfBlock_HD.h"
#include "mdf/blocks/cMdfBlock_HL.h"
#include "mdf/blocks/cMdfBlock_ID.h"
#include "mdf/blocks/cMdfBlock_MD.h"
#include "mdf/blocks/cMdfBlock_SD.h"
#include "mdf/blocks/cMdfBlock_SI.h"
#include "mdf/blocks/cMdfBlock_TX.h"

namespace {

// The kinds the loader can construct, by type number. Adding a kind is
// adding its line here.
cMdfBlock_t* constructKind(uint32_t type) {
  switch (type) {
    case MDF_BLOCK_ID:
      return cMdfBlock_ID_ctor();
    case MDF_BLOCK_CC:
      return cMdfBlock_CC_ctor();
    case MDF_BLOCK_CG:
      return cMdfBlock_CG_ctor();
    case MDF_BLOCK_CN:
      return cMdfBlock_CN_ctor();
    case MDF_BLOCK_DG:
      return cMdfBlock_DG_ctor();
    case MDF_BLOCK_DT:
      return cMdfBlock_DT_ctor();
    case MDF_BLOCK_FH:
      return cMdfBlock_FH_ctor();
    case MDF_BLOCK_HD:
      return cMdfBlock_HD_ctor();
    case MDF_BLOCK_MD:
      return cMdfBlock_MD_ctor();
    case MDF_BLOCK_SD:
      return cMdfBlock_SD_ctor();
    case MDF_BLOCK_SI:
      return cMdfBlock_SI_ctor();
    case MDF_BLOCK_TX:
      return cMdfBlock_TX_ctor();
    case MDF_BLOCK_DL:
      return cMdfBlock_DL_ctor();
    case MDF_BLOCK_DZ:
      return cMdfBlock_DZ_ctor();
    case MDF_BLOCK_HL:
      return cMdfBlock_HL_ctor();
    default:
      return nullptr;
  }
}

// Blocks whose last handle went, waiting for their dtor. A dtor drops the
// handles it owns, which may queue more blocks; the outermost drop on a
// thread empties the queue in a loop, so destruction never nests.
thread_local cMdfBlock_t* tDropQueue = nullptr;
thread_local bool tDropping = false;

void destroy(cMdfBlock_t* block) {
  block->dropNext = tDropQueue;
  tDropQueue = block;
  if (tDropping) return;
  tDropping = true;
  while (tDropQueue) {
    cMdfBlock_t* next = tDropQueue;
    tDropQueue = next->dropNext;
    cMdfBlock_dtor(next);
    free(next);
  }
  tDropping = false;
}

}  // namespace

// ---------------------------------------------------------------------------
// Handles

cMdfBlockRef cMdfBlockRef_make(cMdfBlock_t* block) {
  if (!block) return {};
  auto* count = new (std::nothrow) std::atomic<int64_t>(1);
  if (!count) {
    destroy(block);
    return {};
  }
  return {block, count};
}

cMdfBlockRef cMdfBlockRef_copy(cMdfBlockRef ref) {
  if (!ref.block || !ref.count) return {};
  ref.count->fetch_add(1, std::memory_order_relaxed);
  return ref;
}

void cMdfBlockRef_drop(cMdfBlockRef* ref) {
  if (!ref) return;
  const cMdfBlockRef old = *ref;
  *ref = {};
  if (!old.block || !old.count) return;
  if (old.count->fetch_sub(1, std::memory_order_acq_rel) == 1) {
    delete old.count;
    destroy(old.block);
  }
}

int64_t cMdfBlockRef_useCount(cMdfBlockRef ref) {
  return ref.count ? ref.count->load(std::memory_order_relaxed) : 0;
}

// ---------------------------------------------------------------------------
// Block lists

namespace {

size_t slot(const cMdfBlockList* list, size_t i) {
  return (list->head + i) % list->capacity;
}

bool makeRoom(cMdfBlockList* list) {
  if (list->size < list->capacity) return true;
  const size_t capacity = list->capacity * 3 / 2 + 4;
  if (capacity > SIZE_MAX / sizeof(cMdfBlockRef)) return false;
  auto* items =
      static_cast<cMdfBlockRef*>(malloc(capacity * sizeof(cMdfBlockRef)));
  if (!items) return false;
  for (size_t i = 0; i < list->size; ++i) items[i] = list->items[slot(list, i)];
  free(list->items);
  list->items = items;
  list->capacity = capacity;
  list->head = 0;
  return true;
}

}  // namespace

bool cMdfBlockList_pushFront(cMdfBlockList* list, cMdfBlockRef ref) {
  if (!list || !makeRoom(list)) {
    cMdfBlockRef_drop(&ref);
    return false;
  }
  list->head = (list->head + list->capacity - 1) % list->capacity;
  list->items[list->head] = ref;
  ++list->size;
  return true;
}

bool cMdfBlockList_pushBack(cMdfBlockList* list, cMdfBlockRef ref) {
  if (!list || !makeRoom(list)) {
    cMdfBlockRef_drop(&ref);
    return false;
  }
  list->items[slot(list, list->size)] = ref;
  ++list->size;
  return true;
}

size_t cMdfBlockList_size(const cMdfBlockList* list) {
  return list ? list->size : 0;
}

cMdfBlockRef cMdfBlockList_at(const cMdfBlockList* list, size_t i) {
  if (!list || i >= list->size) return {};
  return list->items[slot(list, i)];
}

void cMdfBlockList_clear(cMdfBlockList* list) {
  if (!list) return;
  const cMdfBlockList old = *list;
  *list = {};
  for (size_t i = 0; i < old.size; ++i)
    cMdfBlockRef_drop(&old.items[slot(&old, i)]);
  free(old.items);
}

// ---------------------------------------------------------------------------
// Loading

namespace {

// Every failure of a tree load ends it: the cache refuses all further
// requests, so blocks dropped on the way out are never handed out again.
cMdfBlockRef fail(cMdfBlockCache* cache) {
  cache->failed = true;
  return {};
}

using ull = unsigned long long;

// Notes a reason of the load (see cReason_note); the text is formatted as by
// printf.
__attribute__((format(printf, 3, 4))) void note(cMdfBlockCache* cache,
                                                uint64_t offset,
                                                const char* format, ...) {
  char text[sizeof cache->reason.text];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  cReason_note(&cache->reason, offset, "%s", text);
}

cMdfBlockRef failOutOfMemory(cMdfBlockCache* cache, uint64_t offset) {
  note(cache, offset, "block at 0x%llX: out of memory",
       static_cast<ull>(offset));
  return fail(cache);
}

cMdfBlockRef failLogged(cMdfBlockCache* cache, uint64_t offset) {
  ZF_LOGE("Could not parse block at offset %lu",
          static_cast<unsigned long>(offset));
  return fail(cache);
}

// Enters an offset the cache does not know yet.
bool mark(cMdfBlockCache* cache, uint64_t offset, cMdfBlockCacheState state) {
  try {
    return cache->entries.emplace(offset, cMdfBlockCacheEntry{{}, state})
        .second;
  } catch (...) {
    return false;
  }
}

// The entry of an offset the cache knows.
cMdfBlockCacheEntry& entryOf(cMdfBlockCache* cache, uint64_t offset) {
  return cache->entries.find(offset)->second;
}

// The list a block gets for its load when a single link reached it ahead
// of its chain's loader: its next link is left to that loader. Never holds
// anything: cMdfBlock_loadAt returns before a push.
cMdfBlockList leftToTheChain = {};

bool appendOffset(std::vector<uint64_t>* offsets, uint64_t offset) {
  try {
    offsets->push_back(offset);
    return true;
  } catch (...) {
    return false;
  }
}

int64_t streamSize(cIO* stream, cMdfBlockCache* cache) {
  if (!cache) return cIO_getSize(stream);
  if (cache->streamSize < 0) cache->streamSize = cIO_getSize(stream);
  return cache->streamSize;
}

// What every block must satisfy before anything is constructed for it: its
// links and its kind's fixed fields lie inside its length, and it lies
// inside the stream. Data and signal data blocks are exempt from the last
// rule: their content is never read into memory, and the last one of an
// unfinalized file may claim more than was written. A failed rule is noted
// in *reason (when not null).
bool plausible(cIO* stream, cMdfBlockCache* cache, uint64_t offset,
               const cMdfBlockHeader& header, cReason* reason) {
  const cMdfBlockHeader* tmpl = cMdfBlockHeader_template(header.type);
  if (!tmpl) return false;
  const char* kind = cMdfBlockHeader_name(header.type);
  if (header.length < tmpl->length)
    return cReason_note(reason, offset,
                        "%s block at 0x%llX: length %llu, shorter than the "
                        "%llu bytes of its kind",
                        kind, static_cast<ull>(offset),
                        static_cast<ull>(header.length),
                        static_cast<ull>(tmpl->length));
  if (header.linkCount > (header.length - MDF_BLOCK_HEADER_SIZE) / 8)
    return cReason_note(reason, offset,
                        "%s block at 0x%llX: %llu links do not fit in its "
                        "length %llu",
                        kind, static_cast<ull>(offset),
                        static_cast<ull>(header.linkCount),
                        static_cast<ull>(header.length));
  if (header.type == MDF_BLOCK_DT || header.type == MDF_BLOCK_SD) return true;
  if (!cMdfBlock_fitsInStream(stream, cache, offset, header.length))
    return cReason_note(reason, offset,
                        "%s block at 0x%llX: length %llu runs past the end of "
                        "the file (%lld bytes)",
                        kind, static_cast<ull>(offset),
                        static_cast<ull>(header.length),
                        static_cast<long long>(streamSize(stream, cache)));
  return true;
}

// Reads the header of the block at `offset`, noting why it cannot be read:
// an offset at or beyond the end of the stream, a failed seek, a short read
// or an unknown block id.
bool readHeader(cIO* stream, cMdfBlockCache* cache, uint64_t offset,
                cMdfBlockHeader* header) {
  const int64_t size = streamSize(stream, cache);
  if (size >= 0 && offset >= static_cast<uint64_t>(size)) {
    note(cache, offset,
         "block at 0x%llX: beyond the end of the file (%lld bytes)",
         static_cast<ull>(offset), static_cast<long long>(size));
    return false;
  }
  if (!cIO_seekTo(stream, offset)) {
    note(cache, offset, "block at 0x%llX: the file cannot be sought there",
         static_cast<ull>(offset));
    return false;
  }
  return cMdfBlockHeader_read(stream, header, &cache->reason);
}

// Loads the block at `offset`, whose cache entry is already marked as
// loading, and records it in the cache as loaded. The kind's load gets
// `list`.
cMdfBlockRef loadOne(cIO* stream, uint64_t offset, cMdfBlockCache* cache,
                     cMdfBlockList* list) {
  if (cache->depth >= MDF_BLOCK_MAX_DEPTH) {
    note(cache, offset,
         "block at 0x%llX: links nest deeper than MDF_BLOCK_MAX_DEPTH (%u)",
         static_cast<ull>(offset), MDF_BLOCK_MAX_DEPTH);
    return failLogged(cache, offset);
  }
  cMdfBlockHeader header;
  if (!readHeader(stream, cache, offset, &header) ||
      !plausible(stream, cache, offset, header, &cache->reason))
    return fail(cache);
  cMdfBlockRef ref = cMdfBlockRef_make(constructKind(header.type));
  if (!ref.block) {
    note(cache, offset, "%s block at 0x%llX: out of memory",
         cMdfBlockHeader_name(header.type), static_cast<ull>(offset));
    return failLogged(cache, offset);
  }
  ref.block->fileOffset = offset;
  // The kind expects the stream just after the header (at the start of an
  // identification block).
  const uint64_t start =
      header.type == MDF_BLOCK_ID ? offset : offset + MDF_BLOCK_HEADER_SIZE;
  ++cache->depth;
  const bool ok =
      cIO_seekTo(stream, start) && ref.block->vtable->load &&
      ref.block->vtable->load(ref.block, stream, cache, &header, list);
  --cache->depth;
  if (!ok) {
    // A kind that failed without saying why (a read error of its fields, no
    // memory); a failing link has noted its own reason already.
    cMdfBlock_refuse(cache, ref.block, "could not be read");
    cMdfBlockRef_drop(&ref);
    return fail(cache);
  }
  auto entry = cache->entries.find(offset);
  if (entry == cache->entries.end()) {
    cMdfBlockRef_drop(&ref);
    return fail(cache);
  }
  const uint64_t end = offset + header.length;
  entry->second = {ref, cMdfBlockCacheState::Loaded, header.type,
                   end < offset ? UINT64_MAX : end};
  return ref;
}

// Reads the header and links of the block at `offset`. 1 with its link 0 in
// *next when it is a chain member whose own load will follow that link;
// 0 when a chain walk stops here; -1 when its header cannot be read (the
// block's load would fail the same way).
int peekNext(cIO* stream, cMdfBlockCache* cache, uint64_t offset,
             uint64_t* next) {
  cMdfBlockHeader header;
  if (!readHeader(stream, cache, offset, &header)) return -1;
  const cMdfBlockHeader* tmpl = cMdfBlockHeader_template(header.type);
  uint64_t links[8];
  if (!cMdfBlockHeader_isChained(header.type) ||
      header.linkCount != tmpl->linkCount ||
      !plausible(stream, cache, offset, header, nullptr) ||
      !cMdfBlock_loadLinks(stream, &header, links, 8))
    return 0;
  *next = links[0];
  return 1;
}

// Appends the members after the first one (already in *members) of the
// chain that starts there, in chain order, queueing each, and leaves in
// *last the next link of the last member. The walk ends at no link, at a
// block that is not a chain member, or at an offset the cache knows (the
// last member's next link then meets it as a chain link: a cycle, or a
// block some chain holds already, and fails).
bool walkChain(cIO* stream, cMdfBlockCache* cache,
               std::vector<uint64_t>* members, uint64_t* last) {
  uint64_t next = MDF_NO_LINK;
  int more = peekNext(stream, cache, members->back(), &next);
  while (more > 0 && next != MDF_NO_LINK && !cache->entries.contains(next)) {
    if (!mark(cache, next, cMdfBlockCacheState::Queued) ||
        !appendOffset(members, next)) {
      failOutOfMemory(cache, next);
      return false;
    }
    more = peekNext(stream, cache, next, &next);
  }
  *last = more > 0 ? next : MDF_NO_LINK;
  return more >= 0;
}

// Gives up the loader's own reference to a chain member loaded ahead of
// its predecessor. The predecessor took it into the list; should it not
// have, the block goes and so does its cache entry.
void releaseAhead(cMdfBlockCache* cache, cMdfBlockRef* ahead) {
  if (!ahead->block) return;
  if (cMdfBlockRef_useCount(*ahead) == 1)
    cache->entries.erase(ahead->block->fileOffset);
  cMdfBlockRef_drop(ahead);
}

// A chain link (into `list`) to a block the cache knows: only the member
// its chain's loader loaded ahead may be taken, once.
cMdfBlockRef takeIntoChain(cMdfBlockCache* cache, uint64_t offset,
                           cMdfBlockList* list) {
  cMdfBlockCacheEntry& entry = entryOf(cache, offset);
  if (entry.state == cMdfBlockCacheState::Loading) {
    note(cache, offset,
         "block at 0x%llX: linked again while it loads (a cycle)",
         static_cast<ull>(offset));
    return failLogged(cache, offset);
  }
  if (entry.state != cMdfBlockCacheState::Ahead) {
    note(cache, offset,
         "block at 0x%llX: linked as a chain member a second time (a cycle, "
         "or a block that two chains share)",
         static_cast<ull>(offset));
    return failLogged(cache, offset);
  }
  entry.state = cMdfBlockCacheState::Loaded;
  cMdfBlockRef ref = cMdfBlockRef_copy(entry.ref);
  if (!cMdfBlockList_pushFront(list, ref))
    return failOutOfMemory(cache, offset);
  return ref;
}

// A single link to a block the cache knows: shared when loaded; a queued
// chain member is loaded now, its next link left to its chain's loader.
cMdfBlockRef shareOrLoadEarly(cIO* stream, cMdfBlockCache* cache,
                              uint64_t offset) {
  cMdfBlockCacheEntry& entry = entryOf(cache, offset);
  switch (entry.state) {
    case cMdfBlockCacheState::Loaded:
    case cMdfBlockCacheState::Ahead:
      return cMdfBlockRef_copy(entry.ref);
    case cMdfBlockCacheState::Queued:
      entry.state = cMdfBlockCacheState::Loading;
      return loadOne(stream, offset, cache, &leftToTheChain);
    case cMdfBlockCacheState::Loading:
      break;
  }
  note(cache, offset, "block at 0x%llX: linked again while it loads (a cycle)",
       static_cast<ull>(offset));
  return failLogged(cache, offset);
}

// Loads the chain that starts at `first` (queued) into `list`: its members
// from the last to the first, each finding its successor in the cache, and
// pushes the first member to the list's front. A member that a single link
// loaded early has its successor linked here instead. `ahead` keeps the
// member loaded last alive until its predecessor has taken it.
cMdfBlockRef loadChain(cIO* stream, cMdfBlockCache* cache, uint64_t first,
                       cMdfBlockList* list) {
  std::vector<uint64_t> members;
  uint64_t last = MDF_NO_LINK;
  if (!appendOffset(&members, first)) return failOutOfMemory(cache, first);
  if (!walkChain(stream, cache, &members, &last)) return fail(cache);
  cMdfBlockRef ahead = {};
  for (size_t i = members.size(); i-- > 0;) {
    cMdfBlockCacheEntry& entry = entryOf(cache, members[i]);
    cMdfBlockRef ref = {};
    if (entry.state == cMdfBlockCacheState::Queued) {
      entry.state = cMdfBlockCacheState::Loading;
      ref = loadOne(stream, members[i], cache, list);
    } else if (entry.state == cMdfBlockCacheState::Loaded) {
      // Loaded early through a single link.
      ref = cMdfBlockRef_copy(entry.ref);
      const bool linked =
          ahead.block
              ? takeIntoChain(cache, members[i + 1], list).block != nullptr
              : cMdfBlock_loadChainLink(stream, last, cache, list);
      if (!linked) cMdfBlockRef_drop(&ref);
    }
    releaseAhead(cache, &ahead);
    if (!ref.block) return fail(cache);
    entryOf(cache, members[i]).state =
        i > 0 ? cMdfBlockCacheState::Ahead : cMdfBlockCacheState::Loaded;
    ahead = ref;
  }
  // The loader's reference to the first member goes to the list.
  if (!cMdfBlockList_pushFront(list, ahead))
    return failOutOfMemory(cache, first);
  return ahead;
}

// True when the list holds its i-th member again further on.
bool listedAfter(const cMdfBlockList* list, size_t i) {
  for (size_t j = i + 1; j < cMdfBlockList_size(list); ++j) {
    if (cMdfBlockList_at(list, j).block == cMdfBlockList_at(list, i).block)
      return true;
  }
  return false;
}

// The block at `offset`, shared through the cache: a null handle for
// MDF_NO_LINK (nothing logged, nothing failed) and for any failure. With a
// list, the new reference is pushed to its front (and also returned,
// borrowed); without one, it belongs to the caller.
cMdfBlockRef loadAtCommon(cIO* stream, uint64_t offset, cMdfBlockCache* cache,
                          cMdfBlockList* list) {
  if (offset == MDF_NO_LINK || !stream || !cache || cache->failed) return {};
  if (cache->entries.contains(offset))
    return list ? takeIntoChain(cache, offset, list)
                : shareOrLoadEarly(stream, cache, offset);
  if (streamSize(stream, cache) < 0) {
    note(cache, kReasonNoOffset, "the size of the file cannot be measured");
    return fail(cache);
  }
  if (list) {
    if (!mark(cache, offset, cMdfBlockCacheState::Queued))
      return failOutOfMemory(cache, offset);
    return loadChain(stream, cache, offset, list);
  }
  if (!mark(cache, offset, cMdfBlockCacheState::Loading))
    return failOutOfMemory(cache, offset);
  return loadOne(stream, offset, cache, nullptr);
}

}  // namespace

bool cMdfBlock_loadLinks(cIO* stream, const cMdfBlockHeader* header,
                         uint64_t* links, uint64_t capacity) {
  if (!stream || !header || !links || header->linkCount > capacity)
    return false;
  cSerializer s;
  cSerializer_ctor(&s, stream);
  for (uint64_t i = 0; i < header->linkCount; ++i) {
    uint64_t link;
    if (!cSerializer_readU64(&s, &link)) return false;
    links[i] = link == 0 ? MDF_NO_LINK : link;
  }
  return true;
}

cMdfBlockRef cMdfBlock_loadAtSingle(cIO* stream, uint64_t offset,
                                    cMdfBlockCache* cache) {
  return loadAtCommon(stream, offset, cache, nullptr);
}

bool cMdfBlock_loadAt(cIO* stream, uint64_t offset, cMdfBlockCache* cache,
                      cMdfBlockList* list) {
  if (!list) return false;
  if (list == &leftToTheChain) return true;
  return loadAtCommon(stream, offset, cache, list).block != nullptr;
}

namespace {

// Data and signal data blocks are read by their length, which no other
// rule bounds by the blocks around them (the last one of an unfinalized
// file may claim more than the stream holds): one that reaches into the
// next block of the tree is refused, so that a damaged length cannot turn
// another block's bytes into records.
bool dataBlocksApart(cMdfBlockCache* cache) {
  std::vector<std::pair<uint64_t, const cMdfBlockCacheEntry*>> blocks;
  try {
    blocks.reserve(cache->entries.size());
  } catch (...) {
    note(cache, kReasonNoOffset, "out of memory");
    return false;
  }
  for (const auto& [offset, entry] : cache->entries)
    if (entry.state == cMdfBlockCacheState::Loaded)
      blocks.emplace_back(offset, &entry);
  std::sort(blocks.begin(), blocks.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  for (size_t i = 0; i + 1 < blocks.size(); ++i) {
    const cMdfBlockCacheEntry& entry = *blocks[i].second;
    if (entry.type != MDF_BLOCK_DT && entry.type != MDF_BLOCK_SD &&
        entry.type != MDF_BLOCK_DZ)
      continue;
    const auto& [next, nextEntry] = blocks[i + 1];
    if (entry.end <= next) continue;
    note(cache, blocks[i].first,
         "%s block at 0x%llX: length %llu reaches into the %s block at "
         "0x%llX",
         cMdfBlockHeader_name(entry.type), static_cast<ull>(blocks[i].first),
         static_cast<ull>(entry.end - blocks[i].first),
         cMdfBlockHeader_name(nextEntry->type), static_cast<ull>(next));
    return false;
  }
  return true;
}

cMdfBlockRef loadTree(cIO* stream, cMdfBlockCache* cache) {
  cMdfBlockRef root = cMdfBlock_loadAtSingle(stream, 0, cache);
  cMdfBlock_ID_t* id = cMdfBlock_t_to_cMdfBlock_ID_t_mut(root);
  if (!id) {
    if (root.block) {
      cMdfBlock_refuse(cache, root.block,
                       "the file must start with an identification block");
      failLogged(cache, 0);
    }
    cMdfBlockRef_drop(&root);
    return {};
  }
  cMdfBlockRef header = cMdfBlock_loadAtSingle(stream, 64, cache);
  if (!cMdfBlock_t_to_cMdfBlock_HD_t(header)) {
    if (header.block) {
      cMdfBlock_refuse(cache, header.block,
                       "the header block (HD) must follow the identification "
                       "block");
      failLogged(cache, 64);
    }
    cMdfBlockRef_drop(&header);
    cMdfBlockRef_drop(&root);
    return {};
  }
  id->header = header;
  if (!dataBlocksApart(cache)) {
    cMdfBlockRef_drop(&root);
    return {};
  }
  return root;
}

}  // namespace

cMdfBlockRef cMdfBlock_loadTree(cIO* stream, cReason* reason, bool anyWriter) {
  cMdfBlockCache cache;
  cache.anyWriter = anyWriter;
  cMdfBlockRef root = {};
  if (!stream)
    note(&cache, kReasonNoOffset, "no stream to read");
  else
    root = loadTree(stream, &cache);
  if (!root.block && reason && !reason->set) {
    // Every failure notes a reason; this one is for safety's sake.
    note(&cache, kReasonNoOffset, "the file could not be loaded");
    *reason = cache.reason;
  }
  return root;
}

bool cMdfBlock_loadChainLink(cIO* stream, uint64_t link, cMdfBlockCache* cache,
                             cMdfBlockList* list) {
  return link == MDF_NO_LINK || cMdfBlock_loadAt(stream, link, cache, list);
}

bool cMdfBlock_loadSingleLink(cIO* stream, uint64_t link, cMdfBlockCache* cache,
                              cMdfBlockRef* into) {
  *into = cMdfBlock_loadAtSingle(stream, link, cache);
  return link == MDF_NO_LINK || into->block;
}

bool cMdfBlock_readHeaderAt(cIO* stream, cMdfBlockCache* cache, uint64_t offset,
                            cMdfBlockHeader* header) {
  if (!stream || !cache || !header) return false;
  return readHeader(stream, cache, offset, header) &&
         plausible(stream, cache, offset, *header, &cache->reason);
}

bool cMdfBlock_fitsInStream(cIO* stream, cMdfBlockCache* cache,
                            uint64_t position, uint64_t size) {
  if (!stream) return false;
  const int64_t total = streamSize(stream, cache);
  if (total < 0) return false;
  const auto end = static_cast<uint64_t>(total);
  return position <= end && size <= end - position;
}

bool cMdfBlock_loadHead(cMdfBlock_t* block, cIO* stream, cMdfBlockCache* cache,
                        const cMdfBlockHeader* header, uint64_t* links,
                        uint64_t n) {
  if (header->linkCount != n)
    return cMdfBlock_refuse(cache, block, "%llu links, needs %llu",
                            static_cast<ull>(header->linkCount),
                            static_cast<ull>(n));
  cMdfBlock_copyHeader(block, header);
  if (!cMdfBlock_loadLinks(stream, header, links, n))
    return cMdfBlock_refuse(cache, block, "its links could not be read");
  return true;
}

bool cMdfBlock_refuse(cMdfBlockCache* cache, const cMdfBlock_t* block,
                      const char* format, ...) {
  if (!cache || !block || cache->reason.set) return false;
  char text[sizeof cache->reason.text];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  return cReason_note(&cache->reason, block->fileOffset,
                      "%s block at 0x%llX: %s",
                      cMdfBlockHeader_name(block->type),
                      static_cast<ull>(block->fileOffset), text);
}

void cMdfBlock_copyHeader(cMdfBlock_t* block, const cMdfBlockHeader* header) {
  block->type = header->type;
  block->length = header->length;
  block->linkCount = header->linkCount;
}

cSerializer cMdfBlock_dataSerializer(const cMdfBlock_t* block, cIO* stream) {
  const uint64_t start =
      block->fileOffset + MDF_BLOCK_HEADER_SIZE + 8 * block->linkCount;
  return cSerializer{stream, static_cast<int64_t>(start), 0};
}

// ---------------------------------------------------------------------------
// Construction, destruction, comparison

void cMdfBlock_ctorInPlace(cMdfBlock_t* block, const cMdfBlockHeader* tmpl,
                           const cMdfBlock_vtable* operations) {
  if (!block) return;
  memset(static_cast<void*>(block), 0, sizeof(cMdfBlock_t));
  if (tmpl) {
    block->type = tmpl->type;
    block->length = tmpl->length;
    block->linkCount = tmpl->linkCount;
  }
  block->vtable = operations;
}

void cMdfBlock_dtor(cMdfBlock_t* block) {
  if (block && block->vtable && block->vtable->dtor) block->vtable->dtor(block);
}

int cMdfBlock_cmp(const cMdfBlock_t* a, const cMdfBlock_t* b) {
  if (a == b) return 0;
  if (!a) return 1;
  if (!b) return -1;
  if (a->type != b->type) return a->type < b->type ? -1 : 1;
  if (a->vtable && a->vtable->cmp) return a->vtable->cmp(a, b);
  if (a->fileOffset != b->fileOffset)
    return a->fileOffset < b->fileOffset ? -1 : 1;
  return 0;
}

// ---------------------------------------------------------------------------
// Saving

int cMdfBlock_save(cMdfBlock_t* block, cMdfBlockSaveContext* context,
                   const cMdfBlock_t* next) {
  if (!block || !context) return -1;
  if (context->failed) return 0;
  if (context->written.contains(block)) return 1;
  ++context->depth;
  const bool ok = block->vtable && block->vtable->save &&
                  context->depth <= MDF_BLOCK_MAX_DEPTH &&
                  block->vtable->save(block, context, next);
  --context->depth;
  if (!ok) {
    context->failed = true;
    return 0;
  }
  try {
    context->written.insert(block);
  } catch (...) {
    // Not remembered: reached again, the block is written again.
  }
  return 1;
}

bool cMdfBlock_saveTree(cMdfBlockRef root, cIO* stream) {
  if (!root.block || !stream) return false;
  cMdfBlockSaveContext context;
  context.stream = stream;
  return cMdfBlock_save(root.block, &context, nullptr) == 1;
}

bool cMdfBlock_reserve(cMdfBlock_t* block, cMdfBlockSaveContext* context,
                       bool align8) {
  const uint64_t start = context->nextFree;
  uint64_t end = start + block->length;
  if (end < start || end > static_cast<uint64_t>(INT64_MAX)) return false;
  if (align8) end = (end + 7) & ~uint64_t{7};
  block->fileOffset = start;
  context->nextFree = end;
  return true;
}

uint64_t cMdfBlock_linkTo(const cMdfBlock_t* next) {
  return next ? next->fileOffset : 0;
}

uint64_t cMdfBlock_saveChild(cMdfBlockRef child, cMdfBlockSaveContext* context,
                             bool* ok) {
  if (!child.block) return 0;
  if (cMdfBlock_save(child.block, context, nullptr) == 0) *ok = false;
  return child.block->fileOffset;
}

uint64_t cMdfBlock_saveChain(const cMdfBlockList* list,
                             cMdfBlockSaveContext* context, bool* ok) {
  // Members are written from the last to the first, each given the one
  // written before it (its successor in the list) as next, so the chain on
  // disk runs in list order and a reload gives the same list.
  //
  // A member may have been written already through another link (a VLSD
  // channel group is also the data link target of a channel of the group
  // before it); its save is then a no-op, so its next link, written as
  // none at that time, is patched here.
  const cMdfBlock_t* next = nullptr;
  for (size_t i = cMdfBlockList_size(list); i-- > 0;) {
    cMdfBlock_t* member = cMdfBlockList_at(list, i).block;
    const bool reached =
        member && context->written.contains(member) && !listedAfter(list, i);
    if (cMdfBlock_save(member, context, next) == 0) {
      *ok = false;
    } else if (reached) {
      cSerializer s{
          context->stream,
          static_cast<int64_t>(member->fileOffset + MDF_BLOCK_HEADER_SIZE), 0};
      *ok = cSerializer_writeU64(&s, cMdfBlock_linkTo(next)) && *ok;
    }
    next = member;
  }
  return cMdfBlock_linkTo(next);
}

bool cMdfBlock_seekToWrite(cIO* stream, uint64_t offset, uint64_t end) {
  if (!stream || end < offset || end > static_cast<uint64_t>(INT64_MAX))
    return false;
  const int64_t size = cIO_seek(stream, 0, CIO_SEEK_END);
  if (size < 0) return false;
  const auto target = static_cast<int64_t>(end);
  if (size < target && cIO_seek(stream, target - size, CIO_SEEK_END) != target)
    return false;
  return cIO_seekTo(stream, offset);
}

bool cMdfBlock_writeHead(const cMdfBlock_t* block,
                         cMdfBlockSaveContext* context, const uint64_t* links,
                         uint64_t n, cSerializer* out) {
  // The kind's fixed fields may skip bytes; they must lie inside the
  // output.
  const cMdfBlockHeader* tmpl = cMdfBlockHeader_template(block->type);
  const uint64_t fixed =
      tmpl && tmpl->length < block->length ? tmpl->length : block->length;
  if (n != block->linkCount ||
      !cMdfBlock_seekToWrite(context->stream, block->fileOffset,
                             block->fileOffset + fixed) ||
      !cMdfBlockHeader_save(block, context->stream))
    return false;
  cSerializer_ctor(out, context->stream);
  bool ok = true;
  for (uint64_t i = 0; i < n; ++i)
    ok = cSerializer_writeU64(out, links[i]) && ok;
  return ok;
}

bool cMdfBlock_writeTail(const cMdfBlock_t* block, cSerializer* s) {
  static const char kZeros[512] = {};
  const uint64_t at = static_cast<uint64_t>(s->base) + s->offset;
  const uint64_t end = block->fileOffset + block->length;
  bool ok = true;
  for (uint64_t left = end > at ? end - at : 0; ok && left > 0;) {
    const uint64_t n = left < sizeof kZeros ? left : sizeof kZeros;
    ok = cSerializer_writeCsview(s, kZeros, n);
    left -= n;
  }
  return ok;
}

bool cMdfBlock_checkSavePosition(cMdfBlockSaveContext* context,
                                 uint64_t expected) {
  const int64_t at = cIO_tell(context->stream);
  if (at >= 0 && static_cast<uint64_t>(at) == expected) return true;
  ZF_LOGE("Error during save. Expected to be at %zu but stream is at %zu",
          static_cast<size_t>(expected), static_cast<size_t>(at));
  return false;
}
