// Byte-like values and the msgpack package's own types.
#include "encode/encoder_internal.h"

namespace vesh::encode {

using py::PyError;
using py::Ref;

using detail::bytes_payload;
using detail::Payload;
using detail::utf8_payload;

bool NativeMsgpackEncoder::pack_bytearray(PyObject* value, ByteBuffer& buf) {
  const auto n = static_cast<std::uint64_t>(PyByteArray_GET_SIZE(value));
  const std::uint64_t room = saturating_add(byte_limit_, exempt_);
  if (n > (room > buf.size() ? room - buf.size() : 0)) return over_budget();
  if (n > kU32Max) return fail_with(PyExc_ValueError, "bytearray object is too large");
  Packer(buf).pack_bin(static_cast<std::uint32_t>(n));
  buf.write(PyByteArray_AS_STRING(value), static_cast<std::size_t>(n));
  return true;
}

// ExtType, Timestamp and memoryview values are written exactly as
// msgpack.packb writes them.
bool NativeMsgpackEncoder::pack_with_msgpack(PyObject* value, ByteBuffer& buf) {
  std::uint64_t projected = 0;
  if (reinterpret_cast<PyObject*>(Py_TYPE(value)) == state_.ext_type.get()) {
    if (PyTuple_Check(value) && PyTuple_GET_SIZE(value) >= 2 && PyBytes_CheckExact(PyTuple_GET_ITEM(value, 1)))
      projected = static_cast<std::uint64_t>(PyBytes_GET_SIZE(PyTuple_GET_ITEM(value, 1)));
  } else if (Py_IS_TYPE(value, &PyMemoryView_Type)) {
    Ref nbytes = Ref::steal(PyObject_GetAttrString(value, "nbytes"));
    unsigned long long n = nbytes ? PyLong_AsUnsignedLongLong(nbytes.get()) : 0;
    if (PyErr_Occurred()) {
      PyErr_Clear();  // a released memoryview: no projection
      n = 0;
    }
    projected = n;
  }
  if (over_limit(saturating_add(buf.size(), projected))) return over_budget();
  if (!set_profiler_flag()) return false;

  Ref kwargs = Ref::steal(PyDict_New());
  if (!kwargs || PyDict_SetItemString(kwargs.get(), "strict_types", Py_True) < 0) return fail_current();
  Ref args = Ref::steal(PyTuple_Pack(1, value));
  if (!args) return fail_current();
  Ref packed = Ref::checked(PyObject_Call(state_.packb.get(), args.get(), kwargs.get()));
  if (packed && !PyBytes_Check(packed.get())) {
    PyErr_Format(PyExc_TypeError, "msgpack.packb returned %.200s, not bytes", Py_TYPE(packed.get())->tp_name);
    packed.reset();
  }
  if (!packed) {
    PyError error = PyError::fetch();
    if (careful_ && Py_IS_TYPE(value, &PyMemoryView_Type) &&
        exact_value_error_is(error.value(), "operation forbidden on released memoryview object"))
      return pack_released_memoryview(value, buf);
    return fail(std::move(error));
  }
  const auto n = static_cast<std::uint64_t>(PyBytes_GET_SIZE(packed.get()));
  if (over_limit(saturating_add(buf.size(), n))) return over_budget();
  buf.write(PyBytes_AS_STRING(packed.get()), static_cast<std::size_t>(n));
  return true;
}

bool NativeMsgpackEncoder::pack_released_memoryview(PyObject* value, ByteBuffer& buf) {
  LeafPayload leaf;
  if (!utf8_payload(repr(value), leaf.payload)) return fail_current();
  std::string_view data;
  if (!leaf.payload.data(data)) return fail_current();
  if (!write_ext(buf, ext::kText, data)) return fail_current();
  return true;
}

// A str holding lone surrogates: on the careful pass, its "surrogatepass"
// bytes as extension 10; on the fast pass the error stands.
bool NativeMsgpackEncoder::pack_unencodable_str(PyObject* str, PyError error, ByteBuffer& buf) {
  if (!careful_ || !error.matches(PyExc_UnicodeEncodeError)) return fail(std::move(error));
  error = PyError();
  const Py_ssize_t code_points = py::checked_status(PyObject_Length(str));
  if (code_points < 0) return fail_current();
  if (over_limit(saturating_add(buf.size(), static_cast<std::uint64_t>(code_points)))) return over_budget();
  Payload payload;
  if (!bytes_payload(Ref::checked(PyObject_CallMethod(str, "encode", "ss", "utf-8", "surrogatepass")), payload))
    return fail_current();
  std::string_view data;
  if (!payload.data(data)) return fail_current();
  if (over_limit(saturating_add(buf.size(), data.size()))) return over_budget();
  if (!write_ext(buf, ext::kSurrogateStr, data)) return fail_current();
  return true;
}

}  // namespace vesh::encode
