// Python errors held as values.
//
// Inside the system a Python failure is either "the function returned
// false/null with the interpreter's error indicator set" (the C API
// convention) or a PyError taken out of the indicator and carried
// somewhere else (a log call, a deferred raise). The boundary turns it
// back into the current exception with restore().
#pragma once

#include "py/ref.h"

#include <string>

namespace vesh::py {

class PyError {
 public:
  PyError() noexcept = default;
  explicit PyError(Ref exc) noexcept : exc_(std::move(exc)) {}

  // Takes the current exception out of the indicator (null when none).
  static PyError fetch() noexcept { return PyError(Ref::steal(PyErr_GetRaisedException())); }
  // Makes a fresh exception instance of `type` with one str argument.
  static PyError make(PyObject* type, const std::string& message);

  explicit operator bool() const noexcept { return bool(exc_); }
  PyObject* value() const noexcept { return exc_.get(); }
  PyObject* type() const noexcept { return exc_ ? reinterpret_cast<PyObject*>(Py_TYPE(exc_.get())) : nullptr; }
  bool matches(PyObject* exc_type) const noexcept {
    return exc_ && PyErr_GivenExceptionMatches(exc_.get(), exc_type);
  }
  PyError clone() const noexcept { return PyError(exc_.clone()); }

  // Puts the exception back as the current one, giving up ownership.
  void restore() noexcept { PyErr_SetRaisedException(exc_.release()); }

  // str(exception), or a fixed text when even that fails; never raises.
  std::string message() const;

 private:
  Ref exc_;
};

// Raises `type(message)` and returns nullptr, for `return raise(...)` chains.
inline std::nullptr_t raise(PyObject* type, const char* message) noexcept {
  PyErr_SetString(type, message);
  return nullptr;
}

}  // namespace vesh::py
