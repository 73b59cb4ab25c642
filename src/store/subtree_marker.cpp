#include "store/subtree_marker.h"

#include "encode/msgpack_encoding.h"

namespace vesh::store {

void write_subtree_flushed_marker(ByteBuffer& out, const FrameId& frame_id, std::string_view co_name,
                                  std::string_view flushed_trace_id, std::uint64_t flushed_bytes,
                                  std::uint64_t segment_count, double timestamp) {
  out.push_back(static_cast<char>(0x87));
  encode::write_str_pair(out, "type", "subtree_flushed");
  encode::write_str_pair(out, "frame_id", frame_id.view());
  encode::write_str_pair(out, "co_name", co_name);
  encode::write_str_pair(out, "flushed_trace_id", flushed_trace_id);
  encode::write_int_pair(out, "flushed_bytes", flushed_bytes);
  encode::write_int_pair(out, "flushed_segment_count", segment_count);
  encode::write_f64_pair(out, "timestamp", timestamp);
}

}  // namespace vesh::store
