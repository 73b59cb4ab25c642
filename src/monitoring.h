// The monitoring tracer: VeshMonitor on sys.monitoring (PEP 669).
//
// One VeshMonitor holds everything its callbacks share: the configuration as
// read once, the Python callables of the hot path, the code metadata caches,
// the per-thread slots, the current trace capture with its ids, and the
// locks. The Python side claims tool 3, registers the monitor's methods as
// callbacks and activates it; the callbacks decide per event between
// recording, None and sys.monitoring.DISABLE.
#pragma once

#include <Python.h>

#include "code_metadata.h"
#include "config.h"
#include "filters.h"
#include "idle_monitor.h"
#include "plugins.h"
#include "py/error.h"
#include "py/gil_mutex.h"
#include "py/ref.h"
#include "support/per_thread.h"
#include "support/result.h"
#include "thread_hooks.h"

#include <absl/container/flat_hash_map.h>
#include <absl/container/flat_hash_set.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vesh::monitor {

// Kinds whose events sys.monitoring lets a callback disable: PY_START,
// PY_RETURN, PY_RESUME, PY_YIELD.
inline constexpr std::uint8_t kDisableMask = 0x1B;
// Exit kinds: PY_RETURN, PY_UNWIND, PY_YIELD.
inline constexpr std::uint8_t kExitMask = 0x16;

inline constexpr bool may_disable(std::uint8_t kind) noexcept { return kind < 8 && ((kDisableMask >> kind) & 1); }
inline constexpr bool is_exit(std::uint8_t kind) noexcept { return kind < 8 && ((kExitMask >> kind) & 1); }

// Value kinds of an event: no value, a returned or yielded value, an exception.
enum ValueKind : std::uint8_t { kNoValue = 0, kValue = 1, kException = 2 };

// The outcome of one recorded event: an answer (null: none) or an error.
using EventResult = Result<py::Ref, py::PyError>;

// Per monitor and thread: the cached thread key and frame store, and the
// bytes appended since subtree tracking was last reset.
struct FlushThreadState {
  std::uint64_t running_bytes = 0;
  std::uint64_t flush_generation = 0;
  std::shared_ptr<const std::string> thread_key;
  std::uint64_t capture_generation = 0;
  bool check_due = false;
};

// Everything a monitor keeps per thread. The fields are reached through
// run-time borrows so that a re-entrant event on one thread is a fault, not
// corruption.
struct ThreadState {
  // The OS thread that last used this slot (see os_thread_token()).
  std::uint64_t os_thread_token = 0;
  BorrowCell<LocalCodeMap> local_code_metadata;
  BorrowCell<FlushThreadState> flush;
};

class VeshMonitor {
 public:
  // An empty monitor; init() sets it up. Made in place inside its Python
  // object (see new_monitor_object).
  VeshMonitor() = default;
  // Construction from register_monitor's arguments, in the documented order.
  // False with the Python error set when it fails.
  bool init(std::string db_path, PyObject* config_dict, std::string source, bool one_trace_per_test,
            std::optional<std::string> name);

  VeshMonitor(const VeshMonitor&) = delete;
  VeshMonitor& operator=(const VeshMonitor&) = delete;
  ~VeshMonitor();

  // --- Callback road -------------------------------------------------------

  // One sys.monitoring callback of event kind `kind`; `value` is the retval
  // or exception (null for PY_START/PY_RESUME). New reference or null with
  // an error to raise.
  PyObject* callback(std::uint8_t kind, PyObject* code, std::uint64_t offset, PyObject* value) noexcept;

  // The calling thread's cached verdict for `address`; absent when the
  // thread has no map or its map is being changed. Never creates anything.
  CodeVerdict local_code_metadata(CodeAddress address) const;
  // Whether this session will never record `code`.
  bool statically_excluded(PyObject* code) const noexcept;
  // The answer on a worker-marked or suspended thread.
  py::Ref hooks_off_result(std::uint8_t kind, std::uint8_t state, PyObject* code) const;
  // sys.monitoring.set_events(tool_id, 0) while active; errors are dropped.
  void disable_events() const noexcept;
  // Logs an error that must not reach the program.
  static void log_error(py::PyError error) noexcept;

  // --- State ---------------------------------------------------------------

  void set_active(bool value) noexcept;
  bool active() const noexcept { return active_.load(std::memory_order_acquire); }
  bool panicked() const noexcept { return panicked_.load(std::memory_order_relaxed); }
  std::string trace_id_copy();
  std::string root_trace_id_copy();

  const std::optional<std::uint64_t>& flush_subtree_bytes() const noexcept { return flush_subtree_bytes_; }
  std::uint64_t flush_check_bytes() const noexcept { return flush_check_bytes_; }
  std::optional<std::uint64_t> max_value_bytes() const noexcept { return max_value_bytes_; }
  std::uint64_t sqlite_busy_timeout() const noexcept { return sqlite_busy_timeout_; }
  bool line_events() const noexcept { return line_events_; }
  bool lightweight_repr() const noexcept { return lightweight_repr_; }
  bool omit_return_locals() const noexcept { return omit_return_locals_; }
  bool has_trace_points() const noexcept { return !trace_points_.empty(); }
  std::uint8_t tool_id() const noexcept { return tool_id_; }
  const std::string& creator_thread_key() const noexcept { return creator_thread_key_; }
  const IdleFilter& idle_filter() const noexcept { return *idle_filter_; }
  std::uint64_t assignment_owner_id() const noexcept { return assignment_owner_.id(); }
  std::uint64_t callbacks_in_flight() const noexcept { return callbacks_in_flight_.load(); }
  bool disabled_recordable() const noexcept { return disabled_recordable_.load(std::memory_order_acquire); }

  // --- Sessions (monitoring_sessions.cpp) --------------------------------

  // Ends this monitor's session; when that is sound, hands the still-armed
  // tool to idle callbacks parked in IDLE_MONITOR. `handed_over` tells
  // whether it did (else the caller tears the tool down). Returns false with
  // a Python error set when the idle callbacks cannot be made.
  bool end_session(std::uint8_t tool_id, bool& handed_over);
  // Takes the armed tool over from the idle callbacks: registers the
  // callbacks of `self` (this monitor's Python object) and restarts events
  // only when locations it would record may have been disabled. Returns
  // false with a Python error set on failure (after tearing the tool down,
  // unless the tool was not idle).
  bool begin_session(PyObject* self, std::uint8_t tool_id);

  static constexpr std::uint8_t kToolId = 3;

 private:
  PyObject* road(std::uint8_t kind, PyObject* code, std::uint64_t offset, PyObject* value,
                 std::uint64_t epoch) noexcept;
  PyObject* answer_filter(py::Ref answer, std::uint64_t epoch) const noexcept;
  void note_disabled_recordable() noexcept { disabled_recordable_.store(true, std::memory_order_release); }
  void handle_fault() noexcept;

  // --- Fields that own resources, in the order the spec releases them -----
  std::string db_path_;
  std::string source_;
  py::GilMutex<std::string> trace_id_{"trace id"};
  std::optional<std::string> name_;
  py::GilMutex<std::optional<std::string>> trace_name_{"trace name"};
  Finders include_frames_;
  Finders ignore_frames_;
  py::GilMutex<PluginMap> plugin_processors_{"default_include_frames"};
  py::GilMutex<absl::flat_hash_map<std::string, py::Ref>> threads_{"threads"};
  std::string creator_thread_key_;
  py::Ref current_thread_;
  py::Ref getframe_;
  py::Ref disable_;
  SharedIdleFilter idle_filter_;
  hooks::AssignmentOwner assignment_owner_;
  py::GilMutex<CodeMetadataCache> code_metadata_cache_{"code metadata cache"};
  py::Ref get_instructions_;
  std::optional<Config> config_;
  absl::flat_hash_set<std::string> trace_points_;
  PerThread<ThreadState> threads_state_;
  py::GilMutex<std::string> root_trace_id_{"root trace id"};

  // --- Plain fields ----------------------------------------------------------
  std::optional<std::uint64_t> max_value_bytes_;
  std::optional<std::uint64_t> flush_subtree_bytes_;
  std::uint64_t flush_check_bytes_ = 0;
  std::atomic<std::uint64_t> flush_generation_{0};
  py::GilMutex<double> timestamp_{"timestamp"};
  std::uint64_t sqlite_busy_timeout_ = 60;
  std::atomic<std::uint64_t> next_thread_token_{1};
  std::atomic<std::uint64_t> capture_generation_{1};
  std::atomic<std::uint64_t> callbacks_in_flight_{0};
  std::atomic<std::uint64_t> active_epoch_{0};
  bool one_trace_per_test_ = false;
  bool omit_return_locals_ = false;
  bool line_events_ = false;
  bool lightweight_repr_ = false;
  std::uint8_t tool_id_ = kToolId;
  std::atomic<bool> active_{false};
  std::atomic<bool> panicked_{false};
  std::atomic<bool> disabled_recordable_{false};
  std::atomic<bool> session_ended_{false};
};

// The Python type VeshMonitor (made on first use; not instantiable from
// Python).
PyTypeObject* vesh_monitor_type();

// The methods end_session($self, tool_id) and begin_session($self, tool_id).
py::Ref end_session_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
py::Ref begin_session_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// register_monitor(db_path, config, source, one_trace_per_test, name=None).
py::Ref register_monitor(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace vesh::monitor
