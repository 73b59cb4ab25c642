"""Recording that cannot go on as usual. A value that cannot be encoded
is recorded as its repr, or without values when its repr could cost more
than its encoding did, and its frame keeps its records. When the trace
file cannot be written, or writing more would fill the user's disk, both
recorders stop recording with one warning that says why, the program keeps
running with its own results, and a save reports the cause; trace points
stop at the same reserve, on their own. Those runs are programs of their own
in a subprocess (a file-size limit, a filesystem of its own)."""

from __future__ import annotations

import json
import logging
import os
import re
import shutil
import subprocess
import sys
import textwrap
import weakref

import pytest

from monitor_helpers import decode, under_monitor, under_profile_hook

TRACERS = ["monitor", "profile"]

# The recorder under test, by name: `recorded()` runs work() recorded and
# answers its result with the recorder's save and build_trace.
PRELUDE = """
    import json, logging, os, sys
    from vesh import monitoring
    from vesh.profiler import Profiler

    logging.basicConfig(stream=sys.stderr, format="%(levelname)s:%(name)s:%(message)s")
    tracer, db = sys.argv[1], sys.argv[2]

    def square(n):
        padding = "x" * 4000
        return n * n

    def work():
        return sum(square(n) for n in range(20000))

    def recorded(config={}):
        if tracer == "monitor":
            monitor = monitoring.start(db, config)
            try:
                result = work()
            finally:
                monitoring.stop(monitor, save=False)
            return result, monitor.save, monitor.build_trace
        profiler = Profiler(db, config)
        with profiler:
            result = work()
        return result, profiler.save, profiler.build_trace
"""
RESULT = sum(n * n for n in range(20000))


def run_program(tmp_path, source: str, *args: str, prefix: tuple[str, ...] = (), timeout: float = 300):
    """Runs `source` (after the prelude) as a file of its own and returns
    (the JSON object of its last output line, its standard error)."""
    script = tmp_path / "program.py"
    script.write_text(textwrap.dedent(PRELUDE) + textwrap.dedent(source))
    tests = os.path.dirname(os.path.abspath(__file__))
    env = {**os.environ, "PYTHONPATH": os.pathsep.join([tests, *(p for p in sys.path if p)])}
    proc = subprocess.run(
        [*prefix, sys.executable, str(script), *args],
        capture_output=True, text=True, timeout=timeout, env=env,
    )
    assert proc.returncode == 0, proc.stdout + proc.stderr
    return json.loads(proc.stdout.splitlines()[-1]), proc.stderr


FILE_SIZE_LIMIT = """
    import resource

    # The interpreter ignores SIGXFSZ: a write past the limit fails with EFBIG.
    resource.setrlimit(resource.RLIMIT_FSIZE, (64 * 1024, resource.RLIM_INFINITY))
    result, save, build_trace = recorded()
    out = {"result": result}
    if sys.argv[3] == "save":
        save()
    else:
        try:
            build_trace()
        except OSError as error:
            out["errno"] = error.errno
            out["strerror"] = error.strerror
    print(json.dumps(out))
"""


@pytest.mark.parametrize("tracer", TRACERS)
@pytest.mark.parametrize("then", ["save", "build_trace"])
def test_a_file_size_limit_stops_recording_once_with_its_cause(tmp_path, tracer, then):
    out, stderr = run_program(tmp_path, FILE_SIZE_LIMIT, tracer, str(tmp_path / "vesh.db"), then)
    assert out["result"] == RESULT
    lines = stderr.splitlines()
    stopped = [line for line in lines if "Vesh stopped recording trace trc_" in line]
    assert len(stopped) == 1, stderr
    assert "File too large" in stopped[0] and "raw" in stopped[0]
    if then == "save":
        # The save says why it could not store the trace, and nothing more.
        assert len(lines) == 2, stderr
        assert "Failed to save trace trc_" in lines[1] and "[Errno 27] File too large" in lines[1]
    else:
        assert len(lines) == 1, stderr
        assert out["errno"] == 27 and out["strerror"] == "File too large"


def on_a_filesystem_of_its_own(tmp_path, size: str) -> tuple[tuple[str, ...], str]:
    """A command prefix that runs a program with a fresh tmpfs of `size`
    mounted on a directory of tmp_path (in a mount namespace of its own), and
    that directory; skips where such namespaces are not allowed."""
    unshare = shutil.which("unshare")
    if unshare is None:
        pytest.skip("unshare is not available")
    mount_point = tmp_path / "fs"
    mount_point.mkdir()
    prefix = (unshare, "--user", "--map-root-user", "--mount", "sh", "-c",
              f'mount -t tmpfs -o size={size} tmpfs "$0" && exec "$@"', str(mount_point))
    probe = subprocess.run([*prefix, "true"], capture_output=True, text=True)
    if probe.returncode != 0:
        pytest.skip(f"cannot mount a filesystem of the test's own: {probe.stderr.strip()}")
    return prefix, str(mount_point)


RESERVE = """
    from monitor_helpers import decode
    from stored_traces import stored_rows

    result, save, _ = recorded()
    save()
    fs = os.statvfs(os.path.dirname(db))
    [(_, _, data)] = stored_rows(db)
    squares = [(r["event"], r["locals"]["n"]) for records in decode(data).threads.values()
               for r in records if r.get("co_name") == "square"]
    print(json.dumps({"result": result, "size": fs.f_blocks * fs.f_frsize, "free": fs.f_bavail * fs.f_frsize,
                      "squares": squares}))
"""


# A forked child keeps its trace in memory: only the subtrees it flushes are
# written, so a flush is what meets the reserve.
FLUSHING_CHILD_RESERVE = """
    def work_in_child(work=work):
        pid = os.fork()
        if pid == 0:
            work()
            os._exit(0)
        os.waitpid(pid, 0)
        return RESULT

    RESULT = sum(n * n for n in range(20000))
    work = work_in_child
    result, _, _ = recorded({"flush_subtree_mb": 1})
    fs = os.statvfs(os.path.dirname(db))
    print(json.dumps({"result": result, "size": fs.f_blocks * fs.f_frsize, "free": fs.f_bavail * fs.f_frsize}))
"""


@pytest.mark.parametrize("tracer", TRACERS)
@pytest.mark.parametrize("program", [RESERVE, FLUSHING_CHILD_RESERVE], ids=["streamed", "flushing_child"])
def test_recording_stops_before_the_filesystem_fills(tmp_path, tracer, program):
    prefix, mount_point = on_a_filesystem_of_its_own(tmp_path, "32m")
    out, stderr = run_program(tmp_path, program, tracer, os.path.join(mount_point, "vesh.db"), prefix=prefix)
    assert out["result"] == RESULT
    # A filesystem of 32 MiB keeps 5% of it free.
    reserve = out["size"] // 20
    assert out["free"] >= reserve
    [warning] = stderr.splitlines()
    assert "Vesh stopped recording trace trc_" in warning and f"the reserve of {reserve} bytes" in warning
    if program is FLUSHING_CHILD_RESERVE:
        return
    # The saved trace holds every call and return up to the stop, in order.
    squares = out["squares"]
    calls = [n for event, n in squares if event == "call"]
    assert len(calls) > 1000
    assert squares == [[event, n] for n in range(len(calls)) for event in ("call", "return")][:len(squares)]


TRACE_POINTS_RESERVE = """
    from stored_traces import stored_rows

    TEXTS = [chr(0x41 + i) * (192 * 1024) for i in range(8)]

    def tp_show(text):
        return len(text)

    # Each trace point holds a 192 KiB value: 400 of them, twice the filesystem.
    monitor = monitoring.start(db, {"trace_points": {"on_return": ["tp_show"]}})
    result = sum(tp_show(TEXTS[i % 8]) for i in range(400))
    monitoring.stop(monitor)
    fs = os.statvfs(os.path.dirname(db))
    ids = [trace_id for trace_id, _, _ in stored_rows(db)]
    print(json.dumps({"result": result, "size": fs.f_blocks * fs.f_frsize, "free": fs.f_bavail * fs.f_frsize,
                      "trace_points": len(ids) - 1, "main_stored": monitor.trace_id in ids}))
"""


def test_trace_points_stop_once_at_the_reserve_and_the_main_trace_is_stored(tmp_path):
    prefix, mount_point = on_a_filesystem_of_its_own(tmp_path, "32m")
    out, stderr = run_program(tmp_path, TRACE_POINTS_RESERVE, "monitor", os.path.join(mount_point, "vesh.db"),
                              prefix=prefix)
    reserve = out["size"] // 20
    assert out["result"] == 400 * 192 * 1024 and out["free"] >= reserve
    assert 0 < out["trace_points"] < 400 and out["main_stored"]
    # Said once; the main trace's writer may meet the reserve too, and says so itself.
    [stopped] = [line for line in stderr.splitlines() if "Vesh stopped recording trace trc_" not in line]
    assert re.fullmatch(rf"WARNING:vesh:Vesh could not save the trace point of tp_show: storing its \d+ bytes in "
                        rf".* would leave less than the reserve of {reserve} bytes free on its filesystem; "
                        r"no more trace points are saved", stopped), stopped


# Another process watches the free space, so that it samples while the
# program's threads hold the interpreter lock; it answers a line once it has
# sampled, and its lowest sample when its input ends.
WATCH_FREE_SPACE = """
import os, select, sys
lowest = None
while True:
    fs = os.statvfs(sys.argv[1])
    free = fs.f_bavail * fs.f_frsize
    lowest = free if lowest is None else min(lowest, free)
    if select.select([sys.stdin], [], [], 0)[0]:
        if not sys.stdin.readline():
            break
        print("watching", flush=True)
print(lowest)
"""

TRACE_POINTS_FROM_THREADS = """
    import subprocess, threading
    from stored_traces import stored_rows

    root = os.path.dirname(db)
    fs = os.statvfs(root)
    with open(os.path.join(root, "filler"), "wb") as filler:
        filler.write(bytes(fs.f_bavail * fs.f_frsize - 12_000_000))
    watcher = subprocess.Popen([sys.executable, "-c", sys.argv[3], root], stdin=subprocess.PIPE,
                               stdout=subprocess.PIPE, text=True)
    watcher.stdin.write("ready?\\n")
    watcher.stdin.flush()
    assert watcher.stdout.readline() == "watching\\n"

    def tp_hold(held):
        return len(held)

    def calls(t):
        for i in range(3):
            tp_hold(bytes([t, i]) * (1 << 20))

    monitor = monitoring.start(db, {"trace_points": {"on_return": ["tp_hold"]}})
    threads = [threading.Thread(target=calls, args=(t,)) for t in range(16)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    monitoring.stop(monitor)
    lowest = int(watcher.communicate("")[0])
    fs = os.statvfs(root)
    ids = [trace_id for trace_id, _, _ in stored_rows(db)]
    print(json.dumps({"size": fs.f_blocks * fs.f_frsize, "lowest": lowest, "main_stored": monitor.trace_id in ids}))
"""


def test_trace_points_of_many_threads_and_the_writer_keep_the_reserve_together(tmp_path):
    prefix, mount_point = on_a_filesystem_of_its_own(tmp_path, "64m")
    out, stderr = run_program(tmp_path, TRACE_POINTS_FROM_THREADS, "monitor", os.path.join(mount_point, "vesh.db"),
                              WATCH_FREE_SPACE, prefix=prefix)
    reserve = out["size"] // 20
    # The main trace's row is stored in pages no one claims.
    assert out["lowest"] >= reserve - 64 * 1024, out
    assert out["main_stored"]
    # The writer cannot keep every call, and says so once; the trace points
    # say once that they stopped at the reserve, unless the recording
    # stopped them first.
    lines = stderr.splitlines()
    [_] = [line for line in lines if "Vesh stopped recording trace trc_" in line]
    trace_points = [line for line in lines if "Vesh stopped recording trace trc_" not in line]
    assert len(trace_points) <= 1, stderr
    for stopped in trace_points:
        assert re.fullmatch(r"WARNING:vesh:Vesh could not save the trace point of tp_hold: storing its \d+ bytes in "
                            rf".* would leave less than the reserve of {reserve} bytes free on its filesystem; "
                            r"no more trace points are saved", stopped), stopped


class Target:
    pass


def holds_a_dead_proxy():
    target = Target()
    proxy = weakref.proxy(target)
    del target
    return 1


# A value nested past the MessagePack limit takes the values-omitted form
# instead; the frame writer's own tests cover that road.
@pytest.mark.parametrize("recorder", [under_monitor, under_profile_hook], ids=TRACERS)
def test_a_value_that_cannot_be_encoded_is_recorded_as_its_repr(tmp_path, caplog, recorder):
    with caplog.at_level(logging.WARNING, logger="vesh"):
        result, trace = recorder(tmp_path / "vesh.db", holds_a_dead_proxy)
    assert result == 1
    frames = decode(trace).frames_of("holds_a_dead_proxy")
    assert [r["event"] for r in frames] == ["call", "return"]
    assert frames[0]["frame_id"] == frames[1]["frame_id"]
    assert frames[1]["arg"] == 1
    assert frames[1]["locals"]["proxy"].data.startswith(b"<weakproxy")
    assert [m for m in caplog.messages if "Unexpected exception" in m] == []


# Both encode in linear time, shared parts once; their repr walks every path
# (2**40 of them for `wide`), which would never return.
SHAPES_WITHOUT_A_CHEAP_REPR = """
    import weakref
    from monitor_helpers import decode, under_monitor, under_profile_hook

    def deep(n):
        v = []
        for _ in range(n):
            v = [v, (v,)]
        return v

    class Gone:
        pass

    def wide(n):
        gone = Gone()
        v = [weakref.proxy(gone)]
        del gone
        for _ in range(n):
            v = [v, v]
        return v

    record = under_monitor if tracer == "monitor" else under_profile_hook
    out = {}
    for shape, n in ((deep, 1500), (wide, 40)):
        _, trace = record(db, lambda: shape(n))
        out[shape.__name__] = [[r["event"], r.get("values_omitted")] for r in decode(trace).frames_of(shape.__name__)]
    print(json.dumps(out))
"""


@pytest.mark.parametrize("tracer", TRACERS)
def test_a_value_too_nested_or_shared_to_repr_keeps_its_records_without_values(tmp_path, tracer):
    out, _ = run_program(tmp_path, SHAPES_WITHOUT_A_CHEAP_REPR, tracer, str(tmp_path / "vesh.db"), timeout=60)
    expected = [["call", None], ["return", "unencodable_value"]]
    assert out == {"deep": expected, "wide": expected}


# Container subclasses whose own iteration has no end, though the program
# never iterates them, bare or behind a proxy that passes for them, beside
# ones whose own iteration is honest. Under an address-space limit an encoder
# that followed the endless ones would run out of memory instead of eating
# the machine's.
CONTAINER_SUBCLASSES = """
    import collections, itertools, resource
    import msgpack
    from monitor_helpers import decode, under_monitor, under_profile_hook

    resource.setrlimit(resource.RLIMIT_AS, (2 << 30, resource.RLIM_INFINITY))

    class Endless:
        def __iter__(self):
            return itertools.count()

        def keys(self):
            return itertools.count()

    class EndlessTuple(Endless, tuple): pass
    class EndlessSet(Endless, set): pass
    class EndlessDict(Endless, dict): pass

    class Backwards:
        def __iter__(self):
            return reversed(list(super().__iter__()))

        def keys(self):
            return list(self)

    class BackwardsTuple(Backwards, tuple): pass
    class BackwardsDict(Backwards, dict): pass

    # As wrapt's and lazy-object-proxy's: the class, iteration, keys(), len()
    # and items of the object wrapped.
    class Proxy:
        def __init__(self, wrapped):
            self.wrapped = wrapped

        __class__ = property(lambda self: type(self.wrapped))
        __getattr__ = lambda self, name: getattr(self.wrapped, name)
        __iter__ = lambda self: iter(self.wrapped)
        __len__ = lambda self: len(self.wrapped)
        __getitem__ = lambda self, key: self.wrapped[key]

    class Unsized(Proxy):
        __len__ = None

    class Vast(Proxy):
        __len__ = lambda self: 2**62

    # One function each, so that each is said once at a location of its own.
    def takes_endless_tuple(v):
        return 1

    def takes_endless_set(v):
        return 1

    def takes_endless_dict(v):
        return 1

    def takes_proxied_tuple(v):
        return 1

    def takes_proxied_dict(v):
        return 1

    def takes_unsized(v):
        return 1

    def takes_vast_tuple(v):
        return 1

    def takes_vast_set(v):
        return 1

    def takes_vast_dict(v):
        return 1

    def keeps(v):
        return 1

    def plain(value):
        kinds = {6: "tuple"}
        if isinstance(value, msgpack.ExtType):
            if value.code in kinds:
                return [kinds[value.code], plain(msgpack.unpackb(value.data))]
            return [value.code, value.data.decode("utf-8", "replace")]
        if isinstance(value, list):
            return [plain(item) for item in value]
        if isinstance(value, dict):
            return [[key, plain(item)] for key, item in value.items()]
        return value

    moved = collections.OrderedDict(a=1, b=[2])
    moved.move_to_end("a")
    cases = {
        "endless tuple": (takes_endless_tuple, EndlessTuple((1, 2))),
        "endless set": (takes_endless_set, EndlessSet({1, 2})),
        "endless dict": (takes_endless_dict, EndlessDict(a=1)),
        "proxied endless tuple": (takes_proxied_tuple, Proxy(EndlessTuple((1, 2)))),
        "proxied endless dict": (takes_proxied_dict, Proxy(EndlessDict(a=1))),
        "unsized proxy": (takes_unsized, Unsized(EndlessTuple((1, 2)))),
        "vast tuple claim": (takes_vast_tuple, Vast(EndlessTuple((1, 2)))),
        "vast set claim": (takes_vast_set, Vast(EndlessSet({1, 2}))),
        "vast dict claim": (takes_vast_dict, Vast(EndlessDict(a=1))),
        "proxied tuple": (keeps, Proxy((1, [2]))),
        "proxied Counter": (keeps, Proxy(collections.Counter("abca"))),
        "namedtuple": (keeps, collections.namedtuple("Point", "x y")(1, [2])),
        "backwards tuple": (keeps, BackwardsTuple((1, 2, 3))),
        "moved OrderedDict": (keeps, moved),
        "Counter": (keeps, collections.Counter("abca")),
        "defaultdict": (keeps, collections.defaultdict(list, x=[1])),
        "backwards dict": (keeps, BackwardsDict(a=1, b=2, c=3)),
    }
    record = under_monitor if tracer == "monitor" else under_profile_hook
    out = {}
    for name, (fn, value) in cases.items():
        config = {"max_value_mb": False} if name.startswith("vast") else {}
        result, trace = record(db, lambda: fn(value), config)
        frames = decode(trace).frames_of(fn.__name__)
        out[name] = [result, [[r["event"], r.get("values_omitted")] for r in frames],
                     plain(frames[0]["locals"].get("v"))]
    print(json.dumps(out))
"""

KEPT = [["call", None], ["return", None]]
OMITTED = [["call", "unencodable_value"], ["return", "unencodable_value"]]


@pytest.mark.parametrize("tracer", TRACERS)
def test_a_container_subclass_is_walked_no_further_than_it_holds(tmp_path, tracer):
    out, stderr = run_program(tmp_path, CONTAINER_SUBCLASSES, tracer, str(tmp_path / "vesh.db"), timeout=60)
    assert out == {
        "endless tuple": [1, OMITTED, None],
        "endless set": [1, OMITTED, None],
        "endless dict": [1, OMITTED, None],
        "proxied endless tuple": [1, OMITTED, None],
        "proxied endless dict": [1, OMITTED, None],
        "unsized proxy": [1, OMITTED, None],
        "vast tuple claim": [1, OMITTED, None],
        "vast set claim": [1, OMITTED, None],
        "vast dict claim": [1, OMITTED, None],
        "proxied tuple": [1, KEPT, ["tuple", [1, [2]]]],
        "proxied Counter": [1, KEPT, [["a", 2], ["b", 1], ["c", 1]]],
        "namedtuple": [1, KEPT, ["tuple", [1, [2]]]],
        "backwards tuple": [1, KEPT, ["tuple", [3, 2, 1]]],
        "moved OrderedDict": [1, KEPT, [["b", [2]], ["a", 1]]],
        "Counter": [1, KEPT, [["a", 2], ["b", 1], ["c", 1]]],
        "defaultdict": [1, KEPT, [["x", [1]]]],
        "backwards dict": [1, KEPT, [["c", 3], ["b", 2], ["a", 1]]],
    }
    said = re.findall(r"could not encode a value of (\w+) .*\(RuntimeError: (\w+) iterates over more items", stderr)
    assert sorted(set(said)) == [
        ("takes_endless_dict", "EndlessDict"),
        ("takes_endless_set", "EndlessSet"),
        ("takes_endless_tuple", "EndlessTuple"),
        ("takes_proxied_dict", "Proxy"),
        ("takes_proxied_tuple", "Proxy"),
    ]
    # A length no container could have is refused before any walk.
    vast = re.findall(r"could not encode a value of (\w+) .*\(RuntimeError: Vast claims (\d+) items", stderr)
    assert sorted(set(vast)) == [(f"takes_vast_{kind}", str(2**62)) for kind in ("dict", "set", "tuple")]
