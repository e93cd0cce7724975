#include "python/Support.h"

PyObject* Py_CallSuper(PyTypeObject* type, PyObject* self, PyObject* name,
                       PyObject* args, PyObject* kwargs) {
  // super(type, self): the built-in super type called with both arguments.
  PyRef super(PyObject_CallFunctionObjArgs(
      reinterpret_cast<PyObject*>(&PySuper_Type),
      reinterpret_cast<PyObject*>(type), self, nullptr));
  if (!super) return nullptr;
  PyRef method(PyObject_GetAttr(super.get(), name));
  if (!method) return nullptr;
  PyRef noArgs;
  if (args == nullptr) {
    noArgs = PyRef(PyTuple_New(0));
    if (!noArgs) return nullptr;
    args = noArgs.get();
  }
  return PyObject_Call(method.get(), args, kwargs);
}

PyObject* Py_CallSuperString(PyTypeObject* type, PyObject* self,
                             const char* name, PyObject* args,
                             PyObject* kwargs) {
  PyRef pyName(PyUnicode_FromString(name));
  if (!pyName) return nullptr;
  return Py_CallSuper(type, self, pyName.get(), args, kwargs);
}

void Py_RaiseLibraryError(PyObject* exceptionType, const char* message) {
  PyPendingError cause;
  if (PyPendingError_fetch(&cause)) {
    PyErr_NormalizeException(&cause.type, &cause.value, &cause.traceback);
    if (cause.traceback != nullptr && cause.value != nullptr)
      PyException_SetTraceback(cause.value, cause.traceback);
  }
  PyErr_SetString(exceptionType, message);
  if (cause.value == nullptr) {
    PyPendingError_clear(&cause);
    return;
  }
  PyPendingError raised;
  PyPendingError_fetch(&raised);
  PyErr_NormalizeException(&raised.type, &raised.value, &raised.traceback);
  if (raised.value != nullptr) {
    // Both calls steal a reference to the cause.
    Py_INCREF(cause.value);
    PyException_SetContext(raised.value, cause.value);
    PyException_SetCause(raised.value, cause.value);
    cause.value = nullptr;
  }
  PyPendingError_clear(&cause);
  PyPendingError_restore(&raised);
}

bool PyPendingError_fetch(PyPendingError* slot) {
  if (PyErr_Occurred() == nullptr) return false;
  PyErr_Fetch(&slot->type, &slot->value, &slot->traceback);
  return true;
}

bool PyPendingError_restore(PyPendingError* slot) {
  if (slot->type == nullptr) return false;
  PyErr_Restore(slot->type, slot->value, slot->traceback);
  *slot = PyPendingError{};
  return true;
}

void PyPendingError_clear(PyPendingError* slot) {
  Py_CLEAR(slot->type);
  Py_CLEAR(slot->value);
  Py_CLEAR(slot->traceback);
}
