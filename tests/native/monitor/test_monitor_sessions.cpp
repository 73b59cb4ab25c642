// end_session against what idle callbacks cannot stand in for: a callback
// still running on the monitor, and an open writer circuit.
#include <Python.h>
#include <gtest/gtest.h>

#include "monitor/idle_monitor.h"
#include "monitor/monitoring.h"
#include "py/heap_type.h"
#include "python_helpers.h"
#include "foundation/thread_hooks.h"
#include "store/trace_container.h"

#include <filesystem>
#include <string>

namespace vesh::monitor {
namespace {

using py::Ref;

class MonitorSessions : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string python_dir = (vesh::testing::source_root() / "python");
    testing::run("import sys\n"
                 "if '" + python_dir + "' not in sys.path: sys.path.insert(0, '" + python_dir + "')\n");
    Ref db = Ref::steal(PyUnicode_FromString((std::filesystem::temp_directory_path() / "vesh-sessions.db").c_str()));
    Ref config = Ref::steal(PyDict_New());
    Ref source = Ref::steal(PyUnicode_FromString("test"));
    PyObject* args[] = {db.get(), config.get(), source.get(), Py_False};
    object_ = register_monitor(nullptr, args, 4, nullptr);
    ASSERT_TRUE(object_) << (PyErr_Print(), "register_monitor failed");
    PyDict_SetItemString(PyModule_GetDict(PyImport_AddModule("__main__")), "_monitor", object_.get());
  }
  void TearDown() override {
    take_idle_monitor();
    testing::run("del _monitor");
  }

  VeshMonitor& monitor() { return py::Box<VeshMonitor>::of(object_.get()); }

  // The answer of the monitor's PY_START callback for `code`.
  Ref pystart(PyObject* code) { return Ref::steal(monitor().callback(0, code, 0, nullptr)); }

  Ref object_;
};

TEST_F(MonitorSessions, CallbackInFlightKeepsTheToolFromGoingIdle) {
  // The callback below runs Python code (the code object's file name) in the
  // middle of its work, and that code ends the session.
  testing::run(
      "class _EndsSession:\n"
      "    handed_over = None\n"
      "    @property\n"
      "    def co_filename(self):\n"
      "        _EndsSession.handed_over = _monitor.end_session(3)\n"
      "        return '/app/user.py'\n");
  Ref code = testing::eval("_EndsSession()");
  {
    // A worker thread's events ask the filters without recording.
    const std::uint8_t saved = hooks::STATE;
    hooks::STATE |= hooks::kWorker;
    Ref answer = pystart(code.get());
    hooks::STATE = saved;
    EXPECT_EQ(answer.get(), Py_None);
  }
  EXPECT_EQ(testing::eval("_EndsSession.handed_over").get(), Py_False);
  EXPECT_FALSE(tool_is_idle());
  EXPECT_EQ(monitor().callbacks_in_flight(), 0u);
  // Ended all the same: the next event is answered by the idle filter.
  Ref library = testing::eval("compile('pass', '/usr/lib/python3.12/x.py', 'exec')");
  EXPECT_EQ(pystart(library.get()).get(), monitor().idle_filter().disable());
}

TEST_F(MonitorSessions, OpenWriterCircuitKeepsTheToolFromGoingIdle) {
  store::PROCESS_WRITER_CIRCUIT_OPEN.store(1);
  bool handed_over = true;
  const bool ok = monitor().end_session(3, handed_over);
  store::PROCESS_WRITER_CIRCUIT_OPEN.store(0);
  ASSERT_TRUE(ok);
  EXPECT_FALSE(handed_over);
  EXPECT_FALSE(tool_is_idle());
  Ref library = testing::eval("compile('pass', '/usr/lib/python3.12/x.py', 'exec')");
  EXPECT_EQ(pystart(library.get()).get(), monitor().idle_filter().disable());
}

TEST_F(MonitorSessions, RecordableLocationDisabledKeepsTheToolFromGoingIdle) {
  // On a suspended thread the monitor disables even code a session records;
  // idle callbacks would leave that location dark for the next session.
  Ref user = testing::eval("compile('pass', '/app/user.py', 'exec')");
  monitor().set_active(true);
  {
    const std::uint8_t saved = hooks::STATE;
    hooks::STATE |= hooks::kSuspended;
    Ref answer = pystart(user.get());
    hooks::STATE = saved;
    EXPECT_EQ(answer.get(), monitor().idle_filter().disable());
  }
  ASSERT_TRUE(monitor().disabled_recordable());
  bool handed_over = true;
  ASSERT_TRUE(monitor().end_session(3, handed_over));
  EXPECT_FALSE(handed_over);
  EXPECT_FALSE(tool_is_idle());
}

TEST_F(MonitorSessions, OnlyAnActiveMonitorUnchangedSinceTheCallbackBeganAnswersDisable) {
  // Library code on a worker thread is answered DISABLE, unless the monitor
  // is inactive or was switched (even off and on again) during the callback:
  // the events it would disable may already belong to another session.
  testing::run(
      "class _Library:\n"
      "    toggle = False\n"
      "    @property\n"
      "    def co_filename(self):\n"
      "        if _Library.toggle:\n"
      "            _monitor.set_active(False)\n"
      "            _monitor.set_active(True)\n"
      "        return '/usr/lib/python3.12/json/decoder.py'\n");
  struct Case {
    const char* name;
    bool active;
    bool toggle;
    bool disable;
  };
  const Case cases[] = {
      {"inactive", false, false, false},
      {"active", true, false, true},
      {"re-activated during the callback", true, true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    monitor().set_active(c.active);
    testing::run(std::string("_Library.toggle = ") + (c.toggle ? "True" : "False"));
    Ref code = testing::eval("_Library()");
    const std::uint8_t saved = hooks::STATE;
    hooks::STATE |= hooks::kWorker;
    Ref answer = pystart(code.get());
    hooks::STATE = saved;
    EXPECT_EQ(answer.get(), c.disable ? monitor().idle_filter().disable() : Py_None);
  }
}

}  // namespace
}  // namespace vesh::monitor
