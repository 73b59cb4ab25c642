#include "plugins/plugins.h"

#include "encode/value_serializer.h"

#include "foundation/config.h"
#include "foundation/frame_types.h"
#include "py/args.h"
#include "py/error.h"
#include "py/fault.h"
#include "py/import.h"

#include <algorithm>

namespace vesh::plugins {

using py::Ref;

const std::string& PluginProcessor::type_for(std::uint8_t event_kind) const {
  switch (event_kind) {
    case 0: return call_type;
    case 1: return return_type;
    case 2: return unwind_type;
    case 3: return resume_type;
    case 4: return yield_type;
    case 5: return throw_type;
  }
  fault("event kind out of range: " + std::to_string(event_kind));
}

bool PluginProcessor::takes_event(std::uint8_t event_kind) const {
  const char* name = event_name(event_kind);
  if (name == nullptr) fault("event kind out of range: " + std::to_string(event_kind));
  if (!events) return true;
  return std::find(events->begin(), events->end(), std::string_view(name)) != events->end();
}

namespace {

// repr() of the pending exception, for the text of an internal fault.
std::string pending_error_repr() {
  py::PyError error = py::PyError::fetch();
  if (!error) return "no exception set";
  std::string out = "<unprintable exception>";
  if (Ref text = Ref::checked(PyObject_Repr(error.value()))) {
    Py_ssize_t size = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size)) out.assign(utf8, size);
  }
  PyErr_Clear();
  return out;
}

[[noreturn]] void python_side_broken(const char* expectation) { expect_failed(expectation, pending_error_repr()); }

// The entry's value under an optional key: borrowed, null when absent. A
// lookup error is returned as such (false with the error set).
bool optional_item(PyObject* entry, PyObject* key, PyObject*& out) {
  out = PyDict_GetItemWithError(entry, key);
  return out != nullptr || !PyErr_Occurred();
}

// An optional key whose lookup cannot fail for a str key on a dict.
PyObject* lookup_or_fault(PyObject* entry, PyObject* key) {
  PyObject* value = nullptr;
  if (!optional_item(entry, key, value)) python_side_broken("a string is always a valid dict key");
  return value;
}

// A required str under `key`, by subscription: KeyError when missing.
bool required_str(PyObject* entry, PyObject* key, std::string& out) {
  Ref value = Ref::checked(PyObject_GetItem(entry, key));
  return value && py::to_string(value.get(), out);
}

// An optional record type: the default when absent; a present value (None
// included) must be a str.
bool optional_type(PyObject* entry, PyObject* key, const std::string& fallback, std::string& out) {
  PyObject* value = nullptr;
  if (!optional_item(entry, key, value)) return false;
  if (value == nullptr) {
    out = fallback;
    return true;
  }
  Ref held = Ref::borrow(value);  // the conversion may run Python code
  return py::to_string(held.get(), out);
}

Ref build_context(PyObject* entry, PyObject* config) {
  Ref builder = get_callable(entry, "build_context");
  if (!builder) return Ref::steal(PyDict_New());
  Ref context = Ref::checked(PyObject_CallOneArg(builder.get(), config));
  if (!context || !py::to_dict(context.get())) return {};
  return context;
}

// Reads every key but "co_names" and "build_context" afresh for one code
// name, so each processor holds copies and references of its own.
std::unique_ptr<PluginProcessor> make_processor(PyObject* entry, PyObject* context,
                                                std::optional<std::uint64_t> max_value_bytes) {
  std::string path_fragment;
  std::string call_type;
  std::string return_type;
  if (!required_str(entry, VESH_INTERNED("path_fragment"), path_fragment) ||
      !required_str(entry, VESH_INTERNED("call_type"), call_type) ||
      !required_str(entry, VESH_INTERNED("return_type"), return_type)) {
    return nullptr;
  }
  std::string unwind_type, resume_type, yield_type, throw_type;
  if (!optional_type(entry, VESH_INTERNED("unwind_type"), return_type, unwind_type) ||
      !optional_type(entry, VESH_INTERNED("resume_type"), call_type, resume_type) ||
      !optional_type(entry, VESH_INTERNED("yield_type"), return_type, yield_type) ||
      !optional_type(entry, VESH_INTERNED("throw_type"), unwind_type, throw_type)) {
    return nullptr;
  }
  auto processor = std::make_unique<PluginProcessor>(Finder(path_fragment), max_value_bytes);
  processor->call_type = std::move(call_type);
  processor->return_type = std::move(return_type);
  processor->unwind_type = std::move(unwind_type);
  processor->resume_type = std::move(resume_type);
  processor->yield_type = std::move(yield_type);
  processor->throw_type = std::move(throw_type);

  if (PyObject* subtype = lookup_or_fault(entry, VESH_INTERNED("subtype"))) {
    Ref held = Ref::borrow(subtype);
    std::string text;
    if (!py::to_string(held.get(), text)) return nullptr;
    processor->subtype = std::move(text);
  }
  processor->call_fn = get_callable(entry, "call");
  processor->process_fn = get_callable(entry, "process");
  PyObject* events = lookup_or_fault(entry, VESH_INTERNED("events"));
  if (events != nullptr && events != Py_None) {
    Ref held = Ref::borrow(events);
    std::vector<std::string> names;
    if (!py::to_str_list(held.get(), names)) return nullptr;
    processor->events = std::move(names);
  }
  processor->serializer = encode::Serializer::get();
  if (processor->serializer == nullptr) return nullptr;
  processor->context = Ref::borrow(context);
  return processor;
}

}  // namespace

Ref get_callable(PyObject* entry, const char* key) {
  Ref key_obj = Ref::steal(PyUnicode_InternFromString(key));
  if (!key_obj) python_side_broken("a string is always a valid dict key");
  PyObject* value = lookup_or_fault(entry, key_obj.get());
  if (value == nullptr || value == Py_None) return {};
  return Ref::borrow(value);
}

std::optional<PluginMap> load_plugins(PyObject* config) {
  Ref module = py::import_module("vesh.plugins");
  if (!module) python_side_broken("vesh.plugins should always be importable");
  Ref loader = Ref::checked(PyObject_GetAttrString(module.get(), "load_plugin_data"));
  if (!loader) python_side_broken("load_plugin_data should exist");
  Ref entries = Ref::checked(PyObject_CallOneArg(loader.get(), config));
  if (!entries) python_side_broken("load_plugin_data should be callable");
  if (!PyList_Check(entries.get())) {
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'PyList'", Py_TYPE(entries.get())->tp_name);
    python_side_broken("load_plugin_data should return a list");
  }

  PluginMap plugins;
  plugins.map_.reserve(static_cast<std::size_t>(PyList_GET_SIZE(entries.get())));
  if (!py::to_dict(config)) return std::nullopt;
  std::optional<std::uint64_t> max_value_bytes;
  if (!resolve_max_value_bytes(config, max_value_bytes)) return std::nullopt;

  // By index, reading the length afresh: build_context and the co_names
  // iterators run Python code that may change the list.
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(entries.get()); ++i) {
    Ref entry = Ref::borrow(PyList_GET_ITEM(entries.get(), i));
    if (!py::to_dict(entry.get())) return std::nullopt;
    Ref co_names = Ref::checked(PyObject_GetItem(entry.get(), VESH_INTERNED("co_names")));
    if (!co_names) return std::nullopt;
    Ref context = build_context(entry.get(), config);
    if (!context) return std::nullopt;
    Ref names = Ref::checked(PyObject_GetIter(co_names.get()));
    if (!names) return std::nullopt;
    while (Ref name = Ref::checked(PyIter_Next(names.get()))) {
      std::string co_name;
      if (!py::to_string(name.get(), co_name)) return std::nullopt;
      std::unique_ptr<PluginProcessor> processor = make_processor(entry.get(), context.get(), max_value_bytes);
      if (!processor) return std::nullopt;
      plugins.map_[std::move(co_name)].push_back(std::move(processor));
    }
    if (PyErr_Occurred()) return std::nullopt;
  }
  return plugins;
}

}  // namespace vesh::plugins
