// Cutting the recording and handing it over: save() and build_trace(), and
// the timestamp switch before anything was recorded.
#include "monitor/monitoring.h"

#include "monitor/monitoring_internal.h"
#include "py/fault.h"
#include "foundation/error_reporting.h"
#include "store/fork_gate.h"
#include "store/trace_name.h"
#include "store/trace_persistence.h"

namespace vesh::monitor {

using py::PyError;
using py::Ref;

namespace {

// "<type qualname>: <str(exception)>".
std::string display_text(const PyError& error) {
  std::string text = "Exception";
  if (Ref qualname = Ref::steal(PyType_GetQualName(reinterpret_cast<PyTypeObject*>(error.type())))) {
    Py_ssize_t size = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(qualname.get(), &size)) text.assign(utf8, size);
  }
  PyErr_Clear();
  return text + ": " + error.message();
}

PyError runtime_error(const char* text) { return PyError::make(PyExc_RuntimeError, text); }

}  // namespace

// ---------------------------------------------------------------------------
// The cut

TraceInputs VeshMonitor::take_trace_inputs() {
  TraceInputs in;
  StoreRegistry taken;
  {
    auto capture_guard = capture_lock_.lock();
    {
      auto trace_id = trace_id_.lock("mutex poisoned");
      auto root_trace_id = root_trace_id_.lock("mutex poisoned");
      in.timestamp = *timestamp_.lock("timestamp mutex poisoned");
      {
        auto registry = frames_registry_.lock("mutex poisoned");
        capture_generation_.fetch_add(1, std::memory_order_acq_rel);
        taken = std::move(*registry);
        registry->clear();
        auto capture = trace_capture_.lock("trace capture mutex poisoned");
        // A capture made before a fork belongs to the parent: its writer and
        // file are not ours, so the child goes on in memory under a new id.
        if (store::adopt_if_inherited(**capture, ids_made_)) {
          const std::string id = vesh::trace_id();
          *trace_id = id;
          *root_trace_id = id;
        }
        std::shared_ptr<store::TraceCapture> fresh = new_capture(*trace_id, in.timestamp);
        if ((*capture)->kept_in_memory()) fresh->keep_in_memory();
        in.capture = std::exchange(*capture, std::move(fresh));
      }
      in.trace_id = *trace_id;
      in.root_trace_id = *root_trace_id;
    }
    in.frames.reserve(taken.size());
    for (auto& [key, slot] : taken) {
      // A store that a parent thread held when the process forked is left
      // out: that thread's frames belong to the parent's trace, and its last
      // record was cut off half-written.
      auto frames = lock_for_cut(*slot, "frame buffer poisoned");
      if (frames) in.frames.emplace(key, (*frames)->take());
    }
    taken.clear();
    reset_subtree_tracking();
  }
  // Every store is out, so every reference of the trace is published by now.
  in.interned_values = value_interning_.published_values(*in.capture);
  {
    auto threads = threads_.lock("mutex poisoned");
    in.threads = *threads;
    // A thread whose object is gone has ended: this trace carries it for the
    // last time.
    absl::erase_if(*threads, [](const auto& entry) { return entry.second->gone(); });
  }
  return in;
}

std::optional<std::string> VeshMonitor::trace_name_for_full_capture(TraceInputs& inputs) {
  auto slot = trace_name_.lock("mutex poisoned");
  auto it = inputs.frames.find(creator_thread_key_);
  if (it != inputs.frames.end() && !it->second.name_index().enabled()) {
    return store::resolve_trace_name(*slot, inputs.frames, creator_thread_key_, true);
  }
  if (*slot) return *slot;
  if (it == inputs.frames.end()) return std::nullopt;
  const store::FrameStore& frames = it->second;
  const auto relevant = store::relevant_frame_indices(frames.frame_count());
  std::optional<std::string> test_name;
  const store::TraceNameObservation::Request* request = nullptr;
  const store::TraceNameObservation::Response* response = nullptr;
  for (const store::TraceNameObservation& observation : *frames.name_index().observations()) {
    if (std::find(relevant.begin(), relevant.end(), observation.position) == relevant.end()) continue;
    if (const auto* test = std::get_if<store::TraceNameObservation::Test>(&observation.data)) {
      test_name = test->test_class ? *test->test_class + "." + test->test_name : test->test_name;
      break;
    }
    if (const auto* r = std::get_if<store::TraceNameObservation::Request>(&observation.data)) {
      if (request == nullptr) request = r;
    } else if (const auto* r = std::get_if<store::TraceNameObservation::Response>(&observation.data)) {
      response = r;
    }
  }
  std::optional<std::string> name = std::move(test_name);
  if (!name && request != nullptr && response != nullptr) {
    name = response->status_code + " " + request->method + " " + request->path_info;
  }
  if (name) *slot = name;
  return name;
}

Result<store::ThreadTokens, PyError> VeshMonitor::snapshot_thread_tokens(const TraceInputs& inputs) {
  store::ThreadTokens tokens;
  tokens.reserve(inputs.frames.size());
  for (const auto& [key, frames] : inputs.frames) tokens.emplace(key, frames.token());
  for (const auto& [key, thread] : inputs.threads) {
    if (tokens.contains(key)) continue;
    // Threads without frames still get a record, under a token never used before.
    const std::uint64_t token = next_thread_token_.fetch_add(1, std::memory_order_relaxed);
    if (token > UINT32_MAX) return Err{runtime_error("Vesh exhausted its per-capture thread token space")};
    tokens.emplace(key, static_cast<std::uint32_t>(token));
  }
  return tokens;
}

// ---------------------------------------------------------------------------
// save() and build_trace()

namespace {

constexpr const char* kSaveWhileWriting =
    "Vesh cannot save a trace while this thread is writing one of the trace's records";

}  // namespace

bool VeshMonitor::writing_record_on_this_thread() {
  ThreadState* state = threads_state_.find();
  return state != nullptr && state->writing_record;
}

PyStatus VeshMonitor::save() {
  if (panicked()) return Ok{};
  if (writing_record_on_this_thread()) return Err{PyError::make(PyExc_RuntimeError, kSaveWhileWriting)};
  store::SaveInFlight saving;
  auto save_guard = save_lock_.lock();
  TraceInputs in = take_trace_inputs();
  std::optional<std::string> name = trace_name_for_full_capture(in);
  auto tokens = snapshot_thread_tokens(in);
  if (!tokens.ok()) return Err{std::move(tokens.error())};
  auto payloads = store::prepare_v3_trace_from_parts(in.threads, tokens.value(), in.trace_id, name, source_,
                                                     in.timestamp, creator_thread_key_, *config_, true,
                                                     std::string_view(in.root_trace_id));
  if (!payloads.ok()) return Err{std::move(payloads.error())};

  PyStatus stored = Ok{};
  if (in.capture->kept_in_memory()) {
    auto container = store::build_container_bytes(in.trace_id, in.timestamp, in.frames, tokens.value(),
                                                  std::move(payloads.value().thread_records),
                                                  std::move(payloads.value().metadata), in.interned_values);
    if (!container.ok()) {
      stored = Err{store::to_python(container.error())};
    } else {
      auto saved = store::save_v3_container_bytes(in.trace_id, container.value().view(), db_path_,
                                                  sqlite_busy_timeout_);
      if (!saved.ok()) stored = Err{std::move(saved.error())};
    }
  } else {
    // Committing the last chunks may wait for the writer's budget, and
    // finishing waits for the writer: other threads go on meanwhile.
    std::optional<store::IoError> failure;
    Py_BEGIN_ALLOW_THREADS
    std::vector<store::ThreadLayout> layouts;
    layouts.reserve(std::max<std::size_t>(4, in.frames.size()));
    for (auto& [key, frames] : in.frames) {
      auto layout = frames.layout();
      if (!layout.ok()) {
        failure = std::move(layout.error());
        break;
      }
      layouts.push_back(std::move(layout.value()));
    }
    if (!failure) {
      auto finished = in.capture->finish(std::move(payloads.value().thread_records),
                                         std::move(payloads.value().metadata), std::move(layouts));
      if (!finished.ok()) failure = std::move(finished.error());
    }
    Py_END_ALLOW_THREADS
    // A writer that stopped is said once, with its cause.
    note_writer_stop(in.capture);
    if (failure) {
      stored = Err{store::to_python(*failure)};
    } else {
      auto saved = store::save_trace_metadata(in.trace_id, in.capture->final_path().filename().string(), db_path_,
                                              sqlite_busy_timeout_, true);
      if (!saved.ok()) stored = Err{std::move(saved.error())};
    }
  }
  if (stored.ok() || !stored.error().matches(PyExc_OSError)) return stored;
  log_warning("Failed to save trace " + in.trace_id + " to file: " + display_text(stored.error()));
  return Ok{};
}

Ref VeshMonitor::build_trace() {
  if (panicked()) {
    PyErr_SetString(PyExc_RuntimeError, "Vesh stopped tracing after an internal error; no trace is available");
    return {};
  }
  if (writing_record_on_this_thread()) {
    PyErr_SetString(PyExc_RuntimeError, kSaveWhileWriting);
    return {};
  }
  store::SaveInFlight saving;
  TraceInputs in = take_trace_inputs();
  std::optional<std::string> name = trace_name_for_full_capture(in);
  auto tokens = snapshot_thread_tokens(in);
  if (!tokens.ok()) {
    tokens.error().restore();
    return {};
  }
  auto payloads = store::prepare_v3_trace_from_parts(in.threads, tokens.value(), in.trace_id, name, source_,
                                                     in.timestamp, creator_thread_key_, *config_, true,
                                                     std::string_view(in.root_trace_id));
  if (!payloads.ok()) {
    payloads.error().restore();
    return {};
  }
  auto container = store::build_container_bytes(in.trace_id, in.timestamp, in.frames, tokens.value(),
                                                std::move(payloads.value().thread_records),
                                                std::move(payloads.value().metadata), in.interned_values);
  if (!container.ok()) {
    store::to_python(container.error()).restore();
    return {};
  }
  return py::bytes_of(container.value().view());
}

// ---------------------------------------------------------------------------
// set_timestamp

void VeshMonitor::set_timestamp(double value) {
  // The capture lock keeps a save from cutting between the two steps; the
  // fork rules are those of a save's cut.
  auto capture_guard = capture_lock_.lock();
  auto trace_id = trace_id_.lock("trace id mutex poisoned");
  auto root_trace_id = root_trace_id_.lock("mutex poisoned");
  *timestamp_.lock("timestamp mutex poisoned") = value;
  auto registry = frames_registry_.lock("frames registry mutex poisoned");
  // Once a thread has a store, the capture stays; only the stored timestamp changed.
  if (!registry->empty()) return;
  auto capture = trace_capture_.lock("trace capture mutex poisoned");
  if (store::adopt_if_inherited(**capture, ids_made_)) {
    const std::string id = vesh::trace_id();
    *trace_id = id;
    *root_trace_id = id;
  }
  std::shared_ptr<store::TraceCapture> fresh = new_capture(*trace_id, value);
  if ((*capture)->kept_in_memory()) fresh->keep_in_memory();
  *capture = std::move(fresh);
}

}  // namespace vesh::monitor
