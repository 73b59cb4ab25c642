// Assignment capture's second half: at the next callback on the thread,
// the stores left pending are read back from their frames and written as
// "line" records ahead of the callback's own record.
#include "monitor/pending_assignments.h"

#include "monitor/monitoring.h"
#include "monitor/monitoring_internal.h"
#include "encode/assignment_record.h"
#include "foundation/frame_locals.h"
#include "foundation/error_reporting.h"
#include "foundation/stack_guard.h"
#include "py/args.h"
#include "store/subtree_flush.h"

#include <array>

namespace vesh::monitor {

using py::PyError;
using py::Ref;

namespace {

// The value a store bound to `name`: null when the name is unbound again
// (deleted, or missing from the globals), which is no error.
Result<Ref, PyError> assignment_value(Opname kind, PyObject* frame, const std::string& name) {
  Ref key = py::str_of(name);
  if (!key) return Err{fetch_error()};
  auto* frame_object = reinterpret_cast<PyFrameObject*>(frame);
  if (kind == Opname::Global) {
    Ref globals = Ref::steal(PyFrame_GetGlobals(frame_object));
    if (!globals) return Err{fetch_error()};
    if (!PyDict_Check(globals.get())) {
      PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'PyDict'", Py_TYPE(globals.get())->tp_name);
      return Err{fetch_error()};
    }
    Ref value = Ref::borrow(PyDict_GetItemWithError(globals.get(), key.get()));
    if (!value && PyErr_Occurred()) return Err{fetch_error()};
    return value;
  }
  Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_GetCode(frame_object)));
  if (reinterpret_cast<PyCodeObject*>(code.get())->co_flags & CO_OPTIMIZED) {
    // A function's variable read straight from the frame: f_locals would
    // leave a snapshot of every local on the frame, keeping values alive
    // that the program has let go.
    Ref value = Ref::steal(PyFrame_GetVar(frame_object, key.get()));
    if (!value) {
      if (!PyErr_ExceptionMatches(PyExc_NameError)) return Err{fetch_error()};
      PyErr_Clear();
    }
    return value;
  }
  // A module's or class body's name, looked up in its namespace as f_locals
  // shows it, without the writes f_locals makes into it.
  Ref locals = Ref::steal(frame_locals::namespace_locals(frame_object));
  if (!locals) return Err{fetch_error()};
  Ref value = Ref::checked(PyObject_GetItem(locals.get(), key.get()));
  if (!value) {
    if (!PyErr_ExceptionMatches(PyExc_KeyError)) return Err{fetch_error()};
    PyErr_Clear();
  }
  return value;
}

}  // namespace

// ---------------------------------------------------------------------------
// The flush at the next callback

EventResult VeshMonitor::begin_assignments(std::uint8_t kind, std::uint8_t bits) {
  if (omitting_values()) {
    // The stack is running out: nothing is read back from frames now.
    drop_waiting_assignments(bits);
    return Ref();
  }
  PyStatus flushed = flush_assignments(bits);
  if (flushed.ok()) return Ref();
  if (reaches_program(flushed.error())) return Err{std::move(flushed.error())};
  log_event_error(std::move(flushed.error()));
  // A failure that is only logged must not switch this location off for
  // good: later events there may well be recorded. Only a recorder that has
  // stopped for good answers with DISABLE.
  if (!recording_stopped()) return Ref();
  disable_events();
  if (!may_disable(kind)) return py::none();
  note_disabled_recordable();
  return disable_.clone();
}

PyStatus VeshMonitor::flush_assignments(std::uint8_t bits) {
  ThreadState& ts = thread_state();
  if (bits & kQueuedBit) {
    for (;;) {
      Ref frame;
      std::uint64_t offset = 0;
      {
        auto held = ts.assignments.borrow();
        if (held->queued.empty()) {
          set_assignment_bit(kQueuedBit, false);
          break;
        }
        frame = held->queued.back().frame.clone();
        offset = held->queued.back().offset;
      }
      auto running = store_in_progress(frame.get(), offset);
      if (!running.ok()) return Err{std::move(running.error())};
      if (running.value()) break;
      std::optional<InstructionData> entry;
      {
        auto held = ts.assignments.borrow_mut();
        entry = std::move(held->queued.back());
        held->queued.pop_back();
      }
      PyStatus written = write_assignments(*entry, entry->names->size());
      if (!written.ok()) return written;
    }
  }

  std::optional<InstructionData> pending;
  {
    auto held = ts.assignments.borrow_mut();
    pending = std::exchange(held->pending, std::nullopt);
  }
  set_assignment_bit(kPendingBit, false);
  if (!pending) return Ok{};
  const std::size_t names = pending->names->size();
  if (names <= 1) return write_assignments(*pending, names);

  auto running = store_in_progress(pending->frame.get(), pending->offset);
  if (!running.ok()) return Err{std::move(running.error())};
  if (!running.value()) return write_assignments(*pending, names);
  // Code runs between the two bindings: the second is not made yet.
  PyStatus first = write_assignments(*pending, 1);
  if (!first.ok()) return first;
  InstructionData rest = std::move(*pending);
  rest.names = std::make_shared<const std::vector<std::string>>(rest.names->begin() + 1, rest.names->end());
  ts.assignments.borrow_mut()->queued.push_back(std::move(rest));
  set_assignment_bit(kQueuedBit, true);
  return Ok{};
}

void VeshMonitor::drop_waiting_assignments(std::uint8_t bits) {
  PendingAssignments dropped;
  {
    auto held = thread_state().assignments.borrow_mut();
    if (bits & kPendingBit) dropped.pending = std::exchange(held->pending, std::nullopt);
    if (bits & kQueuedBit) {
      dropped.queued = std::move(held->queued);
      held->queued.clear();
    }
  }
  if (bits & kPendingBit) set_assignment_bit(kPendingBit, false);
  if (bits & kQueuedBit) set_assignment_bit(kQueuedBit, false);
}

void VeshMonitor::set_assignment_bit(std::uint8_t bit, bool set) {
  hooks::set_assignment(assignment_owner_.alive(), assignment_owner_.id(), bit, set);
}

Result<bool, PyError> VeshMonitor::store_in_progress(PyObject* frame, std::uint64_t offset) {
  Ref current = current_frame();
  if (!current) return Err{fetch_error()};
  if (current.get() == frame) return false;
  Ref lasti = Ref::steal(PyObject_GetAttr(frame, VESH_INTERNED("f_lasti")));
  if (!lasti) return Err{fetch_error()};
  std::uint64_t value = 0;
  if (!py::to_u64(lasti.get(), value)) return Err{fetch_error()};
  return value == offset;
}

// ---------------------------------------------------------------------------
// Writing

PyStatus VeshMonitor::write_assignments(const InstructionData& data, std::size_t count) {
  // At most two names, looked up before anything is written: writing one
  // value may run Python code (a __repr__) that rebinds the other.
  std::array<const std::string*, 2> selected{};
  std::size_t chosen = 0;
  for (std::size_t i = 0; i < count && i < data.names->size() && chosen < selected.size(); ++i) {
    const std::string& name = (*data.names)[i];
    if (!hidden_name(name)) selected[chosen++] = &name;
  }
  std::array<Result<Ref, PyError>, 2> values{Ref(), Ref()};
  for (std::size_t i = 0; i < chosen; ++i) values[i] = assignment_value(data.kind, data.frame.get(), *selected[i]);

  for (std::size_t i = 0; i < chosen; ++i) {
    PyStatus written = Ok{};
    if (!values[i].ok()) {
      written = Err{std::move(values[i].error())};
    } else if (values[i].value()) {
      written = write_assignment(data.line, *selected[i], values[i].value().get());
    }
    if (written.ok()) continue;
    if (recording_stopped() || reaches_program(written.error())) return written;
    log_error(std::move(written.error()));
  }
  return Ok{};
}

PyStatus VeshMonitor::write_assignment(const encode::LineFrame& line, const std::string& name, PyObject* value) {
  // The value is encoded before the store is locked: its repr may run
  // Python code, and a value that fails leaves nothing behind.
  encode::Unencoded unencoded;
  auto payload =
      encode::encode_assign_payload(name, value, *serializer_, max_value_bytes_, lightweight_repr_, unencoded);
  if (!payload.ok()) return Err{std::move(payload.error())};
  if (unencoded.error) [[unlikely]]
    encode::report_unencoded_once(line.co_name, line.path, unencoded, encode::UnencodedRecord::Assignment);
  // A value the program keeps at this store would otherwise be logged at
  // every assignment: it was said once above, and the store goes unrecorded.
  if (!payload.value()) [[unlikely]]
    return Ok{};
  std::shared_ptr<const std::string> key;
  std::optional<store::AppendOutcome> appended;
  std::uint64_t generation = 0;
  std::uint64_t running = 0;
  {
    auto flush = thread_state().flush.borrow_mut();
    auto found = thread_key(*flush);
    if (!found.ok()) return Err{std::move(found.error())};
    key = *found.value();
    LockedStore locked = lock_thread_store(*flush, *key);
    appended = locked.guard->append_encoded(
        [&](ByteBuffer& buffer) { return encode::write_assignment_record(buffer, line, payload.value()->view()); });
    if (!appended) [[unlikely]]
      return Err{append_failed(std::move(locked), fetch_error())};
    if (!flush_subtree_bytes_) return Ok{};
    // Read with the append: a flush or a new capture on another thread
    // would otherwise pair this record's index with another store.
    generation = subtrees_->generation();
    count_appended(*flush, appended->bytes, generation);
    if (!flush->check_due) return Ok{};
    running = flush->running_bytes;
  }
  // The record closes as a segment of its own inside the storing call.
  record_closed_segment(*key, appended->first, appended->end, appended->bytes, line.co_name, generation);
  return maybe_flush_segments_with_current_bytes(*key, running);
}

}  // namespace vesh::monitor
