#include "store/subtree_flush.h"

#include "py/ref.h"

#include <algorithm>
#include <cmath>

namespace vesh {

namespace {

constexpr const char* kNotANumber = "flush_subtree_mb must be a non-negative number or false";

bool value_error(const char* message) {
  PyErr_SetString(PyExc_ValueError, message);
  return false;
}

}  // namespace

bool resolve_flush_subtree_bytes(PyObject* config_dict, std::optional<std::uint64_t>& out) {
  PyObject* value = PyDict_GetItemWithError(config_dict, VESH_INTERNED("flush_subtree_mb"));
  if (value == nullptr) {
    if (PyErr_Occurred()) return false;
    out = kDefaultFlushSubtreeBytes;
    return true;
  }
  if (value == Py_None || value == Py_False) {
    out.reset();
    return true;
  }
  if (value == Py_True) {
    return value_error(
        "flush_subtree_mb = true is not valid; use false to disable or a non-negative number to set the "
        "threshold");
  }
  double mb;
  if (PyFloat_CheckExact(value)) {
    mb = PyFloat_AS_DOUBLE(value);
  } else {
    mb = PyFloat_AsDouble(value);
    if (mb == -1.0 && PyErr_Occurred()) {
      PyErr_Clear();
      return value_error(kNotANumber);
    }
  }
  if (std::isnan(mb) || std::isinf(mb) || (mb < 0.0)) return value_error(kNotANumber);
  const double bytes = mb * 1024.0 * 1024.0;
  constexpr double kTwoTo64 = 18446744073709551616.0;
  if (bytes > kTwoTo64) return value_error("flush_subtree_mb is too large for this platform");
  out = bytes >= kTwoTo64 ? UINT64_MAX : static_cast<std::uint64_t>(bytes);
  return true;
}

std::uint64_t flush_check_bytes(std::optional<std::uint64_t> flush_subtree_bytes) noexcept {
  if (!flush_subtree_bytes || *flush_subtree_bytes < 1024 * 1024) return 0;
  const std::uint64_t f = *flush_subtree_bytes;
  const std::uint64_t gap = std::max<std::uint64_t>(f / 8, 64ull * 1024 * 1024);
  return f > gap ? f - gap : 0;
}

}  // namespace vesh
