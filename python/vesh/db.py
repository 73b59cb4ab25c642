"""The trace database: finished "v3" trace containers kept in SQLite.

The native recorder hands over every trace it saves in one of two ways:

* a streamed trace is written by the recorder into ``raw/<trace_id>.vesh``
  beside the database, and then announced with `_save_trace_metadata`;
* a trace held in memory arrives as the container bytes themselves through
  `save_v3_trace_chunks`.

Either way the container's bytes are copied into the database when the call
is made. Several saves may reuse one trace id (per-test traces, repeated
saves of one recorder), and each streamed save finishes onto the same file
name, replacing the file of the save before it; taking the content at call
time, one row per save, keeps every part.
"""

from __future__ import annotations

import logging
import os
import sqlite3
import struct
import time
from contextlib import closing
from pathlib import Path

__all__ = ["_save_trace_metadata", "save_v3_trace_chunks", "raw_directory"]

logger = logging.getLogger("vesh")

_PREAMBLE_MAGIC = b"VESHTRC3"
_FOOTER_MAGIC = b"VESHEND3"
_FOOTER = struct.Struct("<8sQQII")

_SCHEMA = """
CREATE TABLE IF NOT EXISTS trace_containers (
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    trace_id TEXT NOT NULL,
    created_at REAL NOT NULL,
    origin TEXT NOT NULL CHECK (origin IN ('file', 'bytes')),
    container BLOB NOT NULL
);
CREATE INDEX IF NOT EXISTS trace_containers_by_trace ON trace_containers (trace_id, id);
"""


def raw_directory(db_path: os.PathLike | str) -> Path:
    """The directory that holds the trace files of the database `db_path`."""
    path = Path(db_path)
    parent = path.parent
    if parent == path:  # the filesystem root has no parent of its own
        parent = Path(".")
    return parent / "raw"


def _check_trace_id(trace_id: object) -> str:
    if not isinstance(trace_id, str):
        raise TypeError(f"trace id must be a str, not {type(trace_id).__name__}")
    # The id names a file inside the raw directory and nothing else.
    if not trace_id or "/" in trace_id or "\0" in trace_id or ".." in trace_id:
        raise ValueError(f"invalid trace id {trace_id!r}: it must be non-empty and contain no '/', NUL or '..'")
    return trace_id


def _check_container(data: bytes) -> None:
    """Refuses bytes that are not one whole container (a torn or foreign file)."""
    if len(data) < 24 + _FOOTER.size or not data.startswith(_PREAMBLE_MAGIC):
        raise ValueError("not a v3 trace container")
    magic, _index_offset, total, _crc, _zero = _FOOTER.unpack_from(data, len(data) - _FOOTER.size)
    if magic != _FOOTER_MAGIC or total != len(data):
        raise ValueError("incomplete v3 trace container")


def _store(trace_id: str, container: bytes, origin: str, db_path: Path, created_at: float | None,
           timeout: float) -> None:
    if created_at is None:
        created_at = time.time()
    db_path.parent.mkdir(parents=True, exist_ok=True)
    with closing(sqlite3.connect(db_path, timeout=timeout)) as conn:
        with conn:
            conn.executescript(_SCHEMA)
        with conn:
            conn.execute(
                "INSERT INTO trace_containers (trace_id, created_at, origin, container) VALUES (?, ?, ?, ?)",
                (trace_id, float(created_at), origin, sqlite3.Binary(container)),
            )


def _timeout(value: object) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError(f"timeout must be a number, not {type(value).__name__}")
    return float(value)


def _save_trace_metadata(trace_id, *, db_path, ignore_errors=False, created_at=None, timeout=60):
    """Stores the finished container file ``raw/<trace_id>.vesh`` of `db_path`.

    The file is read now: a later save under the same trace id may replace
    it. With `ignore_errors` a failure to read the file or to write the
    database is logged instead of raised.
    """
    trace_id = _check_trace_id(trace_id)
    db_path = Path(db_path)
    timeout = _timeout(timeout)
    _store_or_log(trace_id, lambda: (raw_directory(db_path) / f"{trace_id}.vesh").read_bytes(), "file", db_path,
                  created_at, timeout, ignore_errors)


def save_v3_trace_chunks(trace_id, chunks, *, db_path, ignore_errors=True, timeout=60):
    """Stores a container built in memory; `chunks` are its bytes in order."""
    trace_id = _check_trace_id(trace_id)
    db_path = Path(db_path)
    timeout = _timeout(timeout)
    parts = list(chunks)
    for part in parts:
        if not isinstance(part, (bytes, bytearray, memoryview)):
            raise TypeError(f"container chunks must be bytes, not {type(part).__name__}")
    data = b"".join(parts)
    _store_or_log(trace_id, lambda: data, "bytes", db_path, None, timeout, ignore_errors)


def _store_or_log(trace_id, read, origin, db_path, created_at, timeout, ignore_errors):
    """Stores the container that `read()` gives; a failure is raised, or only
    logged when `ignore_errors` is set."""
    try:
        data = read()
        _check_container(data)
        _store(trace_id, data, origin, db_path, created_at, timeout)
    except (OSError, sqlite3.Error, ValueError) as exc:
        if not ignore_errors:
            raise
        logger.warning("Failed to save trace %s", trace_id, exc_info=exc)
