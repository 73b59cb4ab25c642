// Configuration map and the max_value_mb byte budget.
#include "foundation/config.h"
#include "python_helpers.h"

#include <gtest/gtest.h>

using vesh::testing::eval;
using vesh::testing::take_error;

namespace {

std::optional<std::uint64_t> budget_of(const std::string& dict_expr, bool& ok) {
  vesh::py::Ref dict = eval(dict_expr);
  std::optional<std::uint64_t> out = 12345;
  ok = vesh::resolve_max_value_bytes(dict.get(), out);
  return out;
}

}  // namespace

TEST(MaxValueBytes, AcceptedSettings) {
  struct Case {
    const char* dict;
    std::optional<std::uint64_t> bytes;
  };
  for (const Case& c : {Case{"{}", 67108864ull}, Case{"{'max_value_mb': None}", std::nullopt},
                        Case{"{'max_value_mb': False}", std::nullopt}, Case{"{'max_value_mb': 0.5}", 524288ull},
                        Case{"{'max_value_mb': 1}", 1048576ull}, Case{"{'max_value_mb': 0}", 0ull},
                        Case{"{'max_value_mb': -0.0}", 0ull},
                        Case{"{'max_value_mb': 2**43 - 1}", (1ull << 63) - (1ull << 20)},
                        Case{"{'max_value_mb': type('F', (float,), {})(2.0)}", 2097152ull}}) {
    bool ok = false;
    auto bytes = budget_of(c.dict, ok);
    ASSERT_TRUE(ok) << c.dict;
    EXPECT_EQ(bytes, c.bytes) << c.dict;
  }
}

TEST(MaxValueBytes, RefusedSettings) {
  for (const char* dict : {"{'max_value_mb': True}", "{'max_value_mb': -1}", "{'max_value_mb': '10'}",
                           "{'max_value_mb': float('nan')}", "{'max_value_mb': float('inf')}",
                           "{'max_value_mb': 10**400}", "{'max_value_mb': 2**43}",
                           "{'max_value_mb': __import__('decimal').Decimal(1)}"}) {
    bool ok = true;
    budget_of(dict, ok);
    EXPECT_FALSE(ok) << dict;
    EXPECT_EQ(take_error(PyExc_ValueError), "max_value_mb must be a non-negative number or false") << dict;
  }
}

TEST(Config, TypedLookups) {
  vesh::py::Ref dict = eval("{'lightweight_repr': True, 'omit_return_locals': 1, 'sqlite_busy_timeout': 5,"
                            " 'neg': -1, 'flt': 2.5, 'big': 2**64 - 1}");
  auto config = vesh::Config::create(dict.get());
  ASSERT_TRUE(config.has_value());
  bool flag = false;
  ASSERT_TRUE(config->get_or_bool("lightweight_repr", flag));
  EXPECT_TRUE(flag);
  ASSERT_TRUE(config->get_or_bool("line_events", flag));
  EXPECT_FALSE(flag);
  EXPECT_FALSE(config->get_or_bool("omit_return_locals", flag));
  take_error(PyExc_TypeError);

  std::uint64_t n = 0;
  ASSERT_TRUE(config->get_or_u64("sqlite_busy_timeout", n));
  EXPECT_EQ(n, 5u);
  ASSERT_TRUE(config->get_or_u64("absent", n));
  EXPECT_EQ(n, 60u);
  ASSERT_TRUE(config->get_or_u64("big", n));
  EXPECT_EQ(n, UINT64_MAX);
  EXPECT_FALSE(config->get_or_u64("neg", n));
  take_error(PyExc_OverflowError);
  EXPECT_FALSE(config->get_or_u64("flt", n));
  take_error(PyExc_TypeError);
}

TEST(Config, KeysMustBeStrings) {
  vesh::py::Ref dict = eval("{'a': 1, 2: 'b'}");
  EXPECT_FALSE(vesh::Config::create(dict.get()).has_value());
  take_error(PyExc_TypeError);

  vesh::py::Ref sub = eval("type('D', (dict,), {})(x=[1])");
  auto config = vesh::Config::create(sub.get());
  ASSERT_TRUE(config.has_value());
  EXPECT_TRUE(PyList_Check(config->get("x")));
  EXPECT_EQ(config->get("y"), nullptr);
}
