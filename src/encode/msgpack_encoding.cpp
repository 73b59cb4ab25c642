#include "encode/msgpack_encoding.h"

#include "py/args.h"
#include "py/fault.h"
#include "support/stack_bytes.h"
#include "foundation/frame_path.h"

#include <msgpack.hpp>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <limits>

namespace vesh::encode {

using py::Ref;
using Packer = msgpack::packer<ByteBuffer>;

namespace {

void require_u32(std::size_t length, const char* what) {
  if (length > std::numeric_limits<std::uint32_t>::max()) [[unlikely]]
    fault(what);
}

}  // namespace

void write_long_str_header(ByteBuffer& buffer, std::size_t length) {
  require_u32(length, "msgpack str length should fit in u32");
  Packer(buffer).pack_str(static_cast<std::uint32_t>(length));
}

void write_int_pair(ByteBuffer& buffer, std::string_view key, std::optional<std::uint64_t> value) {
  write_str(buffer, key);
  if (value) {
    Packer(buffer).pack_uint64(*value);
  } else {
    buffer.push_back(static_cast<char>(0xc0));
  }
}

void write_bool_pair(ByteBuffer& buffer, std::string_view key, bool value) {
  write_str(buffer, key);
  buffer.push_back(static_cast<char>(value ? 0xc3 : 0xc2));
}

void write_f64(ByteBuffer& buffer, double value) {
  // Not msgpack-cxx's pack_double: it writes integral values as integers.
  std::uint64_t bits = std::bit_cast<std::uint64_t>(value);
  char bytes[9];
  bytes[0] = static_cast<char>(0xcb);
  for (int i = 0; i < 8; ++i) bytes[1 + i] = static_cast<char>(bits >> (56 - 8 * i));
  buffer.write(bytes, 9);
}

void write_f64_pair_raw(ByteBuffer& buffer, const char* key9, double value) {
  buffer.push_back(static_cast<char>(0xa9));
  buffer.write(key9, 9);
  write_f64(buffer, value);
}

namespace {

// A pair whose key is already encoded and whose str value is `head`,
// `separator` and `tail` joined, written without building the joined text.
void write_joined_pair(ByteBuffer& buffer, std::string_view encoded_key, std::string_view head, char separator,
                       std::string_view tail, const char* too_long) {
  buffer.append(encoded_key);
  std::size_t total = head.size() + 1 + tail.size();
  require_u32(total, too_long);
  Packer(buffer).pack_str(static_cast<std::uint32_t>(total));
  buffer.append(head);
  buffer.push_back(separator);
  buffer.append(tail);
}

}  // namespace

void write_frame_path_pair(ByteBuffer& buffer, std::string_view path, std::optional<std::uint64_t> line) {
  char digits[20];
  std::string_view line_text = "None";
  if (line) {
    auto result = std::to_chars(digits, digits + sizeof digits, *line);
    line_text = std::string_view(digits, static_cast<std::size_t>(result.ptr - digits));
  }
  write_joined_pair(buffer, std::string_view("\xa4path", 5), path, ':', line_text,
                    "frame path length should fit in u32");
}

void write_frame_qualname_pair(ByteBuffer& buffer, std::string_view module, std::string_view qualname) {
  write_joined_pair(buffer, std::string_view("\xa8qualname", 9), module, '.', qualname,
                    "frame qualname length should fit in u32");
}

namespace {

// Most of a frame record's pairs are fixed keys with short values: a few of
// them at a time are built on the stack and appended with one write.
using Piece = StackBytes<160>;

static_assert(kFrameIdLength < 32, "a frame id is a fixstr");

void put_frame_id(Piece& out, const FrameId& id) {
  out.put(static_cast<char>(0xa0 | kFrameIdLength));
  out.put(id.view());
}

void put_call_site(Piece& out, const std::optional<UserCodeCallSite>& site) {
  out.put(std::string_view("\xb3user_code_call_site", 20));
  if (!site) {
    out.put(static_cast<char>(0xc0));
    return;
  }
  out.put(static_cast<char>(0x82));
  out.put(std::string_view("\xad" "call_frame_id", 14));
  put_frame_id(out, site->call_frame_id);
  out.put(std::string_view("\xab" "line_number", 12));
  if (site->line_number) {
    msgpack::packer<Piece>(out).pack_int32(*site->line_number);
  } else {
    out.put(static_cast<char>(0xc0));
  }
}

void put_f64(Piece& out, double value) {
  std::uint64_t bits = std::bit_cast<std::uint64_t>(value);
  out.put(static_cast<char>(0xcb));
  for (int i = 0; i < 8; ++i) out.put(static_cast<char>(bits >> (56 - 8 * i)));
}

}  // namespace

void write_user_code_call_site(ByteBuffer& buffer, const std::optional<UserCodeCallSite>& site) {
  Piece out;
  put_call_site(out, site);
  buffer.append(out.view());
}

void write_event_and_frame_id_pairs(ByteBuffer& buffer, std::string_view event, const FrameId& frame_id) {
  if (event.size() >= 32) fault("an event name is a fixstr");
  Piece out;
  out.put(std::string_view("\xa5" "event", 6));
  out.put(static_cast<char>(0xa0 | event.size()));
  out.put(event);
  out.put(std::string_view("\xa8" "frame_id", 9));
  put_frame_id(out, frame_id);
  buffer.append(out.view());
}

void write_frame_closing_pairs(ByteBuffer& buffer, double timestamp, const std::optional<UserCodeCallSite>& site) {
  Piece out;
  out.put(std::string_view("\xa9" "timestamp", 10));
  put_f64(out, timestamp);
  out.put(std::string_view("\xa4" "type" "\xa5" "frame", 11));
  put_call_site(out, site);
  buffer.append(out.view());
}

// ---------------------------------------------------------------------------
// Thread key

namespace {

// An id attribute of a thread object: nullopt when missing or None.
bool read_thread_number(PyObject* thread, PyObject* name, std::optional<std::uint64_t>& out) {
  Ref value = Ref::checked(PyObject_GetAttr(thread, name));
  if (!value) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    out.reset();
    return true;
  }
  return py::to_optional_u64(value.get(), out);
}

void write_stdout(std::string_view text) noexcept {
  while (!text.empty()) {
    ssize_t n = ::write(STDOUT_FILENO, text.data(), text.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    text.remove_prefix(static_cast<std::size_t>(n));
  }
}

}  // namespace

bool get_thread_id(PyObject* thread, std::string& out) {
  std::optional<std::uint64_t> native_id;
  std::optional<std::uint64_t> ident;
  if (!read_thread_number(thread, VESH_INTERNED("native_id"), native_id)) return false;
  if (!read_thread_number(thread, VESH_INTERNED("ident"), ident)) return false;
  if (native_id) {
    out = "native_" + std::to_string(*native_id);
    return true;
  }
  if (ident) {
    out = "ident_" + std::to_string(*ident);
    return true;
  }

  std::string name;
  Ref name_obj = Ref::checked(PyObject_GetAttr(thread, VESH_INTERNED("name")));
  if (!name_obj) {
    PyErr_Clear();
    name = "<unknown>";
  } else if (!str_bytes(name_obj.get(), name)) {
    return false;
  }
  write_stdout("Vesh warning: thread has no id: " + name + "\n");
  out = "no_thread_id";
  return true;
}

}  // namespace vesh::encode
