"""Records of values around the MessagePack nesting limit, compared byte for
byte with the records an earlier build wrote (data/depth_corpus.tsv)."""

import os

import msgpack
import pytest

import depth_corpus
from vesh import _vesh

GOLDEN = depth_corpus.load(os.path.join(os.path.dirname(__file__), "data", "depth_corpus.tsv"))

# Where the earlier build's records differ on purpose. Every record it wrote
# that msgpack cannot read differs: a value nested past what the reader
# takes within its record is now omitted, and a key that was a map (a
# hashable dict subclass) is now its repr text. Beyond those:
DIFFERENT = {
    # Over the byte budget and nested past the reader's levels within the
    # record: the walk meets the record's floor before the budget, so the
    # values are omitted where the earlier build, with a level more, came to
    # the budget first and wrote a truncation marker.
    ("budget", "shared1022x3"),
    ("budget", "shared1024x3"),
}


def in_order(part, whole):
    it = iter(whole)
    return all(any(d == w for w in it) for d in part)


@pytest.mark.parametrize(
    ("kind", "setting"),
    [("monitor", "plain"), ("profile", "plain"), ("monitor", "budget"), ("profile", "budget"),
     ("monitor", "line_events")],
)
def test_records_around_the_nesting_limit_are_the_earlier_builds_where_it_could_read_them(tmp_path, kind, setting):
    _, raw = depth_corpus.record_corpus(kind, str(tmp_path / "vesh.db"), "plain" if setting == "line_events" else setting,
                                        line_events=setting == "line_events")
    for case, before in GOLDEN[setting].items():
        records = raw[case]
        assert all(depth_corpus.readable(r) for r in records), case
        digests = [depth_corpus.digest(r) for r in records]
        if (setting, case) in DIFFERENT:
            assert digests != [d for d, _ in before], case
            continue
        if len(before) == len(digests):
            # An unreadable record's assignment may also be left out whole.
            assert [d for (d, ok), now in zip(before, digests) if ok] == \
                [now for (_, ok), now in zip(before, digests) if ok], case
        else:
            assert in_order([d for d, ok in before if ok], digests), case
            assert len(digests) >= sum(ok for _, ok in before), case
    keyed = [r for r in map(lambda r: msgpack.unpackb(r, strict_map_key=False), raw["frozen_key"]) if "locals" in r]
    assert {"x"} == {v for r in keyed for v in r["locals"]["v"].values()}
    assert {msgpack.ExtType(0, b"{'a': 1}")} == {k for r in keyed for k in r["locals"]["v"]}


def test_a_value_alone_keeps_the_limit_msgpack_packs_to():
    deep = depth_corpus.chain(1025)
    # Past the limit inside a tuple: the tuple by its type's name, the rest kept.
    assert _vesh._native_dump_msgpack([1, (deep,), "after"]) == b"\x93\x01\xc7\x0e\x7fbuiltins.tuple\xa5after"
    for value in (depth_corpus.chain(1025), {"k": depth_corpus.chain(1024)}):
        assert _vesh._native_dump_msgpack(value) == msgpack.packb(value)
    keyed = _vesh._native_dump_msgpack({depth_corpus.Frozen(a=1): [1]})
    assert msgpack.unpackb(keyed, strict_map_key=False) == {msgpack.ExtType(0, b"{'a': 1}"): [1]}
