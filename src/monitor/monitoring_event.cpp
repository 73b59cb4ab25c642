// The body of the six frame-event callbacks: the code's verdict, the direct
// and plugin routes, and the bookkeeping undone when an error must reach the
// traced program.
#include "monitor/monitoring.h"

#include "monitor/monitoring_internal.h"

#include "plugins/plugin_processing.h"
#include "py/fault.h"
#include "foundation/error_reporting.h"
#include "encode/frame_writer.h"

namespace vesh::monitor {

using py::PyError;
using py::Ref;

namespace {

bool frame_conversion_error(PyObject* obj) {
  PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'PyFrame'", Py_TYPE(obj)->tp_name);
  return false;
}

// A code object attribute that the interpreter always provides, as text.
std::string required_text(PyObject* code, PyObject* name, const char* missing, const char* not_text) {
  Ref value = Ref::steal(PyObject_GetAttr(code, name));
  if (!value) expect_failed(missing, PyError::fetch().message());
  std::string text;
  if (!str_text_lossy(value.get(), text)) expect_failed(not_text, PyError::fetch().message());
  return text;
}

}  // namespace

EventResult VeshMonitor::monitor(PyObject* code, std::uint8_t value_kind, PyObject* value, std::uint8_t kind,
                                 CodeVerdict verdict) {
  PyError deferred;
  EventResult result = monitor_event(code, value_kind, value, kind, std::move(verdict), deferred);
  if (kind == kEventReturn || kind == kEventUnwind) forget_finished_frame();
  if (deferred) return Err{std::move(deferred)};
  return result;
}

void VeshMonitor::forget_finished_frame() {
  // A frame entered before recording began has no id of its own; made at
  // the address of a recorded frame that has finished, it would be credited
  // with that frame's id. A yield is no final exit: the id stays for the
  // frame's resume.
  PyFrameObject* frame = PyEval_GetFrame();
  ThreadState* ts = threads_state_.find();
  if (frame == nullptr || ts == nullptr) return;
  auto ids = ts->frame_ids.borrow_mut();
  if (ids->size() != 0) ids->forget(frame_key(reinterpret_cast<PyObject*>(frame)));
}

EventResult VeshMonitor::monitor_event(PyObject* code, std::uint8_t value_kind, PyObject* value, std::uint8_t kind,
                                       CodeVerdict verdict, PyError& deferred) {
  EventCode ec;
  bool excluded = false;
  if (!find_code(code, std::move(verdict), ec, excluded)) return Err{fetch_error()};
  if (excluded) return excluded_answer(kind);
  if (ec.is_included() && !ec.plugins()) return direct_route(ec, value_kind, value, kind, deferred);
  return plugin_route(ec, value_kind, value, kind, deferred);
}

EventResult VeshMonitor::excluded_answer(std::uint8_t kind) const {
  return may_disable(kind) ? disable_.clone() : py::none();
}

// ---------------------------------------------------------------------------
// The code's verdict: the thread's map, then the shared cache, then worked
// out from the code's names.

bool VeshMonitor::find_code(PyObject* code, CodeVerdict verdict, EventCode& out, bool& excluded) {
  excluded = false;
  const CodeAddress address = code_address(code);
  if (verdict.is_absent()) {
    ThreadState& ts = thread_state();
    auto map = ts.local_code_metadata.borrow();
    if (auto it = map->find(address); it != map->end()) {
      verdict = it->second.metadata ? CodeVerdict::full(it->second.metadata) : CodeVerdict::exclude();
    }
  }
  if (verdict.is_absent()) {
    auto cache = code_metadata_cache_.lock();
    verdict = cache->lookup(address);
    // Code kept only for its plugins stays out of the threads' maps.
    if (verdict.excluded || (verdict.is_full() && verdict.metadata->included)) cache_locally(address, verdict);
  }
  if (verdict.excluded) {
    excluded = true;
    return true;
  }
  if (verdict.is_full()) {
    out.metadata = std::move(verdict.metadata);
    return true;
  }
  return describe_code(code, out, excluded);
}

void VeshMonitor::cache_locally(CodeAddress address, const CodeVerdict& verdict) {
  auto map = thread_state().local_code_metadata.borrow_mut();
  (*map)[address] = LocalCodeEntry{verdict.metadata};
}

bool VeshMonitor::describe_code(PyObject* code, EventCode& out, bool& excluded) {
  const CodeAddress address = code_address(code);
  Ref filename_obj = Ref::steal(PyObject_GetAttr(code, VESH_INTERNED("co_filename")));
  if (!filename_obj) return false;
  std::string file_name;
  if (!str_bytes(filename_obj.get(), file_name)) return false;

  if (file_name.empty()) {
    // Nothing is cached for code without a file name: the attrs test looks
    // at the calling frames, which differ from event to event.
    required_text(code, VESH_INTERNED("co_filename"), "Code objects always define co_filename",
                  "`co_filename` is always a string");
    out.name = required_text(code, VESH_INTERNED("co_name"), "Code objects always define co_name",
                             "`co_name` is always a string");
    {
      const plugins::PluginMap* plugins = &plugin_processors_;
      out.has_plugins = !plugins->empty() && plugins->find(out.name) != nullptr;
    }
    if (!include_frame(file_name, include_frames_, ignore_frames_, out.included)) return false;
    out.file_name = std::move(file_name);
    return true;
  }

  Ref name_obj = Ref::steal(PyObject_GetAttr(code, VESH_INTERNED("co_name")));
  if (!name_obj) return false;
  std::string name;
  if (!str_text_lossy(name_obj.get(), name)) return false;
  bool included = false;
  if (!include_frame(file_name, include_frames_, ignore_frames_, included)) return false;
  bool has_plugins = false;
  {
    const plugins::PluginMap* plugins = &plugin_processors_;
    has_plugins = plugins->find(name) != nullptr;
  }

  if (!included && !has_plugins) {
    auto cache = code_metadata_cache_.lock();
    CodeVerdict verdict = cache->insert_excluded(address, Ref::borrow(code));
    if (verdict.excluded) {
      if (cache->contains(address)) cache_locally(address, verdict);
      excluded = true;
    } else {
      out.metadata = std::move(verdict.metadata);  // another thread's record
    }
    return true;
  }

  Ref qualname_obj = Ref::steal(PyObject_GetAttr(code, VESH_INTERNED("co_qualname")));
  if (!qualname_obj) return false;
  auto record = std::make_shared<CodeEventMetadata>();
  if (!str_text_lossy(qualname_obj.get(), record->qualname)) return false;
  record->relative_path = frame_path_cache_->relative_path(file_name);
  record->file_name = std::move(file_name);
  record->name = std::move(name);
  record->code = Ref::borrow(code);
  // Without the table, lines are asked of the interpreter.
  record->code_lines = CodeLines::of(code);
  if (!record->code_lines) PyErr_Clear();
  record->included = included;
  record->has_plugins = has_plugins;

  auto cache = code_metadata_cache_.lock();
  CodeVerdict verdict = cache->insert_full(address, std::move(record));
  if (verdict.is_full() && verdict.metadata->included) cache_locally(address, verdict);
  if (verdict.excluded) {
    excluded = true;
  } else {
    out.metadata = std::move(verdict.metadata);
  }
  return true;
}

// ---------------------------------------------------------------------------
// Routes

Ref VeshMonitor::current_frame() {
  // The frame of the event: a C callback runs no frame of its own.
  PyFrameObject* frame = PyEval_GetFrame();
  if (frame == nullptr) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "call stack is not deep enough");
    return {};
  }
  return Ref::borrow(reinterpret_cast<PyObject*>(frame));
}

EventResult VeshMonitor::direct_route(const EventCode& ec, std::uint8_t value_kind, PyObject* value,
                                      std::uint8_t kind, PyError& deferred) {
  Ref frame = current_frame();
  if (!frame) return Err{fetch_error()};
  const FrameKey key = frame_key(frame.get());

  ThreadState& ts = thread_state();
  const EventClock now;
  std::optional<FrameId> frame_id;
  {
    auto ids = ts.frame_ids.borrow_mut();
    if (is_entry(kind)) {
      frame_id = ids->get_or_set(kind, key);
    } else if (!ids->take_abandoned(key)) {
      frame_id = ids->get_option(key);
    }
  }
  if (!frame_id) return event_tail(kind, deferred);  // an exit whose entry was not recorded
  if (!PyFrame_Check(frame.get())) {
    frame_conversion_error(frame.get());
    return Err{fetch_error()};
  }

  std::optional<UserCodeCallSite> call_site;
  bool found;
  {
    auto call_frames = ts.call_frames.borrow_mut();
    const SharedCodeLines no_lines;
    found = call_frames->get_user_code_call_site(frame.get(), kind, *frame_id,
                                                 ec.metadata ? ec.metadata->code_lines : no_lines, call_site);
  }
  if (!found) {
    PyError error = fetch_error();
    abandon_entry(kind, key, frame_id, error);
    return Err{std::move(error)};
  }

  auto appended = append_direct(ts, frame.get(), ec, kind, value_kind, value, *frame_id, call_site);
  if (!appended.ok()) {
    abandon_entry(kind, key, frame_id, appended.error());
    return Err{std::move(appended.error())};
  }
  const bool postponed = appended.value().armed && !flush_allowed_at(kind, ec.co_name());
  if (appended.value().armed) [[unlikely]] {
    PyStatus tracked = after_recorded_exit(kind, track_direct_record(kind, ec.co_name(), appended.value(), !postponed));
    if (!tracked.ok()) return Err{std::move(tracked.error())};
  }
  if (!trace_points_.empty()) [[unlikely]]
    after_stored_record(ec.co_name(), kind, key, deferred);
  return event_tail(kind, postponed, deferred);
}

EventResult VeshMonitor::event_tail(std::uint8_t kind, bool flush_postponed, PyError& deferred) {
  if (flush_postponed) [[unlikely]] {
    // An error of the trace point, waiting in `deferred`, wins over this one.
    PyStatus checked = after_recorded_exit(kind, run_postponed_flush_check());
    if (!checked.ok() && !deferred) return Err{std::move(checked.error())};
  }
  return event_tail(kind, deferred);
}

EventResult VeshMonitor::event_tail(std::uint8_t kind, PyError& deferred) {
  if (deferred) return Err{exit_recorded(kind, std::move(deferred))};
  return py::none();
}

EventResult VeshMonitor::plugin_route(const EventCode& ec, std::uint8_t value_kind, PyObject* value,
                                      std::uint8_t kind, PyError& deferred) {
  Batch batch;
  Ref frame;
  FrameKey key = 0;
  bool kind_taken = false;  // a processor offered the event records this kind
  {
    const plugins::PluginMap* plugins = &plugin_processors_;
    const plugins::PluginList* processors = plugins->empty() ? nullptr : plugins->find(ec.co_name());
    bool matched = false;
    if (processors != nullptr) {
      for (const auto& processor : *processors) {
        if (processor->applies_to(ec.file())) {
          matched = true;
          break;
        }
      }
    }
    if (!matched && !ec.is_included()) {
      if (!may_disable(kind)) return py::none();
      // Code without a cached record is asked again at every event; its
      // location is one a later session might record.
      if (!ec.metadata) note_disabled_recordable();
      return disable_.clone();
    }

    frame = current_frame();
    if (!frame) return Err{fetch_error()};
    if (!PyFrame_Check(frame.get())) {
      frame_conversion_error(frame.get());
      return Err{fetch_error()};
    }
    key = frame_key(frame.get());
    {
      auto ids = thread_state().frame_ids.borrow_mut();
      if (ids->take_abandoned(key) && is_exit(kind)) return py::none();
    }

    if (matched) {
      Ref arg = (value_kind != kNoValue && value != nullptr && !omitting_values()) ? Ref::borrow(value) : py::none();
      for (const auto& processor : *processors) {
        if (!processor->applies_to(ec.file())) continue;
        kind_taken = kind_taken || processor->takes_event(kind);
        bool matches = false;
        bool ok = plugins::plugin_matches_event(*processor, frame.get(), kind, arg.get(), matches);
        std::optional<plugins::PluginRecord> record;
        if (ok && matches) {
          std::vector<BoundCallFrame> snapshot = thread_state().call_frames.borrow()->get_bound();
          ok = plugins::process_plugin_event(*processor, frame.get(), kind, arg.get(), std::move(snapshot),
                                    lightweight_repr_, record);
        }
        if (ok) {
          if (record) {
            batch.records.push_back(std::move(record->bytes));
            batch.types.push_back(std::move(record->type));
          }
          continue;
        }
        PyError error = fetch_error();
        if (!reaches_program(error)) {
          // A failing plugin costs its own record only: the other processors
          // and the frame's own record still get the event.
          log_error(std::move(error));
          continue;
        }
        if (kind == 1 || kind == 2) {
          // The exit is recorded in full; the first such error is raised after it.
          if (!deferred) deferred = std::move(error);
          continue;
        }
        abandon_entry(kind, key, std::nullopt, error);
        return Err{std::move(error)};
      }
    }
  }

  bool own_record = false;
  if (ec.is_included()) {
    auto own = process(frame.get(), ec.co_name(), kind, value_kind, value, ec.metadata);
    if (!own.ok()) return Err{std::move(own.error())};
    if (own.value()) {
      batch.records.push_back(std::move(*own.value()));
      batch.types.emplace_back("frame");
      own_record = true;
    }
  }

  if (batch.records.empty()) {
    if (deferred) return Err{std::move(deferred)};
    // Included code is recorded at its other events (a frame whose entry was
    // not recorded has no id here, but later calls do): never switch its
    // location off. Code kept only for its plugins is switched off only when
    // no processor records this kind of event: a `call` predicate answers
    // per event, and a plugin that failed once may record the next one.
    if (ec.is_included() || kind_taken || !may_disable(kind)) return py::none();
    note_disabled_recordable();
    return disable_.clone();
  }

  const bool postponed = !flush_allowed_at(kind, ec.co_name());
  if (is_exit(kind)) {
    PyStatus pushed = after_recorded_exit(kind, push_frames_return(std::move(batch), !postponed));
    if (!pushed.ok()) return Err{std::move(pushed.error())};
  } else {
    PyStatus pushed = push_frames_call(std::move(batch), ec.co_name());
    if (!pushed.ok()) return Err{std::move(pushed.error())};
  }
  if (own_record && !trace_points_.empty()) [[unlikely]]
    after_stored_record(ec.co_name(), kind, key, deferred);
  return event_tail(kind, postponed, deferred);
}

// ---------------------------------------------------------------------------
// One frame record into a fresh buffer

Result<std::optional<ByteBuffer>, PyError> VeshMonitor::process(PyObject* frame, const std::string& co_name,
                                                                 std::uint8_t kind, std::uint8_t value_kind,
                                                                 PyObject* value,
                                                                 const SharedCodeMetadata& metadata) {
  const FrameKey key = frame_key(frame);
  std::optional<FrameId> frame_id;
  {
    auto ids = thread_state().frame_ids.borrow_mut();
    if (is_exit(kind)) {
      if (ids->take_abandoned(key)) return std::optional<ByteBuffer>();
      frame_id = ids->get_option(key);
      if (!frame_id) return std::optional<ByteBuffer>();
    } else {
      frame_id = ids->get_or_set(kind, key);
    }
  }
  std::optional<UserCodeCallSite> call_site;
  bool ok;
  {
    auto call_frames = thread_state().call_frames.borrow_mut();
    const SharedCodeLines no_lines;
    ok = call_frames->get_user_code_call_site(frame, kind, *frame_id, metadata ? metadata->code_lines : no_lines,
                                              call_site);
  }
  ByteBuffer buffer;
  // Records made here are stored later, maybe in another capture: their
  // values are written inline.
  if (ok) {
    ok = write_record(buffer, frame, co_name, kind, value_kind, value, metadata, *frame_id, call_site, nullptr);
  }
  if (!ok) {
    PyError error = fetch_error();
    abandon_entry(kind, key, frame_id, error);
    return Err{std::move(error)};
  }
  return std::optional<ByteBuffer>(std::move(buffer));
}

bool VeshMonitor::write_record(ByteBuffer& buffer, PyObject* frame, const std::string& co_name, std::uint8_t kind,
                               std::uint8_t value_kind, PyObject* value, const SharedCodeMetadata& metadata,
                               const FrameId& frame_id, const std::optional<UserCodeCallSite>& call_site,
                               encode::InterningContext* interning) {
  encode::CachedCodeNames cached;
  encode::FrameWrite write{};
  write.frame = frame;
  write.serializer = serializer_;
  write.path_cache = frame_path_cache_.get();
  write.call_site = call_site;
  write.value_kind = value_kind;
  write.value = value != nullptr ? value : Py_None;
  write.event_kind = kind;
  write.co_name = co_name;
  write.frame_id = &frame_id;
  write.lightweight_repr = lightweight_repr_;
  write.omit_return_locals = omit_return_locals_;
  write.interning = interning;
  if (metadata) {
    cached.path = metadata->relative_path;
    cached.qualname = std::string_view(metadata->qualname);
    cached.native_msgpack_eligible = &metadata->native_values_only;
    cached.lines = metadata->code_lines.get();
    write.cached = &cached;
  }
  if (max_value_bytes_) write.byte_budget = static_cast<std::size_t>(*max_value_bytes_);
  return encode::write_frame_with_serializer_inner(buffer, write);
}

// ---------------------------------------------------------------------------
// Undoing bookkeeping for errors that reach the program

void VeshMonitor::abandon_entry(std::uint8_t kind, FrameKey key, const std::optional<FrameId>& frame_id,
                                const PyError& error) {
  if (!is_entry(kind) || !reaches_program(error)) return;
  thread_state().frame_ids.borrow_mut()->abandon(key, true);
  if (frame_id) thread_state().call_frames.borrow_mut()->truncate_through(*frame_id);
}

PyError VeshMonitor::exit_recorded(std::uint8_t kind, PyError error) {
  if (kind == 1) {
    // The PY_UNWIND that raising the error causes in this frame is not recorded.
    if (Ref frame = current_frame()) {
      thread_state().frame_ids.borrow_mut()->abandon(frame_key(frame.get()), true);
    } else {
      PyErr_Clear();
    }
  }
  return error;
}

PyStatus VeshMonitor::after_recorded_exit(std::uint8_t kind, PyStatus result) {
  if (result.ok() || !reaches_program(result.error())) return result;
  if (kind == 4) {
    log_error(std::move(result.error()));
    return Ok{};
  }
  return Err{exit_recorded(kind, std::move(result.error()))};
}

}  // namespace vesh::monitor
