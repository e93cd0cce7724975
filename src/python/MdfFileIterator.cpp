#include "python/MdfFileIterator.h"

#include "log/zf_log.h"
#include "python/CanMsgExtension.h"
#include "python/MdfFile.h"

PyObject* MdfFileIteratorType = nullptr;

static MdfFileObject* MdfFileIterator_owner(MdfFileIteratorObject* self) {
  return reinterpret_cast<MdfFileObject*>(self->owner);
}

static void MdfFileIterator_link(MdfFileIteratorObject* self) {
  OwnerList_link(&MdfFileIterator_owner(self)->iterators, self);
}

static void MdfFileIterator_unlink(MdfFileIteratorObject* self) {
  MdfFileObject* owner = MdfFileIterator_owner(self);
  OwnerList_unlink(owner != nullptr ? &owner->iterators : nullptr, self);
}

// Releases the container (the data group it borrows must still be alive) and
// leaves the owner's list; the position then has no current frame.
static void MdfFileIterator_releaseContainer(MdfFileIteratorObject* self) {
  if (self->container != nullptr) {
    cMdfBusMsgContainer* container = self->container;
    self->container = nullptr;
    cMdfBusMsgContainer_dtor(container);
    MdfFileIterator_unlink(self);
  }
  self->position = cMdfBusMsgContainerPosition{};
}

void MdfFileIterator_detachAll(MdfFileObject* owner) {
  while (owner->iterators != nullptr) {
    MdfFileIteratorObject* iterator = owner->iterators;
    MdfFileIterator_releaseContainer(iterator);
    iterator->detached = true;
  }
}

// __init__: iterators are made by MdfFile.__iter__ only.
static int MdfFileIterator_init(PyObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_RuntimeError, "Class cannot be created from Python");
  return -1;
}

// Reports the records passed over since the last report, once, as a
// warning on the library's log (which reaches the Python logger). A pending
// error stays pending.
static void MdfFileIterator_reportSkipped(MdfFileIteratorObject* self) {
  if (self->skipped == 0) return;
  ZF_LOGW("Data group %zu: passed over %llu records that are not frames",
          self->groupIndex, static_cast<unsigned long long>(self->skipped));
  self->skipped = 0;
}

// Moves to the next frame. An error raised by the file object meanwhile is
// kept for the end of the group (the first one; later ones are dropped).
static void MdfFileIterator_advance(MdfFileIteratorObject* self) {
  cMdfBusMsgContainer_next(&self->position);
  if (PyErr_Occurred() == nullptr) return;
  if (self->readError.type == nullptr)
    PendingError_fetch(&self->readError);
  else
    PyErr_Clear();
}

// Finaliser: releases the container and the owner; safe to run more than
// once and on an instance whose creation from Python was refused.
static void MdfFileIterator_finalize(PyObject* object) {
  MdfFileIteratorObject* self =
      reinterpret_cast<MdfFileIteratorObject*>(object);
  MdfFileIterator_reportSkipped(self);
  MdfFileIterator_releaseContainer(self);
  PendingError_clear(&self->readError);
  Py_CLEAR(self->owner);
}

// Garbage collector: the owner may reach back to the iterator.
static int MdfFileIterator_traverse(PyObject* object, visitproc visit,
                                    void* arg) {
  Py_VISIT(Py_TYPE(object));
  Py_VISIT(reinterpret_cast<MdfFileIteratorObject*>(object)->owner);
  return 0;
}

static int MdfFileIterator_clear(PyObject* object) {
  MdfFileIterator_finalize(object);
  return 0;
}

static void MdfFileIterator_dealloc(PyObject* object) {
  PyTypeObject* type = Py_TYPE(object);
  PyObject_GC_UnTrack(object);
  MdfFileIterator_finalize(object);
  auto release = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  release(object);
  Py_DECREF(type);
}

// __iter__: an iterator is its own iterable.
static PyObject* MdfFileIterator_iter(PyObject* self) {
  Py_INCREF(self);
  return self;
}

// __next__: the message of the current frame, then one step on. A frame that
// cannot be turned into a message raises, and the next call goes on with the
// following frame.
static PyObject* MdfFileIterator_iterNext(PyObject* object) {
  MdfFileIteratorObject* self =
      reinterpret_cast<MdfFileIteratorObject*>(object);
  if (self->detached) {
    PyErr_SetString(PyExc_RuntimeError, "Handle has been closed");
    return nullptr;
  }
  MdfFileObject* owner = MdfFileIterator_owner(self);
  if (self->skipUnknown && self->position.frame != nullptr &&
      !CanMsgExtension_isFrame(self->position.frame)) {
    if (!MdfFile_enter(owner)) return nullptr;
    do {
      ++self->skipped;
      MdfFileIterator_advance(self);
    } while (self->position.frame != nullptr &&
             !CanMsgExtension_isFrame(self->position.frame));
    MdfFile_leave(owner);
  }
  if (self->position.frame == nullptr) {
    const uint32_t failure = cMdfBusMsgContainer_failure(self->container);
    MdfFileIterator_reportSkipped(self);
    MdfFileIterator_releaseContainer(self);
    // StopIteration, or the file object's error held back, or why reading
    // stopped short (a container that failed, a read that failed).
    if (!PendingError_restore(&self->readError) &&
        !MdfFile_raiseContainerFault(owner))
      raiseReadFailure(failure);
    return nullptr;
  }
  if (!MdfFile_enter(owner)) return nullptr;
  PyObject* message =
      CanMsgExtension_createFromWrapped(self->position.frame, self->startTime);
  PendingError buildError;
  PendingError_fetch(&buildError);
  MdfFileIterator_advance(self);
  MdfFile_leave(owner);
  if (PendingError_restore(&buildError)) {
    Py_XDECREF(message);
    return nullptr;
  }
  return message;
}

PyDoc_STRVAR(MdfFileIterator_doc,
             "Iterator over the frames of one data group of an MdfFile,\n"
             "as CanMsgExtension messages; made by iterating an MdfFile,\n"
             "which merges one per data group.");

static PyType_Slot MdfFileIteratorSlots[] = {
    {Py_tp_doc, const_cast<char*>(MdfFileIterator_doc)},
    {Py_tp_init, reinterpret_cast<void*>(MdfFileIterator_init)},
    {Py_tp_finalize, reinterpret_cast<void*>(MdfFileIterator_finalize)},
    {Py_tp_iter, reinterpret_cast<void*>(MdfFileIterator_iter)},
    {Py_tp_iternext, reinterpret_cast<void*>(MdfFileIterator_iterNext)},
    {Py_tp_traverse, reinterpret_cast<void*>(MdfFileIterator_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(MdfFileIterator_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(MdfFileIterator_dealloc)},
    {0, nullptr},
};

static PyType_Spec MdfFileIteratorSpec = {
    "python_can_brenix_mf4.MdfFileIterator", sizeof(MdfFileIteratorObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, MdfFileIteratorSlots,
};

PyObject* MdfFileIterator_initType() {
  PyObject* type = PyType_FromSpec(&MdfFileIteratorSpec);
  if (type == nullptr) return nullptr;
  MdfFileIteratorType = OwnedRef::borrow(type).release();
  return type;
}

PyObject* MdfFileIterator_fromGroup(PyObject* owner,
                                    cMdfBusMsgContainer* container,
                                    double startTime, size_t groupIndex,
                                    bool skipUnknown) {
  auto allocate = reinterpret_cast<allocfunc>(PyType_GetSlot(
      reinterpret_cast<PyTypeObject*>(MdfFileIteratorType), Py_tp_alloc));
  PyObject* object =
      allocate(reinterpret_cast<PyTypeObject*>(MdfFileIteratorType), 0);
  if (object == nullptr) {
    cMdfBusMsgContainer_dtor(container);
    return nullptr;
  }
  // The allocator zeroed the fields.
  MdfFileIteratorObject* self =
      reinterpret_cast<MdfFileIteratorObject*>(object);
  Py_INCREF(owner);
  self->owner = owner;
  self->startTime = startTime;
  self->container = container;
  self->groupIndex = groupIndex;
  self->skipUnknown = skipUnknown;
  if (container != nullptr) {
    MdfFileIterator_link(self);
    self->position = cMdfBusMsgContainer_begin(container);
  }
  // A file object that failed while the first record was read: the group
  // then has no frame, and its first next() raises the failure.
  PendingError_fetch(&self->readError);
  return object;
}
