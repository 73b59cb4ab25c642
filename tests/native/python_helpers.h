// Small helpers for tests that need Python objects from the embedded
// interpreter (the main test thread holds the interpreter lock).
#pragma once

#include <Python.h>

#include "py/error.h"
#include "py/ref.h"

#include <string>

namespace vesh::testing {

// Runs `code` as a module named `module_name`; answers its namespace, or
// null after printing the error.
inline py::Ref run_python(const char* code, const char* module_name = "testmod") {
  py::Ref globals = py::Ref::steal(PyDict_New());
  PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins());
  py::Ref name = py::Ref::steal(PyUnicode_FromString(module_name));
  PyDict_SetItemString(globals.get(), "__name__", name.get());
  py::Ref result = py::Ref::steal(PyRun_String(code, Py_file_input, globals.get(), globals.get()));
  if (!result) {
    PyErr_Print();
    return {};
  }
  return globals;
}

// Borrowed item of a namespace.
inline PyObject* item(const py::Ref& ns, const char* name) { return PyDict_GetItemString(ns.get(), name); }

// Takes the pending error: its type name and message.
inline std::string take_error_text() {
  py::PyError error = py::PyError::fetch();
  if (!error) return "<no error>";
  return std::string(Py_TYPE(error.value())->tp_name) + ": " + error.message();
}

}  // namespace vesh::testing
