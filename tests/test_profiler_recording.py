"""The profile-hook tracer end to end: real programs recorded through
register_profiler, saved through the vesh.db stand-in and read back with the
test reader."""

import importlib.util
import logging
import os
import subprocess
import sys
import textwrap
import threading

import msgpack
import pytest

import vesh.db
import vesh.plugins
from stored_traces import stored_rows
from v3_reader import read_container
from vesh import _vesh
from vesh.profiler import Profiler

THIS_FILE = os.path.basename(__file__)


# --- helpers -------------------------------------------------------------------


@pytest.fixture
def recorder(tmp_path):
    """Makes profilers on a database in tmp_path; unhooks every thread after."""
    made = []

    def make(config=None, **kwargs):
        profiler = Profiler(tmp_path / "trace.db", config if config is not None else {}, **kwargs)
        made.append(profiler)
        return profiler

    yield make
    for profiler in made:
        profiler.stop()
    vesh.plugins.PLUGINS.clear()


def saved(db_path):
    """(trace id, origin, container) of every saved trace, oldest first."""
    if not os.path.exists(db_path):
        return []
    return [(trace_id, origin, read_container(blob)) for trace_id, origin, blob in stored_rows(db_path)]


def decode(frame):
    return msgpack.unpackb(frame, raw=False, strict_map_key=False)


def records_by_thread(container):
    """Thread key -> that thread's decoded records, in order."""
    keys = {token: decode(payload)["thread_id"] for token, payload in container.thread_records}
    return {keys[token]: [decode(container.resolve(f)) for f in frames] for token, frames in container.threads.items()}


def thread_key(thread=None):
    thread = thread or threading.current_thread()
    return f"native_{thread.native_id}"


def only(records, *names):
    """The frame records of the named functions, with every plugin record."""
    return [r for r in records if r["type"] != "frame" or r.get("co_name") in names]


def events(records):
    return [(r["type"], r.get("event"), r.get("co_name")) for r in records]


# --- workload --------------------------------------------------------------------


def add(a, b):
    total = a + b
    return total


def outer():
    return add(1, 2) * 2


def work(n):
    return n * 10


def target(x):
    return x + 1


def load_module(path, source, name):
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(textwrap.dedent(source))
    spec = importlib.util.spec_from_file_location(name, path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


# --- recording -------------------------------------------------------------------


def test_calls_and_returns_share_frame_ids_and_carry_values(recorder, tmp_path):
    profiler = recorder()
    with profiler:
        outer()
    profiler.save()
    [(trace_id, origin, container)] = saved(tmp_path / "trace.db")
    assert trace_id == profiler.trace_id == container.trace_id
    assert origin == "file"
    records = only(records_by_thread(container)[thread_key()], "outer", "add")
    assert events(records) == [
        ("frame", "call", "outer"),
        ("frame", "call", "add"),
        ("frame", "return", "add"),
        ("frame", "return", "outer"),
    ]
    call_outer, call_add, return_add, return_outer = records
    assert call_outer["frame_id"] == return_outer["frame_id"]
    assert call_add["frame_id"] == return_add["frame_id"] != call_outer["frame_id"]
    assert call_add["frame_id"].startswith("frm_") and len(call_add["frame_id"]) == 30
    assert call_add["arg"] is None and call_add["locals"] == {"a": 1, "b": 2}
    assert return_add["arg"] == 3 and return_add["locals"] == {"a": 1, "b": 2, "total": 3}
    assert return_outer["arg"] == 6
    assert call_add["user_code_call_site"]["call_frame_id"] == call_outer["frame_id"]
    assert call_add["qualname"].endswith(".add")
    assert call_add["path"].split(":")[0].endswith(THIS_FILE)


def test_two_threads_record_with_their_own_tokens_and_keys(recorder, tmp_path):
    profiler = recorder({"threading": True})
    results = {}
    with profiler:
        threads = [threading.Thread(target=lambda n=n: results.setdefault(n, work(n))) for n in (1, 2)]
        for thread in threads:
            thread.start()
            thread.join()
    profiler.save()
    [(_, _, container)] = saved(tmp_path / "trace.db")
    assert len(set(container.threads)) == len(container.threads)
    by_thread = records_by_thread(container)
    for n, thread in zip((1, 2), threads):
        records = only(by_thread[thread_key(thread)], "work")
        assert events(records) == [("frame", "call", "work"), ("frame", "return", "work")]
        assert records[0]["locals"] == {"n": n} and records[1]["arg"] == n * 10
        assert records[0]["frame_id"] == records[1]["frame_id"]


def test_worker_marked_thread_records_nothing(recorder, tmp_path):
    profiler = recorder({"threading": True})

    def marked():
        _vesh.set_current_thread_vesh_worker(True)
        work(5)

    with profiler:
        thread = threading.Thread(target=marked)
        thread.start()
        thread.join()
        work(6)
    profiler.save()
    [(_, _, container)] = saved(tmp_path / "trace.db")
    by_thread = records_by_thread(container)
    # Only the event before the mark was set.
    assert events(by_thread[thread_key(thread)]) == [("frame", "call", "marked")]
    assert [r["locals"] for r in only(by_thread[thread_key()], "work") if r["event"] == "call"] == [{"n": 6}]


def test_plugin_records_surround_the_frame_record(recorder, tmp_path):
    for name in ("first", "second"):
        vesh.plugins.PLUGINS.append({
            "co_names": ["target"],
            "path_fragment": THIS_FILE,
            "call_type": f"{name}_call",
            "return_type": f"{name}_return",
        })
    profiler = recorder()
    with profiler:
        target(1)
    profiler.save()
    [(_, _, container)] = saved(tmp_path / "trace.db")
    records = only(records_by_thread(container)[thread_key()], "target")
    assert [(r["type"], r.get("event")) for r in records] == [
        ("first_call", None),
        ("second_call", None),
        ("frame", "call"),
        ("frame", "return"),
        ("second_return", None),
        ("first_return", None),
    ]


FILTER_CASES = [
    ({}, {"lib_func": False, "app_func": True}),
    ({"include_frames": ["libmod"]}, {"lib_func": True, "app_func": True}),
    ({"ignore_frames": ["appmod"]}, {"lib_func": False, "app_func": False}),
    ({"include_frames": ["appmod"], "ignore_frames": ["appmod"]}, {"lib_func": False, "app_func": True}),
    ({"include_frames": ["site-packages/libmod"], "ignore_frames": ["libmod"]}, {"lib_func": True, "app_func": True}),
]


@pytest.mark.parametrize("filters,recorded", FILTER_CASES)
def test_exclusions_and_include_ignore_precedence(recorder, tmp_path, filters, recorded):
    lib = load_module(tmp_path / "site-packages" / "libmod.py", "def lib_func():\n    return 1\n", "libmod")
    app = load_module(tmp_path / "app" / "appmod.py", "def app_func():\n    return 2\n", "appmod")
    profiler = recorder({"filters": filters})
    with profiler:
        lib.lib_func()
        app.app_func()
    profiler.save()
    [(_, _, container)] = saved(tmp_path / "trace.db")
    names = {r.get("co_name") for r in records_by_thread(container).get(thread_key(), [])}
    assert {name: name in names for name in recorded} == recorded


def test_names_that_are_not_utf8_are_recorded(recorder, tmp_path):
    namespace = {}
    exec(compile("def weird(x):\n    return x\n", str(tmp_path / "caf\udcff.py"), "exec"), namespace)
    weird = namespace["weird"]
    weird.__code__ = weird.__code__.replace(co_name="w\udcffrd")
    profiler = recorder()
    with profiler:
        weird(7)
    profiler.save()
    assert profiler.rust_profiler.panicked is False
    [(_, _, container)] = saved(tmp_path / "trace.db")
    records = only(records_by_thread(container)[thread_key()], "w\ufffdrd")
    assert [r["event"] for r in records] == ["call", "return"]
    assert records[1]["arg"] == 7
    assert "caf\ufffd.py" in records[0]["path"]


# --- errors ------------------------------------------------------------------------


def raising_plugin(exception, on_event):
    raised = []

    def call(frame, event, arg, context):
        if event == on_event and not raised:
            raised.append(event)
            raise exception
        return True

    return {"co_names": ["target"], "path_fragment": THIS_FILE, "call_type": "p_call", "return_type": "p_return",
            "call": call}


def test_ordinary_exception_is_logged_once_and_tracing_goes_on(recorder, tmp_path, caplog):
    vesh.plugins.PLUGINS.append(raising_plugin(ValueError("bad plugin"), "call"))
    profiler = recorder()
    with caplog.at_level(logging.WARNING, logger="vesh"):
        with profiler:
            assert target(1) == 2
    warnings = [r for r in caplog.records if r.name == "vesh"]
    assert len(warnings) == 1
    message = warnings[0].getMessage()
    assert message.startswith("Unexpected exception in Rust.\n    co_filename: ")
    assert "\n    co_name: target\n    event: call\n    frame locals: {'x': 1}\n" in message
    assert isinstance(warnings[0].exc_info[1], ValueError)
    profiler.save()
    [(_, _, container)] = saved(tmp_path / "trace.db")
    records = only(records_by_thread(container)[thread_key()], "target")
    assert [(r["type"], r.get("event")) for r in records] == [("frame", "call"), ("frame", "return"),
                                                            ("p_return", None)]


def test_keyboard_interrupt_on_call_is_raised_and_nothing_is_stored(recorder, tmp_path):
    vesh.plugins.PLUGINS.append(raising_plugin(KeyboardInterrupt(), "call"))
    profiler = recorder()
    with profiler:
        with pytest.raises(KeyboardInterrupt):
            target(1)
    profiler.save()
    [(_, _, container)] = saved(tmp_path / "trace.db")
    records = only(records_by_thread(container).get(thread_key(), []), "target")
    # The interrupted call left nothing; its frame's unwinding is a return
    # event of its own, with a frame id that matches no call.
    assert ("frame", "call") not in [(r["type"], r.get("event")) for r in records]
    assert "p_call" not in [r["type"] for r in records]


def test_keyboard_interrupt_on_return_is_raised_after_recording(recorder, tmp_path):
    vesh.plugins.PLUGINS.append(raising_plugin(KeyboardInterrupt(), "return"))
    profiler = recorder()
    with profiler:
        with pytest.raises(KeyboardInterrupt):
            target(1)
    profiler.save()
    [(_, _, container)] = saved(tmp_path / "trace.db")
    records = only(records_by_thread(container)[thread_key()], "target")
    assert [(r["type"], r.get("event")) for r in records[:3]] == [("p_call", None), ("frame", "call"),
                                                                ("frame", "return")]
    # The interrupt then unwinds the frame: another return of the same frame.
    returns = [r for r in records if r.get("event") == "return"]
    assert {r["frame_id"] for r in returns} == {records[1]["frame_id"]}


FAULTY_MODULE = """
class Key:
    # Collides with "__builtins__" and cannot be compared: reading this
    # module's namespace breaks what the frame writer relies on.
    def __hash__(self):
        return hash("__builtins__")

    def __eq__(self, other):
        raise RuntimeError("no comparison")


del globals()["__builtins__"]
globals()[Key()] = 1
"""


def test_fault_is_reported_once_and_the_hook_leaves_every_thread(recorder, tmp_path, monkeypatch):
    reports = []
    monkeypatch.setattr(sys, "unraisablehook", reports.append)
    profiler = recorder({"threading": True})
    go, checked, done = threading.Event(), threading.Event(), threading.Event()
    seen = {}

    def other_thread():
        work(1)
        seen["before"] = sys.getprofile()
        go.wait()
        work(2)  # its next event finds the profiler panicked
        seen["after"] = sys.getprofile()
        checked.set()
        done.wait()

    with profiler:
        thread = threading.Thread(target=other_thread)
        thread.start()
        load_module(tmp_path / "app" / "faulty.py", FAULTY_MODULE, "faulty")
        main_after = sys.getprofile()
        go.set()
        checked.wait()
        done.set()
        thread.join()
    rust = profiler.rust_profiler
    assert rust.panicked is True
    assert main_after is None
    assert seen == {"before": rust, "after": None}
    # (Other reports come from warnings that could not be logged while the
    # broken module ran.)
    faults = [r for r in reports if r.object == "Vesh stopped tracing after an internal error"]
    assert len(faults) == 1
    assert type(faults[0].exc_value).__name__ == "PanicException"
    assert "locals.get" in str(faults[0].exc_value)
    assert profiler.save() is None
    assert saved(tmp_path / "trace.db") == []
    with pytest.raises(RuntimeError, match="no trace is available"):
        rust.build_trace()


# --- saving ------------------------------------------------------------------------


def test_forked_child_saves_in_memory_under_a_new_id(recorder, tmp_path):
    profiler = recorder()
    profiler.start()
    work(1)
    read, write = os.pipe()
    pid = os.fork()
    if pid == 0:  # child
        try:
            work(2)
            profiler.rust_profiler.save()
            os.write(write, profiler.rust_profiler.trace_id.encode())
            os._exit(0)
        except BaseException:
            os._exit(1)
    os.close(write)
    _, status = os.waitpid(pid, 0)
    child_id = os.read(read, 100).decode()
    os.close(read)
    work(3)
    profiler.stop()
    profiler.save()
    assert os.waitstatus_to_exitcode(status) == 0
    traces = saved(tmp_path / "trace.db")
    assert [(trace_id, origin) for trace_id, origin, _ in traces] == [(child_id, "bytes"), (profiler.trace_id, "file")]
    assert child_id != profiler.trace_id and child_id.startswith("trc_")
    child_calls = [r["locals"]["n"] for r in only(next(iter(records_by_thread(traces[0][2]).values())), "work")
                   if r["event"] == "call"]
    parent_calls = [r["locals"]["n"] for r in only(records_by_thread(traces[1][2])[thread_key()], "work")
                    if r["event"] == "call"]
    assert child_calls == [1, 2]
    assert parent_calls == [1, 3]


@pytest.mark.parametrize("exception,raised", [(PermissionError("nope"), False), (RuntimeError("db broken"), True)])
def test_save_logs_os_errors_and_raises_others(recorder, tmp_path, monkeypatch, caplog, exception, raised):
    def failing(*args, **kwargs):
        raise exception

    monkeypatch.setattr(vesh.db, "_save_trace_metadata", failing)
    profiler = recorder()
    with profiler:
        work(1)
    with caplog.at_level(logging.WARNING, logger="vesh"):
        if raised:
            with pytest.raises(RuntimeError, match="db broken"):
                profiler.save()
        else:
            assert profiler.save() is None
    warnings = [r.getMessage() for r in caplog.records if r.name == "vesh"]
    if raised:
        assert warnings == []
    else:
        assert warnings == [f"Failed to save trace {profiler.trace_id} to file: PermissionError: nope"]


def test_build_trace_takes_what_was_recorded_before_it(recorder, tmp_path):
    profiler = recorder()
    profiler.start()
    work(1)
    built = profiler.build_trace()
    work(2)
    profiler.stop()
    profiler.save()
    before = records_by_thread(read_container(built))[thread_key()]
    [(_, origin, after)] = saved(tmp_path / "trace.db")
    assert origin == "file"
    assert [r["locals"] for r in only(before, "work") if r["event"] == "call"] == [{"n": 1}]
    assert [r["locals"] for r in only(records_by_thread(after)[thread_key()], "work") if r["event"] == "call"] == [
        {"n": 2}]


def test_second_save_holds_only_later_frames_and_tokens_are_not_reused(recorder, tmp_path):
    profiler = recorder()
    profiler.start()
    work(1)
    profiler.save()
    work(2)
    profiler.stop()
    profiler.save()
    first, second = saved(tmp_path / "trace.db")
    assert first[0] == second[0] == profiler.trace_id
    assert set(first[2].threads).isdisjoint(second[2].threads)
    assert [r["locals"] for r in only(records_by_thread(second[2])[thread_key()], "work") if r["event"] == "call"] == [
        {"n": 2}]


# --- per-test traces -------------------------------------------------------------------


def run_test(name):
    return work(len(name))


def between():
    return 0


def test_per_test_mode_saves_one_trace_per_test(recorder, tmp_path):
    vesh.plugins.PLUGINS.append({
        "co_names": ["run_test"],
        "path_fragment": THIS_FILE,
        "call_type": "start_test",
        "return_type": "end_test",
        "process": lambda frame, event, arg, context: {"test_class": "Suite", "test_name": frame.f_locals["name"]},
    })
    profiler = recorder(one_trace_per_test=True)
    with profiler:
        between()
        run_test("a")
        between()
        run_test("bb")
    profiler.save()
    traces = saved(tmp_path / "trace.db")
    assert len(traces) == 3
    (id_a, _, trace_a), (id_b, _, trace_b), (id_rest, _, rest) = traces
    assert len({id_a, id_b, profiler.trace_id}) == 3
    assert profiler.rust_profiler.trace_id == profiler.rust_profiler.root_trace_id == id_b == id_rest
    for container, name in ((trace_a, "a"), (trace_b, "bb")):
        records = records_by_thread(container)[thread_key()]
        assert [(r["type"], r.get("event"), r.get("co_name")) for r in records] == [
            ("start_test", None, None),
            ("frame", "call", "run_test"),
            ("frame", "call", "work"),
            ("frame", "return", "work"),
            ("frame", "return", "run_test"),
            ("end_test", None, None),
        ]
        assert records[0]["test_name"] == name
        assert records[3]["arg"] == len(name) * 10
    assert only(records_by_thread(rest).get(thread_key(), []), "between", "run_test", "work") == []


REENTRANT_SAVE = """
import os, sys, threading
import vesh.plugins
from vesh.profiler import Profiler

# The save's own call into vesh.db is matched as the end of a test.
vesh.plugins.PLUGINS.append({{
    "co_names": ["_save_trace_metadata"],
    "path_fragment": "vesh/db.py",
    "call_type": "db_call",
    "return_type": "end_test",
}})

def work():
    return 1

profiler = Profiler(os.path.join({directory!r}, "trace.db"), {{}}, one_trace_per_test=True)
profiler.start()
work()
profiler.save()
profiler.stop()
print("saved")
"""


def test_a_save_reentered_on_its_own_thread_is_refused(tmp_path):
    script = REENTRANT_SAVE.format(directory=str(tmp_path))
    # The child imports the same vesh as this process.
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(p for p in sys.path if p)}
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120, env=env)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "saved"
    assert "RuntimeError: Vesh cannot save a trace while the same thread is already saving" in result.stderr
    assert len(saved(tmp_path / "trace.db")) == 1


# --- interpreter exit ------------------------------------------------------------------

DAEMON_AT_EXIT = """
import os, sys, threading, time
import vesh.plugins
from vesh.profiler import Profiler

inside = threading.Event()

def call(frame, event, arg, context):
    # The daemon thread never leaves its event: it pauses in it, taking the
    # interpreter lock back after each pause, until the finalizing
    # interpreter ends the thread there.
    if threading.current_thread().daemon:
        inside.set()
        while True:
            time.sleep(0.001)
    return True

vesh.plugins.PLUGINS.append({"co_names": ["step"], "path_fragment": os.path.basename(__file__),
                             "call_type": "step_call", "return_type": "step_return", "call": call})

def step():
    return 1

def loop():
    while True:
        step()

class SlowToGo:
    # Dropped while the interpreter finalizes; its pause hands the daemon
    # thread the interpreter lock then.
    def __del__(self):
        time.sleep(0.05)

profiler = Profiler(os.path.join(sys.argv[1], "trace.db"), {"threading": True})
profiler.start()
threading.Thread(target=loop, daemon=True).start()
inside.wait()
keep = SlowToGo()
print("exiting", flush=True)
"""


def test_a_daemon_thread_ended_inside_an_event_at_exit_does_not_abort_the_program(tmp_path):
    script = tmp_path / "daemon_at_exit.py"
    script.write_text(DAEMON_AT_EXIT)
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(p for p in sys.path if p)}
    result = subprocess.run([sys.executable, str(script), str(tmp_path)], capture_output=True, text=True,
                            timeout=120, env=env)
    assert (result.returncode, result.stdout.strip()) == (0, "exiting"), result.stderr
