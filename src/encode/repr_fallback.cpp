// The unsupported-value path: values that are not native MessagePack are
// written as extension records, their repr, or the name of their type.
#include "encode/encoder_internal.h"
#include "support/stack_bytes.h"

namespace vesh::encode {

using py::PyError;
using py::Ref;

using namespace detail;

Ref NativeMsgpackEncoder::repr(PyObject* obj) {
  if (memo_) {
    if (PyObject* text = memo_->find(obj)) return Ref::borrow(text);
  }
  Ref text = Ref::checked(PyObject_Repr(obj));
  if (!text) return {};
  if (!memo_) memo_ = std::make_unique<ReprMemo>();
  memo_->remember(obj, text.get());
  return text;
}

bool NativeMsgpackEncoder::encode_repr_text(PyObject* value, ByteBuffer& buf) {
  used_python_fallback_ = true;
  if (!set_profiler_flag()) {
    std::move(*error_).into_pyerr().restore();
    error_.reset();
    return false;
  }
  Payload payload;
  std::string_view data;
  const bool made = escaped_utf8_payload(Ref::checked(PyObject_Repr(value)), payload) && payload.data(data);
  PyError failure = made ? PyError() : PyError::fetch();
  if (PyError reset = reset_profiler_flag(); reset && !failure) failure = std::move(reset);
  if (failure) {
    failure.restore();
    return false;
  }
  if (budget_ && data.size() > *budget_) {
    write_truncation_marker(Py_TYPE(value), buf);
    return true;
  }
  return write_ext(buf, ext::kText, data);
}

bool NativeMsgpackEncoder::unmatched_leaf_payload(PyObject* value, LeafPayload& out) {
  out.code = ext::kText;
  if (lightweight_repr_) {
    // Ordinary attribute access: a proxy reports the class it claims.
    Ref cls = Ref::checked(PyObject_GetAttrString(value, "__class__"));
    Ref qualname = cls ? format_field(Ref::checked(PyObject_GetAttrString(cls.get(), "__qualname__"))) : Ref();
    if (!qualname) return false;
    Ref text = Ref::steal(PyUnicode_FromFormat("<%U object %llu>", qualname.get(),
                                               static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(value))));
    return utf8_payload(std::move(text), out.payload);
  }
  return utf8_payload(repr(value), out.payload);
}

// ---------------------------------------------------------------------------
// object.__repr__ without Python
//
// Most values on this path are instances of plain classes that keep the
// default repr, "<module.Qualname object at 0x...>". Its text depends on
// the type and the address alone, so it is written straight into the buffer:
// no str is made, no Python code runs. Anything that could take another
// branch of the path (an extension record, a date, a big int, a decimal, a
// query set, a proxy whose isinstance may differ) goes the long way.

namespace {

// The ASCII or UTF-8 text of a str; false (no error set) when it has none.
bool utf8_of(PyObject* str, std::string_view& out) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(str, &size);
  if (data == nullptr) {
    PyErr_Clear();
    return false;
  }
  out = {data, static_cast<std::size_t>(size)};
  return true;
}

bool is_plain_type(PyObject* cls) noexcept { return cls != nullptr && Py_IS_TYPE(cls, &PyType_Type); }

// Answers of default_repr_head, remembered per type. An answer depends on
// the type and its bases, whose version tag the interpreter renews on every
// change, and on six names of the serializer's globals, which a dict watcher
// follows. Touched only with the interpreter lock held.
class VerdictCache {
 public:
  // Whether `type` is known; then `head` is its text head, or null when its
  // values go the long way.
  bool find(PyTypeObject* type, PyObject* globals, const std::string*& head) {
    if (!watching(globals) || PyUnstable_Type_AssignVersionTag(type) == 0) return false;
    const Slot& slot = slots_[index(type)];
    if (slot.type != type || slot.version != type->tp_version_tag || slot.generation != generation_) return false;
    head = slot.head ? &*slot.head : nullptr;
    return true;
  }
  // Keeps the answer when it can be renewed; returns the head to use.
  const std::string* remember(PyTypeObject* type, std::optional<std::string> head) {
    if (watcher_ < 0 || type->tp_version_tag == 0) {
      scratch_ = std::move(head);
      return scratch_ ? &*scratch_ : nullptr;
    }
    Slot& slot = slots_[index(type)];
    slot = Slot{type, type->tp_version_tag, generation_, std::move(head)};
    return slot.head ? &*slot.head : nullptr;
  }

 private:
  struct Slot {
    PyTypeObject* type = nullptr;
    unsigned int version = 0;
    std::uint64_t generation = 0;
    std::optional<std::string> head;  // "<module.Qualname object at "; none: the long way
  };
  static constexpr std::size_t kSlots = 64;
  static std::size_t index(PyTypeObject* type) noexcept {
    return (reinterpret_cast<std::uintptr_t>(type) >> 4) % kSlots;
  }

  static bool consulted(PyObject* key) {
    PyObject* const names[] = {VESH_INTERNED("datetime"), VESH_INTERNED("date"), VESH_INTERNED("time"),
                               VESH_INTERNED("Decimal"), VESH_INTERNED("_QuerySet"),
                               VESH_INTERNED("_QuerySet_checked")};
    for (PyObject* name : names) {
      if (key == name) return true;
    }
    if (key == nullptr || !PyUnicode_Check(key)) return key == nullptr;
    for (PyObject* name : names) {
      if (PyUnicode_GET_LENGTH(key) == PyUnicode_GET_LENGTH(name) && PyUnicode_Compare(key, name) == 0) return true;
    }
    return false;
  }
  static int on_change(PyDict_WatchEvent event, PyObject*, PyObject* key, PyObject*) {
    const bool single = event == PyDict_EVENT_ADDED || event == PyDict_EVENT_MODIFIED || event == PyDict_EVENT_DELETED;
    if (!single || consulted(key)) ++instance().generation_;
    return 0;
  }

  // Watches the globals on first use; false when no watcher could be had
  // (the interpreter has a few only), and then nothing is cached.
  bool watching(PyObject* globals) {
    if (watcher_ == kUnset) {
      watcher_ = PyDict_AddWatcher(on_change);
      if (watcher_ >= 0 && PyDict_Watch(watcher_, globals) < 0) watcher_ = kUnavailable;
      if (watcher_ < 0) {
        watcher_ = kUnavailable;
        PyErr_Clear();
      }
      watched_ = globals;
    }
    return watcher_ >= 0 && watched_ == globals;
  }

 public:
  static VerdictCache& instance() {
    static VerdictCache cache;
    return cache;
  }

 private:
  static constexpr int kUnset = -2;
  static constexpr int kUnavailable = -1;
  int watcher_ = kUnset;
  PyObject* watched_ = nullptr;  // the serializer's globals: never freed
  std::uint64_t generation_ = 1;
  Slot slots_[kSlots];
  std::optional<std::string> scratch_;  // the last answer that could not be kept
};

}  // namespace

const std::string* NativeMsgpackEncoder::default_repr_head(PyTypeObject* type) {
  VerdictCache& cache = VerdictCache::instance();
  if (const std::string* head = nullptr; cache.find(type, state_.serialize_globals.get(), head)) [[likely]]
    return head;
  std::optional<std::string> head;
  if (takes_default_repr(type)) head = default_repr_text_head(type);
  if (PyErr_Occurred()) return nullptr;
  return cache.remember(type, std::move(head));
}

bool NativeMsgpackEncoder::takes_default_repr(PyTypeObject* type) {
  if (type->tp_repr != PyBaseObject_Type.tp_repr) return false;
  if (PyType_FastSubclass(type, Py_TPFLAGS_LONG_SUBCLASS | Py_TPFLAGS_TUPLE_SUBCLASS | Py_TPFLAGS_DICT_SUBCLASS))
    return false;
  if (PyType_IsSubtype(type, &PySet_Type) || PyType_IsSubtype(type, &PyFrozenSet_Type)) return false;
  // isinstance() answers from the type alone.
  if (!class_is_type(type)) return false;
  PyObject* globals = state_.serialize_globals.get();
  // The query set class is only known once it has been looked for.
  if (PyDict_GetItemWithError(globals, VESH_INTERNED("_QuerySet_checked")) != Py_True) return false;
  PyObject* const classes[] = {
      PyDict_GetItemWithError(globals, VESH_INTERNED("datetime")),
      PyDict_GetItemWithError(globals, VESH_INTERNED("date")),
      PyDict_GetItemWithError(globals, VESH_INTERNED("time")),
      PyDict_GetItemWithError(globals, VESH_INTERNED("Decimal")),
  };
  for (PyObject* cls : classes) {
    if (!is_plain_type(cls) || PyType_IsSubtype(type, reinterpret_cast<PyTypeObject*>(cls))) return false;
  }
  PyObject* queryset = PyDict_GetItemWithError(globals, VESH_INTERNED("_QuerySet"));
  if (queryset == Py_None) return !PyErr_Occurred();
  return is_plain_type(queryset) && !PyType_IsSubtype(type, reinterpret_cast<PyTypeObject*>(queryset));
}

std::optional<std::string> NativeMsgpackEncoder::default_repr_text_head(PyTypeObject* type) {
  // As object.__repr__: a heap type's own "__module__" when it is a str
  // other than "builtins", else the part of tp_name before its last dot.
  std::string_view module;
  std::string_view qualname;
  std::string_view name = type->tp_name;
  if (PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE)) {
    PyObject* found = PyDict_GetItemWithError(type->tp_dict, VESH_INTERNED("__module__"));
    if (found == nullptr && PyErr_Occurred()) PyErr_Clear();
    if (found != nullptr && PyUnicode_Check(found) && PyUnicode_CompareWithASCIIString(found, "builtins") != 0) {
      if (!utf8_of(found, module) || !utf8_of(reinterpret_cast<PyHeapTypeObject*>(type)->ht_qualname, qualname))
        return std::nullopt;
    }
  } else if (std::size_t dot = name.rfind('.'); dot != std::string_view::npos && name.substr(0, dot) != "builtins") {
    module = name.substr(0, dot);
    qualname = name.substr(dot + 1);
  }
  if (module.empty() && qualname.empty()) qualname = name;  // "<tp_name object at ...>"
  if (qualname.data() == name.data() || module.data() == name.data()) {
    // tp_name is decoded by the interpreter, with replacement where needed.
    for (char c : name) {
      if (static_cast<unsigned char>(c) >= 0x80) return std::nullopt;
    }
  }
  std::string head = "<";
  if (!module.empty()) {
    head += module;
    head += '.';
  }
  head += qualname;
  head += " object at ";
  return head;
}

NativeMsgpackEncoder::Written NativeMsgpackEncoder::write_default_repr(PyObject* obj, ByteBuffer& buf) {
  const std::string* head = lightweight_repr_ ? nullptr : default_repr_head(Py_TYPE(obj));
  if (head == nullptr) {
    PyErr_Clear();  // a failed lookup is met again, and reported, the long way
    return Written::NotApplicable;
  }
  // The address as %p writes it: 0x and lowercase hex digits.
  char address[2 + 2 * sizeof(void*)];
  std::size_t digits = 0;
  for (auto value = reinterpret_cast<std::uintptr_t>(obj); value != 0 || digits == 0; value >>= 4) {
    address[sizeof address - 1 - digits++] = "0123456789abcdef"[value & 15];
  }
  address[sizeof address - 1 - digits++] = 'x';
  address[sizeof address - 1 - digits++] = '0';
  const std::string_view hex(address + sizeof address - digits, digits);

  const std::size_t size = head->size() + hex.size() + 1;
  if (over_limit(saturating_add(buf.size(), size))) return over_budget() ? Written::Done : Written::Failed;
  Packer(buf).pack_ext(size, ext::kText);
  buf.reserve_more(size);
  buf.append(*head);
  buf.append(hex);
  buf.push_back('>');
  if (over_limit(buf.size())) return over_budget() ? Written::Done : Written::Failed;
  return Written::Done;
}

// ---------------------------------------------------------------------------
// The unsupported-value path

bool NativeMsgpackEncoder::write_unsupported_leaf(PyObject* obj, ByteBuffer& buf, std::int32_t depth) {
  const bool as_key = std::exchange(key_pending_, false);
  const std::size_t start = buf.size();
  if (PyTuple_CheckExact(obj)) return write_extension_container(obj, ext::kTuple, "(...)", buf, start);
  used_python_fallback_ = true;
  if (Written written = write_default_repr(obj, buf); written != Written::NotApplicable) [[likely]]
    return written == Written::Done;
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
  // A map cannot be a key to any reader: such a key is written as a leaf.
  if (is_dict && !as_key) return write_dict_subclass(obj, buf, depth, start);
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

// A container subclass may iterate in code of its own, and a value that only
// claims a container's class (a proxy, whose __class__ reports the object it
// wraps) iterates in code of its own altogether: neither need end where the
// container does, or at all. Their items are walked by hand, never more of
// them than the value holds.
namespace {

constexpr Py_ssize_t kCopiedNatively = -1;  // list() or dict() walks the base type's items itself
constexpr Py_ssize_t kNoLength = -2;        // no length to walk by; its error is set

// Whether a list of `held` + 1 items could be had at all: list() of the
// value asks for that room first and refuses at once when there is none.
bool room_for(Py_ssize_t held) {
  const auto items = static_cast<std::size_t>(held) + 1;
  if (items > static_cast<std::size_t>(PY_SSIZE_T_MAX) / sizeof(PyObject*)) return false;
  void* room = PyMem_Malloc(items * sizeof(PyObject*));
  if (room == nullptr) return false;
  PyMem_Free(room);
  return true;
}

// How many items a walk of `obj` may meet: what a subclass's base type holds
// when the subclass iterates in code of its own, and for a value that only
// claims the class, what len() says it holds. A claimed length no real
// container could have (a proxy claiming 2**62 items) is no length: it
// would be walked until memory runs out.
Py_ssize_t walk_bound(PyObject* obj) {
  const getiterfunc own = Py_TYPE(obj)->tp_iter;
  if (PyTuple_Check(obj)) return own == PyTuple_Type.tp_iter ? kCopiedNatively : PyTuple_GET_SIZE(obj);
  if (PyAnySet_Check(obj)) {
    return own == PySet_Type.tp_iter || own == PyFrozenSet_Type.tp_iter ? kCopiedNatively : PySet_GET_SIZE(obj);
  }
  if (PyDict_Check(obj)) return own == PyDict_Type.tp_iter ? kCopiedNatively : PyDict_GET_SIZE(obj);
  const Py_ssize_t length = py::checked_status(PyObject_Length(obj));
  if (length < 0) return kNoLength;
  if (!room_for(length)) {
    PyErr_Format(PyExc_RuntimeError, "%.200s claims %zd items, more than any container could hold",
                 Py_TYPE(obj)->tp_name, length);
    return kNoLength;
  }
  return length;
}

// A list of what iterating `iterable` yields, stopped after `held` + 1
// items: one more than the container holds tells an iteration that would
// go on. Null with the error set when the iteration raises.
Ref bounded_items(PyObject* iterable, Py_ssize_t held) {
  Ref iterator = Ref::checked(PyObject_GetIter(iterable));
  Ref items = iterator ? Ref::steal(PyList_New(0)) : Ref();
  if (!items) return {};
  for (Py_ssize_t met = 0; met <= held; ++met) {
    Ref item = Ref::checked(PyIter_Next(iterator.get()));
    if (!item) return PyErr_Occurred() ? Ref() : std::move(items);
    if (PyList_Append(items.get(), item.get()) < 0) return {};
  }
  return items;
}

// As dict(obj) makes it, from keys() and obj[key] for each, but with the
// keys walked no further than `held` + 1. Null with the error set; `met`
// tells how many keys there were when that is not `held`.
Ref bounded_dict_copy(PyObject* obj, Py_ssize_t held, Py_ssize_t& met) {
  Ref keys = Ref::checked(PyObject_CallMethodNoArgs(obj, VESH_INTERNED("keys")));
  if (keys) keys = bounded_items(keys.get(), held);
  if (!keys) return {};
  met = PyList_GET_SIZE(keys.get());
  Ref copy = met == held ? Ref::steal(PyDict_New()) : Ref();
  if (!copy) return {};
  // The keys list is ours alone: no code of the value's can change it.
  for (Py_ssize_t i = 0; i < held; ++i) {
    PyObject* key = PyList_GET_ITEM(keys.get(), i);
    Ref item = Ref::checked(PyObject_GetItem(obj, key));
    if (!item || py::checked_status(PyDict_SetItem(copy.get(), key, item.get())) < 0) return {};
  }
  return copy;
}

// A list or dict made of `obj` by calling the builtin `type`; null with the
// error set.
Ref copy_as(PyTypeObject* type, PyObject* obj) {
  Ref copy = Ref::checked(PyObject_CallOneArg(reinterpret_cast<PyObject*>(type), obj));
  if (copy && !PyObject_TypeCheck(copy.get(), type)) {
    PyErr_Format(PyExc_TypeError, "%s() did not return a %s", type->tp_name, type->tp_name);
    copy.reset();
  }
  return copy;
}

}  // namespace

// A value taken for a container that cannot be walked within what it holds
// has no value to record: it is unencodable, not a type name, so that the
// record says so and the program's location is reported. Its repr is no
// stand-in either, whatever its type claims.
bool NativeMsgpackEncoder::unwalkable(ByteBuffer& buf, std::size_t start) {
  buf.truncate(start);
  refused_container_ = true;
  return fail_current();
}

bool NativeMsgpackEncoder::miscounted(PyObject* obj, Py_ssize_t held, Py_ssize_t met, ByteBuffer& buf,
                                      std::size_t start) {
  PyErr_Format(PyExc_RuntimeError, "%.200s iterates over %s items than the %zd it holds", Py_TYPE(obj)->tp_name,
               met > held ? "more" : "fewer", held);
  return unwalkable(buf, start);
}

// The copy is null when the value is done with; the result is then the
// value's own.
bool NativeMsgpackEncoder::copy_walked(PyObject* obj, PyTypeObject* as, Ref& copy, ByteBuffer& buf,
                                       std::size_t start) {
  const Py_ssize_t held = walk_bound(obj);
  if (held == kNoLength) return unwalkable(buf, start);
  if (held == kCopiedNatively) {
    copy = copy_as(as, obj);
    return copy ? true : unsupported_raised(obj, buf, start);
  }
  const bool is_dict = as == &PyDict_Type;
  // Every item, or every key and its value, takes a byte at least.
  const auto least = static_cast<std::uint64_t>(held);
  if (over_limit(saturating_add(start, is_dict ? saturating_add(least, least) : least))) return over_budget();
  Py_ssize_t met = held;
  copy = is_dict ? bounded_dict_copy(obj, held, met) : bounded_items(obj, held);
  if (copy && !is_dict) met = PyList_GET_SIZE(copy.get());
  if (met != held) {
    copy.reset();
    return miscounted(obj, held, met, buf, start);
  }
  return copy ? true : unsupported_raised(obj, buf, start);
}

bool NativeMsgpackEncoder::write_extension_container(PyObject* obj, std::int8_t kind, std::string_view placeholder,
                                                     ByteBuffer& buf, std::size_t start) {
  if (careful_ && on_container_stack(obj)) return write_placeholder(placeholder, buf);
  Ref items;
  if (!PyTuple_CheckExact(obj)) {
    if (Py_IS_TYPE(obj, &PySet_Type) || Py_IS_TYPE(obj, &PyFrozenSet_Type)) {
      if (over_limit(saturating_add(start, static_cast<std::uint64_t>(PySet_GET_SIZE(obj))))) return over_budget();
    }
    if (const bool done = copy_walked(obj, &PyList_Type, items, buf, start); !items) return done;
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
  StackBytes<6> header;
  msgpack::packer<StackBytes<6>>(header).pack_ext(n, kind);
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
  Ref copy;
  if (const bool done = copy_walked(obj, &PyDict_Type, copy, buf, start); !copy) return done;

  ++payload_nesting_;
  struct Lower {
    std::uint32_t& nesting;
    ~Lower() { --nesting; }
  } lower{payload_nesting_};
  bool ok;
  if (careful_ || depth <= static_cast<std::int32_t>(state_.max_depth) - 8) {
    ok = pack_dict_copy_tracked(obj, copy.get(), buf, depth);
  } else {
    const auto entries = static_cast<std::uint64_t>(PyDict_GET_SIZE(copy.get()));
    if (over_limit(saturating_add(buf.size(), saturating_add(entries, entries)))) return over_budget();
    ok = dict_body(copy.get(), buf, depth);
    if (ok && ext_nesting_ == 0 && shared_) record_completed_container(copy.get(), false);
  }
  if (!ok) left_after_depth_ran_out(obj);
  return ok;
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
    return utf8_payload(Ref::checked(PyObject_CallOneArg(fn.get(), obj)), out.payload);
  }
  // Instances of many built-in and C types have no __module__ of their
  // own: their type's names the value just as well. The type is held: the
  // lookups run the value's code, which may give it another class and free
  // this one.
  Ref type = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(obj)));
  Ref module = Ref::checked(PyObject_GetAttr(obj, VESH_INTERNED("__module__")));
  if (!module && PyErr_ExceptionMatches(PyExc_AttributeError)) {
    PyErr_Clear();
    module = Ref::checked(PyObject_GetAttr(type.get(), VESH_INTERNED("__module__")));
  }
  Ref module_text = format_field(std::move(module));
  if (!module_text) return false;
  Ref qualname = format_field(Ref::checked(PyObject_GetAttr(type.get(), VESH_INTERNED("__qualname__"))));
  if (!qualname) return false;
  Ref dot = text_of(".");
  out.code = ext::kTypeName;
  return escaped_utf8_payload(concat_text({module_text.get(), dot.get(), qualname.get()}), out.payload);
}

}  // namespace vesh::encode
