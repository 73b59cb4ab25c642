// The assignment record: one "line" record per variable a store instruction
// bound, written by the monitoring tracer's assignment capture.
//
//   "path"       where the store ran (file path and line)
//   "co_name"    the code's name
//   "qualname"   the frame's qualified name
//   "event"      "line"
//   "frame_id"   the storing frame's id, or nil for a frame without one
//   "timestamp"  when the store was about to run (not when the record is written)
//   "type"       "frame"
//   "assign"     extension 6 holding [name, value]
//
// The value is encoded apart from the record: the extension header needs the
// payload's length first, and a value that fails to encode must leave no byte
// of its record behind. A value whose own encoding fails is written as its
// repr text (unencodable_value.h); the record has no form without its value,
// so when the repr fails too the record is not written, and the writer says
// so once per code location, as the frame records do.
#pragma once

#include <Python.h>

#include "encode/serializer_state.h"
#include "encode/unencodable_value.h"
#include "encode/value_serializer.h"
#include "foundation/frame_types.h"
#include "py/error.h"
#include "support/byte_buffer.h"
#include "support/result.h"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace vesh::encode {

// The extension type of the "assign" entry.
inline constexpr std::int8_t kAssignExt = 6;

// What a store instruction's record says about where and when it ran, taken
// when the store was about to run.
struct LineFrame {
  std::string path;
  std::string co_name;
  std::string qualname;
  std::optional<FrameId> frame_id;
  double timestamp = 0;
};

// The "assign" payload: [name, value], the value encoded as an item of the
// extension (shared references and value interning do not reach into it),
// or as its repr text when its encoding fails; `unencoded` then says why.
// Nothing (and `unencoded` says why) when the repr fails too: the value is
// the program's, not a failure of the recorder. Fails only with an error
// that is handed on.
Result<std::optional<ByteBuffer>, py::PyError> encode_assign_payload(std::string_view name, PyObject* value,
                                                                     const SerializerState& state,
                                                                     std::optional<std::size_t> byte_budget,
                                                                     bool lightweight_repr, Unencoded& unencoded);

// Appends the whole record. Fails (false, ValueError set, buffer unchanged)
// only for a payload of 2^32 bytes or more, which has no extension form.
bool write_assignment_record(ByteBuffer& buffer, const LineFrame& line, std::string_view payload);

}  // namespace vesh::encode
