// When a tracer stops recording because of its trace writers.
//
// The process writer circuit stops every tracer for good. A tracer whose own
// writer stopped taking frames (a write failed, or the next write would have
// cut into the filesystem's reserve) stops as well: its warning says once
// why, and after it an event costs one flag test and logs nothing.
#pragma once

#include "store/trace_capture.h"
#include "store/trace_container.h"
#include "store/writer_stop.h"

#include <atomic>
#include <optional>
#include <string>

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
    if (stop == nullptr || writer_stopped_.exchange(true, std::memory_order_acq_rel)) return std::nullopt;
    return describe_writer_stop(*stop, capture.trace_id(), capture.final_path());
  }

 private:
  std::atomic<bool> writer_stopped_{false};
};

}  // namespace vesh::store
