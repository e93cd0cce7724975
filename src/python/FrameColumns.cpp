#include "python/FrameColumns.h"

#include <cmath>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "python/MdfFile.h"

// A new bytearray of `size` bytes, not initialised; null with a Python
// error.
static PyObject* newColumn(uint64_t size) {
  return PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size));
}

static ColumnReaderObject* asReader(PyObject* object) {
  return reinterpret_cast<ColumnReaderObject*>(object);
}

static MdfFileObject* ownerOf(ColumnReaderObject* self) {
  return reinterpret_cast<MdfFileObject*>(self->owner);
}

static void link(ColumnReaderObject* self) {
  OwnerList_link(&ownerOf(self)->columnReaders, self);
}

static void unlink(ColumnReaderObject* self) {
  MdfFileObject* owner = ownerOf(self);
  OwnerList_unlink(owner != nullptr ? &owner->columnReaders : nullptr, self);
}

// Releases the library reader (the data groups it borrows must still be
// alive) and leaves the owner's list.
static void release(ColumnReaderObject* self) {
  if (self->reader == nullptr) return;
  cMdfColumnReader* reader = self->reader;
  self->reader = nullptr;
  cMdfColumnReader_dtor(reader);
  unlink(self);
}

void ColumnReader_detachAll(MdfFileObject* owner) {
  while (owner->columnReaders != nullptr) {
    ColumnReaderObject* reader = owner->columnReaders;
    release(reader);
    reader->detached = true;
  }
}

// The items of a sequence of integers in [0, limit] as `T`; false with a
// Python error naming `what`.
template <typename T>
static bool integers(PyObject* sequence, unsigned long long limit,
                     const char* what, std::vector<T>* out) {
  OwnedRef fast(PySequence_Fast(sequence, what));
  if (!fast) return false;
  const Py_ssize_t n = PySequence_Size(fast.get());
  if (n < 0) return false;
  out->reserve(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    OwnedRef item(PySequence_GetItem(fast.get(), i));
    if (!item) return false;
    const unsigned long long value = PyLong_AsUnsignedLongLong(item.get());
    if (PyErr_Occurred() != nullptr || value > limit) {
      PyErr_Clear();
      PyErr_Format(PyExc_ValueError, "%s: values from 0 to %llu", what, limit);
      return false;
    }
    out->push_back(static_cast<T>(value));
  }
  return true;
}

// None or a float.
static bool bound(PyObject* value, bool* has, double* out) {
  *has = value != Py_None;
  if (!*has) return true;
  *out = PyFloat_AsDouble(value);
  return !(*out == -1.0 && PyErr_Occurred() != nullptr);
}

// _ColumnReader(log, channels, ids, kinds, start, stop): channels and ids
// sequences of channel codes and arbitration ids (empty: all), kinds a bit
// mask (0: all), start and stop floats or None.
static PyObject* ColumnReader_new(PyTypeObject* type, PyObject* args,
                                  PyObject* kwargs) {
  PyObject* log = nullptr;
  PyObject* channels = nullptr;
  PyObject* ids = nullptr;
  unsigned long kinds = 0;
  PyObject* start = nullptr;
  PyObject* stop = nullptr;
  static const char* keywords[] = {"log",   "channels", "ids",  "kinds",
                                   "start", "stop",     nullptr};
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOkOO:_ColumnReader",
                                   const_cast<char**>(keywords), &log,
                                   &channels, &ids, &kinds, &start, &stop))
    return nullptr;
  const int isLog = PyObject_IsInstance(log, MdfFileType);
  if (isLog < 0) return nullptr;
  if (isLog == 0) {
    PyErr_SetString(PyExc_TypeError, "log must be an MdfFile");
    return nullptr;
  }
  std::vector<uint16_t> channelCodes;
  std::vector<uint32_t> idValues;
  cMdfColumnFilter filter{};
  if (!integers(channels, 511, "channels", &channelCodes) ||
      !integers(ids, 0xFFFFFFFFull, "ids", &idValues) ||
      !bound(start, &filter.hasStart, &filter.start) ||
      !bound(stop, &filter.hasStop, &filter.stop))
    return nullptr;
  filter.channels = channelCodes.data();
  filter.channelCount = channelCodes.size();
  filter.ids = idValues.data();
  filter.idCount = idValues.size();
  filter.kinds = static_cast<uint32_t>(kinds);

  MdfFileObject* file = reinterpret_cast<MdfFileObject*>(log);
  if (file->mdf == nullptr) {
    PyErr_SetString(PyExc_RuntimeError, "Handle has been closed");
    return nullptr;
  }
  auto allocate =
      reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  OwnedRef object(allocate(type, 0));
  if (!object) return nullptr;
  ColumnReaderObject* self = asReader(object.get());
  // Measuring the file may call a file object's methods.
  if (!MdfFile_enter(file)) return nullptr;
  self->reader = cMdfColumnReader_ctor(file->mdf, &filter);
  MdfFile_leave(file);
  if (PyErr_Occurred() != nullptr) return nullptr;
  if (self->reader == nullptr) return PyErr_NoMemory();
  Py_INCREF(log);
  self->owner = log;
  link(self);
  return object.release();
}

// A text table argument: None, or bytes of `items` items of equal width;
// false with a Python error.
static bool textTable(PyObject* table, uint64_t items, uint64_t rows,
                      const char* what, cMdfColumnText* text) {
  if (table == Py_None) return true;
  if (!PyBytes_Check(table)) {
    PyErr_Format(PyExc_TypeError, "fill: %s must be bytes or None", what);
    return false;
  }
  const auto size = static_cast<uint64_t>(PyBytes_Size(table));
  if (size == 0 || size % items != 0) {
    PyErr_Format(PyExc_ValueError, "fill: %s must hold %llu items of one size",
                 what, static_cast<unsigned long long>(items));
    return false;
  }
  text->table = PyBytes_AsString(table);
  text->items = items;
  text->width = size / items;
  if (rows > static_cast<uint64_t>(PY_SSIZE_T_MAX) / text->width) {
    PyErr_SetString(PyExc_ValueError, "rows out of range");
    return false;
  }
  return true;
}

// fill(rows, wanted, channel_names=None, kind_names=None, helper=True) ->
// (count, [bytearray or None per column]). With a table of names (the
// channel codes' 512, the kinds' 9 from code 0), the column of its codes
// holds the names instead (its bit must be set in `wanted`). `helper`:
// a second thread may share the work.
static PyObject* ColumnReader_fill(PyObject* object, PyObject* args,
                                   PyObject* kwargs) {
  ColumnReaderObject* self = asReader(object);
  unsigned long long rows = 0;
  unsigned long wanted = 0;
  PyObject* channelNames = Py_None;
  PyObject* kindNames = Py_None;
  int helper = 1;
  static const char* keywords[] = {"rows",       "wanted", "channel_names",
                                   "kind_names", "helper", nullptr};
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "Kk|OOp:fill",
                                   const_cast<char**>(keywords), &rows, &wanted,
                                   &channelNames, &kindNames, &helper))
    return nullptr;
  if (self->detached || self->reader == nullptr) {
    PyErr_SetString(PyExc_RuntimeError, "Handle has been closed");
    return nullptr;
  }
  if (rows == 0 || rows > (PY_SSIZE_T_MAX - 8) / 64) {
    PyErr_SetString(PyExc_ValueError, "rows out of range");
    return nullptr;
  }
  cMdfColumnOutput out{};
  out.capacity = rows;
  out.helper = helper != 0;
  static const uint32_t kCodesOf[kMdfTextCount] = {kMdfColumnChannel,
                                                   kMdfColumnKind};
  if (!textTable(channelNames, 512, rows, "channel_names",
                 &out.texts[kMdfTextChannel]) ||
      !textTable(kindNames, 9, rows, "kind_names", &out.texts[kMdfTextKind]))
    return nullptr;
  for (uint32_t t = 0; t < kMdfTextCount; ++t) {
    if (out.texts[t].table != nullptr && ((wanted >> kCodesOf[t]) & 1u) == 0) {
      PyErr_SetString(PyExc_ValueError, "fill: names of a column not wanted");
      return nullptr;
    }
  }
  OwnedRef list(PyList_New(kMdfColumnCount));
  if (!list) return nullptr;
  // The codes of a column given as names: the library's own, for this fill.
  std::unique_ptr<uint8_t[]> codes[kMdfTextCount];
  for (uint32_t c = 0; c < kMdfColumnCount; ++c) {
    PyObject* column = Py_None;
    const uint64_t width = cMdfColumn_width(c);
    if ((wanted >> c) & 1u) {
      uint32_t t = 0;
      while (t < kMdfTextCount && kCodesOf[t] != c) ++t;
      const bool named = t < kMdfTextCount && out.texts[t].table != nullptr;
      const uint64_t size =
          named ? rows * out.texts[t].width
                : rows * width + (c == kMdfColumnDataOffsets ? 8 : 0);
      column = newColumn(size);
      if (column == nullptr) return nullptr;
      if (named) {
        out.texts[t].out = PyByteArray_AsString(column);
        codes[t].reset(new (std::nothrow) uint8_t[rows * width]);
        if (!codes[t]) {
          Py_DECREF(column);
          return PyErr_NoMemory();
        }
        out.columns[c] = codes[t].get();
      } else {
        out.columns[c] = PyByteArray_AsString(column);
      }
    } else {
      Py_INCREF(column);
    }
    PyList_SetItem(list.get(), c, column);  // steals column
  }
  MdfFileObject* owner = ownerOf(self);
  if (!MdfFile_enter(owner)) return nullptr;
  // Other threads run while the library decodes, unless the source is a
  // Python file object (the reader, busy meanwhile, keeps them off it).
  if (owner->pythonSource) {
    cMdfColumnReader_fill(self->reader, &out);
  } else {
    Py_BEGIN_ALLOW_THREADS cMdfColumnReader_fill(self->reader, &out);
    Py_END_ALLOW_THREADS
  }
  MdfFile_leave(owner);
  // A file object, container or read that failed, memory that ran short:
  // the rows may miss frames.
  if (PyErr_Occurred() != nullptr || MdfFile_raiseContainerFault(owner) ||
      raiseReadFailure(cMdfColumnReader_failure(self->reader)))
    return nullptr;
  for (uint32_t c = 0; c < kMdfColumnCount; ++c) {
    PyObject* column = PyList_GetItem(list.get(), c);
    if (column == Py_None) continue;
    uint64_t size = out.rows * cMdfColumn_width(c);
    if (c == kMdfColumnDataOffsets) size += 8;
    if (c == kMdfColumnDataValues) {
      const auto* offsets =
          static_cast<const int64_t*>(out.columns[kMdfColumnDataOffsets]);
      // Without offsets the values are of no use: nothing is kept.
      size = offsets != nullptr ? static_cast<uint64_t>(offsets[out.rows]) : 0;
    }
    for (uint32_t t = 0; t < kMdfTextCount; ++t) {
      if (kCodesOf[t] == c && out.texts[t].out != nullptr)
        size = out.rows * out.texts[t].width;
    }
    if (PyByteArray_Resize(column, static_cast<Py_ssize_t>(size)) < 0)
      return nullptr;
  }
  return Py_BuildValue("(KO)", static_cast<unsigned long long>(out.rows),
                       list.get());
}

// estimate() -> the rows the file may give (see cMdfColumnReader_rowEstimate)
static PyObject* ColumnReader_estimate(PyObject* object, PyObject*) {
  ColumnReaderObject* self = asReader(object);
  return PyLong_FromUnsignedLongLong(
      cMdfColumnReader_rowEstimate(self->reader));
}

// split(values, offsets) -> list of bytes: row i is values[offsets[i]:
// offsets[i + 1]], offsets being int64 in native order.
static PyObject* ColumnReader_split(PyObject*, PyObject* args) {
  PyObject* values = nullptr;
  PyObject* offsets = nullptr;
  if (!PyArg_ParseTuple(args, "O!O!:split", &PyByteArray_Type, &values,
                        &PyByteArray_Type, &offsets))
    return nullptr;
  const Py_ssize_t size = PyByteArray_Size(values);
  const Py_ssize_t count = PyByteArray_Size(offsets) / 8 - 1;
  if (count < 0) return PyList_New(0);
  const char* bytes = PyByteArray_AsString(values);
  const auto* at =
      reinterpret_cast<const int64_t*>(PyByteArray_AsString(offsets));
  OwnedRef list(PyList_New(count));
  if (!list) return nullptr;
  for (Py_ssize_t i = 0; i < count; ++i) {
    const int64_t first = at[i];
    const int64_t end = at[i + 1];
    if (first < 0 || end < first || end > size) {
      PyErr_SetString(PyExc_ValueError, "offsets outside the values");
      return nullptr;
    }
    PyObject* item = PyBytes_FromStringAndSize(bytes + first, end - first);
    if (item == nullptr) return nullptr;
    PyList_SetItem(list.get(), i, item);  // steals item
  }
  return list.release();
}

static int ColumnReader_traverse(PyObject* object, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(object));
  Py_VISIT(asReader(object)->owner);
  return 0;
}

static int ColumnReader_clear(PyObject* object) {
  ColumnReaderObject* self = asReader(object);
  release(self);
  Py_CLEAR(self->owner);
  return 0;
}

static void ColumnReader_dealloc(PyObject* object) {
  PyTypeObject* type = Py_TYPE(object);
  PyObject_GC_UnTrack(object);
  ColumnReader_clear(object);
  auto free = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free(object);
  Py_DECREF(type);
}

static PyMethodDef ColumnReaderMethods[] = {
    {"fill",
     reinterpret_cast<PyCFunction>(
         reinterpret_cast<void (*)(void)>(ColumnReader_fill)),
     METH_VARARGS | METH_KEYWORDS,
     "fill($self, rows, wanted, channel_names=None, kind_names=None, "
     "helper=True)\n--\n\n"
     "Writes the next rows (at most `rows`) into the columns whose bits are "
     "set in `wanted`, the channel and kind columns as names where their "
     "tables are given; returns (count, columns)."},
    {"estimate", ColumnReader_estimate, METH_NOARGS,
     "estimate($self, /)\n--\n\n"
     "The number of rows the file may give, for sizing arrays."},
    {"split", ColumnReader_split, METH_VARARGS | METH_STATIC,
     "split(values, offsets, /)\n--\n\n"
     "The payloads of packed values and their int64 offsets as a list of "
     "bytes."},
    {nullptr, nullptr, 0, nullptr},
};

PyDoc_STRVAR(ColumnReader_doc,
             "_ColumnReader(log, channels, ids, kinds, start, stop)\n--\n\n"
             "The frames of an open MdfFile as column arrays, merged in the "
             "order of message iteration and filtered (internal: see "
             "MdfFile.to_numpy).");

static PyType_Slot ColumnReaderSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(ColumnReader_new)},
    {Py_tp_methods, ColumnReaderMethods},
    {Py_tp_traverse, reinterpret_cast<void*>(ColumnReader_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(ColumnReader_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(ColumnReader_dealloc)},
    {Py_tp_doc, const_cast<char*>(ColumnReader_doc)},
    {0, nullptr},
};

static PyType_Spec ColumnReaderSpec = {
    "python_can_brenix_mf4._native._ColumnReader",
    sizeof(ColumnReaderObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    ColumnReaderSlots,
};

// The type ColumnReader_initType created (a reference kept for the life of
// the process).
static PyObject* columnReaderType = nullptr;

PyObject* ColumnReader_initType() {
  PyObject* type = PyType_FromSpec(&ColumnReaderSpec);
  if (type != nullptr && columnReaderType == nullptr) {
    Py_INCREF(type);
    columnReaderType = type;
  }
  return type;
}

bool ColumnReader_check(PyObject* object) {
  return columnReaderType != nullptr &&
         PyObject_TypeCheck(object,
                            reinterpret_cast<PyTypeObject*>(columnReaderType));
}
