#include "monitor/trace_points.h"

#include "monitor/monitoring.h"
#include "monitor/monitoring_internal.h"

#include "foundation/error_reporting.h"
#include "foundation/thread_hooks.h"
#include "py/fault.h"
#include "py/import.h"
#include "store/disk_reserve.h"
#include "store/fork_gate.h"
#include "store/trace_persistence.h"
#include "support/saturating.h"

namespace vesh::monitor {

using py::PyError;
using py::Ref;

std::optional<MarkerKind> take_marker(MarkerStack& stack, FrameKey frame) {
  for (auto it = stack.rbegin(); it != stack.rend(); ++it) {
    if (it->is_boundary()) return std::nullopt;
    if (it->frame != frame) continue;
    MarkerKind marker = *it;
    stack.erase(std::next(it).base());
    return marker;
  }
  return std::nullopt;
}

Ref trace_point_config(const Config& config) {
  Ref dict = Ref::steal(PyDict_New());
  if (!dict) return {};
  for (const auto& [key, value] : config.entries()) {
    if (store::excluded_config_key(key)) continue;
    Ref name = py::str_of(key);
    if (!name || PyDict_SetItem(dict.get(), name.get(), value.get()) < 0) return {};
  }
  if (PyDict_SetItemString(dict.get(), "use_monitoring", Py_True) < 0) return {};
  if (PyDict_SetItemString(dict.get(), "use_rust", Py_True) < 0) return {};
  return dict;
}

namespace {

// [(id, bytes), ...] of the published values.
Ref value_list(const std::vector<store::PublishedValue>& values) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(values.size())));
  if (!list) return {};
  for (std::size_t i = 0; i < values.size(); ++i) {
    Ref id = Ref::steal(PyLong_FromUnsignedLong(values[i].first));
    Ref encoded = id ? py::bytes_of(values[i].second->view()) : Ref();
    Ref pair = encoded ? Ref::steal(PyTuple_Pack(2, id.get(), encoded.get())) : Ref();
    if (!pair) return {};
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), pair.release());
  }
  return list;
}

// What storing a trace point adds to the database's filesystem, at most:
// its records and values, and a bound on the container's framing and
// metadata and on the database's pages around them, counted twice. The
// journal mode is the database file's own, not ours: in WAL mode every new
// page is written to the log and again into the database before the log
// goes (a rollback journal holds only the few pages an insert changes).
std::uint64_t stored_bytes(const std::vector<std::string>& records, const std::vector<store::InternedRecord>& values) {
  constexpr std::uint64_t kAroundTheRecords = 64 * 1024;
  std::uint64_t bytes = kAroundTheRecords;
  for (const std::string& record : records) bytes = saturating_add(bytes, record.size());
  for (const store::InternedRecord& value : values) bytes = saturating_add(bytes, value.second->size());
  return saturating_add(bytes, bytes);
}

// Why `bytes` more were not admitted to the database at `db_path`: they
// would leave less than the reserve free on its filesystem.
std::string reserve_refusal(const std::string& db_path, std::uint64_t bytes, const store::SpaceClaim& claim) {
  const std::uint64_t size = claim.space() ? claim.space()->size : 0;
  return "storing its " + std::to_string(bytes) + " bytes in " + db_path + " would leave less than the reserve of " +
         std::to_string(store::filesystem_reserve(size, store::kFilesystemReserveCap)) +
         " bytes free on its filesystem";
}

}  // namespace

// ---------------------------------------------------------------------------
// The step on a target's events

void VeshMonitor::after_stored_record(const std::string& co_name, std::uint8_t kind, FrameKey frame,
                                      PyError& deferred) {
  PyStatus stepped = trace_point_step(co_name, kind, frame);
  if (!stepped.ok() && !deferred) deferred = std::move(stepped.error());
}

PyStatus VeshMonitor::trace_point_step(const std::string& co_name, std::uint8_t kind, FrameKey frame) {
  if (!is_trace_point_target(co_name)) return Ok{};
  // Resumes, yields and throws of a target belong to the call its first
  // PY_START opened.
  if (kind != kEventCall && kind != kEventReturn && kind != kEventUnwind) return Ok{};
  std::shared_ptr<const std::string> key;
  {
    // The store this event's record went to named the thread already.
    auto flush = thread_state().flush.borrow_mut();
    auto named = thread_key(*flush);
    if (!named.ok()) return Err{std::move(named.error())};
    key = *named.value();
  }

  if (kind == kEventCall) {
    const std::uint64_t generation = capture_generation();
    SharedStore slot = thread_frame_buffer(*key);
    if (!slot) return Ok{};
    std::uint64_t count = 0;
    {
      auto store = slot->store.lock("thread frame buffer poisoned");
      count = store->frame_count();
    }
    if (count == 0 || capture_generation() != generation) return Ok{};
    auto markers = markers_.lock("markers mutex");
    (*markers)[*key].push_back(MarkerKind::at_call(count - 1, generation, frame));
    return Ok{};
  }

  std::optional<MarkerKind> marker;
  {
    auto markers = markers_.lock("markers mutex");
    if (auto it = markers->find(*key); it != markers->end()) marker = take_marker(it->second, frame);
  }
  if (!marker || kind == kEventUnwind || recording_stop_.trace_points_stopped()) return Ok{};
  // A thread without a store in the current trace lost it to a save or a
  // new per-test trace since the call.
  SharedStore slot = thread_frame_buffer(*key);
  if (!slot) return Ok{};
  TracePointCopy copy = copy_trace_point(*slot, *marker);
  slot.reset();
  if (copy.outcome == TracePointCopy::Outcome::Skipped) return Ok{};
  if (copy.outcome == TracePointCopy::Outcome::Failed) {
    stop_trace_points(co_name, copy.cause);
    return Ok{};
  }
  // The interned values the records refer to, and no others: their capture
  // holds every value the whole recording published.
  std::vector<store::InternedRecord> values = value_interning_.referenced_values(copy.records);
  // Claimed until the save is done, so that the saves of other threads and
  // the writer meanwhile leave room for it.
  store::SpaceClaim claim = store::SpaceClaim::on_path(db_path_);
  if (const std::uint64_t bytes = stored_bytes(copy.records, values); !claim.grow(bytes, store::kFilesystemReserveCap)) {
    stop_trace_points(co_name, reserve_refusal(db_path_, bytes, claim));
    return Ok{};
  }
  PyStatus saved = save_trace_point(*key, std::move(copy.records), std::move(values), co_name);
  if (saved.ok()) return saved;
  // Ctrl-C while the records are being stored must still stop the program.
  if (saved.error().matches(PyExc_KeyboardInterrupt)) return saved;
  const std::string cause = saved.error().message();
  stop_trace_points(co_name, cause, std::move(saved.error()));
  return Ok{};
}

void VeshMonitor::stop_trace_points(const std::string& co_name, const std::string& cause, PyError error) {
  if (!recording_stop_.stop_trace_points()) return;
  log_warning("Vesh could not save the trace point of " + co_name + ": " + cause + "; no more trace points are saved",
              std::move(error));
}

TracePointCopy VeshMonitor::copy_trace_point(StoreSlot& slot, const MarkerKind& marker) {
  using Outcome = TracePointCopy::Outcome;
  TracePointCopy copy;
  std::uint64_t generation = 0;
  {
    auto store = slot.store.lock_ignoring_poison();
    if (slot.store.poisoned()) {
      copy.outcome = Outcome::Failed;
      copy.cause = "thread frame buffer poisoned";
      return copy;
    }
    generation = capture_generation();
    if (generation != marker.generation) return copy;
    const std::uint64_t count = store->frame_count();
    // The call's records were flushed out of the store since it began.
    if (marker.start_index >= count) return copy;
    auto records = store->copy_range(marker.start_index, count);
    if (!records.ok()) {
      copy.outcome = Outcome::Failed;
      copy.cause = records.error().text();
      return copy;
    }
    copy.records = std::move(records.value());
  }
  if (capture_generation() != generation) {
    copy.records.clear();
    return copy;
  }
  copy.outcome = Outcome::Copied;
  return copy;
}

// ---------------------------------------------------------------------------
// The hand-over

PyStatus VeshMonitor::save_trace_point(const std::string& thread_key, std::vector<std::string> records,
                                       std::vector<store::InternedRecord> values, const std::string& co_name) {
  store::SaveInFlight saving;
  Ref value_pairs = value_list(values);
  if (!value_pairs) return Err{fetch_error()};
  values = {};

  Ref frames = Ref::steal(PyList_New(static_cast<Py_ssize_t>(records.size())));
  if (!frames) return Err{fetch_error()};
  for (std::size_t i = 0; i < records.size(); ++i) {
    Ref record = py::bytes_of(records[i]);
    if (!record) return Err{fetch_error()};
    PyList_SET_ITEM(frames.get(), static_cast<Py_ssize_t>(i), record.release());
  }
  records = {};

  // Nothing the storing code does on this thread is recorded.
  hooks::HookSuspension suspended;
  const std::string trace_id = *trace_id_.lock("mutex poisoned");
  Ref config = trace_point_config(*config_);
  if (!config) return Err{fetch_error()};
  Ref module = py::import_module("vesh.monitoring");
  if (!module) return Err{fetch_error()};
  Ref function = Ref::checked(PyObject_GetAttrString(module.get(), "_save_trace_point_from_rust"));
  if (!function) return Err{fetch_error()};

  Ref args[] = {py::str_of(thread_key),
                std::move(frames),
                py::str_of(co_name),
                py::str_of(db_path_),
                py::str_of(source_),
                Ref::borrow(lightweight_repr_ ? Py_True : Py_False),
                py::str_of(trace_id),
                std::move(config),
                Ref::steal(PyLong_FromUnsignedLongLong(sqlite_busy_timeout_)),
                std::move(value_pairs)};
  PyObject* raw[std::size(args)];
  for (std::size_t i = 0; i < std::size(args); ++i) {
    if (!args[i]) return Err{fetch_error()};
    raw[i] = args[i].get();
  }
  Ref result = Ref::checked(PyObject_Vectorcall(function.get(), raw, std::size(args), nullptr));
  if (!result) return Err{fetch_error()};
  return Ok{};
}

}  // namespace vesh::monitor
