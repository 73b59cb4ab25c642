// Pieces the monitoring tracer is built from: run-time borrows, the code
// metadata cache, the flush threshold and the resume-prefix scan.
#include <Python.h>
#include <gtest/gtest.h>

#include "monitor/code_metadata.h"
#include "monitor/monitoring.h"
#include "monitor_test_support.h"
#include "py/heap_type.h"
#include "foundation/thread_hooks.h"
#include "python_helpers.h"
#include "monitor/resume_prefix.h"
#include "store/subtree_flush.h"
#include "store/trace_container.h"
#include "support/borrow_cell.h"

#include <filesystem>
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
                      FlushCase{"32", 32 * MiB, 0, nullptr}, FlushCase{"64", 64 * MiB, 0, nullptr},
                      FlushCase{"64 + 2**-20", 64 * MiB + 1, 1, nullptr},
                      FlushCase{"100", 100 * MiB, 36 * MiB, nullptr},
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

// ---------------------------------------------------------------------------
// The callbacks' answers on threads whose hook state blocks recording.

class SuspendedThread : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::run("exec(compile('def user_function():\\n    x = 1\\n    return x\\n', '/tmp/user_module.py', 'exec'))\n"
                 "import json\n");
    object_ = monitor::testing::make_monitor();
    ASSERT_TRUE(object_);
    user_ = testing::eval("user_function.__code__");
    library_ = testing::eval("json.dumps.__code__");
    saved_state_ = hooks::STATE;
  }
  void TearDown() override { hooks::STATE = saved_state_; }

  monitor::VeshMonitor& monitor() { return monitor::testing::monitor_of(object_); }
  Ref answer(std::uint8_t kind, PyObject* code) {
    return Ref::steal(monitor().callback(kind, code, 0, kind == 0 || kind == 3 ? nullptr : Py_None));
  }
  Ref instruction(PyObject* code, std::uint64_t offset) {
    return Ref::steal(monitor().instruction_callback(code, offset));
  }

  Ref object_, user_, library_;
  std::uint8_t saved_state_ = 0;
};

TEST_F(SuspendedThread, RecordableCodeIsDisabledAndNotedOnlyWhereItCanBe) {
  monitor().set_active(true);
  hooks::STATE |= hooks::kSuspended;
  EXPECT_EQ(answer(2, user_.get()).get(), Py_None);  // PY_UNWIND never disables
  EXPECT_EQ(answer(5, user_.get()).get(), Py_None);  // nor does PY_THROW
  EXPECT_FALSE(monitor().disabled_recordable());
  Ref start = answer(0, user_.get());
  EXPECT_NE(start.get(), Py_None);  // DISABLE
  EXPECT_TRUE(monitor().disabled_recordable());
  EXPECT_EQ(monitor().callbacks_in_flight(), 0u);
}

TEST_F(SuspendedThread, WorkerThreadsAnswerNoneForRecordableCodeAndDisableExcludedCode) {
  monitor().set_active(true);
  hooks::STATE |= hooks::kWorker;
  EXPECT_EQ(answer(0, user_.get()).get(), Py_None);
  EXPECT_EQ(answer(1, user_.get()).get(), Py_None);
  EXPECT_NE(answer(0, library_.get()).get(), Py_None);
  EXPECT_FALSE(monitor().disabled_recordable());
}

TEST_F(SuspendedThread, AnInactiveMonitorNeverDisables) {
  hooks::STATE |= hooks::kSuspended;
  EXPECT_EQ(answer(0, user_.get()).get(), Py_None);
  EXPECT_EQ(answer(0, library_.get()).get(), Py_None);
}

// ---------------------------------------------------------------------------
// INSTRUCTION events: answers on blocked threads, and the in-flight count.

std::uint64_t first_store_offset(const char* function) {
  Ref offset = testing::eval(std::string("next(i.offset for i in __import__('dis').get_instructions(") + function +
                             ") if i.opname.startswith('STORE_'))");
  return offset ? PyLong_AsUnsignedLongLong(offset.get()) : 0;
}

TEST_F(SuspendedThread, InstructionEventsOnBlockedThreadsNeverFillTheCache) {
  monitor().set_active(true);
  const std::uint64_t store = first_store_offset("user_function");
  const std::uint64_t other = store + 2;
  // A worker thread reads the cache only: unknown code answers None.
  hooks::STATE |= hooks::kWorker;
  EXPECT_EQ(instruction(user_.get(), other).get(), Py_None);
  EXPECT_EQ(instruction(library_.get(), 0).get(), monitor().idle_filter().disable());
  hooks::STATE = saved_state_;
  // Disassembled once on this thread, the code's stores are known.
  EXPECT_EQ(instruction(user_.get(), other).get(), monitor().idle_filter().disable());
  hooks::STATE |= hooks::kWorker;
  EXPECT_EQ(instruction(user_.get(), other).get(), monitor().idle_filter().disable());
  EXPECT_EQ(instruction(user_.get(), store).get(), Py_None);
  EXPECT_FALSE(monitor().disabled_recordable());
  // A suspended thread switches every location off, and says so.
  hooks::STATE = saved_state_ | hooks::kSuspended;
  EXPECT_EQ(instruction(user_.get(), store).get(), monitor().idle_filter().disable());
  EXPECT_TRUE(monitor().disabled_recordable());
  EXPECT_EQ(monitor().callbacks_in_flight(), 0u);
}

// A flush error that is only logged switches the callback's location off
// only once the writer circuit is open: otherwise that location, which a
// later event could record, would stay off for good.
TEST_F(SuspendedThread, AFailedFlushDisablesOnlyWhileTheCircuitIsOpen) {
  testing::run("exec(compile('def _pair():\\n    a, b = 1, 2\\n', '/tmp/user_module.py', 'exec'))\n");
  Ref pair = testing::eval("_pair.__code__");
  Ref superinstruction = testing::eval("'STORE_FAST_STORE_FAST' in __import__('dis').opmap");
  if (superinstruction.get() != Py_True) GTEST_SKIP() << "no two-name stores before 3.13";
  PyDict_SetItemString(PyModule_GetDict(PyImport_AddModule("__main__")), "_monitor", object_.get());
  const std::string leave_pending = "_monitor.monitor_instruction(_pair.__code__, " +
                                    std::to_string(first_store_offset("_pair")) + ")\n";
  monitor().set_active(true);
  for (bool open : {false, true}) {
    SCOPED_TRACE(open ? "circuit open" : "circuit closed");
    store::PROCESS_WRITER_CIRCUIT_OPEN.store(open ? 1 : 0);
    // Left pending from a Python frame; the next callback runs in none, so
    // whether the two-name store still runs cannot be told.
    testing::run(leave_pending);
    ASSERT_TRUE(hooks::STATE & hooks::kWaiting);
    Ref answer = this->answer(0, user_.get());
    store::PROCESS_WRITER_CIRCUIT_OPEN.store(0);
    EXPECT_EQ(answer.get(), open ? monitor().idle_filter().disable() : Py_None);
    EXPECT_EQ(monitor().disabled_recordable(), open);
    EXPECT_EQ(PyErr_Occurred(), nullptr);
  }
}

}  // namespace
}  // namespace vesh
