"""The vesh.db stand-in: streamed containers kept as files of their own,
containers built in memory copied into SQLite."""

import logging
import sqlite3
import struct
import zlib
from pathlib import Path

import pytest

from stored_traces import stored_rows
from vesh import db


def container(tag: bytes) -> bytes:
    """A byte string shaped like a whole container (magics and footer length)."""
    body = b"VESHTRC3" + bytes(16) + tag
    total = len(body) + 32
    footer = struct.pack("<8sQQ", b"VESHEND3", 24, total)
    return body + footer + struct.pack("<II", zlib.crc32(footer), 0)


@pytest.mark.parametrize(
    "db_name, raw",
    [("data/trace.db", "data/raw"), ("trace.db", "raw"), ("", "raw"), ("/", "raw")],
)
def test_raw_directory(db_name, raw):
    assert db.raw_directory(db_name) == Path(raw)


def test_streamed_saves_reusing_an_id_keep_every_part(tmp_path):
    db_path = tmp_path / "trace.db"
    raw = tmp_path / "raw"
    raw.mkdir()
    final = raw / "trc_A.vesh"
    final.write_bytes(container(b"first"))
    db._save_trace_metadata("trc_A", db_path=db_path, ignore_errors=False, created_at=None, timeout=5)
    # A second save of the same id finishes onto the same file name.
    final.write_bytes(container(b"second"))
    db._save_trace_metadata("trc_A", db_path=db_path, ignore_errors=True, created_at=None, timeout=5)
    assert stored_rows(db_path) == [
        ("trc_A", "file", container(b"first")),
        ("trc_A", "file", container(b"second")),
    ]
    # Each is kept by renaming its file, under a name a later save cannot take.
    assert not final.exists() and len(list(raw.iterdir())) == 2


def test_in_memory_containers(tmp_path):
    db_path = tmp_path / "sub" / "trace.db"
    db.save_v3_trace_chunks("trc_B", (container(b"x"),), db_path=db_path, ignore_errors=True, timeout=5)
    db.save_v3_trace_chunks("trc_B", [container(b"y")[:10], container(b"y")[10:]], db_path=db_path,
                            ignore_errors=True, timeout=5)
    assert stored_rows(db_path) == [("trc_B", "bytes", container(b"x")), ("trc_B", "bytes", container(b"y"))]


def test_in_memory_containers_over_the_blob_limit_are_kept_as_files(tmp_path, monkeypatch):
    db_path = tmp_path / "trace.db"
    small, large = container(b"s"), container(b"L" * 500)
    monkeypatch.setattr(db, "BLOB_LIMIT", len(small))
    for data in (small, large, large):
        db.save_v3_trace_chunks("trc_E", (data,), db_path=db_path, ignore_errors=False, timeout=5)
    assert stored_rows(db_path) == [("trc_E", "bytes", small), ("trc_E", "bytes", large), ("trc_E", "bytes", large)]
    # Each large part has a file of its own, which later saves do not replace.
    assert len([p for p in (tmp_path / "raw").iterdir() if p.name.startswith("trc_E.")]) == 2


def test_a_database_made_before_file_rows_takes_them(tmp_path, monkeypatch):
    db_path = tmp_path / "trace.db"
    with sqlite3.connect(db_path) as conn:
        conn.execute("CREATE TABLE trace_containers (id INTEGER PRIMARY KEY AUTOINCREMENT, trace_id TEXT NOT NULL,"
                     " created_at REAL NOT NULL, origin TEXT NOT NULL, container BLOB NOT NULL)")
    monkeypatch.setattr(db, "BLOB_LIMIT", 10)
    db.save_v3_trace_chunks("trc_F", (container(b"f"),), db_path=db_path, ignore_errors=False, timeout=5)
    assert stored_rows(db_path) == [("trc_F", "bytes", container(b"f"))]


def test_created_at_is_kept(tmp_path):
    db_path = tmp_path / "trace.db"
    (tmp_path / "raw").mkdir()
    (tmp_path / "raw" / "trc_C.vesh").write_bytes(container(b""))
    db._save_trace_metadata("trc_C", db_path=db_path, ignore_errors=False, created_at=123.5, timeout=5)
    with sqlite3.connect(db_path) as conn:
        assert conn.execute("SELECT created_at FROM trace_containers").fetchall() == [(123.5,)]


@pytest.mark.parametrize("trace_id", ["../evil", "a/b", "x\0y", "..", "", "trc_..x"])
def test_trace_ids_that_leave_the_raw_directory_are_refused(tmp_path, trace_id):
    db_path = tmp_path / "trace.db"
    for call in (
        lambda: db._save_trace_metadata(trace_id, db_path=db_path, ignore_errors=True, created_at=None, timeout=5),
        lambda: db.save_v3_trace_chunks(trace_id, (container(b""),), db_path=db_path, ignore_errors=True, timeout=5),
    ):
        with pytest.raises(ValueError, match="invalid trace id"):
            call()
    assert not db_path.exists()


@pytest.mark.parametrize(
    "content, error",
    [(None, FileNotFoundError), (b"garbage", ValueError), (container(b"torn")[:-1], ValueError)],
)
def test_missing_or_torn_files(tmp_path, caplog, content, error):
    db_path = tmp_path / "trace.db"
    (tmp_path / "raw").mkdir()
    if content is not None:
        (tmp_path / "raw" / "trc_D.vesh").write_bytes(content)
    with pytest.raises(error):
        db._save_trace_metadata("trc_D", db_path=db_path, ignore_errors=False, created_at=None, timeout=5)
    with caplog.at_level(logging.WARNING, logger="vesh"):
        db._save_trace_metadata("trc_D", db_path=db_path, ignore_errors=True, created_at=None, timeout=5)
    assert "Failed to save trace trc_D" in caplog.text
    assert not db_path.exists() or stored_rows(db_path) == []


def test_argument_types(tmp_path):
    db_path = tmp_path / "trace.db"
    with pytest.raises(TypeError):
        db.save_v3_trace_chunks(b"trc", (container(b""),), db_path=db_path, ignore_errors=True, timeout=5)
    with pytest.raises(TypeError):
        db.save_v3_trace_chunks("trc", ("text",), db_path=db_path, ignore_errors=True, timeout=5)
    with pytest.raises(TypeError):
        db.save_v3_trace_chunks("trc", (container(b""),), db_path=db_path, ignore_errors=True, timeout="5")


def test_version_and_commit(tmp_path):
    from vesh import git, version

    assert isinstance(version.__version__, str)
    assert git.COMMIT_SHA is None or len(git.COMMIT_SHA) in (40, 64)
    assert git.read_commit_sha(str(tmp_path)) is None


@pytest.mark.parametrize("packed", [False, True])
def test_commit_from_repository_files(tmp_path, packed):
    from vesh import git

    sha = "0123456789abcdef0123456789abcdef01234567"
    gitdir = tmp_path / "repo" / ".git"
    (gitdir / "refs" / "heads").mkdir(parents=True)
    (gitdir / "HEAD").write_text("ref: refs/heads/main\n")
    if packed:
        (gitdir / "packed-refs").write_text(f"# pack-refs with: peeled\n{sha} refs/heads/main\n")
    else:
        (gitdir / "refs" / "heads" / "main").write_text(sha + "\n")
    sub = tmp_path / "repo" / "pkg"
    sub.mkdir()
    assert git.read_commit_sha(str(sub)) == sha
    (gitdir / "HEAD").write_text(sha[::-1] + "\n")
    assert git.read_commit_sha(str(sub)) == sha[::-1]
