// The "subtree_flushed" marker: the one record that takes the place of a
// flushed run of calls in a thread's frame store and names the trace the
// run was saved as. Both tracers write it byte for byte alike: a map of
// seven entries with fixstr keys, in this order:
//   "type": "subtree_flushed", "frame_id": a fresh frame id, "co_name": the
//   run's name, "flushed_trace_id": the flushed trace's id, "flushed_bytes":
//   the removed records' total length, "flushed_segment_count": the number
//   of calls in the run (both integers in their shortest form), "timestamp":
//   a float 64.
#pragma once

#include "foundation/frame_types.h"
#include "support/byte_buffer.h"

#include <cstdint>
#include <string_view>

namespace vesh::store {

void write_subtree_flushed_marker(ByteBuffer& out, const FrameId& frame_id, std::string_view co_name,
                                  std::string_view flushed_trace_id, std::uint64_t flushed_bytes,
                                  std::uint64_t segment_count, double timestamp);

}  // namespace vesh::store
