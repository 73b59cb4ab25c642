// The monitor's trace-point markers after a subtree flush.
#include <gtest/gtest.h>

#include "monitor/monitoring.h"

#include <vector>

namespace vesh::monitor {
namespace {

MarkerKind point(std::uint64_t index) { return MarkerKind{true, index, 7}; }

std::vector<std::pair<bool, std::uint64_t>> shown(const std::vector<MarkerKind>& markers) {
  std::vector<std::pair<bool, std::uint64_t>> out;
  for (const MarkerKind& m : markers) out.emplace_back(m.trace_point, m.start_index);
  return out;
}

TEST(FlushMarkers, TracePointsInTheRangeGoAndThoseAfterFollowTheirRecords) {
  struct Case {
    const char* name;
    std::uint64_t start, end;
    std::vector<MarkerKind> markers;
    std::vector<MarkerKind> expected;
  };
  const Case cases[] = {
      {"a range of ten records",
       10,
       20,
       {point(5), MarkerKind::boundary(), point(10), point(19), point(20), point(25)},
       {point(5), MarkerKind::boundary(), point(11), point(16)}},
      {"a range of one record", 4, 5, {point(3), point(4), point(5), point(9)}, {point(3), point(5), point(9)}},
      {"boundaries stay", 0, 9, {MarkerKind::boundary(), MarkerKind::boundary()},
       {MarkerKind::boundary(), MarkerKind::boundary()}},
      {"every trace point inside", 2, 8, {point(2), point(7)}, {}},
  };
  for (const Case& c : cases) {
    std::vector<MarkerKind> markers = c.markers;
    shift_markers_after_flush(markers, c.start, c.end);
    EXPECT_EQ(shown(markers), shown(c.expected)) << c.name;
    for (const MarkerKind& m : markers) {
      if (m.trace_point) EXPECT_EQ(m.generation, 7u) << c.name;
    }
  }
}

}  // namespace
}  // namespace vesh::monitor
