// Frame identity: frame ids, trace ids, timestamps, the per-thread id and
// call-site bookkeeping, and qualified names.
//
// Ids are ULIDs (48-bit wall-clock milliseconds, 80 random bits, Crockford
// base 32). The random bits come from a per-thread generator seeded once from
// getrandom, so making an id costs no system call; a forked child reseeds
// before its first id so that parent and child never share ids.
#pragma once

#include <Python.h>

#include "py/ref.h"
#include "foundation/frame_path.h"

#include <absl/container/flat_hash_map.h>
#include <absl/container/flat_hash_set.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vesh {

inline constexpr std::size_t kUlidLength = 26;
inline constexpr std::size_t kFrameIdLength = 30;
inline constexpr std::size_t kTraceIdLength = 30;

// Writes the text of a fresh ULID into out[0..26).
void write_ulid(char* out);
// The text of a fresh ULID.
std::string new_ulid();

// "trc_" followed by a fresh ULID.
std::string trace_id();

// Wall-clock seconds since the Unix epoch. A clock before the epoch is an
// internal fault.
double timestamp();

// One wall-clock reading for the calling thread's current event: while it
// lives, the frame id made for the event and the event's record take their
// time from it, one clock read instead of one each. Scopes nest; an inner
// one reads the clock afresh.
class EventClock {
 public:
  EventClock() noexcept;
  ~EventClock();
  EventClock(const EventClock&) = delete;
  EventClock& operator=(const EventClock&) = delete;

 private:
  timespec outer_;
  bool outer_held_;
};

// Event kinds, numbered alike in every recorder and record.
enum EventKind : std::uint8_t {
  kEventCall = 0,
  kEventReturn = 1,
  kEventUnwind = 2,
  kEventResume = 3,
  kEventYield = 4,
  kEventThrow = 5,
};

inline constexpr bool is_exit_kind(std::uint8_t kind) noexcept {
  return kind == kEventReturn || kind == kEventUnwind || kind == kEventYield;
}

// "call", "return", ... for kinds 0 to 5; null for any other kind.
const char* event_name(std::uint8_t kind) noexcept;

// The address of an object chosen by a tracer to identify a frame.
using FrameKey = std::uintptr_t;

inline FrameKey frame_key(PyObject* obj) noexcept { return reinterpret_cast<FrameKey>(obj); }

// "frm_" followed by a ULID: 30 ASCII bytes held inline, so copying an id
// into a record or a map never allocates.
class FrameId {
 public:
  static FrameId fresh();
  // Accepts exactly 30 bytes beginning with "frm_"; nullopt otherwise.
  static std::optional<FrameId> from_text(std::string_view text);

  std::string_view view() const noexcept { return {bytes_.data(), bytes_.size()}; }
  const char* data() const noexcept { return bytes_.data(); }
  static constexpr std::size_t size() noexcept { return kFrameIdLength; }
  std::string to_string() const { return std::string(view()); }

  friend bool operator==(const FrameId&, const FrameId&) = default;

 private:
  FrameId() = default;
  std::array<char, kFrameIdLength> bytes_;
};

// The frame id and current line of the nearest recorded caller.
struct UserCodeCallSite {
  std::optional<std::int32_t> line_number;
  FrameId call_frame_id;
};

// Which id belongs to which open frame on one thread, and which frames had
// their entry event abandoned (their exit events are not recorded).
class FrameIds {
 public:
  // Entry kinds get a fresh id stored under `key` (replacing any); exit
  // kinds answer the stored id, or a fresh unstored one when there is none.
  FrameId get_or_set(std::uint8_t kind, FrameKey key);
  std::optional<FrameId> get_option(FrameKey key) const;
  // Forgets key's id; with `remember`, marks the key abandoned.
  void abandon(FrameKey key, bool remember);
  // Test-and-remove for exit events: was the key's entry abandoned?
  bool take_abandoned(FrameKey key) { return abandoned_.erase(key) != 0; }
  bool is_abandoned(FrameKey key) const { return abandoned_.contains(key); }
  void forget(FrameKey key) { ids_.erase(key); }
  std::size_t size() const noexcept { return ids_.size(); }

 private:
  absl::flat_hash_map<FrameKey, FrameId> ids_;
  absl::flat_hash_set<FrameKey> abandoned_;
};

// One open recorded call of a thread's CallFrames stack.
struct CallFrame {
  py::Ref frame;
  FrameId frame_id;
  SharedCodeLines code_lines;
};

// A snapshot entry of CallFrames::get_bound.
struct BoundCallFrame {
  py::Ref frame;
  FrameId frame_id;
};

// The stack of one thread's open recorded calls, bottom first. Holds strong
// references: use and drop it only with the interpreter lock held.
class CallFrames {
 public:
  // Answers the event's call site in `out` (nullopt when there is no
  // recorded caller) and pushes the frame for an entry kind or pops down
  // through it for an exit kind. Returns false with a Python error set, and
  // the stack unchanged, when the caller's line cannot be read.
  bool get_user_code_call_site(PyObject* frame, std::uint8_t kind, const FrameId& frame_id,
                               const SharedCodeLines& code_lines, std::optional<UserCodeCallSite>& out);
  // New references to the open frames with their ids, bottom first.
  std::vector<BoundCallFrame> get_bound() const;

  // Removes the topmost entry carrying `frame_id` and every entry above it;
  // unchanged when no entry carries it.
  void truncate_through(const FrameId& frame_id);

  std::size_t size() const noexcept { return entries_.size(); }
  const std::vector<CallFrame>& entries() const noexcept { return entries_; }
  void clear() noexcept { entries_.clear(); }
  // Removes the newest entry carrying `frame_id` alone (a call whose
  // recording was abandoned); true when one was found.
  bool remove_newest(const FrameId& frame_id);

 private:
  std::vector<CallFrame> entries_;
};

// ---------------------------------------------------------------------------
// Qualified names: module name, ".", co_qualname.

// The frame's qualified name in `out` (nullopt when none is found). Returns
// false with a Python error set when f_code, co_qualname (other than an
// AttributeError), co_name or f_globals cannot be read.
bool get_qualname(PyObject* frame, std::optional<std::string>& out);

// The module part alone: module_name_from_globals of the frame's f_globals.
// Null with a Python error set when f_globals cannot be read.
py::Ref get_qualname_module(PyObject* frame);

// globals["__name__"] (any object), or the str "<unknown>" when it is
// missing or the lookup raises. Never fails.
py::Ref module_name_from_globals(PyObject* globals);

// str(obj) as UTF-8 text. When str() raises, the error goes to the
// unraisable hook and the text is "<unprintable T object>". Text that has
// no UTF-8 form (lone surrogates) is converted lossily. Never fails.
std::string object_text(PyObject* obj);

}  // namespace vesh
