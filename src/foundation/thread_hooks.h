// Per-thread hook state: may this OS thread be recorded right now?
//
// Every event callback of both recorders reads STATE first, so it is a plain
// initial-exec thread-local byte: the check is one load and a bit test.
//   bit 0  worker mark: one of vesh's own background threads
//   bit 1  suspension: a tracer runs Python code of its own on the thread
//   bit 2  waiting: the thread's WAITING list holds an entry with bits set
// Recording is skipped while STATE & 3 is non-zero.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

namespace vesh::hooks {

inline constexpr std::uint8_t kWorker = 1;
inline constexpr std::uint8_t kSuspended = 2;
inline constexpr std::uint8_t kWaiting = 4;
inline constexpr std::uint8_t kSkipRecording = kWorker | kSuspended;

extern thread_local std::uint8_t STATE __attribute__((tls_model("initial-exec")));

inline bool recording_blocked() noexcept { return (STATE & kSkipRecording) != 0; }

// Identity of one monitoring tracer that may hold pending assignment work on
// threads. Entries in threads' waiting lists keep the alive flag, never the
// owner, so an owner can die while threads still list it.
class AssignmentOwner {
 public:
  AssignmentOwner();
  ~AssignmentOwner();
  AssignmentOwner(const AssignmentOwner&) = delete;
  AssignmentOwner& operator=(const AssignmentOwner&) = delete;

  const std::shared_ptr<std::atomic<bool>>& alive() const noexcept { return alive_; }
  std::uint64_t id() const noexcept { return id_; }
  void set_alive(bool value) noexcept { alive_->store(value, std::memory_order_release); }

 private:
  std::shared_ptr<std::atomic<bool>> alive_;
  std::uint64_t id_;
};

// Sets or clears `bits` of the calling thread's entry for the owner.
void set_assignment(const std::shared_ptr<std::atomic<bool>>& owner_flag, std::uint64_t owner_id,
                    std::uint8_t bits, bool set);

// Forgets the calling thread's entries whose owner has died.
void drop_dead_assignments();

// The bits of the calling thread's entry for `owner_id`: 0 when it has none,
// or while the list is being changed.
std::uint8_t assignment_bits(std::uint64_t owner_id) noexcept;

// Marks the calling thread suspended for the guard's lifetime. Nests.
class HookSuspension {
 public:
  HookSuspension() noexcept : was_set_((STATE & kSuspended) != 0) { STATE |= kSuspended; }
  ~HookSuspension() {
    if (!was_set_) STATE &= static_cast<std::uint8_t>(~kSuspended);
  }
  HookSuspension(const HookSuspension&) = delete;
  HookSuspension& operator=(const HookSuspension&) = delete;

 private:
  bool was_set_;
};

// Worker mark of the calling thread; returns the previous mark.
bool set_worker(bool value) noexcept;
// Clears the worker mark and suspension; returns whether the worker mark was set.
bool reset_after_fork() noexcept;

}  // namespace vesh::hooks
