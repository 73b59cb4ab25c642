// Test entry: starts one embedded interpreter for the tests that need Python
// objects. VESH_TEST_PYTHON names the venv interpreter so that its
// site-packages (msgpack) are importable.
#include <Python.h>
#include <gtest/gtest.h>

#include <cstdlib>

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
  int result = RUN_ALL_TESTS();
  // The interpreter is left running: finalising it would run destructors of
  // process-wide objects that tests may still reference.
  return result;
}
