"""Records an example program with vesh's profile-hook recorder into a
SQLite trace database and prints the trace id and the trace file's path and
size.

    python scripts/record-example-profile.py [DIRECTORY] [--program PATH]

The database is DIRECTORY/vesh.db (a new temporary directory by default);
trace files go to its "raw" directory. PATH defaults to
examples/inventory.py. Threads the program starts are recorded too.
"""

from __future__ import annotations

import argparse
import pathlib
import runpy
import sys
import tempfile

from vesh.profiler import Profiler

ROOT = pathlib.Path(__file__).resolve().parent.parent
EXAMPLE = ROOT / "examples" / "inventory.py"


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(description=__doc__.strip().splitlines()[0])
    parser.add_argument("directory", nargs="?", type=pathlib.Path)
    parser.add_argument("--program", type=pathlib.Path, default=EXAMPLE)
    args = parser.parse_args(argv)
    if not args.program.is_file():
        print(f"no program to record at {args.program}", file=sys.stderr)
        return 2
    directory = args.directory or pathlib.Path(tempfile.mkdtemp(prefix="vesh-example-"))
    directory.mkdir(parents=True, exist_ok=True)
    db_path = directory / "vesh.db"

    profiler = Profiler(db_path, {"threading": True}, source="scripts/run-example-profile.sh",
                        trace_name=f"{args.program.stem} example")
    with profiler:
        runpy.run_path(str(args.program), run_name="__main__")
    profiler.save()

    rust = profiler.rust_profiler
    trace_id = rust.trace_id
    trace_file = db_path.parent / "raw" / f"{trace_id}.vesh"
    size = trace_file.stat().st_size if trace_file.exists() else None
    print(f"trace id:   {trace_id}")
    print(f"trace file: {trace_file}" + ("" if size is not None else " (not written)"))
    if size is not None:
        print(f"size:       {size} bytes")
    print(f"database:   {db_path}")
    return 0 if size is not None and not rust.panicked else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
