#include "store/value_interning.h"

#include "encode/value_references.h"
#include "py/fault.h"
#include "store/trace_capture.h"
#include "support/saturating.h"

#include <algorithm>
#include <cstring>

namespace vesh::store {

namespace {

void give_back(std::atomic<std::uint64_t>& counter, std::uint64_t cost) noexcept {
  std::uint64_t seen = counter.load(std::memory_order_relaxed);
  while (!counter.compare_exchange_weak(seen, saturating_sub(seen, cost), std::memory_order_relaxed)) {
  }
}

// Adds `cost` to the shared counter only while the sum stays within the limit.
bool take_shared(std::atomic<std::uint64_t>& counter, std::uint64_t cost) noexcept {
  std::uint64_t seen = counter.load(std::memory_order_relaxed);
  for (;;) {
    if (cost > UINT64_MAX - seen || seen + cost > kMaxCachedBytes) return false;
    if (counter.compare_exchange_weak(seen, seen + cost, std::memory_order_relaxed)) return true;
  }
}

struct Fingerprint {
  std::uint64_t raw_len;
  std::uint64_t first;
  std::uint64_t last;
  encode::InternedKind kind;
};

// Identity plus the first and last 8 bytes stand in for hashing the content
// (the data is at least 4,096 bytes).
Fingerprint fingerprint(encode::InternedKind kind, std::string_view data) noexcept {
  Fingerprint out{data.size(), 0, 0, kind};
  std::memcpy(&out.first, data.data(), sizeof out.first);
  std::memcpy(&out.last, data.data() + data.size() - sizeof out.last, sizeof out.last);
  return out;
}

void note_sighting(ValueInterner::Entry& entry, const Fingerprint& fp) noexcept {
  entry.state = ValueInterner::Entry::State::Seen;
  entry.kind = fp.kind;
  entry.raw_len = fp.raw_len;
  entry.first = fp.first;
  entry.last = fp.last;
  entry.id = 0;
}

encode::InternLookup answer(encode::InternLookup::Action action) { return encode::InternLookup{action, {}}; }

}  // namespace

std::uint64_t InternedValue::cost() const noexcept { return saturating_add(encoded->size(), raw_len()); }

// ---------------------------------------------------------------------------
// ValueTable

std::optional<std::uint32_t> ValueTable::insert_value(SharedInternedValue value) {
  const std::uint64_t total = saturating_add(total_, value->cost());
  if (entries_.size() >= kMaxInternedValues || total > kMaxInternedTotal) return std::nullopt;
  entries_.push_back(std::move(value));
  total_ = total;
  return static_cast<std::uint32_t>(entries_.size() - 1);
}

SharedInternedValue ValueTable::remove_last(std::uint32_t id) {
  if (entries_.empty() || entries_.size() - 1 != id) return nullptr;
  SharedInternedValue last = std::move(entries_.back());
  entries_.pop_back();
  total_ = saturating_sub(total_, last->cost());
  return last;
}

const SharedInternedValue* ValueTable::find(std::uint32_t id) const noexcept {
  return id < entries_.size() ? &entries_[id] : nullptr;
}

// ---------------------------------------------------------------------------
// ValueInterner

ValueInterner::~ValueInterner() {
  if (shared_cached != nullptr && cached_total != 0) give_back(*shared_cached, cached_total);
}

void ValueInterner::remove(std::uintptr_t address, std::vector<SharedInternedValue>& released) {
  auto it = entries.find(address);
  if (it == entries.end()) return;
  Entry& entry = it->second;
  if (entry.state == Entry::State::Cached) {
    const std::uint64_t cost = entry.value->cost();
    cached_total = saturating_sub(cached_total, cost);
    if (shared_cached != nullptr) give_back(*shared_cached, cost);
  }
  if (entry.value) released.push_back(std::move(entry.value));
  entries.erase(it);
}

bool ValueInterner::evict_cached_other_than(std::uintptr_t address, std::vector<SharedInternedValue>& released) {
  for (const auto& [key, entry] : entries) {
    if (key != address && entry.state == Entry::State::Cached) {
      remove(key, released);
      return true;
    }
  }
  return false;
}

// ---------------------------------------------------------------------------
// ValueInterning

BorrowCell<ValueInterner>::Exclusive ValueInterning::interner() {
  BorrowCell<ValueInterner>& cell = interners_.get_or([this] {
    auto made = std::make_unique<BorrowCell<ValueInterner>>();
    made->borrow_mut()->shared_cached = &cached_bytes_;
    return made;
  });
  return cell.borrow_mut();
}

std::vector<InternedRecord> ValueInterning::snapshot_ids(std::span<const std::uint32_t> ids) {
  std::vector<InternedRecord> out;
  auto table = table_.lock_without_gil();
  for (std::uint32_t id : ids) {
    if (const SharedInternedValue* value = table->find(id)) out.emplace_back(id, (*value)->encoded);
  }
  return out;
}

std::vector<InternedRecord> ValueInterning::published_values(TraceCapture& capture) {
  const std::vector<std::uint32_t> ids = capture.published_value_ids();
  if (ids.empty()) return {};
  return snapshot_ids(ids);
}

std::vector<InternedRecord> ValueInterning::referenced_values(std::string_view records) {
  std::vector<std::uint32_t> ids;
  encode::collect_value_references(records, ids);
  return values_of(std::move(ids));
}

std::vector<InternedRecord> ValueInterning::referenced_values(std::span<const std::string> records) {
  std::vector<std::uint32_t> ids;
  for (const std::string& record : records) encode::collect_value_references(record, ids);
  return values_of(std::move(ids));
}

std::vector<InternedRecord> ValueInterning::values_of(std::vector<std::uint32_t> ids) {
  if (ids.empty()) return {};
  std::sort(ids.begin(), ids.end());
  ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
  return snapshot_ids(ids);
}

Result<void, IoError> ValueInterning::publish_referenced(TraceCapture& capture,
                                                                std::string_view records) {
  for (InternedRecord& value : referenced_values(records)) {
    if (auto published = capture.publish_value(value.first, std::move(value.second)); !published.ok()) {
      return published;
    }
  }
  return Ok{};
}

std::size_t ValueInterning::table_size() {
  return table_.lock_without_gil()->size();
}

// ---------------------------------------------------------------------------
// ValueInterningContext

TraceCapture* ValueInterningContext::target() {
  if (target_ != nullptr || current_ == nullptr) return target_;
  // Never wait here: the holder may itself be waiting for the interpreter lock.
  auto current = current_->try_lock("trace capture mutex poisoned");
  if (!current) return nullptr;
  held_ = **current;
  target_ = held_.get();
  return target_;
}

encode::InternLookup ValueInterningContext::lookup_value(PyObject* obj, encode::InternedKind kind,
                                                         std::string_view data, ByteBuffer& buffer) {
  using State = ValueInterner::Entry::State;
  const Fingerprint fp = fingerprint(kind, data);
  const auto address = reinterpret_cast<std::uintptr_t>(obj);
  // Values let go of during the lookup are released once the interner and
  // the table are no longer held.
  std::vector<SharedInternedValue> released;
  auto interner = interning_.interner();

  auto it = interner->entries.find(address);
  if (it == interner->entries.end()) {
    if (interner->entries.size() >= kMaxSightings) {
      interner->remove(interner->entries.begin()->first, released);
    }
    note_sighting(interner->entries[address], fp);
    return answer(encode::InternLookup::Action::EncodeInline);
  }
  ValueInterner::Entry& entry = it->second;
  if (entry.state == State::Seen) {
    if (entry.raw_len == fp.raw_len && entry.first == fp.first && entry.last == fp.last && entry.kind == kind) {
      return answer(encode::InternLookup::Action::EncodeAndIntern);
    }
    note_sighting(entry, fp);
    return answer(encode::InternLookup::Action::EncodeInline);
  }
  if (entry.value->object.get() != obj || entry.kind != kind) {
    // Another object at the address of one that is gone.
    interner->remove(address, released);
    note_sighting(interner->entries[address], fp);
    return answer(encode::InternLookup::Action::EncodeInline);
  }

  SharedInternedValue value = entry.value;
  TraceCapture* capture = target();
  if (capture == nullptr) return answer(encode::InternLookup::Action::EncodeInline);
  std::optional<std::uint32_t> id;
  Result<bool, IoError> published = false;
  if (entry.state == State::Cached) {
    // The new entry goes again unless it is published: the table lock is
    // held across the (non-waiting) publication so that it is still last.
    auto table = interning_.table_.lock_without_gil();
    id = table->insert_value(value);
    if (id) {
      published = capture->try_publish_value(*id, value->encoded);
      if (!published.ok() || !published.value()) released.push_back(table->remove_last(*id));
    }
  } else {
    id = entry.id;
    published = capture->try_publish_value(*id, value->encoded);
  }
  if (!id) {
    interning_.switch_off();  // the table is full: everything inline from now on
    return answer(encode::InternLookup::Action::EncodeInline);
  }
  if (!published.ok()) {
    interning_.switch_off();
    if (capture->writer_stalled()) {
      return encode::InternLookup{encode::InternLookup::Action::Error, published.error().text()};
    }
    return answer(encode::InternLookup::Action::EncodeInline);
  }
  if (!published.value()) return answer(encode::InternLookup::Action::EncodeInline);  // busy: next time

  if (entry.state == State::Cached) {
    const std::uint64_t cost = value->cost();
    interner->cached_total = saturating_sub(interner->cached_total, cost);
    give_back(interning_.cached_bytes_, cost);
    entry.state = State::Published;
    entry.id = *id;
  }
  encode::write_value_reference(buffer, *id);
  referenced_ = true;
  return answer(encode::InternLookup::Action::ReferenceWritten);
}

void ValueInterningContext::cache_current_value(py::Ref obj, encode::InternedKind kind, std::size_t raw_len,
                                                ByteBuffer record, ByteBuffer& buffer) {
  buffer.append(record.view());
  std::vector<SharedInternedValue> released;
  auto interner = interning_.interner();
  const auto address = reinterpret_cast<std::uintptr_t>(obj.get());
  const std::uint64_t cost = saturating_add(record.size(), raw_len);
  while (saturating_add(interner->cached_total, cost) > kMaxCachedBytes) {
    if (!interner->evict_cached_other_than(address, released)) return;
  }
  while (!take_shared(interning_.cached_bytes_, cost)) {
    if (!interner->evict_cached_other_than(address, released)) return;
  }
  auto value = std::make_shared<InternedValue>();
  value->header_len = record.size() - raw_len;
  value->encoded = std::make_shared<const ByteBuffer>(std::move(record));
  value->object = std::move(obj);
  value->kind = kind;
  interner->cached_total += cost;
  ValueInterner::Entry& entry = interner->entries[address];
  if (entry.value) released.push_back(std::move(entry.value));
  entry.state = ValueInterner::Entry::State::Cached;
  entry.kind = kind;
  entry.value = std::move(value);
}

}  // namespace vesh::store
