// The profile-hook tracer's flush settings: "flush_subtree_mb" resolution and
// the estimate threshold derived from it.
#include "subtree_flush.h"
#include "py/ref.h"
#include "python_helpers.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>

using vesh::flush_check_bytes;
using vesh::resolve_flush_subtree_bytes;
using vesh::py::Ref;

namespace {

constexpr std::uint64_t kMiB = 1024 * 1024;

struct EstimateCase {
  std::optional<std::uint64_t> threshold;
  std::uint64_t expected;
};

class FlushEstimate : public ::testing::TestWithParam<EstimateCase> {};

TEST_P(FlushEstimate, LeavesTheLargerOfAnEighthAnd64MiB) {
  EXPECT_EQ(flush_check_bytes(GetParam().threshold), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Thresholds, FlushEstimate,
                         ::testing::Values(EstimateCase{std::nullopt, 0}, EstimateCase{0, 0},
                                           EstimateCase{64 * kMiB, 0}, EstimateCase{64 * kMiB + 1, 1},
                                           EstimateCase{100 * kMiB, 36 * kMiB},
                                           EstimateCase{524'288'000, 524'288'000 - 64 * kMiB},
                                           EstimateCase{1024 * kMiB, 896 * kMiB},
                                           EstimateCase{UINT64_MAX, UINT64_MAX - UINT64_MAX / 8}));

struct ResolveCase {
  const char* config;  // a dict expression
  std::optional<std::uint64_t> expected;
  const char* error;  // substring of the ValueError, or null
};

class FlushThreshold : public ::testing::TestWithParam<ResolveCase> {};

TEST_P(FlushThreshold, ResolvesOrRefuses) {
  Ref config = vesh::testing::eval(GetParam().config);
  ASSERT_TRUE(config);
  std::optional<std::uint64_t> out = 12345;
  bool ok = resolve_flush_subtree_bytes(config.get(), out);
  if (GetParam().error == nullptr) {
    ASSERT_TRUE(ok) << GetParam().config;
    EXPECT_EQ(out, GetParam().expected) << GetParam().config;
  } else {
    ASSERT_FALSE(ok) << GetParam().config;
    EXPECT_NE(vesh::testing::take_error(PyExc_ValueError).find(GetParam().error), std::string::npos);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Settings, FlushThreshold,
    ::testing::Values(
        ResolveCase{"{}", 524'288'000, nullptr}, ResolveCase{"{'flush_subtree_mb': None}", std::nullopt, nullptr},
        ResolveCase{"{'flush_subtree_mb': False}", std::nullopt, nullptr},
        ResolveCase{"{'flush_subtree_mb': 1}", kMiB, nullptr},
        ResolveCase{"{'flush_subtree_mb': 0.5}", 524'288, nullptr},
        ResolveCase{"{'flush_subtree_mb': 0.0000001}", 0, nullptr},
        ResolveCase{"{'flush_subtree_mb': -0.0}", 0, nullptr},
        ResolveCase{"{'flush_subtree_mb': 2**44}", UINT64_MAX, nullptr},
        ResolveCase{"{'flush_subtree_mb': True}", std::nullopt, "flush_subtree_mb = true is not valid"},
        ResolveCase{"{'flush_subtree_mb': -1}", std::nullopt, "must be a non-negative number or false"},
        ResolveCase{"{'flush_subtree_mb': float('nan')}", std::nullopt, "must be a non-negative number or false"},
        ResolveCase{"{'flush_subtree_mb': float('inf')}", std::nullopt, "must be a non-negative number or false"},
        ResolveCase{"{'flush_subtree_mb': 'ten'}", std::nullopt, "must be a non-negative number or false"},
        ResolveCase{"{'flush_subtree_mb': 10**400}", std::nullopt, "must be a non-negative number or false"},
        ResolveCase{"{'flush_subtree_mb': 2**44 + 2**20}", std::nullopt, "too large for this platform"}));

}  // namespace
