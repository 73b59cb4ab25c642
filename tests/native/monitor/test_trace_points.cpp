// Trace-point markers: an exit takes its own frame's marker, never one a
// boundary hides.
#include <gtest/gtest.h>

#include "monitor/trace_points.h"

#include <optional>
#include <vector>

namespace vesh::monitor {
namespace {

MarkerKind at(std::uint64_t index, FrameKey frame) { return MarkerKind::at_call(index, 1, frame); }

// Start indices of a stack, boundaries as -1.
std::vector<long> indices(const MarkerStack& stack) {
  std::vector<long> out;
  for (const MarkerKind& m : stack) out.push_back(m.is_boundary() ? -1 : static_cast<long>(m.start_index));
  return out;
}

TEST(TakeMarker, TakesTheNewestMarkerOfItsFrameAboveTheTopmostBoundary) {
  struct Case {
    const char* name;
    MarkerStack stack;
    FrameKey frame;
    std::optional<std::uint64_t> taken;
    std::vector<long> left;
  };
  const Case cases[] = {
      {"top", {at(0, 1), at(3, 2)}, 2, 3, {0}},
      // A generator started inside the call still has its marker on top.
      {"below another frame's", {at(0, 1), at(3, 2)}, 1, 0, {3}},
      {"no marker of the frame", {at(0, 1)}, 9, std::nullopt, {0}},
      {"empty", {}, 1, std::nullopt, {}},
      // A frame address reused after a marker was left behind.
      {"newest of two", {at(0, 1), at(5, 1)}, 1, 5, {0}},
      {"hidden by a boundary", {at(0, 1), MarkerKind::boundary(), at(7, 2)}, 1, std::nullopt, {0, -1, 7}},
      {"above a boundary", {MarkerKind::boundary(), at(7, 2)}, 2, 7, {-1}},
  };
  for (const Case& c : cases) {
    MarkerStack stack = c.stack;
    std::optional<MarkerKind> taken = take_marker(stack, c.frame);
    EXPECT_EQ(taken ? std::optional<std::uint64_t>(taken->start_index) : std::nullopt, c.taken) << c.name;
    if (taken) EXPECT_EQ(taken->frame, c.frame) << c.name;
    EXPECT_EQ(indices(stack), c.left) << c.name;
  }
}

}  // namespace
}  // namespace vesh::monitor
