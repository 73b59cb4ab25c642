// The idle callbacks that keep the monitoring tool armed between sessions.
//
// Switching a sys.monitoring tool's events off and on makes every code object
// re-check its instrumentation, so between two sessions the tool stays
// claimed with its events set and only its callbacks change: an ended session
// hands them to an IdleMonitor, parked in IDLE_MONITOR, and the next session
// takes them back. The idle callbacks record nothing; they answer None or
// DISABLE from an IdleFilter, a snapshot of the ended session's filters.
//
// Code that a session would not record is disabled at its first idle event.
// Code that a session could record is answered None for a while (a session
// may start soon and want those locations live) and disabled from its 65th
// counted event on; that sets `disabled_recordable`, telling the next
// begin_session that it must call sys.monitoring.restart_events().
#pragma once

#include <Python.h>

#include "foundation/filters.h"
#include "plugins/plugins.h"
#include "py/ref.h"

#include <absl/container/flat_hash_map.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace vesh::monitor {

// Code name to the path-fragment needles of its plugin processors.
using PluginFinders = absl::flat_hash_map<std::string, std::vector<Finder>>;

class IdleFilter {
 public:
  // Counted events of one code object answered None before it is disabled.
  static constexpr std::uint32_t kIdleEventsBeforeDisable = 64;
  // Code objects the hit-count table holds at most.
  static constexpr std::size_t kMaxCountedCodes = 4096;

  // `disable` is sys.monitoring.DISABLE; the filter keeps the reference.
  IdleFilter(const Finders& include, const Finders& ignore, const plugins::PluginMap& plugins, py::Ref disable);
  IdleFilter(const IdleFilter&) = delete;
  IdleFilter& operator=(const IdleFilter&) = delete;

  // The answer to one PY_START, PY_RESUME, PY_RETURN or PY_YIELD event of
  // `code` (borrowed): a new reference to None or DISABLE. Never fails and
  // leaves no Python error set; its own faults are reported once.
  py::Ref idle_event(PyObject* code);

  // Whether a session with these filters would record `code` (its file name
  // is empty or passes the include and ignore filters, or a plugin of its
  // co_name has a path fragment in it); the verdict goes to `out`. Returns
  // false with a Python error set when an attribute cannot be read or the
  // filter verdict fails. Touches no count or flag.
  bool session_may_record(PyObject* code, bool& out) const;

  // Read-and-clear of the flag, for the next session's restart decision.
  bool take_disabled_recordable() noexcept { return disabled_recordable_.exchange(false, std::memory_order_acq_rel); }
  bool disabled_recordable() const noexcept { return disabled_recordable_.load(std::memory_order_acquire); }

  // Whether both filters decide alike: the same include needles and ignore
  // needles, in order, and the same plugin path fragments per code name
  // (table order does not matter, fragment order does).
  bool same_filters(const IdleFilter& other) const noexcept;

  PyObject* disable() const noexcept { return disable_.get(); }
  // Number of code objects counted so far.
  std::size_t counted_codes() const;

 private:
  void note_disabled_recordable() noexcept { disabled_recordable_.store(true, std::memory_order_release); }
  py::Ref decide_new_code(PyObject* code, bool hooks_busy);
  py::Ref answer(bool disable) const noexcept { return py::Ref::borrow(disable ? disable_.get() : Py_None); }

  Finders include_finders_;
  Finders ignore_finders_;
  PluginFinders plugin_finders_;
  py::Ref disable_;
  // Code object address to its counted idle events. Holds no reference: a
  // code object made later at a freed one's address inherits its count.
  // Never held across a call into Python.
  mutable std::mutex hit_counts_mutex_;
  absl::flat_hash_map<std::uintptr_t, std::uint32_t> hit_counts_;
  std::atomic<bool> disabled_recordable_{false};
  std::atomic<bool> panic_reported_{false};
};

// The Python object behind the idle callbacks. It holds the filter, not the
// monitor, so an ended monitor can be dropped while its tool stays armed.
struct IdleMonitor {
  std::shared_ptr<IdleFilter> filter;
};

using SharedIdleFilter = std::shared_ptr<IdleFilter>;

// The class IdleMonitor, made on first use and kept for the process (idle
// monitors may outlive the module). Null with a Python error set when it
// cannot be made.
PyTypeObject* idle_monitor_type();

// A new IdleMonitor object sharing `filter`, or null with a Python error set.
py::Ref make_idle_monitor(std::shared_ptr<IdleFilter> filter);

// The filter of an IdleMonitor object (borrowed; must be one).
const std::shared_ptr<IdleFilter>& idle_monitor_filter(PyObject* idle_monitor) noexcept;

// IDLE_MONITOR: the armed tool's idle callbacks, when Vesh keeps it armed.
// A fault while its lock is held poisons it; later uses are the fault
// "idle monitor mutex poisoned".
//
// Stores `monitor` (an IdleMonitor object, or null to empty the slot),
// releasing the one held before.
void set_idle_monitor(py::Ref monitor);
// Removes and returns the held IdleMonitor; null when none was held.
py::Ref take_idle_monitor();
// Whether an IdleMonitor is held.
bool tool_is_idle();

// Registers `target`'s event callbacks (monitor_pystart, ...,
// monitor_instruction) on the tool. A method the target lacks is registered
// as None, which removes the tool's callback for that event. Returns false with the Python error set at
// the first failure; rows registered before it stay registered.
bool register_callbacks(PyObject* target, std::uint8_t tool_id);

// The restart decision of a session that takes over the idle callbacks made
// with `idle` while its own filter is `own` (possibly the same filter).
// Reads and clears both filters' disabled_recordable flags, always both;
// restart when either was set or the filters decide differently, since a
// location the idle callbacks disabled may be one the new session records.
bool restart_needed(IdleFilter& idle, IdleFilter& own) noexcept;

// sys.monitoring.restart_events(). Returns false with the Python error set.
bool restart_events();

// Gives the tool up after a failed hand-over: its events off, the
// callbacks cleared, the tool freed (only when every callback was cleared)
// and events restarted. Best effort: every failure is ignored, and the
// caller's pending Python error, if any, is kept.
void tear_down_tool(std::uint8_t tool_id);

}  // namespace vesh::monitor
