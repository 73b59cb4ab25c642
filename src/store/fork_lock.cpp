#include "store/fork_lock.h"

#include "py/fault.h"
#include "store/gil_release.h"

#include <Python.h>
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <new>

namespace vesh::store {

std::atomic<std::uint64_t> PROCESS_FORK_GENERATION{0};
std::atomic<std::int32_t> PROCESS_ATFORK_STATUS{-1};

namespace {

std::once_flag REGISTER_PROCESS_ATFORK;

extern "C" void atfork_child() { advance_process_fork_generation(); }

}  // namespace

std::uint64_t process_tag() noexcept {
  if (PROCESS_ATFORK_STATUS.load(std::memory_order_acquire) == 0)
    return (PROCESS_FORK_GENERATION.load(std::memory_order_relaxed) + 1) << 1;
  return (static_cast<std::uint64_t>(static_cast<std::uint32_t>(getpid())) << 1) | 1;
}

void take_process_guard(std::atomic<std::uint64_t>& guard, std::uint64_t tag) noexcept {
  for (std::uint64_t seen = 0;; seen = 0) {
    if (guard.compare_exchange_weak(seen, tag, std::memory_order_acquire)) return;
    // Held by a thread of another process (we are its forked child): that
    // thread does not exist here.
    if (seen != 0 && seen != tag && guard.compare_exchange_strong(seen, tag, std::memory_order_acquire)) return;
    sched_yield();
  }
}

void ProcessForkGeneration::register_handler() {
  std::call_once(REGISTER_PROCESS_ATFORK, [] {
    int status = pthread_atfork(nullptr, nullptr, &atfork_child);
    PROCESS_ATFORK_STATUS.store(status, std::memory_order_release);
  });
}

void advance_process_fork_generation() noexcept {
  PROCESS_FORK_GENERATION.fetch_add(1, std::memory_order_relaxed);
}

ForkStamp ForkStamp::current() noexcept {
  if (PROCESS_ATFORK_STATUS.load(std::memory_order_acquire) == 0)
    return {PROCESS_FORK_GENERATION.load(std::memory_order_relaxed), 0, true};
  return {0, static_cast<std::int32_t>(getpid()), false};
}

bool ForkStamp::matches_this_process() const noexcept {
  if (uses_generation)
    return pid == 0 && generation == PROCESS_FORK_GENERATION.load(std::memory_order_relaxed);
  return generation == 0 && pid == static_cast<std::int32_t>(getpid());
}

ForkAwareMutex::ForkAwareMutex() {
  ProcessForkGeneration::register_handler();
  stamp_ = ForkStamp::current();
  inner_ = std::make_shared<std::mutex>();
}

std::shared_ptr<std::mutex> ForkAwareMutex::for_this_process() {
  take_process_guard(guard_, process_tag());
  struct Release {
    std::atomic<std::uint64_t>& guard;
    ~Release() { guard.store(0, std::memory_order_release); }
  } release{guard_};
  if (poisoned_) fault("fork-aware mutex poisoned");
  try {
    if (!stamp_.matches_this_process()) {
      ProcessForkGeneration::register_handler();
      auto fresh = std::make_shared<std::mutex>();
      stamp_ = ForkStamp::current();
      // Other holders of the old lock keep their references; it is freed
      // with the last one.
      inner_ = std::move(fresh);
    }
    return inner_;
  } catch (...) {
    poisoned_ = true;
    throw;
  }
}

ForkAwareGuard ForkAwareMutex::lock(bool holds_gil) {
  std::shared_ptr<std::mutex> inner = for_this_process();
  std::unique_lock<std::mutex> held(*inner, std::try_to_lock);
  if (!held.owns_lock()) {
    if (holds_gil) {
      GilRelease released;
      held.lock();
    } else {
      held.lock();
    }
  }
  return ForkAwareGuard(std::move(inner), std::move(held));
}

std::optional<ForkAwareGuard> ForkAwareMutex::try_lock() {
  std::shared_ptr<std::mutex> inner = for_this_process();
  std::unique_lock<std::mutex> held(*inner, std::try_to_lock);
  if (!held.owns_lock()) return std::nullopt;
  return ForkAwareGuard(std::move(inner), std::move(held));
}

ForkRenewedMutex::ForkRenewedMutex() : mutex_(new (storage_) std::mutex()) {
  ProcessForkGeneration::register_handler();
  made_for_.store(process_tag(), std::memory_order_release);
}

void ForkRenewedMutex::renew(std::uint64_t tag) noexcept {
  take_process_guard(renewing_, tag);
  if (made_for_.load(std::memory_order_relaxed) != tag) {
    mutex_ = new (storage_) std::mutex();
    made_for_.store(tag, std::memory_order_release);
  }
  renewing_.store(0, std::memory_order_release);
}

}  // namespace vesh::store
