// I/O errors of the trace store: a kind and a fixed message, or the
// operating system's error number. They travel as values (Result<T, IoError>)
// and become an OSError subclass only at the Python boundary.
#pragma once

#include "support/utf8.h"

#include "py/error.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace vesh::store {

enum class IoKind : std::uint8_t {
  InvalidData,
  InvalidInput,
  TimedOut,
  BrokenPipe,
  UnexpectedEof,
  WriteZero,
  AlreadyExists,
  NotFound,
  PermissionDenied,
  Interrupted,
  Other,
};

struct IoError {
  IoKind kind = IoKind::Other;
  // Nonzero for an error reported by the operating system.
  int os_errno = 0;
  std::string message;

  static IoError make(IoKind kind, std::string message) { return IoError{kind, 0, std::move(message)}; }
  // The operating system's error `errnum`, its kind derived from the number.
  static IoError from_errno(int errnum);
  // from_errno(errno), read at the call.
  static IoError last_os_error();

  // The display text: the message, or for an OS error its description
  // followed by " (os error N)".
  std::string text() const;
  // The message, or for an OS error its description alone.
  std::string description() const;
};

using vesh::utf8_lossy;

// The width error raised for every field that does not fit its declared size.
IoError width_error();

// The Python exception for `error`: for an operating-system error the
// OSError its number makes (errno and strerror set, the subclass chosen by
// the number); otherwise the OSError subclass of its kind (TimeoutError,
// BrokenPipeError, ...) with the message as its only argument.
py::PyError to_python(const IoError& error);

}  // namespace vesh::store
