// Per-object, per-thread storage.
#include "support/thread_slots.h"

#include <gtest/gtest.h>

#include <functional>
#include <future>
#include <latch>
#include <thread>
#include <vector>

namespace {

struct Counter {
  int value = 0;
};

}  // namespace

TEST(ThreadSlots, EachThreadGetsItsOwnValue) {
  vesh::ThreadSlots<Counter> slots;
  slots.get().value = 7;
  int seen_in_thread = -1;
  std::thread([&] {
    seen_in_thread = slots.get().value;
    slots.get().value = 3;
  }).join();
  EXPECT_EQ(seen_in_thread, 0);
  EXPECT_EQ(slots.get().value, 7);
  int total = 0;
  slots.for_each([&](Counter& c) { total += c.value; });
  EXPECT_EQ(total, 10);
}

TEST(ThreadSlots, ObjectsAreIndependent) {
  vesh::ThreadSlots<Counter> a, b;
  a.get().value = 1;
  EXPECT_EQ(b.get().value, 0);
  EXPECT_EQ(b.find()->value, 0);
  vesh::ThreadSlots<Counter> c;
  EXPECT_EQ(c.find(), nullptr);
}

TEST(ThreadSlots, ReusedThreadIndexStartsFresh) {
  vesh::ThreadSlots<Counter> slots;
  for (int round = 0; round < 5; ++round) {
    int seen = -1;
    std::thread([&] {
      seen = slots.get().value;
      slots.get().value = 100 + round;
    }).join();
    EXPECT_EQ(seen, 0) << "round " << round;
  }
}

TEST(ThreadSlots, ManyConcurrentThreads) {
  vesh::ThreadSlots<Counter> slots;
  std::vector<std::thread> threads;
  // All threads stay alive until every one has counted, so no index is reused.
  std::latch done(64);
  for (int t = 0; t < 64; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 1000; ++i) slots.get().value += 1;
      EXPECT_EQ(slots.get().value, 1000) << t;
      done.arrive_and_wait();
    });
  }
  for (auto& th : threads) th.join();
  int total = 0;
  slots.for_each([&](Counter& c) { total += c.value; });
  EXPECT_EQ(total, 64000);
}

namespace {

// A thread_local of the thread under test, made before the thread's first
// slot lookup, so that its destructor runs after the thread has handed its
// index back.
struct LateExitHook {
  std::function<void()> at_exit;
  ~LateExitHook() {
    if (at_exit) at_exit();
  }
};
thread_local LateExitHook late_exit_hook;

}  // namespace

TEST(ThreadSlots, LookupInALateThreadExitDestructorLeavesANewThreadsValueAlone) {
  vesh::ThreadSlots<Counter> slots;
  std::promise<void> index_freed, newcomer_ready, late_lookup_done;
  std::thread dying([&] {
    late_exit_hook.at_exit = [&] {
      index_freed.set_value();
      newcomer_ready.get_future().wait();
      slots.get().value = 99;  // e.g. Python code run by another library's thread-exit hook
      late_lookup_done.set_value();
    };
    slots.get().value = 1;
  });
  index_freed.get_future().wait();
  bool same = false;
  int value = -1;
  std::thread newcomer([&] {
    Counter* mine = &slots.get();  // takes the index the dying thread gave back
    mine->value = 5;
    newcomer_ready.set_value();
    late_lookup_done.get_future().wait();
    same = slots.find() == mine;
    if (same) value = mine->value;
  });
  newcomer.join();
  dying.join();
  EXPECT_TRUE(same);
  EXPECT_EQ(value, 5);
}
