// Bus message container: one data group as a sequence of decoded bus
// frames, every record of the group's data block in file order.
//
//   cMdfBusMsgContainer* c = cMdfBusMsgContainer_ctor(group);
//   for (cMdfBusMsgContainerPosition p = cMdfBusMsgContainer_begin(c);
//        p.frame; cMdfBusMsgContainer_next(&p)) {
//     ... p.frame, p.result ...
//   }
//   cMdfBusMsgContainer_dtor(c);
//
// The container borrows its data group: the group (and so the open file
// that holds it) must outlive the container. There is one frame buffer per
// container, overwritten by every step: a frame stays valid only until the
// next step. Containers of one file may be advanced interleaved on one
// thread (every step seeks first), never from several threads at once.
#pragma once

#include <cstdint>

#include "decode/cMdfDecoders.h"
#include "decode/cMdfRecordGroupInfo.h"

struct cMdfBlock_DG_t;

struct cMdfBusMsgContainer {
  cMdfBlock_DG_t* group;             // borrowed
  cMdfBlock_DG_iteratorState state;  // read position and current record
  cMdfBusMsg frame;                  // the decoder's output, reused
};

// Where an iteration stands; a small value passed by address to next.
struct cMdfBusMsgContainerPosition {
  // The container's frame buffer holding the current frame; null at the
  // end.
  cMdfBusMsg* frame;
  // What the decoder returned for the current frame: its kind (1 to 8), or
  // kMdfDecodeFailed (9) for a record that was not decoded, which is still
  // delivered. 9 before the first step; kept at the end.
  int32_t result;
  cMdfBusMsgContainer* container;  // null once the end has been reached
};

// Sets up caller storage for `group`; false when either is null.
bool cMdfBusMsgContainer_init(cMdfBusMsgContainer* container,
                              cMdfBlock_DG_t* group);
// A new container over `group`, or null.
cMdfBusMsgContainer* cMdfBusMsgContainer_ctor(cMdfBlock_DG_t* group);
// Releases what the iteration state owns; the storage stays (for init).
void cMdfBusMsgContainer_drop(cMdfBusMsgContainer* container);
// Drop, then free a container made by ctor.
void cMdfBusMsgContainer_dtor(cMdfBusMsgContainer* container);

// Restarts at the first record and steps onto it. For a null container, or
// a group without records, the position is ended at once.
cMdfBusMsgContainerPosition cMdfBusMsgContainer_begin(
    cMdfBusMsgContainer* container);
// Steps onto the next frame, or ends the position: at the end of the data,
// at a record id the group does not define, at a truncated record, or
// where reading fails or memory runs short (see failure). Nothing for a
// null or ended position.
void cMdfBusMsgContainer_next(cMdfBusMsgContainerPosition* position);

// Why the last iteration ended early (cMdfReadFailure): kMdfReadFailed,
// kMdfReadNoMemory, or kMdfReadOk when it has not failed (so far); its
// frames are then all of the group's. Begin clears it. kMdfReadOk for null.
uint32_t cMdfBusMsgContainer_failure(const cMdfBusMsgContainer* container);
