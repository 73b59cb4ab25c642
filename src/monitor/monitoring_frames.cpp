// Where recorded events go: each thread's frame store in the current
// capture, batches of plugin and frame records, and per-test traces.
#include "monitor/monitoring.h"

#include "monitor/monitoring_internal.h"
#include "foundation/error_reporting.h"
#include "py/fault.h"
#include "encode/msgpack_encoding.h"
#include "store/subtree_flush.h"
#include "store/trace_name.h"
#include "support/saturating.h"

#include <msgpack.hpp>

#include <algorithm>

namespace vesh::monitor {

using py::PyError;
using py::Ref;

PyError os_error(const std::string& text) { return PyError::make(PyExc_OSError, text); }

PyError fetch_error() {
  PyError error = PyError::fetch();
  if (!error) error = PyError::make(PyExc_SystemError, "error return without exception set");
  return error;
}

std::optional<py::GilMutex<store::FrameStore>::Guard> lock_for_cut(StoreSlot& slot, const char* poisoned_message) {
  if (slot.made.matches_this_process()) return slot.store.lock(poisoned_message);
  return slot.store.try_lock(poisoned_message);
}

// ---------------------------------------------------------------------------
// Thread keys and stores

Result<const std::shared_ptr<const std::string>*, PyError> VeshMonitor::thread_key(FlushThreadState& flush) {
  if (flush.thread_key) [[likely]]
    return &flush.thread_key;
  // Code run here must not be recorded on this thread.
  hooks::HookSuspension suspended;
  Ref thread = Ref::checked(PyObject_CallNoArgs(current_thread_.get()));
  if (!thread) return Err{fetch_error()};
  std::string key;
  if (!encode::get_thread_id(thread.get(), key)) return Err{fetch_error()};
  flush.thread = store::RecordedThread::of(thread.get());
  register_thread(key, flush.thread);
  flush.thread_key = std::make_shared<const std::string>(std::move(key));
  return &flush.thread_key;
}

void VeshMonitor::register_thread(const std::string& key, const store::SharedThread& thread) {
  // Released after the lock: it may hold the last reference to an object.
  store::SharedThread replaced;
  auto threads = threads_.lock("threads mutex poisoned");
  auto [it, inserted] = threads->try_emplace(key, thread);
  // A key whose thread is gone passes to the thread the system gave its id.
  if (!inserted && it->second != thread && it->second->gone()) replaced = std::exchange(it->second, thread);
}

std::pair<std::uint64_t, SharedStore> VeshMonitor::register_thread_frame_buffer(const std::string& key, bool& made) {
  made = false;
  auto registry = frames_registry_.lock("frames registry mutex poisoned");
  const std::uint64_t generation = capture_generation_.load(std::memory_order_acquire);
  if (auto it = registry->find(key); it != registry->end()) return {generation, it->second};
  made = true;
  std::shared_ptr<store::TraceCapture> capture = *trace_capture_.lock("trace capture mutex poisoned");
  const std::uint64_t token = next_thread_token_.fetch_add(1, std::memory_order_relaxed);
  if (token > UINT32_MAX) fault("Vesh exhausted its per-capture thread token space");
  auto slot = std::make_shared<StoreSlot>(store::FrameStore::open(std::move(capture), static_cast<std::uint32_t>(token)));
  registry->emplace(key, slot);
  return {generation, std::move(slot)};
}

SharedStore VeshMonitor::thread_frame_buffer(const std::string& key) {
  auto registry = frames_registry_.lock("frames registry mutex poisoned");
  if (registry->empty()) return nullptr;
  auto it = registry->find(key);
  return it == registry->end() ? nullptr : it->second;
}

LockedStore VeshMonitor::lock_thread_store(FlushThreadState& flush, const std::string& key) {
  for (;;) {
    const std::uint64_t generation = capture_generation_.load(std::memory_order_acquire);
    if (!flush.store || flush.capture_generation != generation) {
      bool made = false;
      auto [found_generation, found] = register_thread_frame_buffer(key, made);
      flush.store = std::move(found);
      flush.capture_generation = found_generation;
      // A save forgets the threads that ended before it; one whose object
      // died while it still ran code records again under its old key.
      if (made && flush.thread) register_thread(key, flush.thread);
    }
    StoreSlot* slot = flush.store.get();
    auto guard = slot->store.lock("thread frame buffer poisoned");
    // A save or a new per-test trace may have taken the store meanwhile: it
    // is then stale (retired, or of an old capture), never an error.
    if (capture_generation_.load(std::memory_order_acquire) == flush.capture_generation && !guard->retired() &&
        !guard->detached()) {
      return LockedStore{slot, std::move(guard)};
    }
    flush.store.reset();
    flush.capture_generation = 0;
  }
}

Result<PushOutcome, PyError> VeshMonitor::append_direct(ThreadState& state, PyObject* frame, const EventCode& ec,
                                                       std::uint8_t kind, std::uint8_t value_kind, PyObject* value,
                                                       const FrameId& frame_id,
                                                       const std::optional<UserCodeCallSite>& call_site) {
  auto flush = state.flush.borrow_mut();
  auto key = thread_key(*flush);
  if (!key.ok()) return Err{std::move(key.error())};
  LockedStore locked = lock_thread_store(*flush, **key.value());
  struct Writing {
    bool& flag;
    bool was;
    explicit Writing(bool& f) : flag(f), was(f) { flag = true; }
    ~Writing() { flag = was; }
  } writing(state.writing_record);
  // Values are published into the capture of the store the record goes into,
  // which its lock keeps from being saved meanwhile.
  store::ValueInterningContext interning(value_interning_, *locked.guard->capture());
  auto appended = locked.guard->append_encoded([&](ByteBuffer& buffer) {
    return write_record(buffer, frame, ec.co_name(), kind, value_kind, value, ec.metadata, frame_id, call_site,
                        &interning);
  });
  if (!appended) [[unlikely]]
    return Err{append_failed(std::move(locked), fetch_error())};
  PushOutcome outcome;
  outcome.first = appended->first;
  outcome.end = appended->end;
  if (!flush_subtree_bytes_) return outcome;
  outcome.generation = subtrees_->generation();
  count_appended(*flush, appended->bytes, outcome.generation);
  outcome.running_bytes = flush->running_bytes;
  outcome.armed = flush->check_due;
  if (outcome.armed) [[unlikely]] {
    outcome.thread_key = *key.value();
    outcome.bytes = appended->bytes;
  }
  return outcome;
}

PyError VeshMonitor::append_failed(LockedStore locked, PyError error) {
  std::shared_ptr<store::TraceCapture> capture = locked.guard->capture();
  { LockedStore released = std::move(locked); }
  note_writer_stop(capture);
  return error;
}

void VeshMonitor::note_writer_stop(const std::shared_ptr<store::TraceCapture>& capture) {
  if (capture == nullptr) return;
  if (std::optional<std::string> warning = recording_stop_.note(*capture)) [[unlikely]]
    log_warning(*warning);
}

void VeshMonitor::count_appended(FlushThreadState& flush, std::uint64_t bytes, std::uint64_t generation) {
  if (flush.flush_generation != generation) {
    flush.flush_generation = generation;
    flush.check_due = false;
    flush.running_bytes = bytes;
  } else {
    flush.running_bytes += bytes;
  }
  if (flush_check_bytes_ == 0 || flush.running_bytes >= flush_check_bytes_) flush.check_due = true;
}

// ---------------------------------------------------------------------------
// Batches

namespace {

bool is_named(const std::string& type) {
  return type == "django_response" || type == "django_request" || type == "start_test";
}

// The name evidence of one plugin record, if it carries any.
std::optional<store::TraceNameObservation> observe(const std::string& type, const ByteBuffer& record,
                                                   std::uint64_t position) {
  std::optional<msgpack::object_handle> handle = store::unpack_record(record.view());
  if (!handle) return std::nullopt;
  const msgpack::object& value = handle->get();
  if (value.type != msgpack::type::MAP) return std::nullopt;
  const msgpack::object_map& map = value.via.map;
  store::TraceNameObservation out;
  out.position = position;
  if (type == "django_request") {
    auto method = store::map_string(map, "method");
    auto path_info = store::map_string(map, "path_info");
    if (!method || !path_info) return std::nullopt;
    out.data = store::TraceNameObservation::Request{std::move(*method), std::move(*path_info)};
  } else if (type == "django_response") {
    for (std::uint32_t i = 0; i < map.size; ++i) {
      const msgpack::object_kv& kv = map.ptr[i];
      if (kv.key.type != msgpack::type::STR || std::string_view(kv.key.via.str.ptr, kv.key.via.str.size) != "status_code") {
        continue;
      }
      if (kv.val.type == msgpack::type::POSITIVE_INTEGER) {
        out.data = store::TraceNameObservation::Response{std::to_string(kv.val.via.u64)};
      } else if (kv.val.type == msgpack::type::NEGATIVE_INTEGER) {
        out.data = store::TraceNameObservation::Response{std::to_string(kv.val.via.i64)};
      } else {
        return std::nullopt;
      }
      return out;
    }
    return std::nullopt;
  } else {
    auto test_name = store::map_string(map, "test_name");
    if (!test_name) return std::nullopt;
    out.data = store::TraceNameObservation::Test{store::map_string(map, "test_class"), std::move(*test_name)};
  }
  return out;
}

}  // namespace

Result<std::optional<PushOutcome>, PyError> VeshMonitor::push_frame_data(std::vector<ByteBuffer> records,
                                                                         const std::string* types,
                                                                         std::size_t count, bool ends_test) {
  if (records.empty()) return std::optional<PushOutcome>();
  PushOutcome outcome;
  std::optional<std::string> segment_name;
  {
    auto flush = thread_state().flush.borrow_mut();
    auto key = thread_key(*flush);
    if (!key.ok()) return Err{std::move(key.error())};
    LockedStore locked = lock_thread_store(*flush, **key.value());
    store::FrameStore& frames = *locked.guard;
    if (records.size() != count) return Err{os_error("frame data/type count mismatch")};

    store::TraceNameIndex observed;
    if (frames.name_index().enabled()) {
      const std::uint64_t base = frames.frame_count();
      std::vector<store::TraceNameObservation>& list = *observed.observations();
      std::uint64_t text = 0;
      for (std::size_t i = 0; i < records.size() && observed.enabled(); ++i) {
        if (!is_named(types[i])) continue;
        auto observation = observe(types[i], records[i], base + i);
        if (!observation) continue;
        text += observation->text_len();
        if (list.size() + 1 > store::TraceNameIndex::kMaxObservations ||
            text > store::TraceNameIndex::kMaxTextBytes) {
          observed.disable();  // a batch this large names nothing
          break;
        }
        list.push_back(std::move(*observation));
      }
      if (observed.enabled()) observed.recount_text_bytes();
    }

    auto appended = frames.append_many(records);
    if (!appended.ok()) [[unlikely]]
      return Err{append_failed(std::move(locked), store::to_python(appended.error()))};
    if (frames.name_index().enabled()) frames.name_index().merge(std::move(observed));

    outcome.thread_key = *key.value();
    outcome.first = appended.value().first;
    outcome.end = appended.value().end;
    if (!flush_subtree_bytes_) return std::optional<PushOutcome>(std::move(outcome));
    outcome.generation = subtrees_->generation();
    count_appended(*flush, appended.value().bytes, outcome.generation);
    outcome.running_bytes = flush->running_bytes;
    outcome.armed = flush->check_due;
    outcome.bytes = outcome.armed ? appended.value().bytes : 0;
    // A test's last records close as one segment of their own.
    if (ends_test && outcome.bytes > 0) segment_name = store::extract_co_name_range(frames, outcome.first, outcome.end);
  }
  if (segment_name) {
    record_closed_segment(*outcome.thread_key, outcome.first, outcome.end, outcome.bytes, std::move(*segment_name),
                          outcome.generation);
    PyStatus checked = maybe_flush_segments_with_current_bytes(*outcome.thread_key, outcome.running_bytes);
    if (!checked.ok()) return Err{std::move(checked.error())};
  }
  return std::optional<PushOutcome>(std::move(outcome));
}

namespace {

bool holds_frame(const std::string* types, std::size_t count) {
  return std::any_of(types, types + count, [](const std::string& type) { return type == "frame"; });
}

}  // namespace

PyStatus VeshMonitor::push_frames_call(Batch batch, const std::string& co_name) {
  std::size_t start = 0;
  if (one_trace_per_test_) {
    for (std::size_t i = 0; i < batch.types.size(); ++i) {
      if (batch.types[i] == "start_test") {
        start_test_trace();
        start = i;
      }
    }
  }
  std::vector<ByteBuffer> records;
  records.reserve(batch.records.size() - start);
  for (std::size_t i = start; i < batch.records.size(); ++i) records.push_back(std::move(batch.records[i]));
  const std::string* types = batch.types.data() + start;
  const std::size_t count = batch.types.size() - start;
  auto pushed = push_frame_data(std::move(records), types, count, false);
  if (!pushed.ok()) return Err{std::move(pushed.error())};
  const std::optional<PushOutcome>& outcome = pushed.value();
  if (!outcome || !outcome->armed || !holds_frame(types, count)) return Ok{};
  const std::uint64_t before = saturating_sub(outcome->running_bytes, outcome->bytes);
  subtrees_->open(*outcome->thread_key, co_name, outcome->first, before, outcome->generation);
  return maybe_flush_segments_with_current_bytes(*outcome->thread_key, outcome->running_bytes);
}

PyStatus VeshMonitor::push_frames_return(Batch batch, bool may_flush) {
  std::reverse(batch.records.begin(), batch.records.end());
  std::reverse(batch.types.begin(), batch.types.end());
  std::size_t start = 0;
  if (one_trace_per_test_) {
    for (std::size_t i = 0; i < batch.types.size(); ++i) {
      if (batch.types[i] != "end_test") continue;
      std::vector<ByteBuffer> records;
      for (std::size_t j = start; j <= i; ++j) records.push_back(std::move(batch.records[j]));
      auto pushed = push_frame_data(std::move(records), batch.types.data() + start, i + 1 - start, true);
      if (!pushed.ok()) return Err{std::move(pushed.error())};
      PyStatus saved = save();
      if (!saved.ok()) return saved;
      reset_subtree_tracking();
      cut_markers_at_boundary();
      start = i + 1;
    }
  }
  std::vector<ByteBuffer> records;
  for (std::size_t j = start; j < batch.records.size(); ++j) records.push_back(std::move(batch.records[j]));
  const std::string* types = batch.types.data() + start;
  const std::size_t count = batch.types.size() - start;
  auto pushed = push_frame_data(std::move(records), types, count, false);
  if (!pushed.ok()) return Err{std::move(pushed.error())};
  const std::optional<PushOutcome>& outcome = pushed.value();
  if (!outcome || !outcome->armed || !holds_frame(types, count)) return Ok{};
  subtrees_->close(*outcome->thread_key, outcome->end, outcome->running_bytes, outcome->generation);
  if (!may_flush) return Ok{};
  return maybe_flush_segments_with_current_bytes(*outcome->thread_key, outcome->running_bytes);
}

// ---------------------------------------------------------------------------
// Per-test traces

void VeshMonitor::start_test_trace() {
  auto capture_guard = capture_lock_.lock();
  const std::string new_id = vesh::trace_id();
  *trace_id_.lock("mutex poisoned") = new_id;
  *root_trace_id_.lock("mutex poisoned") = new_id;
  *trace_name_.lock("mutex poisoned") = name_;
  const double started = *timestamp_.lock("timestamp mutex poisoned");
  std::shared_ptr<store::TraceCapture> fresh = new_capture(new_id, started);

  StoreRegistry old_registry;
  std::shared_ptr<store::TraceCapture> old_capture;
  {
    auto registry = frames_registry_.lock("mutex poisoned");
    capture_generation_.fetch_add(1, std::memory_order_acq_rel);
    old_registry = std::move(*registry);
    registry->clear();
    auto capture = trace_capture_.lock("trace capture mutex poisoned");
    if (!(*capture)->fork_stamp().matches_this_process()) {
      (*capture)->keep_in_memory();
      fresh->keep_in_memory();
    } else if ((*capture)->kept_in_memory()) {
      fresh->keep_in_memory();
    }
    old_capture = std::exchange(*capture, std::move(fresh));
    ids_made_ = store::ForkStamp::current();
  }
  // What the threads recorded since the last save belongs to no test.
  for (auto& [key, slot] : old_registry) {
    auto frames = lock_for_cut(*slot, "thread frame buffer poisoned while starting test");
    if (frames) store::FrameStore discarded = (*frames)->take();
  }
  old_registry.clear();
  old_capture.reset();

  std::vector<std::string> keys;
  {
    auto threads = threads_.lock("threads mutex poisoned");
    keys.reserve(threads->size());
    for (const auto& [key, thread] : *threads) keys.push_back(key);
  }
  {
    auto markers = markers_.lock("markers mutex");
    markers->clear();
    for (std::string& key : keys) markers->emplace(std::move(key), std::vector<MarkerKind>{MarkerKind::boundary()});
  }
  reset_subtree_tracking();
}

void VeshMonitor::cut_markers_at_boundary() {
  auto markers = markers_.lock("markers mutex");
  for (auto it = markers->begin(); it != markers->end();) {
    std::vector<MarkerKind>& stack = it->second;
    auto boundary = std::find_if(stack.rbegin(), stack.rend(), [](const MarkerKind& m) { return m.is_boundary(); });
    if (boundary == stack.rend()) {
      stack.clear();
    } else {
      stack.erase(std::prev(boundary.base()), stack.end());
    }
    if (stack.empty()) {
      markers->erase(it++);
    } else {
      ++it;
    }
  }
}

void VeshMonitor::reset_subtree_tracking() {
  // Running byte counts of every thread restart with the new generation.
  subtrees_->reset();
}

}  // namespace vesh::monitor
