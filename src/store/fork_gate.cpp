#include "store/fork_gate.h"

#include "foundation/error_reporting.h"
#include "py/fault.h"
#include "py/import.h"
#include "py/ref.h"
#include "store/gil_release.h"

#include <Python.h>
#include <pthread.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <new>
#include <string>

namespace vesh::store {

namespace {

using py::Ref;

// Save scopes open on this thread.
thread_local std::uint32_t DEPTH __attribute__((tls_model("initial-exec"))) = 0;
// Whether this thread is between the before and after hooks of its fork.
thread_local bool FORKING __attribute__((tls_model("initial-exec"))) = false;

// The lock and the condition live in place and are never destroyed: a forked
// child makes them anew over whatever state the parent's threads left them
// in. The lock is held only for a few counts, never while waiting for the
// interpreter lock.
class Gate {
 public:
  Gate() : mutex_(new (mutex_storage_) std::mutex()), changed_(new (changed_storage_) std::condition_variable()) {}
  Gate(const Gate&) = delete;
  Gate& operator=(const Gate&) = delete;

  // A thread's outermost save begins (interpreter lock held).
  void open() {
    const auto deadline = std::chrono::steady_clock::now() + kForkWait;
    auto fork_done = [this] { return forking_ == 0; };
    std::unique_lock held(*mutex_);
    while (!fork_done() && !FORKING) {
      if (std::chrono::steady_clock::now() >= deadline) {
        went_on_ = true;
        break;
      }
      held.unlock();
      {
        GilRelease released;
        std::unique_lock waiting(*mutex_);
        changed_->wait_until(waiting, deadline, fork_done);
      }
      // Another fork may have begun before the interpreter lock came back.
      held.lock();
    }
    ++saving_;
    if (FORKING) ++forking_saving_;
  }

  void close() noexcept {
    {
      std::lock_guard held(*mutex_);
      --saving_;
      if (FORKING) --forking_saving_;
    }
    changed_->notify_all();
  }

  // Interpreter lock held; released while it waits.
  void before_fork() {
    FORKING = true;
    std::unique_lock held(*mutex_);
    ++forking_;
    if (DEPTH > 0) ++forking_saving_;
    auto others_done = [this] { return saving_ == forking_saving_; };
    if (others_done()) return;
    held.unlock();
    GilRelease released;
    std::unique_lock waiting(*mutex_);
    if (!changed_->wait_for(waiting, kForkWait, others_done)) went_on_ = true;
  }

  // Whether the parent has yet to say that a fork and a save overlapped.
  bool after_fork_in_parent() noexcept {
    if (!FORKING) return false;
    bool tell = false;
    {
      std::lock_guard held(*mutex_);
      --forking_;
      if (DEPTH > 0) --forking_saving_;
      tell = went_on_ && !told_;
      told_ = told_ || went_on_;
    }
    FORKING = false;
    changed_->notify_all();
    return tell;
  }

  // Only the forking thread exists in the child.
  void renew_in_child() noexcept {
    mutex_ = new (mutex_storage_) std::mutex();
    changed_ = new (changed_storage_) std::condition_variable();
    saving_ = DEPTH > 0 ? 1 : 0;
    forking_ = 0;
    forking_saving_ = 0;
    went_on_ = false;
    told_ = false;
    FORKING = false;
  }

 private:
  alignas(std::mutex) unsigned char mutex_storage_[sizeof(std::mutex)];
  alignas(std::condition_variable) unsigned char changed_storage_[sizeof(std::condition_variable)];
  std::mutex* mutex_;
  std::condition_variable* changed_;
  std::uint32_t saving_ = 0;          // threads with a save in flight
  std::uint32_t forking_ = 0;         // threads between their fork's hooks
  std::uint32_t forking_saving_ = 0;  // of those, the ones with a save in flight
  bool went_on_ = false;              // a fork and a save overlapped past kForkWait
  bool told_ = false;
};

Gate GATE;

extern "C" void renew_gate_in_child() { GATE.renew_in_child(); }

Ref before_fork(PyObject*) {
  GATE.before_fork();
  return py::none();
}

Ref after_fork_in_parent(PyObject*) {
  if (GATE.after_fork_in_parent()) {
    log_warning("Vesh let a fork and a save overlap after waiting " + std::to_string(kForkWait.count()) +
                " s for one of them to finish; the child's own saves may wait on what that save held");
  }
  return py::none();
}

PyMethodDef kBeforeFork = {"vesh_before_fork", reinterpret_cast<PyCFunction>(py::noargs<before_fork>), METH_NOARGS,
                           nullptr};
PyMethodDef kAfterForkInParent = {"vesh_after_fork_in_parent",
                                  reinterpret_cast<PyCFunction>(py::noargs<after_fork_in_parent>), METH_NOARGS,
                                  nullptr};

}  // namespace

bool register_fork_gate() {
  // Both only ever change under the interpreter lock.
  static bool child_handler = false;
  static bool registered = false;
  if (registered) return true;
  if (!child_handler) {
    if (int status = pthread_atfork(nullptr, nullptr, &renew_gate_in_child); status != 0) {
      errno = status;
      PyErr_SetFromErrno(PyExc_OSError);
      return false;
    }
    child_handler = true;
  }
  // logging's own before-fork hook takes the module lock that a save which
  // logs needs. Hooks run before a fork newest first: logging's registers
  // first, so that ours has waited for the saves before it runs.
  Ref logging = py::import_module("logging");
  Ref os = logging ? py::import_module("os") : Ref();
  Ref before = os ? Ref::steal(PyCFunction_New(&kBeforeFork, nullptr)) : Ref();
  Ref after = before ? Ref::steal(PyCFunction_New(&kAfterForkInParent, nullptr)) : Ref();
  Ref names = after ? Ref::steal(Py_BuildValue("(ss)", "before", "after_in_parent")) : Ref();
  if (!names) return false;
  PyObject* args[] = {os.get(), before.get(), after.get()};
  if (!Ref::steal(PyObject_VectorcallMethod(VESH_INTERNED("register_at_fork"), args, 1, names.get()))) return false;
  registered = true;
  return true;
}

SaveInFlight::SaveInFlight() {
  if (DEPTH == 0) GATE.open();
  ++DEPTH;
}

SaveInFlight::~SaveInFlight() {
  if (--DEPTH == 0) GATE.close();
}

}  // namespace vesh::store
