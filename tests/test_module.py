"""The module's surface: attribute order, signatures, argument conversions
and the hook-state functions."""

import inspect
import os
import sys
import threading
import time

import pytest

from vesh import _vesh

# Attributes in the order the module adds them; later entries are added by
# the recorders and encoder as they are built, at their fixed places.
EXPECTED_ORDER = [
    "vesh_tool_is_idle",
    "take_idle_monitor",
    "IdleMonitor",
    "VeshMonitor",
    "_count_plain_containers",
    "_current_thread_hook_state",
    "_native_dump_msgpack",
    "_native_encode_in_progress",
    "_repr_reuse_configure",
    "_repr_reuse_stats",
    "_reset_thread_hooks_after_fork",
    "register_monitor",
    "register_noop_profiler",
    "register_profiler",
    "set_current_thread_vesh_worker",
    "writer_circuit_open",
]

SIGNATURES = {
    "_count_plain_containers": "(value, limit)",
    "_current_thread_hook_state": "()",
    "_native_dump_msgpack": "(value, lightweight_repr=False)",
    "_native_encode_in_progress": "()",
    "_repr_reuse_configure": "(enabled=None, verify=None, stats=None)",
    "_repr_reuse_stats": "(reset=False)",
    "_reset_thread_hooks_after_fork": "()",
    "register_monitor": "(db_path, config, source, one_trace_per_test, name=None)",
    "register_noop_profiler": "()",
    "register_profiler": "(profiler)",
    "set_current_thread_vesh_worker": "(value)",
    "writer_circuit_open": "()",
    "vesh_tool_is_idle": "()",
    "take_idle_monitor": "()",
}


def public_attributes():
    return [name for name in vars(_vesh) if not name.startswith("__")]


def test_attributes_keep_their_order():
    present = public_attributes()
    assert present == [name for name in EXPECTED_ORDER if name in present]
    assert "VeshProfiler" not in present
    assert "PanicException" not in present


@pytest.mark.parametrize("name", [n for n in SIGNATURES if hasattr(_vesh, n)])
def test_functions_are_builtins_with_signatures(name):
    fn = getattr(_vesh, name)
    assert type(fn).__name__ == "builtin_function_or_method"
    assert fn.__module__ == "vesh._vesh"
    assert str(inspect.signature(fn)) == SIGNATURES[name]


def join_fully(thread):
    """Joins `thread` and waits for its OS thread to be gone: on 3.12 join()
    returns while the thread is still exiting, and a fork made then (as a
    later test makes) warns that the process is multi-threaded."""
    thread.join()
    task = f"/proc/self/task/{thread.native_id}"
    deadline = time.monotonic() + 10
    while os.path.exists(task) and time.monotonic() < deadline:
        time.sleep(0.001)


def in_thread(fn):
    box = {}

    def run():
        try:
            box["value"] = fn()
        except BaseException as exc:  # pragma: no cover - reported below
            box["error"] = exc

    t = threading.Thread(target=run)
    t.start()
    join_fully(t)
    if "error" in box:
        raise box["error"]
    return box["value"]


def test_worker_mark_round_trip_on_a_fresh_thread():
    def body():
        seen = [_vesh._current_thread_hook_state()]
        seen.append(_vesh.set_current_thread_vesh_worker(True))
        seen.append(_vesh.set_current_thread_vesh_worker(True))
        seen.append(_vesh._current_thread_hook_state())
        seen.append(_vesh._reset_thread_hooks_after_fork())
        seen.append(_vesh._current_thread_hook_state())
        seen.append(_vesh._reset_thread_hooks_after_fork())
        return seen

    assert in_thread(body) == [0, False, True, 1, True, 0, False]


def test_worker_mark_does_not_leak_to_other_threads():
    assert in_thread(lambda: _vesh.set_current_thread_vesh_worker(True)) is False
    assert in_thread(_vesh._current_thread_hook_state) == 0
    assert _vesh._current_thread_hook_state() == 0


def test_reset_after_fork_in_a_real_child():
    _vesh.set_current_thread_vesh_worker(True)
    try:
        read, write = os.pipe()
        pid = os.fork()
        if pid == 0:  # pragma: no cover - child
            try:
                before = _vesh._current_thread_hook_state()
                was = _vesh._reset_thread_hooks_after_fork()
                after = _vesh._current_thread_hook_state()
                os.write(write, f"{before} {was} {after}".encode())
            finally:
                os._exit(0)
        os.close(write)
        _, status = os.waitpid(pid, 0)
        assert os.waitstatus_to_exitcode(status) == 0
        assert os.read(read, 100).decode() == "1 True 0"
        os.close(read)
        # The parent keeps its own mark.
        assert _vesh._current_thread_hook_state() & 1
    finally:
        _vesh.set_current_thread_vesh_worker(False)


@pytest.mark.parametrize(
    "call, fragment",
    [
        (lambda: _vesh.set_current_thread_vesh_worker(1), "argument 'value'"),
        (lambda: _vesh.set_current_thread_vesh_worker(None), "argument 'value'"),
        (lambda: _vesh._repr_reuse_configure(enabled=1), "argument 'enabled'"),
        (lambda: _vesh._repr_reuse_configure(True, verify="x"), "argument 'verify'"),
        (lambda: _vesh._repr_reuse_configure(enabled=1, stats=2), "argument 'enabled'"),
        (lambda: _vesh._repr_reuse_stats(reset=None), "argument 'reset'"),
        (lambda: _vesh._count_plain_containers([], 1.5), "argument 'limit'"),
        (lambda: _vesh._count_plain_containers([]), "missing 1 required positional argument: 'limit'"),
        (lambda: _vesh._count_plain_containers([], 1, 2), "takes 2 positional arguments but 3 were given"),
        (lambda: _vesh._repr_reuse_stats(sure=True), "unexpected keyword argument 'sure'"),
        (lambda: _vesh.writer_circuit_open(1), "takes no arguments"),
    ],
)
def test_bad_arguments_name_the_argument(call, fragment):
    with pytest.raises(TypeError, match=fragment):
        call()


def test_negative_limit_overflows():
    with pytest.raises(OverflowError):
        _vesh._count_plain_containers([], -1)


def test_repr_reuse_functions_change_nothing():
    assert _vesh._repr_reuse_configure(enabled=True, verify=False, stats=None) is None
    first = _vesh._repr_reuse_stats()
    assert first == {"enabled": False}
    assert _vesh._repr_reuse_stats(reset=True) == {"enabled": False}
    assert _vesh._repr_reuse_stats() is not first


class ListSubclass(list):
    pass


@pytest.mark.parametrize(
    "make, limit, expected",
    [
        (lambda: 5, 10, 0),
        (lambda: ListSubclass([[]]), 10, 0),
        (lambda: (([],),), 10, 0),
        (lambda: [], 0, 1),
        (lambda: [], 10, 1),
        (lambda: [[], {}], 10, 3),
        (lambda: [[], {}], 2, 2),
        (lambda: {"k": [], "j": {"x": []}}, 10, 4),
        (lambda: {(): 1, "v": ([],)}, 10, 1),  # keys and tuples are not walked
        (lambda: [ListSubclass(), {}], 10, 2),
    ],
)
def test_count_plain_containers(make, limit, expected):
    assert _vesh._count_plain_containers(make(), limit) == expected


def test_count_plain_containers_shared_and_cyclic():
    shared = []
    assert _vesh._count_plain_containers([shared, shared, {"a": shared}], 100) == 5
    cyclic = []
    cyclic.append(cyclic)
    assert _vesh._count_plain_containers(cyclic, 7) == 7
    assert _vesh._count_plain_containers(cyclic, 0) == 1


def test_count_plain_containers_runs_no_python_code():
    class Loud(dict):
        def values(self):  # pragma: no cover - must not run
            raise AssertionError("walked through Python")

    big = [{"x": [1, 2]} for _ in range(1000)]
    assert _vesh._count_plain_containers(big, 10**9) == 2001
    assert _vesh._count_plain_containers([Loud(a=[])], 10) == 1


def test_register_noop_profiler_replaces_the_thread_profile_function():
    def body():
        sys.setprofile(lambda *a: None)
        assert sys.getprofile() is not None
        assert _vesh.register_noop_profiler() is None
        result = sys.getprofile()
        sum(range(10))
        sys.setprofile(None)
        return result

    # A C profile function without an argument object shows as None.
    assert in_thread(body) is None
    assert sys.getprofile() is None


def test_writer_circuit_is_closed_and_no_encode_runs():
    assert _vesh.writer_circuit_open() is False
    assert _vesh._native_encode_in_progress() is False


def test_types_cannot_be_subclassed_or_instantiated():
    for name in ("IdleMonitor", "VeshMonitor"):
        cls = getattr(_vesh, name, None)
        if cls is None:
            continue
        assert cls.__module__ == "vesh._vesh"
        with pytest.raises(TypeError):
            type("Sub", (cls,), {})
        with pytest.raises(TypeError):
            cls()
