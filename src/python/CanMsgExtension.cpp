#include "python/CanMsgExtension.h"

#include <algorithm>

PyObject* CanMsgBaseType = nullptr;
PyObject* CanMsgExtensionType = nullptr;

// Keyword names of can.Message.__init__, interned once: a message is built
// for every frame of a log.
enum MessageKey {
  kKeyTimestamp,
  kKeyArbitrationId,
  kKeyDlc,
  kKeyData,
  kKeyIsFd,
  kKeyErrorStateIndicator,
  kKeyBitrateSwitch,
  kKeyIsRx,
  kKeyIsExtendedId,
  kKeyChannel,
  kKeyIsRemoteFrame,
  kKeyIsErrorFrame,
  kKeyCount,
};
static const char* const kMessageKeyNames[kKeyCount] = {
    "timestamp",      "arbitration_id",  "dlc",
    "data",           "is_fd",           "error_state_indicator",
    "bitrate_switch", "is_rx",           "is_extended_id",
    "channel",        "is_remote_frame", "is_error_frame",
};
static PyObject* messageKeys[kKeyCount];

// The attributes hashed, in this order; data enters as str(data).
static const char* const kHashAttributes[] = {
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
constexpr Py_ssize_t kHashDataIndex = 7;

static PyObject* initName = nullptr;  // "__init__", interned

// __init__: everything goes to can.Message.__init__ unchanged. The type
// cannot be subclassed, so the next __init__ in the method resolution order
// is can.Message's: it is called directly (looked up on every call, so a
// patched can.Message.__init__ is honoured), which spares creating a super
// object for every message of a log.
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

// __hash__: hash of the 12-tuple of kHashAttributes.
static Py_hash_t CanMsgExtension_hashfunc(PyObject* self) {
  constexpr Py_ssize_t count =
      sizeof(kHashAttributes) / sizeof(kHashAttributes[0]);
  OwnedRef tuple(PyTuple_New(count));
  if (!tuple) return -1;
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* value = PyObject_GetAttrString(self, kHashAttributes[i]);
    if (value != nullptr && i == kHashDataIndex) {
      PyObject* text = PyObject_Str(value);
      Py_DECREF(value);
      value = text;
    }
    if (value == nullptr) return -1;
    PyTuple_SetItem(tuple.get(), i, value);  // steals value
  }
  return PyObject_Hash(tuple.get());
}

static bool CanMsgExtension_timestamp(PyObject* message, double* out) {
  OwnedRef value(PyObject_GetAttrString(message, "timestamp"));
  if (!value) return false;
  *out = PyFloat_AsDouble(value.get());
  return !(*out == -1.0 && PyErr_Occurred() != nullptr);
}

// Rich comparison by timestamp alone, with any can.Message. Anything else is
// refused, for equality too.
static PyObject* CanMsgExtension_richcompare(PyObject* self, PyObject* other,
                                             int op) {
  int compatible = PyObject_IsInstance(other, CanMsgBaseType);
  if (compatible < 0) return nullptr;
  if (compatible == 0) {
    PyErr_SetString(PyExc_TypeError,
                    "Attempting to compare incompatible classes");
    return nullptr;
  }
  double a = 0.0;
  double b = 0.0;
  if (!CanMsgExtension_timestamp(self, &a) ||
      !CanMsgExtension_timestamp(other, &b))
    return nullptr;
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
  return type.release();
}

// Stores value (a new reference, or null after a failed creation) under key.
static bool setKey(PyObject* kwargs, MessageKey key, PyObject* value) {
  if (value == nullptr) return false;
  int result = PyDict_SetItem(kwargs, messageKeys[key], value);
  Py_DECREF(value);
  return result == 0;
}

static PyObject* channelName(const char* format, uint8_t channel) {
  return PyUnicode_FromFormat(format, static_cast<unsigned>(channel));
}

// The keys that depend on the frame's kind.
static bool setKindKeys(PyObject* kwargs, const cMdfBusMsg* frame) {
  switch (frame->kind) {
    case kMdfBusMsgCanData:
      return setKey(kwargs, kKeyIsFd, PyBool_FromLong(frame->can.edl)) &&
             setKey(kwargs, kKeyErrorStateIndicator,
                    PyBool_FromLong(frame->can.esi)) &&
             setKey(kwargs, kKeyBitrateSwitch,
                    PyBool_FromLong(frame->can.brs)) &&
             setKey(kwargs, kKeyIsRx, PyBool_FromLong(!frame->can.dir)) &&
             setKey(kwargs, kKeyIsExtendedId,
                    PyBool_FromLong(frame->can.ide)) &&
             setKey(kwargs, kKeyChannel,
                    channelName("CAN %u", frame->can.busChannel));
    case kMdfBusMsgCanRemote:
      return setKey(kwargs, kKeyIsRemoteFrame, PyBool_FromLong(1)) &&
             setKey(kwargs, kKeyIsRx, PyBool_FromLong(!frame->can.dir)) &&
             setKey(kwargs, kKeyIsExtendedId,
                    PyBool_FromLong(frame->can.ide)) &&
             setKey(kwargs, kKeyChannel,
                    channelName("CAN %u", frame->can.busChannel));
    case kMdfBusMsgCanError:
      return setKey(kwargs, kKeyIsErrorFrame, PyBool_FromLong(1)) &&
             setKey(kwargs, kKeyChannel,
                    channelName("CAN %u", frame->canError.busChannel));
    case kMdfBusMsgLin:
      return setKey(kwargs, kKeyIsRx, PyBool_FromLong(!frame->lin.dir)) &&
             setKey(kwargs, kKeyChannel,
                    channelName("LIN %u", frame->lin.busChannel)) &&
             setKey(kwargs, kKeyIsExtendedId, PyBool_FromLong(0));
    default:
      PyErr_SetString(PyExc_RuntimeError, "Unknown bus type");
      return false;
  }
}

// Payload bytes of the frame, never more than its kind's payload member holds.
static uint64_t payloadLength(const cMdfBusMsg* frame) {
  if (frame->data == nullptr) return 0;
  uint64_t capacity =
      frame->kind == kMdfBusMsgLin ? kMdfLinPayloadSize : kMdfCanPayloadSize;
  return std::min(frame->dataLength, capacity);
}

PyObject* CanMsgExtension_createFromWrapped(const cMdfBusMsg* frame,
                                            double startTime) {
  if (frame == nullptr || CanMsgExtensionType == nullptr) {
    PyErr_SetString(PyExc_RuntimeError, "Unknown bus type");
    return nullptr;
  }
  OwnedRef kwargs(PyDict_New());
  if (!kwargs) return nullptr;
  uint64_t length = payloadLength(frame);
  bool ok =
      setKey(kwargs.get(), kKeyTimestamp,
             PyFloat_FromDouble(startTime + frame->timeOffset)) &&
      setKey(kwargs.get(), kKeyArbitrationId,
             PyLong_FromUnsignedLong(frame->id & 0x1FFFFFFFu)) &&
      setKey(kwargs.get(), kKeyDlc, PyLong_FromUnsignedLongLong(length)) &&
      setKey(
          kwargs.get(), kKeyData,
          PyBytes_FromStringAndSize(reinterpret_cast<const char*>(frame->data),
                                    static_cast<Py_ssize_t>(length))) &&
      setKindKeys(kwargs.get(), frame);
  if (!ok) return nullptr;
  OwnedRef noArgs(PyTuple_New(0));
  if (!noArgs) return nullptr;
  return PyObject_Call(CanMsgExtensionType, noArgs.get(), kwargs.get());
}
