// Test entry: starts one embedded interpreter for the tests that need Python
// objects. VESH_TEST_PYTHON names the venv interpreter so that its
// site-packages (msgpack) are importable; the source tree's python/ directory
// comes first on sys.path so that the `vesh` package is the one under test.
#include <Python.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  PyConfig config;
  PyConfig_InitPythonConfig(&config);
  config.install_signal_handlers = 0;
  if (const char* exe = std::getenv("VESH_TEST_PYTHON")) {
    PyConfig_SetBytesString(&config, &config.program_name, exe);
  }
  PyStatus status = Py_InitializeFromConfig(&config);
  PyConfig_Clear(&config);
  if (PyStatus_Exception(status)) Py_ExitStatusException(status);
  std::string file = __FILE__;
  std::string python_dir = file.substr(0, file.rfind("/tests/native/")) + "/python";
  PyObject* sys_path = PySys_GetObject("path");
  PyObject* dir = PyUnicode_FromString(python_dir.c_str());
  if (sys_path == nullptr || dir == nullptr || PyList_Insert(sys_path, 0, dir) != 0) {
    PyErr_Print();
    return 1;
  }
  Py_DECREF(dir);
  int result = RUN_ALL_TESTS();
  // The interpreter is left running: finalising it would run destructors of
  // process-wide objects that tests may still reference.
  return result;
}
