#include "python/FileTypeSupport.h"

// Process-wide, set once by initFileTypeSupport and never released.
static PyObject* pathType = nullptr;    // pathlib.Path
static PyObject* bufferType = nullptr;  // io.IOBase

static PyObject* importAttribute(const char* module, const char* name) {
  OwnedRef imported(PyImport_ImportModule(module));
  if (!imported) return nullptr;
  return PyObject_GetAttrString(imported.get(), name);
}

bool initFileTypeSupport() {
  OwnedRef path(importAttribute("pathlib", "Path"));
  if (!path) return false;
  OwnedRef buffer(importAttribute("io", "IOBase"));
  if (!buffer) return false;
  pathType = path.release();
  bufferType = buffer.release();
  return true;
}

FileType getFileType(PyObject* object) {
  if (PyUnicode_Check(object)) return FileType_String;
  const struct {
    PyObject* type;
    FileType result;
  } checks[] = {{pathType, FileType_Path}, {bufferType, FileType_Buffer}};
  for (const auto& check : checks) {
    if (check.type == nullptr) continue;
    int isInstance = PyObject_IsInstance(object, check.type);
    if (isInstance < 0) return FileType_Error;
    if (isInstance > 0) return check.result;
  }
  return FileType_Unknown;
}
