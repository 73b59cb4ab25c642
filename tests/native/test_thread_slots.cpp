// Per-object, per-thread storage.
#include "support/thread_slots.h"

#include <gtest/gtest.h>

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
