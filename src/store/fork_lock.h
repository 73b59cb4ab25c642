// Locks and stamps that know which process they belong to.
//
// After fork() only the forking thread exists in the child; a lock held by
// any other parent thread would stay held there for ever. An at-fork child
// handler counts forks, so that objects stamped with the count can tell
// that they are being used in a forked child and start afresh.
#pragma once

#include "py/gil_mutex.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

namespace vesh::store {

// Forks seen along this process's line of descent since the handler was
// registered (advanced in the child of every fork).
extern std::atomic<std::uint64_t> PROCESS_FORK_GENERATION;
// -1 until the handler registration ran; then 0, or pthread_atfork's error.
extern std::atomic<std::int32_t> PROCESS_ATFORK_STATUS;

struct ProcessForkGeneration {
  // Registers the child handler once per process image; concurrent first
  // callers wait for the registration to finish.
  static void register_handler();
};

// The at-fork child handler.
void advance_process_fork_generation() noexcept;

// A nonzero tag naming the calling process: its fork generation when the
// handler is registered, else its process id.
std::uint64_t process_tag() noexcept;

// Takes a spin guard word that holds the tag of its holder's process (0 when
// free). A hold by another process's thread (we are its forked child, where
// that thread does not exist) is taken over.
void take_process_guard(std::atomic<std::uint64_t>& guard, std::uint64_t tag) noexcept;

// Identifies the process an object was made in: the fork generation when the
// handler is registered, else the process id.
struct ForkStamp {
  std::uint64_t generation = 0;
  std::int32_t pid = 0;
  bool uses_generation = false;

  // A stamp of the calling process (does not register the handler).
  static ForkStamp current() noexcept;
  // Whether the stamp was made in the calling process. Never registers and
  // never changes the stamp's form.
  bool matches_this_process() const noexcept;
};

// Held while the inner lock of a ForkAwareMutex is locked; keeps the inner
// lock alive even if the mutex replaces it meanwhile.
class ForkAwareGuard {
 public:
  ForkAwareGuard(std::shared_ptr<std::mutex> inner, std::unique_lock<std::mutex> lock) noexcept
      : inner_(std::move(inner)), lock_(std::move(lock)) {}
  ForkAwareGuard(ForkAwareGuard&&) noexcept = default;
  ForkAwareGuard& operator=(ForkAwareGuard&&) noexcept = default;
  ~ForkAwareGuard() {
    // Unlock before the last reference to the lock can go.
    if (lock_.owns_lock()) lock_.unlock();
  }

 private:
  std::shared_ptr<std::mutex> inner_;
  std::unique_lock<std::mutex> lock_;
};

// A lock that hands every process its own inner lock: the first user in a
// forked child gets a fresh, unlocked one whatever the parent's state was.
class ForkAwareMutex {
 public:
  ForkAwareMutex();
  ForkAwareMutex(const ForkAwareMutex&) = delete;
  ForkAwareMutex& operator=(const ForkAwareMutex&) = delete;

  // The inner lock of the calling process, replaced first when it belongs to
  // another one. The caller locks it and keeps the handle while holding it.
  std::shared_ptr<std::mutex> for_this_process();

  // Locks the inner lock of this process. With `holds_gil` the caller holds
  // the interpreter lock, which is released while the lock is contended.
  ForkAwareGuard lock(bool holds_gil);
  // Locks the inner lock of this process only if it is free now.
  std::optional<ForkAwareGuard> try_lock();

 private:
  // The guard over the fields below: a spin word holding the tag of the
  // process whose thread holds it (0 when free). A holder that belongs to
  // another process cannot exist here, so its hold is taken over; this keeps
  // the guard itself from deadlocking a child forked while it was held.
  std::atomic<std::uint64_t> guard_{0};
  bool poisoned_ = false;
  ForkStamp stamp_;
  std::shared_ptr<std::mutex> inner_;
};

// A std::mutex that a forked child makes anew, even when a thread of the
// parent held it at the fork (that thread does not exist in the child).
// Cheap enough for every event: a lock compares the process tag the mutex
// was made for with the caller's, and only the first lock in a forked child
// makes it anew (no thread of the child can have waited on the old one, as
// every thread meets the tag first). The old one is never destroyed: it may
// be locked.
class ForkRenewedMutex {
 public:
  ForkRenewedMutex();
  ForkRenewedMutex(const ForkRenewedMutex&) = delete;
  ForkRenewedMutex& operator=(const ForkRenewedMutex&) = delete;
  ~ForkRenewedMutex() { std::destroy_at(mutex_); }

  void lock() { current().lock(); }
  bool try_lock() noexcept { return current().try_lock(); }
  void unlock() noexcept { mutex_->unlock(); }

 private:
  std::mutex& current() noexcept {
    const std::uint64_t tag = process_tag();
    if (made_for_.load(std::memory_order_acquire) != tag) [[unlikely]]
      renew(tag);
    return *mutex_;
  }
  void renew(std::uint64_t tag) noexcept;

  alignas(std::mutex) unsigned char storage_[sizeof(std::mutex)];
  std::mutex* mutex_;
  std::atomic<std::uint64_t> made_for_{0};
  std::atomic<std::uint64_t> renewing_{0};
};

// A value that interpreter threads share, as py::GilMutex guards it, whose
// lock a forked child gets afresh. Holders may wait (for another lock, for
// budget room) only while the value is whole, so that the child finds it as
// that thread left it.
template <typename T>
using ForkAwareGilMutex = py::BasicGilMutex<T, ForkRenewedMutex>;

}  // namespace vesh::store
