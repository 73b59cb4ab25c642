// The stack guard's decisions, driven by injected remaining-stack figures.
// Every scenario runs on a fresh thread, so it starts with an empty guard.
#include "foundation/stack_guard.h"

#include "support/native_stack.h"

#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <string>
#include <thread>
#include <vector>

using vesh::StackDecision;
using vesh::StackEvent;

namespace {

constexpr std::size_t KiB = 1024;

void on_fresh_thread(const std::function<void()>& body) {
  std::thread thread([&] {
    body();
    vesh::native_stack::set_override_for_thread(std::nullopt);
  });
  thread.join();
}

void set_remaining(std::optional<std::size_t> bytes) { vesh::native_stack::set_override_for_thread(bytes); }

const char* name(StackDecision d) {
  switch (d) {
    case StackDecision::Record:
      return "Record";
    case StackDecision::OmitValues:
      return "OmitValues";
    case StackDecision::Skip:
      return "Skip";
  }
  return "?";
}

enum class Op { Enter, Exit, Neutral, Unwind };

struct Step {
  Op op;
  vesh::StackKey key;
  std::size_t remaining;
  StackDecision expected;
};

struct Scenario {
  const char* name;
  std::vector<Step> steps;
  std::size_t entries_after;
  std::size_t low_water_after;
};

bool unwind_before_resume(PyObject*, int) { return true; }

class StackGuardTable : public ::testing::TestWithParam<Scenario> {};

}  // namespace

TEST_P(StackGuardTable, Decisions) {
  const Scenario& scenario = GetParam();
  on_fresh_thread([&] {
    int index = 0;
    for (const Step& step : scenario.steps) {
      set_remaining(step.remaining);
      StackDecision got;
      switch (step.op) {
        case Op::Enter:
          got = vesh::check_stack_entry(step.key).decision;
          break;
        case Op::Exit:
          got = vesh::check_stack_exit(step.key).decision;
          break;
        case Op::Neutral:
          got = vesh::check_stack_with(StackEvent::neutral()).decision;
          break;
        case Op::Unwind:
          got = vesh::check_stack_unwind(step.key, nullptr, 0, unwind_before_resume).decision;
          break;
      }
      EXPECT_STREQ(name(got), name(step.expected)) << "step " << index;
      ++index;
    }
    vesh::StackGuardView view = vesh::stack_guard_view();
    EXPECT_EQ(view.entries, scenario.entries_after);
    EXPECT_EQ(view.low_water, scenario.low_water_after);
    EXPECT_FALSE(view.omitting_values);
  });
}

INSTANTIATE_TEST_SUITE_P(
    Guard, StackGuardTable,
    ::testing::Values(
        Scenario{"plenty_of_stack", {{Op::Enter, 1, 1024 * KiB, StackDecision::Record}}, 0, 0},
        Scenario{"tracking_ceiling_records_without_entry",
                 {{Op::Enter, 1, 530 * KiB, StackDecision::Record}}, 0, 0},
        Scenario{"tracked_entry_is_recorded",
                 {{Op::Enter, 1, 300 * KiB, StackDecision::Record}}, 1, 1},
        Scenario{"tracked_pair_records_with_values",
                 {{Op::Enter, 1, 300 * KiB, StackDecision::Record},
                  {Op::Exit, 1, 300 * KiB, StackDecision::Record}},
                 0, 0},
        Scenario{"tracked_pair_exit_omits_values",
                 {{Op::Enter, 1, 300 * KiB, StackDecision::Record},
                  {Op::Exit, 1, 150 * KiB, StackDecision::OmitValues}},
                 0, 0},
        Scenario{"tracked_pair_exit_skipped_when_very_short",
                 {{Op::Enter, 1, 300 * KiB, StackDecision::Record},
                  {Op::Exit, 1, 100 * KiB, StackDecision::Skip}},
                 0, 0},
        Scenario{"short_stack_skips_entry_and_its_stretch",
                 {{Op::Enter, 1, 200 * KiB, StackDecision::Skip},
                  {Op::Enter, 2, 210 * KiB, StackDecision::Skip},
                  {Op::Neutral, 0, 210 * KiB, StackDecision::Skip},
                  {Op::Exit, 9, 210 * KiB, StackDecision::Skip},
                  {Op::Exit, 2, 210 * KiB, StackDecision::Skip},
                  {Op::Exit, 1, 200 * KiB, StackDecision::Skip},
                  {Op::Enter, 3, 300 * KiB, StackDecision::Record}},
                 1, 1},
        Scenario{"skipped_entry_above_recorded_ones",
                 {{Op::Enter, 1, 300 * KiB, StackDecision::Record},
                  {Op::Enter, 2, 280 * KiB, StackDecision::Record},
                  {Op::Enter, 3, 250 * KiB, StackDecision::Skip},
                  {Op::Enter, 4, 260 * KiB, StackDecision::Skip},
                  {Op::Exit, 3, 250 * KiB, StackDecision::Skip},
                  {Op::Exit, 2, 280 * KiB, StackDecision::Record}},
                 1, 1},
        Scenario{"exit_below_low_water_truncates",
                 {{Op::Enter, 1, 300 * KiB, StackDecision::Record},
                  {Op::Enter, 2, 200 * KiB, StackDecision::Skip},
                  {Op::Exit, 1, 200 * KiB, StackDecision::Record}},
                 0, 0},
        Scenario{"unknown_exit_on_empty_stack_by_room",
                 {{Op::Exit, 5, 300 * KiB, StackDecision::Record},
                  {Op::Exit, 5, 196608, StackDecision::Record},
                  {Op::Exit, 5, 196607, StackDecision::OmitValues},
                  {Op::Exit, 5, 131072, StackDecision::OmitValues},
                  {Op::Exit, 5, 131071, StackDecision::Skip}},
                 0, 0},
        Scenario{"neutral_by_room",
                 {{Op::Neutral, 0, 262144, StackDecision::Record},
                  {Op::Neutral, 0, 262143, StackDecision::Skip}},
                 0, 0},
        Scenario{"stale_entry_is_pruned",
                 {{Op::Enter, 1, 300 * KiB, StackDecision::Record},
                  {Op::Neutral, 0, 300 * KiB + 32 * KiB, StackDecision::Record},
                  {Op::Neutral, 0, 300 * KiB + 32 * KiB + 1, StackDecision::Record}},
                 0, 0},
        Scenario{"pruning_ends_a_skipped_stretch",
                 {{Op::Enter, 1, 200 * KiB, StackDecision::Skip},
                  {Op::Enter, 2, 300 * KiB, StackDecision::Record}},
                 1, 1},
        Scenario{"unwind_in_band_before_resume_is_skipped_untouched",
                 {{Op::Enter, 1, 300 * KiB, StackDecision::Record},
                  {Op::Unwind, 1, 300 * KiB, StackDecision::Skip},
                  {Op::Unwind, 1, 544 * KiB - 1, StackDecision::Skip}},
                 1, 1},
        Scenario{"unwind_outside_band_is_decided_normally",
                 {{Op::Enter, 1, 300 * KiB, StackDecision::Record},
                  {Op::Unwind, 1, 1024 * KiB, StackDecision::Record}},
                 0, 0},
        Scenario{"unwind_below_band_is_decided_normally",
                 {{Op::Enter, 1, 300 * KiB, StackDecision::Record},
                  {Op::Unwind, 1, 128 * KiB - 1, StackDecision::Skip},
                  {Op::Enter, 2, 300 * KiB, StackDecision::Record}},
                 1, 1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(StackGuard, UnwindAsksOnlyInsideTheBand) {
  static int calls = 0;
  static PyObject* seen_code = nullptr;
  static int seen_offset = -1;
  auto answer_false = [](PyObject* code, int offset) {
    ++calls;
    seen_code = code;
    seen_offset = offset;
    return false;
  };
  on_fresh_thread([&] {
    PyObject* fake_code = reinterpret_cast<PyObject*>(0x1000);
    set_remaining(1024 * KiB);
    EXPECT_EQ(vesh::check_stack_unwind(1, fake_code, 8, answer_false).decision, StackDecision::Record);
    EXPECT_EQ(calls, 0);
    set_remaining(300 * KiB);
    EXPECT_EQ(vesh::check_stack_entry(1).decision, StackDecision::Record);
    // Not before the first RESUME: the exit pops its entry as usual.
    EXPECT_EQ(vesh::check_stack_unwind(1, fake_code, 8, answer_false).decision, StackDecision::Record);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(seen_code, fake_code);
    EXPECT_EQ(seen_offset, 8);
    EXPECT_EQ(vesh::stack_guard_view().entries, 0u);
  });
}

TEST(StackGuard, UnknownLimit) {
  on_fresh_thread([] {
    set_remaining(std::nullopt);
    EXPECT_EQ(vesh::check_stack_entry(1).decision, StackDecision::Record);
    EXPECT_EQ(vesh::check_stack_with(StackEvent::neutral()).decision, StackDecision::Record);
    EXPECT_TRUE(vesh::room_to_flush());
    EXPECT_EQ(vesh::stack_guard_view().entries, 0u);
  });
}

TEST(StackGuard, RoomToFlush) {
  on_fresh_thread([] {
    set_remaining(196608);
    EXPECT_TRUE(vesh::room_to_flush());
    set_remaining(196607);
    EXPECT_FALSE(vesh::room_to_flush());
  });
  // The real measurement of this thread.
  EXPECT_TRUE(vesh::room_to_flush());
  ASSERT_TRUE(vesh::native_stack::remaining());
  EXPECT_GT(*vesh::native_stack::remaining(), 0u);
}

TEST(StackGuard, OmittingFlagIsPutBack) {
  on_fresh_thread([] {
    set_remaining(150 * KiB);
    vesh::StackCheck outer = vesh::check_stack_exit(1);
    ASSERT_EQ(outer.decision, StackDecision::OmitValues);
    ASSERT_TRUE(outer.omitting);
    EXPECT_FALSE(outer.omitting->previous());
    EXPECT_TRUE(vesh::omitting_values());

    // A nested callback with room records with values, then restores.
    set_remaining(300 * KiB);
    {
      vesh::StackCheck inner = vesh::check_stack_with(StackEvent::neutral());
      EXPECT_EQ(inner.decision, StackDecision::Record);
      ASSERT_TRUE(inner.omitting);
      EXPECT_TRUE(inner.omitting->previous());
      EXPECT_FALSE(vesh::omitting_values());
      inner.omitting->restore();
      EXPECT_TRUE(vesh::omitting_values());
    }
    EXPECT_TRUE(vesh::omitting_values());  // restore() ran once only

    // Skip leaves the flag alone.
    set_remaining(100 * KiB);
    vesh::StackCheck skipped = vesh::check_stack_with(StackEvent::neutral());
    EXPECT_EQ(skipped.decision, StackDecision::Skip);
    EXPECT_FALSE(skipped.omitting);
    EXPECT_TRUE(vesh::omitting_values());

    outer.omitting->restore();
    EXPECT_FALSE(vesh::omitting_values());

    // A result dropped without restore (a callback unwinding on a fault)
    // puts the flag back as well.
    set_remaining(150 * KiB);
    { vesh::StackCheck dropped = vesh::check_stack_exit(2); EXPECT_TRUE(vesh::omitting_values()); }
    EXPECT_FALSE(vesh::omitting_values());
  });
}

TEST(StackGuard, ForgetEntry) {
  on_fresh_thread([] {
    set_remaining(300 * KiB);
    EXPECT_EQ(vesh::check_stack_entry(1).decision, StackDecision::Record);
    vesh::forget_entry(2);  // not the top's key
    EXPECT_EQ(vesh::stack_guard_view().entries, 1u);
    vesh::forget_entry(1);
    EXPECT_EQ(vesh::stack_guard_view().entries, 0u);
    EXPECT_EQ(vesh::stack_guard_view().low_water, 0u);

    // A skipped entry is not forgotten: its exit must still be skipped.
    set_remaining(200 * KiB);
    EXPECT_EQ(vesh::check_stack_entry(3).decision, StackDecision::Skip);
    vesh::forget_entry(3);
    EXPECT_EQ(vesh::stack_guard_view().entries, 1u);
    EXPECT_EQ(vesh::check_stack_exit(3).decision, StackDecision::Skip);
  });
}
