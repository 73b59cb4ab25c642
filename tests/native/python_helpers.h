// Small helpers for tests that need Python objects from the embedded
// interpreter (the main test thread holds the interpreter lock).
#pragma once

#include <Python.h>
#include <gtest/gtest.h>

#include "py/error.h"
#include "py/ref.h"

#include "source_tree.h"

#include <string>

namespace vesh::testing {

// Runs statements in __main__ and fails the test on an exception.
inline void run(const std::string& code) {
  if (PyRun_SimpleString(code.c_str()) != 0) ADD_FAILURE() << "Python code failed:\n" << code;
}

// Evaluates an expression in __main__'s namespace.
inline py::Ref eval(const std::string& expr) {
  PyObject* main = PyImport_AddModule("__main__");
  PyObject* globals = PyModule_GetDict(main);
  py::Ref result = py::Ref::steal(PyRun_String(expr.c_str(), Py_eval_input, globals, globals));
  if (!result) {
    PyErr_Print();
    ADD_FAILURE() << "Python expression failed: " << expr;
  }
  return result;
}

// Takes the pending exception, checking its type; returns its message.
inline std::string take_error(PyObject* expected_type) {
  EXPECT_NE(PyErr_Occurred(), nullptr);
  EXPECT_TRUE(PyErr_ExceptionMatches(expected_type)) << "unexpected exception type";
  return py::PyError::fetch().message();
}

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
