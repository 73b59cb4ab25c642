// Small helpers for native tests that need Python objects.
#pragma once

#include <Python.h>
#include <gtest/gtest.h>

#include "py/error.h"
#include "py/ref.h"

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

}  // namespace vesh::testing
