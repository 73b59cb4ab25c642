#include "store/io_error.h"

#include <cerrno>
#include <cstring>

namespace vesh::store {

namespace {

IoKind kind_of_errno(int errnum) {
  switch (errnum) {
    case EEXIST: return IoKind::AlreadyExists;
    case ENOENT: return IoKind::NotFound;
    case EACCES:
    case EPERM: return IoKind::PermissionDenied;
    case EPIPE: return IoKind::BrokenPipe;
    case ETIMEDOUT: return IoKind::TimedOut;
    case EINTR: return IoKind::Interrupted;
    case EINVAL: return IoKind::InvalidInput;
    default: return IoKind::Other;
  }
}

}  // namespace

IoError IoError::from_errno(int errnum) { return IoError{kind_of_errno(errnum), errnum, {}}; }

IoError IoError::last_os_error() { return from_errno(errno); }

std::string IoError::description() const {
  if (os_errno == 0) return message;
  char buf[256];
  // GNU strerror_r returns the text, which may or may not live in buf.
  return strerror_r(os_errno, buf, sizeof buf);
}

std::string IoError::text() const {
  if (os_errno == 0) return message;
  return description() + " (os error " + std::to_string(os_errno) + ")";
}


IoError width_error() { return IoError::make(IoKind::InvalidData, "v3 field exceeds its declared width"); }

py::PyError to_python(const IoError& error) {
  if (error.os_errno != 0) {
    const std::string description = error.description();
    py::Ref made = py::Ref::steal(PyObject_CallFunction(PyExc_OSError, "is", error.os_errno, description.c_str()));
    if (!made) return py::PyError::fetch();
    return py::PyError(std::move(made));
  }
  PyObject* type = PyExc_OSError;
  switch (error.kind) {
    case IoKind::TimedOut: type = PyExc_TimeoutError; break;
    case IoKind::BrokenPipe: type = PyExc_BrokenPipeError; break;
    case IoKind::AlreadyExists: type = PyExc_FileExistsError; break;
    case IoKind::NotFound: type = PyExc_FileNotFoundError; break;
    case IoKind::PermissionDenied: type = PyExc_PermissionError; break;
    case IoKind::Interrupted: type = PyExc_InterruptedError; break;
    default: break;
  }
  return py::PyError::make(type, error.text());
}

}  // namespace vesh::store
