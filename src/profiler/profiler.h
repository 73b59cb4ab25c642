// The profile-hook tracer: a VeshProfiler records every call and return of
// the user's Python frames through the interpreter's profile function
// (PyEval_SetProfile), on the registering thread and, through
// threading.setprofile, on every thread started later.
//
// register_profiler builds one from the Python-side profiler object and
// stores it on that object as `rust_profiler`. The event path
// (profile_callback) encodes each recorded event's frame record into a
// per-thread scratch buffer and appends it to the thread's frame store in
// the current trace capture; save() and build_trace() swap the capture for a
// fresh one and turn the old one into a finished trace.
#pragma once

#include <Python.h>

#include "foundation/config.h"
#include "foundation/filters.h"
#include "plugins/plugins.h"
#include "profiler/code_cache.h"
#include "py/gil_mutex.h"
#include "py/ref.h"
#include "support/thread_slots.h"
#include "foundation/frame_path.h"
#include "foundation/frame_types.h"
#include "store/value_interning.h"
#include "encode/value_serializer.h"
#include "store/frame_store.h"
#include "store/fork_lock.h"
#include "store/recorded_thread.h"
#include "store/recording_stop.h"
#include "store/subtree_flush.h"
#include "store/trace_capture.h"
#include "store/trace_persistence.h"
#include "support/byte_buffer.h"
#include "py/error.h"

#include <absl/container/flat_hash_map.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vesh::profile {

// The thread key and thread of the thread's latest recorded event, and the
// capture generation in which the thread was last registered.
struct CachedProfilerThread {
  std::string thread_key;
  store::SharedThread thread;
  std::uint64_t registered_generation = kUnregistered;

  static constexpr std::uint64_t kUnregistered = ~std::uint64_t{0};
};

// The kind a batch of plugin records alone is stored under (calls and
// returns are stored under their event kind).
inline constexpr std::uint8_t kPluginRecordsOnly = 255;

// A thread's bytes stored since subtree tracking was last reset (in tracking
// generation `generation`), less those flushed since, with no count for the
// markers left in their place; `exact` once they reach the profiler's estimate
// threshold, from when on the thread's open calls are tracked.
struct ProfilerFlushState {
  std::uint64_t pending_bytes = 0;
  std::uint64_t generation = 0;
  bool exact = false;
};

// Everything one thread keeps for one profiler; reached without a lock.
struct ProfilerThreadState {
  FrameIds frame_ids;
  CallFrames call_frames;
  std::optional<CachedProfilerThread> thread_cache;
  // Code objects this thread has resolved whose shared cache entry is
  // permanent: the metadata, or null for excluded code. Saves the shared
  // cache's lock on every event after the first of a code object.
  absl::flat_hash_map<std::uintptr_t, const ProfilerCodeMetadata*> code_hits;
  ProfilerFlushState flush_state;
};

// Built by new_from_python before the Python object exists.
struct ProfilerInit;

// A text behind a mutex that interpreter threads share (the trace ids).
// Waiting releases the interpreter lock; a reader never fails.
class SharedText {
 public:
  explicit SharedText(std::string text) : text_(std::move(text)) {}

  class Guard {
   public:
    explicit Guard(SharedText& owner) : lock_(owner.mutex_, std::try_to_lock), owner_(owner) {
      if (!lock_.owns_lock()) {
        Py_BEGIN_ALLOW_THREADS
        lock_.lock();
        Py_END_ALLOW_THREADS
      }
    }
    std::string& operator*() const noexcept { return owner_.text_; }

   private:
    std::unique_lock<std::mutex> lock_;
    SharedText& owner_;
  };

  Guard lock() { return Guard(*this); }
  std::string read() { return *lock(); }

 private:
  std::mutex mutex_;
  std::string text_;
};

class VeshProfiler {
 public:
  explicit VeshProfiler(ProfilerInit&& init);
  ~VeshProfiler();
  VeshProfiler(const VeshProfiler&) = delete;
  VeshProfiler& operator=(const VeshProfiler&) = delete;

  // Reads the Python-side profiler object; nullopt with a Python error set
  // when an attribute or setting is missing or wrong.
  static std::optional<ProfilerInit> new_from_python(PyObject* profiler);

  // --- Python surface ------------------------------------------------------
  std::string trace_id() { return trace_id_.read(); }
  std::string root_trace_id() { return root_trace_id_.read(); }
  bool panicked() const noexcept { return panicked_.load(std::memory_order_acquire); }
  // Whether the profiler records nothing more because of its writers: the
  // writer circuit is open, or a writer of its stopped (failed, or reached
  // the filesystem's reserve).
  bool recording_stopped() const noexcept { return recording_stop_.stopped(); }
  std::optional<std::uint64_t> flush_subtree_bytes() const noexcept { return flush_subtree_bytes_; }

  // --- Event path ----------------------------------------------------------
  // One call (kind 0) or return (kind 1) event of `frame`. Returns 0, or -1
  // with the exception to raise in the program set. Internal faults are
  // thrown.
  int on_event(PyFrameObject* frame, std::uint8_t kind, PyObject* value);

  // Logs, as other unexpected errors of the event, the exception an event
  // that succeeded left set (see take_stray_error), and clears it.
  void report_stray_error(PyFrameObject* frame, std::uint8_t kind);

  // Marks the profiler panicked; true for the first caller only.
  bool mark_panicked() noexcept { return !panicked_.exchange(true, std::memory_order_acq_rel); }

  // For tests and diagnostics.
  std::size_t code_cache_size();
  const std::string& root_thread_key() const noexcept { return root_thread_key_; }

 private:
  // The records one event stores besides (or instead of) its frame record:
  // record types and encoded records, position by position.
  struct EventBatch {
    std::vector<std::string> types;
    std::vector<ByteBuffer> records;
  };

  CodeResolution resolve(ProfilerThreadState& state, PyObject* code);
  py::PyError run_plugins(ProfilerThreadState& state, PyObject* frame, std::uint8_t kind, PyObject* value,
                          const ProfilerCodeMetadata& metadata, EventBatch& batch, py::PyError& kept);
  py::PyError record_frame(ProfilerThreadState& state, PyObject* frame, std::uint8_t kind, PyObject* value,
                           const ProfilerCodeMetadata& metadata, EventBatch& batch);
  // The running thread's key, refreshing the thread's CachedProfilerThread.
  bool thread_id(ProfilerThreadState& state, std::string& out);
  py::PyError abandon_entry(ProfilerThreadState& state, std::uint8_t kind, FrameKey key, const FrameId& frame_id,
                            py::PyError error);
  py::PyError keep_recorded_event(py::PyError result, PyObject* frame, std::uint8_t kind,
                                  const ProfilerCodeMetadata& metadata);
  // Logs an unexpected error of an event of `frame`, whose code is `code`.
  void log_error(py::PyError error, PyObject* frame, std::uint8_t kind, PyObject* code);
  // Stops recording when `capture`'s writer stopped; the first time logs why.
  void note_writer_stop(const std::shared_ptr<store::TraceCapture>& capture);

  // What storing one batch came to, for subtree tracking.
  struct StoredBatch {
    std::uint64_t first = 0;
    std::uint64_t end = 0;
    std::uint64_t bytes = 0;
    std::uint64_t pending_bytes = 0;  // the thread's, this batch included
    std::uint64_t generation = 0;     // of subtree tracking, read with the append
    bool tracked = false;             // the thread's open calls are tracked
    std::optional<std::string> name;  // of a call's batch or of plugin records
  };

  // A frame record's interned value references and the capture they were
  // published into when it was encoded (null: it holds none). Stored in
  // another capture (a save or a new test in between), the record takes its
  // values along.
  struct References {
    store::TraceCapture* capture = nullptr;
    std::string_view record;
  };

  // Storage: one record (copied) or a batch of records (moved in). `kind`
  // is 0 or 1 for a batch holding a call's or return's frame record, 255
  // for plugin records only.
  py::PyError push_frame_data(std::string thread_key, std::string_view record, std::uint8_t kind,
                              store::TraceCapture* references);
  py::PyError push_frame_batch(std::string thread_key, std::vector<ByteBuffer> records, std::uint8_t kind,
                               References references);
  template <typename Append>
  py::PyError store_records(const std::string& thread_key, std::uint8_t kind, References references,
                            Append&& append);
  // Counts a stored batch, under the stores' lock.
  StoredBatch count_stored(ProfilerFlushState& flush, const store::FrameStore& frames,
                           const store::AppendOutcome& appended, std::uint8_t kind);

  // Subtree flushing (flush.cpp).
  // The open-call bookkeeping of a stored batch, then the flush check.
  py::PyError track_stored(const std::string& thread_key, std::uint8_t kind, StoredBatch batch);
  py::PyError maybe_flush_segments(const std::string& thread_key, std::uint64_t pending_bytes);
  Result<store::FlushStep, py::PyError> flush_candidate(const std::string& thread_key,
                                                        const store::ChosenCandidate& chosen);
  void reset_subtree_tracking() { subtrees_.reset(); }
  // An event's plugin records and frame record, in storing order; splits
  // tests in per-test mode. The batch is consumed. `references`: as
  // References::capture, for the batch's frame record.
  py::PyError push_frames(std::uint8_t kind, EventBatch& batch, std::optional<std::string> thread_key,
                          store::TraceCapture* references = nullptr);
  // "start_test": a new trace id and a fresh capture; unsaved records go.
  py::PyError start_test_trace();

  // Saving.
  using StoreMap = absl::flat_hash_map<std::string, store::FrameStore>;
  using ThreadObjects = store::ThreadObjects;
  // What one capture swap takes out of the profiler.
  struct TraceInputs {
    std::string trace_id;
    std::string root_trace_id;
    StoreMap frame_stores;
    ThreadObjects thread_objects;
    std::shared_ptr<store::TraceCapture> capture;
    std::vector<store::PublishedValue> values;
  };
  TraceInputs take_trace_inputs();
  std::optional<std::string> trace_name_for_thread(const StoreMap& stores, const std::string& thread_key);
  py::PyError snapshot_thread_tokens(const StoreMap& stores, const ThreadObjects& threads, store::ThreadTokens& tokens);
  std::optional<store::IoError> finish_streamed(TraceInputs& inputs, store::TracePayloads payloads);

 public:
  // Saves the running trace through vesh.db (both routes); an OSError is
  // logged and counts as saved. Empty on success.
  py::PyError save_in_db();
  // The running trace as one container's bytes; null with an error set.
  py::Ref build_trace();

 private:

  // Fields in release order.
  std::string db_path_;
  SharedText trace_id_;
  std::optional<std::string> trace_name_;
  py::GilMutex<std::optional<std::string>> current_trace_name_{"current trace name"};
  Finders include_frames_;
  Finders ignore_frames_;
  plugins::PluginMap plugins_;
  py::GilMutex<ProfilerCodeMetadataCache> code_metadata_{"profiler code metadata cache"};
  std::string root_thread_key_;
  py::Ref current_thread_;
  std::string source_;
  std::unique_ptr<FramePathCache> frame_path_cache_;
  SharedText root_trace_id_;
  Config config_;
  const encode::SerializerState* serializer_ = nullptr;
  // Fork-aware: a thread appending may wait for budget room with it held,
  // and a process forked meanwhile must still be able to save.
  store::ForkAwareGilMutex<StoreMap> frame_stores_{"frame stores"};
  py::GilMutex<std::shared_ptr<store::TraceCapture>> trace_capture_;
  py::GilMutex<ThreadObjects> thread_objects_{"thread objects"};
  store::ForkAwareMutex capture_lock_;
  store::ForkAwareMutex save_lock_;
  // The thread (and process) running a save, 0 when none.
  std::atomic<std::uint64_t> save_owner_{0};
  // Large str and bytes values, published once per capture.
  store::ValueInterning value_interning_;
  ThreadSlots<ProfilerThreadState> threads_;

  store::SubtreeTracking subtrees_;
  // The process the trace ids were made in (guarded by the capture lock).
  store::ForkStamp ids_made_ = store::ForkStamp::current();

  std::optional<std::uint64_t> max_value_bytes_;
  std::optional<std::uint64_t> flush_subtree_bytes_;
  std::uint64_t flush_estimate_bytes_ = 0;
  std::atomic<std::uint64_t> next_thread_token_{1};
  std::atomic<std::uint64_t> capture_generation_{0};
  double start_timestamp_ = 0;
  std::uint64_t sqlite_busy_timeout_ = kDefaultSqliteBusyTimeout;
  bool one_trace_per_test_ = false;
  bool lightweight_repr_ = false;
  bool omit_return_locals_ = false;
  std::atomic<bool> panicked_{false};
  store::RecordingStop recording_stop_;
};

inline constexpr const char kLogTemplate[] =
    "Unexpected exception in Rust.\n    co_filename: %s\n    co_name: %s\n    event: %s\n    frame locals: %s\n";

// How an exception is shown in messages: its type's qualified name, ": ",
// then its str() (a fixed text when str() fails).
std::string exception_display(const py::PyError& error);

// The Python class (not a module attribute; made once per process).
PyTypeObject* profiler_type();

// The profile function installed with PyEval_SetProfile. Internal faults
// never leave it; only the unwind of a thread ended by pthread_exit does.
int profile_callback(PyObject* object, PyFrameObject* frame, int what, PyObject* arg);

// register_profiler(profiler): builds, stores as `rust_profiler`, installs.
// False with a Python error set on failure.
bool register_profiler(PyObject* profiler);

}  // namespace vesh::profile
