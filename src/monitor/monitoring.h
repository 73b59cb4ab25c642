// The monitoring tracer: VeshMonitor on sys.monitoring (PEP 669).
//
// One VeshMonitor holds everything its callbacks share: the configuration as
// read once, the Python callables of the hot path, the code metadata caches,
// the per-thread slots, the current trace capture with its ids, and the
// locks. The Python side claims tool 3, registers the monitor's methods as
// callbacks and activates it; the callbacks decide per event between
// recording, None and sys.monitoring.DISABLE.
//
// Lock order: save lock, capture lock, trace_id, root_trace_id, timestamp
// (released at once), frames registry, trace capture. A frame store's lock,
// threads, markers and trace_name are taken alone. Every wait releases the
// interpreter lock.
#pragma once

#include <Python.h>

#include "monitor/code_metadata.h"
#include "foundation/config.h"
#include "foundation/filters.h"
#include "monitor/idle_monitor.h"
#include "monitor/instruction_cache.h"
#include "monitor/pending_assignments.h"
#include "monitor/trace_points.h"
#include "plugins/plugins.h"
#include "py/error.h"
#include "py/gil_mutex.h"
#include "py/ref.h"
#include "store/fork_lock.h"
#include "store/recorded_thread.h"
#include "store/recording_stop.h"
#include "support/borrow_cell.h"
#include "support/byte_buffer.h"
#include "support/result.h"
#include "support/thread_slots.h"
#include "foundation/thread_hooks.h"
#include "foundation/frame_path.h"
#include "foundation/frame_types.h"
#include "foundation/stack_guard.h"
#include "store/value_interning.h"
#include "encode/value_serializer.h"

#include <absl/container/flat_hash_map.h>
#include <absl/container/flat_hash_set.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vesh::store {
class TraceCapture;
class FrameStore;
class SubtreeTracking;
struct ChosenCandidate;
enum class FlushStep : std::uint8_t;
}  // namespace vesh::store

namespace vesh::monitor {

// Kinds whose events sys.monitoring lets a callback disable: PY_START,
// PY_RETURN, PY_RESUME, PY_YIELD.
inline constexpr std::uint8_t kDisableMask = 0x1B;
// Exit kinds: PY_RETURN, PY_UNWIND, PY_YIELD.
inline constexpr std::uint8_t kExitMask = 0x16;

inline constexpr bool may_disable(std::uint8_t kind) noexcept { return kind < 8 && ((kDisableMask >> kind) & 1); }
inline constexpr bool is_exit(std::uint8_t kind) noexcept { return kind < 8 && ((kExitMask >> kind) & 1); }
inline constexpr bool is_entry(std::uint8_t kind) noexcept { return kind == 0 || kind == 3 || kind == 5; }

// Value kinds of an event: no value, a returned or yielded value, an exception.
enum ValueKind : std::uint8_t { kNoValue = 0, kValue = 1, kException = 2 };

// The outcome of one event: an answer (null: none) or an error.
using EventResult = Result<py::Ref, py::PyError>;
// Success or a Python error.
using PyStatus = Result<void, py::PyError>;

// Defined in monitoring_internal.h.
struct StoreSlot;
struct LockedStore;
struct PushOutcome;
struct TraceInputs;
using SharedStore = std::shared_ptr<StoreSlot>;

// After a thread's frames [start, end) were flushed into one marker record:
// drops the trace points that began inside the range and moves those after
// it back onto their records. Boundaries stay where they are.
void shift_markers_after_flush(MarkerStack& markers, std::uint64_t start, std::uint64_t end);

// Per monitor and thread: the cached thread key, thread and frame store, and
// the bytes appended since subtree tracking was last reset (in the tracking
// generation `flush_generation`), less those flushed since, with no count
// for the markers left in their place; `check_due` once they reach the
// monitor's check threshold, from when on the thread's open calls are
// tracked.
struct FlushThreadState {
  std::uint64_t running_bytes = 0;
  std::uint64_t flush_generation = 0;
  std::shared_ptr<const std::string> thread_key;
  store::SharedThread thread;  // registered under `thread_key`
  std::uint64_t capture_generation = 0;
  SharedStore store;
  bool check_due = false;
};

// Everything a monitor keeps per thread. The fields are reached through
// run-time borrows so that a re-entrant event on one thread is a fault, not
// corruption. A thread never sees a state an exited thread left behind: the
// slots hand a new thread a fresh one.
struct ThreadState {
  BorrowCell<CallFrames> call_frames;
  BorrowCell<FrameIds> frame_ids;
  BorrowCell<LocalCodeMap> local_code_metadata;
  BorrowCell<FlushThreadState> flush;
  BorrowCell<PendingAssignments> assignments;
  // Set while a record is encoded straight into the thread's frame store,
  // whose lock is then held: a save asked for meanwhile on this thread (a
  // value's __repr__ calling it) would need that lock.
  bool writing_record = false;
};

// A lock that forked children get afresh and that a fault while it is held
// poisons ("mutex").
class ProcessLock {
 public:
  class Guard {
   public:
    Guard(ProcessLock& owner, store::ForkAwareGuard inner)
        : owner_(&owner), inner_(std::move(inner)), exceptions_(std::uncaught_exceptions()) {}
    Guard(Guard&& other) noexcept
        : owner_(std::exchange(other.owner_, nullptr)), inner_(std::move(other.inner_)), exceptions_(other.exceptions_) {}
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;
    ~Guard() {
      if (owner_ != nullptr && std::uncaught_exceptions() > exceptions_) owner_->poisoned_.store(true);
    }

   private:
    ProcessLock* owner_;
    store::ForkAwareGuard inner_;
    int exceptions_;
  };

  // Takes the lock, releasing the interpreter lock while it waits.
  Guard lock() {
    Guard guard(*this, inner_.lock(true));
    if (poisoned_.load()) fault("mutex");
    return guard;
  }

 private:
  store::ForkAwareMutex inner_;
  std::atomic<bool> poisoned_{false};
};

// What one event needs of its code object: its metadata record, or for code
// without a file name (never cached) the names and verdicts worked out for
// this event alone.
struct EventCode {
  SharedCodeMetadata metadata;
  std::string file_name;
  std::string name;
  bool included = false;
  bool has_plugins = false;

  const std::string& file() const noexcept { return metadata ? metadata->file_name : file_name; }
  const std::string& co_name() const noexcept { return metadata ? metadata->name : name; }
  bool is_included() const noexcept { return metadata ? metadata->included : included; }
  bool plugins() const noexcept { return metadata ? metadata->has_plugins : has_plugins; }
};

// An event's records on the plugin route, in store order of an entry event.
struct Batch {
  std::vector<ByteBuffer> records;
  std::vector<std::string> types;
};

// Counts a callback in flight for its whole run, including a thread exit
// that unwinds through it: end_session waits for the count to reach zero.
class InFlight {
 public:
  InFlight(std::atomic<std::uint64_t>& count, bool counted) noexcept : count_(counted ? &count : nullptr) {
    if (count_ != nullptr) count_->fetch_add(1, std::memory_order_seq_cst);
  }
  InFlight(const InFlight&) = delete;
  InFlight& operator=(const InFlight&) = delete;
  ~InFlight() {
    if (count_ != nullptr) count_->fetch_sub(1, std::memory_order_release);
  }
  bool counted() const noexcept { return count_ != nullptr; }

 private:
  std::atomic<std::uint64_t>* count_;
};

class VeshMonitor {
 public:
  // An empty monitor; init() sets it up. Made in place inside its Python
  // object (see register_monitor).
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
  // or exception (null for PY_START/PY_RESUME). New reference, or null with
  // an error to raise into the program.
  PyObject* callback(std::uint8_t kind, PyObject* code, std::uint64_t offset, PyObject* value);
  // The INSTRUCTION callback at `offset` of `code` (monitoring_instruction.cpp).
  PyObject* instruction_callback(PyObject* code, std::uint64_t offset);

  // The calling thread's cached verdict for `address`; absent when the
  // thread has no map or its map is being changed. Never creates anything.
  CodeVerdict local_code_metadata(CodeAddress address) const;
  // Whether this session will never record `code`.
  bool statically_excluded(PyObject* code) const;
  // The answer on a worker-marked or suspended thread.
  py::Ref hooks_off_result(std::uint8_t kind, std::uint8_t state, PyObject* code);
  py::Ref instruction_hooks_off_result(std::uint8_t state, PyObject* code, std::uint64_t offset);
  // sys.monitoring.set_events(tool_id, 0) while active; errors are dropped.
  void disable_events() const;
  // Logs an error that must not reach the program.
  static void log_error(py::PyError error);

  // --- Event body ----------------------------------------------------------

  EventResult monitor(PyObject* code, std::uint8_t value_kind, PyObject* value, std::uint8_t kind,
                      CodeVerdict verdict);

  // --- Saving --------------------------------------------------------------

  // Saves what was recorded since the last cut (both routes). A panicked
  // monitor saves nothing.
  PyStatus save();
  // The recording so far as one container, as bytes.
  py::Ref build_trace();
  // Cuts the recording: the frames of every thread for a save or a build.
  TraceInputs take_trace_inputs();

  // --- State ---------------------------------------------------------------

  void set_active(bool value) noexcept;
  // Replaces the capture's timestamp (and, before anything was recorded, the
  // capture itself).
  void set_timestamp(double value);
  bool active() const noexcept { return active_.load(std::memory_order_acquire); }
  bool panicked() const noexcept { return panicked_.load(std::memory_order_relaxed); }
  // Whether the monitor records nothing more because of its writers: the
  // writer circuit is open, or a writer of its stopped (failed, or reached
  // the filesystem's reserve). Its events are switched off at the next
  // logged error, and end_session does not keep the tool armed.
  bool recording_stopped() const noexcept { return recording_stop_.stopped(); }
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
  std::uint64_t capture_generation() const noexcept { return capture_generation_.load(std::memory_order_acquire); }

  // The shared code metadata cache as the monitor's read-only properties show it: its
  // entries, its entries of recorded code, and the file names of recorded
  // code some of whose values needed the Python serializer.
  std::size_t code_metadata_cache_size();
  std::size_t full_code_metadata_cache_size();
  std::vector<std::string> python_serializer_code_paths();

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
  PyObject* road(std::uint8_t kind, PyObject* code, std::uint64_t offset, PyObject* value, std::uint64_t epoch);
  PyObject* answer_filter(py::Ref answer, std::uint64_t epoch) const noexcept;
  PyObject* finish(const StackCheck& stack, std::uint8_t kind, PyObject* code, py::Ref answer, std::uint64_t epoch);
  std::shared_ptr<store::TraceCapture> new_capture(const std::string& trace_id, double timestamp) const;
  void note_disabled_recordable() noexcept { disabled_recordable_.store(true, std::memory_order_release); }
  void handle_fault();
  // Nothing to answer (ok, null), an early answer, or an error for the program.
  EventResult begin_callback(std::uint8_t kind, std::uint8_t bits) {
    if (bits == 0) [[likely]]
      return py::Ref();
    return begin_assignments(kind, bits);
  }
  py::Ref return_or_log(EventResult result);
  // Logs an error of an event that need not reach the program, unless the
  // monitor's writer stopped: that was said once, with its cause.
  void log_event_error(py::PyError error);

  // Assignment capture (pending_assignments.cpp, monitoring_instruction.cpp).
  EventResult begin_assignments(std::uint8_t kind, std::uint8_t bits);
  PyStatus flush_assignments(std::uint8_t bits);
  void drop_waiting_assignments(std::uint8_t bits);
  void set_assignment_bit(std::uint8_t bit, bool set);
  Result<bool, py::PyError> store_in_progress(PyObject* frame, std::uint64_t offset);
  PyStatus write_assignments(const InstructionData& data, std::size_t count);
  PyStatus write_assignment(const encode::LineFrame& line, const std::string& name, PyObject* value);
  PyObject* instruction_road(PyObject* code, std::uint64_t offset, std::uint64_t epoch);
  EventResult instruction_work(PyObject* code, std::uint64_t offset);
  Result<SharedInstructionMetadata, py::PyError> instruction_metadata(PyObject* code);
  EventResult capture_assignment(const CodeInstructionMetadata& entry, const CachedInstruction& store,
                                 std::uint64_t offset);
  ThreadState& thread_state() { return threads_state_.get(); }
  // Whether the calling thread holds its frame store's lock for a record.
  bool writing_record_on_this_thread();

  // Event body (monitoring_event.cpp).
  EventResult monitor_event(PyObject* code, std::uint8_t value_kind, PyObject* value, std::uint8_t kind,
                            CodeVerdict verdict, py::PyError& deferred);
  bool find_code(PyObject* code, CodeVerdict verdict, EventCode& out, bool& excluded);
  bool describe_code(PyObject* code, EventCode& out, bool& excluded);
  void cache_locally(CodeAddress address, const CodeVerdict& verdict);
  EventResult excluded_answer(std::uint8_t kind) const;
  EventResult direct_route(const EventCode& ec, std::uint8_t value_kind, PyObject* value, std::uint8_t kind,
                           py::PyError& deferred);
  EventResult plugin_route(const EventCode& ec, std::uint8_t value_kind, PyObject* value, std::uint8_t kind,
                           py::PyError& deferred);
  EventResult event_tail(std::uint8_t kind, py::PyError& deferred);
  // The tail after a recorded event, running a postponed flush check first.
  EventResult event_tail(std::uint8_t kind, bool flush_postponed, py::PyError& deferred);
  py::Ref current_frame();
  // A finished frame's id must not pass to the next frame made at its address.
  void forget_finished_frame();
  // The frame record of one event into a fresh buffer: ok(nullopt) for an
  // exit without a stored frame id.
  Result<std::optional<ByteBuffer>, py::PyError> process(PyObject* frame, const std::string& co_name,
                                                          std::uint8_t kind, std::uint8_t value_kind,
                                                          PyObject* value, const SharedCodeMetadata& metadata);
  // `interning`: null writes every value inline.
  bool write_record(ByteBuffer& buffer, PyObject* frame, const std::string& co_name, std::uint8_t kind,
                    std::uint8_t value_kind, PyObject* value, const SharedCodeMetadata& metadata,
                    const FrameId& frame_id, const std::optional<UserCodeCallSite>& call_site,
                    encode::InterningContext* interning);
  void abandon_entry(std::uint8_t kind, FrameKey key, const std::optional<FrameId>& frame_id,
                     const py::PyError& error);
  py::PyError exit_recorded(std::uint8_t kind, py::PyError error);
  PyStatus after_recorded_exit(std::uint8_t kind, PyStatus result);

  // Thread keys and frame stores (monitoring_frames.cpp).
  // The thread's key, kept in `flush`.
  Result<const std::shared_ptr<const std::string>*, py::PyError> thread_key(FlushThreadState& flush);
  // Puts the thread into `threads_` unless a thread the program still holds
  // is there under its key.
  void register_thread(const std::string& key, const store::SharedThread& thread);
  // The thread's store in the current capture, made when it has none (`made`).
  std::pair<std::uint64_t, SharedStore> register_thread_frame_buffer(const std::string& key, bool& made);
  SharedStore thread_frame_buffer(const std::string& key);
  LockedStore lock_thread_store(FlushThreadState& flush, const std::string& key);
  // Counts bytes appended under the tracking generation `generation` (read
  // with the append, under the store's lock).
  void count_appended(FlushThreadState& flush, std::uint64_t bytes, std::uint64_t generation);
  Result<std::optional<PushOutcome>, py::PyError> push_frame_data(std::vector<ByteBuffer> records,
                                                                   const std::string* types, std::size_t count,
                                                                   bool ends_test);
  PyStatus push_frames_call(Batch batch, const std::string& co_name);
  PyStatus push_frames_return(Batch batch, bool may_flush);
  void start_test_trace();
  // An append to the thread's store failed with `error`: the store's lock
  // is let go, and when the store's writer stopped, recording stops (said
  // once). Returns `error`.
  py::PyError append_failed(LockedStore locked, py::PyError error);
  // Stops recording when `capture`'s writer stopped; the first time logs why.
  void note_writer_stop(const std::shared_ptr<store::TraceCapture>& capture);
  void cut_markers_at_boundary();
  void reset_subtree_tracking();
  Result<PushOutcome, py::PyError> append_direct(ThreadState& state, PyObject* frame, const EventCode& ec,
                                                std::uint8_t kind, std::uint8_t value_kind, PyObject* value,
                                                const FrameId& frame_id,
                                                const std::optional<UserCodeCallSite>& call_site);
  // The flush check that waited for an event's trace point.
  PyStatus run_postponed_flush_check();

  // Subtree flushing (monitoring_flush.cpp).
  // The open-call bookkeeping of a direct-route record.
  PyStatus track_direct_record(std::uint8_t kind, const std::string& co_name, const PushOutcome& appended,
                               bool check);
  // Frames [start, end) closed as one segment of the thread's innermost
  // open call, appended under tracking generation `generation`.
  void record_closed_segment(const std::string& key, std::uint64_t start, std::uint64_t end, std::uint64_t bytes,
                             std::string co_name, std::uint64_t generation);
  // The flush check of the calling thread `key`, whose running bytes are
  // `current_bytes`: flushes its largest closed subtrees once they reach
  // the threshold.
  PyStatus maybe_flush_segments_with_current_bytes(const std::string& key, std::uint64_t current_bytes);
  Result<store::FlushStep, py::PyError> flush_candidate(const std::string& key,
                                                        const store::ChosenCandidate& chosen);
  // Trace points inside a flushed range go; those after it follow their records.
  void shift_markers_after_flush(const std::string& key, std::uint64_t start, std::uint64_t end);

  // Trace points (trace_points.cpp).
  bool is_trace_point_target(const std::string& co_name) const {
    return !trace_points_.empty() && trace_points_.contains(co_name);
  }
  // A target's records must still be in the store when its return copies
  // them, so its return does not flush them away first.
  bool flush_allowed_at(std::uint8_t kind, const std::string& co_name) const {
    return !(kind == kEventReturn && flush_subtree_bytes_ && is_trace_point_target(co_name));
  }
  // Runs after an event's own frame record was stored; an error to raise
  // into the program lands in `deferred` unless that holds one already.
  void after_stored_record(const std::string& co_name, std::uint8_t kind, FrameKey frame, py::PyError& deferred);
  PyStatus trace_point_step(const std::string& co_name, std::uint8_t kind, FrameKey frame);
  TracePointCopy copy_trace_point(StoreSlot& slot, const MarkerKind& marker);
  PyStatus save_trace_point(const std::string& thread_key, std::vector<std::string> records,
                            std::vector<store::InternedRecord> values, const std::string& co_name);
  // Trace points stop for good; the first stop says why (`cause`, and the
  // error behind it when there is one).
  void stop_trace_points(const std::string& co_name, const std::string& cause, py::PyError error = {});

  // What an ended session takes out of the threads' states: their open
  // calls and waiting assignments, whose frames no exit event will release.
  struct OpenCalls {
    std::vector<CallFrames> frames;
    std::vector<PendingAssignments> assignments;
  };
  OpenCalls take_open_calls();

  // Saving (monitoring_save.cpp).
  std::optional<std::string> trace_name_for_full_capture(TraceInputs& inputs);
  Result<absl::flat_hash_map<std::string, std::uint32_t>, py::PyError> snapshot_thread_tokens(
      const TraceInputs& inputs);

  // --- Fields that own resources --------------------------------------------
  std::string db_path_;
  std::string source_;
  py::GilMutex<std::string> trace_id_{"trace id"};
  std::optional<std::string> name_;
  py::GilMutex<std::optional<std::string>> trace_name_{"trace name"};
  Finders include_frames_;
  Finders ignore_frames_;
  // Filled once by the constructor and read-only afterwards, so it needs no
  // lock: a lock held across a plugin's Python code would deadlock against a
  // thread that meets new code while the plugin waits for it.
  plugins::PluginMap plugin_processors_;
  using StoreRegistry = absl::flat_hash_map<std::string, SharedStore>;
  // Fork-aware: a thread that holds it and waits (for the capture's lock,
  // with the interpreter lock released) must not leave a forked child unable
  // to save.
  store::ForkAwareGilMutex<StoreRegistry> frames_registry_{"frames registry"};
  py::GilMutex<std::shared_ptr<store::TraceCapture>> trace_capture_{"trace capture"};
  // Every thread that recorded, until a save has carried it after it ended.
  py::GilMutex<store::ThreadObjects> threads_{"threads"};
  std::string creator_thread_key_;
  py::Ref current_thread_;
  py::Ref getframe_;
  const encode::SerializerState* serializer_ = nullptr;
  std::unique_ptr<FramePathCache> frame_path_cache_;
  py::Ref disable_;
  SharedIdleFilter idle_filter_;
  hooks::AssignmentOwner assignment_owner_;
  py::GilMutex<CodeMetadataCache> code_metadata_cache_{"code metadata cache"};
  py::Ref get_instructions_;
  InstructionCache instruction_cache_;
  std::optional<Config> config_;
  absl::flat_hash_set<std::string> trace_points_;
  py::GilMutex<absl::flat_hash_map<std::string, MarkerStack>> markers_{"markers"};
  ProcessLock capture_lock_;
  ProcessLock save_lock_;
  py::GilMutex<std::string> root_trace_id_{"root trace id"};
  // Large str and bytes values, published once per capture; lives as long
  // as the monitor, so that ids keep their meaning across captures.
  store::ValueInterning value_interning_;
  // Per-thread slots last: their values hold Python references and frame
  // stores, released before the shared state above.
  mutable ThreadSlots<ThreadState> threads_state_;

  // --- Plain fields ----------------------------------------------------------
  std::optional<std::uint64_t> max_value_bytes_;
  std::optional<std::uint64_t> flush_subtree_bytes_;
  std::uint64_t flush_check_bytes_ = 0;
  std::unique_ptr<store::SubtreeTracking> subtrees_;
  // The process the trace ids were made in (guarded by the capture lock).
  store::ForkStamp ids_made_ = store::ForkStamp::current();
  py::GilMutex<double> timestamp_{"timestamp", 0.0};
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
  store::RecordingStop recording_stop_;
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
