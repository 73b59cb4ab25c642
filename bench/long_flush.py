"""Subtree flushing over a long run: one call that never returns makes many
small calls, recorded by each of vesh's recorders with flushing at a small
threshold and, side by side in the same run, with flushing off.

    PYTHONPATH=python python bench/long_flush.py [--calls 1500000] [--block 100000] [--mb 0.25]

Each row is one block of calls: its wall-clock time and the trace files the
block made. Goal: with flushing on, the late blocks cost about what the early
ones do (no block over 2x the first) and make about as many files; the
difference from flushing off is the flushes themselves.
"""

from __future__ import annotations

import argparse
import os
import sys
import tempfile
import time

from vesh import monitoring
from vesh.profiler import Profiler


def leaf(i):
    return i + 1


def run(kind, db, config, calls, block):
    """Per block of `block` calls: (seconds, trace files made)."""
    raw = os.path.join(os.path.dirname(db), "raw")
    rows = []

    def files():
        return len(os.listdir(raw)) if os.path.isdir(raw) else 0

    def main():
        made = files()
        started = time.perf_counter()
        for i in range(calls):
            leaf(i)
            if (i + 1) % block == 0:
                now, count = time.perf_counter(), files()
                rows.append((now - started, count - made))
                started, made = now, count
                if rows[-1][0] > 30 * rows[0][0] + 5:  # gone: say so rather than run for ever
                    return

    if kind == "monitor":
        monitor = monitoring.start(db, config)
        try:
            main()
        finally:
            monitoring.stop(monitor, save=False)
    else:
        profiler = Profiler(db, config)
        profiler.start()
        try:
            main()
        finally:
            profiler.stop()
    return rows


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=1_500_000)
    parser.add_argument("--block", type=int, default=100_000)
    parser.add_argument("--mb", type=float, default=0.25)
    args = parser.parse_args()
    print(f"Python {sys.version.split()[0]}, {args.calls} calls in blocks of {args.block}, flush at {args.mb} MiB")
    for kind in ("monitor", "profile hook"):
        results = {}
        for label, setting in (("flushing", args.mb), ("no flushing", False)):
            with tempfile.TemporaryDirectory() as tmp:
                results[label] = run(kind, os.path.join(tmp, "vesh.db"), {"flush_subtree_mb": setting},
                                     args.calls, args.block)
        print(f"\n{kind}\n{'calls':>10}  {'flushing s':>10}  {'files':>6}  {'no flushing s':>13}")
        on, off = results["flushing"], results["no flushing"]
        for n, (seconds, files) in enumerate(on):
            plain = f"{off[n][0]:13.2f}" if n < len(off) else ""
            print(f"{(n + 1) * args.block:>10}  {seconds:10.2f}  {files:>6}  {plain}")
        worst = max(seconds for seconds, _ in on) / on[0][0]
        done = len(on) * args.block >= args.calls
        print(f"worst block / first block: {worst:.2f}x (goal <= 2){'' if done else ' - stopped early'}")


if __name__ == "__main__":
    main()
