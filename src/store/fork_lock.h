// Locks and stamps that know which process they belong to.
//
// After fork() only the forking thread exists in the child; a lock held by
// any other parent thread would stay held there for ever. An at-fork child
// handler counts forks, so that objects stamped with the count can tell
// that they are being used in a forked child and start afresh.
#pragma once

#include "py/fault.h"

#include <atomic>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

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

// A value that interpreter threads share, like py::GilMutex (waiting
// releases the interpreter lock; a fault unwinding through a guard poisons
// it: every later lock is the internal fault "<name> mutex poisoned"), whose
// lock a forked child gets afresh even when a parent thread held it at the
// fork. Holders may wait (for another lock, for budget room) only while the
// value is whole, so that the child finds it as that thread left it.
template <typename T>
class ForkAwareGilMutex {
 public:
  class Guard {
   public:
    Guard(ForkAwareGilMutex* owner, ForkAwareGuard inner) noexcept
        : owner_(owner), inner_(std::move(inner)), exceptions_(std::uncaught_exceptions()) {}
    Guard(Guard&& other) noexcept
        : owner_(std::exchange(other.owner_, nullptr)), inner_(std::move(other.inner_)), exceptions_(other.exceptions_) {}
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;
    // Poisons before the lock is let go.
    ~Guard() {
      if (owner_ != nullptr && std::uncaught_exceptions() > exceptions_) owner_->poisoned_ = true;
    }
    T& operator*() const noexcept { return owner_->value_; }
    T* operator->() const noexcept { return &owner_->value_; }

   private:
    ForkAwareGilMutex* owner_;
    ForkAwareGuard inner_;
    int exceptions_;
  };

  template <typename... Args>
  explicit ForkAwareGilMutex(const char* name, Args&&... args) : name_(name), value_(std::forward<Args>(args)...) {}
  ForkAwareGilMutex(const ForkAwareGilMutex&) = delete;
  ForkAwareGilMutex& operator=(const ForkAwareGilMutex&) = delete;

  // Must be called with the interpreter lock held.
  Guard lock() { return lock(nullptr); }
  // As lock(), reporting a poisoned value with a text of the caller's.
  Guard lock(const char* poisoned_message) {
    Guard guard(this, mutex_.lock(true));
    if (poisoned_) {
      fault(poisoned_message != nullptr ? std::string(poisoned_message) : std::string(name_) + " mutex poisoned");
    }
    return guard;
  }

 private:
  const char* name_;
  ForkAwareMutex mutex_;
  bool poisoned_ = false;
  T value_;
};

}  // namespace vesh::store
