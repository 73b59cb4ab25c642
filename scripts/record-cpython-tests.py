"""Runs modules of CPython's own test suite unrecorded and recorded by vesh,
and compares the outcomes.

    python scripts/record-cpython-tests.py [--mode monitor|profile|both]
        [--workdir DIR] [--timeout SECONDS] MODULE [MODULE ...]

MODULE names a module of the interpreter's `test` package (`test_json`, or
`test.test_json`). Each module runs in a subprocess of its own three ways:
unrecorded, under the sys.monitoring recorder and under the profile hook,
with every frame of the test package recorded and the trace saved into a
SQLite database under DIR (removed again once compared, unless --keep is
given). A recorded run must give exactly the unrecorded
run's outcome: the same tests passing, failing, erroring and skipped, a
clean save, and nothing on stderr from vesh but its once-per-location
warnings about values it could not encode. Exits 1 when any module
differs, and prints what differed.
"""

from __future__ import annotations

import argparse
import json
import pathlib
import shutil
import subprocess
import sys
import tempfile

# Runs in the child: loads one test module, runs it with a quiet runner and
# prints the outcome of every test as JSON on the last line of stdout.
CHILD = r"""
import io, json, sys, unittest, importlib

mode, module_name, db_path = sys.argv[1:4]
module = importlib.import_module(module_name)
suite = unittest.defaultTestLoader.loadTestsFromModule(module)
config = {"filters": {"include_frames": ["/test/"]}}

class Result(unittest.TextTestResult):
    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.outcomes = {}
    def addSuccess(self, test):
        super().addSuccess(test); self.outcomes[test.id()] = "pass"
    def addFailure(self, test, err):
        super().addFailure(test, err); self.outcomes[test.id()] = "fail"
    def addError(self, test, err):
        super().addError(test, err); self.outcomes[test.id()] = "error"
    def addSkip(self, test, reason):
        super().addSkip(test, reason); self.outcomes[test.id()] = "skip"
    def addExpectedFailure(self, test, err):
        super().addExpectedFailure(test, err); self.outcomes[test.id()] = "xfail"
    def addUnexpectedSuccess(self, test):
        super().addUnexpectedSuccess(test); self.outcomes[test.id()] = "xpass"

stream = io.StringIO()
runner = unittest.TextTestRunner(stream=stream, resultclass=Result, verbosity=0)
saved = None
if mode == "plain":
    result = runner.run(suite)
elif mode == "monitor":
    from vesh import monitoring
    monitor = monitoring.start(db_path, config, source="record-cpython-tests")
    try:
        result = runner.run(suite)
    finally:
        monitoring.stop(monitor, save=False)
    monitor.save()
    saved = {"trace_id": monitor.trace_id, "panicked": monitor.panicked}
else:
    from vesh.profiler import Profiler
    profiler = Profiler(db_path, dict(config, threading=True), source="record-cpython-tests")
    with profiler:
        result = runner.run(suite)
    profiler.save()
    saved = {"trace_id": profiler.trace_id, "panicked": profiler.rust_profiler.panicked}
details = {t.id(): text for t, text in result.failures + result.errors}
print(json.dumps({"outcomes": result.outcomes, "details": details, "saved": saved}))
"""


def run(mode: str, module: str, workdir: pathlib.Path, timeout: float) -> dict:
    db_path = workdir / module / mode / "vesh.db"
    db_path.parent.mkdir(parents=True, exist_ok=True)
    try:
        proc = subprocess.run(
            [sys.executable, "-c", CHILD, mode, module, str(db_path)],
            capture_output=True, text=True, timeout=timeout, cwd=db_path.parent,
        )
    except subprocess.TimeoutExpired:
        return {"crashed": f"timed out after {timeout:.0f} s"}
    lines = proc.stdout.strip().splitlines()
    try:
        report = json.loads(lines[-1])
    except (IndexError, json.JSONDecodeError):
        return {"crashed": f"exit status {proc.returncode}", "stderr": proc.stderr[-4000:]}
    report["stderr"] = proc.stderr
    report["db_size"] = sum(f.stat().st_size for f in db_path.parent.rglob("*") if f.is_file())
    return report


# Warnings the recorders give by design, once per code location: a value that
# could not be encoded is recorded as its repr or leaves its record's values out.
EXPECTED_WARNINGS = ("Vesh could not encode a value of ",)


def vesh_lines(stderr: str) -> list[tuple[int, str]]:
    keys = ("vesh", "Vesh", "Unexpected exception in Rust")
    return [(i, line) for i, line in enumerate(stderr.splitlines())
            if any(k in line for k in keys) and not line.startswith(EXPECTED_WARNINGS)]


def compare(module: str, plain: dict, recorded: dict, mode: str) -> list[str]:
    problems = []
    if "crashed" in recorded:
        return [f"{mode}: {recorded['crashed']}\n{recorded.get('stderr', '')}"]
    for test, outcome in sorted(plain["outcomes"].items()):
        got = recorded["outcomes"].get(test)
        if got != outcome:
            detail = recorded["details"].get(test, "")
            problems.append(f"{mode}: {test}: {outcome} unrecorded, {got} recorded\n{detail}")
    saved = recorded.get("saved") or {}
    if saved.get("panicked"):
        problems.append(f"{mode}: the recorder panicked")
    noise = vesh_lines(recorded["stderr"])
    if noise:
        first = noise[0][0]
        context = "\n".join(recorded["stderr"].splitlines()[first:first + 6])
        problems.append(f"{mode}: {len(noise)} vesh lines on stderr, the first with what follows it:\n{context}")
    return problems


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(description=__doc__.strip().splitlines()[0])
    parser.add_argument("modules", nargs="+")
    parser.add_argument("--mode", choices=("monitor", "profile", "both"), default="both")
    parser.add_argument("--workdir", type=pathlib.Path)
    parser.add_argument("--timeout", type=float, default=900)
    parser.add_argument("--keep", action="store_true", help="keep the databases")
    args = parser.parse_args(argv)
    workdir = args.workdir or pathlib.Path(tempfile.mkdtemp(prefix="vesh-cpython-tests-"))
    modes = ("monitor", "profile") if args.mode == "both" else (args.mode,)
    failed = False
    for name in args.modules:
        module = name if name.startswith("test.") else f"test.{name}"
        plain = run("plain", module, workdir, args.timeout)
        if "crashed" in plain:
            print(f"{module}: does not run unrecorded here ({plain['crashed']}); skipped")
            continue
        for mode in modes:
            recorded = run(mode, module, workdir, args.timeout)
            problems = compare(module, plain, recorded, mode)
            size = recorded.get("db_size", 0)
            status = "ok" if not problems else "DIFFERS"
            print(f"{module} [{mode}]: {status}, {len(plain['outcomes'])} tests, {size / 1e6:.1f} MB stored")
            for problem in problems:
                print("    " + problem.replace("\n", "\n    "))
            failed |= bool(problems)
            if not args.keep:
                shutil.rmtree(workdir / module / mode, ignore_errors=True)
    print(f"work directory: {workdir}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
