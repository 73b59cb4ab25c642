// Owning reference to a Python object.
//
// A Ref holds exactly one strong reference and gives it back when it goes out
// of scope. Taking over a new reference and sharing a borrowed one are both
// spelled out at the call site (Ref::steal, Ref::borrow) so that reference
// ownership can be read off the code.
#pragma once

#include <Python.h>

#include <string_view>
#include <utility>

namespace vesh::py {

// Whether the calling thread is attached to the interpreter. A thread that
// CPython ends with pthread_exit during finalization unwinds detached: the
// references its frames still hold are then left alone (the process is
// exiting), since touching them without the interpreter lock could free
// objects under the finalizing main thread.
inline bool thread_attached() noexcept { return _PyThreadState_UncheckedGet() != nullptr; }

// The same for a call that answers a count or a truth value (-1 for a
// failure): an answer that came back with an exception set is -1.
inline Py_ssize_t checked_status(Py_ssize_t answer) noexcept {
  if (answer >= 0 && PyErr_Occurred() != nullptr) [[unlikely]]
    return -1;
  return answer;
}

class Ref {
 public:
  Ref() noexcept = default;
  Ref(std::nullptr_t) noexcept {}
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : ptr_(other.ptr_) { other.ptr_ = nullptr; }
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) {
      PyObject* old = ptr_;
      ptr_ = other.ptr_;
      other.ptr_ = nullptr;
      Py_XDECREF(old);
    }
    return *this;
  }
  ~Ref() {
    if (ptr_ != nullptr && thread_attached()) [[likely]]
      Py_DECREF(ptr_);
  }

  // Takes over a new reference (may be null, e.g. a failed C API call).
  static Ref steal(PyObject* obj) noexcept { return Ref(obj); }
  // Takes over the result of a call that ran Python code. A C function that
  // met an exception and did not clear it (CPython 3.12's weakref repr does
  // this) can return a result with that exception still set; CPython would
  // raise SystemError at whoever returns next. Such a result is a failure:
  // it is dropped and the exception stays, as if the call had failed.
  static Ref checked(PyObject* result) noexcept {
    if (result != nullptr && PyErr_Occurred() != nullptr) [[unlikely]] {
      Py_DECREF(result);
      return Ref();
    }
    return Ref(result);
  }
  // Shares a borrowed reference: adds a reference of our own.
  static Ref borrow(PyObject* obj) noexcept {
    Py_XINCREF(obj);
    return Ref(obj);
  }

  PyObject* get() const noexcept { return ptr_; }
  // Gives the reference up to the caller (for returning to CPython).
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }
  // A second strong reference to the same object.
  Ref clone() const noexcept { return borrow(ptr_); }
  void reset() noexcept { Py_CLEAR(ptr_); }

  explicit operator bool() const noexcept { return ptr_ != nullptr; }
  PyObject* operator->() const noexcept { return ptr_; }

 private:
  explicit Ref(PyObject* obj) noexcept : ptr_(obj) {}
  PyObject* ptr_ = nullptr;
};

// A new reference to None.
inline Ref none() noexcept { return Ref::borrow(Py_None); }

// A new str of the UTF-8 `text`, or a new bytes object of `data`; null with
// the error set when it cannot be made.
inline Ref str_of(std::string_view text) {
  return Ref::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}
inline Ref bytes_of(std::string_view data) {
  return Ref::steal(PyBytes_FromStringAndSize(data.data(), static_cast<Py_ssize_t>(data.size())));
}

// Interned str created once per process and kept for its life.
#define VESH_INTERNED(text)                                       \
  ([]() -> PyObject* {                                            \
    static PyObject* interned_ = PyUnicode_InternFromString(text); \
    return interned_;                                             \
  }())

}  // namespace vesh::py
