// The process-wide resident budget for items queued to trace writer threads,
// and the writer circuit breaker.
//
// Every chunk or value handed to a writer reserves its size (plus a fixed
// overhead) before it is queued and gives it back once written, so the
// memory waiting for writers stays bounded. A producer that finds the budget
// full waits; if the writers make no progress for the stall timeout while it
// waits, the runtime stalls for good and opens the process circuit.
#pragma once

#include "store/disk_reserve.h"
#include "store/fork_lock.h"
#include "store/io_error.h"
#include "support/result.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>

namespace vesh::store {

inline constexpr std::uint64_t kReservationOverhead = 256;
inline constexpr std::uint64_t kResidentBudget = 16ull * 1024 * 1024;
inline constexpr std::chrono::nanoseconds kStallTimeout = std::chrono::seconds(30);

// Whether the calling thread holds the interpreter lock; a reserve() that has
// to wait releases it for the wait.
enum class GilState : bool { NotHeld = false, Held = true };

class WriterRuntime;
// The budget counters and their lock, one set per process (see
// WriterRuntime::accounting).
struct BudgetAccounting;

// Proof of an admitted reservation; gives its bytes back when destroyed.
class ResidentReservation {
 public:
  ResidentReservation() noexcept = default;
  ResidentReservation(ResidentReservation&& other) noexcept;
  ResidentReservation& operator=(ResidentReservation&& other) noexcept;
  ResidentReservation(const ResidentReservation&) = delete;
  ResidentReservation& operator=(const ResidentReservation&) = delete;
  ~ResidentReservation() { release(); }

  std::uint64_t bytes() const noexcept { return bytes_; }
  bool counts_progress() const noexcept { return counts_progress_; }
  // Set by the writer once the item this reservation travels with is written.
  void mark_written() noexcept { counts_progress_ = true; }
  // Gives the bytes back now (idempotent).
  void release() noexcept;
  explicit operator bool() const noexcept { return runtime_ != nullptr; }

 private:
  friend class WriterRuntime;
// The budget counters and their lock, one set per process (see
// WriterRuntime::accounting).
  std::shared_ptr<WriterRuntime> runtime_;
  std::uint64_t bytes_ = 0;
  bool counts_progress_ = false;
  // The budget accounting the bytes were taken from; reservations inherited
  // from a parent process give nothing back to the child's accounting.
  const BudgetAccounting* accounting_ = nullptr;
};

class WriterRuntime : public std::enable_shared_from_this<WriterRuntime> {
 public:
  // The process runtime opens the process circuit; tests make their own
  // runtimes with a short timeout, a circuit of their own and a smaller cap
  // on the free space writers leave on their filesystem.
  explicit WriterRuntime(std::chrono::nanoseconds stall_timeout = kStallTimeout, bool opens_process_circuit = false,
                         std::uint64_t filesystem_reserve_cap = kFilesystemReserveCap);
  WriterRuntime(const WriterRuntime&) = delete;
  WriterRuntime& operator=(const WriterRuntime&) = delete;

  // Admits `bytes` + 256 (saturating) into the budget, waiting while it is
  // full; fails with the stall error once the runtime has stalled. With
  // GilState::Held the interpreter lock is released while waiting and taken
  // back before returning.
  Result<ResidentReservation, IoError> reserve(std::uint64_t bytes, GilState gil);
  // The same without waiting: nullopt (nothing taken) when the budget has no
  // room for `bytes` now.
  Result<std::optional<ResidentReservation>, IoError> try_reserve(std::uint64_t bytes);

  bool stalled() const noexcept { return stalled_.load(std::memory_order_acquire); }
  // The cap of the free space the writers of this runtime leave on their
  // trace file's filesystem (see DiskReserve).
  std::uint64_t filesystem_reserve_cap() const noexcept { return filesystem_reserve_cap_; }

  // Writer-thread side: marks `exited` under the state lock and wakes every
  // waiter. Never fails.
  void announce_exit(std::atomic<bool>& exited) noexcept;
  // Waits (without a time limit, without the interpreter lock) until
  // `exited` is set or the runtime stalls; returns whether it exited.
  bool wait_until_exited(const std::atomic<bool>& exited);

  // Snapshot of the accounting of the calling process, for diagnostics.
  std::uint64_t resident();
  std::uint64_t progress();

  ~WriterRuntime();

 private:
  friend class ResidentReservation;
  BudgetAccounting* accounting();
  BudgetAccounting* replace_accounting(BudgetAccounting* seen);
  Result<void, IoError> wait_for_room(BudgetAccounting& acc, std::unique_lock<std::mutex>& lock, std::uint64_t request);
  ResidentReservation admit(BudgetAccounting& acc, std::uint64_t request);
  void give_back(const BudgetAccounting* accounting, std::uint64_t bytes, bool counts_progress) noexcept;
  IoError stall(BudgetAccounting& acc);

  const std::chrono::nanoseconds stall_timeout_;
  const bool opens_process_circuit_;
  const std::uint64_t filesystem_reserve_cap_;
  std::atomic<bool> stalled_{false};
  // The accounting of the process that uses the runtime. A forked child gets
  // fresh accounting on first use: the parent's counts include bytes held by
  // threads and writer queues that do not exist in the child, and its lock
  // may be held by one of them. The stalled flag is inherited.
  std::atomic<BudgetAccounting*> accounting_;
};

// The process-wide runtime, made on first use.
std::shared_ptr<WriterRuntime> writer_runtime();

// TimedOut: the writer stopped making progress while the queue was full.
IoError stall_error();
// TimedOut: a capture was given up because the circuit opened; names the
// recovered prefix file when there is one.
IoError circuit_open_error(const std::optional<std::filesystem::path>& recovered_prefix);

}  // namespace vesh::store
