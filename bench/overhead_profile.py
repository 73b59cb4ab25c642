"""Overhead of vesh's profile-hook recorder beside cProfile.

One workload (call-heavy recursion, a method-heavy object loop and a JSON
round trip through the standard library) runs untraced, under cProfile and
under vesh's profiler (`vesh.profiler.Profiler`, recording every call and
return of the workload's own frames with their arguments, locals and return
values into a streamed trace). Each is timed as the best of several runs;
the output gives each overhead as a ratio to the untraced run and vesh's
ratio to cProfile. Saving the trace is timed on its own.

    PYTHONPATH=python python bench/overhead_profile.py [--repeat N] [--scale S]
"""

from __future__ import annotations

import argparse
import cProfile
import json
import os
import sys
import tempfile
import threading
import time

from vesh.profiler import Profiler


# --- workload ---------------------------------------------------------------


def fib(n):
    if n < 2:
        return n
    return fib(n - 1) + fib(n - 2)


class Counter:
    def __init__(self):
        self.total = 0

    def add(self, value):
        self.total += value
        return self.total

    def scaled(self, factor):
        return self.total * factor


def object_loop(n):
    counter = Counter()
    for i in range(n):
        counter.add(i)
        counter.scaled(2)
    return counter.total


def json_round_trip(n):
    doc = {"items": [{"id": i, "name": f"item{i}", "tags": ["a", "b"]} for i in range(n)]}
    return len(json.loads(json.dumps(doc))["items"])


def workload(scale):
    fib(16 + scale)
    object_loop(4000 * (scale + 1))
    json_round_trip(500 * (scale + 1))


# --- runners ------------------------------------------------------------------


def best_of(repeat, run):
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        run()
        best = min(best, time.perf_counter() - start)
    return best


def run_untraced(scale):
    workload(scale)


def run_cprofile(scale):
    profile = cProfile.Profile()
    profile.enable()
    try:
        workload(scale)
    finally:
        profile.disable()


class VeshRun:
    def __init__(self, directory):
        self.directory = directory
        self.profilers = []

    def __call__(self, scale):
        profiler = Profiler(os.path.join(self.directory, "bench.db"), {"flush_subtree_mb": None},
                            source="bench")
        profiler.start()
        try:
            workload(scale)
        finally:
            profiler.stop()
        self.profilers.append(profiler)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--scale", type=int, default=2)
    args = parser.parse_args()

    with tempfile.TemporaryDirectory() as directory:
        vesh_run = VeshRun(directory)
        results = {
            "untraced": best_of(args.repeat, lambda: run_untraced(args.scale)),
            "cProfile": best_of(args.repeat, lambda: run_cprofile(args.scale)),
            "vesh profiler": best_of(args.repeat, lambda: vesh_run(args.scale)),
        }
        save_start = time.perf_counter()
        for profiler in vesh_run.profilers:
            profiler.save()
        save_time = (time.perf_counter() - save_start) / max(len(vesh_run.profilers), 1)

    base = results["untraced"]
    print(f"Python {sys.version.split()[0]}, best of {args.repeat}, scale {args.scale}")
    for name, seconds in results.items():
        print(f"  {name:<14} {seconds * 1000:9.2f} ms   x{seconds / base:6.2f} of untraced")
    vesh_overhead = results["vesh profiler"] - base
    cprofile_overhead = results["cProfile"] - base
    if cprofile_overhead > 0:
        print(f"  vesh profiler overhead / cProfile overhead: {vesh_overhead / cprofile_overhead:.2f}")
    print(f"  vesh save (per trace): {save_time * 1000:.2f} ms")
    threading.setprofile(None)


if __name__ == "__main__":
    main()
