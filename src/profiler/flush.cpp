// Subtree flushing on the profile hook's event road: the open calls each
// stored batch opens and closes, the flush check, and one flush under the
// capture lock.
#include "profiler/profiler.h"

#include "foundation/error_reporting.h"
#include "store/subtree_cut.h"
#include "store/trace_capture.h"
#include "support/saturating.h"

namespace vesh::profile {

using py::PyError;

PyError VeshProfiler::track_stored(const std::string& thread_key, std::uint8_t kind, StoredBatch batch) {
  if (kind == kEventCall) {
    const std::uint64_t before = saturating_sub(batch.pending_bytes, batch.bytes);
    subtrees_.open(thread_key, std::move(*batch.name), batch.first, before, batch.generation);
  } else if (kind == kEventReturn) {
    subtrees_.close(thread_key, batch.end, batch.pending_bytes, batch.generation);
  } else if (kind == kPluginRecordsOnly) {
    subtrees_.record_segment(thread_key, batch.first, batch.end, batch.bytes, std::move(*batch.name),
                             batch.generation);
  }
  return maybe_flush_segments(thread_key, batch.pending_bytes);
}

PyError VeshProfiler::maybe_flush_segments(const std::string& thread_key, std::uint64_t pending_bytes) {
  auto checked = subtrees_.run_check(
      thread_key, pending_bytes, [this] { return threads_.get().flush_state.pending_bytes; },
      [&](const store::ChosenCandidate& chosen) { return flush_candidate(thread_key, chosen); });
  if (!checked.ok()) return std::move(checked).error();
  return {};
}

Result<store::FlushStep, PyError> VeshProfiler::flush_candidate(const std::string& thread_key,
                                                               const store::ChosenCandidate& chosen) {
  // Saves, build_trace() and per-test switches wait for the whole flush.
  store::ForkAwareGuard capture_guard = capture_lock_.lock(true);
  if (subtrees_.generation() != chosen.generation) return store::FlushStep::Stale;

  std::string trace_id;
  std::string root_trace_id;
  {
    SharedText::Guard current = trace_id_.lock();
    SharedText::Guard root = root_trace_id_.lock();
    // In a forked child the flushed trace belongs under the root id the
    // child's own save will use.
    if (store::adopt_if_inherited(**trace_capture_.lock(), ids_made_)) {
      const std::string id = vesh::trace_id();
      *current = id;
      *root = id;
    }
    trace_id = *current;
    root_trace_id = *root;
  }

  auto with_store = [&](absl::FunctionRef<void(store::FrameStore&)> use) {
    auto stores = frame_stores_.lock();
    auto it = stores->find(thread_key);
    if (it == stores->end()) return false;
    use(it->second);
    return true;
  };
  auto gather = [&](const store::StoresByThread& drained) {
    store::FlushedTraceParts parts;
    {
      auto objects = thread_objects_.lock();
      if (auto it = objects->find(thread_key); it != objects->end()) {
        parts.threads.emplace(thread_key, it->second);
      }
    }
    parts.name = trace_name_for_thread(drained, thread_key);
    parts.root_trace_id = std::move(root_trace_id);
    parts.values = value_interning_.values_of(store::referenced_value_ids(drained));
    return parts;
  };
  std::optional<store::FlushedWriterStop> writer_stop;
  const store::FlushSettings settings{db_path_, source_, &config_, sqlite_busy_timeout_, false, &writer_stop};
  auto flushed = store::flush_subtree(thread_key, chosen.candidate, with_store, gather, settings);
  if (!flushed.ok()) {
    // Its writer met the disk the trace's own is about to: recording stops
    // here, said once, rather than each later flush failing the same way.
    if (writer_stop) {
      if (std::optional<std::string> warning = recording_stop_.note(writer_stop->stop, trace_id, writer_stop->file))
        log_warning(*warning);
    }
    return Err{std::move(flushed).error()};
  }
  if (!flushed.value()) {
    subtrees_.drop(thread_key, chosen);
    return store::FlushStep::Dropped;
  }
  ProfilerFlushState& flush = threads_.get().flush_state;
  flush.pending_bytes = saturating_sub(flush.pending_bytes, chosen.candidate.bytes);
  subtrees_.after_flush(thread_key, chosen);
  return store::FlushStep::Flushed;
}

}  // namespace vesh::profile
