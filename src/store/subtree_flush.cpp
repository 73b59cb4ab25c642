#include "store/subtree_flush.h"

#include "foundation/error_reporting.h"
#include "foundation/stack_guard.h"
#include "py/fault.h"
#include "py/ref.h"
#include "store/frame_store.h"
#include "store/runtime_metadata.h"
#include "store/trace_name.h"
#include "support/saturating.h"

#include <msgpack.hpp>

#include <algorithm>
#include <cmath>

namespace vesh {

namespace {

constexpr const char* kNotANumber = "flush_subtree_mb must be a non-negative number or false";

bool value_error(const char* message) {
  PyErr_SetString(PyExc_ValueError, message);
  return false;
}

}  // namespace

bool resolve_flush_subtree_bytes(PyObject* config_dict, std::optional<std::uint64_t>& out) {
  PyObject* value = PyDict_GetItemWithError(config_dict, VESH_INTERNED("flush_subtree_mb"));
  if (value == nullptr) {
    if (PyErr_Occurred()) return false;
    out = kDefaultFlushSubtreeBytes;
    return true;
  }
  if (value == Py_None || value == Py_False) {
    out.reset();
    return true;
  }
  if (value == Py_True) {
    return value_error(
        "flush_subtree_mb = true is not valid; use false to disable or a non-negative number to set the "
        "threshold");
  }
  double mb;
  if (PyFloat_CheckExact(value)) {
    mb = PyFloat_AS_DOUBLE(value);
  } else {
    mb = PyFloat_AsDouble(value);
    if (PyErr_Occurred()) {
      PyErr_Clear();
      return value_error(kNotANumber);
    }
  }
  if (std::isnan(mb) || std::isinf(mb) || (mb < 0.0)) return value_error(kNotANumber);
  const double bytes = mb * 1024.0 * 1024.0;
  constexpr double kTwoTo64 = 18446744073709551616.0;
  if (bytes > kTwoTo64) return value_error("flush_subtree_mb is too large for this platform");
  out = bytes >= kTwoTo64 ? UINT64_MAX : static_cast<std::uint64_t>(bytes);
  return true;
}

std::uint64_t flush_check_bytes(std::optional<std::uint64_t> flush_subtree_bytes) noexcept {
  if (!flush_subtree_bytes || *flush_subtree_bytes < 1024 * 1024) return 0;
  const std::uint64_t f = *flush_subtree_bytes;
  const std::uint64_t gap = std::max<std::uint64_t>(f / 8, 64ull * 1024 * 1024);
  return f > gap ? f - gap : 0;
}

}  // namespace vesh

namespace vesh::store {

namespace {

// What one record says about itself: its "co_name" and whether it is a frame
// record. Undecodable records say nothing.
struct RecordName {
  std::optional<std::string> co_name;
  bool frame_record = false;
};

RecordName read_record_name(std::string_view bytes) {
  RecordName out;
  std::optional<msgpack::object_handle> handle = unpack_record(bytes);
  if (!handle) return out;
  const msgpack::object& value = handle->get();
  if (value.type != msgpack::type::MAP) return out;
  for (std::uint32_t i = 0; i < value.via.map.size; ++i) {
    const msgpack::object_kv& kv = value.via.map.ptr[i];
    if (kv.key.type != msgpack::type::STR) continue;
    const std::string_view key(kv.key.via.str.ptr, kv.key.via.str.size);
    if (key == "co_name") {
      if (kv.val.type == msgpack::type::STR) {
        out.co_name.emplace(kv.val.via.str.ptr, kv.val.via.str.size);
      } else {
        out.co_name.reset();
      }
    } else if (key == "type" && kv.val.type == msgpack::type::STR &&
               std::string_view(kv.val.via.str.ptr, kv.val.via.str.size) == "frame") {
      out.frame_record = true;
    }
  }
  return out;
}

}  // namespace

// ---------------------------------------------------------------------------
// Stacks

std::vector<OpenSubtree>& stack_for_thread(SubtreeStacks& stacks, const std::string& key) {
  auto [it, inserted] = stacks.try_emplace(key);
  if (inserted) it->second.push_back(OpenSubtree{"<root>", std::nullopt, 0, 0});
  return it->second;
}

std::uint64_t push_open_subtree(SubtreeStacks& stacks, const std::string& key, OpenSubtree entry) {
  std::vector<OpenSubtree>& stack = stack_for_thread(stacks, key);
  stack.push_back(std::move(entry));
  return stack.size();
}

std::optional<OpenSubtree> pop_open_subtree(SubtreeStacks& stacks, const std::string& key) {
  auto it = stacks.find(key);
  if (it == stacks.end() || it->second.size() < 2) return std::nullopt;
  OpenSubtree top = std::move(it->second.back());
  it->second.pop_back();
  return top;
}

void clear_flush_candidate(SubtreeStacks& stacks, const std::string& key, std::size_t index) {
  auto it = stacks.find(key);
  if (it == stacks.end() || index >= it->second.size()) return;
  it->second[index].candidate.reset();
}

void record_closed_segment(SubtreeStacks& stacks, const std::string& key, std::uint64_t start, std::uint64_t end,
                           std::uint64_t bytes, std::string co_name) {
  if (bytes == 0) return;
  std::vector<OpenSubtree>& stack = stack_for_thread(stacks, key);
  if (stack.empty()) fault("root sentinel missing");
  std::optional<FlushCandidate>& candidate = stack.back().candidate;
  if (candidate && candidate->end == start) {
    candidate->end = end;
    candidate->bytes = saturating_add(candidate->bytes, bytes);
    candidate->segment_count += 1;
  } else {
    candidate = FlushCandidate{std::move(co_name), start, end, bytes, 1};
  }
}

std::string extract_co_name_range(const FrameStore& store, std::uint64_t start, std::uint64_t end) {
  std::optional<std::string> fallback;
  ByteBuffer scratch;
  for (std::uint64_t i = start; i < end; ++i) {
    auto frame = store.frame(i, scratch);
    if (!frame.ok()) continue;
    RecordName named = read_record_name(frame.value());
    if (!named.co_name) continue;
    if (named.frame_record) return std::move(*named.co_name);
    if (!fallback) fallback = std::move(named.co_name);
  }
  return fallback ? std::move(*fallback) : std::string("<unknown>");
}

// ---------------------------------------------------------------------------
// Tracking

void SubtreeTracking::open(const std::string& key, std::string co_name, std::uint64_t start,
                           std::uint64_t start_bytes, std::uint64_t generation) {
  auto stacks = stacks_.lock();
  if (generation_.load(std::memory_order_relaxed) != generation) return;
  push_open_subtree(*stacks, key, OpenSubtree{std::move(co_name), std::nullopt, start, start_bytes});
}

void SubtreeTracking::close(const std::string& key, std::uint64_t end, std::uint64_t pending_bytes,
                            std::uint64_t generation) {
  auto stacks = stacks_.lock();
  if (generation_.load(std::memory_order_relaxed) != generation) return;
  std::optional<OpenSubtree> closed = pop_open_subtree(*stacks, key);
  if (!closed) return;
  record_closed_segment(*stacks, key, closed->start_index, end, saturating_sub(pending_bytes, closed->start_bytes),
                        std::move(closed->co_name));
}

void SubtreeTracking::record_segment(const std::string& key, std::uint64_t start, std::uint64_t end,
                                     std::uint64_t bytes, std::string co_name, std::uint64_t generation) {
  auto stacks = stacks_.lock();
  if (generation_.load(std::memory_order_relaxed) != generation) return;
  record_closed_segment(*stacks, key, start, end, bytes, std::move(co_name));
}

void SubtreeTracking::reset() {
  auto stacks = stacks_.lock();
  generation_.fetch_add(1, std::memory_order_acq_rel);
  stacks->clear();
  auto flushing = flushing_.lock();
  flushing->running.clear();
  flushing->retry_at.clear();
}

Result<bool, py::PyError> may_flush_on_this_thread() {
  if (omitting_values() || !room_to_flush()) return false;
  return environment_ready_for_flush();
}

bool SubtreeTracking::begin_check(const std::string& key, std::uint64_t current_bytes) {
  auto flushing = flushing_.lock();
  if (current_bytes < *threshold_ || flushing->running.contains(key)) return false;
  if (auto held = flushing->retry_at.find(key); held != flushing->retry_at.end()) {
    if (current_bytes < held->second) return false;
    flushing->retry_at.erase(held);
  }
  flushing->running.emplace(key);
  return true;
}

void SubtreeTracking::end_check(const std::string& key, std::uint64_t pending_bytes, std::uint64_t wait) {
  auto flushing = flushing_.lock();
  if (auto it = flushing->running.find(key); it != flushing->running.end()) flushing->running.erase(it);
  if (wait > 0) flushing->retry_at[key] = saturating_add(pending_bytes, wait);
}

std::optional<ChosenCandidate> SubtreeTracking::choose(const std::string& key, std::uint64_t least) {
  auto stacks = stacks_.lock();
  auto it = stacks->find(key);
  if (it == stacks->end()) return std::nullopt;
  std::optional<ChosenCandidate> best;
  for (std::size_t depth = 0; depth < it->second.size(); ++depth) {
    const std::optional<FlushCandidate>& candidate = it->second[depth].candidate;
    if (!candidate || candidate->bytes < least) continue;
    // On equal bytes the one nearer the root wins.
    if (!best || candidate->bytes > best->candidate.bytes) best = ChosenCandidate{depth, *candidate, 0};
  }
  if (best) best->generation = generation_.load(std::memory_order_relaxed);
  return best;
}

Result<void, py::PyError> SubtreeTracking::said_once(bool saved, Result<void, py::PyError> result) {
  std::optional<std::pair<std::string, std::string>> cause;
  if (!result.ok() && !reaches_program(result.error())) {
    const py::PyError& error = result.error();
    const char* type = error.type() != nullptr ? reinterpret_cast<PyTypeObject*>(error.type())->tp_name : "";
    cause.emplace(type, error.message());
  }
  bool saved_again = false;
  bool repeated = false;
  {
    auto flushing = flushing_.lock();
    if (saved) {
      for (const auto& failed : flushing->failing) {
        bool& end_said = flushing->said[failed];
        saved_again = saved_again || !end_said;
        end_said = true;
      }
      flushing->failing.clear();
    }
    if (cause) {
      repeated = !flushing->said.try_emplace(*cause, false).second;
      flushing->failing.insert(*std::move(cause));
    }
  }
  if (saved_again) log_warning("Vesh saves flushed subtrees again after earlier saves failed");
  if (repeated) return Ok{};
  return result;
}

namespace {

bool same_candidate(const std::vector<OpenSubtree>& stack, const ChosenCandidate& chosen) {
  if (chosen.depth >= stack.size()) return false;
  const std::optional<FlushCandidate>& now = stack[chosen.depth].candidate;
  return now && now->start == chosen.candidate.start && now->end == chosen.candidate.end;
}

}  // namespace

void SubtreeTracking::drop(const std::string& key, const ChosenCandidate& chosen) {
  auto stacks = stacks_.lock();
  if (generation_.load(std::memory_order_relaxed) != chosen.generation) return;
  auto it = stacks->find(key);
  if (it != stacks->end() && same_candidate(it->second, chosen)) clear_flush_candidate(*stacks, key, chosen.depth);
}

void SubtreeTracking::after_flush(const std::string& key, const ChosenCandidate& chosen) {
  auto stacks = stacks_.lock();
  if (generation_.load(std::memory_order_relaxed) != chosen.generation) return;
  auto it = stacks->find(key);
  if (it == stacks->end()) return;
  clear_flush_candidate(*stacks, key, chosen.depth);
  // The run's records became one marker record.
  const std::uint64_t start = chosen.candidate.start;
  const std::uint64_t end = chosen.candidate.end;
  const std::uint64_t removed = end > start ? end - start - 1 : 0;
  for (OpenSubtree& entry : it->second) {
    if (entry.start_index >= end) {
      entry.start_index = saturating_sub(entry.start_index, removed);
      entry.start_bytes = saturating_sub(entry.start_bytes, chosen.candidate.bytes);
    }
    if (entry.candidate && entry.candidate->start >= end) {
      entry.candidate->start = saturating_sub(entry.candidate->start, removed);
      entry.candidate->end = saturating_sub(entry.candidate->end, removed);
    }
  }
}

}  // namespace vesh::store
