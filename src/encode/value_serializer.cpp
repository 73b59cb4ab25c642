#include "encode/value_serializer.h"

#include "py/fault.h"
#include "py/gil_mutex.h"
#include "support/native_stack.h"

#include <msgpack.hpp>

#include <atomic>
#include <cstring>
#include <limits>
#include <string>

namespace vesh::encode {

thread_local std::uint32_t NATIVE_ENCODES __attribute__((tls_model("initial-exec"))) = 0;

namespace {

using py::PyError;
using py::Ref;
using Packer = msgpack::packer<ByteBuffer>;

constexpr std::uint64_t kU32Max = std::numeric_limits<std::uint32_t>::max();
constexpr std::uint32_t kSharedTrackingStart = 1024;
constexpr std::size_t kSharedMaxRecorded = 262144;
constexpr std::uint32_t kReprMemoCapacity = 1024;
constexpr std::uint32_t kReprMemoIndexFrom = 17;

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) noexcept {
  std::uint64_t sum = a + b;
  return sum < a ? UINT64_MAX : sum;
}

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

}  // namespace

// ---------------------------------------------------------------------------
// Serializer state

std::uint32_t max_depth_for_msgpack_version(std::uint32_t major, std::uint32_t minor) noexcept {
  return (major == 1 && minor > 1) || (major != 0 && major != 1) ? 1024 : 511;
}

namespace {

std::atomic<const SerializerState*> SERIALIZER{nullptr};
thread_local bool MAKING_SERIALIZER = false;

bool version_part(PyObject* version, Py_ssize_t index, std::uint32_t& out) {
  Ref item = Ref::steal(PySequence_GetItem(version, index));
  if (!item) return false;
  if (!PyLong_Check(item.get())) {
    PyErr_Format(PyExc_TypeError, "msgpack.version[%zd] is not an int", index);
    return false;
  }
  unsigned long long value = PyLong_AsUnsignedLongLong(item.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  if (value > kU32Max) {
    PyErr_Format(PyExc_OverflowError, "msgpack.version[%zd] does not fit 32 bits", index);
    return false;
  }
  out = static_cast<std::uint32_t>(value);
  return true;
}

std::unique_ptr<SerializerState> make_state() {
  Ref serialize = Ref::steal(PyImport_ImportModule("vesh.serialize"));
  if (!serialize) return nullptr;
  Ref msgpack_module = Ref::steal(PyImport_ImportModule("msgpack"));
  if (!msgpack_module) return nullptr;
  Ref version = Ref::steal(PyObject_GetAttrString(msgpack_module.get(), "version"));
  if (!version) return nullptr;
  std::uint32_t major = 0, minor = 0;
  if (!version_part(version.get(), 0, major) || !version_part(version.get(), 1, minor)) return nullptr;

  auto state = std::make_unique<SerializerState>();
  // Looked up without running descriptors: these are the slot objects an
  // instance test compares a type's own lookups against.
  state->object_class = _PyType_Lookup(&PyBaseObject_Type, VESH_INTERNED("__class__"));
  state->object_getattribute = _PyType_Lookup(&PyBaseObject_Type, VESH_INTERNED("__getattribute__"));
  if (state->object_class == nullptr || state->object_getattribute == nullptr)
    fault("assertion failed: object_class != 0 && object_getattribute != 0");

  state->serialize_globals = Ref::borrow(PyModule_GetDict(serialize.get()));
  if (!state->serialize_globals) return nullptr;
  state->ext_type = Ref::steal(PyObject_GetAttrString(msgpack_module.get(), "ExtType"));
  if (!state->ext_type) return nullptr;
  state->timestamp_type = Ref::steal(PyObject_GetAttrString(msgpack_module.get(), "Timestamp"));
  if (!state->timestamp_type) return nullptr;
  state->packb = Ref::steal(PyObject_GetAttrString(msgpack_module.get(), "packb"));
  if (!state->packb) return nullptr;
  state->max_depth = max_depth_for_msgpack_version(major, minor);
  return state;
}

}  // namespace

const SerializerState* Serializer::get() {
  if (const SerializerState* state = SERIALIZER.load(std::memory_order_acquire)) [[likely]]
    return state;
  if (MAKING_SERIALIZER) {
    // The imports below ran code that asked for the serializer again.
    PyErr_SetString(PyExc_ImportError, "vesh serializer requested while it is being made");
    return nullptr;
  }
  // One thread makes the state; others wait with the interpreter lock
  // released (the imports may release it too).
  static py::GilMutex<int> making("serializer state", 0);
  auto guard = making.lock();
  if (const SerializerState* state = SERIALIZER.load(std::memory_order_acquire)) return state;
  MAKING_SERIALIZER = true;
  std::unique_ptr<SerializerState> state;
  try {
    state = make_state();
  } catch (...) {
    MAKING_SERIALIZER = false;
    throw;
  }
  MAKING_SERIALIZER = false;
  if (!state) return nullptr;
  const SerializerState* made = state.release();  // lives for the process
  SERIALIZER.store(made, std::memory_order_release);
  return made;
}

PyError missing_global_error(PyObject* name) {
  Ref message = Ref::steal(PyUnicode_FromFormat("name '%U' is not defined", name));
  Ref args = message ? Ref::steal(PyTuple_Pack(1, message.get())) : Ref();
  Ref kwargs = args ? Ref::steal(PyDict_New()) : Ref();
  if (!kwargs || PyDict_SetItemString(kwargs.get(), "name", name) < 0) return PyError::fetch();
  Ref error = Ref::steal(PyObject_Call(PyExc_NameError, args.get(), kwargs.get()));
  if (!error) return PyError::fetch();
  return PyError(std::move(error));
}

// ---------------------------------------------------------------------------
// Errors

PyError EncodeError::into_pyerr() && {
  if (auto* error = std::get_if<PyError>(&v_)) return std::move(*error);
  if (auto* text = std::get_if<std::string>(&v_)) return PyError::make(PyExc_OSError, *text);
  return PyError::make(PyExc_ValueError, "value exceeds max_value_mb");
}

bool exact_value_error_is(PyObject* exception, std::string_view text) noexcept {
  if (exception == nullptr || Py_TYPE(exception) != reinterpret_cast<PyTypeObject*>(PyExc_ValueError))
    return false;
  Ref args = Ref::steal(PyObject_GetAttrString(exception, "args"));
  if (!args) {
    PyErr_Clear();
    return false;
  }
  if (!PyTuple_CheckExact(args.get()) || PyTuple_GET_SIZE(args.get()) != 1) return false;
  PyObject* item = PyTuple_GET_ITEM(args.get(), 0);
  if (!PyUnicode_CheckExact(item)) return false;
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(item, &size);
  if (utf8 == nullptr) {
    PyErr_Clear();
    return false;
  }
  return std::string_view(utf8, static_cast<std::size_t>(size)) == text;
}

bool needs_careful(PyObject* exception) noexcept {
  if (exception == nullptr) return false;
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exception));
  if (type == PyExc_RecursionError) return true;
  if (type == PyExc_UnicodeEncodeError) {
    Ref reason = Ref::steal(PyObject_GetAttrString(exception, "reason"));
    if (!reason) {
      PyErr_Clear();
      return false;
    }
    if (!PyUnicode_CheckExact(reason.get())) return false;
    int equal = PyUnicode_CompareWithASCIIString(reason.get(), "surrogates not allowed");
    return equal == 0;
  }
  if (type == PyExc_ValueError) {
    return exact_value_error_is(exception, "recursion limit exceeded.") ||
           exact_value_error_is(exception, "recursion limit exceeded") ||
           exact_value_error_is(exception, "operation forbidden on released memoryview object");
  }
  return false;
}

bool write_ext(ByteBuffer& buf, std::int8_t type, std::string_view data) {
  if (data.size() > kU32Max) {
    PyErr_SetString(PyExc_ValueError, "EXT data is too large");
    return false;
  }
  Packer packer(buf);
  packer.pack_ext(data.size(), type);
  buf.append(data);
  return true;
}

bool NativeMsgpackEncoder::fail(PyError error) noexcept {
  if (!error) error = PyError::make(PyExc_SystemError, "error return without exception set");
  error_.emplace(EncodeError::python(std::move(error)));
  return false;
}

bool NativeMsgpackEncoder::fail_current() noexcept { return fail(PyError::fetch()); }

bool NativeMsgpackEncoder::fail_with(PyObject* type, const char* message) noexcept {
  return fail(PyError::make(type, message));
}

bool NativeMsgpackEncoder::over_budget() noexcept {
  error_.emplace(EncodeError::over_budget());
  return false;
}

// ---------------------------------------------------------------------------
// Encoder lifecycle

NativeMsgpackEncoder::NativeMsgpackEncoder(const SerializerState& state, EncoderOptions options) noexcept
    : state_(state),
      budget_(options.byte_budget),
      interning_(options.interning),
      lightweight_repr_(options.lightweight_repr) {}

bool NativeMsgpackEncoder::set_profiler_flag() {
  if (profiler_flag_) return true;
  if (!lightweight_repr_ &&
      PyDict_SetItem(state_.serialize_globals.get(), VESH_INTERNED("IN_VESH_PROFILER"), Py_True) < 0)
    return fail_current();
  profiler_flag_ = true;
  ++NATIVE_ENCODES;
  return true;
}

PyError NativeMsgpackEncoder::reset_profiler_flag() {
  if (!profiler_flag_) return {};
  profiler_flag_ = false;
  --NATIVE_ENCODES;
  if (!lightweight_repr_ &&
      PyDict_SetItem(state_.serialize_globals.get(), VESH_INTERNED("IN_VESH_PROFILER"), Py_False) < 0)
    return PyError::fetch();
  return {};
}

// ---------------------------------------------------------------------------
// encode_value

Result<bool, EncodeError> NativeMsgpackEncoder::encode_value(PyObject* value, ByteBuffer& buf) {
  const std::size_t start = buf.size();
  byte_limit_ = UINT64_MAX;
  if (budget_) {
    std::uint64_t limit = start + static_cast<std::uint64_t>(*budget_);
    if (limit >= start) byte_limit_ = limit;
  }
  exempt_ = 0;
  const auto depth = static_cast<std::int32_t>(state_.max_depth);

  bool ok = pack(value, buf, depth);
  if (!ok && retry_carefully()) {
    buf.truncate(start);
    release_shared();
    careful_ = true;
    exempt_ = 0;
    ok = pack(value, buf, depth);
    careful_ = false;
    container_stack_.clear();
  }

  release_shared();
  if (ok) {
    if (buf.size() <= byte_limit_) {
      PyError reset = reset_profiler_flag();
      if (reset) {
        buf.truncate(start);
        return Err{EncodeError::python(std::move(reset))};
      }
      return false;
    }
    over_budget();
  }

  PyError reset = reset_profiler_flag();
  if (!error_) fault("a failed encode records its error");
  EncodeError error = std::move(*error_);
  error_.reset();
  buf.truncate(start);
  if (error.is_over_budget()) {
    write_truncation_marker(Py_TYPE(value), buf);
    if (reset) {
      buf.truncate(start);
      return Err{EncodeError::python(std::move(reset))};
    }
    return true;
  }
  return Err{std::move(error)};
}

bool NativeMsgpackEncoder::retry_carefully() {
  if (careful_ || !error_) return false;
  PyError* error = error_->python_error();
  if (error == nullptr || !needs_careful(error->value())) return false;
  error_.reset();
  return true;
}

void NativeMsgpackEncoder::write_truncation_marker(PyTypeObject* type, ByteBuffer& buf) {
  std::string name = "object";
  Ref qualname = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__qualname__"));
  Ref cut = qualname ? Ref::steal(PySequence_GetSlice(qualname.get(), 0, 200)) : Ref();
  Ref encoded = cut ? Ref::steal(PyObject_CallMethod(cut.get(), "encode", "ss", "utf-8", "backslashreplace"))
                    : Ref();
  if (encoded && PyBytes_Check(encoded.get())) {
    name.assign(PyBytes_AS_STRING(encoded.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get())));
  }
  PyErr_Clear();
  std::string text = name;
  text += " exceeded max_value_mb (";
  text += std::to_string(budget_ ? static_cast<std::uint64_t>(*budget_) : UINT64_MAX);
  text += " bytes); raise max_value_mb in .vesh/config.toml or set it to false";
  if (!write_ext(buf, ext::kTruncated, text)) {
    PyErr_Clear();
    fault("a marker is far below the msgpack ext limit");
  }
}

// ---------------------------------------------------------------------------
// Type dispatch

bool NativeMsgpackEncoder::pack(PyObject* value, ByteBuffer& buf, std::int32_t depth) {
  if (depth < 0) [[unlikely]]
    return fail_with(PyExc_ValueError, "recursion limit exceeded.");
  if (value == Py_None) {
    buf.push_back(static_cast<char>(0xc0));
    return true;
  }
  if (value == Py_True) {
    buf.push_back(static_cast<char>(0xc3));
    return true;
  }
  if (value == Py_False) {
    buf.push_back(static_cast<char>(0xc2));
    return true;
  }
  PyTypeObject* type = Py_TYPE(value);
  if (type == &PyLong_Type) return pack_int(value, buf, depth);
  if (type == &PyFloat_Type) {
    pack_f64(buf, value);
    return true;
  }
  if (type == &PyUnicode_Type) return pack_str(value, buf);
  if (type == &PyBytes_Type) return pack_bytes(value, buf);
  if (type == &PyDict_Type) return pack_container<true>(value, buf, depth);
  if (type == &PyList_Type) return pack_container<false>(value, buf, depth);
  return pack_uncommon(value, buf, depth - 1);
}

bool NativeMsgpackEncoder::pack_int(PyObject* value, ByteBuffer& buf, std::int32_t depth) {
  long long as_signed = 0;
  if (exact_int_as_i64(value, as_signed)) [[likely]] {
    pack_i64(buf, as_signed);
    return true;
  }
  if (_PyLong_Sign(value) > 0) {
    unsigned long long as_unsigned = PyLong_AsUnsignedLongLong(value);
    if (!(as_unsigned == static_cast<unsigned long long>(-1) && PyErr_Occurred())) {
      Packer(buf).pack_uint64(as_unsigned);
      return true;
    }
    PyErr_Clear();  // OverflowError: beyond 64 bits
  }
  return write_unsupported_leaf(value, buf, depth - 1);
}

bool NativeMsgpackEncoder::pack_uncommon(PyObject* value, ByteBuffer& buf, std::int32_t depth) {
  if (stack_too_low()) return false;
  PyTypeObject* type = Py_TYPE(value);
  if (type == &PyTuple_Type) return write_unsupported_leaf(value, buf, depth);
  if (type == &PyByteArray_Type) return pack_bytearray(value, buf);
  auto* type_object = reinterpret_cast<PyObject*>(type);
  if (type_object == state_.ext_type.get() || type_object == state_.timestamp_type.get() ||
      type == &PyMemoryView_Type)
    return pack_with_msgpack(value, buf);
  return write_unsupported_leaf(value, buf, depth);
}

bool NativeMsgpackEncoder::stack_too_low() {
  std::optional<std::size_t> left = native_stack::remaining();
  if (!left || *left >= kEncoderStackFloor) [[likely]]
    return false;
  fail_with(PyExc_RecursionError, "maximum recursion depth exceeded");
  return true;
}

// ---------------------------------------------------------------------------
// Strings and bytes

bool NativeMsgpackEncoder::pack_str(PyObject* str, ByteBuffer& buf) {
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(str, &size);
  if (utf8 == nullptr) [[unlikely]]
    return pack_unencodable_str(str, PyError::fetch(), buf);
  const auto n = static_cast<std::uint64_t>(size);
  if (n > kU32Max) return fail_with(PyExc_ValueError, "unicode string is too large");
  if (interning_ != nullptr && n >= kInternMinBytes && n <= kInternMaxBytes) [[unlikely]] {
    bool done = false;
    if (!pack_interned(str, InternedKind::Str, {utf8, static_cast<std::size_t>(n)}, buf, done)) return false;
    if (done) return true;
  }
  if (over_limit(saturating_add(buf.size(), n))) return over_budget();
  Packer packer(buf);
  packer.pack_str(static_cast<std::uint32_t>(n));
  buf.write(utf8, static_cast<std::size_t>(n));
  return true;
}

bool NativeMsgpackEncoder::pack_bytes(PyObject* bytes, ByteBuffer& buf) {
  const auto n = static_cast<std::uint64_t>(PyBytes_GET_SIZE(bytes));
  const char* data = PyBytes_AS_STRING(bytes);
  if (n > kU32Max) return fail_with(PyExc_ValueError, "bytes object is too large");
  if (interning_ != nullptr && n >= kInternMinBytes && n <= kInternMaxBytes) [[unlikely]] {
    bool done = false;
    if (!pack_interned(bytes, InternedKind::Bytes, {data, static_cast<std::size_t>(n)}, buf, done)) return false;
    if (done) return true;
  }
  if (over_limit(saturating_add(buf.size(), n))) return over_budget();
  Packer packer(buf);
  packer.pack_bin(static_cast<std::uint32_t>(n));
  buf.write(data, static_cast<std::size_t>(n));
  return true;
}

// Large str and bytes values go through value interning, which may write a
// reference instead, or keep the separately encoded record for next time.
bool NativeMsgpackEncoder::pack_interned(PyObject* obj, InternedKind kind, std::string_view data, ByteBuffer& buf,
                                         bool& done) {
  done = false;
  if (interning_->interning_off()) return true;
  InternLookup answer = interning_->lookup_value(obj, kind, data, buf);
  switch (answer.action) {
    case InternLookup::Action::ReferenceWritten:
      done = true;
      return true;
    case InternLookup::Action::EncodeInline:
      return true;
    case InternLookup::Action::Error:
      error_.emplace(EncodeError::message(std::move(answer.message)));
      return false;
    case InternLookup::Action::EncodeAndIntern:
      break;
  }
  if (over_limit(saturating_add(buf.size(), data.size()))) return over_budget();
  ByteBuffer record(data.size() + 5);
  Packer packer(record);
  if (kind == InternedKind::Str) {
    packer.pack_str(static_cast<std::uint32_t>(data.size()));
  } else {
    packer.pack_bin(static_cast<std::uint32_t>(data.size()));
  }
  record.append(data);
  interning_->cache_current_value(Ref::borrow(obj), kind, data.size(), std::move(record), buf);
  done = true;
  return true;
}

// ---------------------------------------------------------------------------
// Containers

// Releases the snapshot entries pushed since `base`, on every path.
class NativeMsgpackEncoder::SnapshotScope {
 public:
  explicit SnapshotScope(NativeMsgpackEncoder& encoder) noexcept
      : encoder_(encoder), base_(encoder.snapshot_.size()) {}
  SnapshotScope(const SnapshotScope&) = delete;
  SnapshotScope& operator=(const SnapshotScope&) = delete;
  ~SnapshotScope() {
    auto& stack = encoder_.snapshot_;
    while (stack.size() > base_) {
      PyObject* item = stack.back();
      stack.pop_back();
      Py_DECREF(item);
    }
  }
  std::size_t base() const noexcept { return base_; }
  void push(PyObject* borrowed) {
    encoder_.snapshot_.push_back(borrowed);
    Py_INCREF(borrowed);
  }
  std::size_t pushed() const noexcept { return encoder_.snapshot_.size() - base_; }

 private:
  NativeMsgpackEncoder& encoder_;
  std::size_t base_;
};

template <bool IsDict>
bool NativeMsgpackEncoder::pack_container(PyObject* container, ByteBuffer& buf, std::int32_t depth) {
  if (stack_too_low()) [[unlikely]]
    return false;
  if (ext_nesting_ == 0 && payload_nesting_ == 0) {
    if (shared_) {
      if (write_shared_reference(container, buf)) return true;
    } else if (++plain_containers_ >= kSharedTrackingStart) [[unlikely]] {
      start_shared_tracking();
    }
  }
  const auto entries = static_cast<std::uint64_t>(IsDict ? PyDict_GET_SIZE(container) : PyList_GET_SIZE(container));
  if (over_limit(saturating_add(buf.size(), IsDict ? saturating_add(entries, entries) : entries)))
    return over_budget();
  if (careful_) [[unlikely]] {
    return IsDict ? pack_dict_carefully(container, buf, depth - 1) : pack_list_carefully(container, buf, depth - 1);
  }
  const bool ok = IsDict ? dict_body(container, buf, depth - 1) : list_body(container, buf, depth - 1);
  if (ok && ext_nesting_ == 0 && shared_) [[unlikely]] {
    const Py_ssize_t size = IsDict ? PyDict_GET_SIZE(container) : PyList_GET_SIZE(container);
    record_completed_container(container, size > 1 && payload_nesting_ == 0);
  }
  return ok;
}

// Packs an item that can be written without running Python code; anything
// else is left for the snapshot.
NativeMsgpackEncoder::Inert NativeMsgpackEncoder::pack_inert(PyObject* item, ByteBuffer& buf) {
  if (item == Py_None) {
    buf.push_back(static_cast<char>(0xc0));
    return Inert::Packed;
  }
  if (item == Py_True) {
    buf.push_back(static_cast<char>(0xc3));
    return Inert::Packed;
  }
  if (item == Py_False) {
    buf.push_back(static_cast<char>(0xc2));
    return Inert::Packed;
  }
  PyTypeObject* type = Py_TYPE(item);
  if (type == &PyLong_Type) {
    long long value = 0;
    if (!exact_int_as_i64(item, value)) return Inert::NotInert;
    pack_i64(buf, value);
    return Inert::Packed;
  }
  if (type == &PyFloat_Type) {
    pack_f64(buf, item);
    return Inert::Packed;
  }
  if (type == &PyUnicode_Type) {
    if (careful_ && !PyUnicode_IS_ASCII(item)) [[unlikely]] {
      // A str without a UTF-8 form is written by calling back into Python
      // on the careful pass: leave it for the snapshot.
      if (PyUnicode_AsUTF8AndSize(item, nullptr) == nullptr) {
        PyErr_Clear();
        return Inert::NotInert;
      }
    }
    return pack_str(item, buf) ? Inert::Packed : Inert::Failed;
  }
  if (type == &PyBytes_Type) return pack_bytes(item, buf) ? Inert::Packed : Inert::Failed;
  return Inert::NotInert;
}

bool NativeMsgpackEncoder::list_body(PyObject* list, ByteBuffer& buf, std::int32_t depth) {
  const Py_ssize_t n = PyList_GET_SIZE(list);
  if (static_cast<std::uint64_t>(n) > kU32Max) return fail_with(PyExc_ValueError, "list is too large");
  Packer(buf).pack_array(static_cast<std::uint32_t>(n));
  if (n == 0) return true;
  Py_ssize_t i = 0;
  if (depth >= 0) {
    // No Python code runs in this loop, so the list cannot change under it.
    for (; i < n; ++i) {
      Inert inert = pack_inert(PyList_GET_ITEM(list, i), buf);
      if (inert == Inert::NotInert) break;
      if (inert == Inert::Failed) return false;
      if ((i & 255) == 255 && over_limit(buf.size())) return over_budget();
    }
    if (i == n) return true;
  }
  SnapshotScope scope(*this);
  for (Py_ssize_t j = i; j < PyList_GET_SIZE(list); ++j) scope.push(PyList_GET_ITEM(list, j));
  return pack_snapshot(scope.base(), scope.pushed(), buf, depth);
}

bool NativeMsgpackEncoder::dict_body(PyObject* dict, ByteBuffer& buf, std::int32_t depth) {
  const Py_ssize_t n = PyDict_GET_SIZE(dict);
  if (static_cast<std::uint64_t>(n) > kU32Max) return fail_with(PyExc_ValueError, "dict is too large");
  Packer(buf).pack_map(static_cast<std::uint32_t>(n));
  if (n == 0) return true;
  if (depth < 0) return pack_dict_from(dict, 0, nullptr, buf, depth);
  Py_ssize_t position = 0;
  Py_ssize_t before = 0;
  PyObject* key = nullptr;
  PyObject* item = nullptr;
  std::uint64_t pairs = 0;
  // No Python code runs in this loop, so the dict cannot change under it.
  while (before = position, PyDict_Next(dict, &position, &key, &item)) {
    Inert inert = pack_inert(key, buf);
    if (inert == Inert::Failed) return false;
    if (inert == Inert::NotInert) return pack_dict_from(dict, before, nullptr, buf, depth);
    inert = pack_inert(item, buf);
    if (inert == Inert::Failed) return false;
    if (inert == Inert::NotInert) return pack_dict_from(dict, position, item, buf, depth);
    if ((++pairs & 255) == 0 && over_limit(buf.size())) return over_budget();
  }
  return true;
}

std::size_t NativeMsgpackEncoder::snapshot_dict_items(PyObject* dict, Py_ssize_t position) {
  std::size_t pushed = 0;
  PyObject* key = nullptr;
  PyObject* item = nullptr;
  while (PyDict_Next(dict, &position, &key, &item)) {
    snapshot_.push_back(key);
    Py_INCREF(key);
    snapshot_.push_back(item);
    Py_INCREF(item);
    ++pushed;
  }
  return pushed;
}

bool NativeMsgpackEncoder::pack_dict_from(PyObject* dict, Py_ssize_t position, PyObject* pending, ByteBuffer& buf,
                                          std::int32_t depth) {
  SnapshotScope scope(*this);
  if (pending != nullptr) scope.push(pending);
  snapshot_dict_items(dict, position);
  return pack_snapshot(scope.base(), scope.pushed(), buf, depth);
}

bool NativeMsgpackEncoder::pack_snapshot(std::size_t first, std::size_t count, ByteBuffer& buf,
                                         std::int32_t depth) {
  for (std::size_t i = first; i < first + count; ++i) {
    if (i >= snapshot_.size()) fault("snapshot index out of range");
    if (!pack(snapshot_[i], buf, depth)) return false;
    if ((i & 255) == 255 && over_limit(buf.size())) return over_budget();
  }
  return true;
}

bool NativeMsgpackEncoder::on_container_stack(PyObject* obj) const noexcept {
  for (PyObject* open : container_stack_) {
    if (open == obj) return true;
  }
  return false;
}

// Careful pass: a container met again while it is still open is written as
// a placeholder text instead of being recursed into.
bool NativeMsgpackEncoder::enter_container(PyObject* container, std::string_view placeholder, ByteBuffer& buf) {
  if (on_container_stack(container)) {
    ++placeholders_;
    write_ext(buf, ext::kText, placeholder);
    return false;
  }
  container_stack_.push_back(container);
  return true;
}

bool NativeMsgpackEncoder::pack_list_carefully(PyObject* list, ByteBuffer& buf, std::int32_t depth) {
  if (!enter_container(list, "[...]", buf)) return true;
  const std::uint64_t placeholders = placeholders_;
  const bool ok = list_body(list, buf, depth);
  container_stack_.pop_back();
  if (ok) complete_careful_container(list, placeholders_ == placeholders);
  return ok;
}

bool NativeMsgpackEncoder::pack_dict_carefully(PyObject* dict, ByteBuffer& buf, std::int32_t depth) {
  if (!enter_container(dict, "{...}", buf)) return true;
  const std::uint64_t placeholders = placeholders_;
  const bool ok = dict_body(dict, buf, depth);
  container_stack_.pop_back();
  if (ok) complete_careful_container(dict, placeholders_ == placeholders);
  return ok;
}

void NativeMsgpackEncoder::complete_careful_container(PyObject* container, bool no_placeholder_inside) {
  if (ext_nesting_ != 0 || !shared_) return;
  const Py_ssize_t size = PyDict_Check(container) ? PyDict_GET_SIZE(container) : PyList_GET_SIZE(container);
  record_completed_container(container, size > 1 && no_placeholder_inside && payload_nesting_ == 0);
}

// ---------------------------------------------------------------------------
// Extension records of tuples, sets and frozensets; dict copies

// Packs the data of a tuple/set/frozenset record: an exact tuple's items, or
// `single_value` (the list() of any other object). The nesting limit starts
// afresh inside each record, so nested records are bounded by the
// interpreter's recursion limit and the native stack instead.
bool NativeMsgpackEncoder::pack_extension_items(PyObject* obj, PyObject* single_value, ByteBuffer& buf) {
  const std::uint32_t open = ext_nesting_;
  const int divisor = 3 + (careful_ ? 1 : 0) + (lightweight_repr_ ? 1 : 0);
  if (open >= 16 && open >= static_cast<std::uint32_t>(Py_GetRecursionLimit() / divisor))
    return fail_with(PyExc_RecursionError, "maximum recursion depth exceeded");
  bool pushed = false;
  if (careful_ || open > 7) {
    if (!careful_ && on_container_stack(obj))
      return fail_with(PyExc_RecursionError, "maximum recursion depth exceeded");
    container_stack_.push_back(obj);
    pushed = true;
  }
  ++ext_nesting_;
  const auto max_depth = static_cast<std::int32_t>(state_.max_depth);
  bool ok = true;
  if (single_value != nullptr) {
    ok = pack(single_value, buf, max_depth);
  } else {
    const Py_ssize_t n = PyTuple_GET_SIZE(obj);
    if (static_cast<std::uint64_t>(n) > kU32Max) {
      ok = fail_with(PyExc_ValueError, "list is too large");
    } else {
      Packer(buf).pack_array(static_cast<std::uint32_t>(n));
      for (Py_ssize_t i = 0; i < n && ok; ++i) {
        Ref item = Ref::borrow(PyTuple_GET_ITEM(obj, i));
        ok = pack(item.get(), buf, max_depth - 1);
        if (ok && (i & 255) == 255 && over_limit(buf.size())) ok = over_budget();
      }
    }
  }
  if (pushed && !container_stack_.empty()) container_stack_.pop_back();
  --ext_nesting_;
  return ok;
}

bool NativeMsgpackEncoder::pack_dict_copy_tracked(PyObject* stood_for, PyObject* dict, ByteBuffer& buf,
                                                  std::int32_t depth) {
  if (!careful_ && on_container_stack(stood_for))
    return fail_with(PyExc_ValueError, "recursion limit exceeded.");
  container_stack_.push_back(stood_for);
  const auto entries = static_cast<std::uint64_t>(PyDict_GET_SIZE(dict));
  bool ok;
  if (over_limit(saturating_add(buf.size(), saturating_add(entries, entries)))) {
    ok = over_budget();
  } else if (careful_) {
    ok = pack_dict_carefully(dict, buf, depth);
  } else {
    ok = dict_body(dict, buf, depth);
    if (ok && ext_nesting_ == 0 && shared_) record_completed_container(dict, false);
  }
  container_stack_.pop_back();
  return ok;
}

// ---------------------------------------------------------------------------
// Shared-container references

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

void NativeMsgpackEncoder::start_shared_tracking() { shared_ = std::make_unique<SharedContainers>(); }

bool NativeMsgpackEncoder::write_shared_reference(PyObject* container, ByteBuffer& buf) {
  if (shared_->ordinals.empty()) return false;
  auto found = shared_->ordinals.find(container);
  if (found == shared_->ordinals.end()) return false;
  const std::uint64_t distance = shared_->completed - found->second - 1;
  if (distance > kU32Max) return false;
  char out[6] = {static_cast<char>(0xd6), ext::kSharedRef};
  const std::uint32_t be = __builtin_bswap32(static_cast<std::uint32_t>(distance));
  std::memcpy(out + 2, &be, sizeof be);
  buf.write(out, sizeof out);
  return true;
}

void NativeMsgpackEncoder::record_completed_container(PyObject* container, bool record) {
  const std::uint64_t ordinal = shared_->completed++;
  if (!record || shared_->ordinals.size() >= kSharedMaxRecorded) return;
  shared_->kept.push_back(container);
  Py_INCREF(container);
  shared_->ordinals[container] = ordinal;
}

void NativeMsgpackEncoder::release_shared() noexcept {
  shared_.reset();
  plain_containers_ = 0;
}

// ---------------------------------------------------------------------------
// Payloads of extension records

namespace {

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
  return bytes_payload(Ref::steal(PyObject_CallMethod(obj.get(), "encode", "s", "utf-8")), out);
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
  return bytes_payload(Ref::steal(PyObject_CallMethod(obj.get(), "encode", "ss", "utf-8", "backslashreplace")),
                       out);
}

// An exact str as it is, anything else through format(value, "").
Ref format_field(Ref obj) {
  if (!obj) return {};
  if (PyUnicode_CheckExact(obj.get())) return obj;
  Ref empty = Ref::steal(PyUnicode_FromStringAndSize("", 0));
  if (!empty) return {};
  Ref text = Ref::steal(PyObject_Format(obj.get(), empty.get()));
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

}  // namespace

struct NativeMsgpackEncoder::LeafPayload {
  bool too_large = false;
  std::int8_t code = ext::kText;
  Payload payload;
};

// ---------------------------------------------------------------------------
// Repr memo: an object met several times in one encoder gets one repr call.

class NativeMsgpackEncoder::ReprMemo {
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
    if (entries_.size() >= kReprMemoCapacity || !PyUnicode_CheckExact(text)) return;
    entries_.push_back({obj, text});
    Py_INCREF(obj);
    Py_INCREF(text);
    const auto position = static_cast<std::uint32_t>(entries_.size() - 1);
    if (indexed_) {
      index_[obj] = position;
    } else if (entries_.size() == kReprMemoIndexFrom) {
      index_.reserve(kReprMemoIndexFrom);
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

Ref NativeMsgpackEncoder::repr(PyObject* obj) {
  if (memo_) {
    if (PyObject* text = memo_->find(obj)) return Ref::borrow(text);
  }
  Ref text = Ref::steal(PyObject_Repr(obj));
  if (!text) return {};
  if (!memo_) memo_ = std::make_unique<ReprMemo>();
  memo_->remember(obj, text.get());
  return text;
}

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
  const int truth = PyObject_IsTrue(checked.get());
  if (truth < 0) return {};
  if (truth) return global(VESH_INTERNED("_QuerySet"));
  Ref finder = global(VESH_INTERNED("_get_queryset_class"));
  if (!finder) return {};
  return Ref::steal(PyObject_CallNoArgs(finder.get()));
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
    if (memo == 2 && _PyType_Lookup(type, VESH_INTERNED("__getattribute__")) == state_.object_getattribute &&
        _PyType_Lookup(type, VESH_INTERNED("__class__")) == state_.object_class) {
      memo = 1;
      return 0;
    }
  }
  memo = 2;
  return PyObject_IsInstance(value, cls);
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
      return utf8_payload(Ref::steal(PyObject_CallMethodNoArgs(value, VESH_INTERNED("isoformat"))), out.payload);
    }
  }

  const int is_int = isinstance(value, reinterpret_cast<PyObject*>(&PyLong_Type), memo);
  if (is_int < 0) return false;
  if (is_int) {
    Ref bits = Ref::steal(PyObject_CallMethodNoArgs(value, VESH_INTERNED("bit_length")));
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
    Ref padded = Ref::steal(PyNumber_Add(bits.get(), seven.get()));
    Ref whole = padded ? Ref::steal(PyNumber_FloorDivide(padded.get(), eight.get())) : Ref();
    Ref length = whole ? Ref::steal(PyNumber_Add(whole.get(), one.get())) : Ref();
    if (!length) return false;
    Ref big = text_of("big");
    if (!big) return false;
    PyObject* args[] = {value, length.get(), big.get(), Py_True};
    Ref kwnames = Ref::steal(PyTuple_Pack(1, VESH_INTERNED("signed")));
    if (!kwnames) return false;
    Ref data = Ref::steal(PyObject_VectorcallMethod(VESH_INTERNED("to_bytes"), args,
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
    return utf8_payload(Ref::steal(PyObject_Str(value)), out.payload);
  }

  if (lightweight_repr_) return unmatched_leaf_payload(value, out);

  Ref queryset = queryset_class();
  if (!queryset) return false;
  memo = 2;
  if (queryset.get() != Py_None) {
    const int is_queryset = isinstance(value, queryset.get(), memo);
    if (is_queryset < 0) return false;
    if (is_queryset) {
      Ref cache = Ref::steal(PyObject_GetAttrString(value, "_result_cache"));
      if (!cache) return false;
      if (cache.get() == Py_None) {
        Ref model = format_field(Ref::steal(PyObject_GetAttrString(value, "model")));
        Ref prefix = text_of("Unevaluated queryset for: ");
        out.code = ext::kText;
        return utf8_payload(concat_text({prefix.get(), model.get()}), out.payload);
      }
    }
  }
  return unmatched_leaf_payload(value, out);
}

bool NativeMsgpackEncoder::unmatched_leaf_payload(PyObject* value, LeafPayload& out) {
  out.code = ext::kText;
  if (lightweight_repr_) {
    // Ordinary attribute access: a proxy reports the class it claims.
    Ref cls = Ref::steal(PyObject_GetAttrString(value, "__class__"));
    Ref qualname = cls ? format_field(Ref::steal(PyObject_GetAttrString(cls.get(), "__qualname__"))) : Ref();
    if (!qualname) return false;
    Ref text = Ref::steal(PyUnicode_FromFormat("<%U object %llu>", qualname.get(),
                                               static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(value))));
    return utf8_payload(std::move(text), out.payload);
  }
  return utf8_payload(repr(value), out.payload);
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

// ---------------------------------------------------------------------------
// Byte-likes and the msgpack package's own types

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
  Ref packed = Ref::steal(PyObject_Call(state_.packb.get(), args.get(), kwargs.get()));
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
  const Py_ssize_t code_points = PyObject_Length(str);
  if (code_points < 0) return fail_current();
  if (over_limit(saturating_add(buf.size(), static_cast<std::uint64_t>(code_points)))) return over_budget();
  Payload payload;
  if (!bytes_payload(Ref::steal(PyObject_CallMethod(str, "encode", "ss", "utf-8", "surrogatepass")), payload))
    return fail_current();
  std::string_view data;
  if (!payload.data(data)) return fail_current();
  if (over_limit(saturating_add(buf.size(), data.size()))) return over_budget();
  if (!write_ext(buf, ext::kSurrogateStr, data)) return fail_current();
  return true;
}

// ---------------------------------------------------------------------------
// The unsupported-value path

bool NativeMsgpackEncoder::write_unsupported_leaf(PyObject* obj, ByteBuffer& buf, std::int32_t depth) {
  const std::size_t start = buf.size();
  if (PyTuple_CheckExact(obj)) return write_extension_container(obj, ext::kTuple, "(...)", buf, start);
  used_python_fallback_ = true;
  if (!set_profiler_flag()) return unsupported_failed(obj, buf, start);

  struct Kind {
    PyTypeObject* type;
    std::int8_t code;
    std::string_view placeholder;
  };
  const Kind kinds[] = {{&PyTuple_Type, ext::kTuple, "(...)"},
                        {&PySet_Type, ext::kSet, "set(...)"},
                        {&PyFrozenSet_Type, ext::kFrozenset, "frozenset(...)"}};
  std::uint8_t memo = 2;
  for (const Kind& kind : kinds) {
    const int match = isinstance(obj, reinterpret_cast<PyObject*>(kind.type), memo);
    if (match < 0) return unsupported_raised(obj, buf, start);
    if (match) return write_extension_container(obj, kind.code, kind.placeholder, buf, start);
  }
  const int is_dict = isinstance(obj, reinterpret_cast<PyObject*>(&PyDict_Type), memo);
  if (is_dict < 0) return unsupported_raised(obj, buf, start);
  if (is_dict) return write_dict_subclass(obj, buf, depth, start);
  return write_leaf_payload(obj, memo, buf, start);
}

// The failure path: nothing of the value stays; the error may still be
// replaced by a text record.
bool NativeMsgpackEncoder::unsupported_failed(PyObject* obj, ByteBuffer& buf, std::size_t start) {
  buf.truncate(start);
  return handle_default_error(obj, buf);
}

bool NativeMsgpackEncoder::unsupported_raised(PyObject* obj, ByteBuffer& buf, std::size_t start) {
  fail_current();
  return unsupported_failed(obj, buf, start);
}

bool NativeMsgpackEncoder::write_extension_container(PyObject* obj, std::int8_t kind, std::string_view placeholder,
                                                     ByteBuffer& buf, std::size_t start) {
  if (careful_ && on_container_stack(obj)) return write_placeholder(placeholder, buf);
  Ref items;
  if (!PyTuple_CheckExact(obj)) {
    if (Py_IS_TYPE(obj, &PySet_Type) || Py_IS_TYPE(obj, &PyFrozenSet_Type)) {
      if (over_limit(saturating_add(start, static_cast<std::uint64_t>(PySet_GET_SIZE(obj))))) return over_budget();
    }
    items = Ref::steal(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyList_Type), obj));
    if (items && !PyList_Check(items.get())) {
      PyErr_SetString(PyExc_TypeError, "list() did not return a list");
      items.reset();
    }
    if (!items) return unsupported_raised(obj, buf, start);
  }

  // Room for the largest header; the data is moved down once its size is
  // known. The reserved bytes do not count against the budget meanwhile.
  static constexpr char kReserved[6] = {};
  buf.write(kReserved, sizeof kReserved);
  exempt_ += sizeof kReserved;
  const bool ok = pack_extension_items(obj, items.get(), buf);
  exempt_ = exempt_ >= sizeof kReserved ? exempt_ - sizeof kReserved : 0;
  if (!ok) return unsupported_failed(obj, buf, start);

  const std::size_t n = buf.size() - start - sizeof kReserved;
  if (n > kU32Max) {
    fail_with(PyExc_ValueError, "EXT data is too large");
    return unsupported_failed(obj, buf, start);
  }
  struct HeaderSink {
    char bytes[6];
    std::size_t size = 0;
    void write(const char* data, std::size_t len) {
      std::memcpy(bytes + size, data, len);
      size += len;
    }
  } header;
  msgpack::packer<HeaderSink>(header).pack_ext(n, kind);
  char* base = buf.data() + start;
  std::memmove(base + header.size, base + sizeof kReserved, n);
  std::memcpy(base, header.bytes, header.size);
  buf.truncate(start + header.size + n);
  if (over_limit(buf.size())) return over_budget();
  return true;
}

// A dict subclass is written as a plain map of dict(obj), whose containers
// are never targets of back-references.
bool NativeMsgpackEncoder::write_dict_subclass(PyObject* obj, ByteBuffer& buf, std::int32_t depth,
                                               std::size_t start) {
  if (careful_ && on_container_stack(obj)) return write_placeholder("{...}", buf);
  Ref copy = Ref::steal(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyDict_Type), obj));
  if (copy && !PyDict_Check(copy.get())) {
    PyErr_SetString(PyExc_TypeError, "dict() did not return a dict");
    copy.reset();
  }
  if (!copy) return unsupported_raised(obj, buf, start);

  ++payload_nesting_;
  struct Lower {
    std::uint32_t& nesting;
    ~Lower() { --nesting; }
  } lower{payload_nesting_};
  if (careful_ || depth <= static_cast<std::int32_t>(state_.max_depth) - 8)
    return pack_dict_copy_tracked(obj, copy.get(), buf, depth);
  const auto entries = static_cast<std::uint64_t>(PyDict_GET_SIZE(copy.get()));
  if (over_limit(saturating_add(buf.size(), saturating_add(entries, entries)))) return over_budget();
  if (!dict_body(copy.get(), buf, depth)) return false;
  if (ext_nesting_ == 0 && shared_) record_completed_container(copy.get(), false);
  return true;
}

bool NativeMsgpackEncoder::write_leaf_payload(PyObject* obj, std::uint8_t& memo, ByteBuffer& buf,
                                              std::size_t start) {
  LeafPayload leaf;
  if (!default_leaf_payload(obj, memo, remaining_budget(buf), leaf))
    return unsupported_raised(obj, buf, start);
  if (leaf.too_large) return over_budget();
  std::string_view data;
  if (!leaf.payload.data(data)) return unsupported_raised(obj, buf, start);
  if (over_limit(saturating_add(buf.size(), data.size()))) return over_budget();
  if (!write_ext(buf, leaf.code, data)) return unsupported_raised(obj, buf, start);
  if (over_limit(buf.size())) return over_budget();
  return true;
}

bool NativeMsgpackEncoder::write_placeholder(std::string_view text, ByteBuffer& buf) {
  ++placeholders_;
  if (over_limit(saturating_add(buf.size(), text.size()))) return over_budget();
  write_ext(buf, ext::kText, text);
  if (over_limit(buf.size())) return over_budget();
  return true;
}

// Replaces a value whose handling raised by a short text record where that
// is allowed: the query-free text for DatabaseAccessBlocked, else (outside
// lightweight mode, for Exception subclasses, and unless the careful pass
// should get its chance) "module.Qualname" as extension 127.
bool NativeMsgpackEncoder::handle_default_error(PyObject* obj, ByteBuffer& buf) {
  if (!error_ || !error_->is_python()) return false;
  PyError raised = std::move(*error_->python_error());
  error_.reset();

  Ref blocked = global(VESH_INTERNED("DatabaseAccessBlocked"));
  if (!blocked) {
    PyError name_error = PyError::fetch();
    PyException_SetContext(name_error.value(), Ref::borrow(raised.value()).release());
    return fail(std::move(name_error));
  }
  const bool query_free = PyErr_GivenExceptionMatches(raised.value(), blocked.get()) != 0;
  if (!query_free) {
    if (lightweight_repr_ || !raised.matches(PyExc_Exception) || (!careful_ && needs_careful(raised.value())))
      return fail(std::move(raised));
  }

  LeafPayload leaf;
  PyObject* saved = PyErr_GetHandledException();
  PyErr_SetHandledException(raised.value());
  const bool built = default_error_text(obj, query_free, leaf);
  PyError failure = built ? PyError() : PyError::fetch();
  PyErr_SetHandledException(saved);
  Py_XDECREF(saved);

  if (!built) {
    if (failure.value() != raised.value()) {
      Ref context = Ref::steal(PyException_GetContext(failure.value()));
      if (!context) PyException_SetContext(failure.value(), Ref::borrow(raised.value()).release());
    }
    return fail(std::move(failure));
  }
  return write_payload(leaf, buf);
}

bool NativeMsgpackEncoder::default_error_text(PyObject* obj, bool query_free, LeafPayload& out) {
  if (query_free) {
    Ref fn = global(VESH_INTERNED("_query_free_repr"));
    if (!fn) return false;
    out.code = ext::kText;
    return utf8_payload(Ref::steal(PyObject_CallOneArg(fn.get(), obj)), out.payload);
  }
  // Instances of many built-in and C types have no __module__ of their
  // own: their type's names the value just as well. The type is held: the
  // lookups run the value's code, which may give it another class and free
  // this one.
  Ref type = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(obj)));
  Ref module = Ref::steal(PyObject_GetAttr(obj, VESH_INTERNED("__module__")));
  if (!module && PyErr_ExceptionMatches(PyExc_AttributeError)) {
    PyErr_Clear();
    module = Ref::steal(PyObject_GetAttr(type.get(), VESH_INTERNED("__module__")));
  }
  Ref module_text = format_field(std::move(module));
  if (!module_text) return false;
  Ref qualname = format_field(Ref::steal(PyObject_GetAttr(type.get(), VESH_INTERNED("__qualname__"))));
  if (!qualname) return false;
  Ref dot = text_of(".");
  out.code = ext::kTypeName;
  return escaped_utf8_payload(concat_text({module_text.get(), dot.get(), qualname.get()}), out.payload);
}

// Releasing references can run finalizers; the raised counter tells such
// code that a native encode is still in progress.
void NativeMsgpackEncoder::release() noexcept {
  if (profiler_flag_) {
    profiler_flag_ = false;  // IN_VESH_PROFILER is left as it is
  } else if (!snapshot_.empty() || shared_ || (memo_ && !memo_->empty())) {
    ++NATIVE_ENCODES;
  } else {
    return;
  }
  while (!snapshot_.empty()) {
    PyObject* item = snapshot_.back();
    snapshot_.pop_back();
    Py_DECREF(item);
  }
  release_shared();
  memo_.reset();
  --NATIVE_ENCODES;
}

NativeMsgpackEncoder::~NativeMsgpackEncoder() { release(); }

}  // namespace vesh::encode
