// Pieces the encoder's source files share: scalar writers, the payload of
// extension records and the encoder's private helper types. Not for use
// outside the encoder.
#pragma once

#include "encode/value_serializer.h"
#include "py/fault.h"
#include "support/saturating.h"

#include <msgpack.hpp>

#include <cstring>
#include <initializer_list>
#include <limits>

namespace vesh::encode {

using Packer = msgpack::packer<ByteBuffer>;

inline constexpr std::uint64_t kU32Max = std::numeric_limits<std::uint32_t>::max();

// Exact int within the signed 64-bit range; false (no error set) otherwise.
inline bool exact_int_as_i64(PyObject* value, long long& out) noexcept {
  auto* as_long = reinterpret_cast<PyLongObject*>(value);
  if (PyUnstable_Long_IsCompact(as_long)) [[likely]] {
    out = static_cast<long long>(PyUnstable_Long_CompactValue(as_long));
    return true;
  }
  int overflow = 0;
  out = PyLong_AsLongLongAndOverflow(value, &overflow);
  return overflow == 0;
}

inline void pack_i64(ByteBuffer& buf, long long value) { Packer(buf).pack_int64(value); }

// Always float64: msgpack-cxx's pack_double would write integral doubles as
// integers.
inline void pack_f64(ByteBuffer& buf, PyObject* value) {
  const double number = PyFloat_AS_DOUBLE(value);
  std::uint64_t bits = 0;
  std::memcpy(&bits, &number, sizeof bits);
  char out[9];
  out[0] = static_cast<char>(0xcb);
  bits = __builtin_bswap64(bits);
  std::memcpy(out + 1, &bits, sizeof bits);
  buf.write(out, sizeof out);
}

namespace detail {

using py::Ref;

// The data of one extension record: a str written as its UTF-8 form, or a
// bytes object (possibly a subclass with its own length).
struct Payload {
  Ref obj;
  bool text = false;

  // Data bytes to write; false with a Python error set.
  bool data(std::string_view& out) const {
    if (text) {
      Py_ssize_t size = 0;
      const char* utf8 = PyUnicode_AsUTF8AndSize(obj.get(), &size);
      if (utf8 == nullptr) {
        PyErr_Clear();
        fault("payload text was validated as UTF-8");
      }
      out = {utf8, static_cast<std::size_t>(size)};
      return true;
    }
    const Py_ssize_t real = PyBytes_GET_SIZE(obj.get());
    Py_ssize_t size = real;
    if (!PyBytes_CheckExact(obj.get())) {
      size = PyObject_Length(obj.get());
      if (size < 0) return false;
      if (size > real) {
        PyErr_SetString(PyExc_ValueError, "EXT data length exceeds its buffer");
        return false;
      }
    }
    out = {PyBytes_AS_STRING(obj.get()), static_cast<std::size_t>(size)};
    return true;
  }
};

// Payload makers and text helpers (leaf_payloads.cpp). They follow the C API
// convention: false or a null Ref with the Python error set.
bool bytes_payload(Ref obj, Payload& out);
bool utf8_payload(Ref obj, Payload& out);
// A str's UTF-8 form, or its "backslashreplace" bytes when it has none.
bool escaped_utf8_payload(Ref obj, Payload& out);
// An exact str as it is, anything else through format(value, "").
Ref format_field(Ref obj);
Ref concat_text(std::initializer_list<PyObject*> parts);
Ref text_of(const char* text);

}  // namespace detail

struct NativeMsgpackEncoder::LeafPayload {
  bool too_large = false;
  std::int8_t code = ext::kText;
  detail::Payload payload;
};

// Repr memo: an object met several times in one encoder gets one repr call.
class NativeMsgpackEncoder::ReprMemo {
  static constexpr std::uint32_t kCapacity = 1024;
  static constexpr std::uint32_t kIndexFrom = 17;

 public:
  ReprMemo() = default;
  ReprMemo(const ReprMemo&) = delete;
  ReprMemo& operator=(const ReprMemo&) = delete;
  ~ReprMemo() {
    for (Entry& entry : entries_) {
      Py_DECREF(entry.obj);
      Py_DECREF(entry.text);
    }
  }
  bool empty() const noexcept { return entries_.empty(); }

  PyObject* find(PyObject* obj) const noexcept {
    if (indexed_) {
      auto found = index_.find(obj);
      return found == index_.end() ? nullptr : entries_[found->second].text;
    }
    for (const Entry& entry : entries_) {
      if (entry.obj == obj) return entry.text;
    }
    return nullptr;
  }

  void remember(PyObject* obj, PyObject* text) {
    if (entries_.size() >= kCapacity || !PyUnicode_CheckExact(text)) return;
    entries_.push_back({obj, text});
    Py_INCREF(obj);
    Py_INCREF(text);
    const auto position = static_cast<std::uint32_t>(entries_.size() - 1);
    if (indexed_) {
      index_[obj] = position;
    } else if (entries_.size() == kIndexFrom) {
      index_.reserve(kIndexFrom);
      for (std::uint32_t i = 0; i < entries_.size(); ++i) index_[entries_[i].obj] = i;
      indexed_ = true;
    }
  }

 private:
  struct Entry {
    PyObject* obj;   // strong: keeps the identity valid
    PyObject* text;  // strong
  };
  absl::InlinedVector<Entry, 8> entries_;
  absl::flat_hash_map<PyObject*, std::uint32_t> index_;
  bool indexed_ = false;
};

struct NativeMsgpackEncoder::SharedContainers {
  std::vector<PyObject*> kept;  // strong references: identities stay valid
  absl::flat_hash_map<PyObject*, std::uint64_t> ordinals;
  std::uint64_t completed = 0;

  SharedContainers() = default;
  SharedContainers(const SharedContainers&) = delete;
  SharedContainers& operator=(const SharedContainers&) = delete;
  ~SharedContainers() {
    for (PyObject* obj : kept) Py_DECREF(obj);
  }
};

}  // namespace vesh::encode
