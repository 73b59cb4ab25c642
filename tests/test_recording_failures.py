"""Recording that cannot go on as usual: the trace file cannot be written,
or writing more would fill the user's disk. Both recorders stop recording
with one warning that says why, the program keeps running with its own
results, and a save reports the cause. Each run is a program of its own in a
subprocess (a file-size limit, a filesystem of its own)."""

from __future__ import annotations

import json
import os
import shutil
import subprocess
import sys
import textwrap

import pytest

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
