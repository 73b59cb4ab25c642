// Name evidence noted per frame store while plugin records are stored, so
// that a whole capture can be named without decoding its frames.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace vesh::store {

struct TraceNameObservation {
  // From a "start_test" record.
  struct Test {
    std::optional<std::string> test_class;
    std::string test_name;
  };
  // From a "django_request" record.
  struct Request {
    std::string method;
    std::string path_info;
  };
  // From a "django_response" record: the decimal text of its status code.
  struct Response {
    std::string status_code;
  };

  std::variant<Test, Request, Response> data;
  // Frame index of the record in its store.
  std::uint64_t position = 0;

  // Sum of the byte lengths of the observation's texts.
  std::uint64_t text_len() const noexcept;
};

class TraceNameIndex {
 public:
  static constexpr std::size_t kMaxObservations = 64;
  static constexpr std::uint64_t kMaxTextBytes = 65536;

  // A new index is enabled and empty.
  TraceNameIndex() : observations_(std::in_place) {}
  static TraceNameIndex single(TraceNameObservation observation);

  bool enabled() const noexcept { return observations_.has_value(); }
  // Sorted by position; null when disabled.
  const std::vector<TraceNameObservation>* observations() const noexcept {
    return observations_ ? &*observations_ : nullptr;
  }
  std::vector<TraceNameObservation>* observations() noexcept { return observations_ ? &*observations_ : nullptr; }
  std::uint64_t text_bytes() const noexcept { return text_bytes_; }

  // For the frame store when it moves observations between stores: sets
  // text_bytes to the sum over the observations.
  void recount_text_bytes() noexcept;
  // The index no longer describes its store; names must come from decoding.
  // Final.
  void disable() noexcept {
    observations_.reset();
    text_bytes_ = 0;
  }
  // Takes `other`'s observations in; past the limits (64 observations,
  // 65,536 text bytes) or with either side disabled, disables this index.
  void merge(TraceNameIndex other);

 private:
  std::optional<std::vector<TraceNameObservation>> observations_;
  std::uint64_t text_bytes_ = 0;
};

}  // namespace vesh::store
