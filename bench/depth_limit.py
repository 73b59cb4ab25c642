"""Cost of a recorded call whose argument is a list nested N deep, on both
recorders, beside one nested just inside the encoder's depth limit.

    PYTHONPATH=python python bench/depth_limit.py [--repeats 5] [DEPTH ...]

Nested 2-lists are linked chains, common in real programs. A value past the
limit is left out of its record (said once per location); finding that out
should cost about what encoding a value up to the limit costs, whatever the
value's real depth. Prints the best of --repeats runs of (recorded -
unrecorded) / calls per depth, and each depth's cost over the cost just
inside the limit.

Goal: every depth past the limit within 3x of the one just inside it.
"""

from __future__ import annotations

import argparse
import logging
import os
import sys
import tempfile
import time

import msgpack

from vesh import monitoring
from vesh.profiler import Profiler

# A chain that deep holds far more than a recorded call: the default
# recursion limit is the program's, not the recorder's.
sys.setrecursionlimit(100_000)
logging.disable(logging.WARNING)

# The deepest list the encoder takes whole (the limit follows msgpack's own).
INSIDE = 1000 if msgpack.version >= (1, 2) else 500


def nested(depth):
    value = []
    for _ in range(depth):
        value = [value, 1]
    return value


def takes(value):
    return 1


def loop(value, calls):
    for _ in range(calls):
        takes(value)


def timed(kind, db, value, calls):
    began = time.perf_counter()
    if kind == "monitor":
        monitor = monitoring.start(db, {})
        try:
            loop(value, calls)
        finally:
            monitoring.stop(monitor, save=False)
    elif kind == "profile hook":
        profiler = Profiler(db, {})
        profiler.start()
        try:
            loop(value, calls)
        finally:
            profiler.stop()
    else:
        loop(value, calls)
    return time.perf_counter() - began


def main():
    parser = argparse.ArgumentParser(description=__doc__.strip().splitlines()[0])
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("depths", nargs="*", type=int, default=[2, 500, 600, 3000, 30000])
    args = parser.parse_args()
    depths = sorted(set(args.depths) | {INSIDE})
    worst = 0.0
    with tempfile.TemporaryDirectory() as tmp:
        db = os.path.join(tmp, "vesh.db")
        for kind in ("monitor", "profile hook"):
            costs = {}
            for depth in depths:
                value = nested(depth)
                calls = 1000 if depth <= INSIDE else 200
                best = min(timed(kind, db, value, calls) for _ in range(args.repeats))
                base = min(timed("none", db, value, calls) for _ in range(args.repeats))
                costs[depth] = (best - base) / calls
            for depth in depths:
                ratio = costs[depth] / costs[INSIDE]
                if depth > INSIDE:
                    worst = max(worst, ratio)
                note = " (the limit)" if depth == INSIDE else ""
                print(f"{kind:<13} depth {depth:>6}: {costs[depth] * 1e6:9.1f} us/call  {ratio:5.2f}x{note}")
    print(f"\nworst past the limit / just inside: {worst:.2f}x  (goal <= 3)")


if __name__ == "__main__":
    main()
