"""Real programs whose threads keep recording while a session ends, the
monitor is dropped, a save runs or the process forks. Each runs in a
subprocess of its own: sys.monitoring's tool and the idle callbacks are
process-wide."""

from __future__ import annotations

import json
import os
import subprocess
import sys
import textwrap

import pytest


def run_program(tmp_path, source: str, *args: str, timeout: float = 120) -> dict:
    """Runs `source` as a file of its own (code of "<string>" is never
    recorded) and returns the JSON object its last output line holds."""
    script = tmp_path / "program.py"
    script.write_text(textwrap.dedent(source))
    tests = os.path.dirname(os.path.abspath(__file__))
    env = {**os.environ, "PYTHONPATH": os.pathsep.join([tests, *(p for p in sys.path if p)])}
    proc = subprocess.run(
        [sys.executable, str(script), str(tmp_path / "vesh.db"), *args],
        capture_output=True, text=True, timeout=timeout, env=env,
    )
    assert proc.returncode == 0, proc.stdout + proc.stderr
    return json.loads(proc.stdout.splitlines()[-1])


DROPPED_WHILE_CALLBACK_RUNS = """
    import json, sys, threading
    from vesh import _vesh, monitoring

    db = sys.argv[1]
    started = threading.Event()
    release = threading.Event()

    class Slow:
        def __repr__(self):
            started.set()
            release.wait()  # the worker's PY_RETURN callback waits in here
            return "slow"

    def worker():
        value = Slow()
        return value

    monitor = monitoring.start(db, {})
    thread = threading.Thread(target=worker)
    thread.start()
    started.wait()
    # The session ends and the monitor is dropped while its callback runs on
    # the worker thread.
    monitoring.stop(monitor, save=False)
    del monitor
    # A second monitor of the same size takes the memory the first one freed.
    second = monitoring.start(db, {})
    release.set()
    thread.join()
    monitoring.stop(second, save=False)
    print(json.dumps({"idle": _vesh.vesh_tool_is_idle()}))
"""


def test_a_monitor_dropped_while_its_callback_runs_stays_alive_until_it_returns(tmp_path):
    # Had the first monitor been freed under its running callback, that
    # callback's bookkeeping would land in the second monitor (its count of
    # callbacks in flight), which then could not hand the tool to idle
    # callbacks.
    assert run_program(tmp_path, DROPPED_WHILE_CALLBACK_RUNS) == {"idle": True}


FORK_WHILE_A_THREAD_ENCODES = """
    import json, os, signal, sys, threading, warnings
    from monitor_helpers import decode, events, thread_key
    from vesh import monitoring

    warnings.simplefilter("ignore", DeprecationWarning)  # fork of a threaded process
    db = sys.argv[1]
    started = threading.Event()
    release = threading.Event()

    class Slow:
        def __repr__(self):
            started.set()
            release.wait()  # the worker holds its frame store while encoding
            return "slow"

    def worker():
        value = Slow()
        return value

    def in_child(n):
        return n + 1

    monitor = monitoring.start(db, {})
    thread = threading.Thread(target=worker)
    thread.start()
    started.wait()
    parent_trace = monitor.trace_id
    read, write = os.pipe()
    pid = os.fork()
    if pid == 0:
        signal.alarm(50)  # a child that hangs must not outlive the test
        os.close(read)
        in_child(1)
        rec = decode(monitor.build_trace())
        out = {
            "child": events(rec.records()),
            "worker_recorded": any(k != thread_key() for k in rec.threads),
            "new_trace": monitor.trace_id != parent_trace,
        }
        os.write(write, json.dumps(out).encode())
        os._exit(0)
    os.close(write)
    release.set()
    thread.join()
    with os.fdopen(read) as pipe:
        child = pipe.read()
    os.waitpid(pid, 0)
    monitoring.stop(monitor, save=False)
    print(child or "{}")
"""


def test_a_forked_child_saves_while_a_parent_thread_was_encoding_at_the_fork(tmp_path):
    # The worker thread held its frame store when the process forked; in the
    # child that thread is gone and the store's lock stays held for ever.
    out = run_program(tmp_path, FORK_WHILE_A_THREAD_ENCODES, timeout=60)
    assert ["call", "in_child"] in out["child"] and ["return", "in_child"] in out["child"]
    assert out["new_trace"] and not out["worker_recorded"]


FORK_WHILE_A_FOREIGN_THREAD_RUNS = """
    import _thread, json, os, signal, sys, threading, warnings
    import msgpack
    from monitor_helpers import decode
    from vesh import monitoring

    warnings.simplefilter("ignore", DeprecationWarning)  # fork of a threaded process
    db = sys.argv[1]
    ready, release = _thread.allocate_lock(), _thread.allocate_lock()
    ready.acquire()
    release.acquire()

    held = []

    def foreign():
        # threading did not start this thread: it makes a dummy Thread for it
        held.append(threading.current_thread())
        held[0].name = "foreign"
        ready.release()
        release.acquire()

    monitor = monitoring.start(db, {})
    _thread.start_new_thread(foreign, ())
    ready.acquire()
    read, write = os.pipe()
    pid = os.fork()
    if pid == 0:
        signal.alarm(50)
        os.close(read)
        try:
            container = decode(monitor.build_trace()).container
            out = {msgpack.unpackb(p)["name"]: msgpack.unpackb(p)["is_alive"] for _, p in container.thread_records}
        except Exception as error:
            out = {"error": repr(error)}
        os.write(write, json.dumps(out).encode())
        os._exit(0)
    os.close(write)
    with os.fdopen(read) as pipe:
        child = pipe.read()
    os.waitpid(pid, 0)
    release.release()
    monitoring.stop(monitor, save=False)
    print(child or "{}")
"""


def test_a_forked_child_saves_a_thread_that_threading_did_not_start(tmp_path):
    # In the child that thread is gone, and its dummy Thread's is_alive()
    # raises instead of answering.
    assert run_program(tmp_path, FORK_WHILE_A_FOREIGN_THREAD_RUNS, timeout=60).get("foreign") is False


PLUGIN_WAITS_ON_ANOTHER_THREAD = """
    import json, sys, threading
    import vesh.plugins
    from vesh import monitoring

    db = sys.argv[1]
    outcome = {}

    def fresh_work():
        # Code the monitor has not met yet: its first event looks it up.
        return 1

    def worker(done):
        fresh_work()
        done.set()

    def process(frame, event, arg, context):
        done = threading.Event()
        thread = threading.Thread(target=worker, args=(done,))
        thread.start()
        outcome["worker finished"] = done.wait(timeout=10)
        thread.join(10)
        return {}

    vesh.plugins.PLUGINS.append({
        "co_names": ["traced"],
        "path_fragment": "program.py",
        "call_type": "traced_call",
        "return_type": "traced_return",
        "events": ["call"],
        "process": process,
    })

    def traced():
        return 2

    monitor = monitoring.start(db, {})
    traced()
    monitoring.stop(monitor, save=False)
    print(json.dumps(outcome))
"""


def test_a_plugin_that_waits_on_another_thread_does_not_block_it(tmp_path):
    assert run_program(tmp_path, PLUGIN_WAITS_ON_ANOTHER_THREAD, timeout=60) == {"worker finished": True}


DAEMON_RECORDING_AT_EXIT = """
    import sys, threading, time
    from vesh import monitoring

    class Slow:
        def __repr__(self):
            time.sleep(0.001)  # lets the interpreter lock go inside the callback
            return "slow"

    def work(value):
        return value

    def loop():
        while True:
            work(Slow())

    monitor = monitoring.start(sys.argv[1], {})
    threading.Thread(target=loop, daemon=True).start()
    time.sleep(0.2)
    print("{}")
    # The interpreter finalizes while the daemon thread is inside a callback.
"""


def test_a_daemon_thread_recording_while_the_interpreter_exits_does_not_crash_it(tmp_path):
    for _ in range(5):
        assert run_program(tmp_path, DAEMON_RECORDING_AT_EXIT, timeout=60) == {}
