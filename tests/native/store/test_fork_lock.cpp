// Fork-aware locks and fork stamps, across real forks.
#include "store/fork_lock.h"
#include "store_test_support.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <thread>

using namespace vesh::store;
using namespace vesh::store::testing;

TEST(ForkAwareMutex, SameInnerLockWithinAProcess) {
  ForkAwareMutex m;
  EXPECT_EQ(m.for_this_process(), m.for_this_process());
  EXPECT_EQ(PROCESS_ATFORK_STATUS.load(), 0);
  EXPECT_TRUE(ForkStamp::current().uses_generation);
}

TEST(ForkAwareMutex, ChildGetsFreshLockWhileAParentThreadHoldsIt) {
  ForkAwareMutex m;
  std::mutex* parent_inner = m.for_this_process().get();
  std::mutex ready_mutex;
  std::condition_variable ready_cv;
  bool held = false, release = false;
  std::thread holder([&] {
    ForkAwareGuard guard = m.lock(false);
    std::unique_lock<std::mutex> lock(ready_mutex);
    held = true;
    ready_cv.notify_all();
    ready_cv.wait(lock, [&] { return release; });
  });
  {
    std::unique_lock<std::mutex> lock(ready_mutex);
    ready_cv.wait(lock, [&] { return held; });
  }
  const std::uint64_t generation = PROCESS_FORK_GENERATION.load();
  int status = run_in_child([&] {
    if (PROCESS_FORK_GENERATION.load() != generation + 1) return 2;
    auto inner = m.for_this_process();
    if (inner.get() == parent_inner) return 3;
    if (!inner->try_lock()) return 4;  // the fresh lock is unlocked
    inner->unlock();
    { ForkAwareGuard guard = m.lock(false); }
    if (m.for_this_process() != inner) return 5;  // replaced once per process
    // A grandchild again gets a fresh lock.
    ForkAwareGuard child_holds = m.lock(false);
    int grandchild = run_in_child([&] {
      auto again = m.for_this_process();
      if (again == inner) return 6;
      ForkAwareGuard guard = m.lock(false);
      return 0;
    });
    return grandchild;
  });
  {
    std::lock_guard<std::mutex> lock(ready_mutex);
    release = true;
  }
  ready_cv.notify_all();
  holder.join();
  EXPECT_EQ(status, 0);
  // The parent keeps its lock after the fork.
  EXPECT_EQ(m.for_this_process().get(), parent_inner);
}

TEST(ForkAwareMutex, ProcessIdStampsWhenRegistrationFailed) {
  int status = run_in_child([] {
    PROCESS_ATFORK_STATUS.store(ENOMEM);  // as if pthread_atfork had failed
    ForkStamp stamp = ForkStamp::current();
    if (stamp.uses_generation || stamp.generation != 0 || stamp.pid != getpid()) return 2;
    if (!stamp.matches_this_process()) return 3;
    ForkAwareMutex m;
    auto inner = m.for_this_process();
    ForkAwareGuard held = m.lock(false);
    return run_in_child([&] {
      if (stamp.matches_this_process()) return 4;  // recognised by the new pid
      if (m.for_this_process() == inner) return 5;
      ForkAwareGuard guard = m.lock(false);
      return 0;
    });
  });
  EXPECT_EQ(status, 0);
}

TEST(ForkStamp, GenerationStampsFailInAChild) {
  ForkAwareMutex registers;  // makes sure the handler is registered
  ForkStamp stamp = ForkStamp::current();
  ASSERT_TRUE(stamp.matches_this_process());
  EXPECT_EQ(run_in_child([&] { return stamp.matches_this_process() ? 1 : 0; }), 0);
  EXPECT_TRUE(stamp.matches_this_process());
}

TEST(ForkAwareMutex, LockReleasesTheInterpreterWhileContended) {
  // The main test thread holds the interpreter lock; a thread that holds the
  // inner lock needs the interpreter before it lets go.
  ForkAwareMutex m;
  std::mutex step;
  std::condition_variable cv;
  bool held = false;
  std::thread holder([&] {
    ForkAwareGuard guard = m.lock(false);
    {
      std::lock_guard<std::mutex> lock(step);
      held = true;
    }
    cv.notify_all();
    PyGILState_STATE gil = PyGILState_Ensure();
    PyGILState_Release(gil);
  });
  {
    std::unique_lock<std::mutex> lock(step);
    cv.wait(lock, [&] { return held; });
  }
  { ForkAwareGuard guard = m.lock(true); }
  holder.join();
}

TEST(ForkAwareGilMutex, AChildLocksItWhileAParentThreadHoldsIt) {
  ForkAwareGilMutex<int> value("forked value", 7);
  std::mutex step;
  std::condition_variable cv;
  bool held = false, release = false;
  std::thread holder([&] {
    auto guard = value.lock_without_gil();
    *guard = 8;
    std::unique_lock<std::mutex> lock(step);
    held = true;
    cv.notify_all();
    cv.wait(lock, [&] { return release; });
  });
  {
    std::unique_lock<std::mutex> lock(step);
    cv.wait(lock, [&] { return held; });
  }
  int status = run_in_child([&] {
    auto guard = value.lock();  // the holder does not exist here
    if (*guard != 8) return 2;
    // A grandchild forked while this process holds it gets it afresh too.
    return run_in_child([&] { return *value.lock() == 8 ? 0 : 3; });
  });
  {
    std::lock_guard<std::mutex> lock(step);
    release = true;
  }
  cv.notify_all();
  holder.join();
  EXPECT_EQ(status, 0);
  // The parent's lock is still its own: released by its holder, not renewed.
  EXPECT_EQ(*value.lock(), 8);
}
