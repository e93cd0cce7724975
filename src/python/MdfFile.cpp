#include "python/MdfFile.h"

#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "containers/cGenericFileUnwrap.h"
#include "log/cReason.h"
#include "mdf/blocks/cMdfBlock_DG.h"
#include "mdf/blocks/cMdfBlock_ID.h"
#include "mdf/cMdfBusMsgContainer.h"
#include "mdf/cMdfFinalize.h"
#include "mdf/cMdfMetaData.h"
#include "python/BufferWrapper.h"
#include "python/FileTypeSupport.h"
#include "python/FrameColumns.h"
#include "python/MdfFileIterator.h"
#include "streams/cIO_file.h"
#include "streams/cIO_memoryAlloc.h"

PyObject* MdfFileType = nullptr;
static PyObject* MdfFileBaseType = nullptr;  // the native base of MdfFile
static PyObject* heapQMerge = nullptr;       // heapq.merge
// Set while MdfFile itself is being created: the only subclass allowed.
static bool creatingMdfFile = false;

static MdfFileObject* asMdfFile(PyObject* object) {
  return reinterpret_cast<MdfFileObject*>(object);
}

// False, with RuntimeError "Handle is in use", while a library call on the
// reader is in progress (Python code it runs must not use the reader).
static bool MdfFile_checkIdle(const MdfFileObject* self) {
  if (self->busy == 0) return true;
  PyErr_SetString(PyExc_RuntimeError, "Handle is in use");
  return false;
}

bool MdfFile_enter(MdfFileObject* self) {
  if (!MdfFile_checkIdle(self)) return false;
  self->busy = 1;
  return true;
}

void MdfFile_leave(MdfFileObject* self) { self->busy = 0; }

static bool MdfFile_checkOpen(MdfFileObject* self) {
  if (self->mdf != nullptr) return true;
  PyErr_SetString(PyExc_RuntimeError, "Handle has been closed");
  return false;
}

// Releases the open file: first the containers of live iterators and column
// readers (they borrow the data groups), then the MF4 file object, then its
// stream.
static void MdfFile_release(MdfFileObject* self) {
  MdfFileIterator_detachAll(self);
  ColumnReader_detachAll(self);
  cMdf* mdf = self->mdf;
  cIO* stream = self->stream;
  self->mdf = nullptr;
  self->stream = nullptr;
  Py_CLEAR(self->containers);
  cMdf_close(mdf);
  cIO_close(stream);
}

// Closes the file object that the base initialiser opened, if any. A pending
// error is kept. False with a Python error when close() raised.
static bool MdfFile_closeFileObject(MdfFileObject* self) {
  if (!self->closeFileObject) return true;
  self->closeFileObject = false;
  PyObject* object = reinterpret_cast<PyObject*>(self);
  PendingError pending;
  PendingError_fetch(&pending);
  OwnedRef file(PyObject_GetAttrString(object, "file"));
  bool ok = true;
  if (!file) {
    PyErr_Clear();  // taken away meanwhile: nothing left to close
  } else {
    OwnedRef result(PyObject_CallMethod(file.get(), "close", nullptr));
    ok = static_cast<bool>(result);
  }
  if (!ok && pending.type != nullptr) PyErr_Clear();
  if (PendingError_restore(&pending)) return true;
  return ok;
}

// The password lookup of cGenericFile_unwrap over the "passwords" dict:
// the str under `key`, as ASCII bytes kept in `ascii` until the next call.
// -1 with a Python error for a password that is no str or not ASCII.
struct MdfFilePasswords {
  PyObject* dict;  // borrowed
  OwnedRef ascii;  // the bytes of the last password handed out
};

static int MdfFile_lookupPassword(void* userdata, const char* key,
                                  const char** password, size_t* length) {
  auto* passwords = static_cast<MdfFilePasswords*>(userdata);
  OwnedRef pyKey(PyUnicode_FromString(key));
  if (!pyKey) return -1;
  PyObject* value = PyDict_GetItemWithError(passwords->dict, pyKey.get());
  if (value == nullptr) return PyErr_Occurred() != nullptr ? -1 : 0;
  if (!PyUnicode_Check(value)) {
    PyErr_Format(PyExc_TypeError, "the password for key '%s' must be a str",
                 key);
    return -1;
  }
  passwords->ascii = OwnedRef(PyUnicode_AsASCIIString(value));
  char* bytes = nullptr;
  Py_ssize_t size = 0;
  if (!passwords->ascii ||
      PyBytes_AsStringAndSize(passwords->ascii.get(), &bytes, &size) < 0)
    return -1;
  *password = bytes;
  *length = static_cast<size_t>(size);
  return 1;
}

// The lookup for an unwrap that runs without the GIL: takes it for the dict.
static int MdfFile_lookupPasswordReleased(void* userdata, const char* key,
                                          const char** password,
                                          size_t* length) {
  const PyGILState_STATE gil = PyGILState_Ensure();
  const int found = MdfFile_lookupPassword(userdata, key, password, length);
  PyGILState_Release(gil);
  return found;
}

// Raises RuntimeError(message). The library's reason for the failure is
// logged once and, unless a Python error raised meanwhile (a failing file
// object) is the cause already, becomes the cause: a ValueError naming the
// block or container and file offset.
static void MdfFile_raiseWithReason(const char* message, cReason* reason) {
  cReason_log(reason);
  if (PyErr_Occurred() == nullptr && cReason_isSet(reason))
    PyErr_SetString(PyExc_ValueError, cReason_text(reason));
  raiseLibraryError(PyExc_RuntimeError, message);
}

// Raises the failure of a container of `stream` whose file changed or
// failed since the open, and returns true; false when there is none.
static bool MdfFile_raiseStreamFault(cIO* stream) {
  cReason reason{};
  const cGenericFileStatus status = cGenericFile_fault(stream, &reason);
  if (status == GENERIC_FILE_OK) return false;
  MdfFile_raiseWithReason(cGenericFile_statusMessage(status), &reason);
  return true;
}

bool MdfFile_raiseContainerFault(MdfFileObject* self) {
  return MdfFile_raiseStreamFault(self->stream);
}

// The containers met while unwrapping as a list of (kind, device id): kind
// "compressed", "encrypted" or "unknown". Null with a Python error.
static PyObject* MdfFile_containerList(
    const std::vector<cGenericFileHeader>& headers) {
  OwnedRef list(PyList_New(0));
  for (const cGenericFileHeader& header : headers) {
    if (!list) return nullptr;
    const char* kind =
        header.container_type == GENERIC_FILE_TYPE_COMPRESSED  ? "compressed"
        : header.container_type == GENERIC_FILE_TYPE_ENCRYPTED ? "encrypted"
                                                               : "unknown";
    char device[9];
    std::snprintf(device, sizeof device, "%08X",
                  static_cast<unsigned>(header.device_id));
    OwnedRef item(Py_BuildValue("(ss)", kind, device));
    if (!item || PyList_Append(list.get(), item.get()) < 0) return nullptr;
  }
  return list.release();
}

// Unwraps containers until the stream holds none. Takes over `stream` and
// returns the innermost one, or null with a Python error after closing every
// stream it had; the containers met go to self->containers. An error the
// password lookup raised stands as it is; any other Python error raised
// meanwhile (a failing file object) becomes the cause of the library's
// message. With `released`, the source needs no Python (a path) and the
// containers' first pass (checksums, decryption) runs without the GIL.
static cIO* MdfFile_unwrap(MdfFileObject* self, cIO* stream,
                           PyObject* passwords, bool released) {
  MdfFilePasswords lookup{passwords, OwnedRef()};
  cGenericFileStatus status;
  cReason reason{};
  std::vector<cGenericFileHeader> headers;
  cGenericFilePasswordFn lookupFn = passwords == nullptr ? nullptr
                                    : released ? MdfFile_lookupPasswordReleased
                                               : MdfFile_lookupPassword;
  PyThreadState* thread = released ? PyEval_SaveThread() : nullptr;
  cIO* inner = cGenericFile_unwrap(stream, lookupFn, &lookup, &status, &reason,
                                   &headers);
  if (released) PyEval_RestoreThread(thread);
  if (status == GENERIC_FILE_LOOKUP_FAILED) return nullptr;
  if (inner != nullptr && PyErr_Occurred() == nullptr) {
    Py_CLEAR(self->containers);
    self->containers = MdfFile_containerList(headers);
    if (self->containers != nullptr) return inner;
    cIO_close(inner);
    return nullptr;
  }
  // A source that is no container also fails when its file object raised
  // while the first bytes were read.
  cIO_close(inner);
  MdfFile_raiseWithReason(inner != nullptr ? "Could not open data source"
                                           : cGenericFile_statusMessage(status),
                          &reason);
  return nullptr;
}

// A read-only file stream for a path (str or pathlib.Path), encoded as the
// file system encodes names. Null with a Python error.
static cIO* MdfFile_openPath(PyObject* file) {
  OwnedRef text(PyObject_Str(file));
  if (!text) return nullptr;
  OwnedRef encoded(PyUnicode_EncodeFSDefault(text.get()));
  if (!encoded) return nullptr;
  char* path = nullptr;
  Py_ssize_t length = 0;
  if (PyBytes_AsStringAndSize(encoded.get(), &path, &length) < 0)
    return nullptr;
  if (std::strlen(path) != static_cast<size_t>(length)) {
    PyErr_SetString(PyExc_ValueError, "embedded null byte");
    return nullptr;
  }
  cIO* stream = cIO_file_open(path, CIO_FILE_READ);
  if (stream == nullptr)
    PyErr_SetString(PyExc_FileNotFoundError, "Could not open file");
  return stream;
}

// The source stream for the reader's `file`, or null with a Python error.
static cIO* MdfFile_openSource(PyObject* file) {
  switch (getFileType(file)) {
    case FileType_String:
    case FileType_Path:
      return MdfFile_openPath(file);
    case FileType_Buffer: {
      cIO* stream = BufferWrapper_createFromWrapped(file);
      if (stream == nullptr && PyErr_Occurred() == nullptr)
        PyErr_SetString(PyExc_RuntimeError, "Could not allocate buffer");
      return stream;
    }
    case FileType_Error:
      return nullptr;
    case FileType_Unknown:
      break;
  }
  PyErr_SetString(PyExc_ValueError, "Unknown data source type");
  return nullptr;
}

// What the reader reads: self.file, which the base initialiser sets, or,
// when it does not (python-can 4.6 and later set nothing), the constructor's
// `file` argument, which then becomes self.file. python-can up to 4.5 opens
// a path itself into a Python file object that only the reader can close;
// the path is then read directly, which spares a Python call per read,
// unless it cannot seek (a named pipe: its file object reads it).
// Returns a new reference or null with a Python error.
static PyObject* MdfFile_source(PyObject* object, PyObject* args,
                                PyObject* keywords) {
  PyObject* argument = PyTuple_Size(args) > 0
                           ? PyTuple_GetItem(args, 0)
                           : PyDict_GetItemString(keywords, "file");
  PyObject* file = PyObject_GetAttrString(object, "file");
  if (file == nullptr) {
    if (argument == nullptr || !PyErr_ExceptionMatches(PyExc_AttributeError)) {
      PyErr_Clear();
      PyErr_SetString(PyExc_TypeError, "could not get file property");
      return nullptr;
    }
    PyErr_Clear();
    if (PyObject_SetAttrString(object, "file", argument) < 0) return nullptr;
    Py_INCREF(argument);
    return argument;
  }
  if (file == argument || file == Py_None || argument == nullptr) return file;
  asMdfFile(object)->closeFileObject = true;
  FileType argumentType = getFileType(argument);
  if (argumentType != FileType_String && argumentType != FileType_Path) {
    PyErr_Clear();
    return file;
  }
  // A named pipe opened once is all there is: opening it again would wait
  // for another writer. What cannot seek is read through the file object.
  OwnedRef seekable(PyObject_CallMethod(file, "seekable", nullptr));
  if (!seekable || PyObject_IsTrue(seekable.get()) != 1) {
    PyErr_Clear();
    return file;
  }
  Py_DECREF(file);
  Py_INCREF(argument);
  return argument;
}

// The "passwords" keyword: a dict, or null for none (missing or None).
static bool MdfFile_passwords(PyObject* keywords, PyObject** passwords) {
  PyObject* value = PyDict_GetItemString(keywords, "passwords");
  *passwords = value == Py_None ? nullptr : value;
  if (*passwords == nullptr || PyDict_Check(*passwords)) return true;
  PyErr_SetString(PyExc_TypeError,
                  "passwords must be a dict mapping device ids (8 upper-case "
                  "hex digits) or \"default\" to password strings");
  return false;
}

// A flag keyword ("skip_unknown_records", "any_writer"): false when
// missing; any object's truth value otherwise. False with a Python error
// when that raises.
static bool MdfFile_flag(PyObject* keywords, const char* name, bool* flag) {
  PyObject* value = PyDict_GetItemString(keywords, name);
  int truth = value == nullptr ? 0 : PyObject_IsTrue(value);
  *flag = truth > 0;
  return truth >= 0;
}

// __init__(file, ..., passwords=..., skip_unknown_records=False,
// any_writer=False): opens the file, unwrapping any compressed and
// encrypted containers.
static int MdfFile_init(PyObject* object, PyObject* args, PyObject* kwargs) {
  MdfFileObject* self = asMdfFile(object);
  if (!MdfFile_checkIdle(self)) return -1;
  // Initialising again starts from nothing.
  MdfFile_release(self);
  if (!MdfFile_closeFileObject(self)) return -1;
  if (PyObject_DelAttrString(object, "file") < 0) PyErr_Clear();

  OwnedRef keywords(kwargs != nullptr ? PyDict_Copy(kwargs) : PyDict_New());
  if (!keywords) return -1;
  OwnedRef mode(PyUnicode_FromString("rb"));
  if (!mode || PyDict_SetItemString(keywords.get(), "mode", mode.get()) < 0)
    return -1;
  OwnedRef base(
      callSuperString(reinterpret_cast<PyTypeObject*>(MdfFileBaseType), object,
                      "__init__", args, keywords.get()));
  if (!base) return -1;

  OwnedRef file(MdfFile_source(object, args, keywords.get()));
  PyObject* passwords = nullptr;
  cIO* stream = nullptr;
  bool anyWriter = false;
  if (file && file.get() == Py_None)
    PyErr_SetString(PyExc_ValueError, "file must not be None");
  else if (file && MdfFile_passwords(keywords.get(), &passwords) &&
           MdfFile_flag(keywords.get(), "skip_unknown_records",
                        &self->skipUnknownRecords) &&
           MdfFile_flag(keywords.get(), "any_writer", &anyWriter))
    stream = MdfFile_openSource(file.get());
  if (stream == nullptr) {
    MdfFile_closeFileObject(self);
    return -1;
  }

  // Reading runs Python code (file object methods, logging handlers), which
  // must not use this reader meanwhile.
  self->busy = 1;
  const bool pythonSource = BufferWrapper_is(stream);
  stream = MdfFile_unwrap(self, stream, passwords, !pythonSource);
  cMdf* mdf = nullptr;
  if (stream != nullptr) {
    cReason reason{};
    if (pythonSource) {
      mdf = cMdf_open(stream, &reason, anyWriter);
    } else {
      Py_BEGIN_ALLOW_THREADS mdf = cMdf_open(stream, &reason, anyWriter);
      Py_END_ALLOW_THREADS
    }
    // A file object that failed while the library still got what it needed
    // is a failure all the same.
    if (mdf != nullptr && PyErr_Occurred() != nullptr) {
      cMdf_close(mdf);
      mdf = nullptr;
    }
    if (mdf == nullptr) {
      // A container whose file changed or failed is that container's error.
      if (PyErr_Occurred() != nullptr || !MdfFile_raiseStreamFault(stream))
        MdfFile_raiseWithReason("Could not open data source", &reason);
      cIO_close(stream);
    }
  }
  MdfFile_leave(self);
  if (mdf == nullptr) {
    MdfFile_closeFileObject(self);
    return -1;
  }
  self->mdf = mdf;
  self->stream = stream;
  self->pythonSource = pythonSource;
  return 0;
}

// __iter__: one iterator per data group, merged by timestamp (of equal
// timestamps, the earlier data group's frame first).
static PyObject* MdfFile_iter(PyObject* object) {
  MdfFileObject* self = asMdfFile(object);
  if (!MdfFile_checkOpen(self) || !MdfFile_enter(self)) return nullptr;
  // The file object may have been used or closed since the last read.
  BufferWrapper_dropChunk(cGenericFile_outermost(self->stream));
  double startTime = cMdf_getStartTime(self->mdf, 1);
  OwnedRef iterators(PyList_New(0));
  bool ok = static_cast<bool>(iterators);
  const cMdfBlockList* groups = cMdf_getDataGroups(self->mdf);
  size_t count = cMdfBlockList_size(groups);
  for (size_t i = 0; ok && i < count; ++i) {
    cMdfBusMsgContainer* container = cMdfBusMsgContainer_ctor(
        cMdfBlock_t_to_cMdfBlock_DG_t_mut(cMdfBlockList_at(groups, i)));
    OwnedRef iterator(MdfFileIterator_fromGroup(object, container, startTime, i,
                                                self->skipUnknownRecords));
    ok = iterator && PyList_Append(iterators.get(), iterator.get()) == 0;
  }
  MdfFile_leave(self);
  if (!ok) return nullptr;
  OwnedRef arguments(PyList_AsTuple(iterators.get()));
  if (!arguments) return nullptr;
  return PyObject_Call(heapQMerge, arguments.get(), nullptr);
}

// A Python str of UTF-8 bytes; undecodable bytes become U+FFFD.
static PyObject* text(const std::string& value) {
  return PyUnicode_DecodeUTF8(value.data(),
                              static_cast<Py_ssize_t>(value.size()), "replace");
}

static PyObject* MdfFile_property(const cMdfMetaData& property) {
  OwnedRef result(PyDict_New());
  if (!result) return nullptr;
  const struct {
    const char* key;
    PyObject* value;
  } items[] = {
      {"name", text(property.name)},
      {"description", text(property.description)},
      {"read_only", PyBool_FromLong(property.readOnly)},
      {"unit", text(property.unit)},
      {"value_raw", text(property.valueRaw)},
      {"value_type", text(property.valueType)},
  };
  bool ok = true;
  for (const auto& item : items) {
    ok = ok && item.value != nullptr &&
         PyDict_SetItemString(result.get(), item.key, item.value) == 0;
    Py_XDECREF(item.value);
  }
  return ok ? result.release() : nullptr;
}

// get_metadata(): {key: {"name", "description", "read_only", "unit",
// "value_raw", "value_type"}} of the header comment's properties.
static PyObject* MdfFile_getMetadata(PyObject* object, PyObject*) {
  MdfFileObject* self = asMdfFile(object);
  if (!MdfFile_checkOpen(self)) return nullptr;
  bool complete = true;
  cMdfMetaDataMap properties = cMdf_getMetaData(self->mdf, &complete);
  if (!complete) return PyErr_NoMemory();
  OwnedRef result(PyDict_New());
  if (!result) return nullptr;
  for (const auto& [key, property] : properties) {
    OwnedRef pyKey(text(key));
    OwnedRef value(MdfFile_property(property));
    if (!pyKey || !value ||
        PyDict_SetItem(result.get(), pyKey.get(), value.get()) < 0)
      return nullptr;
  }
  return result.release();
}

// close(*args): releases the file, then forwards to the base class's close
// where python-can has one.
static PyObject* MdfFile_close(PyObject* object, PyObject* args) {
  MdfFileObject* self = asMdfFile(object);
  if (!MdfFile_checkIdle(self)) return nullptr;
  MdfFile_release(self);
  if (!MdfFile_closeFileObject(self)) return nullptr;
  OwnedRef super(
      PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(&PySuper_Type),
                                   MdfFileBaseType, object, nullptr));
  if (!super) return nullptr;
  OwnedRef close(PyObject_GetAttrString(super.get(), "close"));
  if (!close) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
    PyErr_Clear();
    Py_RETURN_NONE;
  }
  return PyObject_Call(close.get(), args, nullptr);
}

// _layout(): {"containers": [(kind, device id), ...], "version": int,
// "version_text": str, "unfinalized": int, "unfinalized_custom": int,
// "groups": [{"channel_groups": int, "record_id_size": int}, ...]}.
static PyObject* MdfFile_layout(PyObject* object, PyObject*) {
  MdfFileObject* self = asMdfFile(object);
  if (!MdfFile_checkOpen(self)) return nullptr;
  const cMdfBlock_ID_t* id = cMdfBlock_t_to_cMdfBlock_ID_t(self->mdf->root);
  OwnedRef groups(PyList_New(0));
  if (!groups) return nullptr;
  const cMdfBlockList* list = cMdf_getDataGroups(self->mdf);
  for (size_t i = 0; i < cMdfBlockList_size(list); ++i) {
    const cMdfBlock_DG_t* group =
        cMdfBlock_t_to_cMdfBlock_DG_t(cMdfBlockList_at(list, i));
    OwnedRef item(Py_BuildValue(
        "{s:n,s:i}", "channel_groups",
        static_cast<Py_ssize_t>(cMdfBlockList_size(&group->channelGroups)),
        "record_id_size", static_cast<int>(group->recordIdSize)));
    if (!item || PyList_Append(groups.get(), item.get()) < 0) return nullptr;
  }
  std::string versionText(id->versionText, sizeof id->versionText);
  versionText.erase(versionText.find_last_not_of(std::string(" \0", 2)) + 1);
  return Py_BuildValue(
      "{s:O,s:i,s:N,s:i,s:i,s:O}", "containers", self->containers, "version",
      static_cast<int>(id->version), "version_text", text(versionText),
      "unfinalized", static_cast<int>(id->finalizationFlags),
      "unfinalized_custom", static_cast<int>(id->finalizationFlagsCustom),
      "groups", groups.get());
}

// _finalized(): the log finalized and sorted, as the bytes of a new MF4
// file. Iterators and column readers over the reader are closed first: the
// data groups change. RuntimeError when the records of a data group cannot
// be told apart (with the library's reason, naming the group, as its cause),
// OSError when reading them fails, MemoryError when memory runs out.
static PyObject* MdfFile_finalized(PyObject* object, PyObject*) {
  MdfFileObject* self = asMdfFile(object);
  if (!MdfFile_checkOpen(self) || !MdfFile_enter(self)) return nullptr;
  MdfFileIterator_detachAll(self);
  ColumnReader_detachAll(self);
  PyObject* result = nullptr;
  cReason reason{};
  const int finalized = cMdf_finalizeAndSort(self->mdf, &reason);
  if (finalized == kMdfFinalizeNoMemory) {
    PyErr_NoMemory();
  } else if (finalized == kMdfFinalizeReadFailed) {
    // A failing file object's own error becomes the cause.
    raiseReadFailure(kMdfReadFailed);
  } else if (finalized != kMdfFinalizeDone) {
    MdfFile_raiseWithReason("the records of a data group cannot be told apart",
                            &reason);
  } else {
    // The save pass seeks back and forth: it writes into memory first.
    cIO* saved = cIO_memoryAlloc_ctor();
    const int64_t size = saved != nullptr && cMdf_save(self->mdf, saved)
                             ? cIO_getSize(saved)
                             : -1;
    if (size < 0 || size > PY_SSIZE_T_MAX ||
        cIO_seek(saved, 0, CIO_SEEK_SET) != 0) {
      PyErr_SetString(PyExc_RuntimeError, "Could not save the file");
    } else {
      result =
          PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size));
      if (result != nullptr && size > 0 &&
          cIO_read(saved, PyBytes_AsString(result),
                   static_cast<size_t>(size)) != size) {
        Py_CLEAR(result);
        PyErr_SetString(PyExc_RuntimeError, "Could not save the file");
      }
    }
    cIO_close(saved);
  }
  MdfFile_leave(self);
  return result;
}

// stop(): what python-can's context manager calls on exit; closes.
static PyObject* MdfFile_stop(PyObject* object, PyObject*) {
  OwnedRef args(PyTuple_New(0));
  if (!args) return nullptr;
  return MdfFile_close(object, args.get());
}

// __init_subclass__: refuses subclasses of MdfFile and of its native base,
// MdfFile itself excepted, so that a method's class and the instance's class
// are the same, as for the native types.
static PyObject* MdfFile_initSubclass(PyObject*, PyObject*, PyObject*) {
  if (!creatingMdfFile) {
    PyErr_SetString(PyExc_TypeError,
                    "type 'MdfFile' is not an acceptable base type");
    return nullptr;
  }
  Py_RETURN_NONE;
}

// Finaliser: releases the file; keeps any pending error.
static void MdfFile_finalize(PyObject* object) {
  MdfFileObject* self = asMdfFile(object);
  PendingError pending;
  PendingError_fetch(&pending);
  MdfFile_release(self);
  if (!MdfFile_closeFileObject(self)) PyErr_Clear();
  PendingError_restore(&pending);
}

static void MdfFile_dealloc(PyObject* object) {
  PyTypeObject* type = Py_TYPE(object);
  MdfFile_release(asMdfFile(object));
  auto release = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  release(object);
  Py_DECREF(type);
}

PyDoc_STRVAR(MdfFile_close_doc,
             "close($self, /, *args)\n--\n\n"
             "Release the log file. Iterators still around then raise\n"
             "RuntimeError(\"Handle has been closed\"); closing again does\n"
             "nothing. A file object passed in stays open (it is the\n"
             "caller's).");
PyDoc_STRVAR(MdfFile_getMetadata_doc,
             "get_metadata($self, /)\n--\n\n"
             "The recording's properties from the header comment, as a dict\n"
             "{key: {\"name\", \"description\", \"read_only\", \"unit\",\n"
             "\"value_raw\", \"value_type\"}}, for example\n"
             "get_metadata()[\"HDcomment.serial\"][\"value_raw\"].");
PyDoc_STRVAR(MdfFile_stop_doc,
             "stop($self, /)\n--\n\n"
             "Close the reader, as close() does; python-can's context\n"
             "manager calls it on exit.");
PyDoc_STRVAR(MdfFile_initSubclass_doc,
             "Refuse subclasses: MdfFile cannot be used as a base class.");

static PyMethodDef MdfFileMethods[] = {
    {"close", reinterpret_cast<PyCFunction>(MdfFile_close), METH_VARARGS,
     MdfFile_close_doc},
    {"get_metadata", reinterpret_cast<PyCFunction>(MdfFile_getMetadata),
     METH_NOARGS, MdfFile_getMetadata_doc},
    {"stop", reinterpret_cast<PyCFunction>(MdfFile_stop), METH_NOARGS,
     MdfFile_stop_doc},
    {"_layout", reinterpret_cast<PyCFunction>(MdfFile_layout), METH_NOARGS,
     nullptr},
    {"_finalized", reinterpret_cast<PyCFunction>(MdfFile_finalized),
     METH_NOARGS, nullptr},
    {"__init_subclass__",
     reinterpret_cast<PyCFunction>(
         reinterpret_cast<void (*)(void)>(MdfFile_initSubclass)),
     METH_VARARGS | METH_KEYWORDS | METH_CLASS, MdfFile_initSubclass_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyDoc_STRVAR(MdfFileBase_doc,
             "Native part of MdfFile: the open log and everything MdfFile\n"
             "does. Use MdfFile.");

PyDoc_STRVAR(
    MdfFile_doc,
    "MdfFile(file, passwords=None, skip_unknown_records=False,\n"
    "        any_writer=False)\n\n"
    "Reader of MF4 bus logs (plain, compressed or encrypted), a python-can\n"
    "MessageReader.\n\n"
    "file is a path (str or pathlib.Path) or an open binary file object;\n"
    "passwords maps device ids (eight upper-case hex digits) or\n"
    "\"default\" to the passwords of encrypted logs. Iterating yields\n"
    "every frame of every data group as a CanMsgExtension, in timestamp\n"
    "order (of equal timestamps, the earlier data group's frame first);\n"
    "iterating again starts from the first frame. A record that is not a\n"
    "frame (a LIN error, a group that is not bus logging) ends the\n"
    "iteration with RuntimeError(\"Unknown bus type\"); with\n"
    "skip_unknown_records=True such records are passed over, and one\n"
    "warning per data group on the \"python_can_brenix_mf4\" logger says\n"
    "how many. By default only logs of the logger family open (others\n"
    "raise RuntimeError, \"Unsupported MF4 file\" in the log); with\n"
    "any_writer=True logs of any MF4 writer do (python-can's MF4Writer,\n"
    "asammdf, other loggers), read by the ASAM bus-logging conventions.\n"
    "A log that cannot be read raises FileNotFoundError or\n"
    "RuntimeError at once.");

static PyType_Slot MdfFileSlots[] = {
    {Py_tp_doc, const_cast<char*>(MdfFileBase_doc)},
    {Py_tp_init, reinterpret_cast<void*>(MdfFile_init)},
    {Py_tp_methods, MdfFileMethods},
    {Py_tp_iter, reinterpret_cast<void*>(MdfFile_iter)},
    {Py_tp_finalize, reinterpret_cast<void*>(MdfFile_finalize)},
    {Py_tp_dealloc, reinterpret_cast<void*>(MdfFile_dealloc)},
    {0, nullptr},
};

static PyType_Spec MdfFileSpec = {
    "python_can_brenix_mf4._MdfFileBase",     sizeof(MdfFileObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, MdfFileSlots,
};

// module.attribute.attribute...: new reference or null with a Python error.
static PyObject* importPath(const char* module,
                            std::initializer_list<const char*> attributes) {
  PyObject* object = PyImport_ImportModule(module);
  for (const char* attribute : attributes) {
    if (object == nullptr) return nullptr;
    PyObject* next = PyObject_GetAttrString(object, attribute);
    Py_DECREF(object);
    object = next;
  }
  return object;
}

PyObject* MdfFile_initType() {
  OwnedRef merge(importPath("heapq", {"merge"}));
  if (!merge) return nullptr;
  OwnedRef reader(importPath("can", {"io", "generic", "MessageReader"}));
  if (!reader) return nullptr;
  OwnedRef base(PyType_FromSpec(&MdfFileSpec));
  if (!base) return nullptr;

  // class MdfFile(_MdfFileBase, MessageReader), made by MessageReader's
  // metaclass (ABCMeta) the way a class statement would.
  OwnedRef namespaceDict(Py_BuildValue("{s:s,s:s,s:s}", "__module__",
                                       "python_can_brenix_mf4", "__qualname__",
                                       "MdfFile", "__doc__", MdfFile_doc));
  if (!namespaceDict) return nullptr;
  PyObject* metaclass = reinterpret_cast<PyObject*>(Py_TYPE(reader.get()));
  creatingMdfFile = true;
  OwnedRef type(PyObject_CallFunction(metaclass, "s(OO)O", "MdfFile",
                                      base.get(), reader.get(),
                                      namespaceDict.get()));
  creatingMdfFile = false;
  if (!type) return nullptr;
  heapQMerge = merge.release();
  MdfFileBaseType = base.release();
  MdfFileType = OwnedRef::borrow(type.get()).release();
  return type.release();
}
