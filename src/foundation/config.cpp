#include "foundation/config.h"

#include "py/args.h"
#include "py/error.h"

#include <cmath>

namespace vesh {

std::optional<Config> Config::create(PyObject* dict) {
  Config config;
  Py_ssize_t pos = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(dict, &pos, &key, &value)) {
    std::string text;
    if (!py::to_string(key, text)) return std::nullopt;
    config.map_.insert_or_assign(std::move(text), py::Ref::borrow(value));
  }
  return config;
}

PyObject* Config::get(std::string_view key) const {
  auto it = map_.find(absl::string_view(key.data(), key.size()));
  return it == map_.end() ? nullptr : it->second.get();
}

bool Config::get_or_bool(std::string_view key, bool& out) const {
  PyObject* value = get(key);
  if (value == nullptr) {
    out = false;
    return true;
  }
  return py::to_bool(value, out);
}

bool Config::get_or_u64(std::string_view key, std::uint64_t& out) const {
  PyObject* value = get(key);
  if (value == nullptr) {
    out = kDefaultSqliteBusyTimeout;
    return true;
  }
  return py::to_u64(value, out);
}

namespace {

bool max_value_error() {
  PyErr_SetString(PyExc_ValueError, "max_value_mb must be a non-negative number or false");
  return false;
}

}  // namespace

bool resolve_max_value_bytes(PyObject* config_dict, std::optional<std::uint64_t>& out) {
  PyObject* value = PyDict_GetItemWithError(config_dict, VESH_INTERNED("max_value_mb"));
  if (value == nullptr) {
    if (PyErr_Occurred()) return false;
    out = kDefaultMaxValueBytes;
    return true;
  }
  py::Ref owned = py::Ref::borrow(value);
  if (value == Py_None || value == Py_False) {
    out.reset();
    return true;
  }
  if (PyBool_Check(value)) return max_value_error();
  if (!PyLong_Check(value) && !PyFloat_Check(value)) return max_value_error();
  // An int subclass answers through a __float__ of its own.
  double mb = PyFloat_AsDouble(value);
  if (PyErr_Occurred()) {
    if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
      PyErr_Clear();
      return max_value_error();
    }
    return false;
  }
  double bytes = mb * 1024.0 * 1024.0;
  if (std::isnan(bytes) || std::isinf(bytes) || bytes < 0.0 || bytes >= 9223372036854775808.0) {
    return max_value_error();
  }
  out = static_cast<std::uint64_t>(bytes);
  return true;
}

}  // namespace vesh
