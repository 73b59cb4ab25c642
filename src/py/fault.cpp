#include "py/fault.h"

#include "py/error.h"

#include <new>

namespace vesh {

void fault(const std::string& message) { throw Fault(message); }

void expect_failed(const char* expectation, const std::string& detail) {
  throw Fault(std::string(expectation) + ": " + detail);
}

}  // namespace vesh

namespace vesh::py {

PyObject* panic_exception_type() {
  static PyObject* type = PyErr_NewExceptionWithDoc(
      "vesh._vesh.PanicException",
      "An internal error inside vesh's native recorder. Not an Exception subclass, so that it is "
      "not mistaken for an error of the traced program.",
      PyExc_BaseException, nullptr);
  return type;
}

std::string current_fault_message() noexcept {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    return "out of memory";
  } catch (const std::exception& e) {
    try {
      return e.what();
    } catch (...) {
      return "unknown panic";
    }
  } catch (...) {
    return "unknown panic";
  }
}

void set_panic(const std::string& message) noexcept {
  PyObject* type = panic_exception_type();
  if (type == nullptr) {
    // Could not even make the type: whatever failed is now the current error.
    return;
  }
  PyErr_SetString(type, message.c_str());
}

void set_panic_from_current() noexcept { set_panic(current_fault_message()); }

PyError PyError::make(PyObject* type, const std::string& message) {
  PyErr_SetString(type, message.c_str());
  return fetch();
}

std::string PyError::message() const {
  if (!exc_) return "<no error>";
  PyObject* saved = PyErr_GetRaisedException();
  std::string out = "<unprintable exception>";
  if (Ref text = Ref::checked(PyObject_Str(exc_.get()))) {
    Py_ssize_t size = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size)) out.assign(utf8, size);
  }
  PyErr_Clear();
  PyErr_SetRaisedException(saved);
  return out;
}

}  // namespace vesh::py
