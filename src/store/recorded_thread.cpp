#include "store/recorded_thread.h"

#include "py/import.h"

namespace vesh::store {

namespace {

using py::Ref;

// An optional unsigned attribute of a thread object: missing, None or not
// convertible to a u64 all give nullopt (the error is dropped).
std::optional<std::uint64_t> optional_u64_attribute(PyObject* thread, const char* name) {
  Ref value = Ref::checked(PyObject_GetAttrString(thread, name));
  if (!value || value.get() == Py_None) {
    PyErr_Clear();
    return std::nullopt;
  }
  Ref index = Ref::checked(PyNumber_Index(value.get()));
  if (!index) {
    PyErr_Clear();
    return std::nullopt;
  }
  unsigned long long out = PyLong_AsUnsignedLongLong(index.get());
  if (out == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    PyErr_Clear();
    return std::nullopt;
  }
  return out;
}

PyResult<bool> exact_bool(PyObject* value) {
  if (!PyBool_Check(value)) {
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'PyBool'", Py_TYPE(value)->tp_name);
    return Err{take_python_error()};
  }
  return value == Py_True;
}

// The referent of a weak reference (new reference), or null when it died.
Ref referent(PyObject* weak) {
#if PY_VERSION_HEX >= 0x030D0000
  PyObject* object = nullptr;
  if (PyWeakref_GetRef(weak, &object) < 0) PyErr_Clear();
  return Ref::steal(object);
#else
  PyObject* object = PyWeakref_GetObject(weak);
  if (object == nullptr) PyErr_Clear();
  return object == nullptr || object == Py_None ? Ref() : Ref::borrow(object);
#endif
}

// Whether `thread` is a threading._DummyThread, the object threading makes
// for a thread it did not start. Answers false on any failure (cleared).
bool is_dummy_thread(PyObject* thread) {
  Ref threading = py::import_module("threading");
  Ref dummy_type = threading ? Ref::checked(PyObject_GetAttrString(threading.get(), "_DummyThread")) : Ref();
  bool dummy = dummy_type && PyType_Check(dummy_type.get()) &&
               PyObject_TypeCheck(thread, reinterpret_cast<PyTypeObject*>(dummy_type.get()));
  PyErr_Clear();
  return dummy;
}

}  // namespace

PyResult<ThreadFacts> read_thread_facts(PyObject* thread) {
  ThreadFacts facts;
  Ref name = Ref::checked(PyObject_GetAttrString(thread, "name"));
  if (!name) return Err{take_python_error()};
  PyResult<std::string> name_text = str_text(name.get());
  if (!name_text) return Err{std::move(name_text).error()};
  facts.name = std::move(name_text).value();
  facts.ident = optional_u64_attribute(thread, "ident");
  facts.native_id = optional_u64_attribute(thread, "native_id");
  Ref daemon = Ref::checked(PyObject_GetAttrString(thread, "daemon"));
  if (!daemon) return Err{take_python_error()};
  PyResult<bool> daemon_flag = exact_bool(daemon.get());
  if (!daemon_flag) return Err{std::move(daemon_flag).error()};
  facts.daemon = daemon_flag.value();
  return facts;
}

PyResult<bool> read_is_alive(PyObject* thread) {
  Ref alive = Ref::checked(PyObject_CallMethod(thread, "is_alive", nullptr));
  if (!alive) {
    py::PyError error = take_python_error();
    if (is_dummy_thread(thread)) return false;
    return Err{std::move(error)};
  }
  return exact_bool(alive.get());
}

SharedThread RecordedThread::of(PyObject* thread) {
  PyResult<ThreadFacts> facts = read_thread_facts(thread);
  Ref weak = facts.ok() ? Ref::steal(PyWeakref_NewRef(thread, nullptr)) : Ref();
  if (!weak) {
    PyErr_Clear();
    return std::make_shared<const RecordedThread>(Ref::borrow(thread), false, ThreadFacts{});
  }
  return std::make_shared<const RecordedThread>(std::move(weak), true, std::move(facts).value());
}

Ref RecordedThread::object() const { return weak_ ? referent(held_.get()) : held_.clone(); }

bool RecordedThread::gone() const { return weak_ && !object(); }

}  // namespace vesh::store
