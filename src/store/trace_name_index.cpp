#include "store/trace_name_index.h"

#include <algorithm>
#include <limits>

namespace vesh::store {

std::uint64_t TraceNameObservation::text_len() const noexcept {
  struct Len {
    std::uint64_t operator()(const Test& t) const noexcept {
      return (t.test_class ? t.test_class->size() : 0) + t.test_name.size();
    }
    std::uint64_t operator()(const Request& r) const noexcept { return r.method.size() + r.path_info.size(); }
    std::uint64_t operator()(const Response& r) const noexcept { return r.status_code.size(); }
  };
  return std::visit(Len{}, data);
}

TraceNameIndex TraceNameIndex::single(TraceNameObservation observation) {
  TraceNameIndex index;
  index.text_bytes_ = observation.text_len();
  index.observations_->push_back(std::move(observation));
  return index;
}

void TraceNameIndex::recount_text_bytes() noexcept {
  std::uint64_t total = 0;
  if (observations_) {
    for (const auto& o : *observations_) {
      std::uint64_t len = o.text_len();
      total = total > std::numeric_limits<std::uint64_t>::max() - len ? std::numeric_limits<std::uint64_t>::max()
                                                                      : total + len;
    }
  }
  text_bytes_ = total;
}

void TraceNameIndex::merge(TraceNameIndex other) {
  if (!enabled() || !other.enabled()) {
    disable();
    return;
  }
  const std::size_t n = observations_->size() + other.observations_->size();
  const std::uint64_t t = text_bytes_ > std::numeric_limits<std::uint64_t>::max() - other.text_bytes_
                              ? std::numeric_limits<std::uint64_t>::max()
                              : text_bytes_ + other.text_bytes_;
  if (n > kMaxObservations || t > kMaxTextBytes) {
    disable();
    return;
  }
  auto& mine = *observations_;
  for (auto& o : *other.observations_) mine.push_back(std::move(o));
  std::stable_sort(mine.begin(), mine.end(),
                   [](const TraceNameObservation& a, const TraceNameObservation& b) { return a.position < b.position; });
  text_bytes_ = t;
}

}  // namespace vesh::store
