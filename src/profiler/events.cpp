// The profile-hook tracer's event path: one call or return of a Python
// frame, from the stack guard to the stored record, and what becomes of
// errors on the way.
//
// Outcomes are carried as py::PyError: empty means success. An error that
// must reach the traced program (KeyboardInterrupt, SystemExit) is raised
// there; any other is logged and tracing goes on. Internal faults are thrown
// and caught by the profile function.
#include "profiler/profiler.h"

#include "plugins/plugin_processing.h"
#include "py/fault.h"
#include "foundation/error_reporting.h"
#include "foundation/frame_locals.h"
#include "encode/frame_writer.h"
#include "encode/msgpack_encoding.h"
#include "foundation/stack_guard.h"

#include <algorithm>

namespace vesh::profile {

using py::PyError;
using py::Ref;

namespace {

// ---------------------------------------------------------------------------
// The scratch buffer each thread encodes its frame records into. Process-wide
// per thread (not per profiler): one buffer serves every profiler.

thread_local ByteBuffer PROFILER_FRAME_SCRATCH __attribute__((tls_model("initial-exec")));

// Buffers that grew past this are freed rather than kept, so one large
// record does not pin memory on a thread.
constexpr std::size_t kScratchKeepCapacity = 16384;

ByteBuffer take_profiler_frame_buffer() noexcept { return std::move(PROFILER_FRAME_SCRATCH); }

void recycle_profiler_frame_buffer(ByteBuffer buffer) noexcept {
  if (buffer.capacity() > kScratchKeepCapacity) return;
  if (PROFILER_FRAME_SCRATCH.capacity() != 0) return;
  buffer.clear();
  PROFILER_FRAME_SCRATCH = std::move(buffer);
}

// The code object's own str attribute (keeps lone surrogates for the log).
PyObject* code_attr(PyObject* code, bool filename) noexcept {
  auto* object = reinterpret_cast<PyCodeObject*>(code);
  return filename ? object->co_filename : object->co_name;
}

constexpr int kGeneratorLikeFlags = 0x20 | 0x80 | 0x200;  // generator, coroutine, async generator

}  // namespace

std::string exception_display(const PyError& error) {
  if (!error) return "<no exception>";
  std::string out = "<unknown>";
  Ref qualname = Ref::steal(PyType_GetQualName(reinterpret_cast<PyTypeObject*>(error.type())));
  if (qualname) {
    std::string text;
    if (str_text_lossy(qualname.get(), text)) out = std::move(text);
  }
  PyErr_Clear();
  Ref str = Ref::checked(PyObject_Str(error.value()));
  std::string text;
  if (!str || !str_text_lossy(str.get(), text)) {
    PyErr_Clear();
    text = "<exception str() failed>";
  }
  return out + ": " + text;
}

// ---------------------------------------------------------------------------
// Logging

void VeshProfiler::log_error(PyError error, PyObject* frame, std::uint8_t kind, PyObject* code) {
  PyError pending = PyError::fetch();
  (void)pending;
  Ref locals = Ref::steal(frame_locals::copy(reinterpret_cast<PyFrameObject*>(frame)));
  if (!locals) {
    std::string text = "<unavailable: " + exception_display(PyError::fetch()) + ">";
    locals = Ref::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  }
  Ref event = Ref::steal(PyUnicode_FromString(event_name(kind)));
  Ref args = locals && event ? Ref::steal(PyTuple_Pack(5, VESH_INTERNED(kLogTemplate), code_attr(code, true),
                                                       code_attr(code, false), event.get(), locals.get()))
                             : Ref();
  if (!args) {
    // Out of memory building the message: log what we can.
    PyErr_Clear();
    log_warning(std::string("Unexpected exception in Rust."), std::move(error));
    return;
  }
  log_warning(std::move(args), std::move(error));
}

void VeshProfiler::report_stray_error(PyFrameObject* frame, std::uint8_t kind) {
  PyError stray = take_stray_error();
  if (!stray) return;
  Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_GetCode(frame)));
  log_error(std::move(stray), reinterpret_cast<PyObject*>(frame), kind, code.get());
}

void VeshProfiler::note_writer_stop(const std::shared_ptr<store::TraceCapture>& capture) {
  if (capture == nullptr) return;
  if (std::optional<std::string> warning = recording_stop_.note(*capture)) [[unlikely]]
    log_warning(*warning);
}

// ---------------------------------------------------------------------------
// Event body

int VeshProfiler::on_event(PyFrameObject* frame_object, std::uint8_t kind, PyObject* value) {
  PyObject* frame = reinterpret_cast<PyObject*>(frame_object);
  const auto key = reinterpret_cast<StackKey>(frame);
  // Puts the values-omitted flag back when the event ends, however it ends.
  StackCheck check = kind == kEventCall ? check_stack_entry(key) : check_stack_exit(key);
  if (check.decision == StackDecision::Skip) return 0;
  if (check.decision == StackDecision::OmitValues) value = Py_None;

  ProfilerThreadState& state = threads_.get();
  // A finished frame's id must not pass to the next frame made at its
  // address (one entered before recording began has no id of its own).
  // Every return is forgotten (a generator's resume is a call that takes a
  // fresh id anyway) except one that raises into the program: the frame
  // then unwinds, and that second return is its last.
  struct ForgetAtReturn {
    FrameIds* ids;
    FrameKey key;
    ~ForgetAtReturn() {
      if (ids != nullptr) ids->forget(key);
    }
  } forget_at_return{kind == kEventReturn ? &state.frame_ids : nullptr, reinterpret_cast<FrameKey>(frame)};
  Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_GetCode(frame_object)));
  if (!code) fault("A frame always has an `f_code`");
  CodeResolution resolution = resolve(state, code.get());
  if (resolution.metadata == nullptr) {
    if (kind == kEventCall) forget_entry(key);
    return 0;
  }
  const ProfilerCodeMetadata& metadata = *resolution.metadata;

  EventBatch batch;
  PyError kept;  // a return event's plugin error, raised once the event is recorded
  PyError error;
  if (metadata.has_plugins) error = run_plugins(state, frame, kind, value, metadata, batch, kept);
  if (!error) {
    bool record = metadata.verdict == CodeVerdict::Included ||
                  (metadata.verdict == CodeVerdict::Default && !attrs_filter(metadata.co_filename, frame));
    if (record) {
      error = record_frame(state, frame, kind, value, metadata, batch);
    } else {
      error = keep_recorded_event(push_frames(kind, batch, std::nullopt), frame, kind, metadata);
    }
  }

  if (error && !reaches_program(error)) {
    // A stopped writer was reported once already, with its cause.
    if (!recording_stop_.writer_stopped()) log_error(std::move(error), frame, kind, metadata.code.get());
    error = PyError();
  }
  if (kept || error) forget_at_return.ids = nullptr;
  if (kept) {
    kept.restore();
    return -1;
  }
  if (error) {
    error.restore();
    return -1;
  }
  return 0;
}

PyError VeshProfiler::run_plugins(ProfilerThreadState& state, PyObject* frame, std::uint8_t kind, PyObject* value,
                                  const ProfilerCodeMetadata& metadata, EventBatch& batch, PyError& kept) {
  const plugins::PluginList* processors = plugins_.find(metadata.co_name);
  if (processors == nullptr) fault("cached processor candidate must still exist");
  for (const auto& processor : *processors) {
    if (!processor->applies_to(metadata.co_filename)) continue;
    PyError error;
    bool matches = false;
    if (!plugins::plugin_matches_event(*processor, frame, kind, value, matches)) {
      error = PyError::fetch();
    } else if (matches) {
      std::optional<plugins::PluginRecord> record;
      if (!plugins::process_plugin_event(*processor, frame, kind, value, state.call_frames.get_bound(),
                                         lightweight_repr_, record)) {
        error = PyError::fetch();
      } else if (record) {
        batch.types.push_back(std::move(record->type));
        batch.records.push_back(std::move(record->bytes));
      }
    }
    if (!error) continue;
    if (!reaches_program(error)) {
      log_error(std::move(error), frame, kind, metadata.code.get());
      continue;
    }
    if (kind == kEventCall) {
      // Nothing of this call is stored: its return must not find an id.
      state.frame_ids.abandon(reinterpret_cast<FrameKey>(frame), false);
      batch = EventBatch();
      return error;
    }
    if (!kept) kept = std::move(error);
  }
  return {};
}

PyError VeshProfiler::record_frame(ProfilerThreadState& state, PyObject* frame, std::uint8_t kind, PyObject* value,
                                   const ProfilerCodeMetadata& metadata, EventBatch& batch) {
  const auto key = reinterpret_cast<FrameKey>(frame);
  const EventClock now;
  FrameId frame_id = state.frame_ids.get_or_set(kind, key);

  std::optional<UserCodeCallSite> call_site;
  if (!state.call_frames.get_user_code_call_site(frame, kind, frame_id, metadata.lines, call_site)) {
    return abandon_entry(state, kind, key, frame_id, PyError::fetch());
  }
  std::string thread_key;
  if (!thread_id(state, thread_key)) return abandon_entry(state, kind, key, frame_id, PyError::fetch());

  // Test boundaries switch captures, so their records intern no values.
  const bool test_boundary = std::any_of(batch.types.begin(), batch.types.end(), [](const std::string& type) {
    return type == "start_test" || type == "end_test";
  });
  std::optional<store::ValueInterningContext> interning;
  if (!test_boundary) interning.emplace(value_interning_, trace_capture_);
  ByteBuffer buffer = take_profiler_frame_buffer();
  std::optional<std::string_view> qualname;
  if (metadata.co_qualname) qualname = *metadata.co_qualname;
  encode::CachedCodeNames names{metadata.relative_path, qualname, nullptr, metadata.lines.get()};
  encode::FrameWrite write{
      frame,
      serializer_,
      frame_path_cache_.get(),
      call_site,
      encode::kArg,
      value,
      kind,
      metadata.co_name,
      &frame_id,
      lightweight_repr_,
      omit_return_locals_,
      &names,
      interning ? &*interning : nullptr,
      max_value_bytes_,
  };
  if (!encode::write_frame_with_serializer_inner(buffer, write)) {
    recycle_profiler_frame_buffer(std::move(buffer));
    return abandon_entry(state, kind, key, frame_id, PyError::fetch());
  }
  // The record is stored only after its thread's store is found, which may
  // wait: a save in between puts it into the next capture.
  store::TraceCapture* references = interning ? interning->referenced_capture() : nullptr;

  if (!batch.types.empty() || one_trace_per_test_) {
    batch.types.emplace_back("frame");
    batch.records.push_back(std::move(buffer));
    return keep_recorded_event(push_frames(kind, batch, std::move(thread_key), references), frame, kind, metadata);
  }
  PyError stored = push_frame_data(std::move(thread_key), buffer.view(), kind, references);
  recycle_profiler_frame_buffer(std::move(buffer));
  return keep_recorded_event(std::move(stored), frame, kind, metadata);
}

bool VeshProfiler::thread_id(ProfilerThreadState& state, std::string& out) {
  // The state is the running thread's own, fresh for each new thread, and a
  // thread keeps its thread object (and that object its ids, fixed before
  // its target runs) for its life: it is asked for once. The state outlives
  // the thread, so it holds the object only weakly.
  if (state.thread_cache) [[likely]] {
    out = state.thread_cache->thread_key;
    return true;
  }
  Ref thread = Ref::checked(PyObject_CallNoArgs(current_thread_.get()));
  if (!thread) return false;
  std::string key;
  if (!encode::get_thread_id(thread.get(), key)) return false;
  out = key;
  state.thread_cache =
      CachedProfilerThread{std::move(key), store::RecordedThread::of(thread.get()), CachedProfilerThread::kUnregistered};
  return true;
}

PyError VeshProfiler::abandon_entry(ProfilerThreadState& state, std::uint8_t kind, FrameKey key,
                                    const FrameId& frame_id, PyError error) {
  if (kind == kEventCall && reaches_program(error)) {
    state.frame_ids.abandon(key, false);
    state.call_frames.remove_newest(frame_id);
  }
  return error;
}

PyError VeshProfiler::keep_recorded_event(PyError result, PyObject* frame, std::uint8_t kind,
                                          const ProfilerCodeMetadata& metadata) {
  if (!result || !reaches_program(result)) return result;
  // The event is already encoded: an interrupt while storing it is raised
  // only where it cannot cut a generator's or coroutine's bookkeeping short.
  bool log_only = kind == kEventCall;
  if (!log_only) {
    Ref code = Ref::steal(PyObject_GetAttr(frame, VESH_INTERNED("f_code")));
    Ref flags = code ? Ref::steal(PyObject_GetAttr(code.get(), VESH_INTERNED("co_flags"))) : Ref();
    long value = flags && PyLong_Check(flags.get()) ? PyLong_AsLong(flags.get()) : 0;
    PyErr_Clear();
    log_only = (value & kGeneratorLikeFlags) != 0;
  }
  if (!log_only) return result;
  log_error(std::move(result), frame, kind, metadata.code.get());
  return {};
}

}  // namespace vesh::profile
