#include "store/runtime_metadata.h"

#include "foundation/error_reporting.h"
#include "py/import.h"
#include "py/ref.h"

#include <algorithm>
#include <climits>

namespace vesh::store {

namespace {

using py::Ref;

// Made once and kept for the process, so that a save on a thread still
// running at exit never reads a destroyed one. The interpreter lock, which
// every caller holds, guards it and the two below.
Environment* KEPT_ENVIRONMENT = nullptr;
// The most room below the recursion limit that a failed read had (INT_MIN
// while none failed); flushes with no more room do not read again.
int FAILED_READ_ROOM = INT_MIN;
// Whether a failed read was logged.
bool FAILED_READ_LOGGED = false;

// Frames the calling thread may still enter before the recursion limit.
int recursion_room() {
  const PyThreadState* thread = PyThreadState_Get();
  return thread->py_recursion_remaining;
}

// One line: the failure's type and the first line of its text.
void log_failed_read(const py::PyError& error) {
  if (FAILED_READ_LOGGED) return;
  FAILED_READ_LOGGED = true;
  std::string cause = error.type() != nullptr ? reinterpret_cast<PyTypeObject*>(error.type())->tp_name : "Error";
  std::string text = error.message();
  if (std::size_t end = text.find_first_of("\r\n"); end != std::string::npos) text.resize(end);
  if (!text.empty()) cause += ": " + text;
  log_warning("Vesh could not read the interpreter and platform facts that a trace records (" + cause +
              "); saves read them again, and no subtree is flushed until a read succeeds");
}

// Drops an ordinary Exception; anything else (KeyboardInterrupt, SystemExit)
// is the program's and is handed back.
PyResult<void> drop_ordinary(py::PyError error) {
  if (error.matches(PyExc_Exception)) return Ok{};
  return Err{std::move(error)};
}

PyResult<std::string> attribute_text(PyObject* module, PyObject* name) {
  Ref value = Ref::checked(PyObject_GetAttr(module, name));
  if (!value) return Err{take_python_error()};
  return str_text(value.get());
}

PyResult<std::string> call_text(PyObject* module, const char* name) {
  Ref value = Ref::checked(PyObject_CallMethod(module, name, nullptr));
  if (!value) return Err{take_python_error()};
  return str_text(value.get());
}

}  // namespace

py::PyError take_python_error() {
  py::PyError error = py::PyError::fetch();
  if (!error) return py::PyError::make(PyExc_SystemError, "attempted to fetch exception but none was set");
  return error;
}

PyResult<std::string> str_text(PyObject* obj) {
  if (!PyUnicode_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'PyString'", Py_TYPE(obj)->tp_name);
    return Err{take_python_error()};
  }
  Py_ssize_t size = 0;
  if (const char* data = PyUnicode_AsUTF8AndSize(obj, &size)) return std::string(data, static_cast<std::size_t>(size));
  if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return Err{take_python_error()};
  PyErr_Clear();
  Ref escaped = Ref::steal(PyUnicode_AsEncodedString(obj, "utf-8", "backslashreplace"));
  if (!escaped) return Err{take_python_error()};
  return std::string(PyBytes_AS_STRING(escaped.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(escaped.get())));
}

PyResult<std::string> vesh_version() {
  Ref module = py::import_module("vesh.version");
  if (!module) return Err{take_python_error()};
  return attribute_text(module.get(), VESH_INTERNED("__version__"));
}

PyResult<std::optional<std::string>> git_commit_sha() {
  Ref module = py::import_module("vesh.git");
  if (!module) return Err{take_python_error()};
  Ref value = Ref::checked(PyObject_GetAttr(module.get(), VESH_INTERNED("COMMIT_SHA")));
  if (!value) return Err{take_python_error()};
  if (value.get() == Py_None) return std::optional<std::string>();
  PyResult<std::string> text = str_text(value.get());
  if (!text) return Err{std::move(text).error()};
  return std::optional<std::string>(std::move(text).value());
}

PyResult<std::vector<std::string>> get_argv() {
  Ref sys = py::import_module("sys");
  if (!sys) return Err{take_python_error()};
  Ref argv = Ref::steal(PyObject_GetAttr(sys.get(), VESH_INTERNED("argv")));
  if (!argv) return Err{take_python_error()};
  if (PyUnicode_Check(argv.get())) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return Err{take_python_error()};
  }
  if (!PySequence_Check(argv.get())) {
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'Sequence'", Py_TYPE(argv.get())->tp_name);
    return Err{take_python_error()};
  }
  Ref iter = Ref::checked(PyObject_GetIter(argv.get()));
  if (!iter) return Err{take_python_error()};
  std::vector<std::string> out;
  while (Ref item = Ref::checked(PyIter_Next(iter.get()))) {
    PyResult<std::string> text = str_text(item.get());
    if (!text) return Err{std::move(text).error()};
    out.push_back(std::move(text).value());
  }
  if (PyErr_Occurred()) return Err{take_python_error()};
  return out;
}

PyResult<Environment> collect_environment() {
  Ref sys = py::import_module("sys");
  if (!sys) return Err{take_python_error()};
  Ref platform = py::import_module("platform");
  if (!platform) return Err{take_python_error()};
  Environment env;
  env.reserve(6);
  auto add = [&env](const char* key, PyResult<std::string>& value) { env.emplace_back(key, std::move(value).value()); };
  // Each fact is read in this order; the first failure ends the collection.
  PyResult<std::string> value = call_text(platform.get(), "python_version");
  if (!value) return Err{std::move(value).error()};
  add("py_version", value);
  value = attribute_text(sys.get(), VESH_INTERNED("version"));
  if (!value) return Err{std::move(value).error()};
  add("py_version_full", value);
  static constexpr std::pair<const char*, const char*> kCalls[] = {
      {"platform", "platform"}, {"system", "system"}, {"machine", "machine"}, {"processor", "processor"}};
  for (const auto& [key, method] : kCalls) {
    value = call_text(platform.get(), method);
    if (!value) return Err{std::move(value).error()};
    add(key, value);
  }
  return env;
}

PyResult<Environment> process_environment() {
  if (KEPT_ENVIRONMENT != nullptr) return *KEPT_ENVIRONMENT;
  const int room = recursion_room();
  PyResult<Environment> collected = collect_environment();
  if (!collected) {
    FAILED_READ_ROOM = std::max(FAILED_READ_ROOM, room);
    log_failed_read(collected.error());
    return collected;
  }
  // Collecting ran Python code, which may have let another thread keep its
  // own collection meanwhile: the first kept stays, the facts are the same.
  if (KEPT_ENVIRONMENT == nullptr) KEPT_ENVIRONMENT = new Environment(collected.value());
  return collected;
}

PyResult<void> read_environment_at_import() {
  PyResult<Environment> environment = process_environment();
  if (!environment) return drop_ordinary(std::move(environment).error());
  return Ok{};
}

PyResult<void> read_metadata_early() {
  for (const char* name : {"vesh.version", "vesh.git", "vesh.db"}) {
    if (Ref module = py::import_module(name); !module) {
      if (PyResult<void> dropped = drop_ordinary(take_python_error()); !dropped) return dropped;
    }
  }
  PyResult<Environment> environment = process_environment();
  if (!environment) return drop_ordinary(std::move(environment).error());
  return Ok{};
}

PyResult<bool> environment_ready_for_flush() {
  if (KEPT_ENVIRONMENT != nullptr) return true;
  if (recursion_room() <= FAILED_READ_ROOM) return false;
  PyResult<Environment> environment = process_environment();
  if (environment) return true;
  if (PyResult<void> dropped = drop_ordinary(std::move(environment).error()); !dropped) {
    return Err{std::move(dropped).error()};
  }
  return false;
}

void forget_process_environment() {
  delete KEPT_ENVIRONMENT;
  KEPT_ENVIRONMENT = nullptr;
  FAILED_READ_ROOM = INT_MIN;
  FAILED_READ_LOGGED = false;
}

}  // namespace vesh::store
