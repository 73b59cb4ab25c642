#include "utils/value_serializer.h"

#include "py/fault.h"
#include "py/gil_mutex.h"
#include "support/native_stack.h"

#include <msgpack.hpp>

#include <atomic>
#include <cstring>
#include <limits>
#include <string>

namespace vesh::encode {

thread_local std::uint32_t NATIVE_ENCODES = 0;

namespace {

using py::PyError;
using py::Ref;
using Packer = msgpack::packer<ByteBuffer>;

constexpr std::uint64_t kU32Max = std::numeric_limits<std::uint32_t>::max();

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

NativeMsgpackEncoder::~NativeMsgpackEncoder() { release(); }

// Releasing references can run finalizers; the raised counter tells such
// code that a native encode is still in progress.
void NativeMsgpackEncoder::release() noexcept {
  if (profiler_flag_) {
    profiler_flag_ = false;  // IN_VESH_PROFILER is left as it is
  } else if (!snapshot_.empty()) {
    ++NATIVE_ENCODES;
  } else {
    return;
  }
  while (!snapshot_.empty()) {
    PyObject* item = snapshot_.back();
    snapshot_.pop_back();
    Py_DECREF(item);
  }
  --NATIVE_ENCODES;
}

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
    careful_ = true;
    exempt_ = 0;
    ok = pack(value, buf, depth);
    careful_ = false;
    container_stack_.clear();
  }

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
  const auto entries = static_cast<std::uint64_t>(IsDict ? PyDict_GET_SIZE(container) : PyList_GET_SIZE(container));
  if (over_limit(saturating_add(buf.size(), IsDict ? saturating_add(entries, entries) : entries)))
    return over_budget();
  if (careful_) [[unlikely]] {
    return IsDict ? pack_dict_carefully(container, buf, depth - 1) : pack_list_carefully(container, buf, depth - 1);
  }
  return IsDict ? dict_body(container, buf, depth - 1) : list_body(container, buf, depth - 1);
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

void NativeMsgpackEncoder::complete_careful_container(PyObject*, bool) {}

// ---------------------------------------------------------------------------
// Values without a native form

bool NativeMsgpackEncoder::pack_unencodable_str(PyObject*, PyError error, ByteBuffer&) {
  return fail(std::move(error));
}

bool NativeMsgpackEncoder::write_unsupported_leaf(PyObject* obj, ByteBuffer&, std::int32_t) {
  used_python_fallback_ = true;
  PyErr_Format(PyExc_TypeError, "native encoding of '%.200s' values is not supported", Py_TYPE(obj)->tp_name);
  return fail_current();
}

}  // namespace vesh::encode
