// Internal faults and the one boundary between C++ and CPython.
//
// A broken invariant inside the system throws vesh::Fault (or anything else:
// std::bad_alloc, a library exception). No C++ exception may cross into
// CPython, so every entry point CPython calls is wrapped:
//   * functions and methods turn the fault into the private PanicException
//     (a BaseException subclass, so ordinary `except Exception` handlers in
//     the caller do not swallow it);
//   * event callbacks catch it themselves and report it once through the
//     unraisable hook (error_reporting's report_panic).
#pragma once

#include "py/ref.h"

#include <cxxabi.h>

#include <exception>
#include <stdexcept>
#include <string>

namespace vesh {

class Fault : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

[[noreturn]] void fault(const std::string& message);

// A failed expectation: the expectation's text, ": ", and what went wrong.
[[noreturn]] void expect_failed(const char* expectation, const std::string& detail);

}  // namespace vesh

namespace vesh::py {

// The private exception type internal faults surface as (never a module
// attribute). Created on first use.
PyObject* panic_exception_type();

// The text of the exception being handled in a catch block: the fault
// message, "out of memory" for bad_alloc, what() otherwise, or "unknown panic"
// for anything that is not a std::exception.
std::string current_fault_message() noexcept;

// Sets PanicException(message) as the current Python exception.
void set_panic(const std::string& message) noexcept;

// Converts the exception being handled into the current Python exception.
// Only valid inside a catch block.
void set_panic_from_current() noexcept;

// A thread that CPython ends with pthread_exit (a daemon thread taking the
// interpreter lock back while the interpreter finalizes) unwinds as
// abi::__forced_unwind. It must pass through every catch-all, and no frame it
// crosses may be noexcept: either aborts the whole process. Put this before
// every catch (...) whose try block can run Python code.
#define VESH_LET_THREAD_EXIT_PASS \
  catch (abi::__forced_unwind&) { throw; }

// Wraps a METH_FASTCALL|METH_KEYWORDS implementation returning Ref.
template <Ref (*Fn)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*)>
PyObject* fastcall(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  try {
    return Fn(self, args, nargs, kwnames).release();
  }
  VESH_LET_THREAD_EXIT_PASS
  catch (...) {
    set_panic_from_current();
    return nullptr;
  }
}

// Wraps a METH_NOARGS implementation returning Ref.
template <Ref (*Fn)(PyObject*)>
PyObject* noargs(PyObject* self, PyObject*) {
  try {
    return Fn(self).release();
  }
  VESH_LET_THREAD_EXIT_PASS
  catch (...) {
    set_panic_from_current();
    return nullptr;
  }
}

// Wraps a getter returning Ref.
template <Ref (*Fn)(PyObject*)>
PyObject* getter(PyObject* self, void*) {
  try {
    return Fn(self).release();
  }
  VESH_LET_THREAD_EXIT_PASS
  catch (...) {
    set_panic_from_current();
    return nullptr;
  }
}

}  // namespace vesh::py
