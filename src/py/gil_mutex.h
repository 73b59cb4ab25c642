// A mutex for state shared by interpreter threads.
//
// Threads that hold the interpreter lock must never block on a native lock
// while holding it: the owner may itself be waiting for the interpreter lock.
// GilMutex tries the lock first and only when it is contended releases the
// interpreter lock while it waits.
//
// A fault (C++ exception) that unwinds through a held guard poisons the
// mutex: the protected state may be half-changed, so every later lock()
// raises a fault naming the lock ("<name> mutex poisoned").
//
// The holder may run Python code (a __repr__ while encoding into a locked
// buffer) that comes back into the system on the same thread and asks for
// the same mutex. Waiting there would hang the thread for good, so such a
// re-lock is the internal fault "<name> mutex already held by this thread".
//
// The native lock is a parameter: a std::mutex (GilMutex), or one that a
// forked child makes anew (store::ForkAwareGilMutex, store/fork_lock.h). It
// needs lock(), try_lock() and unlock().
#pragma once

#include <Python.h>

#include "py/fault.h"

#include <atomic>
#include <cstdint>
#include <exception>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

namespace vesh::py {

namespace gil_mutex_detail {
// Its address names the calling thread, read without a call (unlike
// pthread_self()): a lock on every event pays for it.
inline constinit thread_local char THREAD_MARK __attribute__((tls_model("initial-exec"))) = 0;
}  // namespace gil_mutex_detail

template <typename T, typename Lock = std::mutex>
class BasicGilMutex {
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
      owner_->holder_.store(0, std::memory_order_relaxed);
      owner_->mutex_.unlock();
    }
    T& operator*() const noexcept { return owner_->value_; }
    T* operator->() const noexcept { return &owner_->value_; }

   private:
    friend class BasicGilMutex;
    explicit Guard(BasicGilMutex* owner) noexcept : owner_(owner), exceptions_(std::uncaught_exceptions()) {
      owner_->holder_.store(this_thread(), std::memory_order_relaxed);
    }
    BasicGilMutex* owner_;
    int exceptions_;
  };

  template <typename... Args>
  explicit BasicGilMutex(const char* name, Args&&... args) : name_(name), value_(std::forward<Args>(args)...) {}
  BasicGilMutex(const BasicGilMutex&) = delete;
  BasicGilMutex& operator=(const BasicGilMutex&) = delete;

  // Must be called with the interpreter lock held (it is released while waiting).
  Guard lock() { return lock_reporting(nullptr); }

  // As lock(), for sites that report a poisoned lock with a text of their own.
  Guard lock(const char* poisoned_message) { return lock_reporting(poisoned_message); }

  // The lock if it is free now (no wait); nullopt when another holds it.
  std::optional<Guard> try_lock(const char* poisoned_message) {
    if (!mutex_.try_lock()) return std::nullopt;
    if (poisoned_) {
      mutex_.unlock();
      fault(poisoned_message);
    }
    return std::optional<Guard>(Guard(this));
  }

  // For readers that can use the value as the failed holder left it.
  Guard lock_ignoring_poison() {
    if (!mutex_.try_lock()) {
      refuse_relock();
      Py_BEGIN_ALLOW_THREADS
      mutex_.lock();
      Py_END_ALLOW_THREADS
    }
    return Guard(this);
  }

  // Waits keeping the interpreter lock: for threads that do not hold it, and
  // for a value whose holders never wait for anything while they hold it.
  Guard lock_without_gil() {
    if (!mutex_.try_lock()) {
      refuse_relock();
      mutex_.lock();
    }
    if (poisoned_) {
      mutex_.unlock();
      fault(std::string(name_) + " mutex poisoned");
    }
    return Guard(this);
  }

  bool poisoned() const noexcept { return poisoned_; }

 private:
  static std::uintptr_t this_thread() noexcept {
    return reinterpret_cast<std::uintptr_t>(&gil_mutex_detail::THREAD_MARK);
  }

  // Called when the mutex is taken: a fault if this very thread holds it.
  void refuse_relock() {
    if (holder_.load(std::memory_order_relaxed) == this_thread()) [[unlikely]]
      fault(std::string(name_) + " mutex already held by this thread");
  }

  Guard lock_reporting(const char* poisoned_message) {
    if (!mutex_.try_lock()) {
      refuse_relock();
      Py_BEGIN_ALLOW_THREADS
      mutex_.lock();
      Py_END_ALLOW_THREADS
    }
    if (poisoned_) {
      mutex_.unlock();
      fault(poisoned_message != nullptr ? std::string(poisoned_message) : std::string(name_) + " mutex poisoned");
    }
    return Guard(this);
  }

  const char* name_;
  Lock mutex_;
  // this_thread() of the thread holding the mutex, 0 when free. Only the
  // holder stores its own id, so a thread reads its own id here exactly
  // while it holds the mutex.
  std::atomic<std::uintptr_t> holder_{0};
  bool poisoned_ = false;
  T value_;
};

template <typename T>
using GilMutex = BasicGilMutex<T>;

}  // namespace vesh::py
