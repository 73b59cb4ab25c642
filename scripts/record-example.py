"""Records an example program with vesh into a SQLite trace database and
prints the trace id and the trace file's path and size.

    python scripts/record-example.py [DIRECTORY] [--profile] [--program PATH]

The database is DIRECTORY/vesh.db (a new temporary directory by default);
trace files go to its "raw" directory. PATH defaults to examples/inventory.py.
By default the program is recorded with the sys.monitoring recorder;
--profile records it through the interpreter's profile hook instead (threads
the program starts are recorded too).
"""

from __future__ import annotations

import argparse
import pathlib
import runpy
import sqlite3
import sys
import tempfile
from contextlib import closing

ROOT = pathlib.Path(__file__).resolve().parent.parent
EXAMPLE = ROOT / "examples" / "inventory.py"


def record_with_monitor(db_path: pathlib.Path, program: pathlib.Path) -> tuple[str, bool]:
    from vesh import monitoring

    with monitoring.session(db_path, {}, source="scripts/run-example.sh", name=f"{program.stem} example") as monitor:
        runpy.run_path(str(program), run_name="__main__")
    return monitor.trace_id, monitor.panicked


def record_with_profiler(db_path: pathlib.Path, program: pathlib.Path) -> tuple[str, bool]:
    from vesh.profiler import Profiler

    profiler = Profiler(db_path, {"threading": True}, source="scripts/run-example.sh --profile",
                        trace_name=f"{program.stem} example")
    with profiler:
        runpy.run_path(str(program), run_name="__main__")
    profiler.save()
    native = profiler.rust_profiler
    return native.trace_id, native.panicked


def stored_file(db_path: pathlib.Path, trace_id: str) -> pathlib.Path | None:
    """The file that the database keeps the trace's container in, if any."""
    from vesh import db

    if not db_path.exists():
        return None
    with closing(sqlite3.connect(db_path)) as conn:
        row = conn.execute("SELECT raw_file FROM trace_containers WHERE trace_id = ? AND raw_file IS NOT NULL"
                           " ORDER BY id DESC", (trace_id,)).fetchone()
    return db.raw_directory(db_path) / row[0] if row else None


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(description=__doc__.strip().splitlines()[0])
    parser.add_argument("directory", nargs="?", type=pathlib.Path)
    parser.add_argument("--profile", action="store_true", help="record through the profile hook")
    parser.add_argument("--program", type=pathlib.Path, default=EXAMPLE)
    args = parser.parse_args(argv)
    if not args.program.is_file():
        print(f"no program to record at {args.program}", file=sys.stderr)
        return 2
    directory = args.directory or pathlib.Path(tempfile.mkdtemp(prefix="vesh-example-"))
    directory.mkdir(parents=True, exist_ok=True)
    db_path = directory / "vesh.db"

    record = record_with_profiler if args.profile else record_with_monitor
    trace_id, panicked = record(db_path, args.program)
    trace_file = stored_file(db_path, trace_id)
    size = trace_file.stat().st_size if trace_file is not None and trace_file.exists() else None
    print(f"trace id:   {trace_id}")
    print(f"trace file: {trace_file}" + ("" if size is not None else " (not stored)"))
    if size is not None:
        print(f"size:       {size} bytes")
    print(f"database:   {db_path}")
    return 0 if size is not None and not panicked else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
