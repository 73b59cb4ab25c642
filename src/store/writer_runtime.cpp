#include "store/writer_runtime.h"

#include "py/fault.h"
#include "store/gil_release.h"
#include "store/trace_container.h"
#include "support/saturating.h"

#include <Python.h>

#include <condition_variable>

namespace vesh::store {

struct BudgetAccounting {
  explicit BudgetAccounting(ForkStamp stamp) noexcept : stamp(stamp) {}
  const ForkStamp stamp;
  std::mutex mutex;
  // Announces every change: a release, a stall, a writer's exit.
  std::condition_variable changed;
  std::uint64_t resident = 0;
  std::uint64_t progress = 0;
  bool poisoned = false;
};

namespace {

bool admits(const BudgetAccounting& acc, std::uint64_t request) noexcept {
  return acc.resident == 0 || saturating_add(acc.resident, request) <= kResidentBudget;
}

// Marks the accounting poisoned when a fault unwinds while its lock is held.
struct PoisonOnUnwind {
  BudgetAccounting& acc;
  int exceptions = std::uncaught_exceptions();
  ~PoisonOnUnwind() {
    if (std::uncaught_exceptions() > exceptions) acc.poisoned = true;
  }
};

void check_poison(const BudgetAccounting& acc) {
  if (acc.poisoned) fault("resident budget poisoned");
}

}  // namespace

// ---------------------------------------------------------------------------
// ResidentReservation

ResidentReservation::ResidentReservation(ResidentReservation&& other) noexcept
    : runtime_(std::move(other.runtime_)),
      bytes_(std::exchange(other.bytes_, 0)),
      counts_progress_(std::exchange(other.counts_progress_, false)),
      accounting_(std::exchange(other.accounting_, nullptr)) {}

ResidentReservation& ResidentReservation::operator=(ResidentReservation&& other) noexcept {
  if (this != &other) {
    release();
    runtime_ = std::move(other.runtime_);
    bytes_ = std::exchange(other.bytes_, 0);
    counts_progress_ = std::exchange(other.counts_progress_, false);
    accounting_ = std::exchange(other.accounting_, nullptr);
  }
  return *this;
}

void ResidentReservation::release() noexcept {
  if (runtime_ == nullptr) return;
  std::shared_ptr<WriterRuntime> runtime = std::move(runtime_);
  runtime->give_back(accounting_, bytes_, counts_progress_);
  bytes_ = 0;
  accounting_ = nullptr;
}

// ---------------------------------------------------------------------------
// WriterRuntime

WriterRuntime::WriterRuntime(std::chrono::nanoseconds stall_timeout, bool opens_process_circuit,
                             std::uint64_t filesystem_reserve_cap)
    : stall_timeout_(stall_timeout),
      opens_process_circuit_(opens_process_circuit),
      filesystem_reserve_cap_(filesystem_reserve_cap) {
  ProcessForkGeneration::register_handler();
  accounting_.store(new BudgetAccounting(ForkStamp::current()), std::memory_order_release);
}

WriterRuntime::~WriterRuntime() { delete accounting_.load(std::memory_order_acquire); }

BudgetAccounting* WriterRuntime::accounting() {
  BudgetAccounting* acc = accounting_.load(std::memory_order_acquire);
  if (acc->stamp.matches_this_process()) [[likely]]
    return acc;
  return replace_accounting(acc);
}

BudgetAccounting* WriterRuntime::replace_accounting(BudgetAccounting* seen) {
  auto* fresh = new BudgetAccounting(ForkStamp::current());
  if (accounting_.compare_exchange_strong(seen, fresh, std::memory_order_acq_rel)) {
    // The parent's accounting is left allocated: its lock may be held by a
    // thread that does not exist here, and destroying it is not safe.
    return fresh;
  }
  delete fresh;  // another thread of this process replaced it first
  return seen;
}

Result<ResidentReservation, IoError> WriterRuntime::reserve(std::uint64_t bytes, GilState gil) {
  if (stalled()) return Err{stall_error()};
  const std::uint64_t request = saturating_add(bytes, kReservationOverhead);
  BudgetAccounting& acc = *accounting();
  std::unique_lock<std::mutex> lock(acc.mutex);
  check_poison(acc);
  if (!admits(acc, request)) [[unlikely]] {
    if (gil == GilState::Held) {
      // Never wait for the budget with the interpreter lock: the budget lock
      // is dropped first so that no thread holds it while waiting for the GIL.
      lock.unlock();
      GilRelease released;
      // Declared after `released`, so it is unlocked before the interpreter
      // lock is taken back on every path.
      std::unique_lock<std::mutex> relocked(acc.mutex);
      Result<void, IoError> waited = wait_for_room(acc, relocked, request);
      if (!waited.ok()) return Err{std::move(waited).error()};
      if (stalled()) return Err{stall_error()};
      return admit(acc, request);
    }
    Result<void, IoError> waited = wait_for_room(acc, lock, request);
    if (!waited.ok()) return Err{std::move(waited).error()};
  }
  if (stalled()) return Err{stall_error()};
  return admit(acc, request);
}

Result<std::optional<ResidentReservation>, IoError> WriterRuntime::try_reserve(std::uint64_t bytes) {
  if (stalled()) return Err{stall_error()};
  const std::uint64_t request = saturating_add(bytes, kReservationOverhead);
  BudgetAccounting& acc = *accounting();
  std::lock_guard<std::mutex> lock(acc.mutex);
  check_poison(acc);
  if (!admits(acc, request)) return std::optional<ResidentReservation>();
  return std::optional<ResidentReservation>(admit(acc, request));
}

ResidentReservation WriterRuntime::admit(BudgetAccounting& acc, std::uint64_t request) {
  acc.resident = saturating_add(acc.resident, request);
  ResidentReservation reservation;
  reservation.runtime_ = shared_from_this();
  reservation.bytes_ = request;
  reservation.accounting_ = &acc;
  return reservation;
}

Result<void, IoError> WriterRuntime::wait_for_room(BudgetAccounting& acc, std::unique_lock<std::mutex>& lock,
                                                   std::uint64_t request) {
  PoisonOnUnwind poison{acc};
  check_poison(acc);
  std::uint64_t seen_progress = acc.progress;
  bool deadline_set = false;
  std::chrono::steady_clock::time_point deadline{};
  while (!admits(acc, request)) {
    if (stalled()) return Err{stall_error()};
    auto now = std::chrono::steady_clock::now();
    if (!deadline_set) {
      deadline = now + stall_timeout_;
      deadline_set = true;
    }
    if (now >= deadline) return Err{stall(acc)};
    acc.changed.wait_until(lock, deadline);
    check_poison(acc);
    if (acc.progress != seen_progress) {
      // Only written items restart the clock; releases of unwritten items
      // free room but are not progress.
      seen_progress = acc.progress;
      deadline_set = false;
    }
  }
  return Ok{};
}

IoError WriterRuntime::stall(BudgetAccounting& acc) {
  bool was = stalled_.exchange(true, std::memory_order_acq_rel);
  if (!was && opens_process_circuit_) PROCESS_WRITER_CIRCUIT_OPEN.store(1, std::memory_order_release);
  acc.changed.notify_all();
  return stall_error();
}

void WriterRuntime::give_back(const BudgetAccounting* from, std::uint64_t bytes, bool counts_progress) noexcept {
  BudgetAccounting* acc;
  try {
    acc = accounting();
  } catch (...) {
    return;  // out of memory making a child's accounting: nothing to give back to
  }
  // Bytes reserved in a parent process are not part of this process's count.
  if (acc != from) return;
  std::lock_guard<std::mutex> lock(acc->mutex);
  acc->resident = bytes > acc->resident ? 0 : acc->resident - bytes;
  if (counts_progress) acc->progress += 1;
  acc->changed.notify_all();
}

void WriterRuntime::announce_exit(std::atomic<bool>& exited) noexcept {
  BudgetAccounting* acc;
  try {
    acc = accounting();
  } catch (...) {
    exited.store(true, std::memory_order_release);
    return;
  }
  // A poisoned lock is taken over: the exit must be announced on every path.
  std::lock_guard<std::mutex> lock(acc->mutex);
  exited.store(true, std::memory_order_release);
  acc->changed.notify_all();
}

bool WriterRuntime::wait_until_exited(const std::atomic<bool>& exited) {
  BudgetAccounting& acc = *accounting();
  std::unique_lock<std::mutex> lock(acc.mutex);
  check_poison(acc);
  while (!exited.load(std::memory_order_acquire)) {
    if (stalled()) break;
    acc.changed.wait(lock);
    check_poison(acc);
  }
  return exited.load(std::memory_order_acquire);
}

std::uint64_t WriterRuntime::resident() {
  BudgetAccounting& acc = *accounting();
  std::lock_guard<std::mutex> lock(acc.mutex);
  return acc.resident;
}

std::uint64_t WriterRuntime::progress() {
  BudgetAccounting& acc = *accounting();
  std::lock_guard<std::mutex> lock(acc.mutex);
  return acc.progress;
}

std::shared_ptr<WriterRuntime> writer_runtime() {
  // Never destroyed: writer threads may still use it while the process exits.
  static auto* const RUNTIME = new std::shared_ptr<WriterRuntime>(std::make_shared<WriterRuntime>(kStallTimeout, true));
  return *RUNTIME;
}

IoError stall_error() {
  return IoError::make(IoKind::TimedOut,
                       "Vesh trace writer stopped making progress while its resident queue was full; tracing is "
                       "disabled until process restart");
}

IoError circuit_open_error(const std::optional<std::filesystem::path>& recovered_prefix) {
  if (recovered_prefix) {
    return IoError::make(IoKind::TimedOut,
                         "Vesh trace writer circuit breaker opened; the capture was abandoned and a recovered prefix "
                         "is available at " +
                             utf8_lossy(recovered_prefix->native()) + ". Tracing is disabled until process restart");
  }
  return IoError::make(IoKind::TimedOut,
                       "Vesh trace writer circuit breaker opened before a recoverable prefix could be published; the "
                       "capture was abandoned. Tracing is disabled until process restart");
}

}  // namespace vesh::store
