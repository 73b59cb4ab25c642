#include "store/trace_name.h"

#include <algorithm>
#include <cstdio>

namespace vesh::store {

namespace {

// Records nest far less; deeper input is not a record worth naming from.
constexpr std::size_t kMaxDepth = 1024;
constexpr std::int8_t kUnencodableStrExt = 10;

std::string_view str_view(const msgpack::object& value) { return {value.via.str.ptr, value.via.str.size}; }

// Length of the valid UTF-8 sequence at the start of `s`; 0 when it is
// invalid, with `error_len` set to the number of bytes to skip (0 when the
// input ends inside a sequence that could still be valid).
std::size_t utf8_sequence(std::string_view s, std::size_t& error_len) {
  auto byte = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
  unsigned char b0 = byte(0);
  if (b0 < 0x80) return 1;
  std::size_t width = 0;
  unsigned char lo = 0x80, hi = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    width = 2;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    width = 3;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    width = 4;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    error_len = 1;
    return 0;
  }
  for (std::size_t i = 1; i < width; ++i) {
    if (i >= s.size()) {
      error_len = 0;
      return 0;
    }
    unsigned char b = byte(i);
    bool ok = i == 1 ? (b >= lo && b <= hi) : (b >= 0x80 && b <= 0xBF);
    if (!ok) {
      error_len = i;
      return 0;
    }
  }
  return width;
}

bool valid_utf8(std::string_view s) {
  std::size_t error_len = 0;
  while (!s.empty()) {
    std::size_t n = utf8_sequence(s, error_len);
    if (n == 0) return false;
    s.remove_prefix(n);
  }
  return true;
}

// The "surrogatepass" encoding of a str back to text: valid runs as they
// are, each encoded lone surrogate as "\udxxx", anything else as U+FFFD.
std::string render_surrogatepass(std::string_view data) {
  static constexpr char kReplacement[] = "\xEF\xBF\xBD";
  std::string out;
  out.reserve(data.size());
  while (!data.empty()) {
    std::size_t error_len = 0;
    std::size_t n = utf8_sequence(data, error_len);
    if (n > 0) {
      out.append(data.substr(0, n));
      data.remove_prefix(n);
      continue;
    }
    auto b1 = data.size() >= 2 ? static_cast<unsigned char>(data[1]) : 0;
    if (data.size() >= 3 && static_cast<unsigned char>(data[0]) == 0xED && b1 >= 0xA0 && b1 <= 0xBF) {
      unsigned cp = 0xD000 + ((b1 & 0x3Fu) << 6) + (static_cast<unsigned char>(data[2]) & 0x3Fu);
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", cp);
      out += escaped;
      data.remove_prefix(3);
      continue;
    }
    out += kReplacement;
    if (error_len == 0) break;  // ends inside a sequence
    data.remove_prefix(error_len);
  }
  return out;
}

bool is_str(const msgpack::object& value, std::string_view text) {
  return value.type == msgpack::type::STR && str_view(value) == text;
}

// The value of the first entry whose key is the str `key`, or null.
const msgpack::object* find_entry(const msgpack::object_map& entries, std::string_view key) {
  for (std::uint32_t i = 0; i < entries.size; ++i) {
    if (is_str(entries.ptr[i].key, key)) return &entries.ptr[i].val;
  }
  return nullptr;
}

const msgpack::object_map& entries_of(const msgpack::object_handle& handle) { return handle.get().via.map; }

}  // namespace

absl::InlinedVector<std::uint64_t, 6> relevant_frame_indices(std::uint64_t frame_count) {
  absl::InlinedVector<std::uint64_t, 6> out;
  for (std::uint64_t i = 0; i < 3 && i < frame_count; ++i) out.push_back(i);
  std::uint64_t tail = frame_count > 3 ? frame_count - 3 : 0;
  for (std::uint64_t i = std::max<std::uint64_t>(tail, out.size()); i < frame_count; ++i) out.push_back(i);
  return out;
}

std::optional<std::string> name_text(const msgpack::object& value) {
  if (value.type == msgpack::type::STR) {
    std::string_view text = str_view(value);
    if (!valid_utf8(text)) return std::nullopt;
    return std::string(text);
  }
  if (value.type == msgpack::type::EXT && value.via.ext.type() == kUnencodableStrExt) {
    return render_surrogatepass(std::string_view(value.via.ext.data(), value.via.ext.size));
  }
  return std::nullopt;
}

std::optional<std::string> map_string(const msgpack::object_map& entries, std::string_view key) {
  const msgpack::object* value = find_entry(entries, key);
  if (value == nullptr) return std::nullopt;
  return name_text(*value);
}

std::optional<msgpack::object_handle> unpack_record(std::string_view bytes) {
  try {
    return msgpack::unpack(bytes.data(), bytes.size(), nullptr, nullptr,
                           msgpack::unpack_limit(0xffffffff, 0xffffffff, 0xffffffff, 0xffffffff, 0xffffffff, kMaxDepth));
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

void NameEvidence::observe(std::string_view frame) {
  std::optional<msgpack::object_handle> handle = unpack_record(frame);
  if (!handle) return;  // not a record: no evidence
  const msgpack::object& record = handle->get();
  if (record.type != msgpack::type::MAP) return;
  const msgpack::object* type = find_entry(record.via.map, "type");
  if (type == nullptr || type->type != msgpack::type::STR || !valid_utf8(str_view(*type))) return;
  std::string_view kind = str_view(*type);
  if (kind == "start_test") {
    if (!test_) test_ = std::move(handle);
  } else if (kind == "django_request") {
    if (!request_) request_ = std::move(handle);
  } else if (kind == "django_response") {
    response_ = std::move(handle);
  }
}

std::optional<std::string> NameEvidence::test_name() const {
  if (!test_) return std::nullopt;
  std::optional<std::string> name = map_string(entries_of(*test_), "test_name");
  if (!name) return std::nullopt;
  std::optional<std::string> test_class = map_string(entries_of(*test_), "test_class");
  if (!test_class) return name;
  return *test_class + "." + *name;
}

std::optional<std::string> NameEvidence::request_name() const {
  if (!request_ || !response_) return std::nullopt;
  std::optional<std::string> method = map_string(entries_of(*request_), "method");
  std::optional<std::string> path_info = map_string(entries_of(*request_), "path_info");
  const msgpack::object* status = find_entry(entries_of(*response_), "status_code");
  if (!method || !path_info || status == nullptr) return std::nullopt;
  std::string status_text;
  if (status->type == msgpack::type::POSITIVE_INTEGER) {
    status_text = std::to_string(status->via.u64);
  } else if (status->type == msgpack::type::NEGATIVE_INTEGER) {
    status_text = std::to_string(status->via.i64);
  } else {
    return std::nullopt;
  }
  return status_text + " " + *method + " " + *path_info;
}

std::optional<std::string> name_from_index(const TraceNameIndex& index, std::uint64_t frame_count) {
  const std::vector<TraceNameObservation>* observations = index.observations();
  if (observations == nullptr) return std::nullopt;
  const auto relevant = relevant_frame_indices(frame_count);
  const TraceNameObservation::Request* request = nullptr;
  const TraceNameObservation::Response* response = nullptr;
  for (const TraceNameObservation& o : *observations) {
    if (std::find(relevant.begin(), relevant.end(), o.position) == relevant.end()) continue;
    if (const auto* test = std::get_if<TraceNameObservation::Test>(&o.data)) {
      if (!test->test_class) return test->test_name;
      return *test->test_class + "." + test->test_name;
    }
    if (const auto* r = std::get_if<TraceNameObservation::Request>(&o.data)) {
      if (request == nullptr) request = r;
    } else if (const auto* r = std::get_if<TraceNameObservation::Response>(&o.data)) {
      response = r;
    }
  }
  if (request == nullptr || response == nullptr) return std::nullopt;
  return response->status_code + " " + request->method + " " + request->path_info;
}

std::optional<std::string> NameEvidence::name() const {
  if (std::optional<std::string> name = test_name()) return name;
  return request_name();
}

}  // namespace vesh::store
