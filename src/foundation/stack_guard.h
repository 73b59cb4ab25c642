// The stack guard: may this event callback record, with how much native
// stack the thread has left?
//
// Callbacks run on the traced program's own stack however deep it recursed.
// At the start of each callback the guard measures the remaining stack and
// answers Record, OmitValues (record, but leave frame values out) or Skip.
// While the stack is short it remembers, per thread, the entry events it
// saw, so that an exit is recorded exactly when its entry was, and the trace
// keeps entries and exits paired.
//
// With plenty of stack (the common case) a check is one measurement against
// the thread's cached stack bounds and two thread-local reads.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <optional>

namespace vesh {

// The address of the object that identifies the frame (code object for the
// monitoring tracer, frame object for the profile hook).
using StackKey = std::uintptr_t;

enum class StackEventKind : std::uint8_t { Enter = 0, Exit = 1, Neutral = 2 };

struct StackEvent {
  StackEventKind kind;
  StackKey key;

  static StackEvent enter(StackKey key) noexcept { return {StackEventKind::Enter, key}; }
  static StackEvent exit(StackKey key) noexcept { return {StackEventKind::Exit, key}; }
  static StackEvent neutral() noexcept { return {StackEventKind::Neutral, 0}; }
};

enum class StackDecision : std::uint8_t { Record = 0, OmitValues = 1, Skip = 2 };

// The thread's omitting-values flag as it was before a check changed it.
// restore() puts it back; a value dropped without restore() puts it back
// too, so a callback that unwinds on a fault leaves the flag as it found it.
// Hold the StackCheck (or its `omitting`) for the whole callback: dropping
// it early puts the flag back before the record is written.
class [[nodiscard]] OmittingValues {
 public:
  explicit OmittingValues(bool previous) noexcept : previous_(previous) {}
  OmittingValues(OmittingValues&& other) noexcept : previous_(other.previous_), pending_(other.pending_) {
    other.pending_ = false;
  }
  OmittingValues& operator=(OmittingValues&&) = delete;
  OmittingValues(const OmittingValues&) = delete;
  ~OmittingValues() { restore(); }

  void restore() noexcept;
  bool previous() const noexcept { return previous_; }

 private:
  bool previous_;
  bool pending_ = true;
};

struct StackCheck {
  StackDecision decision;
  StackEvent event;
  std::optional<OmittingValues> omitting;
};

// Remaining-stack thresholds in bytes.
namespace stack_limits {
inline constexpr std::size_t kFastPathFloor = 557'056;   // 17 x 32 KiB
inline constexpr std::size_t kHysteresis = 32'768;
inline constexpr std::size_t kTrackingCeiling = 524'288;
inline constexpr std::size_t kShortStack = 262'144;
inline constexpr std::size_t kFullRecord = 196'608;
inline constexpr std::size_t kOmit = 131'072;
}  // namespace stack_limits

// Whether an unwind at `instruction_offset` (bytes) lies before the code's
// first RESUME; supplied by the monitoring tracer.
using BeforeFirstResume = bool (*)(PyObject* code, int instruction_offset);

// The general check: any event, decided by the remaining stack.
StackCheck check_stack_with(StackEvent event);
// Entry callbacks (PY_START, PY_THROW, PY_RESUME).
inline StackCheck check_stack_entry(StackKey key) { return check_stack_with(StackEvent::enter(key)); }
// Exit callbacks (PY_YIELD, PY_RETURN).
inline StackCheck check_stack_exit(StackKey key) { return check_stack_with(StackEvent::exit(key)); }
// PY_UNWIND: while 128 KiB to 544 KiB remain, an unwind before the code's
// first RESUME is skipped without touching the entries (its frame never
// started, so no entry was recorded for it).
StackCheck check_stack_unwind(StackKey key, PyObject* code, int instruction_offset,
                              BeforeFirstResume before_first_resume);

// Removes the entry a check just pushed for `key` (a call that turns out to
// be excluded from recording), when it is the top, recorded entry.
void forget_entry(StackKey key);

// Enough stack left to flush a subtree?
bool room_to_flush();

// Set while the current callback records without frame values.
bool omitting_values() noexcept;

// The calling thread's guard, for diagnostics and tests.
struct StackGuardView {
  std::size_t entries;
  std::size_t low_water;
  bool omitting_values;
};
StackGuardView stack_guard_view();

}  // namespace vesh
