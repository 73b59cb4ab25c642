#include "module/lib.h"

#include "monitor/idle_monitor.h"
#include "monitor/monitoring.h"
#include "profiler/profiler.h"
#include "py/args.h"
#include "py/error.h"
#include "py/fault.h"
#include "py/ref.h"
#include "support/byte_buffer.h"
#include "foundation/thread_hooks.h"
#include "store/fork_gate.h"
#include "store/runtime_metadata.h"
#include "store/trace_container.h"
#include "encode/value_serializer.h"

#include <absl/container/inlined_vector.h>

#include <algorithm>
#include <cstdint>

namespace vesh::module {

namespace {

using py::Ref;

constexpr int kFastcall = METH_FASTCALL | METH_KEYWORDS;

// ---------------------------------------------------------------------------
// Hook state

Ref current_thread_hook_state(PyObject*) { return Ref::steal(PyLong_FromLong(hooks::STATE)); }

constexpr const char* kWorkerNames[] = {"value"};
Ref set_current_thread_vesh_worker(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* slots[1];
  if (!py::parse({"set_current_thread_vesh_worker", kWorkerNames, 1, 1}, args, nargs, kwnames, slots)) return {};
  bool value = false;
  if (!py::convert_arg("value", py::to_bool, slots[0], value)) return {};
  return Ref::borrow(hooks::set_worker(value) ? Py_True : Py_False);
}

Ref reset_thread_hooks_after_fork(PyObject*) {
  return Ref::borrow(hooks::reset_after_fork() ? Py_True : Py_False);
}

// Each thread keeps the buffer of its last dump, so that dumping large
// values does not grow a new one from nothing every time. A dump made while
// another runs on the thread (a repr calling it) takes a fresh one.
thread_local ByteBuffer DUMP_SCRATCH __attribute__((tls_model("initial-exec")));
constexpr std::size_t kDumpKeepCapacity = 1 << 20;

constexpr const char* kDumpNames[] = {"value", "lightweight_repr"};
Ref native_dump_msgpack(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* slots[2];
  if (!py::parse({"_native_dump_msgpack", kDumpNames, 2, 1}, args, nargs, kwnames, slots)) return {};
  bool lightweight_repr = false;
  if (slots[1] != nullptr && !py::convert_arg("lightweight_repr", py::to_bool, slots[1], lightweight_repr)) return {};
  const encode::SerializerState* state = encode::Serializer::get();
  if (state == nullptr) return {};
  ByteBuffer buffer = std::move(DUMP_SCRATCH);
  buffer.clear();
  struct GiveBack {
    ByteBuffer& buffer;
    ~GiveBack() {
      if (buffer.capacity() <= kDumpKeepCapacity && DUMP_SCRATCH.capacity() == 0) DUMP_SCRATCH = std::move(buffer);
    }
  } give_back{buffer};
  py::PyError error;
  {
    // The encoder is released before the error is raised: releasing may run
    // finalizers.
    encode::NativeMsgpackEncoder encoder(*state, {.byte_budget = std::nullopt, .lightweight_repr = lightweight_repr});
    auto result = encoder.encode_value(slots[0], buffer);
    if (!result) error = std::move(result.error()).into_pyerr();
  }
  if (error) {
    error.restore();
    return {};
  }
  return py::bytes_of(buffer.view());
}

Ref native_encode_in_progress(PyObject*) {
  return Ref::borrow(encode::NATIVE_ENCODES != 0 ? Py_True : Py_False);
}

Ref writer_circuit_open(PyObject*) {
  return Ref::borrow(store::writer_circuit_open() ? Py_True : Py_False);
}

// ---------------------------------------------------------------------------
// The armed tool's idle callbacks

Ref vesh_tool_is_idle(PyObject*) { return Ref::borrow(monitor::tool_is_idle() ? Py_True : Py_False); }

Ref take_idle_monitor(PyObject*) {
  Ref monitor = monitor::take_idle_monitor();
  return monitor ? std::move(monitor) : py::none();
}

// ---------------------------------------------------------------------------
// Repr reuse: accepted for compatibility with the Python side, never enabled.

constexpr const char* kReprConfigureNames[] = {"enabled", "verify", "stats"};
Ref repr_reuse_configure(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* slots[3];
  if (!py::parse({"_repr_reuse_configure", kReprConfigureNames, 3, 0}, args, nargs, kwnames, slots)) return {};
  for (int i = 0; i < 3; ++i) {
    std::optional<bool> value;
    if (!py::convert_arg(kReprConfigureNames[i], py::to_optional_bool, slots[i], value)) return {};
  }
  return py::none();
}

constexpr const char* kReprStatsNames[] = {"reset"};
Ref repr_reuse_stats(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* slots[1];
  if (!py::parse({"_repr_reuse_stats", kReprStatsNames, 1, 0}, args, nargs, kwnames, slots)) return {};
  bool reset = false;
  if (slots[0] != nullptr && !py::convert_arg("reset", py::to_bool, slots[0], reset)) return {};
  Ref out = Ref::steal(PyDict_New());
  if (!out || PyDict_SetItemString(out.get(), "enabled", Py_False) < 0) return {};
  return out;
}

// ---------------------------------------------------------------------------
// _count_plain_containers: walks borrowed pointers only; runs no Python code.

bool is_plain_container(PyObject* obj) noexcept { return PyList_CheckExact(obj) || PyDict_CheckExact(obj); }

std::uint64_t count_plain_containers(PyObject* value, std::uint64_t limit) noexcept {
  if (!is_plain_container(value)) return 0;
  const std::uint64_t cap = std::max<std::uint64_t>(limit, 1);
  absl::InlinedVector<PyObject*, 32> stack;
  stack.push_back(value);
  std::uint64_t count = 0;
  // Returns true when pushing `child` would reach the limit.
  auto push = [&](PyObject* child) {
    if (!is_plain_container(child)) return false;
    if (count + 1 + stack.size() >= limit) return true;
    stack.push_back(child);
    return false;
  };
  while (!stack.empty()) {
    PyObject* current = stack.back();
    stack.pop_back();
    if (count + 1 == cap) return cap;
    ++count;
    if (PyList_CheckExact(current)) {
      for (Py_ssize_t i = 0; i < PyList_GET_SIZE(current); ++i) {
        if (push(PyList_GET_ITEM(current, i))) return limit;
      }
    } else {
      Py_ssize_t pos = 0;
      PyObject* key = nullptr;
      PyObject* item = nullptr;
      while (PyDict_Next(current, &pos, &key, &item)) {
        if (push(item)) return limit;
      }
    }
  }
  return count;
}

constexpr const char* kCountNames[] = {"value", "limit"};
Ref count_plain_containers_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* slots[2];
  if (!py::parse({"_count_plain_containers", kCountNames, 2, 2}, args, nargs, kwnames, slots)) return {};
  std::uint64_t limit = 0;
  if (!py::convert_arg("limit", py::to_u64, slots[1], limit)) return {};
  return Ref::steal(PyLong_FromUnsignedLongLong(count_plain_containers(slots[0], limit)));
}

// ---------------------------------------------------------------------------
// Profile hooks

int noop_profile(PyObject*, PyFrameObject*, int, PyObject*) noexcept { return 0; }

Ref register_noop_profiler(PyObject*) {
  PyGILState_STATE gil = PyGILState_Ensure();
  PyEval_SetProfile(noop_profile, nullptr);
  PyGILState_Release(gil);
  return py::none();
}

constexpr const char* kRegisterProfilerNames[] = {"profiler"};
Ref register_profiler(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* slots[1];
  if (!py::parse({"register_profiler", kRegisterProfilerNames, 1, 1}, args, nargs, kwnames, slots)) return {};
  // Held for the whole registration, also when it is reached from a thread
  // state the interpreter does not consider current.
  struct GilHeld {
    PyGILState_STATE state = PyGILState_Ensure();
    ~GilHeld() { PyGILState_Release(state); }
  } gil;
  return profile::register_profiler(slots[0]) ? py::none() : Ref();
}

// ---------------------------------------------------------------------------
// Module table. The exec step adds these in this order.

#define VESH_FASTCALL(name, fn, doc) \
  PyMethodDef { name, reinterpret_cast<PyCFunction>(py::fastcall<fn>), kFastcall, doc }
#define VESH_NOARGS(name, fn, doc) \
  PyMethodDef { name, reinterpret_cast<PyCFunction>(py::noargs<fn>), METH_NOARGS, doc }

PyMethodDef kVeshToolIsIdle = VESH_NOARGS(
    "vesh_tool_is_idle", vesh_tool_is_idle,
    "vesh_tool_is_idle()\n--\n\n"
    "Whether Vesh holds its tool ID only to stay armed between sessions.");

PyMethodDef kTakeIdleMonitor = VESH_NOARGS(
    "take_idle_monitor", take_idle_monitor,
    "take_idle_monitor()\n--\n\n"
    "Take over the armed tool's idle callbacks, if Vesh kept it armed.");

PyMethodDef kCountPlainContainers = VESH_FASTCALL(
    "_count_plain_containers", count_plain_containers_fn,
    "_count_plain_containers(value, limit)\n--\n\n"
    "Exact lists and dicts reachable from `value` through exact lists and\n"
    "dict values, counting repeats, stopping at `limit`. Runs no Python\n"
    "code. `vesh.serialize` uses it to skip replaying the shared-reference\n"
    "rule for values too small to start tracking, once per Python-backend\n"
    "frame, so it walks borrowed pointers without touching refcounts.");

PyMethodDef kCurrentThreadHookState = VESH_NOARGS(
    "_current_thread_hook_state", current_thread_hook_state,
    "_current_thread_hook_state()\n--\n\n"
    "The calling thread's hook state byte (see `thread_hooks`), so tests\n"
    "can check that no mark or suspension leaks onto a thread.");

PyMethodDef kNativeDumpMsgpack = VESH_FASTCALL(
    "_native_dump_msgpack", native_dump_msgpack,
    "_native_dump_msgpack(value, lightweight_repr=False)\n--\n\n"
    "Encode `value` with the native serializer used for traced frames.\n"
    "Exposed so tests can compare it with `vesh.serialize.dump_msgpack`.");

PyMethodDef kNativeEncodeInProgress = VESH_NOARGS(
    "_native_encode_in_progress", native_encode_in_progress,
    "_native_encode_in_progress()\n--\n\n"
    "Whether this thread is inside a native encode (see the Django query\n"
    "guard in `vesh.serialize`).");

PyMethodDef kReprReuseConfigure = VESH_FASTCALL(
    "_repr_reuse_configure", repr_reuse_configure,
    "_repr_reuse_configure(enabled=None, verify=None, stats=None)\n--\n\n"
    "Override `VESH_REPR_REUSE`, `VESH_REPR_REUSE_VERIFY` and\n"
    "`VESH_REPR_REUSE_STATS` for cross-event repr reuse. Reuse disabled by\n"
    "`VESH_REPR_REUSE=0` when `vesh._vesh` was imported cannot be enabled\n"
    "here (its startup checks only run during that import).");

PyMethodDef kReprReuseStats = VESH_FASTCALL(
    "_repr_reuse_stats", repr_reuse_stats,
    "_repr_reuse_stats(reset=False)\n--\n\n"
    "Counters of cross-event repr reuse (timings need `stats=True`).");

PyMethodDef kResetThreadHooksAfterFork = VESH_NOARGS(
    "_reset_thread_hooks_after_fork", reset_thread_hooks_after_fork,
    "_reset_thread_hooks_after_fork()\n--\n\n"
    "Forget the calling thread's worker mark and suspension. Only for the\n"
    "one thread of a forked child: whatever it was in the parent, it is now\n"
    "the child's main thread, which Vesh must be able to trace.\n"
    "Returns whether the thread was marked as a worker.");

PyMethodDef kRegisterMonitor = VESH_FASTCALL("register_monitor", monitor::register_monitor,
                                             "register_monitor(db_path, config, source, one_trace_per_test, "
                                             "name=None)\n--\n\n");

PyMethodDef kRegisterNoopProfiler = VESH_NOARGS(
    "register_noop_profiler", register_noop_profiler,
    "register_noop_profiler()\n--\n\n"
    "Register a minimal profiler for comparison purposes in benchmarking");

PyMethodDef kRegisterProfiler = VESH_FASTCALL(
    "register_profiler", register_profiler,
    "register_profiler(profiler)\n--\n\n"
    "Start the profile-hook tracer. `profiler` is the Python-side profiler\n"
    "object; the native profiler is made from it (`VeshProfiler::new_from_python`),\n"
    "stored on it as `rust_profiler` and registered on the calling thread with\n"
    "`PyEval_SetProfile`. When the profiler's config has \"threading\" set, it is\n"
    "also spread to every thread started later through `threading.setprofile`\n"
    "with `VeshProfiler::register_threading_profiler`.");

PyMethodDef kSetCurrentThreadVeshWorker = VESH_FASTCALL(
    "set_current_thread_vesh_worker", set_current_thread_vesh_worker,
    "set_current_thread_vesh_worker(value)\n--\n\n"
    "Mark (or unmark) the calling thread as one of Vesh's own background\n"
    "workers, returning the previous value. The mark is per OS thread and\n"
    "dies with it.\n"
    "\n"
    "`sys.monitoring` is interpreter-global, so a save/emit/upload worker\n"
    "left over from one trace keeps running while the next trace records.\n"
    "Marked threads are never recorded by any Vesh monitor or profiler: the\n"
    "mark lives in the per-thread hook state every callback already reads\n"
    "first, so excluding workers costs nothing extra.");

PyMethodDef kWriterCircuitOpen = VESH_NOARGS("writer_circuit_open", writer_circuit_open,
                                             "writer_circuit_open()\n--\n\n");

bool add_function(PyObject* module, PyMethodDef* def) {
  PyObject* name = PyModule_GetNameObject(module);
  if (name == nullptr) return false;
  Ref fn = Ref::steal(PyCFunction_NewEx(def, module, name));
  Py_DECREF(name);
  return fn && PyModule_AddObjectRef(module, def->ml_name, fn.get()) == 0;
}

bool add_type(PyObject* module, PyTypeObject* type, const char* name) {
  return type != nullptr && PyModule_AddObjectRef(module, name, reinterpret_cast<PyObject*>(type)) == 0;
}

int exec_module(PyObject* module) noexcept {
  try {
    if (!store::register_fork_gate()) return -1;
    if (!add_function(module, &kVeshToolIsIdle) || !add_function(module, &kTakeIdleMonitor)) return -1;
    if (!add_type(module, monitor::idle_monitor_type(), "IdleMonitor")) return -1;
    if (!add_type(module, monitor::vesh_monitor_type(), "VeshMonitor")) return -1;
    for (PyMethodDef* def : {&kCountPlainContainers, &kCurrentThreadHookState, &kNativeDumpMsgpack,
                             &kNativeEncodeInProgress,
                             &kReprReuseConfigure, &kReprReuseStats, &kResetThreadHooksAfterFork,
                             &kRegisterMonitor, &kRegisterNoopProfiler, &kRegisterProfiler,
                             &kSetCurrentThreadVeshWorker, &kWriterCircuitOpen}) {
      if (!add_function(module, def)) return -1;
    }
    // The interpreter and platform facts every trace records, read while the
    // importer's stack is shallow: a recorder may be made, and subtrees
    // flushed, near the recursion limit, where the platform module's imports
    // and calls cannot run.
    if (store::PyResult<void> read = store::read_environment_at_import(); !read) {
      std::move(read).error().restore();
      return -1;
    }
    return 0;
  } catch (...) {
    py::set_panic_from_current();
    return -1;
  }
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT, "_vesh", "", 0, nullptr, kSlots, nullptr, nullptr, nullptr,
};

}  // namespace

PyObject* module_definition() noexcept { return PyModuleDef_Init(&kModule); }

}  // namespace vesh::module
