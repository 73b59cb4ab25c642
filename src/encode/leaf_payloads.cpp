// Payloads of extension records: dates and times, big ints, decimals, query
// sets, and the text helpers they share.
#include "encode/encoder_internal.h"

namespace vesh::encode {

using py::PyError;
using py::Ref;

namespace detail {

bool bytes_payload(Ref obj, Payload& out) {
  if (!obj) return false;
  if (!PyBytes_Check(obj.get())) {
    PyErr_SetString(PyExc_TypeError, "data must be bytes");
    return false;
  }
  out = Payload{std::move(obj), false};
  return true;
}

bool utf8_payload(Ref obj, Payload& out) {
  if (!obj) return false;
  if (PyUnicode_CheckExact(obj.get())) {
    if (PyUnicode_AsUTF8AndSize(obj.get(), nullptr) == nullptr) return false;
    out = Payload{std::move(obj), true};
    return true;
  }
  return bytes_payload(Ref::checked(PyObject_CallMethod(obj.get(), "encode", "s", "utf-8")), out);
}

bool escaped_utf8_payload(Ref obj, Payload& out) {
  if (!obj) return false;
  if (PyUnicode_CheckExact(obj.get())) {
    if (PyUnicode_AsUTF8AndSize(obj.get(), nullptr) != nullptr) {
      out = Payload{std::move(obj), true};
      return true;
    }
    PyErr_Clear();
  }
  return bytes_payload(Ref::checked(PyObject_CallMethod(obj.get(), "encode", "ss", "utf-8", "backslashreplace")),
                       out);
}

// An exact str as it is, anything else through format(value, "").
Ref format_field(Ref obj) {
  if (!obj) return {};
  if (PyUnicode_CheckExact(obj.get())) return obj;
  Ref empty = Ref::steal(PyUnicode_FromStringAndSize("", 0));
  if (!empty) return {};
  Ref text = Ref::checked(PyObject_Format(obj.get(), empty.get()));
  if (text && !PyUnicode_Check(text.get())) {
    PyErr_Format(PyExc_TypeError, "format() returned %.200s, not str", Py_TYPE(text.get())->tp_name);
    return {};
  }
  return text;
}

Ref concat_text(std::initializer_list<PyObject*> parts) {
  Ref out;
  for (PyObject* part : parts) {
    if (part == nullptr) return {};
    out = out ? Ref::steal(PyUnicode_Concat(out.get(), part)) : Ref::borrow(part);
    if (!out) return {};
  }
  return out;
}

Ref text_of(const char* text) { return Ref::steal(PyUnicode_FromString(text)); }

}  // namespace detail

using namespace detail;

// ---------------------------------------------------------------------------
// Lookups in vesh.serialize and instance tests

Ref NativeMsgpackEncoder::global(PyObject* name) {
  PyObject* found = PyDict_GetItemWithError(state_.serialize_globals.get(), name);
  if (found != nullptr) return Ref::borrow(found);
  if (!PyErr_Occurred()) missing_global_error(name).restore();
  return {};
}

Ref NativeMsgpackEncoder::queryset_class() {
  Ref checked = global(VESH_INTERNED("_QuerySet_checked"));
  if (!checked) return {};
  const auto truth = py::checked_status(PyObject_IsTrue(checked.get()));
  if (truth < 0) return {};
  if (truth) return global(VESH_INTERNED("_QuerySet"));
  Ref finder = global(VESH_INTERNED("_get_queryset_class"));
  if (!finder) return {};
  return Ref::checked(PyObject_CallNoArgs(finder.get()));
}

bool NativeMsgpackEncoder::class_is_type(PyTypeObject* type) const {
  return _PyType_Lookup(type, VESH_INTERNED("__getattribute__")) == state_.object_getattribute &&
         _PyType_Lookup(type, VESH_INTERNED("__class__")) == state_.object_class;
}

// isinstance() that skips the full protocol once the value's type is known
// to use object's own attribute lookup and __class__ (memo 1), so that a
// failed subtype test is final. Memo 2: still open. -1 with an error set.
int NativeMsgpackEncoder::isinstance(PyObject* value, PyObject* cls, std::uint8_t& memo) {
  PyTypeObject* type = Py_TYPE(value);
  if (reinterpret_cast<PyObject*>(type) == cls) return 1;
  if (Py_IS_TYPE(cls, &PyType_Type)) {
    if (PyType_IsSubtype(type, reinterpret_cast<PyTypeObject*>(cls))) return 1;
    if (memo == 1) return 0;
    if (memo == 2 && class_is_type(type)) {
      memo = 1;
      return 0;
    }
  }
  memo = 2;
  return static_cast<int>(py::checked_status(PyObject_IsInstance(value, cls)));
}

// ---------------------------------------------------------------------------
// Leaf payloads

bool NativeMsgpackEncoder::default_leaf_payload(PyObject* value, std::uint8_t& memo,
                                                std::optional<std::uint64_t> remaining, LeafPayload& out) {
  struct Dated {
    PyObject* name;
    std::int8_t code;
  };
  const Dated dated[] = {{VESH_INTERNED("datetime"), ext::kDatetime},
                         {VESH_INTERNED("date"), ext::kDate},
                         {VESH_INTERNED("time"), ext::kTime}};
  for (const Dated& kind : dated) {
    Ref cls = global(kind.name);
    if (!cls) return false;
    const int match = isinstance(value, cls.get(), memo);
    if (match < 0) return false;
    if (match) {
      out.code = kind.code;
      return utf8_payload(Ref::checked(PyObject_CallMethodNoArgs(value, VESH_INTERNED("isoformat"))), out.payload);
    }
  }

  const int is_int = isinstance(value, reinterpret_cast<PyObject*>(&PyLong_Type), memo);
  if (is_int < 0) return false;
  if (is_int) {
    Ref bits = Ref::checked(PyObject_CallMethodNoArgs(value, VESH_INTERNED("bit_length")));
    if (!bits) return false;
    if (PyLong_CheckExact(value) && remaining) {
      const unsigned long long n = PyLong_Check(bits.get()) ? PyLong_AsUnsignedLongLong(bits.get()) : 0;
      if (PyErr_Occurred() || !PyLong_Check(bits.get())) {
        PyErr_Clear();  // unreadable: no pre-check
      } else if ((n >> 3) > *remaining) {
        out.too_large = true;
        return true;
      }
    }
    Ref seven = Ref::steal(PyLong_FromLong(7));
    Ref eight = Ref::steal(PyLong_FromLong(8));
    Ref one = Ref::steal(PyLong_FromLong(1));
    Ref padded = Ref::checked(PyNumber_Add(bits.get(), seven.get()));
    Ref whole = padded ? Ref::checked(PyNumber_FloorDivide(padded.get(), eight.get())) : Ref();
    Ref length = whole ? Ref::checked(PyNumber_Add(whole.get(), one.get())) : Ref();
    if (!length) return false;
    Ref big = text_of("big");
    if (!big) return false;
    PyObject* args[] = {value, length.get(), big.get(), Py_True};
    Ref kwnames = Ref::steal(PyTuple_Pack(1, VESH_INTERNED("signed")));
    if (!kwnames) return false;
    Ref data = Ref::checked(PyObject_VectorcallMethod(VESH_INTERNED("to_bytes"), args,
                                                    3, kwnames.get()));
    out.code = ext::kBigInt;
    return bytes_payload(std::move(data), out.payload);
  }

  Ref decimal = global(VESH_INTERNED("Decimal"));
  if (!decimal) return false;
  const int is_decimal = isinstance(value, decimal.get(), memo);
  if (is_decimal < 0) return false;
  if (is_decimal) {
    out.code = ext::kDecimal;
    return utf8_payload(Ref::checked(PyObject_Str(value)), out.payload);
  }

  if (lightweight_repr_) return unmatched_leaf_payload(value, out);

  Ref queryset = queryset_class();
  if (!queryset) return false;
  memo = 2;
  if (queryset.get() != Py_None) {
    const int is_queryset = isinstance(value, queryset.get(), memo);
    if (is_queryset < 0) return false;
    if (is_queryset) {
      Ref cache = Ref::checked(PyObject_GetAttrString(value, "_result_cache"));
      if (!cache) return false;
      if (cache.get() == Py_None) {
        Ref model = format_field(Ref::checked(PyObject_GetAttrString(value, "model")));
        Ref prefix = text_of("Unevaluated queryset for: ");
        out.code = ext::kText;
        return utf8_payload(concat_text({prefix.get(), model.get()}), out.payload);
      }
    }
  }
  return unmatched_leaf_payload(value, out);
}

std::optional<std::uint64_t> NativeMsgpackEncoder::remaining_budget(const ByteBuffer& buf) const noexcept {
  if (byte_limit_ == UINT64_MAX) return std::nullopt;
  const std::uint64_t room = saturating_add(byte_limit_, exempt_);
  return room > buf.size() ? room - buf.size() : 0;
}

// Budget check, then the extension record; records its own error.
bool NativeMsgpackEncoder::write_payload(const LeafPayload& leaf, ByteBuffer& buf) {
  std::string_view data;
  if (!leaf.payload.data(data)) return fail_current();
  if (over_limit(saturating_add(buf.size(), data.size()))) return over_budget();
  if (!write_ext(buf, leaf.code, data)) return fail_current();
  return true;
}

}  // namespace vesh::encode
