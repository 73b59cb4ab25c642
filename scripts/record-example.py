"""Records examples/inventory.py with vesh's monitor into a SQLite trace
database and prints the trace id and the trace file's path and size.

    python scripts/record-example.py [DIRECTORY]

The database is DIRECTORY/vesh.db (a new temporary directory by default);
trace files go to its "raw" directory.
"""

from __future__ import annotations

import pathlib
import runpy
import sys
import tempfile

from vesh import monitoring

ROOT = pathlib.Path(__file__).resolve().parent.parent
EXAMPLE = ROOT / "examples" / "inventory.py"


def main(argv: list[str]) -> int:
    if len(argv) > 1:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    directory = pathlib.Path(argv[0]) if argv else pathlib.Path(tempfile.mkdtemp(prefix="vesh-example-"))
    directory.mkdir(parents=True, exist_ok=True)
    db_path = directory / "vesh.db"
    with monitoring.session(db_path, {}, source="scripts/run-example.sh", name="inventory example") as monitor:
        runpy.run_path(str(EXAMPLE), run_name="__main__")
    trace_id = monitor.trace_id
    trace_file = db_path.parent / "raw" / f"{trace_id}.vesh"
    size = trace_file.stat().st_size if trace_file.exists() else None
    print(f"trace id:   {trace_id}")
    print(f"trace file: {trace_file}" + ("" if size is not None else " (not written)"))
    if size is not None:
        print(f"size:       {size} bytes")
    print(f"database:   {db_path}")
    return 0 if size is not None else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
