#include "monitor/monitoring.h"

#include "py/args.h"
#include "py/fault.h"
#include "py/heap_type.h"
#include "py/import.h"
#include "monitor/resume_prefix.h"
#include "store/runtime_metadata.h"
#include "store/trace_capture.h"
#include "store/subtree_flush.h"
#include "foundation/error_reporting.h"
#include "encode/msgpack_encoding.h"
#include "foundation/stack_guard.h"

#include <cstring>

namespace vesh::monitor {

using py::PyError;
using py::Ref;

namespace {

// getattr(obj, name) as a new reference; null with the error set.
Ref attr(PyObject* obj, const char* name) { return Ref::checked(PyObject_GetAttrString(obj, name)); }

// The "trace_points" setting: the names under "on_return", when it is a
// list inside a dict. Nothing here ever fails construction.
absl::flat_hash_set<std::string> read_trace_points(PyObject* config_dict) {
  absl::flat_hash_set<std::string> names;
  PyObject* points = PyDict_GetItemWithError(config_dict, VESH_INTERNED("trace_points"));
  if (points == nullptr || !PyDict_Check(points)) {
    PyErr_Clear();
    return names;
  }
  Ref held = Ref::borrow(points);
  PyObject* on_return = PyDict_GetItemWithError(points, VESH_INTERNED("on_return"));
  if (on_return == nullptr || !PyList_Check(on_return)) {
    PyErr_Clear();
    return names;
  }
  Ref list = Ref::borrow(on_return);
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); ++i) {
    Ref item = Ref::borrow(PyList_GET_ITEM(list.get(), i));
    std::string name;
    if (py::to_string(item.get(), name)) {
      names.insert(std::move(name));
    } else {
      PyErr_Clear();
    }
  }
  return names;
}

}  // namespace

std::shared_ptr<store::TraceCapture> VeshMonitor::new_capture(const std::string& trace_id, double timestamp) const {
  auto made = store::TraceCapture::for_trace(db_path_, trace_id, timestamp);
  // Our own ids never name anything outside the raw directory.
  if (!made.ok()) fault("a new trace id was refused: " + made.error().text());
  return std::move(made.value());
}

// ---------------------------------------------------------------------------
// Construction

bool VeshMonitor::init(std::string db_path, PyObject* config_dict, std::string source, bool one_trace_per_test,
                       std::optional<std::string> name) {
  // 1. The configuration map.
  config_ = Config::create(config_dict);
  if (!config_) return false;

  // 2. The modules the monitor calls into.
  Ref sys = py::import_module("sys");
  if (!sys) return false;
  Ref threading = py::import_module("threading");
  if (!threading) return false;
  Ref monitoring = attr(sys.get(), "monitoring");
  if (!monitoring) return false;
  Ref dis = py::import_module("dis");
  if (!dis) return false;

  // 3. The opcode numbers of the resume-prefix scan; a failure only leaves
  // them to be read later.
  if (!prefix_end_opcodes()) PyErr_Clear();

  // 3b. What every saved trace's metadata reads, read here at the maker's
  // stack: a flush may come near the recursion limit.
  if (store::PyResult<void> early = store::read_metadata_early(); !early) {
    std::move(early).error().restore();
    return false;
  }

  // 4. DISABLE and the constructing thread.
  disable_ = attr(monitoring.get(), "DISABLE");
  if (!disable_) return false;
  current_thread_ = attr(threading.get(), "current_thread");
  if (!current_thread_) return false;
  Ref creator_thread = Ref::checked(PyObject_CallNoArgs(current_thread_.get()));
  if (!creator_thread) return false;

  // 5. Settings, in order.
  if (!config_->get_or_bool("omit_return_locals", omit_return_locals_)) return false;
  if (!resolve_max_value_bytes(config_dict, max_value_bytes_)) return false;
  if (!config_->get_or_bool("line_events", line_events_)) return false;
  if (!config_->get_or_bool("lightweight_repr", lightweight_repr_)) return false;
  if (!config_->get_or_u64("sqlite_busy_timeout", sqlite_busy_timeout_)) return false;
  Ref filters = Ref::borrow(PyDict_GetItemWithError(config_dict, VESH_INTERNED("filters")));
  if (!filters && PyErr_Occurred()) {
    PyErr_Clear();
    fault("config.get(\"filters\") should not raise.");
  }
  {
    std::optional<plugins::PluginMap> plugins = plugins::load_plugins(config_dict);
    if (!plugins) return false;
    plugin_processors_ = std::move(*plugins);
  }
  trace_points_ = read_trace_points(config_dict);
  if (!load_filters(filters.get(), "include_frames", include_frames_)) return false;
  if (!load_filters(filters.get(), "ignore_frames", ignore_frames_)) return false;

  // 6. The idle filter shares the frame filters and plugin fragments.
  idle_filter_ =
      std::make_shared<IdleFilter>(include_frames_, ignore_frames_, plugin_processors_, disable_.clone());

  // 7. The subtree flush threshold.
  if (!resolve_flush_subtree_bytes(config_dict, flush_subtree_bytes_)) return false;
  subtrees_ = std::make_unique<store::SubtreeTracking>(flush_subtree_bytes_);

  // 8. The first trace id, timestamp and capture.
  db_path_ = std::move(db_path);
  source_ = std::move(source);
  const std::string first_trace_id = vesh::trace_id();
  const double first_timestamp = vesh::timestamp();
  *trace_capture_.lock() = new_capture(first_trace_id, first_timestamp);
  *trace_id_.lock() = first_trace_id;
  *root_trace_id_.lock() = first_trace_id;
  *timestamp_.lock() = first_timestamp;
  name_ = name;
  *trace_name_.lock() = std::move(name);

  // 9. The constructing thread's key names the saved traces.
  if (!encode::get_thread_id(creator_thread.get(), creator_thread_key_)) return false;

  // 10. The current frame is reached through the C API; sys._getframe is
  // still required, and kept for the paths that call it.
  getframe_ = attr(sys.get(), "_getframe");
  if (!getframe_) return false;

  // 11. The process-wide serializer.
  serializer_ = encode::Serializer::get();
  if (serializer_ == nullptr) return false;

  // 12. Frame paths are relative to the working directory of this moment.
  frame_path_cache_ = std::make_unique<FramePathCache>();

  // 13. dis.get_instructions, for assignment capture.
  get_instructions_ = attr(dis.get(), "get_instructions");
  if (!get_instructions_) return false;

  // 14-15. Plain fields.
  flush_check_bytes_ = vesh::flush_check_bytes(flush_subtree_bytes_);
  one_trace_per_test_ = one_trace_per_test;
  tool_id_ = kToolId;
  return true;
}

VeshMonitor::~VeshMonitor() = default;

// ---------------------------------------------------------------------------
// The callback road

PyObject* VeshMonitor::callback(std::uint8_t kind, PyObject* code, std::uint64_t offset, PyObject* value) {
  if (session_ended_.load(std::memory_order_relaxed)) [[unlikely]] {
    if (may_disable(kind)) return idle_filter_->idle_event(code).release();
    Py_RETURN_NONE;
  }
  // Hand-shake with end_session, which stores session_ended and then loads
  // callbacks_in_flight: here the count is stored and session_ended loaded
  // again. Both sides are sequentially consistent, so at least one of them
  // sees the other's store: this callback answers as ended, or end_session
  // finds it in flight and keeps the tool from going idle under it.
  InFlight in_flight(callbacks_in_flight_, may_disable(kind));
  if (in_flight.counted() && session_ended_.load(std::memory_order_seq_cst)) [[unlikely]]
    return idle_filter_->idle_event(code).release();
  const std::uint64_t epoch = active_epoch_.load(std::memory_order_relaxed);
  try {
    return road(kind, code, offset, value, epoch);
  }
  VESH_LET_THREAD_EXIT_PASS
  catch (...) {
    // Nothing of a fault reaches the program: report it once, stop tracing.
    PyErr_Clear();
    handle_fault();
    Py_RETURN_NONE;
  }
}

PyObject* VeshMonitor::road(std::uint8_t kind, PyObject* code, std::uint64_t offset, PyObject* value,
                            std::uint64_t epoch) {
  const std::uint8_t state = hooks::STATE;
  if (state & hooks::kSkipRecording) [[unlikely]]
    return answer_filter(hooks_off_result(kind, state, code), epoch);

  if (panicked_.load(std::memory_order_relaxed)) [[unlikely]] {
    if (!may_disable(kind)) Py_RETURN_NONE;
    note_disabled_recordable();
    return answer_filter(disable_.clone(), epoch);
  }

  std::uint8_t bits = 0;
  if (state & hooks::kWaiting) [[unlikely]] {
    bits = hooks::assignment_bits(assignment_owner_.id());
    if (bits == 0) hooks::drop_dead_assignments();
  }

  CodeVerdict verdict = local_code_metadata(code_address(code));
  if (bits == 0 && verdict.excluded) {
    if (!may_disable(kind)) Py_RETURN_NONE;
    return answer_filter(disable_.clone(), epoch);
  }

  // The guard's check holds the omitting-values flag until it is destroyed,
  // which is after the answer on every path.
  const StackKey key = code_address(code);
  StackCheck stack = kind == 2   ? check_stack_unwind(key, code, static_cast<int>(std::min<std::uint64_t>(offset, INT32_MAX)),
                                                      [](PyObject* c, int o) { return before_first_resume(c, o); })
                     : is_exit(kind) ? check_stack_exit(key)
                                     : check_stack_entry(key);
  if (stack.decision == StackDecision::Skip) Py_RETURN_NONE;

  EventResult begun = begin_callback(kind, bits);
  if (begun.ok() && begun.value()) return finish(stack, kind, code, std::move(begun.value()), epoch);
  if (!begun.ok() && (kind == 1 || kind == 4)) {
    begun.error().restore();
    return nullptr;
  }

  EventResult result = monitor(code, value == nullptr ? kNoValue : (kind == 2 || kind == 5 ? kException : kValue),
                               value, kind, std::move(verdict));
  Ref answer;
  if (result.ok()) {
    answer = std::move(result.value());
  } else if (reaches_program(result.error())) {
    result.error().restore();
    return nullptr;
  } else {
    answer = return_or_log(std::move(result));
  }
  if (!begun.ok()) {
    begun.error().restore();
    return nullptr;
  }
  return finish(stack, kind, code, std::move(answer), epoch);
}

PyObject* VeshMonitor::finish(const StackCheck& stack, std::uint8_t kind, PyObject* code, Ref answer,
                              std::uint64_t epoch) {
  // An exception that a call of the event left set behind an answer is the
  // recorder's failure: returned with the answer, it would reach the program
  // as a SystemError.
  if (PyErr_Occurred() != nullptr) [[unlikely]]
    report_stray_error();
  if (stack.event.kind == StackEventKind::Enter) {
    const bool disabling = answer.get() == disable_.get();
    if (disabling || (kind == 5 && local_code_metadata(code_address(code)).excluded)) forget_entry(stack.event.key);
  }
  return answer_filter(std::move(answer), epoch);
}

Ref VeshMonitor::return_or_log(EventResult result) {
  if (result.ok()) return result.value() ? std::move(result.value()) : py::none();
  log_event_error(std::move(result.error()));
  if (recording_stopped()) disable_events();
  return py::none();
}

void VeshMonitor::log_event_error(PyError error) {
  // A stopped writer was reported once already, with its cause.
  if (!recording_stop_.writer_stopped()) log_error(std::move(error));
}

PyObject* VeshMonitor::answer_filter(Ref answer, std::uint64_t epoch) const noexcept {
  if (answer.get() == disable_.get() &&
      (!active_.load(std::memory_order_relaxed) || active_epoch_.load(std::memory_order_relaxed) != epoch)) {
    Py_RETURN_NONE;
  }
  if (!answer) Py_RETURN_NONE;
  return answer.release();
}

void VeshMonitor::handle_fault() {
  if (panicked_.exchange(true)) return;
  // Keep the fault being handled: disable_events runs Python code.
  std::string message = py::current_fault_message();
  disable_events();
  report_panic(message);
}

CodeVerdict VeshMonitor::local_code_metadata(CodeAddress address) const {
  const ThreadState* ts = threads_state_.find();
  if (ts == nullptr) return CodeVerdict::absent();
  const LocalCodeMap* map = ts->local_code_metadata.try_peek();
  if (map == nullptr || map->empty()) return CodeVerdict::absent();
  auto it = map->find(address);
  if (it == map->end()) return CodeVerdict::absent();
  if (!it->second.metadata) return CodeVerdict::exclude();
  return CodeVerdict::full(it->second.metadata);
}

bool VeshMonitor::statically_excluded(PyObject* code) const {
  try {
    if (local_code_metadata(code_address(code)).excluded) return true;
    bool may_record = false;
    if (!idle_filter_->session_may_record(code, may_record)) {
      PyErr_Clear();
      return false;
    }
    return !may_record;
  }
  VESH_LET_THREAD_EXIT_PASS
  catch (...) {
    return false;
  }
}

Ref VeshMonitor::hooks_off_result(std::uint8_t kind, std::uint8_t state, PyObject* code) {
  if (statically_excluded(code)) return may_disable(kind) ? disable_.clone() : py::none();
  if (state & hooks::kWorker) return py::none();
  if (!may_disable(kind)) return py::none();
  note_disabled_recordable();
  return disable_.clone();
}

void VeshMonitor::disable_events() const {
  if (!active_.load(std::memory_order_acquire)) return;
  PyError pending = PyError::fetch();
  Ref sys = py::import_module("sys");
  Ref monitoring = sys ? attr(sys.get(), "monitoring") : Ref();
  Ref set_events = monitoring ? attr(monitoring.get(), "set_events") : Ref();
  if (set_events) {
    Ref result = Ref::steal(PyObject_CallFunction(set_events.get(), "ii", int(tool_id_), 0));
  }
  PyErr_Clear();
  if (pending) pending.restore();
}

void VeshMonitor::log_error(PyError error) {
  Ref text = Ref::steal(PyUnicode_FromString("Unexpected exception in Rust."));
  Ref args = text ? Ref::steal(PyTuple_Pack(1, text.get())) : Ref();
  if (!args) {
    PyErr_Clear();
    // Building a one-item tuple failing means the interpreter is out of memory.
    report_panic("Vesh could not build a log message");
    return;
  }
  log_warning(std::move(args), std::move(error));
}

// ---------------------------------------------------------------------------
// State

void VeshMonitor::set_active(bool value) noexcept {
  if (value) {
    session_ended_.store(false, std::memory_order_relaxed);
    assignment_owner_.set_alive(true);
  }
  active_epoch_.fetch_add(1, std::memory_order_relaxed);
  active_.store(value, std::memory_order_release);
}

std::string VeshMonitor::trace_id_copy() { return *trace_id_.lock_ignoring_poison(); }

// The text is only ever assigned whole: a fault while the lock was held
// cannot have left half of one behind.
std::string VeshMonitor::root_trace_id_copy() { return *root_trace_id_.lock_ignoring_poison(); }

std::size_t VeshMonitor::code_metadata_cache_size() { return code_metadata_cache_.lock()->size(); }

std::size_t VeshMonitor::full_code_metadata_cache_size() { return code_metadata_cache_.lock()->full_size(); }

std::vector<std::string> VeshMonitor::python_serializer_code_paths() {
  return code_metadata_cache_.lock()->fallback_file_names();
}

// ---------------------------------------------------------------------------
// Python surface

namespace {

VeshMonitor& self_of(PyObject* self) { return py::Box<VeshMonitor>::of(self); }

bool convert_code(PyObject* obj) {
  if (PyCode_Check(obj)) return true;
  PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'PyCode'", Py_TYPE(obj)->tp_name);
  return py::with_arg_name("code");
}

bool convert_offset(PyObject* obj, const char* name, std::uint64_t& out) {
  if (PyLong_CheckExact(obj)) {
    out = PyLong_AsUnsignedLongLong(obj);
    if (out != static_cast<unsigned long long>(-1) || !PyErr_Occurred()) return true;
    return false;
  }
  return py::convert_arg(name, py::to_u64, obj, out);
}

// A callback's arguments: the code object, the offset and the rest. The
// common call (all positional) binds without the general parser.
template <std::size_t Count, const char* const* Names, const char* Function>
bool bind_callback(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject* (&slots)[Count],
                   std::uint64_t& offset) {
  if (kwnames == nullptr && static_cast<std::size_t>(nargs) == Count) [[likely]] {
    for (std::size_t i = 0; i < Count; ++i) slots[i] = args[i];
  } else if (!py::parse({Function, Names, Count, Count}, args, nargs, kwnames, slots)) {
    return false;
  }
  return convert_code(slots[0]) && convert_offset(slots[1], Names[1], offset);
}

// One callback method of a PY_* event.
template <std::uint8_t Kind, std::size_t Count, const char* const* Names, const char* Function>
PyObject* callback_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* slots[Count];
  std::uint64_t offset = 0;
  if (!bind_callback<Count, Names, Function>(args, nargs, kwnames, slots, offset)) return nullptr;
  // sys.monitoring calls a callback through a borrowed reference: once the
  // Python side unregisters it (another thread ending the session while this
  // callback runs Python code) and drops the monitor, nothing else keeps the
  // monitor alive until the callback returns.
  Ref keep_alive = Ref::borrow(self);
  return self_of(self).callback(Kind, slots[0], offset, Count > 2 ? slots[2] : nullptr);
}

constexpr const char* kInstructionNames[] = {"code", "instruction_offset"};
constexpr char kInstruction[] = "monitor_instruction";

PyObject* instruction_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* slots[2];
  std::uint64_t offset = 0;
  if (!bind_callback<2, kInstructionNames, kInstruction>(args, nargs, kwnames, slots, offset)) return nullptr;
  Ref keep_alive = Ref::borrow(self);
  return self_of(self).instruction_callback(slots[0], offset);
}

constexpr const char* kStartNames[] = {"code", "_instruction_offset"};
constexpr const char* kReturnNames[] = {"code", "_instruction_offset", "retval"};
constexpr const char* kThrowNames[] = {"code", "_instruction_offset", "exception"};
constexpr const char* kUnwindNames[] = {"code", "instruction_offset", "exception"};
constexpr char kPyStart[] = "monitor_pystart";
constexpr char kPyResume[] = "monitor_pyresume";
constexpr char kPyThrow[] = "monitor_pythrow";
constexpr char kPyReturn[] = "monitor_pyreturn";
constexpr char kPyYield[] = "monitor_pyyield";
constexpr char kPyUnwind[] = "monitor_pyunwind";

constexpr const char* kValueNames[] = {"value"};

Ref set_active_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* slots[1];
  if (!py::parse({"set_active", kValueNames, 1, 1}, args, nargs, kwnames, slots)) return {};
  bool value = false;
  if (!py::convert_arg("value", py::to_bool, slots[0], value)) return {};
  self_of(self).set_active(value);
  return py::none();
}

Ref set_timestamp_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* slots[1];
  if (!py::parse({"set_timestamp", kValueNames, 1, 1}, args, nargs, kwnames, slots)) return {};
  double value = PyFloat_CheckExact(slots[0]) ? PyFloat_AS_DOUBLE(slots[0]) : PyFloat_AsDouble(slots[0]);
  if (PyErr_Occurred()) {
    py::with_arg_name("value");
    return {};
  }
  self_of(self).set_timestamp(value);
  return py::none();
}

Ref save_method(PyObject* self) {
  PyStatus saved = self_of(self).save();
  if (!saved.ok()) {
    saved.error().restore();
    return {};
  }
  if (PyErr_Occurred() != nullptr) [[unlikely]]
    report_stray_error();
  return py::none();
}

Ref build_trace_method(PyObject* self) {
  Ref trace = self_of(self).build_trace();
  if (trace && PyErr_Occurred() != nullptr) [[unlikely]]
    report_stray_error();
  return trace;
}

Ref get_active(PyObject* self) { return Ref::borrow(self_of(self).active() ? Py_True : Py_False); }
Ref get_panicked(PyObject* self) { return Ref::borrow(self_of(self).panicked() ? Py_True : Py_False); }
Ref get_line_events(PyObject* self) { return Ref::borrow(self_of(self).line_events() ? Py_True : Py_False); }
Ref get_has_trace_points(PyObject* self) {
  return Ref::borrow(self_of(self).has_trace_points() ? Py_True : Py_False);
}
Ref get_tool_id(PyObject* self) { return Ref::steal(PyLong_FromLong(self_of(self).tool_id())); }
Ref get_flush_subtree_bytes(PyObject* self) {
  const auto& bytes = self_of(self).flush_subtree_bytes();
  return bytes ? Ref::steal(PyLong_FromUnsignedLongLong(*bytes)) : py::none();
}
Ref get_trace_id(PyObject* self) { return py::str_of(self_of(self).trace_id_copy()); }
Ref get_root_trace_id(PyObject* self) { return py::str_of(self_of(self).root_trace_id_copy()); }
Ref get_writer_circuit_open(PyObject*) { return Ref::borrow(store::writer_circuit_open() ? Py_True : Py_False); }
Ref get_code_metadata_cache_size(PyObject* self) {
  return Ref::steal(PyLong_FromSize_t(self_of(self).code_metadata_cache_size()));
}
Ref get_full_code_metadata_cache_size(PyObject* self) {
  return Ref::steal(PyLong_FromSize_t(self_of(self).full_code_metadata_cache_size()));
}
Ref get_python_serializer_code_paths(PyObject* self) {
  const std::vector<std::string> paths = self_of(self).python_serializer_code_paths();
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(paths.size())));
  if (!list) return {};
  for (std::size_t i = 0; i < paths.size(); ++i) {
    Ref path = py::str_of(paths[i]);
    if (!path) return {};
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), path.release());
  }
  return list;
}

constexpr int kFastcall = METH_FASTCALL | METH_KEYWORDS;

template <std::uint8_t Kind, std::size_t Count, const char* const* Names, const char* Function>
PyMethodDef callback_def(const char* doc) {
  return {Function, reinterpret_cast<PyCFunction>(callback_method<Kind, Count, Names, Function>), kFastcall, doc};
}

PyMethodDef kMethods[] = {
    callback_def<0, 2, kStartNames, kPyStart>("monitor_pystart($self, code, _instruction_offset)\n--\n\n"),
    callback_def<3, 2, kStartNames, kPyResume>("monitor_pyresume($self, code, _instruction_offset)\n--\n\n"),
    callback_def<5, 3, kThrowNames, kPyThrow>(
        "monitor_pythrow($self, code, _instruction_offset, exception)\n--\n\n"),
    callback_def<1, 3, kReturnNames, kPyReturn>("monitor_pyreturn($self, code, _instruction_offset, retval)\n--\n\n"),
    callback_def<4, 3, kReturnNames, kPyYield>("monitor_pyyield($self, code, _instruction_offset, retval)\n--\n\n"),
    callback_def<2, 3, kUnwindNames, kPyUnwind>(
        "monitor_pyunwind($self, code, instruction_offset, exception)\n--\n\n"),
    {kInstruction, reinterpret_cast<PyCFunction>(instruction_method), kFastcall,
     "monitor_instruction($self, code, instruction_offset)\n--\n\n"},
    {"save", reinterpret_cast<PyCFunction>(py::noargs<save_method>), METH_NOARGS, "save($self)\n--\n\n"},
    {"build_trace", reinterpret_cast<PyCFunction>(py::noargs<build_trace_method>), METH_NOARGS,
     "build_trace($self)\n--\n\n"},
    {"set_active", reinterpret_cast<PyCFunction>(py::fastcall<set_active_method>), kFastcall,
     "set_active($self, value)\n--\n\n"},
    {"set_timestamp", reinterpret_cast<PyCFunction>(py::fastcall<set_timestamp_method>), kFastcall,
     "set_timestamp($self, value)\n--\n\n"},
    {"end_session", reinterpret_cast<PyCFunction>(py::fastcall<end_session_method>), kFastcall,
     "end_session($self, tool_id)\n--\n\n"},
    {"begin_session", reinterpret_cast<PyCFunction>(py::fastcall<begin_session_method>), kFastcall,
     "begin_session($self, tool_id)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetSet[] = {
    {"active", py::getter<get_active>, nullptr, nullptr, nullptr},
    {"panicked", py::getter<get_panicked>, nullptr, nullptr, nullptr},
    {"trace_id", py::getter<get_trace_id>, nullptr, nullptr, nullptr},
    {"root_trace_id", py::getter<get_root_trace_id>, nullptr, nullptr, nullptr},
    {"has_trace_points", py::getter<get_has_trace_points>, nullptr,
     "Whether at least one ``trace_points.on_return`` target is\n"
     "configured. Used by ``activate_monitoring`` to decide whether to\n"
     "spawn the daemon save worker \xe2\x80\x94 there's no point spinning the\n"
     "worker if no trace point can ever fire.",
     nullptr},
    {"flush_subtree_bytes", py::getter<get_flush_subtree_bytes>, nullptr,
     "Maximum buffered bytes before flushing a subtree. None means disabled.", nullptr},
    {"line_events", py::getter<get_line_events>, nullptr, nullptr, nullptr},
    {"tool_id", py::getter<get_tool_id>, nullptr, nullptr, nullptr},
    {"writer_circuit_open", py::getter<get_writer_circuit_open>, nullptr, nullptr, nullptr},
    {"code_metadata_cache_size", py::getter<get_code_metadata_cache_size>, nullptr,
     "Number of strongly-held code objects in the session metadata cache.\n"
     "Useful for validating that repeated events hit the same cache entry.",
     nullptr},
    {"full_code_metadata_cache_size", py::getter<get_full_code_metadata_cache_size>, nullptr,
     "Number of entries that need full frame metadata rather than only an\n"
     "excluded-code identity marker.",
     nullptr},
    {"_python_serializer_code_paths", py::getter<get_python_serializer_code_paths>, nullptr,
     "Paths for code objects whose values needed msgpack's default hook,\n"
     "which used to route their frames through the Python serializer. This\n"
     "scans cached metadata only when requested; the event path records it.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyTypeObject* vesh_monitor_type() {
  // Made once and kept for the process: monitors may outlive the module.
  static PyTypeObject* type = nullptr;
  if (type == nullptr) {
    py::TypeSpec spec = py::box_type_spec<VeshMonitor>("vesh._vesh.VeshMonitor", nullptr);
    spec.slots.push_back({Py_tp_methods, kMethods});
    spec.slots.push_back({Py_tp_getset, kGetSet});
    type = reinterpret_cast<PyTypeObject*>(py::make_heap_type(std::move(spec)).release());
  }
  return type;
}

namespace {
constexpr const char* kRegisterNames[] = {"db_path", "config", "source", "one_trace_per_test", "name"};
}  // namespace

Ref register_monitor(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* slots[5];
  if (!py::parse({"register_monitor", kRegisterNames, 5, 4}, args, nargs, kwnames, slots)) return {};
  std::string db_path;
  std::string source;
  bool one_trace_per_test = false;
  std::optional<std::string> name;
  if (!py::convert_arg("db_path", py::to_string, slots[0], db_path)) return {};
  if (!py::convert_arg("config", py::to_dict, slots[1])) return {};
  if (!py::convert_arg("source", py::to_string, slots[2], source)) return {};
  if (!py::convert_arg("one_trace_per_test", py::to_bool, slots[3], one_trace_per_test)) return {};
  if (!py::convert_arg("name", py::to_optional_string, slots[4], name)) return {};
  PyTypeObject* type = vesh_monitor_type();
  if (type == nullptr) return {};
  Ref object = py::Box<VeshMonitor>::create(type);
  if (!object) return {};
  Ref config = Ref::borrow(slots[1]);
  if (!self_of(object.get()).init(std::move(db_path), config.get(), std::move(source), one_trace_per_test,
                                  std::move(name))) {
    return {};
  }
  return object;
}

}  // namespace vesh::monitor
