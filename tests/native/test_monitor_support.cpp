// Pieces the monitoring tracer is built from: run-time borrows, the code
// metadata cache, the flush threshold and the resume-prefix scan.
#include <Python.h>
#include <gtest/gtest.h>

#include "code_metadata.h"
#include "python_helpers.h"
#include "resume_prefix.h"
#include "subtree_flush.h"
#include "support/borrow_cell.h"

#include <vector>

namespace vesh {
namespace {

using py::Ref;

TEST(BorrowCell, SecondBorrowWhileExclusiveIsAFault) {
  BorrowCell<int> cell;
  {
    auto shared = cell.borrow();
    auto again = cell.borrow();
    EXPECT_THROW(cell.borrow_mut(), Fault);
  }
  auto exclusive = cell.borrow_mut();
  EXPECT_EQ(cell.try_peek(), nullptr);
  EXPECT_THROW(cell.borrow(), Fault);
  EXPECT_THROW(cell.borrow_mut(), Fault);
}

monitor::SharedCodeMetadata record(bool included) {
  auto m = std::make_shared<monitor::CodeEventMetadata>();
  m->included = included;
  return m;
}

TEST(CodeMetadataCache, CountedEntriesAreAdmittedUpTo4096) {
  monitor::CodeMetadataCache cache;
  // 4095 counted entries: one more excluded code is still cached.
  for (std::uintptr_t a = 1; a <= 4095; ++a) cache.insert_excluded(a, Ref::borrow(Py_None));
  EXPECT_TRUE(cache.insert_excluded(5000, Ref::borrow(Py_None)).excluded);
  EXPECT_EQ(cache.counted_entries(), 4096u);
  EXPECT_TRUE(cache.contains(5000));
  // The next one is answered but not cached.
  EXPECT_TRUE(cache.insert_excluded(5001, Ref::borrow(Py_None)).excluded);
  EXPECT_FALSE(cache.contains(5001));
  // Plugin-only records are counted too; included ones always get in.
  auto plugin_only = cache.insert_full(5002, record(false));
  EXPECT_TRUE(plugin_only.is_full());
  EXPECT_FALSE(cache.contains(5002));
  EXPECT_TRUE(cache.insert_full(5003, record(true)).is_full());
  EXPECT_TRUE(cache.contains(5003));
  EXPECT_EQ(cache.full_size(), 1u);
  EXPECT_EQ(cache.size(), 4097u);
  EXPECT_EQ(cache.counted_entries(), 4096u);
}

TEST(CodeMetadataCache, TheFirstEntryForAnAddressWins) {
  monitor::CodeMetadataCache cache;
  auto first = record(true);
  EXPECT_EQ(cache.insert_full(9, first).metadata, first);
  EXPECT_EQ(cache.insert_full(9, record(true)).metadata, first);
  EXPECT_EQ(cache.insert_excluded(9, Ref::borrow(Py_None)).metadata, first);
  cache.insert_excluded(10, Ref::borrow(Py_None));
  EXPECT_TRUE(cache.insert_full(10, record(true)).excluded);
}

struct FlushCase {
  const char* value;  // a Python expression, or null for an absent key
  std::optional<std::uint64_t> bytes;
  std::uint64_t check_bytes;
  const char* error;  // ValueError text
};

class FlushSubtreeSetting : public ::testing::TestWithParam<FlushCase> {};

TEST_P(FlushSubtreeSetting, ResolvesToBytesOrValueError) {
  const FlushCase& c = GetParam();
  Ref dict = c.value ? testing::eval(std::string("{'flush_subtree_mb': ") + c.value + "}")
                     : Ref::steal(PyDict_New());
  std::optional<std::uint64_t> bytes = 12345;
  bool ok = resolve_flush_subtree_bytes(dict.get(), bytes);
  if (c.error) {
    ASSERT_FALSE(ok);
    EXPECT_EQ(testing::take_error(PyExc_ValueError), c.error);
    return;
  }
  ASSERT_TRUE(ok);
  EXPECT_EQ(bytes, c.bytes);
  EXPECT_EQ(flush_check_bytes(bytes), c.check_bytes);
}

constexpr const char* kNonNegative = "flush_subtree_mb must be a non-negative number or false";
constexpr std::uint64_t MiB = 1024 * 1024;

INSTANTIATE_TEST_SUITE_P(
    Table, FlushSubtreeSetting,
    ::testing::Values(FlushCase{nullptr, 500 * MiB, 436 * MiB, nullptr}, FlushCase{"None", {}, 0, nullptr},
                      FlushCase{"False", {}, 0, nullptr}, FlushCase{"0", 0, 0, nullptr},
                      FlushCase{"-0.0", 0, 0, nullptr}, FlushCase{"0.5", 524288, 0, nullptr},
                      FlushCase{"32", 32 * MiB, 0, nullptr}, FlushCase{"100", 100 * MiB, 36 * MiB, nullptr},
                      FlushCase{"1024", 1024 * MiB, 896 * MiB, nullptr},
                      FlushCase{"2**44", UINT64_MAX, UINT64_MAX - UINT64_MAX / 8, nullptr},
                      FlushCase{"2**44 + 1", {}, 0, "flush_subtree_mb is too large for this platform"},
                      FlushCase{"True", {}, 0,
                                "flush_subtree_mb = true is not valid; use false to disable or a non-negative "
                                "number to set the threshold"},
                      FlushCase{"'abc'", {}, 0, kNonNegative}, FlushCase{"-1", {}, 0, kNonNegative},
                      FlushCase{"float('nan')", {}, 0, kNonNegative}, FlushCase{"float('inf')", {}, 0, kNonNegative},
                      FlushCase{"10**400", {}, 0, kNonNegative}));

// Code objects whose bytecode is given unit by unit.
Ref code_with_units(const std::vector<std::pair<const char*, int>>& units) {
  std::string expr = "(lambda: None).__code__.replace(co_code=bytes([";
  for (const auto& [op, arg] : units) {
    expr += std::string("__import__('opcode').opmap['") + op + "'], " + std::to_string(arg) + ", ";
  }
  expr += "]))";
  // replace() checks nothing about the bytes, which is all the scan reads.
  return testing::eval(expr);
}

TEST(ResumePrefix, OffsetsBeforeTheFirstResumeLieInThePrefix) {
  Ref code = code_with_units({{"NOP", 0}, {"NOP", 0}, {"RESUME", 0}, {"NOP", 0}});
  ASSERT_TRUE(code);
  EXPECT_TRUE(monitor::before_first_resume(code.get(), 0));
  EXPECT_TRUE(monitor::before_first_resume(code.get(), 3));  // odd: as the even offset below
  EXPECT_FALSE(monitor::before_first_resume(code.get(), 4));
  EXPECT_FALSE(monitor::before_first_resume(code.get(), 6));
  EXPECT_FALSE(monitor::before_first_resume(code.get(), 8));  // beyond the bytecode
}

TEST(ResumePrefix, ResumeWithArgumentFourDoesNotEndThePrefixButReturnGeneratorDoes) {
  Ref code = code_with_units({{"RESUME", 4}, {"NOP", 0}, {"RESUME", 1}});
  EXPECT_TRUE(monitor::before_first_resume(code.get(), 0));
  EXPECT_TRUE(monitor::before_first_resume(code.get(), 2));
  EXPECT_FALSE(monitor::before_first_resume(code.get(), 4));
  Ref generator = code_with_units({{"RETURN_GENERATOR", 0}, {"NOP", 0}});
  EXPECT_FALSE(monitor::before_first_resume(generator.get(), 0));
  EXPECT_FALSE(monitor::before_first_resume(generator.get(), 2));
  EXPECT_FALSE(monitor::before_first_resume(Py_None, 0));  // no co_code
  EXPECT_EQ(PyErr_Occurred(), nullptr);
}

}  // namespace
}  // namespace vesh
