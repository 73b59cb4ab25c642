// Trace points: functions named under the configuration's
// trace_points.on_return, whose every normal return hands the Python side
// (vesh.monitoring._save_trace_point_from_rust) the records the returning
// thread stored from that call's own frame record through its return, with
// the interned values those records refer to.
//
// A recorded call of a target pushes a marker on its thread's marker stack:
// where the call's record lies in the thread's frame store, under which
// capture generation, and for which frame. Generators and coroutines do not
// nest (a generator started inside a call may finish long after it), so an
// exit looks for its own frame's marker rather than taking the top one. The
// frame is the frame object's address, which a generator keeps across its
// resumes while its frame id changes at each of them. A boundary marker
// (set when a per-test trace starts) hides everything below it.
//
// The records are copied under the store's lock and handed over with the
// lock released, synchronously, with the thread suspended so that the
// Python code that stores them is not recorded.
#pragma once

#include <Python.h>

#include "foundation/config.h"
#include "foundation/frame_types.h"
#include "py/ref.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vesh::monitor {

// One entry of a thread's marker stack: an open trace point (its call's
// record index, under a capture generation, for one frame), or the boundary
// a new per-test trace sets.
struct MarkerKind {
  bool trace_point = false;
  std::uint64_t start_index = 0;
  std::uint64_t generation = 0;
  FrameKey frame = 0;

  static MarkerKind boundary() noexcept { return {}; }
  static MarkerKind at_call(std::uint64_t start_index, std::uint64_t generation, FrameKey frame) noexcept {
    return {true, start_index, generation, frame};
  }
  bool is_boundary() const noexcept { return !trace_point; }
};

using MarkerStack = std::vector<MarkerKind>;

// Removes and returns the newest trace-point marker of `frame` above the
// stack's topmost boundary; nullopt (stack unchanged) when there is none.
std::optional<MarkerKind> take_marker(MarkerStack& stack, FrameKey frame);

// The configuration as a trace point hands it over: a new dict of every
// entry but the ones traces never carry, each value the configuration's own
// object, with "use_monitoring" and "use_rust" set to True. Null with the
// error set when the dict cannot be filled.
py::Ref trace_point_config(const Config& config);

// What copying a trace point's records out of its thread's store gave.
struct TracePointCopy {
  enum class Outcome : std::uint8_t {
    Copied,
    // Nothing to hand over, by design: the trace was replaced since the call
    // (a save, build_trace() or a new per-test trace) or the call's records
    // were flushed out of the store.
    Skipped,
    // The records exist but cannot be read: `cause` says why.
    Failed,
  };
  Outcome outcome = Outcome::Skipped;
  std::vector<std::string> records;
  std::string cause;
};

}  // namespace vesh::monitor
