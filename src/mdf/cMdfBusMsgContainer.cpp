#include "mdf/cMdfBusMsgContainer.h"

#include <cstdlib>
#include <cstring>

bool cMdfBusMsgContainer_init(cMdfBusMsgContainer* container,
                              cMdfBlock_DG_t* group) {
  if (!container || !group) return false;
  memset(static_cast<void*>(&container->state), 0, sizeof container->state);
  memset(static_cast<void*>(&container->frame), 0, sizeof container->frame);
  container->group = group;
  return cMdfBlock_DG_iteratorState_init(&container->state, group);
}

cMdfBusMsgContainer* cMdfBusMsgContainer_ctor(cMdfBlock_DG_t* group) {
  auto* container =
      static_cast<cMdfBusMsgContainer*>(calloc(1, sizeof(cMdfBusMsgContainer)));
  if (!container) return nullptr;
  if (!cMdfBusMsgContainer_init(container, group)) {
    cMdfBusMsgContainer_dtor(container);
    return nullptr;
  }
  return container;
}

void cMdfBusMsgContainer_drop(cMdfBusMsgContainer* container) {
  if (container) cMdfBlock_DG_iteratorState_drop(&container->state);
}

void cMdfBusMsgContainer_dtor(cMdfBusMsgContainer* container) {
  cMdfBusMsgContainer_drop(container);
  free(container);
}

cMdfBusMsgContainerPosition cMdfBusMsgContainer_begin(
    cMdfBusMsgContainer* container) {
  cMdfBusMsgContainerPosition position = {nullptr, kMdfDecodeFailed, container};
  if (container) {
    container->state.position = 0;
    container->state.failure = kMdfReadOk;
    cMdfBusMsgContainer_next(&position);
  }
  return position;
}

void cMdfBusMsgContainer_next(cMdfBusMsgContainerPosition* position) {
  if (!position || !position->container) return;
  cMdfBusMsgContainer* container = position->container;
  const int32_t result = cMdfBlock_DG_decodeNext(
      container->group, &container->state, &container->frame);
  if (result < 0) {
    position->frame = nullptr;
    position->container = nullptr;
    return;
  }
  position->result = result;
  position->frame = &container->frame;
}

uint32_t cMdfBusMsgContainer_failure(const cMdfBusMsgContainer* container) {
  return container ? container->state.failure : kMdfReadOk;
}
