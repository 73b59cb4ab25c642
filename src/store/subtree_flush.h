// Subtree flushing, shared by both tracers: the flush threshold read from the
// configuration, and the bookkeeping that decides what to flush.
//
// While a thread keeps a call open, the records of every finished call
// beneath it stay in the thread's frame store. Each tracer keeps, per
// thread, a stack of the open calls it records (OpenSubtree; the bottom
// entry is a "<root>" sentinel that is never popped). When a call closes,
// its records become a segment of its parent, and segments that close back
// to back merge into the parent's flush candidate. Once a thread's pending
// bytes reach the threshold, its largest candidates are cut out of the
// store, saved as traces of their own and replaced by one marker record
// each (the tracers' flush steps, with subtree_save.h and
// subtree_marker.h), until the count is at most half the threshold.
//
// The pending count leaves the markers out. A call that never returns
// gathers one marker per flush beneath it; were they counted, they would
// come to fill the threshold on their own, and every new record would then
// cross it and flush the newest run of a record or two, leaving one more
// marker. For the same reason a check takes only runs that hold a real
// share of the threshold (kLeastRunShare): bytes no flush can take, such as
// the open calls' own records, hold a thread back until its runs have grown
// again instead of making a trace of every small run.
//
// Generations. Every capture swap (a save, build_trace, a per-test trace)
// takes the stores away and then resets the tracking, which forgets every
// stack. Bookkeeping derived from an append carries the generation read
// under the store's lock with that append; when a reset came in between, its
// indices belong to a store that is gone, and it is dropped. The generation
// changes under the stacks' lock, so a stack never holds an index of a store
// taken before it was last cleared.
#pragma once

#include <Python.h>

#include "py/error.h"
#include "py/gil_mutex.h"
#include "store/fork_gate.h"
#include "support/result.h"

#include <absl/container/flat_hash_map.h>
#include <absl/container/flat_hash_set.h>

#include <atomic>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vesh {

inline constexpr std::uint64_t kDefaultFlushSubtreeBytes = 500ull * 1024 * 1024;
// The least part of the threshold a run must hold to be flushed, as a shift:
// an eighth.
inline constexpr unsigned kLeastRunShare = 3;

// Resolves "flush_subtree_mb" of the configuration dict into the flush
// threshold in bytes; nullopt in `out` means flushing is off. Returns false
// with a ValueError set for a bad setting (or the dict lookup's own error).
bool resolve_flush_subtree_bytes(PyObject* config_dict, std::optional<std::uint64_t>& out);

// Bytes a thread appends after subtree tracking was reset before its appends
// are checked: the threshold less an eighth of it (at most 64 MiB), or 0 for
// thresholds below 1 MiB and when flushing is off.
std::uint64_t flush_check_bytes(std::optional<std::uint64_t> flush_subtree_bytes) noexcept;

}  // namespace vesh

namespace vesh::store {

class FrameStore;

// A run of closed calls that sit back to back under one open call.
struct FlushCandidate {
  std::string co_name;  // of the run's first call
  std::uint64_t start = 0;
  std::uint64_t end = 0;  // one past the run's last record
  std::uint64_t bytes = 0;
  std::uint64_t segment_count = 0;
};

// One open call of a thread.
struct OpenSubtree {
  std::string co_name;
  std::optional<FlushCandidate> candidate;
  std::uint64_t start_index = 0;  // where the call's first record is stored
  std::uint64_t start_bytes = 0;  // the thread's pending bytes just before it
};

using SubtreeStacks = absl::flat_hash_map<std::string, std::vector<OpenSubtree>>;

// The thread's stack, made with its root sentinel when absent.
std::vector<OpenSubtree>& stack_for_thread(SubtreeStacks& stacks, const std::string& key);
// Pushes on the thread's stack; returns the new depth (sentinel included).
std::uint64_t push_open_subtree(SubtreeStacks& stacks, const std::string& key, OpenSubtree entry);
// The top entry, taken off; none when only the sentinel (or no stack) is there.
std::optional<OpenSubtree> pop_open_subtree(SubtreeStacks& stacks, const std::string& key);
// Drops the candidate of the entry at `index` (0 is the sentinel), if any.
void clear_flush_candidate(SubtreeStacks& stacks, const std::string& key, std::size_t index);
// Records frames [start, end) of `bytes` bytes as a closed segment of the
// thread's innermost open call: it extends that call's candidate when it
// begins where the candidate ends, else replaces it. 0 bytes change nothing.
void record_closed_segment(SubtreeStacks& stacks, const std::string& key, std::uint64_t start, std::uint64_t end,
                           std::uint64_t bytes, std::string co_name);

// The name of frames [start, end) of `store`: the "co_name" of the first
// frame record there, else of the first record that has one, else
// "<unknown>". Frames that cannot be read or decoded are skipped.
std::string extract_co_name_range(const FrameStore& store, std::uint64_t start, std::uint64_t end);

// The candidate a flush takes, copied out of the stacks.
struct ChosenCandidate {
  std::size_t depth = 0;  // of the entry holding it
  FlushCandidate candidate;
  std::uint64_t generation = 0;  // of the tracking when it was chosen
};

// What one flush attempt came to.
enum class FlushStep : std::uint8_t {
  Flushed,  // saved and replaced by its marker
  Dropped,  // its range no longer lay in the store: forgotten
  Stale,    // the tracking was reset since it was chosen: the check ends
};

// One tracer's open-subtree stacks, the threads whose flush runs now, the
// threads whose last flush failed, and what its failed flushes have said.
class SubtreeTracking {
 public:
  explicit SubtreeTracking(std::optional<std::uint64_t> threshold) : threshold_(threshold) {}
  SubtreeTracking(const SubtreeTracking&) = delete;
  SubtreeTracking& operator=(const SubtreeTracking&) = delete;

  std::uint64_t generation() const noexcept { return generation_.load(std::memory_order_acquire); }

  // Bookkeeping of an append made under `generation` (dropped when stale).
  // A call opens at `start`, the thread's pending bytes being `start_bytes`
  // before its records.
  void open(const std::string& key, std::string co_name, std::uint64_t start, std::uint64_t start_bytes,
            std::uint64_t generation);
  // The innermost open call closes with the record before `end`; its bytes
  // are what the pending count grew by since it opened.
  void close(const std::string& key, std::uint64_t end, std::uint64_t pending_bytes, std::uint64_t generation);
  // Records that stand alone (a batch of plugin records, an assignment).
  void record_segment(const std::string& key, std::uint64_t start, std::uint64_t end, std::uint64_t bytes,
                      std::string co_name, std::uint64_t generation);

  // Forgets every stack, running flush and held-back thread; later
  // bookkeeping of older appends is dropped.
  void reset();

  // The flush check of thread `key` whose pending count is `current_bytes`.
  // When it is due, flushes the largest candidate through `flush_one`
  // (ChosenCandidate -> Result<FlushStep, PyError>) until `pending()` is at
  // most half the threshold or no candidate of at least kLeastRunShare of
  // the threshold is left; in that case the thread is left alone until its
  // pending bytes have grown by that share. A flush that fails ends the
  // check with its error, and the thread is left alone until its pending
  // bytes have grown by another threshold (with a threshold of 0: until the
  // next reset), so that a lasting failure is not retried at every record.
  // Nor is it said at every try: the error is handed back (for the tracer to
  // log) only the first time its cause, the exception's type and text, is
  // met; the first flush saved after a cause's failures says, once and in
  // one line, that flushed subtrees are saved again. Exceptions of the
  // program's (KeyboardInterrupt) are always handed back. Each flush is a
  // save that a fork waits for (fork_gate.h).
  template <typename Pending, typename FlushOne>
  Result<void, py::PyError> run_check(const std::string& key, std::uint64_t current_bytes, Pending&& pending,
                                      FlushOne&& flush_one);

  // After `chosen` was flushed: its candidate goes, and every entry and
  // candidate after its range moves back by the records the marker took the
  // place of and by the candidate's bytes (the marker counts for none). The
  // thread's pending count drops by the candidate's bytes too.
  void after_flush(const std::string& key, const ChosenCandidate& chosen);
  // Forgets `chosen`'s candidate when it is still in place.
  void drop(const std::string& key, const ChosenCandidate& chosen);

 private:
  struct FlushState {
    absl::flat_hash_set<std::string> running;
    // Threads whose last flush failed -> the pending bytes to wait for.
    absl::flat_hash_map<std::string, std::uint64_t> retry_at;
    // The causes (type name, text) of failed flushes said so far, each with
    // whether saves were said to succeed again after it: a lock that comes
    // and goes is said once, not at every turn. Kept across resets: a save
    // does not mend a locked database.
    absl::flat_hash_map<std::pair<std::string, std::string>, bool> said;
    // The causes of the failures since a flush was last saved.
    absl::flat_hash_set<std::pair<std::string, std::string>> failing;
  };

  // Whether a check is due; marks the thread's flush running when it is.
  bool begin_check(const std::string& key, std::uint64_t current_bytes);
  // `wait` > 0 holds the thread back until its pending bytes grew by it.
  void end_check(const std::string& key, std::uint64_t pending_bytes, std::uint64_t wait);
  // The largest candidate of at least `least` bytes.
  std::optional<ChosenCandidate> choose(const std::string& key, std::uint64_t least);
  // What a check that `saved` a flush and ended with `result` hands back,
  // saying that saves succeed again when they failed before.
  Result<void, py::PyError> said_once(bool saved, Result<void, py::PyError> result);

  const std::optional<std::uint64_t> threshold_;
  std::atomic<std::uint64_t> generation_{0};
  py::GilMutex<SubtreeStacks> stacks_{"open subtrees"};
  py::GilMutex<FlushState> flushing_{"flushing threads"};
};

// Whether the calling thread may flush now: not while its native stack is
// nearly exhausted, nor before the environment facts every saved trace
// records were read (runtime_metadata.h). Fails only with an exception of
// the program's (KeyboardInterrupt) raised while they were read.
Result<bool, py::PyError> may_flush_on_this_thread();

template <typename Pending, typename FlushOne>
Result<void, py::PyError> SubtreeTracking::run_check(const std::string& key, std::uint64_t current_bytes,
                                                     Pending&& pending, FlushOne&& flush_one) {
  if (!threshold_ || current_bytes < *threshold_) return Ok{};
  Result<bool, py::PyError> may_flush = may_flush_on_this_thread();
  if (!may_flush.ok()) return Err{std::move(may_flush).error()};
  if (!may_flush.value() || !begin_check(key, current_bytes)) return Ok{};
  const std::uint64_t half = *threshold_ >> 1;
  const std::uint64_t least = *threshold_ >> kLeastRunShare;
  Result<void, py::PyError> result = Ok{};
  std::uint64_t wait = 0;
  bool saved = false;
  while (pending() > half) {
    std::optional<ChosenCandidate> chosen = choose(key, least);
    if (!chosen) {
      wait = least;
      break;
    }
    SaveInFlight saving;
    Result<FlushStep, py::PyError> step = flush_one(*chosen);
    if (!step.ok()) {
      result = Err{std::move(step).error()};
      // With a threshold of 0 nothing is tried again before the next reset.
      wait = *threshold_ == 0 ? std::numeric_limits<std::uint64_t>::max() : *threshold_;
      break;
    }
    if (step.value() == FlushStep::Stale) break;
    saved = saved || step.value() == FlushStep::Flushed;
  }
  end_check(key, pending(), wait);
  return said_once(saved, std::move(result));
}

}  // namespace vesh::store
