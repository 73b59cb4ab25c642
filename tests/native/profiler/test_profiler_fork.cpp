// A process forked while a thread of the profile hook holds the profiler's
// frame-store registry (waiting for room in the writer budget) still saves.
#include "profiler/profiler.h"
#include "python_helpers.h"
#include "store/writer_runtime.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace {

using vesh::py::Ref;
namespace store = vesh::store;

std::optional<store::ResidentReservation> HELD_BUDGET;

// _fill_budget(): takes the whole writer budget, so that the next chunk
// committed waits for room. _free_budget(): gives it back.
PyObject* fill_budget(PyObject*, PyObject*) {
  auto reserved = store::writer_runtime()->reserve(store::kResidentBudget, store::GilState::Held);
  if (!reserved.ok()) {
    store::to_python(reserved.error()).restore();
    return nullptr;
  }
  HELD_BUDGET.emplace(std::move(reserved).value());
  Py_RETURN_NONE;
}

PyObject* free_budget(PyObject*, PyObject*) {
  HELD_BUDGET.reset();
  Py_RETURN_NONE;
}

PyObject* register_native(PyObject*, PyObject* profiler) {
  if (!vesh::profile::register_profiler(profiler)) return nullptr;
  Py_RETURN_NONE;
}

PyMethodDef kHelpers[] = {
    {"_fill_budget", fill_budget, METH_NOARGS, nullptr},
    {"_free_budget", free_budget, METH_NOARGS, nullptr},
    {"_register_profiler", register_native, METH_O, nullptr},
};

TEST(ProfilerFork, AChildForkedWhileAThreadHoldsTheStoreRegistrySaves) {
  PyObject* main = PyImport_AddModule("__main__");
  for (PyMethodDef& def : kHelpers) {
    Ref fn = Ref::steal(PyCFunction_New(&def, nullptr));
    PyObject_SetAttrString(main, def.ml_name, fn.get());
  }
  // Everything runs in a child of the test process: it fills the process's
  // writer budget and leaves a thread waiting on it.
  vesh::testing::run(R"PY(
import os, signal, sys, tempfile, threading, time, traceback, warnings
warnings.simplefilter("ignore", DeprecationWarning)  # forking with threads

# Code of "<string>" is never recorded: the worker lives in a file.
WORKER = """
calls = []

def record(value):
    calls.append(1)
    return len(value)

def worker():
    value = "x" * 200_000
    for _ in range(10):
        record(value)
"""

class Profiler:
    # What register_profiler reads of the Python-side profiler.
    def __init__(self, db_path, config):
        self.db_path, self.config = db_path, config
        self.trace_id = "trc_01HV0000000000000000000000"
        self.one_trace_per_test, self.trace_name, self.source = False, None, "test"

    def __call__(self, *args):
        return None

def in_child():
    directory = tempfile.mkdtemp()
    with open(os.path.join(directory, "fork_worker.py"), "w") as file:
        file.write(WORKER)
    sys.path.insert(0, directory)
    import fork_worker
    calls = fork_worker.calls
    profiler = Profiler(os.path.join(directory, "vesh.db"), {"threading": True})
    _register_profiler(profiler)
    _fill_budget()
    thread = threading.Thread(target=fork_worker.worker)
    thread.start()
    # The worker's first full chunk waits for budget room, with the
    # registry held; its records stop there.
    seen = -1
    while seen != len(calls):
        seen = len(calls)
        time.sleep(0.3)
    if not thread.is_alive() or seen >= 10:
        return 3
    pid = os.fork()
    if pid == 0:
        signal.alarm(10)  # a child that hangs on the registry is killed
        built = profiler.rust_profiler.build_trace()
        os._exit(0 if built.startswith(b"VESHTRC3") else 1)
    _, status = os.waitpid(pid, 0)
    _free_budget()
    thread.join()
    sys.setprofile(None)
    threading.setprofile(None)
    return 0 if status == 0 else 4

pid = os.fork()
if pid == 0:
    try:
        os._exit(in_child())
    except BaseException:
        traceback.print_exc()
        os._exit(2)
_, status = os.waitpid(pid, 0)
assert os.waitstatus_to_exitcode(status) == 0, os.waitstatus_to_exitcode(status)
)PY");
}

}  // namespace
