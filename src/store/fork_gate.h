// No save of ours is in flight across a fork.
//
// A save runs Python code: it imports vesh.db, vesh.version, vesh.git and
// platform, and vesh.db works in SQLite. A fork taken meanwhile hands the
// child that thread's hold on an import's module lock, on SQLite's allocator
// mutex or on a database lock state copied mid-transaction; no thread of the
// child ever lets go of them, and the child's first save of its own waits on
// them for ever. So a fork waits for the saves in progress, and saves that
// would begin meanwhile wait for the fork, as CPython's own modules guard
// their locks:
//   * a "before" hook of os.register_at_fork runs with the interpreter lock
//     held before CPython takes its own fork locks, and releases the
//     interpreter lock while it waits (the saves it waits for need it);
//   * the "after_in_parent" hook lets the held-back saves go;
//   * an at-fork child handler makes the gate afresh in the child, where
//     only the forking thread exists (forks made in C code included).
//
// A SaveInFlight scope covers one save on its thread. Scopes nest; only the
// outermost counts, and only it may wait. The forking thread is never waited
// for (it may fork from inside its own save: a plugin, a repr), and its own
// saves never wait for its fork (the other fork hooks it runs are recorded
// too).
//
// A scope begins before its save takes any lock of its tracer, so that a
// save held back holds none the forking thread could need. Either side may
// still wait on what the other holds: a save in flight on the store whose
// record the forking thread encodes when a repr forks, or on a lock that a
// fork hook run before ours took; the forking thread, in a fork hook run
// after ours, on a lock of the program's own that a held-back thread holds
// while its recorded code flushes. So each waits kForkWait at most, then
// goes on, and the parent says once that a fork and a save overlapped,
// rather than hanging the program.
#pragma once

#include <chrono>

namespace vesh::store {

// How long a fork waits for the saves in progress, and a save for a fork,
// before it goes on.
inline constexpr std::chrono::seconds kForkWait{10};

// Registers the fork hooks once per process (a forked child inherits them).
// Call with the interpreter lock held; false with a Python exception set
// when they cannot be registered.
bool register_fork_gate();

class SaveInFlight {
 public:
  // Call with the interpreter lock held. The outermost scope of a thread
  // waits, with the interpreter lock released, while another thread forks.
  SaveInFlight();
  ~SaveInFlight();
  SaveInFlight(const SaveInFlight&) = delete;
  SaveInFlight& operator=(const SaveInFlight&) = delete;
};

}  // namespace vesh::store
