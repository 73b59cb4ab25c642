#include "foundation/error_reporting.h"

#include "py/fault.h"
#include "py/import.h"

#include <unistd.h>

#include <absl/container/flat_hash_set.h>

#include <atomic>
#include <cstdio>
#include <mutex>
#include <string_view>

namespace vesh {

namespace {

std::atomic<bool> RECURSION_REPORTED{false};

constexpr std::string_view kStackExhaustedLine =
    "Vesh: an internal error could not be logged because the stack is nearly exhausted; further such "
    "errors are not reported.\n";
constexpr const char* kPanicObject = "Vesh stopped tracing after an internal error";

// First line of args[0] when it is a non-empty str, else "vesh".
std::string summary_line(PyObject* args) {
  std::string summary = "vesh";
  if (args == nullptr || !PyTuple_Check(args) || PyTuple_GET_SIZE(args) == 0) return summary;
  PyObject* first = PyTuple_GET_ITEM(args, 0);
  if (!PyUnicode_Check(first)) return summary;
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(first, &size);
  if (text == nullptr) {
    PyErr_Clear();
    return summary;
  }
  if (size == 0) return summary;
  std::string_view view(text, static_cast<std::size_t>(size));
  std::size_t newline = view.find('\n');
  if (newline != std::string_view::npos) {
    view = view.substr(0, newline);
    if (!view.empty() && view.back() == '\r') view.remove_suffix(1);
  }
  return std::string(view);
}

void write_stderr_once() noexcept {
  if (RECURSION_REPORTED.exchange(true, std::memory_order_relaxed)) return;
  // Straight to the file descriptor: the Python-level stream is what failed.
  std::fflush(stderr);
  ssize_t ignored = ::write(STDERR_FILENO, kStackExhaustedLine.data(), kStackExhaustedLine.size());
  (void)ignored;
}

// Runs logging.getLogger("vesh").warning(*args, **kwargs). False with the
// Python error set on failure.
bool call_logger(PyObject* args, PyObject* kwargs) {
  py::Ref logging = py::import_module("logging");
  if (!logging) return false;
  py::Ref get_logger = py::Ref::checked(PyObject_GetAttr(logging.get(), VESH_INTERNED("getLogger")));
  if (!get_logger) return false;
  py::Ref logger = py::Ref::checked(PyObject_CallOneArg(get_logger.get(), VESH_INTERNED("vesh")));
  if (!logger) return false;
  py::Ref warning = py::Ref::checked(PyObject_GetAttr(logger.get(), VESH_INTERNED("warning")));
  if (!warning) return false;
  py::Ref result = py::Ref::checked(PyObject_Call(warning.get(), args, kwargs));
  return bool(result);
}

}  // namespace

void log_warning(py::Ref args, py::PyError error) {
  try {
    // Whatever is pending belongs to nobody here: the error to log was handed over explicitly.
    py::PyError stray = py::PyError::fetch();
    (void)stray;
    py::PyError kept = error.clone();
    bool ok = false;
    py::Ref kwargs = py::Ref::steal(PyDict_New());
    if (kwargs) {
      ok = !error || PyDict_SetItem(kwargs.get(), VESH_INTERNED("exc_info"), error.value()) == 0;
      if (ok) ok = call_logger(args.get(), kwargs.get());
    }
    if (ok) return;
    py::PyError failure = py::PyError::fetch();
    if (failure.matches(PyExc_RecursionError)) {
      write_stderr_once();
      return;
    }
    std::string text = "Vesh: " + summary_line(args.get());
    py::Ref object = py::Ref::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
    if (!object) {
      PyErr_Clear();
      return;
    }
    if (kept) {
      kept.restore();
      PyErr_WriteUnraisable(object.get());
    }
    if (failure) {
      failure.restore();
      PyErr_WriteUnraisable(object.get());
    }
  }
  VESH_LET_THREAD_EXIT_PASS
  catch (...) {
    // Out of memory while reporting: nothing more can be said.
    PyErr_Clear();
  }
}

void log_warning(const std::string& message, py::PyError error) {
  py::Ref text = py::Ref::steal(
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "surrogateescape"));
  py::Ref args = text ? py::Ref::steal(PyTuple_Pack(1, text.get())) : py::Ref();
  if (!args) {
    PyErr_Clear();
    return;
  }
  log_warning(std::move(args), std::move(error));
}

void report_panic(const std::string& message) {
  py::PyError pending = py::PyError::fetch();
  (void)pending;
  py::set_panic(message);
  py::Ref object = py::Ref::steal(PyUnicode_FromString(kPanicObject));
  if (!object) {
    PyErr_Clear();
    return;
  }
  PyErr_WriteUnraisable(object.get());
}

void report_current_panic() { report_panic(py::current_fault_message()); }

py::PyError take_stray_error() {
  py::PyError stray = py::PyError::fetch();
  if (!stray) return stray;
  // Its text runs Python code: worked out before the lock is taken.
  std::string cause = std::string(Py_TYPE(stray.value())->tp_name) + ": " + stray.message();
  static std::mutex mutex;
  static auto* said = new absl::flat_hash_set<std::string>();
  std::lock_guard<std::mutex> lock(mutex);
  if (!said->insert(std::move(cause)).second) return {};
  return stray;
}

void report_stray_error() {
  py::PyError stray = take_stray_error();
  if (stray) log_warning(std::string("Unexpected exception in Rust."), std::move(stray));
}

bool reaches_program(const py::PyError& error) noexcept {
  if (!error) return false;
  if (error.matches(PyExc_Exception)) return false;
  PyObject* panic = py::panic_exception_type();
  if (panic != nullptr && error.matches(panic)) return false;
  return true;
}

}  // namespace vesh
