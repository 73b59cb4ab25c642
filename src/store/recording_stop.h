// When a tracer stops recording because of its trace writers, or stops
// saving trace points.
//
// The process writer circuit stops every tracer for good. A tracer whose own
// writer stopped taking frames (a write failed, or the next write would have
// cut into the filesystem's reserve) stops as well: its warning says once
// why, and after it an event costs one flag test and logs nothing.
//
// Trace points, each saved into the database apart from the trace, stop the
// same way on their own: at the first one that could not be saved, or that
// would have cut into the database filesystem's reserve. Recording goes on.
// They do not start again when space comes back: the trace points kept are
// then every one up to the warning, with none missing between them.
#pragma once

#include "store/trace_capture.h"
#include "store/trace_container.h"
#include "store/writer_stop.h"

#include <atomic>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace vesh::store {

class RecordingStop {
 public:
  // Whether the tracer must record nothing more: the writer circuit is open,
  // or one of the tracer's writers stopped.
  bool stopped() const noexcept { return writer_circuit_open() || writer_stopped(); }
  bool writer_stopped() const noexcept { return writer_stopped_.load(std::memory_order_acquire); }

  // After an append to a store of `capture` failed, or a save of it ended:
  // when its writer stopped, recording stops, and the first such note
  // answers the warning to log (naming the trace, its file and the cause).
  std::optional<std::string> note(const TraceCapture& capture) {
    const WriterStop* stop = capture.writer_stop();
    if (stop == nullptr) return std::nullopt;
    return note(*stop, capture.trace_id(), capture.final_path());
  }
  // The same for a writer of the trace `trace_id` other than its capture's
  // (a flushed subtree's), which wrote `file`: the disk it stopped at is the
  // one the trace's own writer is about to meet.
  std::optional<std::string> note(const WriterStop& stop, std::string_view trace_id,
                                  const std::filesystem::path& file) {
    if (writer_stopped_.exchange(true, std::memory_order_acq_rel)) return std::nullopt;
    return describe_writer_stop(stop, trace_id, file);
  }

  bool trace_points_stopped() const noexcept { return trace_points_stopped_.load(std::memory_order_acquire); }
  // Stops trace points; true for the first stop only, whose caller says why.
  bool stop_trace_points() noexcept { return !trace_points_stopped_.exchange(true, std::memory_order_acq_rel); }

 private:
  std::atomic<bool> writer_stopped_{false};
  std::atomic<bool> trace_points_stopped_{false};
};

}  // namespace vesh::store
