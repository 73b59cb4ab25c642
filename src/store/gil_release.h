// Releases the interpreter lock for a scope and takes it back on every exit,
// a fault unwinding included.
#pragma once

#include <Python.h>

namespace vesh::store {

class GilRelease {
 public:
  GilRelease() noexcept : saved_(PyEval_SaveThread()) {}
  GilRelease(const GilRelease&) = delete;
  GilRelease& operator=(const GilRelease&) = delete;
  // Not noexcept: a daemon thread that takes the interpreter lock back
  // while the interpreter finalizes is ended right here (pthread_exit), and
  // its unwinding must be let through.
  ~GilRelease() noexcept(false) { PyEval_RestoreThread(saved_); }

 private:
  PyThreadState* saved_;
};

}  // namespace vesh::store
