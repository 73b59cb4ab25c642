// Unsigned byte counts that stop at their ends instead of wrapping: a sum
// past the top stays at the top, a difference below zero stays at zero, so
// that a budget or a running count is never turned into a small number.
#pragma once

#include <cstdint>
#include <limits>

namespace vesh {

inline std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) noexcept {
  const std::uint64_t sum = a + b;
  return sum < a ? std::numeric_limits<std::uint64_t>::max() : sum;
}

inline std::uint64_t saturating_sub(std::uint64_t a, std::uint64_t b) noexcept { return a > b ? a - b : 0; }

}  // namespace vesh
