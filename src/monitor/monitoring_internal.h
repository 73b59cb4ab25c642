// Types shared by the monitoring tracer's source files.
#pragma once

#include "monitor/monitoring.h"
#include "py/gil_mutex.h"
#include "store/fork_lock.h"
#include "store/frame_store.h"


namespace vesh::monitor {

// One thread's frame store in the current capture, behind its own lock.
struct StoreSlot {
  explicit StoreSlot(store::FrameStore initial)
      : store("thread frame buffer", std::move(initial)), made(store::ForkStamp::current()) {}
  py::GilMutex<store::FrameStore> store;
  // The process the slot was made in. In a forked child, a slot inherited
  // from the parent may stay locked for ever: its thread was stopped by the
  // fork in the middle of an append (the encoder runs Python code while it
  // holds the lock) and does not exist in the child.
  store::ForkStamp made;
};

// Locks a slot for moving its frames out: waits for a slot of this process,
// but never for one inherited across a fork (nullopt when that one is held).
std::optional<py::GilMutex<store::FrameStore>::Guard> lock_for_cut(StoreSlot& slot, const char* poisoned_message);

// A thread's store, locked. The slot is borrowed from the thread's flush
// state, which keeps it while the caller's borrow of that state lasts.
struct LockedStore {
  StoreSlot* slot;
  py::GilMutex<store::FrameStore>::Guard guard;
};

// What push_frame_data appended.
struct PushOutcome {
  std::shared_ptr<const std::string> thread_key;
  std::uint64_t first = 0;
  std::uint64_t end = 0;
  std::uint64_t bytes = 0;          // 0 until the thread's appends are checked
  std::uint64_t running_bytes = 0;  // since subtree tracking was last reset
  std::uint64_t generation = 0;     // of subtree tracking, read with the append
  bool armed = false;
};

// What a save or build takes out of the monitor in one cut.
struct TraceInputs {
  std::string trace_id;
  std::string root_trace_id;
  absl::flat_hash_map<std::string, store::FrameStore> frames;
  store::ThreadObjects threads;
  std::shared_ptr<store::TraceCapture> capture;
  double timestamp = 0;
  std::vector<std::pair<std::uint32_t, store::SharedBytes>> interned_values;
};

py::PyError os_error(const std::string& text);
// The pending Python error (a SystemError when a call failed without one).
py::PyError fetch_error();

}  // namespace vesh::monitor
