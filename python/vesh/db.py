"""The trace database: finished "v3" trace containers kept in SQLite.

The native recorder hands over every trace it saves in one of two ways:

* a streamed trace is written by the recorder into a file of its own,
  ``raw/<stem>.<unique>.vesh`` beside the database, and then announced
  with `_save_trace_metadata`, which is given that name (the stem is the
  trace id, or for an id too long or odd to name a file, a cut of it and a
  digest: see `_file_stem`);
* a trace held in memory arrives as the container bytes themselves through
  `save_v3_trace_chunks`.

A streamed trace's file is kept as it is, under the name it was finished
with; its row names that file in ``raw_file`` (relative to the raw
directory) with an empty ``container``. Copying it into the database would
store every streamed trace twice, and would need its size again in free
space just when the recorder stopped short of a full disk. Several saves may
reuse one trace id (per-test traces, repeated saves of one recorder, many
processes given one id), so no save's file passes through a name that
another save may use, and no file is renamed over another: a save that
fails, say on a locked database, keeps its file where its warning says.
A caller that names no file announces ``raw/<trace_id>.vesh``, which is
first linked to a name of its own.

A container built in memory is copied into the row, unless it is larger
than SQLite keeps in one value (`BLOB_LIMIT`, or the connection's own length
limit when that is smaller): it is then written to a file of its own under
``raw/`` in the same way. Readers take the container from the file when
``raw_file`` is set.

A trace point (the records of one call of a function named under
``trace_points.on_return``) is stored with `save_trace_point` as a trace of
its own, whose metadata names the trace it was cut from as its root.
"""

from __future__ import annotations

import logging
import os
import sqlite3
import struct
import sys
import threading
import time
import uuid
import zlib
from contextlib import closing
from pathlib import Path

import msgpack

__all__ = ["_save_trace_metadata", "save_v3_trace_chunks", "save_trace_point", "raw_directory", "BLOB_LIMIT"]

logger = logging.getLogger("vesh")

_PREAMBLE_MAGIC = b"VESHTRC3"
_RECORD_MAGIC = b"VR3\0"
_FOOTER_MAGIC = b"VESHEND3"
_FOOTER = struct.Struct("<8sQQII")
_PREAMBLE_TAIL = struct.Struct("<HBBIII")
_RECORD_FIELDS = struct.Struct("<IQIIII")

# SQLite's default limit on the length of one value.
BLOB_LIMIT = 1_000_000_000

_SCHEMA = """
CREATE TABLE IF NOT EXISTS trace_containers (
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    trace_id TEXT NOT NULL,
    created_at REAL NOT NULL,
    origin TEXT NOT NULL CHECK (origin IN ('file', 'bytes')),
    container BLOB NOT NULL,
    raw_file TEXT
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


_STEM_LIMIT = 64
_STEM_CUT = 40
_PLAIN = frozenset("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_-")


def _file_stem(trace_id: str) -> str:
    """The part of a trace file's name taken from `trace_id`, as the recorder
    makes it: the id when it is a short plain name, else its first characters
    (other bytes made "_"), "-" and a 64-bit FNV-1a digest of the whole id.
    Never longer than 64 bytes nor starting with ".", so that with the
    suffixes it stays within any filesystem's name limit."""
    data = trace_id.encode("utf-8", "surrogateescape")
    if len(data) <= _STEM_LIMIT and not trace_id.startswith(".") and set(trace_id) <= _PLAIN | {"."}:
        return trace_id
    digest = 0xCBF29CE484222325
    for byte in data:
        digest = ((digest ^ byte) * 0x100000001B3) & 0xFFFFFFFFFFFFFFFF
    cut = "".join(chr(b) if chr(b) in _PLAIN else "_" for b in data[:_STEM_CUT])
    return f"{cut}-{digest:016x}"


def _check_container(head: bytes, tail: bytes, size: int) -> None:
    """Refuses a container that is not whole (a torn or foreign file), given
    its first 24 bytes, its last 32 and its size."""
    if size < 24 + _FOOTER.size or not head.startswith(_PREAMBLE_MAGIC):
        raise ValueError("not a v3 trace container")
    magic, _index_offset, total, _crc, _zero = _FOOTER.unpack(tail)
    if magic != _FOOTER_MAGIC or total != size:
        raise ValueError("incomplete v3 trace container")


def _blob_limit(conn: sqlite3.Connection) -> int:
    return min(BLOB_LIMIT, conn.getlimit(sqlite3.SQLITE_LIMIT_LENGTH))


def _store(trace_id: str, source: bytes | Path, origin: str, db_path: Path, created_at: float | None,
           timeout: float, shared: bool = False) -> None:
    """Stores the container `source`: its bytes, kept inline unless they are
    too large, or the path of its file under raw/, which the row names. A
    file whose name other saves may use (`shared`), and bytes too large, get
    a file of their own first. No file is ever replaced."""
    if created_at is None:
        created_at = time.time()
    if isinstance(source, Path):
        with open(source, "rb") as file:
            size = os.fstat(file.fileno()).st_size
            head = file.read(24)
            file.seek(max(size - _FOOTER.size, 0))
            tail = file.read(_FOOTER.size)
    else:
        size, head, tail = len(source), source[:24], source[-_FOOTER.size:]
    _check_container(head, tail, size)
    db_path.parent.mkdir(parents=True, exist_ok=True)
    with closing(sqlite3.connect(db_path, timeout=timeout)) as conn:
        with conn:
            conn.executescript(_SCHEMA)
            if "raw_file" not in {row[1] for row in conn.execute("PRAGMA table_info(trace_containers)")}:
                conn.execute("ALTER TABLE trace_containers ADD COLUMN raw_file TEXT")
        insert = ("INSERT INTO trace_containers (trace_id, created_at, origin, container, raw_file)"
                  " VALUES (?, ?, ?, ?, ?)")
        if not isinstance(source, Path) and size <= _blob_limit(conn):
            with conn:
                conn.execute(insert, (trace_id, float(created_at), origin, sqlite3.Binary(source), None))
            return
        if isinstance(source, Path) and not shared:
            with conn:
                conn.execute(insert, (trace_id, float(created_at), origin, b"", source.name))
            return
        raw_file = f"{_file_stem(trace_id)}.{uuid.uuid4().hex}.vesh"
        kept = raw_directory(db_path) / raw_file
        if isinstance(source, Path):
            # A link refuses a name that is taken, and leaves the shared name
            # in place until the row naming the new one is stored.
            os.link(source, kept)
        else:
            kept.parent.mkdir(parents=True, exist_ok=True)
            try:
                with open(kept, "xb") as file:
                    file.write(source)
            except BaseException:
                kept.unlink(missing_ok=True)
                raise
        try:
            with conn:
                conn.execute(insert, (trace_id, float(created_at), origin, b"", raw_file))
        except BaseException:
            # Nothing refers to the new name: a streamed trace keeps the one it came with.
            kept.unlink(missing_ok=True)
            raise
        if isinstance(source, Path):
            source.unlink()


def _timeout(value: object) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError(f"timeout must be a number, not {type(value).__name__}")
    return float(value)


def _save_trace_metadata(trace_id, *, db_path, ignore_errors=False, created_at=None, timeout=60, raw_file=None):
    """Stores a finished container file of the trace `trace_id` of `db_path`.

    `raw_file` is the file's name in the raw directory, one that no other
    save uses: the row names it as it is. Without it the file is
    ``raw/<trace_id>.vesh``, a name every save of the id may finish onto,
    and it is stored under a name of its own. A file that could not be
    stored stays where it was. With `ignore_errors` a failure to read the
    file or to write the database is logged, naming the file, instead of
    raised.
    """
    trace_id = _check_trace_id(trace_id)
    db_path = Path(db_path)
    timeout = _timeout(timeout)
    shared = raw_file is None
    name = f"{trace_id}.vesh" if shared else _check_raw_file(raw_file)
    _store_or_log(trace_id, raw_directory(db_path) / name, "file", db_path, created_at, timeout, ignore_errors,
                  shared)


def _check_raw_file(raw_file: object) -> str:
    if not isinstance(raw_file, str):
        raise TypeError(f"raw file must be a str, not {type(raw_file).__name__}")
    # A finished trace's own name inside the raw directory; names starting
    # with "." are the recorder's unfinished files (and "." and "..").
    if not raw_file or "/" in raw_file or "\0" in raw_file or raw_file.startswith("."):
        raise ValueError(f"invalid raw file {raw_file!r}: it must be a file name in the raw directory")
    return raw_file


def save_v3_trace_chunks(trace_id, chunks, *, db_path, ignore_errors=True, timeout=60):
    """Stores a container built in memory; `chunks` are its bytes in order."""
    trace_id = _check_trace_id(trace_id)
    db_path = Path(db_path)
    timeout = _timeout(timeout)
    parts = list(chunks)
    for part in parts:
        if not isinstance(part, (bytes, bytearray, memoryview)):
            raise TypeError(f"container chunks must be bytes, not {type(part).__name__}")
    _store_or_log(trace_id, b"".join(parts), "bytes", db_path, None, timeout, ignore_errors)


def _store_or_log(trace_id, source, origin, db_path, created_at, timeout, ignore_errors, shared=False):
    """Stores the container `source`; a failure is raised, or only logged
    when `ignore_errors` is set."""
    try:
        _store(trace_id, source, origin, db_path, created_at, timeout, shared)
    except (OSError, sqlite3.Error, ValueError) as exc:
        if not ignore_errors:
            raise
        if isinstance(source, Path) and source.exists():
            # The trace is not lost: say where it is.
            logger.warning("Failed to save trace %s; its file is kept at %s", trace_id, source, exc_info=exc)
        else:
            logger.warning("Failed to save trace %s", trace_id, exc_info=exc)


# ---------------------------------------------------------------------------
# Trace points

_KIND_CHUNK, _KIND_THREAD, _KIND_METADATA, _KIND_INDEX, _KIND_VALUE = 1, 2, 3, 4, 5
_CHUNK_TARGET = 512 * 1024


def _leb128(value: int) -> bytes:
    out = bytearray()
    while True:
        byte = value & 0x7F
        value >>= 7
        if not value:
            out.append(byte)
            return bytes(out)
        out.append(byte | 0x80)


class _ContainerWriter:
    """Builds one v3 container in memory, record by record."""

    def __init__(self, trace_id: str, timestamp: float):
        header = msgpack.packb({"trace_id": trace_id, "timestamp": float(timestamp)}, use_single_float=False)
        self.out = bytearray(_PREAMBLE_MAGIC)
        self.out += _PREAMBLE_TAIL.pack(3, 2, 0, 0, len(header), zlib.crc32(header))
        self.out += header
        self.index = []

    def record(self, kind: int, token: int, record_id: int, count: int, body: bytes) -> None:
        body_crc = 0 if kind == _KIND_CHUNK else zlib.crc32(body)
        head = _RECORD_MAGIC + bytes([kind, 0, 0, 0])
        head += _RECORD_FIELDS.pack(token, record_id, count, len(body), len(body), body_crc)
        self.index.append([kind, len(self.out), len(body), token, record_id, count])
        self.out += head + struct.pack("<I", zlib.crc32(head)) + body

    def finish(self, layouts: dict[int, list[list[int]]]) -> bytes:
        index_offset = len(self.out)
        body = msgpack.packb({"records": self.index, "threads": layouts})
        self.record(_KIND_INDEX, 0, 0, len(self.index), body)
        total = len(self.out) + _FOOTER.size
        footer = struct.pack("<8sQQ", _FOOTER_MAGIC, index_offset, total)
        self.out += footer + struct.pack("<II", zlib.crc32(footer), 0)
        return bytes(self.out)


def _chunks(frames: list[bytes]) -> list[list[bytes]]:
    chunks, current, size = [], [], 0
    for frame in frames:
        current.append(frame)
        size += len(frame)
        if size >= _CHUNK_TARGET:
            chunks.append(current)
            current, size = [], 0
    if current:
        chunks.append(current)
    return chunks


def _thread_record(thread_key: str) -> bytes:
    # Trace points are stored on the thread that recorded them.
    thread = threading.current_thread()
    return msgpack.packb({
        "thread_id": thread_key,
        "name": thread.name,
        "ident": thread.ident,
        "native_id": thread.native_id,
        "daemon": thread.daemon,
        "is_alive": thread.is_alive(),
    })


def save_trace_point(thread_key, frames, co_name, *, db_path, source, parent_trace_id, config, values=(),
                     timeout=60) -> str:
    """Stores the records of one trace point (`frames`, encoded, in the order
    their thread recorded them) and the interned `values` they refer to
    ((id, bytes) pairs) as a trace of its own, named after the function
    `co_name`, and returns its trace id. Failures are raised."""
    from vesh import git, version
    from vesh.profiler import new_trace_id

    timeout = _timeout(timeout)
    trace_id = new_trace_id()
    timestamp = time.time()
    writer = _ContainerWriter(trace_id, timestamp)
    for value_id, encoded in values:
        writer.record(_KIND_VALUE, 0, value_id, 1, bytes(encoded))
    token = 1
    spans = []
    for seq, chunk in enumerate(_chunks([bytes(frame) for frame in frames])):
        body = b"".join(_leb128(len(frame)) for frame in chunk) + b"".join(chunk)
        writer.record(_KIND_CHUNK, token, seq, len(chunk), body)
        spans.append([seq, 0, len(chunk)])
    writer.record(_KIND_THREAD, token, 0, 1, _thread_record(thread_key))
    metadata = {
        "trace_id": trace_id,
        "trace_name": co_name,
        "current_thread_id": thread_key,
        "timestamp": timestamp,
        "current_commit_sha": git.COMMIT_SHA,
        "root_trace_id": parent_trace_id,
        "meta": {"version": version.__version__, "source": source, "environment": {}, "config": dict(config)},
        "command_line_args": list(sys.argv),
        "frames_of_interest": [],
        "frames": {},
    }
    writer.record(_KIND_METADATA, 0, 0, 1, msgpack.packb(metadata, default=repr))
    container = writer.finish({token: spans})
    _store(trace_id, container, "bytes", Path(db_path), timestamp, timeout)
    return trace_id
