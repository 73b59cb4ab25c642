// Value interning: a large str or bytes value that a thread records again and
// again is written once per trace capture, as a published value (a value
// record of the container), and as a 6-byte reference everywhere else.
//
// Per thread and object, a value goes Seen (first sighting: only its length,
// first and last 8 bytes are noted, by address) -> Cached (second sighting
// with the same fingerprint: written in full, its record kept, at most 4 MiB
// per thread and 4 MiB over all threads) -> Published (third sighting: put
// into the tracer's value table, published into the capture, referenced from
// then on). A value met again in a capture that does not hold it yet is
// published there again under the same id, so every capture that holds a
// reference also holds the value. Only values of 4,096 to 16,777,216 bytes
// (of their UTF-8 form for a str) are considered.
//
// Waiting. Publication happens in the middle of an encode, which must not
// let other threads run (the encoder reads containers through borrowed
// pointers) and must not block on a lock whose holder may be waiting for the
// interpreter lock (the capture's state lock, the tracer's capture mutex).
// So it only tries: when the capture is busy or the writer's budget has no
// room right now, the value is written inline and nothing changes; it is
// tried again at its next sighting. The value table is waited for keeping
// the interpreter lock: nothing done while holding it waits for anything, so
// threads holding the interpreter lock may block on it.
//
// The table and the off switch (set for good by a full table or a failed
// publication) live as long as the tracer: ids keep their meaning across
// captures.
#pragma once

#include <Python.h>

#include "encode/value_serializer.h"
#include "py/gil_mutex.h"
#include "py/ref.h"
#include "store/chunk_handle.h"
#include "store/io_error.h"
#include "support/borrow_cell.h"
#include "support/result.h"
#include "support/thread_slots.h"

#include <absl/container/flat_hash_map.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vesh::store {

class TraceCapture;


inline constexpr std::size_t kMaxInternedValues = 4096;
inline constexpr std::uint64_t kMaxInternedTotal = 16 * 1024 * 1024;
inline constexpr std::uint64_t kMaxCachedBytes = 4 * 1024 * 1024;
inline constexpr std::size_t kMaxSightings = 2048;

// (id, the value's whole MessagePack record), as captures are built with.
using InternedRecord = std::pair<std::uint32_t, SharedBytes>;

// One large value, immutable once made. Its strong reference keeps the
// object's address from being reused while the value is held.
struct InternedValue {
  SharedBytes encoded;  // str or bin header, then the data
  py::Ref object;
  std::size_t header_len = 0;
  encode::InternedKind kind = encode::InternedKind::Str;

  std::uint64_t raw_len() const noexcept { return encoded->size() - header_len; }
  // What holding it costs: the record and the object's data.
  std::uint64_t cost() const noexcept;
};
using SharedInternedValue = std::shared_ptr<const InternedValue>;

// The tracer's published values; a value's position is its id.
class ValueTable {
 public:
  // The new value's id, or nullopt when the table is full (4,096 values, or
  // a total cost past 16 MiB).
  std::optional<std::uint32_t> insert_value(SharedInternedValue value);
  // Takes the last value out when its id is `id` (a publication that
  // failed); answers it for the caller to release.
  SharedInternedValue remove_last(std::uint32_t id);
  const SharedInternedValue* find(std::uint32_t id) const noexcept;
  std::size_t size() const noexcept { return entries_.size(); }
  std::uint64_t total() const noexcept { return total_; }

 private:
  std::vector<SharedInternedValue> entries_;
  std::uint64_t total_ = 0;
};

// One thread's sightings, by object address. Used only by its thread.
class ValueInterner {
 public:
  struct Entry {
    enum class State : std::uint8_t { Seen, Cached, Published };
    State state = State::Seen;
    encode::InternedKind kind = encode::InternedKind::Str;
    std::uint32_t id = 0;       // Published
    std::uint64_t raw_len = 0;  // Seen: the fingerprint
    std::uint64_t first = 0;
    std::uint64_t last = 0;
    SharedInternedValue value;  // Cached and Published
  };

  ValueInterner() = default;
  ValueInterner(const ValueInterner&) = delete;
  ValueInterner& operator=(const ValueInterner&) = delete;
  // Gives the cost of its Cached values back to the shared counter.
  ~ValueInterner();

  absl::flat_hash_map<std::uintptr_t, Entry> entries;
  std::uint64_t cached_total = 0;
  std::atomic<std::uint64_t>* shared_cached = nullptr;

  // Forgets `address`; a Cached value's cost goes back to both counters.
  // The value is handed to `released` to be let go of by the caller.
  void remove(std::uintptr_t address, std::vector<SharedInternedValue>& released);
  // Forgets one Cached value of another address; false when there is none.
  bool evict_cached_other_than(std::uintptr_t address, std::vector<SharedInternedValue>& released);
};

class ValueInterning {
 public:
  ValueInterning() = default;
  ValueInterning(const ValueInterning&) = delete;
  ValueInterning& operator=(const ValueInterning&) = delete;

  bool off() const noexcept { return off_.load(std::memory_order_relaxed); }

  // (id, record) of every id in `ids` that the table holds, in that order.
  std::vector<InternedRecord> snapshot_ids(std::span<const std::uint32_t> ids);
  // The values `capture` published, to build it in memory with.
  std::vector<InternedRecord> published_values(TraceCapture& capture);
  // The values that `records` (whole MessagePack values) refer to, by
  // ascending id; ids the table does not hold are left out.
  std::vector<InternedRecord> referenced_values(std::string_view records);
  // The same for records held one by one.
  std::vector<InternedRecord> referenced_values(std::span<const std::string> records);
  // The same for ids gathered with collect_value_references (from records
  // read one by one), in any order and with repeats.
  std::vector<InternedRecord> values_of(std::vector<std::uint32_t> ids);
  // Publishes into `capture` every value that `records` refer to, so that
  // records encoded for another capture can be stored in it. May wait for
  // the writer (releasing the interpreter lock): never call it inside an
  // encode.
  Result<void, IoError> publish_referenced(TraceCapture& capture, std::string_view records);

  std::size_t table_size();
  // Total cost of the values held Cached by all threads.
  std::uint64_t cached_bytes() const noexcept { return cached_bytes_.load(std::memory_order_relaxed); }

 private:
  friend class ValueInterningContext;

  // This thread's interner, borrowed for one operation.
  BorrowCell<ValueInterner>::Exclusive interner();
  void switch_off() noexcept { off_.store(true, std::memory_order_relaxed); }

  // Always taken with lock_without_gil() (see above).
  py::GilMutex<ValueTable> table_{"value table"};
  std::atomic<std::uint64_t> cached_bytes_{0};
  std::atomic<bool> off_{false};
  // Last: the interners give their cached bytes back to the counter above.
  ThreadSlots<BorrowCell<ValueInterner>> interners_;
};

// The encoder's view of interning for one record: the tracer's state and
// the capture its values are published into.
class ValueInterningContext final : public encode::InterningContext {
 public:
  // Publishes into `capture`, which the caller keeps alive for the encode:
  // the capture of the frame store the record is written into.
  ValueInterningContext(ValueInterning& interning, TraceCapture& capture) noexcept
      : interning_(interning), target_(&capture) {}
  // Publishes into the tracer's current capture, as found at the first value
  // that needs it and kept for the rest of the encode. When that mutex is
  // busy the value is written inline. The record may end up in another
  // capture (a save in between): see referenced_capture().
  ValueInterningContext(ValueInterning& interning,
                        py::GilMutex<std::shared_ptr<TraceCapture>>& current) noexcept
      : interning_(interning), current_(&current) {}

  // The capture that the references written so far need, or null when none
  // was written. A record stored in another capture needs its values
  // published there too (ValueInterning::publish_referenced).
  TraceCapture* referenced_capture() const noexcept { return referenced_ ? target_ : nullptr; }

  bool interning_off() const noexcept override { return interning_.off(); }
  encode::InternLookup lookup_value(PyObject* obj, encode::InternedKind kind, std::string_view data,
                                    ByteBuffer& buffer) override;
  void cache_current_value(py::Ref obj, encode::InternedKind kind, std::size_t raw_len, ByteBuffer record,
                           ByteBuffer& buffer) override;

 private:
  // The capture to publish into; null when the current one cannot be had
  // without waiting.
  TraceCapture* target();
  ValueInterning& interning_;
  TraceCapture* target_ = nullptr;
  py::GilMutex<std::shared_ptr<TraceCapture>>* current_ = nullptr;
  std::shared_ptr<TraceCapture> held_;
  bool referenced_ = false;
};

}  // namespace vesh::store
