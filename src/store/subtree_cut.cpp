#include "store/subtree_cut.h"

#include "encode/value_references.h"
#include "foundation/frame_types.h"
#include "foundation/thread_hooks.h"
#include "py/fault.h"
#include "store/subtree_marker.h"
#include "store/trace_capture.h"

#include <algorithm>
#include <exception>

namespace vesh::store {

namespace {

// Holds cut frames until the marker has replaced them; puts them back into
// the thread's store when it is let go of still holding them. (While a
// fault unwinds the frames are dropped: the tracer records nothing more.)
class RestoreGuard {
 public:
  RestoreGuard(WithStore with_store, std::uint64_t position, const std::string& key, FrameStore drained)
      : with_store_(with_store), position_(position) {
    drained_.emplace(key, std::move(drained));
  }
  RestoreGuard(const RestoreGuard&) = delete;
  RestoreGuard& operator=(const RestoreGuard&) = delete;
  ~RestoreGuard() noexcept(false) {
    if (!armed_ || std::uncaught_exceptions() > exceptions_) return;
    FrameStore frames = std::move(drained_.begin()->second);
    with_store_([&](FrameStore& store) {
      // An insertion that fails leaves nothing better to do with the frames.
      (void)store.insert_store(std::min(position_, store.frame_count()), std::move(frames));
    });
  }

  const StoresByThread& drained() const noexcept { return drained_; }
  void disarm() noexcept { armed_ = false; }

 private:
  WithStore with_store_;
  std::uint64_t position_;
  StoresByThread drained_;
  bool armed_ = true;
  int exceptions_ = std::uncaught_exceptions();
};

py::PyError runtime_error(const std::string& text) { return py::PyError::make(PyExc_RuntimeError, text); }

}  // namespace

std::vector<std::uint32_t> referenced_value_ids(const StoresByThread& stores) {
  std::vector<std::uint32_t> ids;
  ByteBuffer scratch;
  for (const auto& [key, frames] : stores) {
    // Records refer only to values published into their capture.
    if (!frames.capture() || frames.capture()->published_value_ids().empty()) continue;
    for (std::uint64_t i = 0; i < frames.frame_count(); ++i) {
      auto frame = frames.frame(i, scratch);
      if (frame.ok()) encode::collect_value_references(frame.value(), ids);
    }
  }
  return ids;
}

Result<std::optional<FlushedSubtree>, py::PyError> flush_subtree(const std::string& key,
                                                                  const FlushCandidate& candidate,
                                                                  WithStore with_store, GatherParts gather,
                                                                  const FlushSettings& settings) {
  using Out = std::optional<FlushedSubtree>;
  const std::uint64_t start = candidate.start;
  const std::uint64_t end = candidate.end;

  // 1. The cut.
  std::optional<FrameStore> drained;
  std::optional<IoError> cut_failed;
  const bool found = with_store([&](FrameStore& store) {
    if (start >= end || end > store.frame_count()) return;
    auto taken = store.drain(start, end);
    if (taken.ok()) {
      drained.emplace(std::move(taken).value());
    } else {
      cut_failed = std::move(taken).error();
    }
  });
  if (cut_failed) return Err{to_python(*cut_failed)};
  if (!found || !drained) return Out();
  const std::uint64_t flushed_bytes = drained->total_bytes();
  RestoreGuard guard(with_store, start, key, std::move(*drained));

  // 2. The marker, its trace id made before the clock is read.
  const std::string flushed_trace_id = vesh::trace_id();
  const double marked_at = vesh::timestamp();
  ByteBuffer marker;
  write_subtree_flushed_marker(marker, FrameId::fresh(), candidate.co_name, flushed_trace_id, flushed_bytes,
                               candidate.segment_count, marked_at);

  // 3. The save.
  FlushedTraceParts parts = gather(guard.drained());
  PyResult<void> saved = Ok{};
  {
    hooks::HookSuspension suspended;
    FlushedTraceInfo info;
    info.trace_id = flushed_trace_id;
    info.trace_name = std::move(parts.name);
    info.source = settings.source;
    info.timestamp = vesh::timestamp();
    info.current_thread_id = key;
    info.config = settings.config;
    info.use_monitoring = settings.use_monitoring;
    info.root_trace_id = parts.root_trace_id;
    info.db_path = settings.db_path;
    info.timeout = settings.timeout;
    info.writer_stop = settings.writer_stop;
    saved = save_v3_trace_from_parts(guard.drained(), parts.threads, std::move(info), std::move(parts.values));
  }
  if (!saved.ok()) return Err{std::move(saved).error()};

  // 4. The marker in the frames' place.
  std::optional<py::PyError> marking_failed;
  const bool still_there = with_store([&](FrameStore& store) {
    if (start > store.frame_count()) {
      marking_failed = runtime_error("frame buffer changed while finalizing flushed subtree " + flushed_trace_id);
      return;
    }
    if (auto inserted = store.insert_frame(start, marker.view()); !inserted.ok()) {
      marking_failed = to_python(inserted.error());
      return;
    }
    guard.disarm();
  });
  if (!still_there) return Err{runtime_error("missing frame buffer while finalizing flushed subtree " + flushed_trace_id)};
  if (marking_failed) return Err{std::move(*marking_failed)};
  return Out(FlushedSubtree{flushed_bytes, marker.size()});
}

}  // namespace vesh::store
