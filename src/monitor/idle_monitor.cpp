#include "monitor/idle_monitor.h"

#include "py/args.h"
#include "py/error.h"
#include "py/fault.h"
#include "py/heap_type.h"
#include "py/import.h"
#include "foundation/thread_hooks.h"
#include "foundation/error_reporting.h"

#include <algorithm>
#include <exception>
#include <initializer_list>
#include <limits>
#include <string_view>

namespace vesh::monitor {

using py::Ref;

// ---------------------------------------------------------------------------
// IdleFilter

IdleFilter::IdleFilter(const Finders& include, const Finders& ignore, const plugins::PluginMap& plugins, Ref disable)
    : include_finders_(include), ignore_finders_(ignore), disable_(std::move(disable)) {
  plugin_finders_.reserve(plugins.size());
  for (const auto& [name, processors] : plugins) {
    std::vector<Finder> fragments;
    fragments.reserve(processors.size());
    for (const auto& processor : processors) fragments.push_back(processor->path_fragment);
    plugin_finders_.emplace(name, std::move(fragments));
  }
}

Ref IdleFilter::idle_event(PyObject* code) {
  // Worker threads and the tracer's own Python calls never count: they are
  // not the program's activity, so they must not get its code disabled.
  const bool hooks_busy = hooks::recording_blocked();
  const auto key = reinterpret_cast<std::uintptr_t>(code);
  try {
    {
      std::lock_guard lock(hit_counts_mutex_);
      auto it = hit_counts_.find(key);
      if (it != hit_counts_.end()) {
        if (hooks_busy) return answer(false);
        std::uint32_t& count = it->second;
        if (count < std::numeric_limits<std::uint32_t>::max()) ++count;
        if (count <= kIdleEventsBeforeDisable) return answer(false);
        note_disabled_recordable();
        return answer(true);
      }
    }
    // New code is judged by its names, read through lookups.
    Ref verdict = decide_new_code(code, hooks_busy);
    if (PyErr_Occurred() != nullptr) [[unlikely]]
      report_stray_error();
    return verdict;
  }
  VESH_LET_THREAD_EXIT_PASS
  catch (...) {
    // After a fault nothing this filter decided can be trusted: make the
    // next session restart events.
    note_disabled_recordable();
    PyErr_Clear();
    if (!panic_reported_.exchange(true, std::memory_order_acq_rel)) report_current_panic();
    return answer(false);
  }
}

Ref IdleFilter::decide_new_code(PyObject* code, bool hooks_busy) {
  // The verdict reads code attributes (Python calls), so it runs unlocked.
  bool may_record = false;
  if (!session_may_record(code, may_record)) {
    // Unknown: answer None and ask again next time rather than disable code
    // that might be recordable.
    PyErr_Clear();
    return answer(false);
  }
  if (!may_record) return answer(true);
  if (hooks_busy) return answer(false);
  std::lock_guard lock(hit_counts_mutex_);
  if (hit_counts_.size() >= kMaxCountedCodes) {
    note_disabled_recordable();
    return answer(true);
  }
  // Another thread may have counted it meanwhile; starting over is harmless.
  hit_counts_.insert_or_assign(reinterpret_cast<std::uintptr_t>(code), 1u);
  return answer(false);
}

bool IdleFilter::session_may_record(PyObject* code, bool& out) const {
  Ref filename_obj = Ref::steal(PyObject_GetAttr(code, VESH_INTERNED("co_filename")));
  if (!filename_obj) return false;
  std::string scratch;
  std::optional<std::string_view> filename = filename_bytes(filename_obj.get(), scratch);
  if (!filename) return false;
  bool record = filename->empty();
  if (!record && !include_frame(*filename, include_finders_, ignore_finders_, record)) return false;
  if (record || plugin_finders_.empty()) {
    out = record;
    return true;
  }
  Ref name_obj = Ref::steal(PyObject_GetAttr(code, VESH_INTERNED("co_name")));
  if (!name_obj) return false;
  std::string_view name;
  if (!py::to_utf8(name_obj.get(), name)) return false;
  auto it = plugin_finders_.find(absl::string_view(name.data(), name.size()));
  out = it != plugin_finders_.end() && std::any_of(it->second.begin(), it->second.end(), [&](const Finder& fragment) {
          return fragment.is_in(*filename);
        });
  return true;
}

namespace {

template <typename List>
bool same_needles(const List& a, const List& b) noexcept {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](const Finder& x, const Finder& y) {
           return x.needle() == y.needle();
         });
}

}  // namespace

bool IdleFilter::same_filters(const IdleFilter& other) const noexcept {
  if (this == &other) return true;
  if (!same_needles(include_finders_, other.include_finders_)) return false;
  if (!same_needles(ignore_finders_, other.ignore_finders_)) return false;
  if (plugin_finders_.size() != other.plugin_finders_.size()) return false;
  for (const auto& [name, fragments] : plugin_finders_) {
    auto it = other.plugin_finders_.find(name);
    if (it == other.plugin_finders_.end() || !same_needles(fragments, it->second)) return false;
  }
  return true;
}

std::size_t IdleFilter::counted_codes() const {
  std::lock_guard lock(hit_counts_mutex_);
  return hit_counts_.size();
}

// ---------------------------------------------------------------------------
// The IdleMonitor class

namespace {

using IdleMonitorBox = py::Box<IdleMonitor>;

constexpr const char* kEntryNames[] = {"code", "_instruction_offset"};
constexpr const char* kExitNames[] = {"code", "_instruction_offset", "_retval"};

Ref idle_callback(PyObject* self, const py::Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                  PyObject* kwnames) {
  // Every armed event that is not disabled comes through here: the usual
  // all-positional call binds without the general parser.
  PyObject* slots[3];
  if (kwnames == nullptr && static_cast<std::size_t>(nargs) == sig.count) [[likely]] {
    for (std::size_t i = 0; i < sig.count; ++i) slots[i] = args[i];
  } else if (!py::parse(sig, args, nargs, kwnames, slots)) {
    return {};
  }
  if (!PyCode_Check(slots[0])) [[unlikely]] {
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'PyCode'", Py_TYPE(slots[0])->tp_name);
    py::with_arg_name("code");
    return {};
  }
  // The offset is not used, but it must be one.
  if (PyLong_CheckExact(slots[1])) [[likely]] {
    if (PyLong_AsUnsignedLongLong(slots[1]) == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return {};
  } else {
    std::uint64_t offset = 0;
    if (!py::convert_arg("_instruction_offset", py::to_u64, slots[1], offset)) return {};
  }
  return IdleMonitorBox::of(self).filter->idle_event(slots[0]);
}

Ref monitor_pystart(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return idle_callback(self, {"IdleMonitor.monitor_pystart", kEntryNames, 2, 2}, args, nargs, kwnames);
}
Ref monitor_pyresume(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return idle_callback(self, {"IdleMonitor.monitor_pyresume", kEntryNames, 2, 2}, args, nargs, kwnames);
}
Ref monitor_pyreturn(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return idle_callback(self, {"IdleMonitor.monitor_pyreturn", kExitNames, 3, 3}, args, nargs, kwnames);
}
Ref monitor_pyyield(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return idle_callback(self, {"IdleMonitor.monitor_pyyield", kExitNames, 3, 3}, args, nargs, kwnames);
}

constexpr int kFastcall = METH_FASTCALL | METH_KEYWORDS;

// PY_UNWIND and PY_THROW have no callback on purpose: see the class doc.
PyMethodDef kIdleMonitorMethods[] = {
    {"monitor_pystart", reinterpret_cast<PyCFunction>(py::fastcall<monitor_pystart>), kFastcall,
     "monitor_pystart($self, code, _instruction_offset)\n--\n\n"},
    {"monitor_pyresume", reinterpret_cast<PyCFunction>(py::fastcall<monitor_pyresume>), kFastcall,
     "monitor_pyresume($self, code, _instruction_offset)\n--\n\n"},
    {"monitor_pyreturn", reinterpret_cast<PyCFunction>(py::fastcall<monitor_pyreturn>), kFastcall,
     "monitor_pyreturn($self, code, _instruction_offset, _retval)\n--\n\n"},
    {"monitor_pyyield", reinterpret_cast<PyCFunction>(py::fastcall<monitor_pyyield>), kFastcall,
     "monitor_pyyield($self, code, _instruction_offset, _retval)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

constexpr const char* kIdleMonitorDoc =
    "The callbacks registered between sessions, sharing the ended session's\n"
    "`IdleFilter` so the monitor itself can be dropped. PY_UNWIND and PY_THROW\n"
    "cannot be disabled, so they get no callback: CPython then skips the call,\n"
    "and unwinding stays almost free without changing the tool's events (which\n"
    "would make every code object re-check its instrumentation).";

}  // namespace

PyTypeObject* idle_monitor_type() {
  static PyTypeObject* type = nullptr;
  if (type == nullptr) {
    py::TypeSpec spec = py::box_type_spec<IdleMonitor>("vesh._vesh.IdleMonitor", kIdleMonitorDoc);
    spec.slots.push_back({Py_tp_methods, kIdleMonitorMethods});
    type = reinterpret_cast<PyTypeObject*>(py::make_heap_type(std::move(spec)).release());
  }
  return type;
}

Ref make_idle_monitor(std::shared_ptr<IdleFilter> filter) {
  PyTypeObject* type = idle_monitor_type();
  if (type == nullptr) return {};
  return IdleMonitorBox::create(type, IdleMonitor{std::move(filter)});
}

const std::shared_ptr<IdleFilter>& idle_monitor_filter(PyObject* idle_monitor) noexcept {
  return IdleMonitorBox::of(idle_monitor).filter;
}

// ---------------------------------------------------------------------------
// IDLE_MONITOR

namespace {

// A plain mutex: it is held only to move one reference in or out, never
// across a Python call, so it cannot be contended while the interpreter lock
// is held and need not release it.
struct IdleMonitorSlot {
  std::mutex mutex;
  bool poisoned = false;
  Ref monitor;
};

// Never destroyed: its reference must not be released after the interpreter
// has gone.
IdleMonitorSlot& IDLE_MONITOR = *new IdleMonitorSlot;

// Runs `fn` on the held reference under the lock; a fault inside poisons it.
template <typename Fn>
auto with_idle_monitor(Fn fn) {
  std::unique_lock lock(IDLE_MONITOR.mutex);
  if (IDLE_MONITOR.poisoned) fault("idle monitor mutex poisoned");
  try {
    return fn(IDLE_MONITOR.monitor);
  } catch (...) {
    IDLE_MONITOR.poisoned = true;
    throw;
  }
}

}  // namespace

void set_idle_monitor(Ref monitor) {
  Ref replaced = with_idle_monitor([&](Ref& held) { return std::exchange(held, std::move(monitor)); });
  // Released outside the lock: releasing an object may run arbitrary code.
  replaced.reset();
}

Ref take_idle_monitor() {
  return with_idle_monitor([](Ref& held) { return std::exchange(held, Ref()); });
}

bool tool_is_idle() {
  return with_idle_monitor([](Ref& held) { return bool(held); });
}

// ---------------------------------------------------------------------------
// register_callbacks

namespace {

struct CallbackRow {
  const char* event;
  const char* method;
};

constexpr CallbackRow kCallbackTable[] = {
    {"PY_START", "monitor_pystart"},   {"PY_RETURN", "monitor_pyreturn"}, {"PY_UNWIND", "monitor_pyunwind"},
    {"PY_RESUME", "monitor_pyresume"}, {"PY_YIELD", "monitor_pyyield"},   {"PY_THROW", "monitor_pythrow"},
    {"INSTRUCTION", "monitor_instruction"},
};

// The target's callback for a method name, None when it has no such
// attribute, or null with the error set.
Ref callback_of(PyObject* target, const char* method) {
  Ref probe = Ref::steal(PyObject_GetAttrString(target, method));
  if (!probe) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return {};
    PyErr_Clear();
    return py::none();
  }
  // A presence test and a separate fetch, like hasattr() then getattr():
  // the registered callable is the fetched one.
  probe.reset();
  return Ref::steal(PyObject_GetAttrString(target, method));
}

}  // namespace

bool register_callbacks(PyObject* target, std::uint8_t tool_id) {
  Ref sys = py::import_module("sys");
  if (!sys) return false;
  Ref monitoring = Ref::steal(PyObject_GetAttrString(sys.get(), "monitoring"));
  if (!monitoring) return false;
  Ref events = Ref::steal(PyObject_GetAttrString(monitoring.get(), "events"));
  if (!events) return false;
  Ref register_callback = Ref::steal(PyObject_GetAttrString(monitoring.get(), "register_callback"));
  if (!register_callback) return false;
  Ref tool = Ref::steal(PyLong_FromUnsignedLong(tool_id));
  if (!tool) return false;
  for (const CallbackRow& row : kCallbackTable) {
    Ref callback = callback_of(target, row.method);
    if (!callback) return false;
    Ref event = Ref::steal(PyObject_GetAttrString(events.get(), row.event));
    if (!event) return false;
    PyObject* call_args[] = {tool.get(), event.get(), callback.get()};
    Ref result = Ref::steal(PyObject_Vectorcall(register_callback.get(), call_args, 3, nullptr));
    if (!result) return false;
  }
  return true;
}

// ---------------------------------------------------------------------------
// Session hand-over

bool restart_needed(IdleFilter& idle, IdleFilter& own) noexcept {
  const bool idle_disabled = idle.take_disabled_recordable();
  const bool own_disabled = own.take_disabled_recordable();
  return idle_disabled || own_disabled || !own.same_filters(idle);
}

namespace {

Ref sys_monitoring() {
  Ref sys = py::import_module("sys");
  if (!sys) return {};
  return Ref::steal(PyObject_GetAttrString(sys.get(), "monitoring"));
}

// Calls monitoring.<name>(args...); false with the error set on failure.
bool call_monitoring(PyObject* monitoring, const char* name, std::initializer_list<PyObject*> args) {
  Ref fn = Ref::steal(PyObject_GetAttrString(monitoring, name));
  if (!fn) return false;
  Ref result = Ref::steal(PyObject_Vectorcall(fn.get(), args.begin(), args.size(), nullptr));
  return bool(result);
}

// Runs one teardown step; its failure is dropped. Returns whether it worked.
template <typename Step>
bool ignoring_failure(Step step) noexcept {
  if (step()) return true;
  PyErr_Clear();
  return false;
}

}  // namespace

bool restart_events() {
  Ref monitoring = sys_monitoring();
  return monitoring && call_monitoring(monitoring.get(), "restart_events", {});
}

void tear_down_tool(std::uint8_t tool_id) {
  // The error that started the teardown is raised afterwards; keep it out of
  // the way of the calls below.
  py::PyError pending = py::PyError::fetch();
  [&] {
    Ref monitoring = sys_monitoring();
    if (!monitoring) {
      PyErr_Clear();
      return;
    }
    Ref tool = Ref::steal(PyLong_FromUnsignedLong(tool_id));
    Ref zero = Ref::steal(PyLong_FromLong(0));
    if (!tool || !zero) {
      PyErr_Clear();
      return;
    }
    ignoring_failure([&] { return call_monitoring(monitoring.get(), "set_events", {tool.get(), zero.get()}); });
    Ref events = Ref::steal(PyObject_GetAttrString(monitoring.get(), "events"));
    if (events) {
      bool all_cleared = true;
      for (const CallbackRow& row : kCallbackTable) {
        all_cleared &= ignoring_failure([&] {
          Ref event = Ref::steal(PyObject_GetAttrString(events.get(), row.event));
          return event &&
                 call_monitoring(monitoring.get(), "register_callback", {tool.get(), event.get(), Py_None});
        });
      }
      // A tool that may still hold a callback must not be handed to someone
      // else.
      if (all_cleared) ignoring_failure([&] { return call_monitoring(monitoring.get(), "free_tool_id", {tool.get()}); });
    } else {
      PyErr_Clear();
    }
    ignoring_failure([&] { return call_monitoring(monitoring.get(), "restart_events", {}); });
  }();
  if (pending) pending.restore();
}

}  // namespace vesh::monitor
