"""The files streamed traces are finished into, on a filesystem without hard
links or rename flags (exFAT through FUSE) and under trace ids that cannot
name a file as they are: every trace is stored whole, with no file left over."""

from __future__ import annotations

import os
import shutil
import subprocess

import pytest

from monitor_helpers import decode, recording
from stored_traces import stored_rows
from vesh.profiler import Profiler


@pytest.fixture(scope="module")
def exfat(tmp_path_factory):
    """exfat-fuse run as root mounts only a block device: the image goes through a loop device."""
    tools = [shutil.which(name, path=os.environ["PATH"] + ":/usr/sbin:/sbin")
             for name in ("mkfs.exfat", "losetup", "mount.exfat-fuse", "fusermount")]
    if not all(tools) or os.geteuid() != 0 or not os.access("/dev/fuse", os.W_OK):
        pytest.skip("needs root, /dev/fuse, losetup, exfatprogs and exfat-fuse to mount an exFAT image")
    mkfs, losetup, mount, fusermount = tools
    image, mnt = tmp_path_factory.mktemp("exfat") / "img", tmp_path_factory.mktemp("mnt")
    image.write_bytes(b"\0" * (32 << 20))
    subprocess.run([mkfs, image], check=True, capture_output=True)
    loop = subprocess.run([losetup, "-f", "--show", image], capture_output=True, text=True).stdout.strip()
    try:
        if not loop or subprocess.run([mount, loop, mnt], capture_output=True).returncode:
            pytest.skip("this machine gives no loop device or FUSE mount")
        yield mnt
    finally:  # lazily: a file may still be open there
        subprocess.run([fusermount, "-uz", mnt], capture_output=True)
        subprocess.run([losetup, "-d", loop], capture_output=True)


def leaf(payload):
    return len(payload)


def leaf_returns(rows):
    return [r["arg"] for row in rows for r in decode(row[2]).frames_of("leaf") if r["event"] == "return"]


@pytest.mark.parametrize("flush_mb", [None, 0.016])
@pytest.mark.parametrize("kind", ["monitor", "profiler"])
def test_a_filesystem_without_links_stores_every_trace_and_leaves_no_copy(exfat, kind, flush_mb):
    db = exfat / f"{kind}-{flush_mb}" / "vesh.db"
    with recording(kind, db, {"flush_subtree_mb": flush_mb} if flush_mb else {}) as native:
        for i in range(200):
            leaf(f"{i:06d}" * 100)
    native.save()
    rows = stored_rows(db)
    assert len(rows) > 1 if flush_mb else len(rows) == 1
    assert leaf_returns(rows) == [600] * 200  # each call once, in the main trace or a flushed one
    assert len(os.listdir(db.parent / "raw")) == len(rows)


@pytest.mark.parametrize("trace_id", [".dotted", "trc_" + "a" * 211, "t" * 300])
def test_a_trace_id_too_long_or_odd_for_a_file_name_is_stored_whole(tmp_path, trace_id):
    profiler = Profiler(tmp_path / "vesh.db", {}, trace_id=trace_id)
    profiler.start()
    leaf("x" * 600)
    profiler.stop()
    profiler.save()
    rows = stored_rows(tmp_path / "vesh.db")
    assert [(row[0], decode(row[2]).container.trace_id) for row in rows] == [(trace_id, trace_id)]
    assert leaf_returns(rows) == [600]
