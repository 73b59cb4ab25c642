// Helpers shared by the monitoring tracer's native tests.
#pragma once

#include <Python.h>
#include <gtest/gtest.h>

#include "monitor/monitoring.h"
#include "py/heap_type.h"
#include "python_helpers.h"

#include <string>

namespace vesh::monitor::testing {

// A monitor made by register_monitor with the configuration dict that
// `config_expr` evaluates to; null after a test failure when it cannot be made.
inline py::Ref make_monitor(const std::string& config_expr = "{}") {
  py::Ref config = vesh::testing::eval(config_expr);
  py::Ref args[] = {py::Ref::steal(PyUnicode_FromString("/tmp/vesh-native-test/vesh.db")), std::move(config),
                    py::Ref::steal(PyUnicode_FromString("native tests")), py::Ref::borrow(Py_False)};
  PyObject* raw[] = {args[0].get(), args[1].get(), args[2].get(), args[3].get()};
  py::Ref object = register_monitor(nullptr, raw, 4, nullptr);
  EXPECT_TRUE(object) << vesh::testing::take_error_text();
  return object;
}

inline VeshMonitor& monitor_of(const py::Ref& object) { return py::Box<VeshMonitor>::of(object.get()); }

}  // namespace vesh::monitor::testing
