// cMdfBlock: what every MF4 block kind has in common.
//
// - cMdfBlock_t, the base record every kind's record begins with, and its
//   per-kind operation table (load, save, dtor, cmp);
// - cMdfBlockRef, the shared handle through which blocks are held;
// - cMdfBlockList, the owning double-ended queue that holds a chain;
// - cMdfBlockCache, the offset-to-handle map of one tree load;
// - cMdfBlockSaveContext, the state of one save pass;
// - the loader, the save pass and the checked casts.
//
// Adding a kind is adding one module: its record (deriving from
// cMdfBlock_t), its operation table, constructor, load, save, dtor and
// casts (MDF_BLOCK_CASTS), plus its one line in constructKind() in
// cMdfBlock.cpp.
//
// Loading. cMdfBlock_loadTree reads the identification block at offset 0
// and the header block at offset 64; every kind's load pulls in what it
// links to, eagerly: single links with cMdfBlock_loadAtSingle, chains with
// cMdfBlock_loadAt. A kind whose link 0 is "next"
// (cMdfBlockHeader_isChained) must load that link with cMdfBlock_loadAt into
// the very list it is itself being loaded for; the list then holds the
// chain in chain order, first member at the front.
//
// Hostile input is bounded:
// - a chain is walked by a loop: the loader first reads the headers of the
//   whole chain, then loads its members from the last to the first, so
//   each member finds its successor already loaded. The last member is
//   still checked first and a failing member stops the load before the
//   ones in front of it are looked at, as with a member-by-member descent,
//   but the stack does not grow with the chain's length;
// - other links nest at most MDF_BLOCK_MAX_DEPTH blocks deep;
// - a link back to a block whose load is in progress (a cycle) fails;
// - a block belongs to one chain at most: a chain link to a block that
//   another chain (or the same one, earlier) holds already fails, so
//   channel compositions cannot share members and expand into more rules
//   than the file has channels;
// - a chain member reached through a single link before its chain's loader
//   got to it (a VLSD channel group in front of the frame group whose
//   channel's data link names it) is loaded there and then, but does not
//   follow its next link: the chain's loader links its successor when it
//   reaches it, so the member after it, whose load may be the one in
//   progress, is not taken for a cycle;
// - a block must hold its links and its kind's fixed fields, and every
//   block but data and signal data blocks must lie inside the stream;
// - a data or signal data block must end before the next block of the tree
//   begins (checked once the tree is loaded): one whose length reaches into
//   another block would hand that block's bytes out as records or values;
// - any failure is sticky for the cache: the whole tree load fails, and no
//   block dropped on the way out is ever handed out again.
// Failures that are not logged by a kind are logged as "Could not parse
// block at offset %lu" only for an unconstructible kind, a cycle, a block
// in a second chain or too deep nesting; short reads and bad sizes fail
// silently.
//
// Reasons. Every failure also notes its reason, where it is detected, in
// the cache's cReason (log/cReason.h): "DG block at 0x1A40: 3 links, needs
// 4". The first reason noted is kept: the blocks that linked to a broken
// one fail after it. The loader notes what it checks (stream size, header,
// length, nesting, cycles, chains); a kind notes its own refusals with
// cMdfBlock_refuse, and a kind's failure without a reason of its own is
// noted by the loader as "<kind> block at 0x...: could not be read".
// cMdfBlock_loadTree hands the reason to its caller.
//
// Saving. A pass gives every reachable block the next free offset when it
// is first reached (a depth-first pre-order of the graph) and writes it
// once; a chain held in a list is written from its last member to its
// first, each member's next link pointing at its successor, so the chain
// keeps its order through a save and a reload.
//
// Destruction. Dropping the last handle of a block runs its kind's dtor and
// frees the record. Blocks released by that dtor are destroyed by a loop,
// not by nested calls, so dropping a deep tree needs no deep stack.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <unordered_map>
#include <unordered_set>

#include "log/cReason.h"
#include "mdf/blocks/cMdfBlockHeader.h"
#include "streams/cIO.h"
#include "streams/cSerializer.h"

// A link of 0 on disk is held as this value: nothing there.
constexpr uint64_t MDF_NO_LINK = UINT64_MAX;
// How deeply loads (and saves) may nest through single links.
constexpr uint32_t MDF_BLOCK_MAX_DEPTH = 64;

struct cMdfBlock_t;
struct cMdfBlockCache;
struct cMdfBlockList;
struct cMdfBlockSaveContext;

// Per-kind operations. An empty slot means "nothing to do / not supported".
struct cMdfBlock_vtable {
  // Fills the block from the stream, which stands just after the block's
  // header (at the start of an identification block). `list` is the block
  // list the block is being loaded into (nullptr for a single link).
  bool (*load)(cMdfBlock_t* block, cIO* stream, cMdfBlockCache* cache,
               const cMdfBlockHeader* header, cMdfBlockList* list);
  // Writes the block and what it links to; `next` is the chain member
  // saved just before it (its next link), nullptr for none.
  bool (*save)(cMdfBlock_t* block, cMdfBlockSaveContext* context,
               const cMdfBlock_t* next);
  // Releases what the block owns, not the record itself.
  void (*dtor)(cMdfBlock_t* block);
  // Orders two blocks of this kind.
  int (*cmp)(const cMdfBlock_t* a, const cMdfBlock_t* b);
};

// Records are allocated zero-filled with calloc and released with free by
// the handle, so a kind's members are plain data whose zero value means
// empty; its dtor releases what they own.
struct cMdfBlock_t : cMdfBlockHeader {
  const cMdfBlock_vtable* vtable;
  uint64_t fileOffset;    // where the block was loaded from, or its offset
                          // in the current save pass
  cMdfBlock_t* dropNext;  // private: destruction queue of cMdfBlockRef_drop
};
using cMdfBlock = cMdfBlock_t;

// ---------------------------------------------------------------------------
// Handles

// A block and its shared count. Both null: the null handle. Handles are
// plain values: copy one with cMdfBlockRef_copy, release it with
// cMdfBlockRef_drop. The count is atomic; the block is not.
struct cMdfBlockRef {
  cMdfBlock_t* block;
  std::atomic<int64_t>* count;
};

// The first handle of a freshly constructed block (count 1). On allocation
// failure the block is destroyed and the null handle returned.
cMdfBlockRef cMdfBlockRef_make(cMdfBlock_t* block);
// A new reference to the same block (the null handle stays null).
cMdfBlockRef cMdfBlockRef_copy(cMdfBlockRef ref);
// Releases *ref and nulls it; the last release destroys the block.
void cMdfBlockRef_drop(cMdfBlockRef* ref);
// How many handles refer to the block; 0 for the null handle.
int64_t cMdfBlockRef_useCount(cMdfBlockRef ref);

// ---------------------------------------------------------------------------
// Block lists

// Owns one reference per element. Zero-filled is empty.
struct cMdfBlockList {
  cMdfBlockRef* items;  // ring buffer of `capacity` slots
  size_t capacity;
  size_t head;  // slot of element 0
  size_t size;
};

// Both take over `ref`: on failure (no memory) they drop it and return
// false.
bool cMdfBlockList_pushFront(cMdfBlockList* list, cMdfBlockRef ref);
bool cMdfBlockList_pushBack(cMdfBlockList* list, cMdfBlockRef ref);
size_t cMdfBlockList_size(const cMdfBlockList* list);
// Element i, borrowed (the list keeps its reference); null when out of
// range.
cMdfBlockRef cMdfBlockList_at(const cMdfBlockList* list, size_t i);
// Drops every element, front to back, and frees the storage.
void cMdfBlockList_clear(cMdfBlockList* list);

// ---------------------------------------------------------------------------
// Loading

// Where the block at an offset stands in one tree load.
enum class cMdfBlockCacheState : uint8_t {
  // A member of a chain whose loader has not reached it yet. A single link
  // that reaches it first loads it early, without its next link: the
  // chain's loader links its successor when it gets there.
  Queued,
  // Its load is in progress: a link back to it is a cycle.
  Loading,
  // A chain member loaded before the member in front of it; that member's
  // next link takes it into the chain's list.
  Ahead,
  // Loaded: single links share it; no chain takes it again.
  Loaded,
};

struct cMdfBlockCacheEntry {
  cMdfBlockRef ref;  // counts no reference of its own
  cMdfBlockCacheState state;
  uint32_t type = MDF_BLOCK_UNKNOWN;  // once loaded: its kind
  uint64_t end = 0;  // once loaded: offset + length as read (saturated)
};

// The offset-to-handle map of one tree load over one stream. It holds no
// references: it only remembers which handle was produced for an offset.
struct cMdfBlockCache {
  std::unordered_map<uint64_t, cMdfBlockCacheEntry> entries;
  uint32_t depth = 0;       // loads in progress, nested
  bool failed = false;      // sticky: a load failed, everything fails now
  int64_t streamSize = -1;  // measured on first need
  cReason reason = {};      // why the load failed: the first reason noted
  // Files of any writer: no tool check, links a reader of frames does not
  // need (attachments, events, channel hierarchies) are passed over, and
  // channel groups decode by the bus-logging conventions of other writers
  // too (cMdfBlock_DG_t::anyWriter).
  bool anyWriter = false;
};

// Reads the header's links at the stream's position into links[0..], a
// link of 0 becoming MDF_NO_LINK. False for a null argument, more links
// than `capacity`, or a short read.
bool cMdfBlock_loadLinks(cIO* stream, const cMdfBlockHeader* header,
                         uint64_t* links, uint64_t capacity);

// The block at `offset`, shared through the cache: a null handle for
// MDF_NO_LINK (nothing logged, nothing failed) and for any failure.
// A single link; the caller owns the result.
cMdfBlockRef cMdfBlock_loadAtSingle(cIO* stream, uint64_t offset,
                                    cMdfBlockCache* cache);
// A chain member into `list`; true exactly when a block resulted. A null
// list loads nothing and gives false: a chain needs a list to live in.
bool cMdfBlock_loadAt(cIO* stream, uint64_t offset, cMdfBlockCache* cache,
                      cMdfBlockList* list);
// The identification block (which holds the header block) of the file in
// `stream`, or the null handle; then *reason (when not null) receives why.
// With `anyWriter` the file may come from any writer (cMdfBlockCache).
cMdfBlockRef cMdfBlock_loadTree(cIO* stream, cReason* reason = nullptr,
                                bool anyWriter = false);

// True when [position, position + size) lies inside the stream; the size
// of the stream is measured once per cache (or every time without one).
// Check this before allocating anything sized by a file field.
bool cMdfBlock_fitsInStream(cIO* stream, cMdfBlockCache* cache,
                            uint64_t position, uint64_t size);

// Reads the header of the block at `offset` and checks it as the loader
// does before it constructs a block (its links and fixed fields fit in its
// length, the block lies inside the stream), without loading the block;
// the stream then stands after the header. False, the reason noted in the
// cache, when it cannot be read or fails a check. For kinds that walk
// chains of their own blocks (a data list and its next lists).
bool cMdfBlock_readHeaderAt(cIO* stream, cMdfBlockCache* cache, uint64_t offset,
                            cMdfBlockHeader* header);

// Helpers for kinds' loads.
// The common start: the header's link count must be n; then the header is
// copied into the block and the n links read into links[]. False (nothing
// logged, the reason noted in the cache) when either fails.
bool cMdfBlock_loadHead(cMdfBlock_t* block, cIO* stream, cMdfBlockCache* cache,
                        const cMdfBlockHeader* header, uint64_t* links,
                        uint64_t n);
// Notes "<kind> block at 0x<offset>: <text>" (text formatted as by printf)
// as the reason of the cache's load, unless it has one, and returns false:
// `return cMdfBlock_refuse(cache, block, "...")` in a kind's load. A null
// cache notes nothing.
bool cMdfBlock_refuse(cMdfBlockCache* cache, const cMdfBlock_t* block,
                      const char* format, ...)
    __attribute__((format(printf, 3, 4)));
// Load a link as a chain into `list`, or as a single link into *into
// (which must be null). True when the link is MDF_NO_LINK or a block
// resulted: false means the linking block fails too.
bool cMdfBlock_loadChainLink(cIO* stream, uint64_t link, cMdfBlockCache* cache,
                             cMdfBlockList* list);
bool cMdfBlock_loadSingleLink(cIO* stream, uint64_t link, cMdfBlockCache* cache,
                              cMdfBlockRef* into);
void cMdfBlock_copyHeader(cMdfBlock_t* block, const cMdfBlockHeader* header);
// A serializer at the block's data section (after its header and links).
cSerializer cMdfBlock_dataSerializer(const cMdfBlock_t* block, cIO* stream);

// ---------------------------------------------------------------------------
// Construction, destruction, comparison

// Zeroes the base, copies type, length and link count from the kind's
// template and sets the operation table.
void cMdfBlock_ctorInPlace(cMdfBlock_t* block, const cMdfBlockHeader* tmpl,
                           const cMdfBlock_vtable* operations);
// A zero-filled record of kind T with its base set up from the template of
// `type`; nullptr when memory runs out.
template <typename T>
T* cMdfBlock_allocate(uint32_t type, const cMdfBlock_vtable* operations) {
  auto* block = static_cast<T*>(calloc(1, sizeof(T)));
  if (block)
    cMdfBlock_ctorInPlace(block, cMdfBlockHeader_template(type), operations);
  return block;
}
// Runs the kind's dtor; never frees the record (the handle does).
void cMdfBlock_dtor(cMdfBlock_t* block);
// 0 for the same block (or both null); 1 if only a is null, -1 if only b
// is; different types by type number; equal types by the kind's cmp, or,
// for kinds without one, by file offset.
int cMdfBlock_cmp(const cMdfBlock_t* a, const cMdfBlock_t* b);

// ---------------------------------------------------------------------------
// Saving

struct cMdfBlockSaveContext {
  cIO* stream = nullptr;  // not owned
  uint64_t nextFree = 0;  // offset the next block reached will get
  std::unordered_set<const cMdfBlock_t*> written;  // blocks done this pass
  uint32_t depth = 0;                              // saves in progress
  bool failed = false;  // sticky: a save failed, nothing more is written
};

// -1 for a null block or context (nothing to write: callers count it as
// success); 1 when the block was written in this pass already or its
// kind's save succeeded; 0 when that save failed. After a failure the pass
// writes nothing more: every later save gives 0, so a block whose offsets
// went wrong cannot send the rest of the tree far out into the output.
int cMdfBlock_save(cMdfBlock_t* block, cMdfBlockSaveContext* context,
                   const cMdfBlock_t* next);
// One whole pass from offset 0 on a fresh context; true on success.
bool cMdfBlock_saveTree(cMdfBlockRef root, cIO* stream);

// Helpers for kinds' saves.
// The block takes the next free offset, which advances past it by its
// length (rounded up to a multiple of 8 when `align8`). False, with nothing
// changed, when the end would lie beyond the largest stream offset.
bool cMdfBlock_reserve(cMdfBlock_t* block, cMdfBlockSaveContext* context,
                       bool align8);
// The file offset of a chain member given as `next`, 0 for none.
uint64_t cMdfBlock_linkTo(const cMdfBlock_t* next);
// Saves a single-link child; its file offset, 0 for the null handle.
// A failed save clears *ok.
uint64_t cMdfBlock_saveChild(cMdfBlockRef child, cMdfBlockSaveContext* context,
                             bool* ok);
// Saves a chain from its last member to its first, each given its
// successor as next; the offset of the first member (the parent's link),
// 0 for an empty list. A failed save clears *ok.
uint64_t cMdfBlock_saveChain(const cMdfBlockList* list,
                             cMdfBlockSaveContext* context, bool* ok);
// Blocks are written after the blocks they link to, which lie behind them,
// so the output may end before a block's offset, and a serializer that
// skips reserved bytes must not skip past the output's end. Extends the
// output to at least `end` (a memory stream with zeros) and seeks to
// `offset`; false when either fails.
bool cMdfBlock_seekToWrite(cIO* stream, uint64_t offset, uint64_t end);
// Seeks to the block's file offset, makes sure the output holds the kind's
// fixed fields (cMdfBlock_seekToWrite) and writes its header and the n links
// (0 for MDF_NO_LINK is the caller's business: pass file offsets); *out is
// then bound just after the links. False without writing anything when n
// differs from the block's link count, false after a failed write.
bool cMdfBlock_writeHead(const cMdfBlock_t* block,
                         cMdfBlockSaveContext* context, const uint64_t* links,
                         uint64_t n, cSerializer* out);
// Writes zeros from the serializer's cursor up to the block's end (file
// offset + length), so a block read with a longer length than its kind's
// fields, or with reserved bytes at its end, is whole in the output. True
// when nothing was missing or every zero was written.
bool cMdfBlock_writeTail(const cMdfBlock_t* block, cSerializer* s);
// Logs "Error during save. Expected to be at %zu but stream is at %zu" and
// returns false when the output does not stand at `expected`.
bool cMdfBlock_checkSavePosition(cMdfBlockSaveContext* context,
                                 uint64_t expected);

// ---------------------------------------------------------------------------
// Checked casts of a kind: cMdfBlock_t_to_cMdfBlock_XX_t(_mut) on a block or
// a handle give the kind's record when the type matches, else nullptr;
// cMdfBlock_XX_t_to_cMdfBlock_t(_mut) view the record as its base.
#define MDF_BLOCK_CASTS(KIND, TYPE)                                       \
  inline const cMdfBlock_##KIND##_t* cMdfBlock_t_to_cMdfBlock_##KIND##_t( \
      const cMdfBlock_t* b) {                                             \
    return b && b->type == (TYPE)                                         \
               ? static_cast<const cMdfBlock_##KIND##_t*>(b)              \
               : nullptr;                                                 \
  }                                                                       \
  inline cMdfBlock_##KIND##_t* cMdfBlock_t_to_cMdfBlock_##KIND##_t_mut(   \
      cMdfBlock_t* b) {                                                   \
    return b && b->type == (TYPE) ? static_cast<cMdfBlock_##KIND##_t*>(b) \
                                  : nullptr;                              \
  }                                                                       \
  inline const cMdfBlock_##KIND##_t* cMdfBlock_t_to_cMdfBlock_##KIND##_t( \
      cMdfBlockRef r) {                                                   \
    return cMdfBlock_t_to_cMdfBlock_##KIND##_t(                           \
        static_cast<const cMdfBlock_t*>(r.block));                        \
  }                                                                       \
  inline cMdfBlock_##KIND##_t* cMdfBlock_t_to_cMdfBlock_##KIND##_t_mut(   \
      cMdfBlockRef r) {                                                   \
    return cMdfBlock_t_to_cMdfBlock_##KIND##_t_mut(r.block);              \
  }                                                                       \
  inline const cMdfBlock_t* cMdfBlock_##KIND##_t_to_cMdfBlock_t(          \
      const cMdfBlock_##KIND##_t* b) {                                    \
    return b;                                                             \
  }                                                                       \
  inline cMdfBlock_t* cMdfBlock_##KIND##_t_to_cMdfBlock_t_mut(            \
      cMdfBlock_##KIND##_t* b) {                                          \
    return b;                                                             \
  }
