// Turning what the profiler recorded into a finished trace. save() and
// build_trace() both begin by swapping the current capture for a fresh one
// under the profiler's locks, so the program goes on recording while the
// old capture is written: streamed captures are finished by their writer
// and announced to vesh.db; captures kept in memory (and every build) are
// built into one container.
#include "profiler/profiler.h"

#include "py/fault.h"
#include "store/io_error.h"
#include "foundation/error_reporting.h"
#include "store/fork_gate.h"
#include "store/frame_store.h"
#include "store/trace_name.h"
#include "store/trace_persistence.h"

#include <pthread.h>
#include <unistd.h>

namespace vesh::profile {

using py::PyError;
using py::Ref;
using store::FrameStore;
using store::TraceCapture;

namespace {

// Marks the calling thread as the one running a save of this profiler, so
// that a save reached again from inside it (its Python calls recorded, and
// matched by an "end_test" plugin) is refused instead of waiting for ever
// on the save lock the thread already holds.
class SaveOwnership {
 public:
  SaveOwnership(std::atomic<std::uint64_t>& owner) noexcept : owner_(owner) {}
  ~SaveOwnership() {
    if (held_) owner_.store(0, std::memory_order_release);
  }
  SaveOwnership(const SaveOwnership&) = delete;
  SaveOwnership& operator=(const SaveOwnership&) = delete;

  static std::uint64_t me() noexcept {
    // Thread and process together: a forked child's thread is another saver.
    return (static_cast<std::uint64_t>(pthread_self()) * 31u) ^ static_cast<std::uint64_t>(getpid()) ^ 1u;
  }
  bool held_by_me() const noexcept { return owner_.load(std::memory_order_acquire) == me(); }
  void claim() noexcept {
    owner_.store(me(), std::memory_order_release);
    held_ = true;
  }

 private:
  std::atomic<std::uint64_t>& owner_;
  bool held_ = false;
};

PyError io_error(const store::IoError& error) { return store::to_python(error); }

}  // namespace

// ---------------------------------------------------------------------------
// The swap

VeshProfiler::TraceInputs VeshProfiler::take_trace_inputs() {
  store::ForkAwareGuard capture_guard = capture_lock_.lock(true);
  TraceInputs inputs;
  std::optional<SharedText::Guard> trace_id(trace_id_.lock());
  std::optional<SharedText::Guard> root_trace_id(root_trace_id_.lock());
  auto stores = frame_stores_.lock();
  inputs.frame_stores = std::exchange(*stores, StoreMap());
  {
    auto capture = trace_capture_.lock();
    // The parent's writer and file are not this process's to finish: the
    // inherited frames go under a new id, and this process keeps its
    // captures in memory from now on.
    if (store::adopt_if_inherited(**capture, ids_made_)) {
      std::string id = vesh::trace_id();
      **trace_id = id;
      **root_trace_id = std::move(id);
    }
    auto made = TraceCapture::for_trace(db_path_, **trace_id, start_timestamp_);
    if (!made.ok()) fault("a capture of the current trace id can always be made: " + made.error().text());
    std::shared_ptr<TraceCapture> fresh = std::move(made).value();
    if ((*capture)->kept_in_memory()) fresh->keep_in_memory();
    inputs.capture = std::exchange(*capture, std::move(fresh));
  }
  inputs.trace_id = **trace_id;
  inputs.root_trace_id = **root_trace_id;
  root_trace_id.reset();
  trace_id.reset();
  {
    auto objects = thread_objects_.lock();
    inputs.thread_objects = std::exchange(*objects, ThreadObjects());
    capture_generation_.fetch_add(1, std::memory_order_acq_rel);
  }
  reset_subtree_tracking();
  // Records are appended under the stores' lock, each after its values were
  // published: with the stores out, every reference of the trace is.
  inputs.values = value_interning_.published_values(*inputs.capture);
  return inputs;
}

std::optional<std::string> VeshProfiler::trace_name_for_thread(const StoreMap& stores, const std::string& thread_key) {
  auto slot = current_trace_name_.lock();
  return store::resolve_trace_name(*slot, stores, thread_key, thread_key == root_thread_key_);
}

PyError VeshProfiler::snapshot_thread_tokens(const StoreMap& stores, const ThreadObjects& threads,
                                             store::ThreadTokens& tokens) {
  tokens.reserve(stores.size());
  for (const auto& [key, frame_store] : stores) tokens.emplace(key, frame_store.token());
  for (const auto& [key, thread] : threads) {
    if (tokens.contains(key)) continue;
    const std::uint64_t token = next_thread_token_.fetch_add(1, std::memory_order_relaxed);
    if (token > UINT32_MAX) {
      return PyError::make(PyExc_RuntimeError, "Vesh exhausted its per-capture thread token space");
    }
    tokens.emplace(key, static_cast<std::uint32_t>(token));
  }
  return {};
}

// ---------------------------------------------------------------------------
// Saving

PyError VeshProfiler::save_in_db() {
  SaveOwnership ownership(save_owner_);
  if (ownership.held_by_me()) {
    return PyError::make(PyExc_RuntimeError,
                         "Vesh cannot save a trace while the same thread is already saving one of this profiler");
  }
  store::SaveInFlight saving;
  store::ForkAwareGuard save_guard = save_lock_.lock(true);
  ownership.claim();

  TraceInputs inputs = take_trace_inputs();
  std::optional<std::string> name = trace_name_for_thread(inputs.frame_stores, root_thread_key_);
  store::ThreadTokens tokens;
  if (PyError error = snapshot_thread_tokens(inputs.frame_stores, inputs.thread_objects, tokens)) return error;
  auto prepared = store::prepare_v3_trace_from_parts(inputs.thread_objects, tokens, inputs.trace_id, std::move(name),
                                                     source_, start_timestamp_, root_thread_key_, config_,
                                                     /*use_monitoring=*/false, inputs.root_trace_id);
  if (!prepared.ok()) return std::move(prepared).error();
  store::TracePayloads payloads = std::move(prepared).value();

  PyError result;
  if (inputs.capture->kept_in_memory()) {
    auto container = store::build_container_bytes(inputs.trace_id, start_timestamp_, inputs.frame_stores, tokens,
                                                  std::move(payloads.thread_records), std::move(payloads.metadata),
                                                  std::move(inputs.values));
    if (!container.ok()) {
      result = io_error(container.error());
    } else {
      auto saved = store::save_v3_container_bytes(inputs.trace_id, container.value().view(), db_path_,
                                                  sqlite_busy_timeout_);
      if (!saved.ok()) result = std::move(saved).error();
    }
  } else {
    std::optional<store::IoError> failure = finish_streamed(inputs, std::move(payloads));
    // A writer that stopped is said once, with its cause.
    note_writer_stop(inputs.capture);
    if (failure) {
      result = io_error(*failure);
    } else {
      auto saved = store::save_trace_metadata(inputs.trace_id, inputs.capture->final_path().filename().string(),
                                               db_path_, sqlite_busy_timeout_, true);
      if (!saved.ok()) result = std::move(saved).error();
    }
  }

  if (result && result.matches(PyExc_OSError)) {
    // A trace that could not be written is reported, not raised: the
    // program being traced goes on.
    std::string message = "Failed to save trace " + inputs.trace_id + " to file: " + exception_display(result);
    log_warning(message);
    return {};
  }
  return result;
}

std::optional<store::IoError> VeshProfiler::finish_streamed(TraceInputs& inputs, store::TracePayloads payloads) {
  std::optional<store::IoError> failure;
  // The last chunks, the closing records and the file's sync wait on the
  // writer and the disk: other threads may run (and record) meanwhile.
  Py_BEGIN_ALLOW_THREADS
  std::vector<store::ThreadLayout> layouts;
  layouts.reserve(inputs.frame_stores.size());
  for (auto& [key, frame_store] : inputs.frame_stores) {
    auto layout = frame_store.layout();
    if (!layout.ok()) {
      failure = layout.error();
      break;
    }
    layouts.push_back(std::move(layout).value());
  }
  if (!failure) {
    auto finished =
        inputs.capture->finish(std::move(payloads.thread_records), std::move(payloads.metadata), std::move(layouts));
    if (!finished.ok()) failure = finished.error();
  }
  Py_END_ALLOW_THREADS
  return failure;
}

// ---------------------------------------------------------------------------
// Building

Ref VeshProfiler::build_trace() {
  if (panicked()) {
    PyErr_SetString(PyExc_RuntimeError, "Vesh stopped tracing after an internal error; no trace is available");
    return {};
  }
  store::SaveInFlight saving;
  TraceInputs inputs = take_trace_inputs();
  std::optional<std::string> name = trace_name_for_thread(inputs.frame_stores, root_thread_key_);
  store::ThreadTokens tokens;
  if (PyError error = snapshot_thread_tokens(inputs.frame_stores, inputs.thread_objects, tokens)) {
    error.restore();
    return {};
  }
  auto prepared = store::prepare_v3_trace_from_parts(inputs.thread_objects, tokens, inputs.trace_id, std::move(name),
                                                     source_, start_timestamp_, root_thread_key_, config_,
                                                     /*use_monitoring=*/false, inputs.root_trace_id);
  if (!prepared.ok()) {
    std::move(prepared).error().restore();
    return {};
  }
  store::TracePayloads payloads = std::move(prepared).value();
  auto container = store::build_container_bytes(inputs.trace_id, start_timestamp_, inputs.frame_stores, tokens,
                                                std::move(payloads.thread_records), std::move(payloads.metadata),
                                                std::move(inputs.values));
  if (!container.ok()) {
    io_error(container.error()).restore();
    return {};
  }
  std::string_view bytes = container.value().view();
  Ref out = py::bytes_of(bytes);
  if (!out) fault("the trace's bytes object could not be made");
  return out;
}

}  // namespace vesh::profile
