#include "foundation/stack_guard.h"

#include "py/fault.h"
#include "support/native_stack.h"
#include "support/saturating.h"

#include <algorithm>
#include <limits>
#include <vector>

namespace vesh {

namespace {

using namespace stack_limits;

// What the fast path reads: trivially destructible, so it stays readable
// for the whole life of the thread.
struct FastState {
  bool omitting_values;
  bool has_entries;
};
thread_local FastState FAST __attribute__((tls_model("initial-exec")));

struct Entry {
  StackKey key;
  std::size_t remaining;  // stack left when the entry was pushed
};

// Entries of entry events seen while the stack was short, deepest last.
// Entries below low_water were recorded; those at and above it belong to
// skipped entry events.
struct GuardStack {
  std::vector<Entry> entries;
  std::size_t low_water = 0;
  bool borrowed = false;
};

thread_local bool GUARD_STACK_GONE = false;

struct GuardStackHolder {
  GuardStack stack;
  ~GuardStackHolder() {
    GUARD_STACK_GONE = true;
    FAST.has_entries = false;
  }
};

GuardStack& guard_stack() {
  if (GUARD_STACK_GONE) [[unlikely]]
    fault("stack guard used after its thread's storage was destroyed");
  thread_local GuardStackHolder holder;
  return holder.stack;
}

// Exclusive use of the thread's entries for one decision.
class Borrow {
 public:
  Borrow() : stack_(guard_stack()) {
    if (stack_.borrowed) fault("stack guard already in use on this thread");
    stack_.borrowed = true;
  }
  ~Borrow() {
    FAST.has_entries = !stack_.entries.empty();
    stack_.borrowed = false;
  }
  Borrow(const Borrow&) = delete;
  Borrow& operator=(const Borrow&) = delete;
  GuardStack* operator->() const noexcept { return &stack_; }
  GuardStack& operator*() const noexcept { return stack_; }

 private:
  GuardStack& stack_;
};

std::size_t measure_remaining() noexcept {
  // Unknown bounds count as unlimited.
  return native_stack::remaining().value_or(std::numeric_limits<std::size_t>::max());
}

StackDecision decide_by_room(std::size_t remaining) noexcept {
  if (remaining >= kFullRecord) return StackDecision::Record;
  if (remaining >= kOmit) return StackDecision::OmitValues;
  return StackDecision::Skip;
}

StackDecision decide(GuardStack& g, StackEventKind kind, StackKey key, std::size_t remaining) {
  auto& entries = g.entries;

  // Entries pushed when the stack was much shorter than now belong to frames
  // that have gone without an exit we saw.
  bool pruned = false;
  while (!entries.empty() && saturating_add(entries.back().remaining, kHysteresis) < remaining) {
    entries.pop_back();
    pruned = true;
  }
  if (pruned) g.low_water = std::min(g.low_water, entries.size());

  switch (kind) {
    case StackEventKind::Enter:
      if (remaining < kShortStack || entries.size() > g.low_water) {
        entries.push_back({key, remaining});
        return StackDecision::Skip;
      }
      if (remaining >= kTrackingCeiling) return StackDecision::Record;
      entries.push_back({key, remaining});
      g.low_water = entries.size();
      return StackDecision::Record;

    case StackEventKind::Exit: {
      for (std::size_t i = entries.size(); i-- > 0;) {
        if (entries[i].key != key) continue;
        std::size_t old_low_water = g.low_water;
        entries.resize(i);
        g.low_water = std::min(old_low_water, i);
        if (i >= old_low_water) return StackDecision::Skip;  // its entry was skipped
        return decide_by_room(remaining);
      }
      if (entries.size() > g.low_water) return StackDecision::Skip;  // inside a skipped stretch
      return decide_by_room(remaining);
    }

    case StackEventKind::Neutral:
      return remaining >= kShortStack && entries.size() <= g.low_water ? StackDecision::Record
                                                                         : StackDecision::Skip;
  }
  return StackDecision::Skip;
}

struct UnwindSite {
  PyObject* code;
  int instruction_offset;
  BeforeFirstResume before_first_resume;
};

StackDecision near_end_decision(StackEvent event, std::size_t remaining, const UnwindSite* unwind) {
  // Asked before the entries are borrowed: the answer may run Python code.
  if (unwind != nullptr && event.kind == StackEventKind::Exit && remaining >= kOmit &&
      remaining < kFastPathFloor && unwind->before_first_resume != nullptr &&
      unwind->before_first_resume(unwind->code, unwind->instruction_offset)) {
    return StackDecision::Skip;
  }
  Borrow guard;
  return decide(*guard, event.kind, event.key, remaining);
}

[[gnu::noinline]] StackCheck check_near_end(StackEvent event, std::size_t remaining, const UnwindSite* unwind) {
  switch (near_end_decision(event, remaining, unwind)) {
    case StackDecision::Skip:
      return {StackDecision::Skip, event, std::nullopt};
    case StackDecision::OmitValues: {
      bool previous = FAST.omitting_values;
      FAST.omitting_values = true;
      return {StackDecision::OmitValues, event, OmittingValues(previous)};
    }
    case StackDecision::Record:
      break;
  }
  if (FAST.omitting_values) {
    FAST.omitting_values = false;
    return {StackDecision::Record, event, OmittingValues(true)};
  }
  return {StackDecision::Record, event, std::nullopt};
}

inline StackCheck check(StackEvent event, const UnwindSite* unwind) {
  std::size_t remaining = measure_remaining();
  if (remaining >= kFastPathFloor && !FAST.omitting_values && !FAST.has_entries) [[likely]] {
    return {StackDecision::Record, event, std::nullopt};
  }
  return check_near_end(event, remaining, unwind);
}

}  // namespace

void OmittingValues::restore() noexcept {
  if (!pending_) return;
  pending_ = false;
  FAST.omitting_values = previous_;
}

StackCheck check_stack_with(StackEvent event) { return check(event, nullptr); }

StackCheck check_stack_unwind(StackKey key, PyObject* code, int instruction_offset,
                              BeforeFirstResume before_first_resume) {
  UnwindSite site{code, instruction_offset, before_first_resume};
  return check(StackEvent::exit(key), &site);
}

void forget_entry(StackKey key) {
  if (!FAST.has_entries) return;
  Borrow guard;
  auto& entries = guard->entries;
  if (!entries.empty() && entries.size() - 1 < guard->low_water && entries.back().key == key) {
    entries.pop_back();
    guard->low_water = entries.size();
  }
}

bool room_to_flush() { return measure_remaining() >= kFullRecord; }

bool omitting_values() noexcept { return FAST.omitting_values; }

StackGuardView stack_guard_view() {
  if (GUARD_STACK_GONE) return {0, 0, FAST.omitting_values};
  const GuardStack& g = guard_stack();
  return {g.entries.size(), g.low_water, FAST.omitting_values};
}

}  // namespace vesh
