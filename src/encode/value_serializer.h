// Native MessagePack encoding of Python values.
//
// NativeMsgpackEncoder appends one Python value at a time to a caller's
// ByteBuffer: headers and scalars through msgpack-cxx's packer, exact dicts
// and lists natively, everything else through the unsupported-value path.
// A value either appears whole, or (over the byte budget) as one truncation
// marker, or not at all: a failed encode cuts the buffer back to where it
// began, so callers such as the frame record writer can encode in place into
// a frame store's open buffer.
//
// The encoder never releases the interpreter lock itself. Python code that it
// runs (repr, isoformat, msgpack.packb, finalizers) may switch threads, so
// container items are read through borrowed pointers only while no Python
// code can run; the rest are first taken into a snapshot of strong
// references.
#pragma once

#include <Python.h>

#include "encode/open_containers.h"
#include "encode/serializer_state.h"
#include "py/error.h"
#include "py/ref.h"
#include "support/byte_buffer.h"
#include "support/result.h"

#include <absl/container/flat_hash_map.h>
#include <absl/container/inlined_vector.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace vesh::encode {

// Depth of native encodes running on this thread (the Python serializer asks
// whether it is being called from inside one).
extern thread_local std::uint32_t NATIVE_ENCODES __attribute__((tls_model("initial-exec")));

// MessagePack extension type codes written inside encoded values.
namespace ext {
inline constexpr std::int8_t kText = 0;           // text standing for a value
inline constexpr std::int8_t kDatetime = 1;
inline constexpr std::int8_t kDate = 2;
inline constexpr std::int8_t kTime = 3;
inline constexpr std::int8_t kBigInt = 4;         // big-endian two's complement
inline constexpr std::int8_t kDecimal = 5;
inline constexpr std::int8_t kTuple = 6;
inline constexpr std::int8_t kSet = 7;
inline constexpr std::int8_t kFrozenset = 8;
inline constexpr std::int8_t kInternedRef = 9;    // 4-byte big-endian value id
inline constexpr std::int8_t kSurrogateStr = 10;  // "surrogatepass" UTF-8 bytes
inline constexpr std::int8_t kSharedRef = 11;     // 4-byte big-endian distance
inline constexpr std::int8_t kTruncated = 12;     // truncation marker text
inline constexpr std::int8_t kTypeName = 127;     // "module.Qualname" of a failed value
}  // namespace ext

// Below this much native stack the recursive step refuses to go deeper and
// fails with RecursionError, which takes the careful pass and, failing that,
// the caller's values-omitted route.
inline constexpr std::size_t kEncoderStackFloor = 64 * 1024;

// ---------------------------------------------------------------------------
// Encode errors

class EncodeError {
 public:
  struct OverBudget {};
  EncodeError() noexcept : v_(OverBudget{}) {}
  static EncodeError python(py::PyError e) noexcept { return EncodeError(std::move(e)); }
  static EncodeError message(std::string text) { return EncodeError(std::move(text)); }
  static EncodeError over_budget() noexcept { return EncodeError(); }

  bool is_python() const noexcept { return std::holds_alternative<py::PyError>(v_); }
  bool is_message() const noexcept { return std::holds_alternative<std::string>(v_); }
  bool is_over_budget() const noexcept { return std::holds_alternative<OverBudget>(v_); }
  py::PyError* python_error() noexcept { return std::get_if<py::PyError>(&v_); }
  const std::string* message_text() const noexcept { return std::get_if<std::string>(&v_); }

  // The exception callers raise: the Python exception itself, OSError(text)
  // for a message, ValueError("value exceeds max_value_mb") when over budget.
  py::PyError into_pyerr() &&;

 private:
  explicit EncodeError(py::PyError e) noexcept : v_(std::move(e)) {}
  explicit EncodeError(std::string text) : v_(std::move(text)) {}
  std::variant<OverBudget, py::PyError, std::string> v_;
};

// ---------------------------------------------------------------------------
// Value interning hook: implemented by value interning, which publishes large
// str and bytes values once per trace capture and writes references to them.

enum class InternedKind : std::uint8_t { Str = 0, Bytes = 1 };

struct InternLookup {
  enum class Action : std::uint8_t {
    ReferenceWritten,  // the reference record was appended; the value is done
    EncodeInline,      // write the value as a normal str or bin record
    EncodeAndIntern,   // encode the record alone and hand it to cache_current_value
    Error,             // fail the encode with `message`
  };
  Action action = Action::EncodeInline;
  std::string message;
};

class InterningContext {
 public:
  virtual ~InterningContext() = default;
  // Once set, every value is written inline.
  virtual bool interning_off() const noexcept = 0;
  // Asked for exact str/bytes values of 4,096 to 16,777,216 data bytes.
  // `data` is the UTF-8 form or the bytes. Must run no Python code.
  virtual InternLookup lookup_value(PyObject* obj, InternedKind kind, std::string_view data,
                                    ByteBuffer& buffer) = 0;
  // Appends `record` (the value's whole MessagePack record, header included)
  // to `buffer` in every case, keeping it when its limits allow. Must run no
  // Python code other than releasing `obj`.
  virtual void cache_current_value(py::Ref obj, InternedKind kind, std::size_t raw_len, ByteBuffer record,
                                   ByteBuffer& buffer) = 0;
};

inline constexpr std::size_t kInternMinBytes = 4096;
inline constexpr std::size_t kInternMaxBytes = 16 * 1024 * 1024;

// ---------------------------------------------------------------------------
// The encoder

struct EncoderOptions {
  std::optional<std::size_t> byte_budget;  // none: unlimited
  InterningContext* interning = nullptr;   // borrowed; outlives the encoder
  bool lightweight_repr = false;
  // Extension records the value already sits inside (1 for a value written
  // into an extension payload of its own record): no shared references at
  // its top level, and one level less before the nesting guard.
  std::uint32_t ext_nesting = 0;
  // Containers of its record around the value (2 for a local: the record's
  // map and the locals map). The whole record must stay within the levels
  // a reader takes, so the value gets fewer. None: a value on its own,
  // nested as far as the nesting limit allows, as msgpack.packb does.
  std::optional<std::uint32_t> record_nesting;
};

// Levels of nested containers msgpack's reader takes in one document.
inline constexpr std::int32_t kReadableNesting = 1024;

class NativeMsgpackEncoder {
 public:
  NativeMsgpackEncoder(const SerializerState& state, EncoderOptions options) noexcept;
  ~NativeMsgpackEncoder();
  NativeMsgpackEncoder(const NativeMsgpackEncoder&) = delete;
  NativeMsgpackEncoder& operator=(const NativeMsgpackEncoder&) = delete;

  // Appends the MessagePack form of `value`. Success answers whether the
  // value was replaced by a truncation marker; on failure the buffer is back
  // at its length before the call.
  Result<bool, EncodeError> encode_value(PyObject* value, ByteBuffer& buffer);
  // The same for a map key: a value that would be written as a map (a
  // hashable dict subclass, or a proxy claiming dict), which no reader can
  // use as a key, is written as its repr text instead.
  Result<bool, EncodeError> encode_key(PyObject* key, ByteBuffer& buffer);
  // For a value whose encode_value failed: appends its repr as the text
  // extension (the truncation marker when the text is over the budget).
  // False with the Python error set, and the buffer unchanged, when repr()
  // raises.
  bool encode_repr_text(PyObject* value, ByteBuffer& buffer);

  // Appends `count` (key, value) pairs, laid out key, value, key, ..., as one
  // map: exactly the bytes encode_value gives for a new dict holding them.
  // Keys must be exact strs, all distinct; the caller holds every reference.
  Result<bool, EncodeError> encode_pairs(PyObject* const* pairs, std::size_t count, ByteBuffer& buffer);

  // Some value other than an exact tuple needed the unsupported-value path.
  bool used_python_fallback() const noexcept { return used_python_fallback_; }
  // The last failed encode met a value it took for a container (whatever
  // its type says) and could not walk it within what it holds.
  bool refused_container() const noexcept { return refused_container_; }
  std::optional<std::size_t> byte_budget() const noexcept { return budget_; }
  // For callers that encode keys without a budget and values with one.
  void set_byte_budget(std::optional<std::size_t> budget) noexcept { budget_ = budget; }
  // For callers that write a record's map themselves and then its values.
  void set_record_nesting(std::optional<std::uint32_t> nesting) noexcept { record_nesting_ = nesting; }

 private:
  enum class Inert : std::uint8_t { Packed, NotInert, Failed };
  struct SharedContainers;
  class ReprMemo;
  class SnapshotScope;
  struct LeafPayload;

  // Entry and passes
  template <typename FirstPass, typename CarefulPass>
  Result<bool, EncodeError> encode_with(ByteBuffer& buf, PyTypeObject* type, FirstPass first, CarefulPass careful);
  bool pack_pairs(PyObject* const* pairs, std::size_t count, ByteBuffer& buf, std::int32_t depth);
  bool pack(PyObject* value, ByteBuffer& buf, std::int32_t depth);
  bool pack_key(PyObject* key, ByteBuffer& buf, std::int32_t depth);
  std::int32_t start_depth() noexcept;
  // Whether a map or array whose items are at `item_depth` would be one
  // level more than a reader takes of the record.
  bool opens_below_floor(std::int32_t item_depth) noexcept;
  bool pack_uncommon(PyObject* value, ByteBuffer& buf, std::int32_t depth);
  bool pack_int(PyObject* value, ByteBuffer& buf, std::int32_t depth);
  bool pack_str(PyObject* str, ByteBuffer& buf);
  bool pack_bytes(PyObject* bytes, ByteBuffer& buf);
  bool pack_interned(PyObject* obj, InternedKind kind, std::string_view data, ByteBuffer& buf, bool& done);
  bool retry_carefully();
  bool ran_out_of_depth();  // fails with the nesting limit's error
  // Notes a container the fast pass leaves after running out of depth.
  void left_after_depth_ran_out(PyObject* container) {
    if (out_of_depth_) depth_path_.push_back(container);
  }
  bool careful_pass_goes_further(PyObject* exception);
  bool stack_too_low();
  void write_truncation_marker(PyTypeObject* type, ByteBuffer& buf);

  // Containers (fast and careful)
  template <bool IsDict>
  bool pack_container(PyObject* container, ByteBuffer& buf, std::int32_t depth);
  Inert pack_inert(PyObject* item, ByteBuffer& buf);
  bool list_body(PyObject* list, ByteBuffer& buf, std::int32_t depth);
  bool dict_body(PyObject* dict, ByteBuffer& buf, std::int32_t depth);
  // Packs the rest of a dict from a snapshot: `pending` (a value whose key
  // is already written) and then every pair from `position` on.
  bool pack_dict_from(PyObject* dict, Py_ssize_t position, PyObject* pending, ByteBuffer& buf,
                      std::int32_t depth);
  // Which snapshot items are map keys: none (a list's items), or those at
  // an even or odd offset from the first.
  enum class Keys : std::uint8_t { None, Even, Odd };
  bool pack_snapshot(std::size_t first, std::size_t count, ByteBuffer& buf, std::int32_t depth, Keys keys);
  std::size_t snapshot_dict_items(PyObject* dict, Py_ssize_t position);
  bool pack_dict_carefully(PyObject* dict, ByteBuffer& buf, std::int32_t depth);
  bool pack_list_carefully(PyObject* list, ByteBuffer& buf, std::int32_t depth);
  bool enter_container(PyObject* container, std::string_view placeholder, ByteBuffer& buf);
  bool on_container_stack(PyObject* obj) const noexcept { return container_stack_.contains(obj); }
  void complete_careful_container(PyObject* container, bool no_placeholder_inside);

  bool pack_dict_copy_tracked(PyObject* stood_for, PyObject* dict, ByteBuffer& buf, std::int32_t depth);
  bool pack_extension_items(PyObject* obj, PyObject* single_value, ByteBuffer& buf);

  // Shared-container references
  void start_shared_tracking();
  bool write_shared_reference(PyObject* container, ByteBuffer& buf);
  void record_completed_container(PyObject* container, bool record);
  void release_shared() noexcept;

  // Byte-likes and the msgpack package's own types
  bool pack_bytearray(PyObject* value, ByteBuffer& buf);
  bool pack_with_msgpack(PyObject* value, ByteBuffer& buf);
  bool pack_released_memoryview(PyObject* value, ByteBuffer& buf);
  bool pack_unencodable_str(PyObject* str, py::PyError error, ByteBuffer& buf);

  // The unsupported-value path. Helpers below that return bool or a Ref
  // without recording their error follow the C API convention (the Python
  // error is set).
  bool write_unsupported_leaf(PyObject* obj, ByteBuffer& buf, std::int32_t depth);
  bool write_extension_container(PyObject* obj, std::int8_t kind, std::string_view placeholder, ByteBuffer& buf,
                                 std::size_t start);
  bool write_dict_subclass(PyObject* obj, ByteBuffer& buf, std::int32_t depth, std::size_t start);
  // A list (`as` list) or dict of its own made of `obj`, which is taken for
  // a tuple, set or dict, walked no further than it holds.
  bool copy_walked(PyObject* obj, PyTypeObject* as, py::Ref& copy, ByteBuffer& buf, std::size_t start);
  bool write_leaf_payload(PyObject* obj, std::uint8_t& memo, ByteBuffer& buf, std::size_t start);
  enum class Written : std::uint8_t { Done, Failed, NotApplicable };
  Written write_default_repr(PyObject* obj, ByteBuffer& buf);
  // The text of object.__repr__ for values of `type` up to their address,
  // or null when they take another branch of the path.
  const std::string* default_repr_head(PyTypeObject* type);
  bool takes_default_repr(PyTypeObject* type);
  std::optional<std::string> default_repr_text_head(PyTypeObject* type);
  bool write_placeholder(std::string_view text, ByteBuffer& buf);
  bool unsupported_failed(PyObject* obj, ByteBuffer& buf, std::size_t start);
  bool unsupported_raised(PyObject* obj, ByteBuffer& buf, std::size_t start);  // takes the current error
  // Fail (no text record) for a value taken for a container that has no
  // length (the current error), or whose iteration yields more or fewer
  // items (`met`) than the `held` it holds.
  bool unwalkable(ByteBuffer& buf, std::size_t start);
  bool miscounted(PyObject* obj, Py_ssize_t held, Py_ssize_t met, ByteBuffer& buf, std::size_t start);
  bool handle_default_error(PyObject* obj, ByteBuffer& buf);
  bool default_error_text(PyObject* obj, bool query_free, LeafPayload& out);
  bool default_leaf_payload(PyObject* value, std::uint8_t& memo, std::optional<std::uint64_t> remaining,
                            LeafPayload& out);
  bool unmatched_leaf_payload(PyObject* value, LeafPayload& out);
  bool write_payload(const LeafPayload& leaf, ByteBuffer& buf);
  int isinstance(PyObject* value, PyObject* cls, std::uint8_t& memo);
  // Whether isinstance() on values of `type` answers from the type alone:
  // it keeps object's own attribute lookup and __class__.
  bool class_is_type(PyTypeObject* type) const;
  py::Ref global(PyObject* name);
  py::Ref queryset_class();
  py::Ref repr(PyObject* obj);
  std::optional<std::uint64_t> remaining_budget(const ByteBuffer& buf) const noexcept;

  // IN_VESH_PROFILER and NATIVE_ENCODES
  bool set_profiler_flag();
  py::PyError reset_profiler_flag();
  void release() noexcept;

  // Errors and budget
  bool fail(py::PyError error) noexcept;
  bool fail_current() noexcept;  // takes the interpreter's current exception
  bool fail_with(PyObject* type, const char* message) noexcept;
  bool over_budget() noexcept;
  bool over_limit(std::uint64_t projected) const noexcept {
    std::uint64_t counted = projected > exempt_ ? projected - exempt_ : 0;
    return counted > byte_limit_;
  }

  const SerializerState& state_;
  std::optional<std::size_t> budget_;
  std::optional<std::uint32_t> record_nesting_;
  InterningContext* interning_;
  std::optional<EncodeError> error_;
  OpenContainers container_stack_;
  absl::InlinedVector<PyObject*, 16> snapshot_;          // strong references
  std::vector<PyObject*> depth_path_;  // identities only: containers left after running out of depth
  std::unique_ptr<SharedContainers> shared_;
  std::unique_ptr<ReprMemo> memo_;
  std::uint64_t placeholders_ = 0;
  std::uint64_t byte_limit_ = UINT64_MAX;
  std::uint64_t exempt_ = 0;
  std::uint32_t ext_nesting_ = 0;       // tuple/set/frozenset records open
  std::uint32_t base_ext_nesting_ = 0;  // ...of them, the value's own record
  std::uint32_t plain_containers_ = 0;  // dicts and lists met before shared tracking
  std::uint32_t payload_nesting_ = 0;   // dict copies packed for another object
  bool lightweight_repr_;
  bool profiler_flag_ = false;
  bool used_python_fallback_ = false;
  bool careful_ = false;
  bool out_of_depth_ = false;    // the fast pass ran out of nesting depth
  bool named_on_path_ = false;   // ...inside a record the careful pass writes by name
  bool key_pending_ = false;     // the value being packed is a map key
  bool floor_counts_ = false;    // see start_depth
  bool refused_container_ = false;
};

// Shortest extension header and data. Fails with ValueError("EXT data is too
// large") (set as the current exception) for data beyond 32 bits.
bool write_ext(ByteBuffer& buf, std::int8_t type, std::string_view data);

// Needs the careful pass: exact RecursionError, a UnicodeEncodeError for
// surrogates, or one of the ValueErrors the fast pass gives up with.
bool needs_careful(PyObject* exception) noexcept;
// Exactly ValueError(text), with nothing else in its args.
bool exact_value_error_is(PyObject* exception, std::string_view text) noexcept;

}  // namespace vesh::encode
