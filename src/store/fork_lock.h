// Locks and stamps that know which process they belong to.
//
// After fork() only the forking thread exists in the child; a lock held by
// any other parent thread would stay held there for ever. An at-fork child
// handler counts forks, so that objects stamped with the count can tell
// that they are being used in a forked child and start afresh.
#pragma once

#include "py/fault.h"

#include <Python.h>

#include <atomic>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
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

// A value that interpreter threads share, like py::GilMutex (waiting
// releases the interpreter lock; a fault unwinding through a guard poisons
// it: every later lock is the internal fault "<name> mutex poisoned"), whose
// lock a forked child gets afresh even when a parent thread held it at the
// fork. Holders may wait (for another lock, for budget room) only while the
// value is whole, so that the child finds it as that thread left it.
//
// Cheap enough for every event: a lock compares the process tag it was made
// for with the caller's, and only the first lock in a forked child makes the
// lock anew (no thread of the child can have waited on the old one, as every
// thread meets the tag first).
template <typename T>
class ForkAwareGilMutex {
 public:
  class Guard {
   public:
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;
    Guard(Guard&& other) noexcept
        : owner_(std::exchange(other.owner_, nullptr)), exceptions_(other.exceptions_) {}
    ~Guard() {
      if (owner_ == nullptr) return;
      if (std::uncaught_exceptions() > exceptions_) owner_->poisoned_ = true;
      owner_->mutex_->unlock();
    }
    T& operator*() const noexcept { return owner_->value_; }
    T* operator->() const noexcept { return &owner_->value_; }

   private:
    friend class ForkAwareGilMutex;
    explicit Guard(ForkAwareGilMutex* owner) noexcept : owner_(owner), exceptions_(std::uncaught_exceptions()) {}
    ForkAwareGilMutex* owner_;
    int exceptions_;
  };

  template <typename... Args>
  explicit ForkAwareGilMutex(const char* name, Args&&... args) : name_(name), value_(std::forward<Args>(args)...) {
    ProcessForkGeneration::register_handler();
    mutex_ = new (storage_) std::mutex();
    made_for_.store(process_tag(), std::memory_order_release);
  }
  ForkAwareGilMutex(const ForkAwareGilMutex&) = delete;
  ForkAwareGilMutex& operator=(const ForkAwareGilMutex&) = delete;
  ~ForkAwareGilMutex() { std::destroy_at(mutex_); }

  // Must be called with the interpreter lock held.
  Guard lock() { return lock(nullptr); }
  // As lock(), reporting a poisoned value with a text of the caller's.
  Guard lock(const char* poisoned_message) {
    const std::uint64_t tag = process_tag();
    if (made_for_.load(std::memory_order_acquire) != tag) [[unlikely]]
      renew(tag);
    if (!mutex_->try_lock()) {
      Py_BEGIN_ALLOW_THREADS
      mutex_->lock();
      Py_END_ALLOW_THREADS
    }
    Guard guard(this);
    if (poisoned_) {
      fault(poisoned_message != nullptr ? std::string(poisoned_message) : std::string(name_) + " mutex poisoned");
    }
    return guard;
  }

 private:
  // First lock in a forked child: the parent's lock may be held by a thread
  // that does not exist here. Its storage is reused without destroying it.
  void renew(std::uint64_t tag) noexcept {
    take_process_guard(renewing_, tag);
    if (made_for_.load(std::memory_order_relaxed) != tag) {
      mutex_ = new (storage_) std::mutex();
      made_for_.store(tag, std::memory_order_release);
    }
    renewing_.store(0, std::memory_order_release);
  }

  const char* name_;
  alignas(std::mutex) unsigned char storage_[sizeof(std::mutex)];
  std::mutex* mutex_ = nullptr;
  std::atomic<std::uint64_t> made_for_{0};
  std::atomic<std::uint64_t> renewing_{0};
  bool poisoned_ = false;
  T value_;
};

}  // namespace vesh::store
