// Deriving a trace's name from what its thread recorded.
//
// A name given explicitly (the name slot) always wins. Otherwise a test run
// is named "<test_class>.<test_name>" after its first "start_test" record,
// and a web request "<status> <method> <path_info>" after its first
// "django_request" and last "django_response" records. Only a thread's
// first three and last three frames are looked at, so naming costs at most
// six frame reads however long the trace is.
#pragma once

#include "support/byte_buffer.h"
#include "store/trace_name_index.h"

#include <absl/container/inlined_vector.h>
#include <absl/strings/string_view.h>

#include <msgpack.hpp>

#include <concepts>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vesh::store {

// Indices 0, 1, 2 and the last three below `frame_count`, ascending, without
// repeats.
absl::InlinedVector<std::uint64_t, 6> relevant_frame_indices(std::uint64_t frame_count);

// The text of a decoded str (none when its bytes are not UTF-8), or of an
// extension value of type 10 (a Python str that had no UTF-8 form: its lone
// surrogates are rendered as "\udxxx", other invalid bytes as U+FFFD). None
// for every other value.
std::optional<std::string> name_text(const msgpack::object& value);

// name_text of the value of the first entry whose key is the str `key`.
std::optional<std::string> map_string(const msgpack::object_map& entries, std::string_view key);
// One stored record decoded; nullopt when the bytes are not one MessagePack
// value, or nest deeper than any record does.
std::optional<msgpack::object_handle> unpack_record(std::string_view bytes);

// Collects the naming evidence of one store's relevant frames, fed in
// ascending frame order, and applies the naming rules.
class NameEvidence {
 public:
  // Decodes one frame; frames that are not a map with a str "type" are
  // ignored.
  void observe(std::string_view frame);
  // The test name if there is one, else the request name, else none.
  std::optional<std::string> name() const;

 private:
  std::optional<std::string> test_name() const;
  std::optional<std::string> request_name() const;

  // The chosen records: the first test start, the first request and the
  // last response.
  std::optional<msgpack::object_handle> test_;
  std::optional<msgpack::object_handle> request_;
  std::optional<msgpack::object_handle> response_;
};

// The name that a store's observations give under the same rules, looking
// only at observations of relevant frames (of a store of `frame_count`
// frames): the first test, else the first request with the last response.
// None for a disabled index: the store must then be named by decoding.
std::optional<std::string> name_from_index(const TraceNameIndex& index, std::uint64_t frame_count);

// What naming needs of a frame store: its frame count and reading a frame
// by index into a reusable scratch buffer (a result with ok()/value()).
template <typename S>
concept NameableFrames = requires(const S& s, std::uint64_t i, ByteBuffer& scratch) {
  { s.frame_count() } -> std::convertible_to<std::uint64_t>;
  { s.frame(i, scratch).ok() } -> std::convertible_to<bool>;
  { s.frame(i, scratch).value() } -> std::convertible_to<std::string_view>;
};

// The name the frames of `frames` give; none when a frame cannot be read.
template <NameableFrames S>
std::optional<std::string> derive_trace_name(const S& frames) {
  ByteBuffer scratch;
  NameEvidence evidence;
  for (std::uint64_t index : relevant_frame_indices(frames.frame_count())) {
    auto frame = frames.frame(index, scratch);
    if (!frame.ok()) return std::nullopt;
    evidence.observe(std::string_view(frame.value()));
  }
  return evidence.name();
}

namespace detail {
template <typename T>
const auto& deref_store(const T& value) {
  if constexpr (requires { *value; }) {
    return *value;
  } else {
    return value;
  }
}
}  // namespace detail

// The trace's name: the slot's name when it holds one, else the name derived
// from the store of `thread_key` in `stores` (a map from thread key to a
// store or a pointer to one). With `remember` the result (or its absence) is
// written back into the slot. Never fails.
template <typename Stores>
std::optional<std::string> resolve_trace_name(std::optional<std::string>& slot, const Stores& stores,
                                              std::string_view thread_key, bool remember) {
  std::optional<std::string> result;
  if (slot) {
    result = *slot;
  } else {
    auto it = stores.find(absl::string_view(thread_key.data(), thread_key.size()));
    if (it != stores.end()) result = derive_trace_name(detail::deref_store(it->second));
  }
  if (remember) slot = result;
  return result;
}

}  // namespace vesh::store
