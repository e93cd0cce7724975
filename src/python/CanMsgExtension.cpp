#include "python/CanMsgExtension.h"

#include <algorithm>

PyObject* CanMsgBaseType = nullptr;
PyObject* CanMsgExtensionType = nullptr;

// The attributes of can.Message, one __slots__ entry each. Their names are
// interned once: a message is built for every frame of a log.
enum MessageKey {
  kKeyTimestamp,
  kKeyArbitrationId,
  kKeyIsExtendedId,
  kKeyIsRemoteFrame,
  kKeyIsErrorFrame,
  kKeyChannel,
  kKeyDlc,
  kKeyData,
  kKeyIsFd,
  kKeyIsRx,
  kKeyBitrateSwitch,
  kKeyErrorStateIndicator,
  kKeyCount,
};
static const char* const kMessageKeyNames[kKeyCount] = {
    "timestamp",
    "arbitration_id",
    "is_extended_id",
    "is_remote_frame",
    "is_error_frame",
    "channel",
    "dlc",
    "data",
    "is_fd",
    "is_rx",
    "bitrate_switch",
    "error_state_indicator",
};
static PyObject* messageKeys[kKeyCount];

// Where can.Message keeps each attribute in an instance: the byte offset of
// its __slots__ entry, found once by CanMsgExtension_findSlots. While
// directSlots is false (a python-can whose messages hold attributes this
// module does not know), messages are built through can.Message.__init__.
static Py_ssize_t slotOffsets[kKeyCount];
static bool directSlots = false;
static allocfunc allocateMessage = nullptr;  // CanMsgExtension's tp_alloc

// The channel names ("CAN 1", "LIN 2"), made at the first frame of each bus
// channel and shared by all its messages; process-wide, never released.
static PyObject* canChannelNames[256];
static PyObject* linChannelNames[256];

static PyObject* initName = nullptr;  // "__init__", interned

// __init__: everything goes to can.Message.__init__ unchanged. The type
// cannot be subclassed, so the next __init__ in the method resolution order
// is can.Message's: it is called directly (looked up on every call, so a
// patched can.Message.__init__ is honoured), which spares creating a super
// object per call. The messages of a log do not come this way (see
// CanMsgExtension_createFromWrapped).
static int CanMsgExtension_init(PyObject* self, PyObject* args,
                                PyObject* kwargs) {
  OwnedRef init(PyObject_GetAttr(CanMsgBaseType, initName));
  if (!init) return -1;
  Py_ssize_t count = args != nullptr ? PyTuple_Size(args) : 0;
  OwnedRef arguments(PyTuple_New(count + 1));
  if (!arguments) return -1;
  Py_INCREF(self);
  PyTuple_SetItem(arguments.get(), 0, self);
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* item = PyTuple_GetItem(args, i);
    Py_INCREF(item);
    PyTuple_SetItem(arguments.get(), i + 1, item);
  }
  OwnedRef result(PyObject_Call(init.get(), arguments.get(), kwargs));
  return result ? 0 : -1;
}

// The attribute `key` of a message of exactly this type, borrowed, read
// from its slot; null when the slot is empty (the attribute was deleted).
static PyObject* slotValue(PyObject* message, MessageKey key) {
  return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(message) +
                                       slotOffsets[key]);
}

// __hash__: hash of the 12-tuple of the attributes in MessageKey order, data
// entering as str(data).
static Py_hash_t CanMsgExtension_hashfunc(PyObject* self) {
  OwnedRef tuple(PyTuple_New(kKeyCount));
  if (!tuple) return -1;
  for (int i = 0; i < kKeyCount; ++i) {
    PyObject* value = PyObject_GetAttr(self, messageKeys[i]);
    if (value != nullptr && i == kKeyData) {
      PyObject* text = PyObject_Str(value);
      Py_DECREF(value);
      value = text;
    }
    if (value == nullptr) return -1;
    PyTuple_SetItem(tuple.get(), i, value);  // steals value
  }
  return PyObject_Hash(tuple.get());
}

// The timestamp of a message as a double; false with a Python error.
static bool CanMsgExtension_timestamp(PyObject* message, double* out) {
  OwnedRef value(PyObject_GetAttr(message, messageKeys[kKeyTimestamp]));
  if (!value) return false;
  *out = PyFloat_AsDouble(value.get());
  return !(*out == -1.0 && PyErr_Occurred() != nullptr);
}

// Both timestamps when both operands are messages of exactly this type with
// float timestamps, read straight from their slots: heapq.merge compares
// the messages of a log this way. False when the general path must decide.
static bool CanMsgExtension_fastTimestamps(PyObject* self, PyObject* other,
                                           double* a, double* b) {
  if (!directSlots ||
      Py_TYPE(self) != reinterpret_cast<PyTypeObject*>(CanMsgExtensionType) ||
      Py_TYPE(other) != Py_TYPE(self))
    return false;
  PyObject* first = slotValue(self, kKeyTimestamp);
  PyObject* second = slotValue(other, kKeyTimestamp);
  if (first == nullptr || second == nullptr || !PyFloat_CheckExact(first) ||
      !PyFloat_CheckExact(second))
    return false;
  *a = PyFloat_AsDouble(first);
  *b = PyFloat_AsDouble(second);
  return true;
}

// Rich comparison by timestamp alone, with any can.Message. Anything else is
// refused, for equality too.
static PyObject* CanMsgExtension_richcompare(PyObject* self, PyObject* other,
                                             int op) {
  double a = 0.0;
  double b = 0.0;
  if (!CanMsgExtension_fastTimestamps(self, other, &a, &b)) {
    int compatible = PyObject_IsInstance(other, CanMsgBaseType);
    if (compatible < 0) return nullptr;
    if (compatible == 0) {
      PyErr_SetString(PyExc_TypeError,
                      "Attempting to compare incompatible classes");
      return nullptr;
    }
    if (!CanMsgExtension_timestamp(self, &a) ||
        !CanMsgExtension_timestamp(other, &b))
      return nullptr;
  }
  bool result = false;
  switch (op) {
    case Py_LT:
      result = a < b;
      break;
    case Py_LE:
      result = a <= b;
      break;
    case Py_EQ:
      result = a == b;
      break;
    case Py_NE:
      result = a != b;
      break;
    case Py_GT:
      result = a > b;
      break;
    case Py_GE:
      result = a >= b;
      break;
    default:
      Py_RETURN_NOTIMPLEMENTED;
  }
  return PyBool_FromLong(result);
}

PyDoc_STRVAR(
    CanMsgExtension_doc,
    "A can.Message made by MdfFile for one logged frame.\n\n"
    "It has the attributes and methods of can.Message. In addition it\n"
    "hashes over its content and compares with any can.Message by\n"
    "timestamp alone (<, ==, ...), the order in which MdfFile merges the\n"
    "frames of all data groups.");

static PyType_Slot CanMsgExtension_slots[] = {
    {Py_tp_doc, const_cast<char*>(CanMsgExtension_doc)},
    {Py_tp_init, reinterpret_cast<void*>(CanMsgExtension_init)},
    {Py_tp_hash, reinterpret_cast<void*>(CanMsgExtension_hashfunc)},
    {Py_tp_richcompare, reinterpret_cast<void*>(CanMsgExtension_richcompare)},
    {0, nullptr},
};

// The module part of the name gives the type its __module__; the visible
// name stays "CanMsgExtension".
static PyType_Spec CanMsgExtension_spec = {
    "python_can_brenix_mf4.CanMsgExtension",
    0,
    0,
    Py_TPFLAGS_DEFAULT,
    CanMsgExtension_slots,
};

// The index of the attribute `name` (a str) in MessageKey order; kKeyCount
// for "__weakref__", -1 for any other name.
static int CanMsgExtension_keyOf(PyObject* name) {
  for (int i = 0; i < kKeyCount; ++i) {
    int equal = PyObject_RichCompareBool(name, messageKeys[i], Py_EQ);
    if (equal != 0) return equal < 0 ? -1 : i;
  }
  if (PyUnicode_CompareWithASCIIString(name, "__weakref__") == 0)
    return kKeyCount;
  return -1;
}

// Finds the slot of every attribute in an instance of `type`: sets each
// attribute of a fresh instance to an object of its own and looks for that
// object's address among the instance's words. directSlots stays false
// unless can.Message's __slots__ hold exactly the known attributes (and
// __weakref__) and each is found at one offset of its own. A failure here
// only leaves messages on the __init__ path, so no error is kept.
static void CanMsgExtension_findSlots(PyTypeObject* type) {
  directSlots = false;
  OwnedRef slots(PyObject_GetAttrString(CanMsgBaseType, "__slots__"));
  OwnedRef names(slots ? PySequence_Tuple(slots.get()) : nullptr);
  OwnedRef size(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type),
                                       "__basicsize__"));
  Py_ssize_t basicSize = size ? PyLong_AsSsize_t(size.get()) : -1;
  allocateMessage =
      reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  if (!names || basicSize <= 0 || allocateMessage == nullptr) {
    PyErr_Clear();
    return;
  }
  bool seen[kKeyCount] = {};
  for (Py_ssize_t i = 0; i < PyTuple_Size(names.get()); ++i) {
    PyObject* name = PyTuple_GetItem(names.get(), i);
    int key = PyUnicode_Check(name) ? CanMsgExtension_keyOf(name) : -1;
    if (key < 0) {
      PyErr_Clear();
      return;
    }
    if (key < kKeyCount) seen[key] = true;
  }
  if (std::find(seen, seen + kKeyCount, false) != seen + kKeyCount) return;

  OwnedRef probe(allocateMessage(type, 0));
  if (!probe) {
    PyErr_Clear();
    return;
  }
  auto* words = reinterpret_cast<PyObject**>(probe.get());
  Py_ssize_t wordCount = basicSize / static_cast<Py_ssize_t>(sizeof(void*));
  for (int key = 0; key < kKeyCount; ++key) {
    OwnedRef marker(PyList_New(0));  // an object no other slot holds
    if (!marker ||
        PyObject_SetAttr(probe.get(), messageKeys[key], marker.get()) < 0) {
      PyErr_Clear();
      return;
    }
    slotOffsets[key] = 0;
    for (Py_ssize_t word = 0; word < wordCount; ++word) {
      if (words[word] != marker.get()) continue;
      if (slotOffsets[key] != 0) return;  // found twice
      slotOffsets[key] = word * static_cast<Py_ssize_t>(sizeof(void*));
    }
    if (slotOffsets[key] == 0) return;
  }
  directSlots = true;
}

PyObject* CanMsgExtension_initType() {
  for (int i = 0; i < kKeyCount; ++i) {
    if (messageKeys[i] != nullptr) continue;
    messageKeys[i] = PyUnicode_InternFromString(kMessageKeyNames[i]);
    if (messageKeys[i] == nullptr) return nullptr;
  }
  if (initName == nullptr) {
    initName = PyUnicode_InternFromString("__init__");
    if (initName == nullptr) return nullptr;
  }
  OwnedRef can(PyImport_ImportModule("can"));
  if (!can) return nullptr;
  OwnedRef base(PyObject_GetAttrString(can.get(), "Message"));
  if (!base) return nullptr;
  OwnedRef bases(PyTuple_Pack(1, base.get()));
  if (!bases) return nullptr;
  OwnedRef type(PyType_FromSpecWithBases(&CanMsgExtension_spec, bases.get()));
  if (!type) return nullptr;
  CanMsgBaseType = base.release();
  CanMsgExtensionType = OwnedRef::borrow(type.get()).release();
  CanMsgExtension_findSlots(reinterpret_cast<PyTypeObject*>(type.get()));
  return type.release();
}

// The shared name of a bus channel in `names` (canChannelNames or
// linChannelNames), made with `format` at first use. Borrowed, or null
// with a Python error.
static PyObject* channelName(PyObject** names, const char* format,
                             uint8_t channel) {
  if (names[channel] == nullptr)
    names[channel] =
        PyUnicode_FromFormat(format, static_cast<unsigned>(channel));
  return names[channel];
}

// Payload bytes of the frame, never more than its kind's payload member holds.
static uint64_t payloadLength(const cMdfBusMsg* frame) {
  if (frame->data == nullptr) return 0;
  uint64_t capacity =
      frame->kind == kMdfBusMsgLin ? kMdfLinPayloadSize : kMdfCanPayloadSize;
  return std::min(frame->dataLength, capacity);
}

// The flags and channel of a frame by its kind; the other attributes keep
// the values can.Message.__init__ gives when they are not passed.
struct MessageFlags {
  bool isExtendedId = true;
  bool isRemoteFrame = false;
  bool isErrorFrame = false;
  bool isFd = false;
  bool isRx = true;
  bool bitrateSwitch = false;
  bool errorStateIndicator = false;
  bool hasData = true;          // can.Message drops the data of a remote frame
  PyObject* channel = nullptr;  // borrowed
};

// False with RuntimeError "Unknown bus type" for a frame of no known kind,
// or with the error of a failed channel name.
static bool messageFlags(const cMdfBusMsg* frame, MessageFlags* flags) {
  switch (frame->kind) {
    case kMdfBusMsgCanData:
      flags->isFd = frame->can.edl;
      flags->errorStateIndicator = frame->can.esi;
      flags->bitrateSwitch = frame->can.brs;
      flags->isRx = !frame->can.dir;
      flags->isExtendedId = frame->can.ide;
      flags->channel =
          channelName(canChannelNames, "CAN %u", frame->can.busChannel);
      break;
    case kMdfBusMsgCanRemote:
      flags->isRemoteFrame = true;
      flags->hasData = false;
      flags->isRx = !frame->can.dir;
      flags->isExtendedId = frame->can.ide;
      flags->channel =
          channelName(canChannelNames, "CAN %u", frame->can.busChannel);
      break;
    case kMdfBusMsgCanError:
      flags->isErrorFrame = true;
      flags->channel =
          channelName(canChannelNames, "CAN %u", frame->canError.busChannel);
      break;
    case kMdfBusMsgLin:
      flags->isRx = !frame->lin.dir;
      flags->isExtendedId = false;
      flags->channel =
          channelName(linChannelNames, "LIN %u", frame->lin.busChannel);
      break;
    default:
      PyErr_SetString(PyExc_RuntimeError, "Unknown bus type");
      return false;
  }
  return flags->channel != nullptr;
}

static PyObject* newBool(bool value) {
  PyObject* result = value ? Py_True : Py_False;
  Py_INCREF(result);
  return result;
}

bool CanMsgExtension_isFrame(const cMdfBusMsg* frame) {
  return frame != nullptr && frame->kind >= kMdfBusMsgCanData &&
         frame->kind <= kMdfBusMsgLin;
}

PyObject* CanMsgExtension_createFromWrapped(const cMdfBusMsg* frame,
                                            double startTime) {
  MessageFlags flags;
  if (frame == nullptr || CanMsgExtensionType == nullptr) {
    PyErr_SetString(PyExc_RuntimeError, "Unknown bus type");
    return nullptr;
  }
  if (!messageFlags(frame, &flags)) return nullptr;
  uint64_t length = payloadLength(frame);
  // Every attribute, in MessageKey order, as can.Message.__init__ sets it
  // from the keyword arguments of this frame (new references).
  Py_INCREF(flags.channel);
  PyObject* values[kKeyCount] = {
      PyFloat_FromDouble(startTime + frame->timeOffset),
      PyLong_FromUnsignedLong(frame->id & 0x1FFFFFFFu),
      newBool(flags.isExtendedId),
      newBool(flags.isRemoteFrame),
      newBool(flags.isErrorFrame),
      flags.channel,
      PyLong_FromUnsignedLongLong(length),
      PyByteArray_FromStringAndSize(
          reinterpret_cast<const char*>(frame->data),
          flags.hasData ? static_cast<Py_ssize_t>(length) : 0),
      newBool(flags.isFd),
      newBool(flags.isRx),
      newBool(flags.bitrateSwitch),
      newBool(flags.errorStateIndicator),
  };
  bool complete =
      std::find(values, values + kKeyCount, nullptr) == values + kKeyCount;
  PyObject* message = nullptr;
  if (complete && directSlots) {
    // A fresh instance has every slot empty: the values go straight in.
    message = allocateMessage(
        reinterpret_cast<PyTypeObject*>(CanMsgExtensionType), 0);
    if (message != nullptr) {
      for (int i = 0; i < kKeyCount; ++i) {
        *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(message) +
                                      slotOffsets[i]) = values[i];
        values[i] = nullptr;
      }
    }
  } else if (complete) {
    OwnedRef kwargs(PyDict_New());
    bool ok = static_cast<bool>(kwargs);
    for (int i = 0; ok && i < kKeyCount; ++i)
      ok = PyDict_SetItem(kwargs.get(), messageKeys[i], values[i]) == 0;
    OwnedRef noArgs(ok ? PyTuple_New(0) : nullptr);
    if (noArgs)
      message = PyObject_Call(CanMsgExtensionType, noArgs.get(), kwargs.get());
  }
  for (PyObject* value : values) Py_XDECREF(value);
  return message;
}
