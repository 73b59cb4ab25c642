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

std::string IoError::text() const {
  if (os_errno == 0) return message;
  char buf[256];
  // GNU strerror_r returns the text, which may or may not live in buf.
  const char* description = strerror_r(os_errno, buf, sizeof buf);
  return std::string(description) + " (os error " + std::to_string(os_errno) + ")";
}

std::string utf8_lossy(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t n = bytes.size();
  std::size_t i = 0;
  while (i < n) {
    unsigned char c = p[i];
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
      ++i;
      continue;
    }
    std::size_t len = 0;
    unsigned char lo = 0x80, hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
      len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      len = 3;
      if (c == 0xE0) lo = 0xA0;
      if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4;
      if (c == 0xF0) lo = 0x90;
      if (c == 0xF4) hi = 0x8F;
    }
    std::size_t taken = 1;
    if (len != 0) {
      while (taken < len && i + taken < n) {
        unsigned char b = p[i + taken];
        unsigned char min = taken == 1 ? lo : 0x80, max = taken == 1 ? hi : 0xBF;
        if (b < min || b > max) break;
        ++taken;
      }
    }
    if (len != 0 && taken == len) {
      out.append(bytes.substr(i, len));
    } else {
      out.append("\xEF\xBF\xBD");
    }
    i += taken;
  }
  return out;
}

IoError width_error() { return IoError::make(IoKind::InvalidData, "v3 field exceeds its declared width"); }

py::PyError to_python(const IoError& error) {
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
