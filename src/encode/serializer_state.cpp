#include "encode/serializer_state.h"

#include "py/fault.h"
#include "py/gil_mutex.h"
#include "py/import.h"

#include <atomic>
#include <limits>
#include <memory>

namespace vesh::encode {

using py::PyError;
using py::Ref;

std::uint32_t max_depth_for_msgpack_version(std::uint32_t major, std::uint32_t minor) noexcept {
  return (major == 1 && minor > 1) || (major != 0 && major != 1) ? 1024 : 511;
}

namespace {

std::atomic<const SerializerState*> SERIALIZER{nullptr};
thread_local bool MAKING_SERIALIZER = false;

bool version_part(PyObject* version, Py_ssize_t index, std::uint32_t& out) {
  Ref item = Ref::steal(PySequence_GetItem(version, index));
  if (!item) return false;
  if (!PyLong_Check(item.get())) {
    PyErr_Format(PyExc_TypeError, "msgpack.version[%zd] is not an int", index);
    return false;
  }
  unsigned long long value = PyLong_AsUnsignedLongLong(item.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  if (value > std::numeric_limits<std::uint32_t>::max()) {
    PyErr_Format(PyExc_OverflowError, "msgpack.version[%zd] does not fit 32 bits", index);
    return false;
  }
  out = static_cast<std::uint32_t>(value);
  return true;
}

std::unique_ptr<SerializerState> make_state() {
  Ref serialize = py::import_module("vesh.serialize");
  if (!serialize) return nullptr;
  Ref msgpack_module = py::import_module("msgpack");
  if (!msgpack_module) return nullptr;
  Ref version = Ref::checked(PyObject_GetAttrString(msgpack_module.get(), "version"));
  if (!version) return nullptr;
  std::uint32_t major = 0, minor = 0;
  if (!version_part(version.get(), 0, major) || !version_part(version.get(), 1, minor)) return nullptr;

  auto state = std::make_unique<SerializerState>();
  // Looked up without running descriptors: these are the slot objects an
  // instance test compares a type's own lookups against.
  state->object_class = _PyType_Lookup(&PyBaseObject_Type, VESH_INTERNED("__class__"));
  state->object_getattribute = _PyType_Lookup(&PyBaseObject_Type, VESH_INTERNED("__getattribute__"));
  if (state->object_class == nullptr || state->object_getattribute == nullptr)
    fault("assertion failed: object_class != 0 && object_getattribute != 0");

  state->serialize_globals = Ref::borrow(PyModule_GetDict(serialize.get()));
  if (!state->serialize_globals) return nullptr;
  state->ext_type = Ref::checked(PyObject_GetAttrString(msgpack_module.get(), "ExtType"));
  if (!state->ext_type) return nullptr;
  state->timestamp_type = Ref::checked(PyObject_GetAttrString(msgpack_module.get(), "Timestamp"));
  if (!state->timestamp_type) return nullptr;
  state->packb = Ref::checked(PyObject_GetAttrString(msgpack_module.get(), "packb"));
  if (!state->packb) return nullptr;
  state->max_depth = max_depth_for_msgpack_version(major, minor);
  return state;
}

}  // namespace

const SerializerState* Serializer::get() {
  if (const SerializerState* state = SERIALIZER.load(std::memory_order_acquire)) [[likely]]
    return state;
  if (MAKING_SERIALIZER) {
    // The imports below ran code that asked for the serializer again.
    PyErr_SetString(PyExc_ImportError, "vesh serializer requested while it is being made");
    return nullptr;
  }
  // One thread makes the state; others wait with the interpreter lock
  // released (the imports may release it too).
  static py::GilMutex<int> making("serializer state", 0);
  auto guard = making.lock();
  if (const SerializerState* state = SERIALIZER.load(std::memory_order_acquire)) return state;
  MAKING_SERIALIZER = true;
  std::unique_ptr<SerializerState> state;
  try {
    state = make_state();
  } catch (...) {
    MAKING_SERIALIZER = false;
    throw;
  }
  MAKING_SERIALIZER = false;
  if (!state) return nullptr;
  const SerializerState* made = state.release();  // lives for the process
  SERIALIZER.store(made, std::memory_order_release);
  return made;
}

PyError missing_global_error(PyObject* name) {
  Ref message = Ref::steal(PyUnicode_FromFormat("name '%U' is not defined", name));
  Ref args = message ? Ref::steal(PyTuple_Pack(1, message.get())) : Ref();
  Ref kwargs = args ? Ref::steal(PyDict_New()) : Ref();
  if (!kwargs || PyDict_SetItemString(kwargs.get(), "name", name) < 0) return PyError::fetch();
  Ref error = Ref::steal(PyObject_Call(PyExc_NameError, args.get(), kwargs.get()));
  if (!error) return PyError::fetch();
  return PyError(std::move(error));
}

}  // namespace vesh::encode
