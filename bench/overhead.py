"""Cost per recorded event of vesh's two recorders (sys.monitoring and the
profile hook) beside other tools, all measured side by side in one run.

    PYTHONPATH=python python bench/overhead.py [--repeats 5] [--scale 1.0] [--cpu]

One workload (call-heavy recursion, a method-heavy object loop and a JSON
round trip through the standard library) runs untraced, under cProfile,
under VizTracer with its defaults (timings only) and with log_func_args and
log_func_retval (reprs of arguments and return values; both rows only when
viztracer is installed), under a plain-Python sys.monitoring tracer (f_locals
and the event's value of every frame, encoded with msgpack.packb after repr()
of what msgpack cannot take), under vesh's monitor recording it, under vesh's
monitor with the workload filtered out (its locations disabled after their
first event), and under vesh's profile-hook recorder recording it.

The workload's frame events (starts, resumes, returns, yields, unwinds,
throws) are counted once by a counting sys.monitoring tool. Each mode keeps
its best of --repeats runs, interleaved so that drift on a shared machine
hits every mode alike; its cost per event is (traced - untraced) / events.
Times are wall-clock, or with --cpu the CPU time of the whole process (every
thread, vesh's writer included), which other work on a busy machine
disturbs less.

Goals: vesh's monitor at least 3x cheaper per event than the plain-Python
tracer and at least 2x cheaper than VizTracer with arguments and return
values; the profile hook within 1.5x of the monitor; code that is not
recorded costs under 5% once disabled.
"""

from __future__ import annotations

import argparse
import cProfile
import json
import os
import sys
import tempfile
import time

import msgpack

from vesh import monitoring
from vesh.profiler import Profiler

try:
    from viztracer import VizTracer
except ImportError:  # optional: its rows are left out
    VizTracer = None

# ---------------------------------------------------------------------------
# The workload


def fib(n):
    return n if n < 2 else fib(n - 1) + fib(n - 2)


class Account:
    def __init__(self, owner, balance=0):
        self.owner = owner
        self.balance = balance
        self.history = []

    def deposit(self, amount):
        self.balance += amount
        self._note("deposit", amount)
        return self.balance

    def withdraw(self, amount):
        if amount > self.balance:
            return None
        self.balance -= amount
        self._note("withdraw", amount)
        return self.balance

    def _note(self, kind, amount):
        if len(self.history) < 8:
            self.history.append((kind, amount))


def accounts(n):
    books = [Account(f"owner{i}") for i in range(10)]
    for i in range(n):
        account = books[i % 10]
        account.deposit(i % 7 + 1)
        account.withdraw(i % 5)
    return sum(a.balance for a in books)


def json_round_trip(n):
    document = {"items": [{"id": i, "name": f"item{i}", "tags": ["a", "b"], "price": i * 0.5} for i in range(n)]}
    return len(json.loads(json.dumps(document))["items"])


def workload(scale):
    for _ in range(max(1, int(4 * scale))):
        fib(20)
    accounts(max(1, int(40_000 * scale)))
    for _ in range(max(1, int(40 * scale))):
        json_round_trip(200)


# ---------------------------------------------------------------------------
# The plain-Python tracer

PY_TOOL = 4


def packable(value):
    try:
        return msgpack.packb(value)
    except Exception:  # noqa: BLE001 - anything msgpack refuses is written as its repr
        return msgpack.packb(repr(value))


class PythonTracer:
    """Records f_locals and the event's value of every frame, as a naive
    sys.monitoring tool written in Python would."""

    def __init__(self):
        self.records = []

    def _record(self, event, code, value):
        frame = sys._getframe(2)
        locals_ = {k: packable(v) for k, v in frame.f_locals.items()}
        self.records.append(msgpack.packb([event, code.co_qualname, locals_, packable(value)]))

    def start(self, code, offset):
        self._record("call", code, None)

    def ret(self, code, offset, value):
        self._record("return", code, value)

    def unwind(self, code, offset, exc):
        self._record("unwind", code, exc)

    def install(self):
        mon = sys.monitoring
        mon.use_tool_id(PY_TOOL, "bench-python-tracer")
        events = mon.events
        mon.register_callback(PY_TOOL, events.PY_START, self.start)
        mon.register_callback(PY_TOOL, events.PY_RETURN, self.ret)
        mon.register_callback(PY_TOOL, events.PY_UNWIND, self.unwind)
        mon.set_events(PY_TOOL, events.PY_START | events.PY_RETURN | events.PY_UNWIND)

    def uninstall(self):
        mon = sys.monitoring
        mon.set_events(PY_TOOL, 0)
        for event in (mon.events.PY_START, mon.events.PY_RETURN, mon.events.PY_UNWIND):
            mon.register_callback(PY_TOOL, event, None)
        mon.free_tool_id(PY_TOOL)


# ---------------------------------------------------------------------------
# Counting events

COUNT_TOOL = 5


def count_events(scale):
    """The workload's frame events, as a sys.monitoring tool sees them."""
    mon = sys.monitoring
    events = mon.events
    kinds = [events.PY_START, events.PY_RESUME, events.PY_RETURN, events.PY_YIELD, events.PY_UNWIND, events.PY_THROW]
    seen = [0]

    def counted(*_args):
        seen[0] += 1

    mon.use_tool_id(COUNT_TOOL, "bench-event-count")
    try:
        for kind in kinds:
            mon.register_callback(COUNT_TOOL, kind, counted)
        mask = 0
        for kind in kinds:
            mask |= kind
        mon.set_events(COUNT_TOOL, mask)
        workload(scale)
        mon.set_events(COUNT_TOOL, 0)
    finally:
        for kind in kinds:
            mon.register_callback(COUNT_TOOL, kind, None)
        mon.free_tool_id(COUNT_TOOL)
    return seen[0]


# ---------------------------------------------------------------------------
# Modes


CLOCK = time.perf_counter


def timed(fn):
    start = CLOCK()
    fn()
    return CLOCK() - start


def untraced(scale, _tmp):
    return timed(lambda: workload(scale))


def under_cprofile(scale, _tmp):
    profiler = cProfile.Profile()
    profiler.enable()
    try:
        return timed(lambda: workload(scale))
    finally:
        profiler.disable()


def under_viztracer(scale, _tmp, **options):
    tracer = VizTracer(verbose=0, tracer_entries=2_000_000, **options)
    tracer.start()
    try:
        return timed(lambda: workload(scale))
    finally:
        tracer.stop()
        tracer.clear()


def under_viztracer_values(scale, tmp):
    return under_viztracer(scale, tmp, log_func_args=True, log_func_retval=True)


def under_python_tracer(scale, _tmp):
    tracer = PythonTracer()
    tracer.install()
    try:
        return timed(lambda: workload(scale))
    finally:
        tracer.uninstall()


def under_vesh(scale, tmp, config=None):
    monitor = monitoring.start(os.path.join(tmp, "vesh.db"), config or {}, source="bench/overhead.py")
    try:
        return timed(lambda: workload(scale))
    finally:
        monitoring.stop(monitor, save=False)
        monitor.build_trace()  # releases the recording


def under_vesh_profiler(scale, tmp):
    profiler = Profiler(os.path.join(tmp, "vesh.db"), {}, source="bench/overhead.py")
    profiler.start()
    try:
        return timed(lambda: workload(scale))
    finally:
        profiler.stop()
        profiler.build_trace()  # releases the recording


def under_vesh_not_recorded(scale, tmp):
    # The workload's own file is filtered out: its locations are disabled at
    # their first event. One warm-up run disables them; the timed run pays
    # only for what stays enabled.
    config = {"filters": {"ignore_frames": [os.path.basename(__file__)]}}
    monitor = monitoring.start(os.path.join(tmp, "vesh.db"), config, source="bench/overhead.py")
    try:
        workload(min(scale, 0.1))
        return timed(lambda: workload(scale))
    finally:
        monitoring.stop(monitor, save=False)


MONITOR = "vesh monitor"
HOOK = "vesh profile hook"
PYTHON = "python sys.monitoring tracer"
VIZ_VALUES = "viztracer, args + retval"
NOT_RECORDED = "vesh monitor, code not recorded"

MODES = [
    ("untraced", untraced),
    ("cProfile", under_cprofile),
    *(
        [("viztracer", under_viztracer), (VIZ_VALUES, under_viztracer_values)]
        if VizTracer is not None
        else []
    ),
    (PYTHON, under_python_tracer),
    (MONITOR, under_vesh),
    (NOT_RECORDED, under_vesh_not_recorded),
    (HOOK, under_vesh_profiler),
]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--scale", type=float, default=1.0)
    parser.add_argument("--cpu", action="store_true", help="process CPU time instead of wall-clock time")
    args = parser.parse_args()
    global CLOCK
    if args.cpu:
        CLOCK = time.process_time

    best = {name: float("inf") for name, _ in MODES}
    with tempfile.TemporaryDirectory(prefix="vesh-bench-") as tmp:
        workload(0.1)  # warm-up: imports, caches
        events = count_events(args.scale)
        for _ in range(args.repeats):
            for name, mode in MODES:  # interleaved, so drift hits every mode alike
                best[name] = min(best[name], mode(args.scale, tmp))

    base = best["untraced"]
    per_event = {name: (best[name] - base) / events * 1e6 for name, _ in MODES}
    clock = "process CPU time" if args.cpu else "wall-clock time"
    print(f"Python {sys.version.split()[0]}, {clock}, best of {args.repeats}, {events:,} frame events")
    print(f"{'mode':34} {'seconds':>9} {'x untraced':>11} {'us/event':>9}")
    for name, _ in MODES:
        print(f"{name:34} {best[name]:9.4f} {best[name] / base:11.2f} {per_event[name]:9.3f}")
    monitor = per_event[MONITOR]
    print()
    print(f"python tracer / vesh monitor:           {per_event[PYTHON] / monitor:5.2f}x  (goal >= 3)")
    if VIZ_VALUES in per_event:
        print(f"viztracer args+retval / vesh monitor:   {per_event[VIZ_VALUES] / monitor:5.2f}x  (goal >= 2)")
    print(f"profile hook / vesh monitor:            {per_event[HOOK] / monitor:5.2f}x  (goal <= 1.5)")
    print(f"not recorded, once disabled:            {best[NOT_RECORDED] / base - 1:6.1%} (goal < 5%)")


if __name__ == "__main__":
    main()
