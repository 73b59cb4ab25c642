#include "foundation/frame_types.h"

#include "py/fault.h"

#include <pthread.h>
#include <sys/random.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>

namespace vesh {

using py::Ref;

// ---------------------------------------------------------------------------
// Random bits for ids

namespace {

// Advanced in every forked child, before the child runs any code of its own.
std::atomic<std::uint64_t> FORK_GENERATION{0};

void advance_fork_generation() noexcept { FORK_GENERATION.fetch_add(1, std::memory_order_relaxed); }

bool fork_handler_registered() noexcept {
  static const bool registered = pthread_atfork(nullptr, nullptr, advance_fork_generation) == 0;
  return registered;
}

// xoshiro256++: fast, 256 bits of state, seeded per thread from getrandom.
struct IdRandom {
  std::uint64_t s[4];
  std::uint64_t generation;
  pid_t pid;  // checked only when the fork handler could not be registered
  bool seeded;
};

// Trivially constructible and destructible: no thread-exit work.
thread_local IdRandom ID_RANDOM __attribute__((tls_model("initial-exec")));

std::uint64_t rotl(std::uint64_t x, int k) noexcept { return (x << k) | (x >> (64 - k)); }

std::uint64_t splitmix64(std::uint64_t& x) noexcept {
  std::uint64_t z = (x += 0x9e3779b97f4a7c15ULL);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  return z ^ (z >> 31);
}

void seed(IdRandom& r) noexcept {
  bool handler = fork_handler_registered();
  std::size_t got = 0;
  auto* bytes = reinterpret_cast<unsigned char*>(r.s);
  while (got < sizeof r.s) {
    ssize_t n = ::getrandom(bytes + got, sizeof r.s - got, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    got += static_cast<std::size_t>(n);
  }
  if (got < sizeof r.s) {
    // No kernel randomness: mix what tells this thread and moment apart.
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    std::uint64_t x = static_cast<std::uint64_t>(ts.tv_sec) * 1000000000ULL + static_cast<std::uint64_t>(ts.tv_nsec);
    x ^= static_cast<std::uint64_t>(::getpid()) << 32;
    x ^= reinterpret_cast<std::uintptr_t>(&r);
    x ^= FORK_GENERATION.load(std::memory_order_relaxed) * 0x2545f4914f6cdd1dULL;
    for (std::uint64_t& word : r.s) word = splitmix64(x);
  }
  if ((r.s[0] | r.s[1] | r.s[2] | r.s[3]) == 0) r.s[0] = 1;
  r.generation = FORK_GENERATION.load(std::memory_order_relaxed);
  r.pid = handler ? 0 : ::getpid();
  r.seeded = true;
}

IdRandom& id_random() noexcept {
  IdRandom& r = ID_RANDOM;
  if (!r.seeded || r.generation != FORK_GENERATION.load(std::memory_order_relaxed) || (r.pid != 0 && r.pid != ::getpid()))
      [[unlikely]] {
    seed(r);
  }
  return r;
}

std::uint64_t next_random(IdRandom& r) noexcept {
  std::uint64_t result = rotl(r.s[0] + r.s[3], 23) + r.s[0];
  std::uint64_t t = r.s[1] << 17;
  r.s[2] ^= r.s[0];
  r.s[3] ^= r.s[1];
  r.s[1] ^= r.s[2];
  r.s[0] ^= r.s[3];
  r.s[2] ^= t;
  r.s[3] = rotl(r.s[3], 45);
  return result;
}

constexpr char kCrockford[] = "0123456789ABCDEFGHJKMNPQRSTVWXYZ";

// The reading of the thread's innermost EventClock, when one is held.
thread_local timespec EVENT_NOW __attribute__((tls_model("initial-exec"))) = {};
thread_local bool EVENT_NOW_HELD __attribute__((tls_model("initial-exec"))) = false;

timespec wall_clock() noexcept {
  if (EVENT_NOW_HELD) return EVENT_NOW;
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return ts;
}

std::uint64_t wall_clock_millis() noexcept {
  const timespec ts = wall_clock();
  if (ts.tv_sec < 0) return 0;
  return static_cast<std::uint64_t>(ts.tv_sec) * 1000 + static_cast<std::uint64_t>(ts.tv_nsec) / 1000000;
}

}  // namespace

void write_ulid(char* out) {
  IdRandom& r = id_random();
  std::uint64_t millis = wall_clock_millis() & ((std::uint64_t{1} << 48) - 1);
  std::uint64_t high = next_random(r) & 0xffff;
  std::uint64_t low = next_random(r);
  // The 128-bit value is millis:48 | high:16 | low:64, written as 26 digits
  // of 5 bits (130 bits: the first digit holds the top 3). Digits 0-12 lie in
  // the upper word, digit 13 straddles both, digits 14-25 lie in the lower
  // one: two 64-bit shifts per digit instead of 128-bit ones.
  const std::uint64_t upper = (millis << 16) | high;
  for (std::size_t i = 0; i < 13; ++i) out[i] = kCrockford[(upper >> (61 - 5 * i)) & 31];
  out[13] = kCrockford[((upper & 1) << 4) | (low >> 60)];
  for (std::size_t i = 14; i < kUlidLength; ++i) out[i] = kCrockford[(low >> (125 - 5 * i)) & 31];
}

std::string new_ulid() {
  std::string out(kUlidLength, '\0');
  write_ulid(out.data());
  return out;
}

std::string trace_id() {
  std::string out(kTraceIdLength, '\0');
  std::memcpy(out.data(), "trc_", 4);
  write_ulid(out.data() + 4);
  return out;
}

EventClock::EventClock() noexcept : outer_(EVENT_NOW), outer_held_(EVENT_NOW_HELD) {
  clock_gettime(CLOCK_REALTIME, &EVENT_NOW);
  EVENT_NOW_HELD = true;
}

EventClock::~EventClock() {
  EVENT_NOW = outer_;
  EVENT_NOW_HELD = outer_held_;
}

double timestamp() {
  const timespec ts = wall_clock();
  if (ts.tv_sec < 0) fault("System time is before unix epoch");
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

const char* event_name(std::uint8_t kind) noexcept {
  static constexpr const char* kNames[] = {"call", "return", "unwind", "resume", "yield", "throw"};
  return kind < 6 ? kNames[kind] : nullptr;
}

// ---------------------------------------------------------------------------
// FrameId, FrameIds

FrameId FrameId::fresh() {
  FrameId id;
  std::memcpy(id.bytes_.data(), "frm_", 4);
  write_ulid(id.bytes_.data() + 4);
  return id;
}

std::optional<FrameId> FrameId::from_text(std::string_view text) {
  if (text.size() != kFrameIdLength || text.substr(0, 4) != "frm_") return std::nullopt;
  FrameId id;
  std::memcpy(id.bytes_.data(), text.data(), kFrameIdLength);
  return id;
}

FrameId FrameIds::get_or_set(std::uint8_t kind, FrameKey key) {
  if (is_exit_kind(kind)) {
    if (auto it = ids_.find(key); it != ids_.end()) return it->second;
    return FrameId::fresh();
  }
  if (!abandoned_.empty()) abandoned_.erase(key);
  FrameId id = FrameId::fresh();
  ids_.insert_or_assign(key, id);
  return id;
}

std::optional<FrameId> FrameIds::get_option(FrameKey key) const {
  if (auto it = ids_.find(key); it != ids_.end()) return it->second;
  return std::nullopt;
}

void FrameIds::abandon(FrameKey key, bool remember) {
  ids_.erase(key);
  if (remember) abandoned_.insert(key);
}

// ---------------------------------------------------------------------------
// CallFrames

bool CallFrames::get_user_code_call_site(PyObject* frame, std::uint8_t kind, const FrameId& frame_id,
                                         const SharedCodeLines& code_lines,
                                         std::optional<UserCodeCallSite>& out) {
  // The caller is the top entry, or the one below when the top is the event's
  // own frame (its exit events).
  const CallFrame* caller = nullptr;
  std::size_t n = entries_.size();
  if (n >= 1 && entries_[n - 1].frame_id != frame_id) {
    caller = &entries_[n - 1];
  } else if (n >= 2 && entries_[n - 2].frame_id != frame_id) {
    caller = &entries_[n - 2];
  }

  std::optional<UserCodeCallSite> site;
  if (caller != nullptr) {
    PyObject* caller_frame = caller->frame.get();
    if (!PyFrame_Check(caller_frame)) {
      PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'PyFrame'", Py_TYPE(caller_frame)->tp_name);
      return false;
    }
    std::optional<std::int32_t> line;
    if (!frame_line_number_i32_with(caller_frame, line, caller->code_lines.get())) return false;
    site.emplace(UserCodeCallSite{line, caller->frame_id});
  }

  if (is_exit_kind(kind)) {
    truncate_through(frame_id);
  } else {
    entries_.push_back(CallFrame{Ref::borrow(frame), frame_id, code_lines});
  }
  out = site;
  return true;
}

void CallFrames::truncate_through(const FrameId& frame_id) {
  for (std::size_t i = entries_.size(); i-- > 0;) {
    if (entries_[i].frame_id == frame_id) {
      entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(i), entries_.end());
      return;
    }
  }
}

std::vector<BoundCallFrame> CallFrames::get_bound() const {
  std::vector<BoundCallFrame> out;
  out.reserve(entries_.size());
  for (const CallFrame& entry : entries_) out.push_back(BoundCallFrame{entry.frame.clone(), entry.frame_id});
  return out;
}

bool CallFrames::remove_newest(const FrameId& frame_id) {
  for (std::size_t i = entries_.size(); i-- > 0;) {
    if (entries_[i].frame_id == frame_id) {
      entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(i));
      return true;
    }
  }
  return false;
}

// ---------------------------------------------------------------------------
// Qualified names

namespace {

Ref code_of(PyObject* frame) {
  if (PyFrame_Check(frame)) {
    return Ref::steal(reinterpret_cast<PyObject*>(PyFrame_GetCode(reinterpret_cast<PyFrameObject*>(frame))));
  }
  return Ref::checked(PyObject_GetAttr(frame, VESH_INTERNED("f_code")));
}

Ref globals_of(PyObject* frame) {
  if (PyFrame_Check(frame)) return Ref::steal(PyFrame_GetGlobals(reinterpret_cast<PyFrameObject*>(frame)));
  return Ref::checked(PyObject_GetAttr(frame, VESH_INTERNED("f_globals")));
}

std::string unprintable(PyObject* obj) {
  PyErr_WriteUnraisable(nullptr);
  Ref name = Ref::steal(PyType_GetName(Py_TYPE(obj)));
  std::string text;
  if (name && str_text_lossy(name.get(), text)) return "<unprintable " + text + " object>";
  PyErr_Clear();
  return "<unprintable object>";
}

}  // namespace

std::string object_text(PyObject* obj) {
  std::string text;
  if (PyUnicode_CheckExact(obj)) {
    if (str_text_lossy(obj, text)) return text;
    PyErr_Clear();
    return "<unprintable object>";
  }
  Ref str = Ref::checked(PyObject_Str(obj));
  if (!str) return unprintable(obj);
  if (str_text_lossy(str.get(), text)) return text;
  PyErr_Clear();
  return "<unprintable object>";
}

Ref module_name_from_globals(PyObject* globals) {
  Ref name;
  if (PyDict_CheckExact(globals)) {
    name = Ref::borrow(PyDict_GetItemWithError(globals, VESH_INTERNED("__name__")));
  } else {
    name = Ref::checked(PyObject_GetItem(globals, VESH_INTERNED("__name__")));
  }
  if (name) return name;
  PyErr_Clear();
  return Ref::borrow(VESH_INTERNED("<unknown>"));
}

Ref get_qualname_module(PyObject* frame) {
  Ref globals = globals_of(frame);
  if (!globals) return {};
  return module_name_from_globals(globals.get());
}

bool get_qualname(PyObject* frame, std::optional<std::string>& out) {
  Ref code = code_of(frame);
  if (!code) return false;

  Ref qualname;
  if (PyCode_Check(code.get())) {
    qualname = Ref::borrow(reinterpret_cast<PyCodeObject*>(code.get())->co_qualname);
  } else {
    qualname = Ref::checked(PyObject_GetAttr(code.get(), VESH_INTERNED("co_qualname")));
    if (!qualname) {
      if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
      PyErr_Clear();
    }
  }
  if (qualname) {
    Ref module = get_qualname_module(frame);
    if (!module) return false;
    out = object_text(module.get()) + "." + object_text(qualname.get());
    return true;
  }

  // Only an object posing as a code object lacks co_qualname on the
  // interpreters this module supports; module-level code still has a name.
  Ref name = Ref::checked(PyObject_GetAttr(code.get(), VESH_INTERNED("co_name")));
  if (!name) return false;
  std::string name_text;
  if (!str_bytes(name.get(), name_text)) return false;
  if (name_text == "<module>") {
    Ref module = get_qualname_module(frame);
    if (!module) return false;
    out = object_text(module.get()) + ".<module>";
    return true;
  }
  out.reset();
  return true;
}

}  // namespace vesh
