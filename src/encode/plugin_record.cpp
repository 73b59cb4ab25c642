#include "encode/plugin_record.h"

#include "py/error.h"
#include "py/fault.h"
#include "py/ref.h"

#include <msgpack.hpp>

#include <array>
#include <cstdint>
#include <limits>

namespace vesh::encode {

using py::Ref;

namespace {

// Shortest first, so most keys are rejected on their length alone.
constexpr std::array<std::string_view, 9> kExemptKeys = {
    "path",     "type",     "event",     "co_name", "subtype",
    "qualname", "frame_id", "timestamp", "user_code_call_site",
};

bool exempt(PyObject* key) {
  if (!PyUnicode_CheckExact(key)) return false;
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(key, &size);
  if (utf8 == nullptr) {
    // A key with lone surrogates is simply not one of ours.
    PyErr_Clear();
    return false;
  }
  return is_exempt_record_key(std::string_view(utf8, static_cast<std::size_t>(size)));
}

bool fail_encode(EncodeError error) {
  std::move(error).into_pyerr().restore();
  return false;
}

// Encodes one value, or a key, with the budget switched off for this call
// only.
Result<bool, EncodeError> encode_unbudgeted(NativeMsgpackEncoder& encoder, PyObject* value, ByteBuffer& out,
                                            bool key = false) {
  std::optional<std::size_t> budget = encoder.byte_budget();
  encoder.set_byte_budget(std::nullopt);
  Result<bool, EncodeError> result = key ? encoder.encode_key(value, out) : encoder.encode_value(value, out);
  encoder.set_byte_budget(budget);
  return result;
}

// The key-by-key pass over a snapshot of the record's items.
bool write_pairs(NativeMsgpackEncoder& encoder, PyObject* record, ByteBuffer& out) {
  Ref items = Ref::steal(PyDict_Items(record));
  if (!items) expect_failed("the items of a dict can always be listed", py::PyError::fetch().message());
  Py_ssize_t count = PyList_GET_SIZE(items.get());
  if (static_cast<std::uint64_t>(count) > std::numeric_limits<std::uint32_t>::max()) {
    PyErr_SetString(PyExc_ValueError, "dict is too large");
    return false;
  }
  msgpack::packer<ByteBuffer>(out).pack_map(static_cast<std::uint32_t>(count));
  encoder.set_record_nesting(1);  // each value sits in the record's map
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* pair = PyList_GET_ITEM(items.get(), i);
    if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2) {
      PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'PyTuple'", Py_TYPE(pair)->tp_name);
      return false;
    }
    // The items list holds the pair, and the pair its key and value, for the
    // whole pass, whatever the encoder's Python calls do to the record.
    PyObject* key = PyTuple_GET_ITEM(pair, 0);
    PyObject* value = PyTuple_GET_ITEM(pair, 1);
    if (auto written = encode_unbudgeted(encoder, key, out, true); !written)
      return fail_encode(std::move(written).error());
    auto written = exempt(key) ? encode_unbudgeted(encoder, value, out) : encoder.encode_value(value, out);
    if (!written) return fail_encode(std::move(written).error());
  }
  return true;
}

}  // namespace

bool is_exempt_record_key(std::string_view key) noexcept {
  for (std::string_view exempt_key : kExemptKeys) {
    if (exempt_key.size() > key.size()) return false;
    if (exempt_key == key) return true;
  }
  return false;
}

namespace {

bool dump_msgpack_capped_with(NativeMsgpackEncoder& encoder, PyObject* record, ByteBuffer& out) {
  Result<bool, EncodeError> whole = encoder.encode_value(record, out);
  if (!whole) {
    out.clear();
    return fail_encode(std::move(whole).error());
  }
  bool replaced = whole.value();
  if (!replaced || !PyDict_CheckExact(record)) return true;

  out.clear();
  if (!write_pairs(encoder, record, out)) {
    out.clear();
    return false;
  }
  return true;
}

}  // namespace

// The encoder is released before a failure is raised again: releasing it can
// run finalizers, which must not run with an exception pending.
bool dump_msgpack_capped(const SerializerState& state, PyObject* record, bool lightweight_repr,
                         std::optional<std::size_t> budget, ByteBuffer& out) {
  py::PyError failure;
  {
    NativeMsgpackEncoder encoder(state, EncoderOptions{.byte_budget = budget,
                                                       .interning = nullptr,
                                                       .lightweight_repr = lightweight_repr,
                                                       .record_nesting = 0});
    if (dump_msgpack_capped_with(encoder, record, out)) return true;
    failure = py::PyError::fetch();
  }
  failure.restore();
  return false;
}

}  // namespace vesh::encode
