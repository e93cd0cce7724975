#include "python/Support.h"

#include "decode/cMdfRecordGroupInfo.h"

PyObject* callSuper(PyTypeObject* type, PyObject* self, PyObject* name,
                    PyObject* args, PyObject* kwargs) {
  // super(type, self): the built-in super type called with both arguments.
  OwnedRef super(PyObject_CallFunctionObjArgs(
      reinterpret_cast<PyObject*>(&PySuper_Type),
      reinterpret_cast<PyObject*>(type), self, nullptr));
  if (!super) return nullptr;
  OwnedRef method(PyObject_GetAttr(super.get(), name));
  if (!method) return nullptr;
  OwnedRef noArgs;
  if (args == nullptr) {
    noArgs = OwnedRef(PyTuple_New(0));
    if (!noArgs) return nullptr;
    args = noArgs.get();
  }
  return PyObject_Call(method.get(), args, kwargs);
}

PyObject* callSuperString(PyTypeObject* type, PyObject* self, const char* name,
                          PyObject* args, PyObject* kwargs) {
  OwnedRef pyName(PyUnicode_FromString(name));
  if (!pyName) return nullptr;
  return callSuper(type, self, pyName.get(), args, kwargs);
}

void raiseLibraryError(PyObject* exceptionType, const char* message) {
  PendingError cause;
  if (PendingError_fetch(&cause)) {
    PyErr_NormalizeException(&cause.type, &cause.value, &cause.traceback);
    if (cause.traceback != nullptr && cause.value != nullptr)
      PyException_SetTraceback(cause.value, cause.traceback);
  }
  PyErr_SetString(exceptionType, message);
  if (cause.value == nullptr) {
    PendingError_clear(&cause);
    return;
  }
  PendingError raised;
  PendingError_fetch(&raised);
  PyErr_NormalizeException(&raised.type, &raised.value, &raised.traceback);
  if (raised.value != nullptr) {
    // Both calls steal a reference to the cause.
    Py_INCREF(cause.value);
    PyException_SetContext(raised.value, cause.value);
    PyException_SetCause(raised.value, cause.value);
    cause.value = nullptr;
  }
  PendingError_clear(&cause);
  PendingError_restore(&raised);
}

bool PendingError_fetch(PendingError* slot) {
  if (PyErr_Occurred() == nullptr) return false;
  PyErr_Fetch(&slot->type, &slot->value, &slot->traceback);
  return true;
}

bool PendingError_restore(PendingError* slot) {
  if (slot->type == nullptr) return false;
  PyErr_Restore(slot->type, slot->value, slot->traceback);
  *slot = PendingError{};
  return true;
}

void PendingError_clear(PendingError* slot) {
  Py_CLEAR(slot->type);
  Py_CLEAR(slot->value);
  Py_CLEAR(slot->traceback);
}

bool raiseReadFailure(uint32_t failure) {
  switch (failure) {
    case kMdfReadOk:
      return false;
    case kMdfReadNoMemory:
      PyErr_NoMemory();
      return true;
    default:
      raiseLibraryError(PyExc_OSError, "Could not read the file's data");
      return true;
  }
}
