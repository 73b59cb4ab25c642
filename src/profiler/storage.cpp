// Storing what one profile event produced: records go into the thread's
// frame store in the current capture; in per-test mode the records up to an
// "end_test" plugin record finish and save the running trace, and a
// "start_test" record starts a new one.
#include "profiler/profiler.h"

#include "py/fault.h"
#include "store/io_error.h"
#include "store/frame_store.h"
#include "store/subtree_flush.h"

#include <algorithm>
#include <iterator>

namespace vesh::profile {

using py::PyError;
using store::FrameStore;
using store::TraceCapture;

namespace {

constexpr std::string_view kEndTest = "end_test";
constexpr std::string_view kStartTest = "start_test";

}  // namespace

// ---------------------------------------------------------------------------
// Frame storage

template <typename Append>
PyError VeshProfiler::store_records(const std::string& thread_key, std::uint8_t kind, References references,
                                    Append&& append) {
  // A replaced thread is released only after the locks are.
  store::SharedThread replaced_thread;
  Result<store::AppendOutcome, store::IoError> outcome = store::AppendOutcome{};
  StoredBatch stored;
  std::shared_ptr<TraceCapture> failed_capture;
  {
    auto stores = frame_stores_.lock();
    ProfilerThreadState& state = threads_.get();
    if (!state.thread_cache) {
      return PyError::make(PyExc_RuntimeError, "profiler thread cache was not initialized");
    }
    CachedProfilerThread& cached = *state.thread_cache;
    const std::uint64_t generation = capture_generation_.load(std::memory_order_acquire);
    if (cached.registered_generation != generation) {
      auto objects = thread_objects_.lock();
      auto [it, inserted] = objects->try_emplace(cached.thread_key);
      if (!inserted) replaced_thread = std::move(it->second);
      it->second = cached.thread;
      cached.registered_generation = generation;
    }

    auto it = stores->find(thread_key);
    if (it == stores->end()) {
      std::shared_ptr<TraceCapture> capture = *trace_capture_.lock();
      const std::uint64_t token = next_thread_token_.fetch_add(1, std::memory_order_relaxed);
      if (token > UINT32_MAX) fault("Vesh exhausted its per-capture thread token space");
      it = stores->try_emplace(thread_key, FrameStore::open(std::move(capture), static_cast<std::uint32_t>(token)))
               .first;
    }
    const std::shared_ptr<TraceCapture>& target = it->second.capture();
    if (references.capture != nullptr && target && references.capture != target.get()) [[unlikely]] {
      // Encoded for a capture that was saved (or replaced by a new test's)
      // meanwhile: this one must hold the values too.
      auto republished = value_interning_.publish_referenced(*target, references.record);
      if (!republished.ok()) return store::to_python(republished.error());
    }
    outcome = append(it->second);
    if (outcome.ok() && flush_subtree_bytes_) stored = count_stored(state.flush_state, it->second, outcome.value(), kind);
    if (!outcome.ok()) [[unlikely]]
      failed_capture = it->second.capture();
  }
  if (!outcome.ok()) [[unlikely]] {
    note_writer_stop(failed_capture);
    return store::to_python(outcome.error());
  }
  if (!stored.tracked) return {};
  return track_stored(thread_key, kind, std::move(stored));
}

VeshProfiler::StoredBatch VeshProfiler::count_stored(ProfilerFlushState& flush, const FrameStore& frames,
                                                     const store::AppendOutcome& appended, std::uint8_t kind) {
  StoredBatch out{appended.first, appended.end, appended.bytes};
  // Read with the append: a save that takes this store resets the tracking
  // only after it got the stores' lock.
  out.generation = subtrees_.generation();
  if (flush.generation != out.generation) flush = ProfilerFlushState{0, out.generation, false};
  flush.pending_bytes += appended.bytes;
  if (flush_estimate_bytes_ == 0 || flush.pending_bytes >= flush_estimate_bytes_) flush.exact = true;
  out.pending_bytes = flush.pending_bytes;
  out.tracked = flush.exact;
  if (out.tracked && (kind == kEventCall || kind == kPluginRecordsOnly)) {
    out.name = store::extract_co_name_range(frames, appended.first, appended.end);
  }
  return out;
}

PyError VeshProfiler::push_frame_data(std::string thread_key, std::string_view record, std::uint8_t kind,
                                      TraceCapture* references) {
  return store_records(thread_key, kind, References{references, record},
                       [&](FrameStore& store) { return store.append_serialized(record); });
}

PyError VeshProfiler::push_frame_batch(std::string thread_key, std::vector<ByteBuffer> records, std::uint8_t kind,
                                       References references) {
  if (records.empty()) return {};
  return store_records(thread_key, kind, references,
                       [&](FrameStore& store) { return store.append_many(std::move(records)); });
}

// ---------------------------------------------------------------------------
// Batches and per-test traces

PyError VeshProfiler::push_frames(std::uint8_t kind, EventBatch& batch, std::optional<std::string> thread_key,
                                  TraceCapture* references) {
  std::vector<std::string>& types = batch.types;
  std::vector<ByteBuffer>& records = batch.records;
  if (types.empty()) return {};
  if (kind == kEventReturn) {
    // A return stores its frame record first, then the plugin records in
    // reverse plugin order.
    std::reverse(types.begin(), types.end());
    std::reverse(records.begin(), records.end());
  }
  std::string key;
  if (thread_key) {
    key = std::move(*thread_key);
  } else if (!thread_id(threads_.get(), key)) {
    return PyError::fetch();
  }

  // The records of types [from, to) as one batch, stored under the event's
  // kind when it holds the frame record.
  auto push_group = [&](std::size_t from, std::size_t to) -> PyError {
    auto first = types.begin() + static_cast<std::ptrdiff_t>(from);
    auto frame = std::find(first, types.begin() + static_cast<std::ptrdiff_t>(to), "frame");
    const bool has_frame = frame != types.begin() + static_cast<std::ptrdiff_t>(to);
    std::vector<ByteBuffer> group(std::make_move_iterator(records.begin() + static_cast<std::ptrdiff_t>(from)),
                                  std::make_move_iterator(records.begin() + static_cast<std::ptrdiff_t>(to)));
    References refs;
    if (has_frame && references != nullptr) refs = References{references, group[frame - first].view()};
    return push_frame_batch(key, std::move(group), has_frame ? kind : kPluginRecordsOnly, refs);
  };

  if (!one_trace_per_test_) return push_group(0, types.size());

  std::size_t cursor = 0;
  for (std::size_t i = 0; i < types.size(); ++i) {
    if (types[i] == kEndTest) {
      if (PyError error = push_group(cursor, i + 1)) return error;
      if (PyError error = save_in_db()) return error;
      reset_subtree_tracking();
      cursor = i + 1;
    } else if (types[i] == kStartTest) {
      // What was recorded since the last save belongs to no test.
      for (std::size_t j = cursor; j < i; ++j) records[j] = ByteBuffer();
      if (PyError error = start_test_trace()) return error;
      cursor = i;
    }
  }
  return push_group(cursor, types.size());
}

PyError VeshProfiler::start_test_trace() {
  store::ForkAwareGuard capture_guard = capture_lock_.lock(true);
  const std::string new_id = vesh::trace_id();
  SharedText::Guard trace_id = trace_id_.lock();
  SharedText::Guard root_trace_id = root_trace_id_.lock();
  *trace_id = new_id;
  *root_trace_id = new_id;
  *current_trace_name_.lock() = trace_name_;

  auto made = TraceCapture::for_trace(db_path_, new_id, start_timestamp_);
  if (!made.ok()) return store::to_python(made.error());
  std::shared_ptr<TraceCapture> fresh = std::move(made).value();

  StoreMap dropped;
  std::shared_ptr<TraceCapture> old;
  {
    auto stores = frame_stores_.lock();
    dropped = std::exchange(*stores, StoreMap());
    auto capture = trace_capture_.lock();
    if (!(*capture)->fork_stamp().matches_this_process()) {
      (*capture)->keep_in_memory();
      fresh->keep_in_memory();
    } else if ((*capture)->kept_in_memory()) {
      fresh->keep_in_memory();
    }
    old = std::exchange(*capture, std::move(fresh));
  }
  ids_made_ = store::ForkStamp::current();
  reset_subtree_tracking();
  return {};
}

}  // namespace vesh::profile
