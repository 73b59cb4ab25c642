#include "profiler/profiler.h"

#include "store/subtree_flush.h"

#include "py/args.h"
#include "py/error.h"
#include "py/fault.h"
#include "py/heap_type.h"
#include "py/import.h"
#include "store/io_error.h"
#include "store/runtime_metadata.h"
#include "foundation/thread_hooks.h"
#include "store/trace_container.h"
#include "foundation/error_reporting.h"
#include "encode/msgpack_encoding.h"
#include "foundation/stack_guard.h"

#include <cmath>
#include <memory>
#include <utility>

namespace vesh::profile {

using py::Ref;

struct ProfilerInit {
  Config config;
  std::string trace_id;
  Ref current_thread;
  std::optional<std::uint64_t> flush_subtree_bytes;
  std::string db_path;
  double start_timestamp = 0;
  std::shared_ptr<store::TraceCapture> capture;
  bool one_trace_per_test = false;
  std::optional<std::string> trace_name;
  std::optional<std::string> current_trace_name;
  std::string source;
  Finders include_frames;
  Finders ignore_frames;
  plugins::PluginMap plugins;
  std::string root_thread_key;
  std::uint64_t sqlite_busy_timeout = kDefaultSqliteBusyTimeout;
  bool lightweight_repr = false;
  std::unique_ptr<FramePathCache> frame_path_cache;
  const encode::SerializerState* serializer = nullptr;
  bool omit_return_locals = false;
  std::optional<std::uint64_t> max_value_bytes;
};

namespace {

// ---------------------------------------------------------------------------
// Attribute readers of the Python-side profiler object

Ref get_attr(PyObject* obj, const char* name) { return Ref::checked(PyObject_GetAttrString(obj, name)); }

bool attr_string(PyObject* profiler, const char* name, std::string& out) {
  Ref value = get_attr(profiler, name);
  return value && py::to_string(value.get(), out);
}

bool attr_optional_string(PyObject* profiler, const char* name, std::optional<std::string>& out) {
  Ref value = get_attr(profiler, name);
  return value && py::to_optional_string(value.get(), out);
}

}  // namespace

// ---------------------------------------------------------------------------
// Construction

std::optional<ProfilerInit> VeshProfiler::new_from_python(PyObject* profiler) {
  ProfilerInit init;

  Ref config = get_attr(profiler, "config");
  if (!config || !py::to_dict(config.get())) return std::nullopt;
  std::optional<Config> copied = Config::create(config.get());
  if (!copied) return std::nullopt;
  init.config = std::move(*copied);

  // A str key cannot make a dict lookup raise; if it does, the dict is broken.
  Ref filters = Ref::borrow(PyDict_GetItemWithError(config.get(), VESH_INTERNED("filters")));
  if (!filters && PyErr_Occurred()) {
    PyErr_Clear();
    fault("config.get(\"filters\") should not raise.");
  }

  if (!attr_string(profiler, "trace_id", init.trace_id)) return std::nullopt;

  Ref threading = py::import_module("threading");
  if (!threading) return std::nullopt;
  init.current_thread = get_attr(threading.get(), "current_thread");
  if (!init.current_thread) return std::nullopt;
  Ref constructing_thread = Ref::checked(PyObject_CallNoArgs(init.current_thread.get()));
  if (!constructing_thread) return std::nullopt;

  // What every saved trace's metadata reads, read here at the maker's stack:
  // a flush may come near the recursion limit.
  if (store::PyResult<void> early = store::read_metadata_early(); !early) {
    std::move(early).error().restore();
    return std::nullopt;
  }

  if (!resolve_flush_subtree_bytes(config.get(), init.flush_subtree_bytes)) return std::nullopt;

  Ref db_path = get_attr(profiler, "db_path");
  Ref db_text = db_path ? Ref::checked(PyObject_Str(db_path.get())) : Ref();
  if (!db_text || !py::to_string(db_text.get(), init.db_path)) return std::nullopt;

  init.start_timestamp = timestamp();

  // Streamed; its writer starts with the first chunk, so nothing is created yet.
  auto capture = store::TraceCapture::for_trace(init.db_path, init.trace_id, init.start_timestamp);
  if (!capture.ok()) {
    store::to_python(capture.error()).restore();
    return std::nullopt;
  }
  init.capture = std::move(capture).value();

  Ref per_test = get_attr(profiler, "one_trace_per_test");
  if (!per_test || !py::to_bool(per_test.get(), init.one_trace_per_test)) return std::nullopt;

  if (!attr_optional_string(profiler, "trace_name", init.trace_name)) return std::nullopt;
  if (!attr_optional_string(profiler, "trace_name", init.current_trace_name)) return std::nullopt;
  if (!attr_string(profiler, "source", init.source)) return std::nullopt;

  if (!load_filters(filters.get(), "include_frames", init.include_frames)) return std::nullopt;
  if (!load_filters(filters.get(), "ignore_frames", init.ignore_frames)) return std::nullopt;

  std::optional<plugins::PluginMap> plugins = plugins::load_plugins(config.get());
  if (!plugins) return std::nullopt;
  init.plugins = std::move(*plugins);

  if (!encode::get_thread_id(constructing_thread.get(), init.root_thread_key)) return std::nullopt;
  constructing_thread.reset();

  if (!init.config.get_or_u64("sqlite_busy_timeout", init.sqlite_busy_timeout)) return std::nullopt;
  if (!init.config.get_or_bool("lightweight_repr", init.lightweight_repr)) return std::nullopt;
  init.serializer = encode::Serializer::get();
  if (init.serializer == nullptr) return std::nullopt;
  init.frame_path_cache = std::make_unique<FramePathCache>();
  if (!init.config.get_or_bool("omit_return_locals", init.omit_return_locals)) return std::nullopt;
  if (!resolve_max_value_bytes(config.get(), init.max_value_bytes)) return std::nullopt;
  return init;
}

VeshProfiler::VeshProfiler(ProfilerInit&& init)
    : db_path_(std::move(init.db_path)),
      trace_id_(init.trace_id),
      trace_name_(std::move(init.trace_name)),
      current_trace_name_("current trace name", std::move(init.current_trace_name)),
      include_frames_(std::move(init.include_frames)),
      ignore_frames_(std::move(init.ignore_frames)),
      plugins_(std::move(init.plugins)),
      root_thread_key_(std::move(init.root_thread_key)),
      current_thread_(std::move(init.current_thread)),
      source_(std::move(init.source)),
      frame_path_cache_(std::move(init.frame_path_cache)),
      root_trace_id_(std::move(init.trace_id)),
      config_(std::move(init.config)),
      serializer_(init.serializer),
      trace_capture_("trace capture", std::move(init.capture)),
      subtrees_(init.flush_subtree_bytes),
      max_value_bytes_(init.max_value_bytes),
      flush_subtree_bytes_(init.flush_subtree_bytes),
      flush_estimate_bytes_(flush_check_bytes(init.flush_subtree_bytes)),
      start_timestamp_(init.start_timestamp),
      sqlite_busy_timeout_(init.sqlite_busy_timeout),
      one_trace_per_test_(init.one_trace_per_test),
      lightweight_repr_(init.lightweight_repr),
      omit_return_locals_(init.omit_return_locals) {}

VeshProfiler::~VeshProfiler() = default;

std::size_t VeshProfiler::code_cache_size() { return code_metadata_.lock()->size(); }

// ---------------------------------------------------------------------------
// Event path

CodeResolution VeshProfiler::resolve(ProfilerThreadState& state, PyObject* code) {
  const auto address = reinterpret_cast<std::uintptr_t>(code);
  if (auto hit = state.code_hits.find(address); hit != state.code_hits.end()) [[likely]]
    return CodeResolution{hit->second, nullptr, true};
  ClassificationContext context{include_frames_, ignore_frames_, plugins_, *frame_path_cache_, code_metadata_};
  CodeResolution resolution = resolve_code(context, code);
  if (resolution.cached) state.code_hits.emplace(address, resolution.metadata);
  return resolution;
}

// ---------------------------------------------------------------------------
// The profile function

namespace {

PyTypeObject* PROFILER_TYPE = nullptr;

void stop_profiling_current_thread(PyObject* profiler) noexcept {
  Ref keep = Ref::borrow(profiler);
  PyEval_SetProfile(nullptr, nullptr);
}

int fail_without_error() noexcept {
  if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
  return -1;
}

// Not noexcept: a thread ended by pthread_exit unwinds through it.
int event_body(PyObject* object, PyFrameObject* frame, std::uint8_t kind, PyObject* arg) {
  if (object == nullptr || frame == nullptr) return fail_without_error();
  if (PROFILER_TYPE == nullptr || !PyObject_TypeCheck(object, PROFILER_TYPE)) {
    PyErr_Format(PyExc_TypeError, "'%.200s' object cannot be converted to 'VeshProfiler'", Py_TYPE(object)->tp_name);
    return -1;
  }
  // The profile function's own reference may go while the event runs
  // (a plugin or a save can replace the thread's profile function).
  Ref keep = Ref::borrow(object);
  VeshProfiler& profiler = py::Box<VeshProfiler>::of(object);
  if (profiler.panicked()) [[unlikely]] {
    PyEval_SetProfile(nullptr, nullptr);
    return 0;
  }
  if (profiler.recording_stopped()) [[unlikely]]
    return 0;
  try {
    int result = profiler.on_event(frame, kind, arg != nullptr ? arg : Py_None);
    if (result == 0 && PyErr_Occurred() != nullptr) [[unlikely]]
      profiler.report_stray_error(frame, kind);
    return result;
  }
  VESH_LET_THREAD_EXIT_PASS
  catch (...) {
    std::string message = py::current_fault_message();
    PyErr_Clear();
    if (profiler.mark_panicked()) report_panic(message);
    stop_profiling_current_thread(object);
    return 0;
  }
}

}  // namespace

int profile_callback(PyObject* object, PyFrameObject* frame, int what, PyObject* arg) {
  if (what != PyTrace_CALL && what != PyTrace_RETURN) return 0;
  if (hooks::recording_blocked()) return 0;
  if (store::writer_circuit_open()) return 0;
  return event_body(object, frame, what == PyTrace_CALL ? kEventCall : kEventReturn, arg);
}

// ---------------------------------------------------------------------------
// The Python class

namespace {

VeshProfiler& self_of(PyObject* self) noexcept { return py::Box<VeshProfiler>::of(self); }

Ref text_object(const std::string& text) {
  return Ref::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogateescape"));
}

Ref get_trace_id(PyObject* self) { return text_object(self_of(self).trace_id()); }
Ref get_root_trace_id(PyObject* self) { return text_object(self_of(self).root_trace_id()); }
Ref get_panicked(PyObject* self) { return Ref::borrow(self_of(self).panicked() ? Py_True : Py_False); }
Ref get_flush_subtree_bytes(PyObject* self) {
  std::optional<std::uint64_t> bytes = self_of(self).flush_subtree_bytes();
  return bytes ? Ref::steal(PyLong_FromUnsignedLongLong(*bytes)) : py::none();
}

Ref release_repr_reuse(PyObject*) { return py::none(); }

Ref save(PyObject* self) {
  VeshProfiler& profiler = self_of(self);
  // After a fault nothing is trustworthy enough to save; the frames stay.
  if (profiler.panicked()) return py::none();
  if (py::PyError error = profiler.save_in_db()) {
    error.restore();
    return {};
  }
  if (PyErr_Occurred() != nullptr) [[unlikely]]
    report_stray_error();
  return py::none();
}

Ref build_trace(PyObject* self) {
  Ref trace = self_of(self).build_trace();
  if (trace && PyErr_Occurred() != nullptr) [[unlikely]]
    report_stray_error();
  return trace;
}

constexpr const char* kThreadingProfilerNames[] = {"_frame", "_event", "_arg"};
Ref register_threading_profiler(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* slots[3];
  if (!py::parse({"register_threading_profiler", kThreadingProfilerNames, 3, 3}, args, nargs, kwnames, slots)) {
    return {};
  }
  if (self_of(self).panicked()) {
    PyEval_SetProfile(nullptr, nullptr);
  } else {
    PyEval_SetProfile(profile_callback, self);
  }
  return py::none();
}

PyGetSetDef kGetSet[] = {
    {"trace_id", py::getter<get_trace_id>, nullptr, nullptr, nullptr},
    {"root_trace_id", py::getter<get_root_trace_id>, nullptr, nullptr, nullptr},
    {"panicked", py::getter<get_panicked>, nullptr,
     "Whether a callback panicked and tracing stopped without a trace.", nullptr},
    {"flush_subtree_bytes", py::getter<get_flush_subtree_bytes>, nullptr,
     "Maximum buffered bytes before flushing a subtree. None means disabled.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef kMethods[] = {
    {"release_repr_reuse", reinterpret_cast<PyCFunction>(py::noargs<release_repr_reuse>), METH_NOARGS,
     "release_repr_reuse($self)\n--\n\n"
     "Free cached reprs once profiling has stopped (they hold no program\n"
     "objects, only memory)."},
    {"register_threading_profiler", reinterpret_cast<PyCFunction>(py::fastcall<register_threading_profiler>),
     METH_FASTCALL | METH_KEYWORDS,
     "register_threading_profiler($self, _frame, _event, _arg)\n--\n\n"
     "Register the profiler on the current thread. Called by `threading.setprofile`. See\n"
     "`register_profiler` in `lib`."},
    {"save", reinterpret_cast<PyCFunction>(py::noargs<save>), METH_NOARGS,
     "save($self)\n--\n\n"
     "This is called from Python code to trigger saving the trace. Used by\n"
     "`VeshProfiler.save`."},
    {"build_trace", reinterpret_cast<PyCFunction>(py::noargs<build_trace>), METH_NOARGS,
     "build_trace($self)\n--\n\n"
     "This is called from Python code to build the trace. Used by\n"
     "`VeshProfiler.upload_trace_in_thread`."},
    {nullptr, nullptr, 0, nullptr},
};

constexpr const char* kClassDoc =
    "This struct holds data during profiling.\n\n"
    "Several attributes are protected by `GILProtected` or `ThreadLocal` to support multi-threading.\n"
    "Attributes guarded with `GILProtected` can only be mutated when we hold the GIL.\n"
    "Attributes guarded with `ThreadLocal` store data that is only relevant to the current thread.";

}  // namespace

PyTypeObject* profiler_type() {
  if (PROFILER_TYPE != nullptr) return PROFILER_TYPE;
  py::TypeSpec spec = py::box_type_spec<VeshProfiler>("vesh._vesh.VeshProfiler", kClassDoc);
  spec.slots.push_back({Py_tp_getset, kGetSet});
  spec.slots.push_back({Py_tp_methods, kMethods});
  Ref type = py::make_heap_type(std::move(spec));
  if (!type) return nullptr;
  // Kept for the life of the process: instances and the profile function
  // compare against it.
  PROFILER_TYPE = reinterpret_cast<PyTypeObject*>(type.release());
  return PROFILER_TYPE;
}

// ---------------------------------------------------------------------------
// register_profiler

namespace {

// config["threading"] is True; any failure or other value counts as false.
bool threading_requested(PyObject* config) {
  Ref value = Ref::checked(PyObject_GetItem(config, VESH_INTERNED("threading")));
  if (!value) {
    PyErr_Clear();
    return false;
  }
  return value.get() == Py_True;
}

}  // namespace

bool register_profiler(PyObject* profiler) {
  if (!PyCallable_Check(profiler)) {
    PyErr_SetString(PyExc_TypeError, "profiler object is not callable");
    return false;
  }
  std::optional<ProfilerInit> init = VeshProfiler::new_from_python(profiler);
  if (!init) return false;
  PyTypeObject* type = profiler_type();
  if (type == nullptr) return false;
  Ref object = py::Box<VeshProfiler>::create(type, std::move(*init));
  if (!object) return false;
  if (py::checked_status(PyObject_SetAttrString(profiler, "rust_profiler", object.get())) < 0) return false;
  PyEval_SetProfile(profile_callback, object.get());

  Ref config = get_attr(profiler, "config");
  if (!config) return false;
  if (!threading_requested(config.get())) return true;
  Ref threading = py::import_module("threading");
  if (!threading) return false;
  Ref method = get_attr(object.get(), "register_threading_profiler");
  if (!method) return false;
  Ref setprofile = get_attr(threading.get(), "setprofile");
  if (!setprofile) return false;
  return bool(Ref::checked(PyObject_CallOneArg(setprofile.get(), method.get())));
}

}  // namespace vesh::profile
