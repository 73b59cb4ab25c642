// A thread as a trace remembers it, without keeping its thread object alive.
//
// Every trace carries one record per thread that recorded into it: its
// name, ids, daemon flag and whether it is alive, read from its
// threading.Thread object when the trace is saved. Holding that object until
// the save would change the program: whatever the object keeps (its
// attributes, the values threading.local holds for the thread, which are
// freed when the object dies) would outlive the thread for as long as the
// recorder runs between saves. So a tracer holds a weak reference and the
// facts read when the thread was registered: a save reads a thread whose
// object lives as it always did, and writes the last known facts of one the
// program has let go (which has ended, as the interpreter keeps the object
// of every running thread).
//
// An object that cannot be weakly referenced, or whose facts cannot be read
// when it is registered, is held strongly instead, so that the save reads it
// (and fails on it) exactly as before.
//
// Made, read and released with the interpreter lock held.
#pragma once

#include <Python.h>

#include "py/ref.h"
#include "store/runtime_metadata.h"

#include <absl/container/flat_hash_map.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace vesh::store {

// The facts of a per-thread record besides whether the thread is alive.
struct ThreadFacts {
  std::string name;
  std::optional<std::uint64_t> ident;
  std::optional<std::uint64_t> native_id;
  bool daemon = false;
};

// Reads `name` (a str), `ident` and `native_id` (missing, None or not an
// unsigned 64-bit integer: nullopt, the error dropped) and `daemon` (a
// bool), in that order; the first failure is returned.
PyResult<ThreadFacts> read_thread_facts(PyObject* thread);
// thread.is_alive(), which must answer a bool. A dummy thread (one threading
// did not start) that refuses to answer has ended: its is_alive() raises once
// its thread is gone, as it is in a forked child.
PyResult<bool> read_is_alive(PyObject* thread);

class RecordedThread {
 public:
  // Registers `thread` (borrowed). Never fails; see the header comment.
  static std::shared_ptr<const RecordedThread> of(PyObject* thread);

  // A new reference to the thread object while the program holds it; null
  // once it is gone.
  py::Ref object() const;
  // Whether the program has let the thread object go.
  bool gone() const;
  // The facts read at registration (meaningful only when held weakly).
  const ThreadFacts& last_known() const noexcept { return facts_; }

  RecordedThread(py::Ref held, bool weak, ThreadFacts facts)
      : held_(std::move(held)), weak_(weak), facts_(std::move(facts)) {}
  RecordedThread(const RecordedThread&) = delete;
  RecordedThread& operator=(const RecordedThread&) = delete;

 private:
  py::Ref held_;  // a weak reference to the thread object, or the object itself
  bool weak_ = false;
  ThreadFacts facts_;
};

// Shared by the tracer's thread map, its per-thread caches and the inputs
// of a save; immutable, so sharing needs no lock.
using SharedThread = std::shared_ptr<const RecordedThread>;

// Thread key -> the thread, as tracers hand their threads to a save.
using ThreadObjects = absl::flat_hash_map<std::string, SharedThread>;

}  // namespace vesh::store
