// Helpers shared by the Python types: an owning reference, calls into a base
// class, and the one place where library failures become Python exceptions.
//
// Everything here runs with the global interpreter lock held and uses only
// the limited API (abi3, CPython 3.9 and later).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <utility>

// One strong reference, dropped when the holder goes. Constructed from a new
// reference (or null); use OwnedRef::borrow to take a reference of one's own.
class OwnedRef {
 public:
  OwnedRef() = default;
  explicit OwnedRef(PyObject* object) : object_(object) {}
  OwnedRef(const OwnedRef&) = delete;
  OwnedRef& operator=(const OwnedRef&) = delete;
  OwnedRef(OwnedRef&& other) noexcept : object_(other.release()) {}
  OwnedRef& operator=(OwnedRef&& other) noexcept {
    std::swap(object_, other.object_);
    return *this;
  }
  ~OwnedRef() { Py_XDECREF(object_); }

  static OwnedRef borrow(PyObject* object) {
    Py_XINCREF(object);
    return OwnedRef(object);
  }

  PyObject* get() const { return object_; }
  // Hands the reference to the caller.
  PyObject* release() { return std::exchange(object_, nullptr); }
  explicit operator bool() const { return object_ != nullptr; }

 private:
  PyObject* object_ = nullptr;
};

// Calls the method `name` of the class after `type` in the method resolution
// order of self's class, i.e. super(type, self).name(*args, **kwargs).
// `type` is the class that defines the calling method (so a subclass of it
// does not loop back into the caller). args may be null for no positional
// arguments, kwargs null for none. Returns a new reference, or null with a
// Python error.
PyObject* callSuper(PyTypeObject* type, PyObject* self, PyObject* name,
                    PyObject* args, PyObject* kwargs);
// The same with the name as a C string.
PyObject* callSuperString(PyTypeObject* type, PyObject* self, const char* name,
                          PyObject* args, PyObject* kwargs);

// Raises `exceptionType` with `message`. A Python error that is already set
// (for example one raised by a file object's method while the library read
// through it) becomes the new exception's __cause__, so the reason is kept.
void raiseLibraryError(PyObject* exceptionType, const char* message);

// Raises the exception for frames that ended early (cMdfReadFailure):
// MemoryError when memory ran short, OSError "Could not read the file's
// data" when a read failed. False, with nothing raised, for kMdfReadOk.
bool raiseReadFailure(uint32_t failure);

// A pending Python error taken out of the interpreter, to be raised again
// later (or dropped). Holds the three parts of PyErr_Fetch.
struct PendingError {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
};

// Takes the pending error, if any, into *slot (which must be empty); true
// when there was one.
bool PendingError_fetch(PendingError* slot);
// Sets the held error as the current one and empties the slot; false (and
// nothing set) when the slot is empty.
bool PendingError_restore(PendingError* slot);
// Drops the held error.
void PendingError_clear(PendingError* slot);

// The objects that hold library state of one owner (an MdfFile's iterators,
// its column readers), so that closing the owner can release them all: an
// intrusive doubly linked list through the objects' `previous` and `next`
// members (T*), its head a member of the owner. No Python code runs.
template <typename T>
void OwnerList_link(T** head, T* item) {
  item->previous = nullptr;
  item->next = *head;
  if (*head != nullptr) (*head)->previous = item;
  *head = item;
}

// Takes `item` out of the list of `head` (null: of no list any more, so
// only its neighbours are joined) and clears its links.
template <typename T>
void OwnerList_unlink(T** head, T* item) {
  if (item->previous != nullptr)
    item->previous->next = item->next;
  else if (head != nullptr && *head == item)
    *head = item->next;
  if (item->next != nullptr) item->next->previous = item->previous;
  item->previous = nullptr;
  item->next = nullptr;
}
