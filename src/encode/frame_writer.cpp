#include "encode/frame_writer.h"

#include "py/fault.h"
#include "foundation/error_reporting.h"
#include "foundation/frame_locals.h"
#include "encode/msgpack_encoding.h"
#include "encode/unencodable_value.h"
#include "foundation/stack_guard.h"

#include <msgpack.hpp>

#include <limits>
#include <string>

namespace vesh::encode {

using py::PyError;
using py::Ref;

namespace {

constexpr char kFixmap10 = static_cast<char>(0x8a);
constexpr char kFixmap11 = static_cast<char>(0x8b);
constexpr char kEmptyMap = static_cast<char>(0x80);
constexpr char kNil = static_cast<char>(0xc0);

std::string_view value_key(std::uint8_t value_kind) noexcept {
  return value_kind == kException ? std::string_view("exception") : std::string_view("arg");
}

// The naming entries of a record ("path", "co_name", "qualname"), read
// before anything is written so that a failure leaves the buffer alone.
struct RecordNames {
  // With cached names: the current line, and the module object when the
  // cached qualname is present.
  std::optional<std::uint64_t> line;
  Ref module;
  // Without cached names: the frame path cache's answer.
  FrameLocation location;
  // The joined qualified name when it is not written from the module's text.
  std::optional<std::string> qualname;
};

bool resolve_names(const FrameWrite& write, RecordNames& names) {
  if (const CachedCodeNames* cached = write.cached) {
    if (!frame_line_number(write.frame, names.line, cached->lines)) return false;
    if (cached->qualname) {
      names.module = get_qualname_module(write.frame);
      return bool(names.module);
    }
    return get_qualname(write.frame, names.qualname);
  }
  if (!write.path_cache->frame_path_and_native_eligibility(write.frame, names.location)) return false;
  return get_qualname(write.frame, names.qualname);
}

void write_path(ByteBuffer& buffer, const FrameWrite& write, const RecordNames& names) {
  if (write.cached) {
    write_frame_path_pair(buffer, write.cached->path, names.line);
  } else {
    write_frame_path_pair(buffer, names.location.relative_path, names.location.line);
  }
}

// A module name that is an exact str with a UTF-8 form is written piece by
// piece; anything else goes through its display text, with characters that
// have no UTF-8 form replaced.
void write_qualname(ByteBuffer& buffer, const FrameWrite& write, const RecordNames& names) {
  if (write.cached && write.cached->qualname) {
    std::string_view qualname = *write.cached->qualname;
    PyObject* module = names.module.get();
    if (PyUnicode_CheckExact(module)) {
      Py_ssize_t size = 0;
      if (const char* utf8 = PyUnicode_AsUTF8AndSize(module, &size)) {
        write_frame_qualname_pair(buffer, std::string_view(utf8, static_cast<std::size_t>(size)), qualname);
        return;
      }
      PyErr_Clear();
    }
    std::string joined = object_text(module);
    joined += '.';
    joined += qualname;
    write_str_pair(buffer, "qualname", joined);
    return;
  }
  write_str_pair(buffer, "qualname",
                 names.qualname ? std::optional<std::string_view>(*names.qualname) : std::nullopt);
}

void write_naming_entries(ByteBuffer& buffer, const FrameWrite& write, const RecordNames& names) {
  write_path(buffer, write, names);
  write_str_pair(buffer, "co_name", write.co_name);
  write_qualname(buffer, write, names);
  const char* event = event_name(write.event_kind);
  if (event == nullptr) fault("event kind out of range: " + std::to_string(write.event_kind));
  write_event_and_frame_id_pairs(buffer, event, *write.frame_id);
}

void write_closing_entries(ByteBuffer& buffer, const FrameWrite& write) {
  write_frame_closing_pairs(buffer, timestamp(), write.call_site);
}

// Why a record was written without its values.
constexpr std::string_view kStackLimit = "stack_limit";
constexpr std::string_view kUnencodableValue = "unencodable_value";

void append_omitted(ByteBuffer& buffer, const FrameWrite& write, const RecordNames& names,
                    std::string_view cause = kStackLimit) {
  buffer.push_back(kFixmap11);
  write_naming_entries(buffer, write, names);
  write_str(buffer, value_key(write.value_kind));
  buffer.push_back(kNil);
  write_str(buffer, "locals");
  buffer.push_back(kEmptyMap);
  write_closing_entries(buffer, write);
  write_str_pair(buffer, "values_omitted", cause);
}

// The decision after a failed record whose names are already known.
bool omit_after_failure(PyError error, ByteBuffer& buffer, const FrameWrite& write, const RecordNames& names) {
  if (reaches_program(error) || !hit_recursion_limit(error)) {
    error.restore();
    return false;
  }
  append_omitted(buffer, write, names);
  return true;
}

// Containers of the record around a value: the record's map, and the
// locals map around each local.
constexpr std::uint32_t kInRecord = 1;
constexpr std::uint32_t kInLocals = 2;

// The locals pair by pair: for a whole over the budget (each value is then
// cut on its own and the names all stay), or after one value of them could
// not be encoded.
ValueWrite write_locals_per_item(NativeMsgpackEncoder& encoder, PyObject* const* pairs, std::size_t count,
                                 ByteBuffer& buffer, Unencoded& unencoded) {
  if (count > std::numeric_limits<std::uint32_t>::max()) {
    PyErr_SetString(PyExc_ValueError, "dict is too large");
    return ValueWrite::Failed;
  }
  msgpack::packer<ByteBuffer>(buffer).pack_map(static_cast<std::uint32_t>(count));
  std::optional<std::size_t> budget = encoder.byte_budget();
  encoder.set_record_nesting(kInLocals);
  for (std::size_t i = 0; i < count; ++i) {
    encoder.set_byte_budget(std::nullopt);
    ValueWrite key = encode_value_or_repr(encoder, pairs[2 * i], buffer, unencoded, AsKey::Yes);
    encoder.set_byte_budget(budget);
    if (key != ValueWrite::Written) return key;
    ValueWrite item = encode_value_or_repr(encoder, pairs[2 * i + 1], buffer, unencoded);
    if (item != ValueWrite::Written) return item;
  }
  return ValueWrite::Written;
}

// The same for a mapping that is a dict, from its items() list.
ValueWrite write_dict_per_item(NativeMsgpackEncoder& encoder, PyObject* locals, ByteBuffer& buffer,
                               Unencoded& unencoded) {
  Ref items = Ref::steal(PyDict_Items(locals));
  if (!items) return ValueWrite::Failed;
  frame_locals::Pairs pairs;  // borrowed from `items`, which holds them
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
    PyObject* pair = PyList_GET_ITEM(items.get(), i);
    if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2) {
      PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'PyTuple'", Py_TYPE(pair)->tp_name);
      return ValueWrite::Failed;
    }
    pairs.push_back(PyTuple_GET_ITEM(pair, 0));
    pairs.push_back(PyTuple_GET_ITEM(pair, 1));
  }
  return write_locals_per_item(encoder, pairs.data(), pairs.size() / 2, buffer, unencoded);
}

// The record's locals: a function frame's (name, value) pairs, held while
// the record is written, or a mapping (None for an omitted return).
class RecordLocals {
 public:
  RecordLocals() = default;
  RecordLocals(const RecordLocals&) = delete;
  RecordLocals& operator=(const RecordLocals&) = delete;
  ~RecordLocals() { release(); }

  // Reads the frame's locals; false with the error set.
  bool read(PyObject* frame) {
    auto* frame_object = reinterpret_cast<PyFrameObject*>(frame);
    if (PyFrame_Check(frame) && frame_locals::in_slots(frame_object)) [[likely]] {
      frame_locals::read(frame_object, pairs_);
      if (drop_builtins_and_hold()) return true;
    }
    mapping_ = get_locals(frame);
    return bool(mapping_);
  }
  void omit() { mapping_ = py::none(); }
  // Gives the references back: releasing may run finalizers, so it comes
  // before a failure is raised again.
  void release() noexcept {
    for (PyObject* item : pairs_) Py_DECREF(item);
    pairs_.clear();
    mapping_.reset();
  }

  bool is_pairs() const noexcept { return !mapping_; }
  PyObject* const* pairs() const noexcept { return pairs_.data(); }
  std::size_t count() const noexcept { return pairs_.size() / 2; }
  PyObject* mapping() const noexcept { return mapping_.get(); }

 private:
  // Leaves out a local named "__builtins__", as for every other frame, and
  // takes references. False (nothing held) when a name set from outside is
  // not an exact str: such locals go the dict's way.
  bool drop_builtins_and_hold() {
    std::size_t kept = 0;
    for (std::size_t i = 0; i < pairs_.size(); i += 2) {
      PyObject* name = pairs_[i];
      if (!PyUnicode_CheckExact(name)) {
        pairs_.clear();
        return false;
      }
      if (PyUnicode_GET_LENGTH(name) == 12 && PyUnicode_CompareWithASCIIString(name, "__builtins__") == 0) continue;
      pairs_[kept++] = name;
      pairs_[kept++] = pairs_[i + 1];
    }
    pairs_.resize(kept);
    for (PyObject* item : pairs_) Py_INCREF(item);
    return true;
  }

  frame_locals::Pairs pairs_;  // strong references when in use
  Ref mapping_;
};

// The locals entry's value. A whole over the budget, or one whose encoding
// failed, is rewritten pair by pair when it is a function frame's locals or
// a dict; a dict subclass over the budget (a frame's own mapping) keeps its
// single marker.
ValueWrite write_locals(NativeMsgpackEncoder& encoder, const RecordLocals& locals, ByteBuffer& buffer,
                        Unencoded& unencoded) {
  const std::size_t start = buffer.size();
  PyObject* mapping = locals.mapping();
  encoder.set_record_nesting(kInRecord);
  Result<bool, EncodeError> written = locals.is_pairs() ? encoder.encode_pairs(locals.pairs(), locals.count(), buffer)
                                                        : encoder.encode_value(mapping, buffer);
  if (written) [[likely]] {
    if (!written.value() || (mapping != nullptr && !PyDict_CheckExact(mapping))) return ValueWrite::Written;
  } else {
    const bool value_failed = written.error().is_python();
    PyError error = std::move(written).error().into_pyerr();
    if (!recoverable_failure(value_failed, error) || (mapping != nullptr && !PyDict_Check(mapping))) {
      error.restore();
      return ValueWrite::Failed;
    }
    // Pair by pair, each value has the levels it had inside the map: one
    // nested past them would only be walked to the limit again.
    if (exact_value_error_is(error.value(), "recursion limit exceeded.")) {
      if (!unencoded.error) unencoded.error = std::move(error);
      unencoded.omitted = true;
      return ValueWrite::Unencodable;
    }
  }
  buffer.truncate(start);
  if (locals.is_pairs()) return write_locals_per_item(encoder, locals.pairs(), locals.count(), buffer, unencoded);
  return write_dict_per_item(encoder, mapping, buffer, unencoded);
}

// Steps after the names: the full record with its values. Anything but
// Written leaves the buffer at its starting length.
ValueWrite append_full_with(NativeMsgpackEncoder& encoder, ByteBuffer& buffer, const FrameWrite& write,
                            const RecordNames& names, PyObject* value, const RecordLocals& locals,
                            Unencoded& unencoded, bool& used_python_fallback) {
  const std::size_t start = buffer.size();
  buffer.push_back(kFixmap10);
  write_naming_entries(buffer, write, names);

  write_str(buffer, value_key(write.value_kind));
  encoder.set_record_nesting(kInRecord);
  ValueWrite outcome = encode_value_or_repr(encoder, value, buffer, unencoded);
  if (outcome == ValueWrite::Written) {
    write_str(buffer, "locals");
    outcome = write_locals(encoder, locals, buffer, unencoded);
  }
  if (outcome != ValueWrite::Written) [[unlikely]] {
    buffer.truncate(start);
    return outcome;
  }
  write_closing_entries(buffer, write);
  used_python_fallback = encoder.used_python_fallback();
  return ValueWrite::Written;
}

// The encoder is released before a failure is raised again: releasing it
// drops references, which can run finalizers, and those must not run with
// an exception pending.
ValueWrite append_full(ByteBuffer& buffer, const FrameWrite& write, const RecordNames& names, PyObject* value,
                       RecordLocals& locals, Unencoded& unencoded, bool& used_python_fallback) {
  py::PyError failure;
  ValueWrite outcome;
  {
    NativeMsgpackEncoder encoder(*write.serializer, EncoderOptions{.byte_budget = write.byte_budget,
                                                                   .interning = write.interning,
                                                                   .lightweight_repr = write.lightweight_repr});
    outcome = append_full_with(encoder, buffer, write, names, value, locals, unencoded, used_python_fallback);
    if (outcome == ValueWrite::Failed) failure = py::PyError::fetch();
  }
  if (failure) {
    locals.release();
    failure.restore();
  }
  return outcome;
}

// Says once per code location (path and line) that a value there could not
// be encoded.
void report_unencoded(const FrameWrite& write, const RecordNames& names, const Unencoded& unencoded) {
  std::string location(write.cached ? write.cached->path : std::string_view(names.location.relative_path));
  location += ':';
  const std::optional<std::uint64_t>& line = write.cached ? names.line : names.location.line;
  location += line ? std::to_string(*line) : std::string("None");
  report_unencoded_once(write.co_name, location, unencoded);
}

void mark_native_ineligible(const FrameWrite& write, const RecordNames& names) {
  if (write.cached) {
    std::atomic<bool>* flag = write.cached->native_msgpack_eligible;
    if (flag != nullptr && flag->load(std::memory_order_relaxed)) flag->store(false, std::memory_order_release);
    return;
  }
  if (names.location.native_eligible) write.path_cache->mark_native_msgpack_unsupported(names.location.code_key);
}

}  // namespace

Ref get_locals(PyObject* frame) {
  auto* frame_object = reinterpret_cast<PyFrameObject*>(frame);
  const bool is_frame = PyFrame_Check(frame);
  const bool slots = is_frame && frame_locals::in_slots(frame_object);
  // A function frame's locals come from its slots into a dict of our own:
  // its f_locals would leave a snapshot on the frame holding every value.
  // Another frame's f_locals may write into the program's namespace.
  Ref locals = slots       ? Ref::steal(frame_locals::copy(frame_object))
               : is_frame ? Ref::steal(frame_locals::namespace_locals(frame_object))
                          : Ref::checked(PyObject_GetAttr(frame, VESH_INTERNED("f_locals")));
  if (!locals) return {};
  bool owned = slots;
  if (!PyDict_Check(locals.get())) {
    // A write-through proxy (3.13 function frames) or another mapping: a
    // dict of its own that this record may change.
    locals = Ref::checked(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyDict_Type), locals.get()));
    if (!locals) return {};
    if (!PyDict_Check(locals.get())) {
      PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'PyDict'", Py_TYPE(locals.get())->tp_name);
      return {};
    }
    owned = true;
  }
  PyObject* builtins_key = VESH_INTERNED("__builtins__");
  PyObject* builtins = PyDict_GetItemWithError(locals.get(), builtins_key);
  if (builtins == nullptr) {
    if (PyErr_Occurred()) expect_failed("locals.get(\"__builtins__\") should not raise.", PyError::fetch().message());
    return locals;
  }
  if (!owned) {
    // Module-level code: f_locals is the module's own dict, which must keep
    // its builtins.
    locals = Ref::steal(PyDict_Copy(locals.get()));
    if (!locals) expect_failed("a dict can always be copied", PyError::fetch().message());
  }
  if (PyDict_DelItem(locals.get(), builtins_key) < 0) {
    expect_failed("a present key can always be removed", PyError::fetch().message());
  }
  return locals;
}

bool write_frame_without_values(ByteBuffer& buffer, const FrameWrite& write) {
  RecordNames names;
  if (!resolve_names(write, names)) return false;
  append_omitted(buffer, write, names);
  return true;
}

bool without_values_at_recursion_limit(PyError error, ByteBuffer& buffer, const FrameWrite& write) {
  if (reaches_program(error) || !hit_recursion_limit(error)) {
    error.restore();
    return false;
  }
  return write_frame_without_values(buffer, write);
}

bool write_frame_with_serializer_inner(ByteBuffer& buffer, const FrameWrite& write) {
  if (is_exit_kind(write.event_kind) && omitting_values()) [[unlikely]] {
    return write_frame_without_values(buffer, write);
  }
  RecordNames names;
  if (!resolve_names(write, names)) return false;

  PyObject* value = write.value_kind == kNoArg ? Py_None : write.value;
  RecordLocals locals;
  if (write.event_kind == kEventReturn && write.omit_return_locals) {
    locals.omit();
  } else if (!locals.read(write.frame)) [[unlikely]] {
    return omit_after_failure(PyError::fetch(), buffer, write, names);
  }

  Unencoded unencoded;
  bool used_python_fallback = false;
  const ValueWrite outcome = append_full(buffer, write, names, value, locals, unencoded, used_python_fallback);
  if (outcome == ValueWrite::Failed) [[unlikely]]
    return omit_after_failure(PyError::fetch(), buffer, write, names);
  if (outcome == ValueWrite::Unencodable) [[unlikely]]
    append_omitted(buffer, write, names, kUnencodableValue);
  if (unencoded.error) [[unlikely]]
    report_unencoded(write, names, unencoded);
  if (used_python_fallback && outcome == ValueWrite::Written) [[unlikely]]
    mark_native_ineligible(write, names);
  return true;
}

}  // namespace vesh::encode
