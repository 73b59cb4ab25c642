// Assignments waiting to be written.
//
// An INSTRUCTION event arrives before its store runs, so the callback only
// leaves the store pending on its thread; the thread's next callback of the
// same monitor, whatever its event, reads the bound value and writes the
// "line" record ahead of its own. A store that binds two names
// (STORE_FAST_STORE_FAST) may run Python code between its two bindings (the
// finalizer of the value the first one replaced): a callback raised there
// writes the first name and queues the second until the storing frame has
// moved past the instruction.
//
// The thread's waiting list (foundation/thread_hooks.h) carries this
// monitor's bits: 1 while the pending slot is filled, 2 while the queue holds
// entries. A callback reads them before anything else, so a thread with no
// assignment waiting pays one bit test.
#pragma once

#include <Python.h>

#include "encode/assignment_record.h"
#include "monitor/instruction_cache.h"
#include "py/ref.h"

#include <cstdint>
#include <optional>
#include <vector>

namespace vesh::monitor {

// Bits of this monitor's entry in a thread's waiting list.
inline constexpr std::uint8_t kPendingBit = 1;
inline constexpr std::uint8_t kQueuedBit = 2;

// One store, from its INSTRUCTION event until its record is written.
struct InstructionData {
  encode::LineFrame line;
  SharedNames names;  // shared with the instruction cache, or a queued remainder
  py::Ref frame;      // the frame that runs the store
  std::uint64_t offset = 0;
  Opname kind = Opname::Local;
};

// A thread's assignments for one monitor. Holds Python references: use and
// drop only with the interpreter lock held.
struct PendingAssignments {
  std::optional<InstructionData> pending;
  // Remainders of two-name stores still running, newest last.
  std::vector<InstructionData> queued;
};

}  // namespace vesh::monitor
