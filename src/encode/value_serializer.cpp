// The encoder core: entry, type dispatch, str and bytes, dicts and lists on
// the fast pass, and the extension records of tuples, sets and frozensets.
#include "encode/encoder_internal.h"

#include "support/native_stack.h"

#include <algorithm>

namespace vesh::encode {

using py::PyError;
using py::Ref;

thread_local std::uint32_t NATIVE_ENCODES __attribute__((tls_model("initial-exec"))) = 0;

namespace {
constexpr std::uint32_t kSharedTrackingStart = 1024;
}  // namespace

// ---------------------------------------------------------------------------
// Errors

PyError EncodeError::into_pyerr() && {
  if (auto* error = std::get_if<PyError>(&v_)) return std::move(*error);
  if (auto* text = std::get_if<std::string>(&v_)) return PyError::make(PyExc_OSError, *text);
  return PyError::make(PyExc_ValueError, "value exceeds max_value_mb");
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
      record_nesting_(options.record_nesting),
      interning_(options.interning),
      ext_nesting_(options.ext_nesting),
      base_ext_nesting_(options.ext_nesting),
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
  auto pass = [&](std::int32_t depth) { return pack(value, buf, depth); };
  return encode_with(buf, Py_TYPE(value), pass, pass);
}

Result<bool, EncodeError> NativeMsgpackEncoder::encode_key(PyObject* key, ByteBuffer& buf) {
  auto pass = [&](std::int32_t depth) { return pack_key(key, buf, depth); };
  return encode_with(buf, Py_TYPE(key), pass, pass);
}

Result<bool, EncodeError> NativeMsgpackEncoder::encode_pairs(PyObject* const* pairs, std::size_t count,
                                                            ByteBuffer& buf) {
  auto first = [&](std::int32_t depth) { return pack_pairs(pairs, count, buf, depth); };
  // The careful pass tracks containers by identity: it gets the dict itself.
  auto careful = [&](std::int32_t depth) {
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return fail_current();
    for (std::size_t i = 0; i < count; ++i) {
      if (PyDict_SetItem(dict.get(), pairs[2 * i], pairs[2 * i + 1]) < 0) return fail_current();
    }
    return pack(dict.get(), buf, depth);
  };
  return encode_with(buf, &PyDict_Type, first, careful);
}

// One value from start to end: the fast pass, the careful pass when the
// fast one gave up, and the budget; `type` names a truncation marker.
template <typename FirstPass, typename CarefulPass>
Result<bool, EncodeError> NativeMsgpackEncoder::encode_with(ByteBuffer& buf, PyTypeObject* type, FirstPass first,
                                                           CarefulPass careful) {
  const std::size_t start = buf.size();
  byte_limit_ = UINT64_MAX;
  if (budget_) {
    std::uint64_t limit = start + static_cast<std::uint64_t>(*budget_);
    if (limit >= start) byte_limit_ = limit;
  }
  exempt_ = 0;
  out_of_depth_ = false;
  named_on_path_ = false;
  refused_container_ = false;
  const std::int32_t depth = start_depth();

  bool ok = first(depth);
  if (!ok && retry_carefully()) {
    buf.truncate(start);
    release_shared();
    out_of_depth_ = false;
    careful_ = true;
    exempt_ = 0;
    ok = careful(depth);
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
    write_truncation_marker(type, buf);
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
  if (out_of_depth_ && !careful_pass_goes_further(error->value())) return false;
  error_.reset();
  return true;
}

// The depth the top value starts at. As msgpack.packb counts it, a value
// at depth d holds at most d levels of containers above a leaf, or d + 1
// when the innermost are empty; a reader takes a number of levels whatever
// they hold. Inside a record, the record's own containers come off what a
// reader takes, and where that is the tighter limit, the floor counts: no
// map or array opens below depth 0, empty or not.
std::int32_t NativeMsgpackEncoder::start_depth() noexcept {
  const auto limit = static_cast<std::int32_t>(state_.max_depth);
  floor_counts_ = false;
  if (!record_nesting_) return limit;
  const std::int64_t left = std::int64_t{kReadableNesting} - std::int64_t{*record_nesting_};
  if (left > limit) return limit;
  floor_counts_ = true;
  return static_cast<std::int32_t>(std::max<std::int64_t>(left, -1));
}

bool NativeMsgpackEncoder::opens_below_floor(std::int32_t item_depth) noexcept {
  return item_depth < 0 && floor_counts_ && ext_nesting_ == base_ext_nesting_;
}

// The nesting limit is met on the fast pass by a value nested too deeply or
// by one that holds itself. The careful pass does better for the second,
// with a placeholder where a container it is inside is met again, and for a
// value whose failing part lies inside a tuple or set record, which it
// writes by its type's name and goes on. Otherwise it would walk the same
// way to the same failure, at the cost of a second walk to the limit for
// every such value.
bool NativeMsgpackEncoder::ran_out_of_depth() {
  if (!careful_) {
    out_of_depth_ = true;
    named_on_path_ = false;
    depth_path_.clear();
  }
  return fail_with(PyExc_ValueError, "recursion limit exceeded.");
}

bool NativeMsgpackEncoder::careful_pass_goes_further(PyObject* exception) {
  if (!exact_value_error_is(exception, "recursion limit exceeded.")) return true;
  if (named_on_path_) return true;
  std::sort(depth_path_.begin(), depth_path_.end());
  return std::adjacent_find(depth_path_.begin(), depth_path_.end()) != depth_path_.end();
}

void NativeMsgpackEncoder::write_truncation_marker(PyTypeObject* type, ByteBuffer& buf) {
  std::string name = "object";
  Ref qualname = Ref::checked(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__qualname__"));
  Ref cut = qualname ? Ref::checked(PySequence_GetSlice(qualname.get(), 0, 200)) : Ref();
  Ref encoded = cut ? Ref::checked(PyObject_CallMethod(cut.get(), "encode", "ss", "utf-8", "backslashreplace"))
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
    return ran_out_of_depth();
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

// Only the key itself is one: the flag is taken by the unsupported-value
// path when the key reaches it, and never seen by what the key holds.
bool NativeMsgpackEncoder::pack_key(PyObject* key, ByteBuffer& buf, std::int32_t depth) {
  key_pending_ = true;
  const bool ok = pack(key, buf, depth);
  key_pending_ = false;
  return ok;
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
  if (!ok) [[unlikely]]
    left_after_depth_ran_out(container);
  if (ok && ext_nesting_ == 0 && shared_) [[unlikely]] {
    const Py_ssize_t size = IsDict ? PyDict_GET_SIZE(container) : PyList_GET_SIZE(container);
    record_completed_container(container, size > 1 && payload_nesting_ == 0);
  }
  return ok;
}

// A new dict of the pairs, as pack_container and dict_body write it. The
// pairs are held by the caller, so no snapshot is needed; a new dict is
// never the target of a shared reference, and none comes after it.
bool NativeMsgpackEncoder::pack_pairs(PyObject* const* pairs, std::size_t count, ByteBuffer& buf,
                                      std::int32_t depth) {
  if (stack_too_low()) [[unlikely]]
    return false;
  if (ext_nesting_ == 0 && payload_nesting_ == 0 && !shared_ && ++plain_containers_ >= kSharedTrackingStart)
      [[unlikely]] {
    start_shared_tracking();
  }
  const auto entries = static_cast<std::uint64_t>(count);
  if (over_limit(saturating_add(buf.size(), saturating_add(entries, entries)))) return over_budget();
  if (entries > kU32Max) return fail_with(PyExc_ValueError, "dict is too large");
  Packer(buf).pack_map(static_cast<std::uint32_t>(entries));
  for (std::size_t i = 0; i < count; ++i) {
    if (!pack_str(pairs[2 * i], buf) || !pack(pairs[2 * i + 1], buf, depth - 1)) return false;
    if ((i & 255) == 255 && over_limit(buf.size())) return over_budget();
  }
  return true;
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
  if (opens_below_floor(depth)) [[unlikely]]
    return ran_out_of_depth();
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
  return pack_snapshot(scope.base(), scope.pushed(), buf, depth, Keys::None);
}

bool NativeMsgpackEncoder::dict_body(PyObject* dict, ByteBuffer& buf, std::int32_t depth) {
  if (opens_below_floor(depth)) [[unlikely]]
    return ran_out_of_depth();
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
  return pack_snapshot(scope.base(), scope.pushed(), buf, depth, pending != nullptr ? Keys::Odd : Keys::Even);
}

bool NativeMsgpackEncoder::pack_snapshot(std::size_t first, std::size_t count, ByteBuffer& buf, std::int32_t depth,
                                         Keys keys) {
  const std::size_t key_parity = keys == Keys::Odd ? 1 : 0;
  for (std::size_t i = first; i < first + count; ++i) {
    if (i >= snapshot_.size()) fault("snapshot index out of range");
    const bool key = keys != Keys::None && ((i - first) & 1) == key_parity;
    if (!(key ? pack_key(snapshot_[i], buf, depth) : pack(snapshot_[i], buf, depth))) return false;
    if ((i & 255) == 255 && over_limit(buf.size())) return over_budget();
  }
  return true;
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
    container_stack_.push(obj);
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
  if (pushed) container_stack_.pop();
  --ext_nesting_;
  if (!ok) {
    left_after_depth_ran_out(obj);
    // The careful pass writes this record by its type's name instead.
    if (out_of_depth_ && !careful_ && !lightweight_repr_) named_on_path_ = true;
  }
  return ok;
}

bool NativeMsgpackEncoder::pack_dict_copy_tracked(PyObject* stood_for, PyObject* dict, ByteBuffer& buf,
                                                  std::int32_t depth) {
  if (!careful_ && on_container_stack(stood_for))
    return fail_with(PyExc_ValueError, "recursion limit exceeded.");
  container_stack_.push(stood_for);
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
  container_stack_.pop();
  return ok;
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
