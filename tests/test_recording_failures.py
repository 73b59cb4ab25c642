"""Recording that cannot go on as usual. A value that cannot be encoded
keeps its frame record. When the trace file cannot be written, or writing
more would fill the user's disk, both recorders stop recording with one
warning that says why, the program keeps running with its own results, and
a save reports the cause; those runs are programs of their own in a
subprocess (a file-size limit, a filesystem of its own)."""

from __future__ import annotations

import json
import logging
import os
import shutil
import subprocess
import sys
import textwrap
import weakref

import pytest

import monitor_helpers
from vesh.profiler import Profiler

TRACERS = ["monitor", "profile"]

# The recorder under test, by name: `recorded(body)` runs body() recorded and
# answers its result with the recorder's save and build_trace.
RECORDERS = """
    import json, logging, os, sys
    from vesh import monitoring
    from vesh.profiler import Profiler

    logging.basicConfig(stream=sys.stderr, format="%(levelname)s:%(name)s:%(message)s")
    tracer, db = sys.argv[1], sys.argv[2]

    def recorded(body):
        if tracer == "monitor":
            monitor = monitoring.start(db, {})
            try:
                result = body()
            finally:
                monitoring.stop(monitor, save=False)
            return result, monitor.save, monitor.build_trace
        profiler = Profiler(db, {})
        with profiler:
            result = body()
        return result, profiler.save, profiler.build_trace
"""


def run_program(tmp_path, source: str, *args: str, prefix: tuple[str, ...] = (), timeout: float = 300):
    """Runs `source` (after the recorders) as a file of its own and returns
    (the JSON object of its last output line, its standard error)."""
    script = tmp_path / "program.py"
    script.write_text(textwrap.dedent(RECORDERS) + textwrap.dedent(source))
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

    def square(n):
        padding = "x" * 100
        return n * n

    def work():
        return sum(square(n) for n in range(20000))

    # The interpreter ignores SIGXFSZ: a write past the limit fails with EFBIG.
    resource.setrlimit(resource.RLIMIT_FSIZE, (64 * 1024, resource.RLIM_INFINITY))
    result, save, build_trace = recorded(work)
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
    assert out["result"] == sum(n * n for n in range(20000))
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
    import msgpack
    import v3_reader
    import vesh.db
    from stored_traces import stored_rows

    # Copying the container into the database would need its size again:
    # the database keeps it as a file of its own.
    vesh.db.BLOB_LIMIT = 1 << 20

    def square(n):
        padding = "x" * 4000
        return n * n

    def work():
        return sum(square(n) for n in range(20000))

    result, save, _ = recorded(work)
    save()
    fs = os.statvfs(os.path.dirname(db))
    [(_, _, data)] = stored_rows(db)
    squares = []
    for frames in v3_reader.read_container(data).threads.values():
        for frame in frames:
            record = msgpack.unpackb(frame, strict_map_key=False)
            if record.get("co_name") == "square":
                squares.append((record["event"], record["locals"]["n"]))
    print(json.dumps({"result": result, "size": fs.f_blocks * fs.f_frsize, "free": fs.f_bavail * fs.f_frsize,
                      "squares": squares}))
"""


@pytest.mark.parametrize("tracer", TRACERS)
def test_recording_stops_before_the_filesystem_fills(tmp_path, tracer):
    prefix, mount_point = on_a_filesystem_of_its_own(tmp_path, "32m")
    out, stderr = run_program(tmp_path, RESERVE, tracer, os.path.join(mount_point, "vesh.db"), prefix=prefix)
    assert out["result"] == sum(n * n for n in range(20000))
    # A filesystem of 32 MiB keeps 5% of it free.
    reserve = out["size"] // 20
    assert out["free"] >= reserve
    [warning] = stderr.splitlines()
    assert "Vesh stopped recording trace trc_" in warning and f"the reserve of {reserve} bytes" in warning
    # The saved trace holds every call and return up to the stop, in order.
    squares = out["squares"]
    calls = [n for event, n in squares if event == "call"]
    assert len(calls) > 1000
    assert squares == [[event, n] for n in range(len(calls)) for event in ("call", "return")][:len(squares)]


class Target:
    pass


def holds_a_dead_proxy():
    target = Target()
    proxy = weakref.proxy(target)
    del target
    return 1


def holds_a_deep_list():
    value = []
    for _ in range(2000):
        value = [value]
    return 2


def recorded_frames(tracer, fn, db_path):
    """fn()'s result and the frame records of fn, recorded by `tracer`."""
    if tracer == "monitor":
        result, recording, _ = monitor_helpers.record(fn, db_path=db_path)
        records = recording.records()
    else:
        profiler = Profiler(db_path, {})
        with profiler:
            result = fn()
        records = monitor_helpers.decode(profiler.build_trace()).records()
    return result, [r for r in records if r.get("type") == "frame" and r["co_name"] == fn.__name__]


@pytest.mark.parametrize("tracer", TRACERS)
@pytest.mark.parametrize("fn, expected, check", [
    # Its repr stands for the value that cannot be encoded.
    (holds_a_dead_proxy, 1, lambda r: r["locals"]["proxy"].data.startswith(b"<weakproxy")),
    # Nested past the MessagePack limit: its repr where the interpreter can
    # make one that deep, else a record without values that says why.
    (holds_a_deep_list, 2, lambda r: r["locals"]["value"].data.startswith(b"[[[[") if "value" in r["locals"]
     else r["values_omitted"] == "unencodable_value" and r["locals"] == {}),
])
def test_a_value_that_cannot_be_encoded_keeps_its_records(tmp_path, caplog, tracer, fn, expected, check):
    with caplog.at_level(logging.WARNING, logger="vesh"):
        result, frames = recorded_frames(tracer, fn, tmp_path / "vesh.db")
    assert result == expected
    assert [r["event"] for r in frames] == ["call", "return"]
    assert frames[0]["frame_id"] == frames[1]["frame_id"]
    assert frames[1]["arg"] == expected or "values_omitted" in frames[1]
    assert check(frames[1]), frames[1]
    assert [m for m in caplog.messages if "Unexpected exception" in m] == []
