"""What a large value in scope costs: a list of --items ints is handed to a
small function --calls times, recorded by each of vesh's recorders with the
default value budget and with `max_value_mb` set small, side by side with
the untraced calls in the same run.

    PYTHONPATH=python python bench/large_value.py [--items 5000000] [--calls 5] [--mb 1]

Every event of a recorded frame writes that frame's locals and the event's
value, so the list is encoded again in each call and return record of the
function and of the function that holds it. Each row gives the time per
call (the save included), the trace's size on disk and its size per record.
Goal: with `max_value_mb` small the list costs a truncation marker per
record, not its whole encoding.
"""

from __future__ import annotations

import argparse
import os
import tempfile
import time

from vesh import monitoring
from vesh.profiler import Profiler


def measure(data):
    return len(data)


def drive(data, calls):
    for _ in range(calls):
        measure(data)


def trace_bytes(db):
    raw = os.path.join(os.path.dirname(db), "raw")
    total = os.path.getsize(db) if os.path.exists(db) else 0
    if os.path.isdir(raw):
        total += sum(os.path.getsize(os.path.join(raw, name)) for name in os.listdir(raw))
    return total


def run(kind, data, calls, config, workdir):
    db = os.path.join(tempfile.mkdtemp(dir=workdir), "vesh.db")
    started = time.perf_counter()
    if kind == "untraced":
        drive(data, calls)
    elif kind == "monitor":
        monitor = monitoring.start(db, config)
        try:
            drive(data, calls)
        finally:
            monitoring.stop(monitor)
    else:
        profiler = Profiler(db, config)
        profiler.start()
        try:
            drive(data, calls)
        finally:
            profiler.stop()
        profiler.save()
    return time.perf_counter() - started, trace_bytes(db)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--items", type=int, default=5_000_000)
    parser.add_argument("--calls", type=int, default=5)
    parser.add_argument("--mb", type=float, default=1.0, help="the small max_value_mb")
    args = parser.parse_args()
    data = list(range(args.items))
    records = 2 * (args.calls + 1)  # each call of measure and of drive: its call and its return
    print(f"a list of {args.items:,} ints handed to a function {args.calls} times ({records} records when recorded)")
    print(f"{'recorder':<34}{'ms per call':>12}{'trace MB':>10}{'MB/record':>11}")
    with tempfile.TemporaryDirectory() as workdir:
        for kind, config, label in (
            ("untraced", {}, "untraced"),
            ("monitor", {}, "monitor, default budget (64 MiB)"),
            ("monitor", {"max_value_mb": args.mb}, f"monitor, max_value_mb {args.mb:g}"),
            ("profile", {}, "profile hook, default budget"),
            ("profile", {"max_value_mb": args.mb}, f"profile hook, max_value_mb {args.mb:g}"),
        ):
            seconds, size = run(kind, data, args.calls, config, workdir)
            per_record = "" if kind == "untraced" else f"{size / records / 1e6:11.3f}"
            print(f"{label:<34}{seconds / args.calls * 1e3:12.1f}{size / 1e6:10.2f}{per_record:>11}")


if __name__ == "__main__":
    main()
