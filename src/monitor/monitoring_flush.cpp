// Subtree flushing on the monitor's event road: the open calls each record
// opens and closes, the flush check, and one flush under the capture lock.
#include "monitor/monitoring.h"

#include "foundation/error_reporting.h"
#include "monitor/monitoring_internal.h"
#include "store/subtree_cut.h"
#include "store/subtree_flush.h"
#include "store/trace_capture.h"
#include "store/trace_name.h"
#include "support/saturating.h"

namespace vesh::monitor {

using py::PyError;

PyStatus VeshMonitor::track_direct_record(std::uint8_t kind, const std::string& co_name, const PushOutcome& appended,
                                          bool check) {
  const std::string& key = *appended.thread_key;
  if (is_entry(kind)) {
    const std::uint64_t before = saturating_sub(appended.running_bytes, appended.bytes);
    subtrees_->open(key, co_name, appended.first, before, appended.generation);
  } else {
    subtrees_->close(key, appended.end, appended.running_bytes, appended.generation);
  }
  if (!check) return Ok{};
  return maybe_flush_segments_with_current_bytes(key, appended.running_bytes);
}

PyStatus VeshMonitor::run_postponed_flush_check() {
  std::shared_ptr<const std::string> key;
  std::uint64_t running = 0;
  {
    auto flush = thread_state().flush.borrow();
    if (!flush->check_due || !flush->thread_key) return Ok{};
    key = flush->thread_key;
    running = flush->running_bytes;
  }
  return maybe_flush_segments_with_current_bytes(*key, running);
}

void VeshMonitor::record_closed_segment(const std::string& key, std::uint64_t start, std::uint64_t end,
                                        std::uint64_t bytes, std::string co_name, std::uint64_t generation) {
  subtrees_->record_segment(key, start, end, bytes, std::move(co_name), generation);
}

PyStatus VeshMonitor::maybe_flush_segments_with_current_bytes(const std::string& key, std::uint64_t current_bytes) {
  return subtrees_->run_check(
      key, current_bytes, [this] { return thread_state().flush.borrow()->running_bytes; },
      [&](const store::ChosenCandidate& chosen) { return flush_candidate(key, chosen); });
}

Result<store::FlushStep, PyError> VeshMonitor::flush_candidate(const std::string& key,
                                                              const store::ChosenCandidate& chosen) {
  // Saves, build_trace() and per-test switches wait for the whole flush.
  auto capture_guard = capture_lock_.lock();
  if (subtrees_->generation() != chosen.generation) return store::FlushStep::Stale;

  std::string trace_id;
  std::string root_trace_id;
  {
    auto current = trace_id_.lock("mutex poisoned");
    auto root = root_trace_id_.lock("mutex poisoned");
    {
      auto capture = trace_capture_.lock("trace capture mutex poisoned");
      // In a forked child the flushed trace belongs under the root id the
      // child's own save will use.
      if (store::adopt_if_inherited(**capture, ids_made_)) {
        const std::string id = vesh::trace_id();
        *current = id;
        *root = id;
      }
    }
    trace_id = *current;
    root_trace_id = *root;
  }

  SharedStore slot = thread_frame_buffer(key);
  auto with_store = [&](absl::FunctionRef<void(store::FrameStore&)> use) {
    if (!slot) return false;
    auto frames = slot->store.lock("thread frame buffer poisoned");
    if (frames->retired()) return false;
    use(*frames);
    return true;
  };
  auto gather = [&](const store::StoresByThread& drained) {
    store::FlushedTraceParts parts;
    {
      auto threads = threads_.lock("mutex");
      if (auto it = threads->find(key); it != threads->end()) parts.threads.emplace(key, it->second);
    }
    {
      auto name = trace_name_.lock("mutex poisoned");
      parts.name = store::resolve_trace_name(*name, drained, key, key == creator_thread_key_);
    }
    parts.root_trace_id = std::move(root_trace_id);
    parts.values = value_interning_.values_of(store::referenced_value_ids(drained));
    return parts;
  };
  std::optional<store::FlushedWriterStop> writer_stop;
  const store::FlushSettings settings{db_path_, source_, &*config_, sqlite_busy_timeout_, true, &writer_stop};
  auto flushed = store::flush_subtree(key, chosen.candidate, with_store, gather, settings);
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
    subtrees_->drop(key, chosen);
    return store::FlushStep::Dropped;
  }
  shift_markers_after_flush(key, chosen.candidate.start, chosen.candidate.end);
  {
    auto flush = thread_state().flush.borrow_mut();
    flush->running_bytes = saturating_sub(flush->running_bytes, chosen.candidate.bytes);
  }
  subtrees_->after_flush(key, chosen);
  return store::FlushStep::Flushed;
}

void shift_markers_after_flush(MarkerStack& markers, std::uint64_t start, std::uint64_t end) {
  // A trace point that began inside the range went with it into the
  // flushed trace; those after it follow their records, now that the range
  // is one marker record.
  std::erase_if(markers, [&](const MarkerKind& m) {
    return m.trace_point && m.start_index >= start && m.start_index < end;
  });
  for (MarkerKind& m : markers) {
    if (m.trace_point && m.start_index >= end) m.start_index -= end - start - 1;
  }
}

void VeshMonitor::shift_markers_after_flush(const std::string& key, std::uint64_t start, std::uint64_t end) {
  auto markers = markers_.lock("markers mutex");
  auto it = markers->find(key);
  if (it == markers->end()) return;
  monitor::shift_markers_after_flush(it->second, start, end);
  if (it->second.empty()) markers->erase(it);
}

}  // namespace vesh::monitor
