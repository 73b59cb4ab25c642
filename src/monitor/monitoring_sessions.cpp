// Sessions of a monitor on the armed tool.
//
// A session ends into idle callbacks (end_session) and the next monitor's
// session begins on them (begin_session), so the tool's events are never
// switched off and on between sessions. end_session refuses, leaving the
// Python side to tear the tool down, whenever idle callbacks could hide
// something a session needs: line events or trace points, a panic, a
// callback still running, a recordable location already disabled, or
// recording stopped by the writer circuit or a stopped writer.
#include "monitor/monitoring.h"

#include "monitor/idle_monitor.h"
#include "py/args.h"
#include "py/heap_type.h"
#include "store/trace_container.h"

#include <limits>

namespace vesh::monitor {

using py::Ref;

bool VeshMonitor::end_session(std::uint8_t tool_id, bool& handed_over) {
  handed_over = false;
  // Idle callbacks answer from the filters alone: they cannot stand in for
  // line events or trace points, and a panicked monitor's events are off.
  if (panicked()) {
    // It records nothing more either.
    take_open_calls();
    return true;
  }
  if (line_events_ || has_trace_points()) return true;

  // From here on this monitor's callbacks answer as ended, and its pending
  // assignments are dropped by the threads that hold them.
  session_ended_.store(true, std::memory_order_seq_cst);
  assignment_owner_.set_alive(false);
  // Released when this returns (releasing a frame may run Python code).
  const OpenCalls released = take_open_calls();

  // The other half of the hand-shake in callback(): a callback that counted
  // itself in before the store above is seen here.
  if (callbacks_in_flight_.load(std::memory_order_seq_cst) != 0) return true;
  if (disabled_recordable_.load(std::memory_order_acquire)) return true;
  if (recording_stopped()) return true;

  Ref idle = make_idle_monitor(idle_filter_);
  if (!idle) return false;
  if (!register_callbacks(idle.get(), tool_id)) {
    // Some events may already answer through the idle callbacks, which is
    // harmless: the caller tears the tool down on false.
    PyErr_Clear();
    return true;
  }
  set_idle_monitor(std::move(idle));
  handed_over = true;
  return true;
}

bool VeshMonitor::begin_session(PyObject* self, std::uint8_t tool_id) {
  Ref idle = take_idle_monitor();
  if (!idle) {
    PyErr_SetString(PyExc_RuntimeError, "Vesh's monitoring tool is not idle");
    return false;
  }
  // Events that reach this monitor while it switches over are answered as
  // idle callbacks would answer them.
  session_ended_.store(true, std::memory_order_seq_cst);

  if (!register_callbacks(self, tool_id)) {
    tear_down_tool(tool_id);
    return false;
  }
  if (restart_needed(*idle_monitor_filter(idle.get()), *idle_filter_) && !restart_events()) {
    tear_down_tool(tool_id);
    return false;
  }
  assignment_owner_.set_alive(true);
  session_ended_.store(false, std::memory_order_release);
  return true;
}

VeshMonitor::OpenCalls VeshMonitor::take_open_calls() {
  // The frames of calls still open when the session ends would otherwise
  // stay held, with their locals and callers, as long as this monitor
  // lives: their exits are no longer seen. Nothing here runs Python code,
  // so no thread makes or replaces its state meanwhile; a thread inside a
  // callback keeps what it is using.
  OpenCalls out;
  threads_state_.for_each([&out](ThreadState& ts) {
    if (!ts.call_frames.borrowed()) out.frames.push_back(std::exchange(*ts.call_frames.borrow_mut(), CallFrames()));
    if (!ts.assignments.borrowed()) {
      out.assignments.push_back(std::exchange(*ts.assignments.borrow_mut(), PendingAssignments()));
    }
  });
  return out;
}

namespace {

constexpr const char* kToolIdNames[] = {"tool_id"};

// A sys.monitoring tool id: an int from 0 to 255.
bool to_tool_id(PyObject* obj, std::uint8_t& out) {
  std::uint64_t value = 0;
  if (!py::to_u64(obj, value)) return false;
  if (value > std::numeric_limits<std::uint8_t>::max()) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    return false;
  }
  out = static_cast<std::uint8_t>(value);
  return true;
}

bool parse_tool_id(const char* function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   std::uint8_t& tool_id) {
  PyObject* slots[1];
  return py::parse({function, kToolIdNames, 1, 1}, args, nargs, kwnames, slots) &&
         py::convert_arg("tool_id", to_tool_id, slots[0], tool_id);
}

}  // namespace

Ref end_session_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::uint8_t tool_id = 0;
  if (!parse_tool_id("end_session", args, nargs, kwnames, tool_id)) return {};
  bool handed_over = false;
  if (!py::Box<VeshMonitor>::of(self).end_session(tool_id, handed_over)) return {};
  return Ref::borrow(handed_over ? Py_True : Py_False);
}

Ref begin_session_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::uint8_t tool_id = 0;
  if (!parse_tool_id("begin_session", args, nargs, kwnames, tool_id)) return {};
  if (!py::Box<VeshMonitor>::of(self).begin_session(self, tool_id)) return {};
  return py::none();
}

}  // namespace vesh::monitor
