#include "mdf/cMdfFinalize.h"

#include <memory>
#include <unordered_map>
#include <utility>
#include <vector>

#include "mdf/blocks/cMdfBlock_CG.h"
#include "mdf/blocks/cMdfBlock_CN.h"
#include "mdf/blocks/cMdfBlock_DG.h"
#include "mdf/blocks/cMdfBlock_DT.h"
#include "mdf/blocks/cMdfBlock_HD.h"
#include "mdf/blocks/cMdfBlock_ID.h"
#include "mdf/blocks/cMdfBlock_SD.h"
#include "mdf/cIterator_dgRaw.h"
#include "streams/cCoding.h"
#include "streams/cIO_memoryAlloc.h"

namespace {

constexpr uint16_t kSettledFlags =
    kMdfUnfinalizedCycleCounts | kMdfUnfinalizedVlsdBytes;

// Calls visit(c) for `channel` and then, depth-first in pre-order, for
// every member of its composition, and returns the first channel for
// which visit returns true (nullptr when there is none). Composition trees
// come from the file, so they are walked with a stack of our own, not by
// recursion. May throw std::bad_alloc.
template <typename Visit>
cMdfBlock_CN_t* walkChannels(cMdfBlock_CN_t* channel, Visit&& visit) {
  if (!channel) return nullptr;
  if (visit(channel)) return channel;
  struct Level {
    const cMdfBlockList* members;
    size_t next;  // index of the member to visit next
  };
  std::vector<Level> stack{{&channel->composition, 0}};
  while (!stack.empty()) {
    Level& level = stack.back();
    if (level.next >= cMdfBlockList_size(level.members)) {
      stack.pop_back();
      continue;
    }
    cMdfBlock_CN_t* member = cMdfBlock_t_to_cMdfBlock_CN_t_mut(
        cMdfBlockList_at(level.members, level.next++));
    if (!member) continue;
    if (visit(member)) return member;
    stack.push_back({&member->composition, 0});
  }
  return nullptr;
}

struct CloseIO {
  void operator()(cIO* io) const { cIO_close(io); }
};
using Stream = std::unique_ptr<cIO, CloseIO>;

struct DestroyIterator {
  void operator()(cIterator* it) const { cIterator_dtor(it); }
};

bool writeAll(cIO* io, const void* bytes, uint64_t n) {
  return n == 0 || cIO_write(io, bytes, n) == static_cast<int64_t>(n);
}

// A channel whose data link is to become a signal data block.
struct Relink {
  cMdfBlock_CN_t* channel;
  cMdfBlockRef signalData;  // borrowed from Plan::signalData
  cMdfBlockRef former{};    // the channel's link while it is being changed
};

// The counts a channel group is to get.
struct Count {
  cMdfBlock_CG_t* group;
  uint64_t cycles;
  bool vlsd;           // also set the byte count of a VLSD channel group
  uint64_t vlsdBytes;  // data bytes, and invalidation bytes as high part
  // The group's counts while they are being changed.
  uint64_t formerCycles = 0;
  uint32_t formerDataBytes = 0, formerInvalidationBytes = 0;
};

// The rules a channel group had while its new data group's record map is
// built.
struct FormerRules {
  cMdfBlock_CG_t* group;
  cMdfDecodeRuleArray rules;
};

// Everything a run changes, prepared completely before anything is
// changed: a run that fails on the way leaves the file as it was, and
// whatever it made is released with the plan.
struct Plan {
  cMdfBlockList dataGroups{};  // the header's new list, being built
  cMdfBlockList created{};     // new data groups, in creation order
  cMdfBlockList signalData{};  // signal data blocks made
  std::vector<Relink> relinks;
  std::vector<Count> counts;
  std::vector<FormerRules> formerRules;  // room reserved before the commit

  Plan() = default;
  Plan(const Plan&) = delete;
  Plan& operator=(const Plan&) = delete;
  ~Plan() {
    cMdfBlockList_clear(&dataGroups);
    cMdfBlockList_clear(&created);
    cMdfBlockList_clear(&signalData);
  }
};

// Why a run stops: its result, and where a refusal's reason goes. A step
// that fails without saying otherwise ran out of memory (the only other
// failures, refusals and reads, say so).
struct Outcome {
  int result = kMdfFinalizeNoMemory;
  cReason* reason;
};

// Marks the run as refused; returns where its reason goes.
cReason* refused(Outcome* outcome) {
  outcome->result = kMdfFinalizeRefused;
  return outcome->reason;
}

// What becomes of one channel group of an unsorted data group.
enum class Role {
  kFixed,       // fixed-length records: a sorted data group of its own
  kSignalData,  // VLSD values a channel refers to: a signal data block
  kOwnGroup,    // VLSD values no channel refers to: kept, with their ids,
                // in a data group of their own
};

struct Member {
  cMdfBlockRef group;  // borrowed from the data group's list
  Role role;
  Stream records;             // the group's records, as they are to be kept
  uint64_t count = 0;         // records copied
  uint64_t recordBytes = 0;   // their bytes, without ids
  cMdfBlockRef signalData{};  // kSignalData: the block made, borrowed
};

// A sorted group keeps its data; with outdated cycle counts its count is
// taken from the size of its data block. Groups of VLSD values and groups
// of records of no bytes cannot be counted that way and keep theirs.
void planSortedCount(cMdfBlock_DG_t* dg, Plan* plan) {
  auto* cg = cMdfBlock_t_to_cMdfBlock_CG_t_mut(
      cMdfBlockList_at(&dg->channelGroups, 0));
  if (!cg || cMdfBlock_CG_isVLSD(cg)) return;
  const uint64_t recordSize =
      uint64_t{cg->dataBytes} + uint64_t{cg->invalidationBytes};
  if (recordSize == 0) return;
  uint64_t size = 0;
  if (dg->data.block) {
    const cMdfBlock_DT_t* dt = cMdfBlock_t_to_cMdfBlock_DT_t(dg->data);
    if (!dt) return;
    size = cMdfBlockHeader_getDataSize(dt);
  }
  plan->counts.push_back({cg, size / recordSize, false, 0});
}

// A data block (or, for kSignalData, a signal data block) that takes over
// the member's records.
cMdfBlockRef blockOf(Member* m) {
  cIO* records = m->records.get();
  cMdfBlock_t* block = nullptr;
  if (m->role == Role::kSignalData) {
    block = cMdfBlock_SD_ctor_fromIO(records);
  } else {
    block = cMdfBlock_DT_ctor_fromIO(records);
  }
  if (!block) return {};
  m->records.release();  // the block closes it now
  return cMdfBlockRef_make(block);
}

// A new data group holding the member's channel group and records.
bool planOwnGroup(Member* m, uint8_t recordIdSize, Plan* plan) {
  cMdfBlockRef data = blockOf(m);
  if (!data.block) return false;
  cMdfBlock_DG_t* dg = cMdfBlock_DG_ctor();
  cMdfBlockRef ref = dg ? cMdfBlockRef_make(dg) : cMdfBlockRef{};
  if (!ref.block || !cMdfBlockList_pushBack(&plan->created, ref)) {
    cMdfBlockRef_drop(&data);
    return false;
  }
  dg->data = data;
  dg->recordIdSize = recordIdSize;
  auto* cg = cMdfBlock_t_to_cMdfBlock_CG_t_mut(m->group);
  plan->counts.push_back(
      {cg, m->count, m->role == Role::kOwnGroup, m->recordBytes});
  return cMdfBlockList_pushBack(&dg->channelGroups,
                                cMdfBlockRef_copy(m->group));
}

// Plans the split of one unsorted data group into sorted ones. False when
// its records cannot be told apart, cannot be read or memory runs out
// (*outcome says which).
bool planSplit(const cMdf* mdf, cMdfBlock_DG_t* dg, Plan* plan,
               Outcome* outcome) {
  const size_t n = cMdfBlockList_size(&dg->channelGroups);
  // Without record ids the records of several groups cannot be told apart.
  const unsigned idSize = dg->recordIdSize;
  if (idSize == 0)
    return cReason_noteAt(refused(outcome), "DG block", dg->fileOffset,
                          "%zu channel groups and no record ids", n);
  if (idSize > kMdfMaxRecordIdSize)
    return cReason_noteAt(refused(outcome), "DG block", dg->fileOffset,
                          "record id size %u above kMdfMaxRecordIdSize (%u)",
                          idSize, unsigned{kMdfMaxRecordIdSize});

  std::vector<Member> members;
  members.reserve(n);
  std::unordered_map<uint64_t, size_t> byId;
  for (size_t i = 0; i < n; ++i) {
    const cMdfBlockRef ref = cMdfBlockList_at(&dg->channelGroups, i);
    const cMdfBlock_CG_t* cg = cMdfBlock_t_to_cMdfBlock_CG_t(ref);
    if (!cg)
      return cReason_noteAt(refused(outcome), "DG block", dg->fileOffset,
                            "channel group %zu is no CG block", i);
    // Two groups with one record id: whose records are whose is unknown.
    const auto [same, added] = byId.emplace(cg->recordId, i);
    if (!added)
      return cReason_noteAt(
          refused(outcome), "DG block", dg->fileOffset,
          "channel groups %zu and %zu have one record id (%llu)", same->second,
          i, static_cast<unsigned long long>(cg->recordId));
    Stream records(cIO_memoryAlloc_ctor());
    if (!records) return false;
    members.push_back({ref,
                       cMdfBlock_CG_isVLSD(cg) ? Role::kOwnGroup : Role::kFixed,
                       std::move(records)});
  }

  // Every channel of a fixed-length group, composition members included,
  // whose data link is one of the data group's VLSD groups.
  std::vector<std::pair<cMdfBlock_CN_t*, size_t>> referring;
  for (const Member& m : members) {
    if (m.role != Role::kFixed) continue;
    const auto* cg = cMdfBlock_t_to_cMdfBlock_CG_t(m.group);
    for (size_t c = 0; c < cMdfBlockList_size(&cg->channels); ++c) {
      walkChannels(
          cMdfBlock_t_to_cMdfBlock_CN_t_mut(cMdfBlockList_at(&cg->channels, c)),
          [&](cMdfBlock_CN_t* channel) {
            const auto* target = cMdfBlock_t_to_cMdfBlock_CG_t(channel->data);
            const auto found =
                target ? byId.find(target->recordId) : byId.end();
            if (found != byId.end() &&
                members[found->second].group.block == target &&
                members[found->second].role != Role::kFixed) {
              members[found->second].role = Role::kSignalData;
              referring.emplace_back(channel, found->second);
            }
            return false;
          });
    }
  }

  // Distribute the records, in their order, to their groups' streams.
  std::unique_ptr<cIterator, DestroyIterator> iterator(
      cIterator_dgRaw_ctor(mdf, dg));
  if (!iterator) return false;
  const auto* raw = static_cast<const cIterator_dgRaw*>(iterator.get());
  while (auto* record =
             static_cast<cMdfRawRecord*>(cIterator_next(iterator.get()))) {
    const auto found = byId.find(record->id);
    if (found == byId.end()) break;
    // A record cut short by the end of the data is not a record.
    if (record->bytes.size != raw->lastSize - idSize) break;
    Member& m = members[found->second];
    if (m.role == Role::kOwnGroup) {
      uint8_t id[kMdfMaxRecordIdSize];
      cCoding_storeLEn(id, record->id, idSize);
      if (!writeAll(m.records.get(), id, idSize)) return false;
    }
    if (!writeAll(m.records.get(), record->bytes.data, record->bytes.size))
      return false;
    ++m.count;
    m.recordBytes += record->bytes.size;
  }
  // Records that could not be read would be missing from the result.
  if (raw->failure == kMdfReadFailed) {
    outcome->result = kMdfFinalizeReadFailed;
    return false;
  }
  if (raw->failure != kMdfReadOk) return false;
  iterator.reset();

  // New blocks, in the order of the channel groups.
  for (Member& m : members) {
    if (m.role != Role::kSignalData) {
      if (!planOwnGroup(&m, m.role == Role::kOwnGroup ? dg->recordIdSize : 0,
                        plan))
        return false;
      continue;
    }
    m.signalData = blockOf(&m);
    if (!m.signalData.block ||
        !cMdfBlockList_pushBack(&plan->signalData, m.signalData))
      return false;
  }
  for (const auto& [channel, index] : referring)
    plan->relinks.push_back({channel, members[index].signalData});
  return true;
}

// Puts back what commit changed before the record maps of the new groups
// could not be built.
void rollBack(Plan* plan) {
  for (FormerRules& f : plan->formerRules) {
    cMdfDecodeRuleArray_drop(&f.group->rules);
    f.group->rules = f.rules;
    f.rules = {};
  }
  for (Relink& r : plan->relinks) {
    cMdfBlockRef_drop(&r.channel->data);
    r.channel->data = r.former;
    r.former = {};
  }
  for (const Count& c : plan->counts) {
    c.group->cycleCount = c.formerCycles;
    c.group->dataBytes = c.formerDataBytes;
    c.group->invalidationBytes = c.formerInvalidationBytes;
  }
}

// Makes the planned changes. Only the record maps of the new groups need
// memory: when they cannot be built, everything is put back as it was and
// the result is false.
bool commit(cMdfBlock_ID_t* id, cMdfBlock_HD_t* hd, Plan* plan) {
  for (Relink& r : plan->relinks) {
    r.former = r.channel->data;
    r.channel->data = cMdfBlockRef_copy(r.signalData);
  }
  for (Count& c : plan->counts) {
    c.formerCycles = c.group->cycleCount;
    c.formerDataBytes = c.group->dataBytes;
    c.formerInvalidationBytes = c.group->invalidationBytes;
    c.group->cycleCount = c.cycles;
    if (c.vlsd) {
      c.group->dataBytes = static_cast<uint32_t>(c.vlsdBytes);
      c.group->invalidationBytes = static_cast<uint32_t>(c.vlsdBytes >> 32);
    }
  }
  // The records of the new groups are read through their channels, whose
  // data links may now be signal data blocks. Their channel groups' rules
  // (which the unsorted groups' record maps use) are set aside meanwhile.
  for (size_t i = 0; i < cMdfBlockList_size(&plan->created); ++i) {
    const auto* dg =
        cMdfBlock_t_to_cMdfBlock_DG_t(cMdfBlockList_at(&plan->created, i));
    for (size_t g = 0; g < cMdfBlockList_size(&dg->channelGroups); ++g) {
      auto* cg = cMdfBlock_t_to_cMdfBlock_CG_t_mut(
          cMdfBlockList_at(&dg->channelGroups, g));
      plan->formerRules.push_back({cg, cg->rules});  // room reserved
      cg->rules = {};
    }
  }
  for (size_t i = 0; i < cMdfBlockList_size(&plan->created); ++i) {
    if (!cMdfBlock_DG_updateRecordMap(cMdfBlock_t_to_cMdfBlock_DG_t_mut(
            cMdfBlockList_at(&plan->created, i)))) {
      rollBack(plan);
      return false;
    }
  }
  for (FormerRules& f : plan->formerRules) cMdfDecodeRuleArray_drop(&f.rules);
  for (Relink& r : plan->relinks) cMdfBlockRef_drop(&r.former);
  // The former list, with the unsorted groups, goes with the plan.
  std::swap(hd->dataGroups, plan->dataGroups);
  id->finalizationFlags &= static_cast<uint16_t>(~kSettledFlags);
  return true;
}

bool finalize(cMdf* mdf, Outcome* outcome) {
  auto* id = cMdfBlock_t_to_cMdfBlock_ID_t_mut(mdf->root);
  auto* hd = id ? cMdfBlock_t_to_cMdfBlock_HD_t_mut(id->header) : nullptr;
  if (!hd)
    return cReason_note(refused(outcome), kReasonNoOffset,
                        "no header block to finalize");
  if (id->finalizationFlags == 0) return true;
  const bool recount = id->finalizationFlags & kMdfUnfinalizedCycleCounts;

  Plan plan;
  for (size_t i = 0; i < cMdfBlockList_size(&hd->dataGroups); ++i) {
    const cMdfBlockRef ref = cMdfBlockList_at(&hd->dataGroups, i);
    cMdfBlock_DG_t* dg = cMdfBlock_t_to_cMdfBlock_DG_t_mut(ref);
    if (!dg)
      return cReason_note(refused(outcome), kReasonNoOffset,
                          "data group %zu is no DG block", i);
    const bool sorted = cMdfBlock_DG_isSorted(dg);
    if (sorted || cMdfBlockList_size(&dg->channelGroups) == 0) {
      if (sorted && recount) planSortedCount(dg, &plan);
      if (!cMdfBlockList_pushBack(&plan.dataGroups, cMdfBlockRef_copy(ref)))
        return false;
    } else if (!planSplit(mdf, dg, &plan, outcome)) {
      return false;
    }
  }
  size_t createdGroups = 0;
  for (size_t i = 0; i < cMdfBlockList_size(&plan.created); ++i) {
    if (!cMdfBlockList_pushBack(
            &plan.dataGroups,
            cMdfBlockRef_copy(cMdfBlockList_at(&plan.created, i))))
      return false;
    createdGroups += cMdfBlockList_size(
        &cMdfBlock_t_to_cMdfBlock_DG_t(cMdfBlockList_at(&plan.created, i))
             ->channelGroups);
  }
  plan.formerRules.reserve(createdGroups);
  return commit(id, hd, &plan);
}

}  // namespace

int cMdf_finalizeAndSort(cMdf* mdf, cReason* reason) {
  if (!mdf) return kMdfFinalizeRefused;
  Outcome outcome{kMdfFinalizeNoMemory, reason};
  try {
    return finalize(mdf, &outcome) ? kMdfFinalizeDone : outcome.result;
  } catch (...) {
    return kMdfFinalizeNoMemory;
  }
}

cMdfBlock_CN_t* findMatchingCNBlock(cMdfBlock_CN_t* channel,
                                    const cMdfBlock_t* target) {
  if (!target) return nullptr;
  try {
    return walkChannels(channel, [target](const cMdfBlock_CN_t* c) {
      return c->data.block == target;
    });
  } catch (...) {
    return nullptr;
  }
}
