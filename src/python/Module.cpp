#include "python/Module.h"

#include "python/CanMsgExtension.h"
#include "python/FileTypeSupport.h"
#include "python/FrameColumns.h"
#include "python/MdfFile.h"
#include "python/MdfFileIterator.h"
#include "python/SignalDecoding.h"

PyDoc_STRVAR(module_doc,
             "The native part of python_can_brenix_mf4, the reader of ASAM\n"
             "MDF 4.x bus logs (MF4) from CAN and LIN data loggers: MdfFile\n"
             "yields every logged frame as a can.Message (CanMsgExtension).");

// All state is process-wide (m_size -1): the module is set up once.
static PyModuleDef python_can_brenix_mf4_module = {
    PyModuleDef_HEAD_INIT,
    "python_can_brenix_mf4._native",
    module_doc,
    -1,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

static const char* loggerMethod(int level) {
  switch (level) {
    case ZF_LOG_INFO:
      return "info";
    case ZF_LOG_WARN:
      return "warning";
    case ZF_LOG_ERROR:
      return "error";
    case ZF_LOG_FATAL:
      return "critical";
    default:
      return "debug";
  }
}

void loggingWrapper(const zf_log_message* message, void* logger) {
  if (message == nullptr || logger == nullptr || message->buf == nullptr ||
      message->p < message->buf)
    return;
  // The library may log from a call that runs without the GIL.
  const PyGILState_STATE gil = PyGILState_Ensure();
  // The library may log while a Python error is pending (a file object's
  // method raised and the layer above is failing because of it); park it so
  // the logger call runs cleanly, then put it back.
  PendingError pending;
  PendingError_fetch(&pending);
  {
    // The references go before the GIL does.
    // Bytes of the file can end up in a message: decode leniently.
    OwnedRef text(PyUnicode_DecodeUTF8(message->buf, message->p - message->buf,
                                       "replace"));
    OwnedRef result;
    if (text)
      result = OwnedRef(PyObject_CallMethod(static_cast<PyObject*>(logger),
                                            loggerMethod(message->lvl), "O",
                                            text.get()));
    if (!result) PyErr_Clear();
  }
  PendingError_restore(&pending);
  PyGILState_Release(gil);
}

// Adds a created type (new reference, consumed) to the module.
static bool addType(PyObject* module, const char* name, PyObject* type) {
  if (type == nullptr) return false;
  int result = PyObject_SetAttrString(module, name, type);
  Py_DECREF(type);
  return result == 0;
}

PyMODINIT_FUNC PyInit__native(void) {
  OwnedRef module(PyModule_Create2(&python_can_brenix_mf4_module, 3));
  if (!module) return nullptr;

  OwnedRef logging(PyImport_ImportModule("logging"));
  if (!logging) return nullptr;
  // The logger lives as long as the process: the log output keeps it.
  PyObject* logger = PyObject_CallMethod(logging.get(), "getLogger", "s",
                                         "python_can_brenix_mf4");
  logging = OwnedRef();
  if (logger == nullptr) return nullptr;
  zf_log_set_output_v(ZF_LOG_PUT_MSG, logger, loggingWrapper);

  // The distribution's version (pyproject.toml), set by the build.
  if (PyModule_AddStringConstant(module.get(), "__version__", MF4_VERSION) < 0)
    return nullptr;
  if (!initFileTypeSupport()) return nullptr;
  if (!addType(module.get(), "CanMsgExtension", CanMsgExtension_initType()) ||
      !addType(module.get(), "MdfFile", MdfFile_initType()) ||
      !addType(module.get(), "MdfFileIterator", MdfFileIterator_initType()) ||
      !addType(module.get(), "_ColumnReader", ColumnReader_initType()) ||
      !SignalDecoding_addFunctions(module.get()))
    return nullptr;
  return module.release();
}
