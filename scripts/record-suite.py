"""Runs a third-party library's pytest suite unrecorded and recorded by vesh,
compares the outcomes and reads back every record the recorders stored.

    PYTHON scripts/record-suite.py --python-path BUILD/python [--cwd DIR]
        [--mode monitor|profile|both] [--timeout SECONDS] [--max-gb GB]
        [--workdir DIR] [--keep] [--include FRAGMENT ...] [-- PYTEST_ARG ...]

PYTHON is an interpreter with pytest, msgpack and the suite's own test
dependencies installed; --python-path is the python/ directory of the vesh
build to record with (its package and in-place built extension). The suite
runs in DIR (the current directory by default), in a subprocess of its own
each time: once unrecorded, then under the sys.monitoring recorder and under
the profile hook. Each recorder records the frames it selects by default
(those of files outside the interpreter's library, site-packages and vesh
itself) and, in addition, every frame whose file name holds one of the
--include fragments (by default the absolute paths of the test paths among
the pytest arguments), so that an installed library's frames are recorded
when a fragment names it; the fragments do not narrow the default
selection. The trace is saved into a SQLite database under the work
directory when the session ends. Pass pytest options after "--"
(`-- tests -k "not slow"`). A run is killed past --timeout seconds or once
its trace files outgrow --max-gb, and compared as far as it got.

For each recorded run it prints the per-test outcomes that differ from the
unrecorded run's (by node id, subtests counted per test), the time taken, the
lines vesh wrote to stderr (its logger's warnings included, which pytest
would otherwise capture), and then reads every record of every trace stored
(in the database and in its raw/ directory) and counts those that
`msgpack.unpackb(record, strict_map_key=False)` refuses, by exception type,
with one example of each. Exits 1 when any recorded run differs from the
unrecorded one, does not finish, saves badly or stores an unreadable record.
"""

from __future__ import annotations

import argparse
import collections
import json
import os
import pathlib
import shutil
import signal
import sqlite3
import struct
import subprocess
import sys
import tempfile
import time
from contextlib import closing

# Runs in the child: the suite under pytest, with a plugin that starts the
# recorder at session start, saves at session end, and writes what happened
# as JSON lines, one event a line, so that a run that is killed still tells
# which test it was in.
CHILD = r"""
import json, logging, os, sys, time
import pytest

mode, db_path, events_path, includes = sys.argv[1], sys.argv[2], sys.argv[3], json.loads(sys.argv[4])
events = open(events_path, "w", buffering=1)

def emit(**event):
    events.write(json.dumps(event) + "\n")

# pytest captures logging and the stderr file descriptor around each test:
# vesh's warnings are written to the real stderr as well.
handler = logging.StreamHandler(os.fdopen(os.dup(2), "w", buffering=1))
handler.setFormatter(logging.Formatter("%(levelname)s:%(name)s:%(message)s"))
logging.getLogger("vesh").addHandler(handler)

class Plugin:
    recorder = None

    def pytest_configure(self, config):
        self.config = config

    def pytest_sessionstart(self, session):
        self.started = time.monotonic()
        config = {"filters": {"include_frames": includes}}
        if mode == "monitor":
            from vesh import monitoring
            self.recorder = monitoring.start(db_path, config, source="record-suite")
        elif mode == "profile":
            from vesh.profiler import Profiler
            self.recorder = Profiler(db_path, dict(config, threading=True), source="record-suite")
            self.recorder.start()

    @pytest.hookimpl(trylast=True)
    def pytest_sessionfinish(self, session, exitstatus):
        tests_done = time.monotonic()
        emit(session_seconds=tests_done - self.started)
        if self.recorder is None:
            return
        saved = {}
        try:
            if mode == "monitor":
                from vesh import monitoring
                monitoring.stop(self.recorder, save=False)
                self.recorder.save()
                saved["panicked"] = self.recorder.panicked
            else:
                self.recorder.stop()
                self.recorder.save()
                saved["panicked"] = self.recorder.rust_profiler.panicked
        except BaseException as exc:
            saved["error"] = repr(exc)
        saved["trace_id"] = self.recorder.trace_id
        saved["seconds"] = time.monotonic() - tests_done
        emit(saved=saved)

    def pytest_runtest_logstart(self, nodeid, location):
        emit(start=nodeid)

    def pytest_runtest_logreport(self, report):
        if type(report).__name__ == "SubtestReport":
            when, category = "subtest", "xfailed" if hasattr(report, "wasxfail") else report.outcome
        else:
            when, category = report.when, self.config.hook.pytest_report_teststatus(report=report, config=self.config)[0]
        if not category:
            return
        event = {"test": report.nodeid, "when": when, "outcome": category, "seconds": report.duration}
        if report.failed:
            event["detail"] = report.longreprtext[-3000:]
        emit(**event)

    def pytest_collectreport(self, report):
        if report.failed:
            emit(test=report.nodeid or "<collection>", when="collect", outcome="error",
                 detail=report.longreprtext[-3000:])

def peak_mb():
    # This process's own high-water mark: ru_maxrss of a child also counts
    # what its parent held before the exec.
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) / 1024
    return None

code = pytest.main(["-p", "no:cacheprovider", *sys.argv[5:]], plugins=[Plugin()])
emit(exit=int(code), peak_mb=peak_mb())
events.close()
"""


def run(mode: str, args: argparse.Namespace, includes: list[str]) -> dict:
    """Runs the suite once in a child and gathers its events and stderr."""
    rundir = args.workdir / mode
    shutil.rmtree(rundir, ignore_errors=True)
    rundir.mkdir(parents=True)
    db_path = rundir / "vesh.db"
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(
        filter(None, [str(args.python_path), os.environ.get("PYTHONPATH")])))
    command = [sys.executable, "-c", CHILD, mode, str(db_path), str(rundir / "events.jsonl"), json.dumps(includes),
               *args.pytest_args]
    started = time.monotonic()
    with open(rundir / "stdout.txt", "wb") as out, open(rundir / "stderr.txt", "wb") as err:
        child = subprocess.Popen(command, cwd=args.cwd, env=env, stdout=out, stderr=err, stdin=subprocess.DEVNULL,
                                 start_new_session=True)
        stopped = None
        while (status := child.poll()) is None:
            time.sleep(1)
            if time.monotonic() - started > args.timeout:
                stopped = f"timed out after {args.timeout:.0f} s"
            elif disk_bytes(db_path) > args.max_gb * 1e9:
                stopped = f"stopped at {args.max_gb:g} GB stored"
            if stopped:
                os.killpg(child.pid, signal.SIGKILL)
                child.wait()
                break
    report = {"mode": mode, "db": db_path, "seconds": time.monotonic() - started, "status": status, "stopped": stopped,
              "outcomes": {}, "subtests": collections.defaultdict(collections.Counter), "details": {},
              "durations": collections.Counter(), "last_started": None, "exit": None, "saved": None}
    with open(rundir / "events.jsonl") as events:
        for line in events:
            try:
                event = json.loads(line)
            except json.JSONDecodeError:  # the last line of a killed child
                continue
            if "start" in event:
                report["last_started"] = event["start"]
            elif "test" in event:
                test, outcome = event["test"], event["outcome"]
                report["durations"][test] += event.get("seconds", 0)
                if event["when"] == "subtest":
                    report["subtests"][test][outcome] += 1
                else:
                    known = report["outcomes"].get(test)
                    report["outcomes"][test] = f"{known}+{outcome}" if known else outcome
                if "detail" in event:
                    report["details"].setdefault(test, event["detail"])
            elif "exit" in event:
                report["exit"], report["peak_mb"] = event["exit"], event["peak_mb"]
            else:
                report.update(event)
    report["stderr"] = (rundir / "stderr.txt").read_text(errors="replace")
    return report


def disk_bytes(db_path: pathlib.Path) -> int:
    """The size of the database and of the trace files beside it."""
    total = 0
    for path in (db_path, *(db_path.parent / "raw").glob("*")):
        try:
            total += path.stat().st_size
        except OSError:
            pass
    return total


def vesh_lines(stderr: str, workdir: pathlib.Path) -> collections.Counter:
    """The distinct lines on stderr that come from vesh (the work directory's
    own name aside), with how often each came."""
    return collections.Counter(line for line in stderr.splitlines()
                               if "vesh" in line.replace(str(workdir), "").lower())


# ---------------------------------------------------------------------------
# Reading stored traces back: a v3 container is a preamble with its header,
# records (each a 40-byte header and a body) and a footer. The index record
# names each thread's frames as spans of its chunk records; a chunk's body is
# the LEB128 lengths of its frames followed by the frames.

RECORD_HEADER = struct.Struct("<4sB3xIQIIIII")
KIND_CHUNK, KIND_INDEX = 1, 4


def stored_containers(db_path: pathlib.Path):
    """Yields (label, container bytes) of every row of the database, and of
    every file in its raw/ directory that no row names, one at a time."""
    named = set()
    raw = db_path.parent / "raw"
    if db_path.exists():
        with closing(sqlite3.connect(db_path)) as conn:
            rows = conn.execute("SELECT id, trace_id, raw_file FROM trace_containers ORDER BY id").fetchall()
            for row_id, trace_id, raw_file in rows:
                if raw_file:
                    named.add(raw_file)
                    yield f"{trace_id} (raw/{raw_file})", (raw / raw_file).read_bytes()
                else:
                    (container,) = conn.execute("SELECT container FROM trace_containers WHERE id = ?",
                                                (row_id,)).fetchone()
                    yield trace_id, bytes(container)
    if raw.is_dir():
        for path in sorted(raw.iterdir()):
            if path.name not in named and path.is_file():
                yield f"unstored raw/{path.name}", path.read_bytes()


def leb128(data: bytes, pos: int) -> tuple[int, int]:
    value = shift = 0
    while True:
        byte = data[pos]
        pos += 1
        value |= (byte & 0x7F) << shift
        if not byte & 0x80:
            return value, pos
        shift += 7


def container_records(data: bytes, msgpack) -> tuple[list[bytes], list[bytes], str | None]:
    """The frames of a container (as its index lays them out, or every
    chunk's when it has no index), its other records' bodies, and what cut
    the reading short, if anything."""
    if data[:8] != b"VESHTRC3":
        return [], [], "no v3 preamble"
    (header_length,) = struct.unpack_from("<I", data, 16)
    pos, chunks, others, index, problem = 24 + header_length, {}, [], None, None
    while pos + RECORD_HEADER.size <= len(data) and data[pos:pos + 8] != b"VESHEND3":
        magic, kind, token, rid, count, length, _, _, _ = RECORD_HEADER.unpack_from(data, pos)
        body = data[pos + RECORD_HEADER.size:pos + RECORD_HEADER.size + length]
        if magic != b"VR3\0" or len(body) < length:
            problem = f"record cut short or torn at offset {pos}"
            break
        pos += RECORD_HEADER.size + length
        if kind == KIND_CHUNK:
            lengths, at = [], 0
            for _ in range(count):
                n, at = leb128(body, at)
                lengths.append(n)
            frames = []
            for n in lengths:
                frames.append(body[at:at + n])
                at += n
            chunks[(token, rid)] = frames
        elif kind == KIND_INDEX:
            index = msgpack.unpackb(body, strict_map_key=False)
        else:
            others.append(body)
    if index is None:
        return [frame for frames in chunks.values() for frame in frames], others, problem or "no index"
    frames = []
    for token, spans in index["threads"].items():
        for seq, start, count in spans:
            frames.extend(chunks[(token, seq)][start:start + count])
    return frames, others, problem


def read_back(db_path: pathlib.Path) -> dict:
    import msgpack

    started = time.monotonic()
    counts = collections.Counter()
    errors: dict[str, list] = {}
    problems = []
    traces = 0
    for label, data in stored_containers(db_path):
        traces += 1
        frames, others, problem = container_records(data, msgpack)
        if problem:
            problems.append(f"{label}: {problem}")
        for kind, records in (("frames", frames), ("other records", others)):
            counts[kind] += len(records)
            for i, record in enumerate(records):
                try:
                    msgpack.unpackb(record, strict_map_key=False)
                except Exception as exc:
                    name = type(exc).__name__
                    entry = errors.setdefault(name, [0, f"{label}, {kind[:-1]} {i}: {exc!r}; {bytes(record[:96])!r}"])
                    entry[0] += 1
    size = disk_bytes(db_path)
    return {"traces": traces, "counts": counts, "errors": errors, "problems": problems,
            "seconds": time.monotonic() - started, "bytes": size}


def summary(report: dict) -> str:
    tally = collections.Counter(report["outcomes"].values())
    sub = sum((c for c in report["subtests"].values()), collections.Counter())
    parts = [f"{n} {o}" for o, n in sorted(tally.items())] + [f"{n} subtests {o}" for o, n in sorted(sub.items())]
    return ", ".join(parts) or "no tests"


def peak(report: dict) -> str:
    """The run's own peak memory, which a killed run did not get to say."""
    mb = report.get("peak_mb")
    return "peak memory not known" if mb is None else f"{mb:.0f} MB peak"


def brief(longrepr: str) -> str:
    """A failure's error lines and where it was raised, without the source around them."""
    lines = longrepr.strip().splitlines()
    errors = [line for line in lines if line.startswith("E ")]
    return "\n".join(errors[:8] + lines[-1:]) if errors else "\n".join(lines[-8:])


def compare(plain: dict, recorded: dict) -> list[str]:
    problems = []
    if recorded["stopped"]:
        problems.append(f"{recorded['stopped']}; the last test started was {recorded['last_started']}")
    elif recorded["exit"] is None:
        problems.append(f"ended with status {recorded['status']} before pytest finished; "
                        f"the last test started was {recorded['last_started']}")
    elif recorded["exit"] != plain["exit"]:
        problems.append(f"pytest exit code {recorded['exit']} recorded, {plain['exit']} unrecorded")
    saved = recorded.get("saved") or {}
    if recorded["exit"] is not None and not saved:
        problems.append("the trace was not saved")
    if saved.get("error"):
        problems.append(f"save failed: {saved['error']}")
    if saved.get("panicked"):
        problems.append("the recorder panicked")
    for test in sorted(plain["outcomes"].keys() | recorded["outcomes"].keys()):
        want, got = plain["outcomes"].get(test), recorded["outcomes"].get(test)
        want_sub, got_sub = plain["subtests"].get(test, {}), recorded["subtests"].get(test, {})
        if want != got or want_sub != got_sub:
            if got is None and recorded["exit"] is None:
                continue  # never reached: said above
            detail = brief(recorded["details"].get(test, ""))
            subs = f" (subtests {dict(want_sub)} unrecorded, {dict(got_sub)} recorded)" if want_sub != got_sub else ""
            problems.append(f"{test}: {want} unrecorded, {got} recorded{subs}"
                            + ("\n    " + detail.replace("\n", "\n    ") if detail else ""))
    return problems


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(description=__doc__.strip().splitlines()[0])
    parser.add_argument("--python-path", type=pathlib.Path, required=True, help="the vesh build's python/ directory")
    parser.add_argument("--mode", choices=("monitor", "profile", "both"), default="both")
    parser.add_argument("--timeout", type=float, default=1800, help="seconds for each run")
    parser.add_argument("--max-gb", type=float, default=10, help="stop a run whose trace files grow past this")
    parser.add_argument("--workdir", type=pathlib.Path)
    parser.add_argument("--keep", action="store_true", help="keep the databases and the runs' output")
    parser.add_argument("--cwd", type=pathlib.Path, default=pathlib.Path.cwd(), help="where pytest runs")
    parser.add_argument("--include", action="append",
                        help="file name fragment of frames to record besides the default selection")
    parser.add_argument("pytest_args", nargs=argparse.REMAINDER)
    args = parser.parse_args(argv)
    if args.pytest_args[:1] == ["--"]:
        del args.pytest_args[0]
    args.python_path = args.python_path.resolve()
    args.cwd = args.cwd.resolve()
    includes = args.include or [
        str(path) + ("/" if path.is_dir() else "")
        for path in (args.cwd / arg.split("::")[0] for arg in args.pytest_args if not arg.startswith("-"))
        if path.exists()]
    if not includes:
        parser.error("name the test paths among the pytest arguments, or give --include")
    made = args.workdir is None
    args.workdir = (args.workdir or pathlib.Path(tempfile.mkdtemp(prefix="vesh-suite-"))).resolve()
    print(f"{sys.executable} ({sys.version.split()[0]}), vesh from {args.python_path}")
    print(f"pytest {' '.join(args.pytest_args)} in {args.cwd}; recording the default selection and the frames"
          f" in {includes}")

    plain = run("plain", args, includes)
    print(f"\nunrecorded: {plain['seconds']:.1f} s ({peak(plain)}), {summary(plain)}, exit {plain['exit']}")
    if plain["exit"] not in (0, 1):  # interrupted, an internal or usage error, no tests
        print(f"  the unrecorded run did not run the suite ({plain['stopped'] or 'exit ' + str(plain['exit'])}, "
              f"last test started {plain['last_started']}); its output ends:")
        output = (args.workdir / "plain" / "stdout.txt").read_text(errors="replace") + plain["stderr"]
        print("    " + "\n    ".join(output.strip().splitlines()[-15:]))
        return 1
    failed = False
    for mode in ("monitor", "profile") if args.mode == "both" else (args.mode,):
        recorded = run(mode, args, includes)
        problems = compare(plain, recorded)
        back = read_back(recorded["db"])
        saved = recorded.get("saved") or {}
        print(f"\n{mode}: {'DIFFERS' if problems else 'same outcomes'}; {recorded['seconds']:.1f} s"
              f" (tests {recorded.get('session_seconds', 0):.1f} s, save {saved.get('seconds', 0):.1f} s,"
              f" {peak(recorded)}), {summary(recorded)}")
        slowest = recorded["durations"].most_common(3)
        print("  slowest tests: " + ", ".join(f"{test} {seconds:.1f} s" for test, seconds in slowest))
        for problem in problems:
            print("  " + problem.replace("\n", "\n  "))
        lines = vesh_lines(recorded["stderr"], args.workdir)
        print(f"  vesh on stderr: {sum(lines.values())} lines, {len(lines)} distinct")
        for line, count in lines.most_common(12):
            print(f"    {count} x {line[:300]}")
        counts = back["counts"]
        bad = sum(entry[0] for entry in back["errors"].values())
        print(f"  stored: {back['traces']} traces, {back['bytes'] / 1e6:.1f} MB, {counts['frames']} frames and"
              f" {counts['other records']} other records; {bad} unreadable (read in {back['seconds']:.1f} s)")
        for name, (count, example) in sorted(back["errors"].items()):
            print(f"    {count} x {name}, e.g. {example}")
        for problem in back["problems"]:
            print(f"    {problem}")
        failed |= bool(problems) or bad > 0 or bool(back["problems"])
        if not args.keep:
            shutil.rmtree(args.workdir / mode, ignore_errors=True)
    if args.keep:
        print(f"\nwork directory: {args.workdir}")
    else:
        shutil.rmtree(args.workdir / "plain", ignore_errors=True)
        if made:
            shutil.rmtree(args.workdir, ignore_errors=True)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
