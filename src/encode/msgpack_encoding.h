// Pair writers for the records the system builds itself (frame records,
// assignment records, trace metadata): each appends one MessagePack str key
// and its value straight from native data, without Python objects or joined
// strings. The caller writes the map header with the exact entry count, then
// one pair per entry in its own order.
//
// Also the thread key that names each thread's frame store.
#pragma once

#include <Python.h>

#include "support/byte_buffer.h"
#include "foundation/frame_types.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vesh::encode {

// Shortest str header for a length of 32 or more; a length over 2^32 - 1
// is an internal fault.
void write_long_str_header(ByteBuffer& buffer, std::size_t length);

// Shortest str header for `length` bytes; a length over 2^32 - 1 is an
// internal fault. Inline: every key of every record comes through here, and
// for a literal key the fixstr byte folds to a constant.
inline void write_str_header(ByteBuffer& buffer, std::size_t length) {
  if (length < 32) [[likely]] {
    buffer.push_back(static_cast<char>(0xa0 | length));
    return;
  }
  write_long_str_header(buffer, length);
}
// Header and bytes.
inline void write_str(ByteBuffer& buffer, std::string_view text) {
  if (text.size() < 32) [[likely]] {
    buffer.reserve_more(1 + text.size());
    buffer.push_back(static_cast<char>(0xa0 | text.size()));
  } else {
    write_long_str_header(buffer, text.size());
  }
  buffer.append(text);
}

// 0xcb and the IEEE 754 bits big-endian, for every value. (msgpack-cxx's
// pack_double writes integral values as integers; records never use it.)
void write_f64(ByteBuffer& buffer, double value);

// key, then the text or nil.
inline void write_str_pair(ByteBuffer& buffer, std::string_view key, std::optional<std::string_view> text) {
  write_str(buffer, key);
  if (text) {
    write_str(buffer, *text);
  } else {
    buffer.push_back(static_cast<char>(0xc0));
  }
}
// key, then the shortest unsigned integer or nil.
void write_int_pair(ByteBuffer& buffer, std::string_view key, std::optional<std::uint64_t> value);
// key, then true or false.
void write_bool_pair(ByteBuffer& buffer, std::string_view key, bool value);

// A 9-byte key (fixstr 0xa9), then a float 64.
void write_f64_pair_raw(ByteBuffer& buffer, const char* key9, double value);
template <std::size_t N>
  requires(N == 10)
inline void write_f64_pair(ByteBuffer& buffer, const char (&key)[N], double value) {
  write_f64_pair_raw(buffer, key, value);
}

// "path": path, ":", then the line in decimal or "None".
void write_frame_path_pair(ByteBuffer& buffer, std::string_view path, std::optional<std::uint64_t> line);
// "qualname": module, ".", qualified name.
void write_frame_qualname_pair(ByteBuffer& buffer, std::string_view module, std::string_view qualname);
// "user_code_call_site": nil, or {"call_frame_id": id, "line_number": line or nil}.
void write_user_code_call_site(ByteBuffer& buffer, const std::optional<UserCodeCallSite>& site);

// A frame record's "event" and "frame_id" pairs in one write.
void write_event_and_frame_id_pairs(ByteBuffer& buffer, std::string_view event, const FrameId& frame_id);
// A frame record's closing pairs in one write: "timestamp", "type":
// "frame", then "user_code_call_site".
void write_frame_closing_pairs(ByteBuffer& buffer, double timestamp, const std::optional<UserCodeCallSite>& site);

// The key of the thread whose threading.Thread object is `thread`:
// "native_<native_id>", else "ident_<ident>", else "no_thread_id" after a
// warning line on the process's standard output (fd 1). Returns false with
// a Python error set when an id attribute raises something other than
// AttributeError, an id is not an int in 0..2^64-1, or the name is not a str.
bool get_thread_id(PyObject* thread, std::string& out);

}  // namespace vesh::encode
