"""Reading back what vesh.db stored: every row of a trace database with its
container's bytes, taken from the row or, for a container kept as a file
under raw/ (one over SQLite's blob limit), from that file."""

from __future__ import annotations

import sqlite3
from contextlib import closing

from vesh import db


def stored_rows(db_path) -> list[tuple[str, str, bytes]]:
    """(trace id, origin, container bytes) of every stored row, oldest
    first. A row must hold its container or name its file, never both."""
    with closing(sqlite3.connect(db_path)) as conn:
        rows = conn.execute("SELECT trace_id, origin, container, raw_file FROM trace_containers ORDER BY id").fetchall()
    raw = db.raw_directory(db_path)
    out = []
    for trace_id, origin, container, raw_file in rows:
        if raw_file is None:
            assert container, f"a row of {trace_id} holds no container and names no file"
            out.append((trace_id, origin, bytes(container)))
        else:
            assert not container, f"a row of {trace_id} names {raw_file} and holds a container too"
            out.append((trace_id, origin, (raw / raw_file).read_bytes()))
    return out
