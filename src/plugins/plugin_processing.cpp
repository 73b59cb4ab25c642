#include "plugins/plugin_processing.h"

#include "py/error.h"
#include "py/fault.h"
#include "py/import.h"
#include "py/ref.h"
#include "foundation/frame_path.h"
#include "encode/plugin_record.h"
#include "encode/value_serializer.h"

#include <cstring>

namespace vesh::plugins {

using py::Ref;

namespace {

const char* checked_event_name(std::uint8_t event_kind) {
  const char* name = event_name(event_kind);
  if (name == nullptr) fault("event kind out of range: " + std::to_string(event_kind));
  return name;
}

// The plugin callables' calling convention: (frame, event name, arg, context),
// positional only.
Ref call_plugin(PyObject* callable, PyObject* frame, std::uint8_t event_kind, PyObject* arg, PyObject* context) {
  const char* name = checked_event_name(event_kind);
  Ref event = Ref::steal(PyUnicode_FromString(name));
  if (!event) return {};
  PyObject* args[] = {frame, event.get(), arg, context};
  return Ref::checked(PyObject_Vectorcall(callable, args, 4, nullptr));
}

// The binding layer's bool: True, False, or a numpy bool scalar.
bool extract_bool(PyObject* obj, bool& out) {
  if (obj == Py_True || obj == Py_False) {
    out = obj == Py_True;
    return true;
  }
  const char* type = Py_TYPE(obj)->tp_name;
  if (std::strcmp(type, "numpy.bool_") == 0 || std::strcmp(type, "numpy.bool") == 0) {
    int truth = static_cast<int>(py::checked_status(PyObject_IsTrue(obj)));
    if (truth < 0) return false;
    out = truth != 0;
    return true;
  }
  PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'PyBool'", type);
  return false;
}

// Exit events reuse the id stored at the frame's entry (or get a fresh one
// that is not kept); entry events store a fresh id, replacing any earlier
// one. The lock is held for the map operation alone.
std::string plugin_frame_id(PluginProcessor& processor, std::uint8_t event_kind, PyObject* frame) {
  FrameKey key = frame_key(frame);
  if (is_exit_kind(event_kind)) {
    {
      auto ids = processor.frame_ids.lock();
      if (auto it = ids->find(key); it != ids->end()) return it->second;
    }
    return FrameId::fresh().to_string();
  }
  std::string id = FrameId::fresh().to_string();
  auto ids = processor.frame_ids.lock();
  (*ids)[key] = id;
  return id;
}

void set_fixed(PyObject* dict, const char* key, PyObject* value) {
  if (value == nullptr || PyDict_SetItemString(dict, key, value) < 0) {
    expect_failed("a string is always a valid dict key", py::PyError::fetch().message());
  }
}

void set_fixed(PyObject* dict, const char* key, Ref value) { set_fixed(dict, key, value.get()); }

// The caller of the event's frame among the recorded open calls: the newest
// one, unless that is the event's own frame (an exit of a recorded frame),
// then the one below it, as the frame record of the same event names it.
const BoundCallFrame* choose_call_site(const std::vector<BoundCallFrame>& snapshot, PyObject* frame) {
  if (snapshot.empty()) return nullptr;
  const BoundCallFrame& newest = snapshot.back();
  if (newest.frame.get() != frame) return &newest;
  return snapshot.size() >= 2 ? &snapshot[snapshot.size() - 2] : nullptr;
}

// None, or {"call_frame_id": ..., "line_number": ...}. Null with a Python
// error set when the chosen object is not a frame or its line cannot be read.
Ref call_site_dict(std::vector<BoundCallFrame> snapshot, PyObject* frame) {
  const BoundCallFrame* site = choose_call_site(snapshot, frame);
  if (site == nullptr) return py::none();
  PyObject* caller = site->frame.get();
  if (!PyFrame_Check(caller)) {
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'PyFrame'", Py_TYPE(caller)->tp_name);
    return {};
  }
  std::optional<std::int32_t> line;
  if (!frame_line_number_i32_with(caller, line)) return {};
  Ref dict = Ref::steal(PyDict_New());
  if (!dict) return {};
  std::string_view id = site->frame_id.view();
  set_fixed(dict.get(), "call_frame_id",
            py::str_of(id));
  set_fixed(dict.get(), "line_number", line ? Ref::steal(PyLong_FromLong(*line)) : py::none());
  return dict;
}

PyObject* mapping_abc() {
  static PyObject* mapping = [] {
    Ref module = py::import_module("collections.abc");
    Ref type = module ? Ref::checked(PyObject_GetAttrString(module.get(), "Mapping")) : Ref();
    if (!type) expect_failed("collections.abc.Mapping is always importable", py::PyError::fetch().message());
    return type.release();
  }();
  return mapping;
}

// Merges what `process` returned into the record: dicts directly, other
// mappings through their keys. Anything else is refused and nothing is
// recorded.
bool merge_result(PyObject* record, PyObject* result) {
  if (!PyDict_Check(result)) {
    int is_mapping = static_cast<int>(py::checked_status(PyObject_IsInstance(result, mapping_abc())));
    if (is_mapping < 0) {
      // A broken __instancecheck__ is the plugin's fault, not a reason to
      // stop tracing: report it and refuse the result.
      PyErr_WriteUnraisable(result);
      is_mapping = 0;
    }
    if (is_mapping == 0) {
      PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'Mapping'", Py_TYPE(result)->tp_name);
      return false;
    }
  }
  return py::checked_status(PyDict_Merge(record, result, 1)) == 0;
}

}  // namespace

bool plugin_matches_event(const PluginProcessor& processor, PyObject* frame, std::uint8_t event_kind,
                          PyObject* arg, bool& matches) {
  if (!processor.call_fn) {
    matches = true;
    return true;
  }
  Ref answer = call_plugin(processor.call_fn.get(), frame, event_kind, arg, processor.context.get());
  return answer && extract_bool(answer.get(), matches);
}

bool process_plugin_event(PluginProcessor& processor, PyObject* frame, std::uint8_t event_kind, PyObject* arg,
                          std::vector<BoundCallFrame> snapshot, bool lightweight_repr,
                          std::optional<PluginRecord>& out) {
  out.reset();
  if (!processor.takes_event(event_kind)) return true;

  Ref record = Ref::steal(PyDict_New());
  if (!record) return false;
  std::string frame_id = plugin_frame_id(processor, event_kind, frame);
  set_fixed(record.get(), "frame_id",
            py::str_of(frame_id));
  set_fixed(record.get(), "timestamp", Ref::steal(PyFloat_FromDouble(timestamp())));
  Ref call_site = call_site_dict(std::move(snapshot), frame);
  if (!call_site) return false;
  set_fixed(record.get(), "user_code_call_site", call_site.get());
  const std::string& type = processor.type_for(event_kind);
  set_fixed(record.get(), "type",
            py::str_of(type));
  if (processor.subtype) {
    set_fixed(record.get(), "subtype",
              py::str_of(*processor.subtype));
  }

  if (processor.process_fn) {
    Ref result = call_plugin(processor.process_fn.get(), frame, event_kind, arg, processor.context.get());
    if (!result || !merge_result(record.get(), result.get())) return false;
  }

  PyObject* final_type = PyDict_GetItemWithError(record.get(), VESH_INTERNED("type"));
  if (final_type == nullptr) {
    if (PyErr_Occurred()) expect_failed("type is always set", py::PyError::fetch().message());
    fault("type is always set");
  }
  PluginRecord encoded;
  {
    Ref held = Ref::borrow(final_type);
    if (!PyUnicode_Check(held.get())) {
      PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'PyString'", Py_TYPE(held.get())->tp_name);
      return false;
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(held.get(), &size);
    if (utf8 == nullptr) return false;
    encoded.type.assign(utf8, static_cast<std::size_t>(size));
  }

  const encode::SerializerState* state = processor.serializer;
  if (state == nullptr && (state = encode::Serializer::get()) == nullptr) return false;
  if (!encode::dump_msgpack_capped(*state, record.get(), lightweight_repr, processor.max_value_bytes,
                                   encoded.bytes)) {
    return false;
  }
  out = std::move(encoded);
  return true;
}

}  // namespace vesh::plugins
