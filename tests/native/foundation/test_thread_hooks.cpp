// The per-thread hook state byte, suspension guards and the waiting list.
#include "foundation/thread_hooks.h"

#include <gtest/gtest.h>

#include <optional>
#include <thread>

using namespace vesh::hooks;

namespace {

// Runs `fn` on a fresh thread so each case starts from a clean byte and list.
template <typename Fn>
void on_fresh_thread(Fn fn) {
  std::thread(fn).join();
}

}  // namespace

TEST(HookState, FreshThreadReadsZero) {
  on_fresh_thread([] { EXPECT_EQ(STATE, 0); });
}

TEST(HookState, SuspensionGuardsNest) {
  on_fresh_thread([] {
    {
      HookSuspension outer;
      EXPECT_EQ(STATE, kSuspended);
      {
        HookSuspension inner;
        EXPECT_TRUE(recording_blocked());
      }
      EXPECT_EQ(STATE, kSuspended);  // still held by the outer guard
    }
    EXPECT_EQ(STATE, 0);
  });
}

TEST(HookState, SuspensionIsRestoredWhenAnExceptionUnwinds) {
  on_fresh_thread([] {
    try {
      HookSuspension guard;
      throw 1;
    } catch (int) {
    }
    EXPECT_EQ(STATE, 0);
  });
}

TEST(HookState, WorkerMarkAndForkReset) {
  on_fresh_thread([] {
    EXPECT_FALSE(set_worker(true));
    EXPECT_TRUE(set_worker(true));
    HookSuspension guard;
    STATE |= kWaiting;
    EXPECT_TRUE(reset_after_fork());
    EXPECT_EQ(STATE, kWaiting);  // the waiting bit is not the reset's business
    STATE = 0;
  });
}

TEST(WaitingList, SetThenClearKeepsAClearedEntry) {
  on_fresh_thread([] {
    AssignmentOwner owner;
    set_assignment(owner.alive(), owner.id(), 1, true);
    EXPECT_EQ(STATE, kWaiting);
    set_assignment(owner.alive(), owner.id(), 2, true);
    set_assignment(owner.alive(), owner.id(), 1, false);
    EXPECT_EQ(STATE, kWaiting);  // bit 2 still set
    set_assignment(owner.alive(), owner.id(), 2, false);
    EXPECT_EQ(STATE, 0);
    // Clearing an owner that never set anything changes nothing.
    AssignmentOwner other;
    set_assignment(other.alive(), other.id(), 1, false);
    EXPECT_EQ(STATE, 0);
  });
}

TEST(WaitingList, DeadOwnersAreDropped) {
  on_fresh_thread([] {
    std::optional<AssignmentOwner> dying;
    dying.emplace();
    AssignmentOwner living;
    set_assignment(dying->alive(), dying->id(), 1, true);
    dying.reset();
    EXPECT_EQ(STATE, kWaiting);  // not yet noticed
    drop_dead_assignments();
    EXPECT_EQ(STATE, 0);

    set_assignment(living.alive(), living.id(), 2, true);
    living.set_alive(false);  // a session ended
    drop_dead_assignments();
    EXPECT_EQ(STATE, 0);
    living.set_alive(true);
  });
}

TEST(WaitingList, InsertionForAnotherOwnerRemovesDeadEntries) {
  on_fresh_thread([] {
    AssignmentOwner first, second;
    set_assignment(first.alive(), first.id(), 1, true);
    first.set_alive(false);
    set_assignment(second.alive(), second.id(), 2, true);
    // The dead owner's entry was removed on insertion: bringing it back to
    // life does not bring its bits back.
    first.set_alive(true);
    set_assignment(second.alive(), second.id(), 2, false);
    EXPECT_EQ(STATE, 0);
  });
}

TEST(WaitingList, OwnerIdsAreNeverReused) {
  AssignmentOwner a;
  std::uint64_t first = a.id();
  AssignmentOwner b;
  EXPECT_GT(b.id(), first);
}
