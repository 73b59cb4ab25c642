#include "encode/assignment_record.h"

#include "encode/msgpack_encoding.h"

namespace vesh::encode {

Result<std::optional<ByteBuffer>, py::PyError> encode_assign_payload(std::string_view name, PyObject* value,
                                                                     const SerializerState& state,
                                                                     std::optional<std::size_t> byte_budget,
                                                                     bool lightweight_repr, Unencoded& unencoded) {
  ByteBuffer payload;
  payload.push_back(static_cast<char>(0x92));
  write_str(payload, name);
  // The encoder is released before its failure is handed back: releasing it
  // drops references, which can run finalizers.
  py::PyError failure;
  ValueWrite outcome;
  {
    NativeMsgpackEncoder encoder(state, EncoderOptions{.byte_budget = byte_budget,
                                                       .interning = nullptr,
                                                       .lightweight_repr = lightweight_repr,
                                                       .ext_nesting = 1,
                                                       // [name, value]: a reader unpacks the payload
                                                       .record_nesting = 1});
    outcome = encode_value_or_repr(encoder, value, payload, unencoded);
    if (outcome == ValueWrite::Failed) failure = py::PyError::fetch();
  }
  if (failure) return Err{std::move(failure)};
  if (outcome == ValueWrite::Unencodable) return std::optional<ByteBuffer>();
  return std::optional<ByteBuffer>(std::move(payload));
}

bool write_assignment_record(ByteBuffer& buffer, const LineFrame& line, std::string_view payload) {
  const std::size_t start = buffer.size();
  buffer.push_back(static_cast<char>(0x88));
  write_str_pair(buffer, "path", line.path);
  write_str_pair(buffer, "co_name", line.co_name);
  write_str_pair(buffer, "qualname", line.qualname);
  write_str_pair(buffer, "event", "line");
  write_str_pair(buffer, "frame_id",
                 line.frame_id ? std::optional<std::string_view>(line.frame_id->view()) : std::nullopt);
  write_f64_pair(buffer, "timestamp", line.timestamp);
  write_str_pair(buffer, "type", "frame");
  write_str(buffer, "assign");
  if (!write_ext(buffer, kAssignExt, payload)) {
    buffer.truncate(start);
    return false;
  }
  return true;
}

}  // namespace vesh::encode
