"""Values around the MessagePack nesting limit, recorded through both
recorders, and a digest of what each record keeps of them.

The digests of a build are kept in data/depth_corpus.tsv, so that a change
of the encoder can be compared with the records an earlier build wrote, byte
for byte. To write them anew from the build on the path:

    PYTHONPATH=python python tests/depth_corpus.py tests/data/depth_corpus.tsv
"""

from __future__ import annotations

import collections
import hashlib
import os
import sys
import tempfile

import msgpack

LIMIT = 1024  # levels msgpack's reader takes, and the encoder's own limit

Pair = collections.namedtuple("Pair", "left right")


class Frozen(dict):
    """A hashable dict subclass, as frozendict libraries make them."""

    def __hash__(self):
        return id(self) >> 4


def chain(levels, inner=None, kind="list"):
    """`levels` containers, each holding the next; the innermost holds
    `inner`, or nothing."""
    value = inner
    for i in range(levels):
        empty = i == 0 and inner is None
        if kind == "list":
            value = [] if empty else [value]
        else:
            value = {} if empty else {"k": value}
    return value


def mixed(levels):
    value = []
    for i in range(levels - 1):
        value = [value] if i % 2 else {"k": value}
    return value


def cyclic(levels):
    top = []
    bottom = top
    for _ in range(levels - 1):
        inner = []
        bottom.append(inner)
        bottom = inner
    bottom.append(top)
    return top


def self_holding(levels):
    inner = []
    inner.append(inner)
    return chain(levels, inner)


def shared(levels, copies):
    part = chain(levels)
    return [part] * copies


def cases():
    """(name, builder) pairs; each builder makes a fresh value."""
    out = []
    add = lambda name, build: out.append((name, build))  # noqa: E731
    near = [1, 2, 500, 1000] + list(range(1015, 1031)) + [1100, 3000]
    for n in near:
        add(f"list{n}", lambda n=n: chain(n))
        add(f"dict{n}", lambda n=n: chain(n, kind="dict"))
        add(f"mixed{n}", lambda n=n: mixed(n))
        add(f"[1,(list{n},),after]", lambda n=n: [1, (chain(n),), "after"])
        add(f"(list{n},)", lambda n=n: (chain(n),))
        add(f"list8>(list{n},)", lambda n=n: chain(8, (chain(n),)))
        add(f"list{n}>tuple", lambda n=n: chain(n, (1, 2)))
        add(f"Pair(list{n})", lambda n=n: Pair(1, chain(n)))
        add(f"dict[Pair(list{n})]", lambda n=n: {"p": Pair(chain(n), 2), "after": 3})
        add(f"set(Frozen(list{n}))", lambda n=n: {Frozen(k=chain(n))})
        add(f"cyclic{n}", lambda n=n: cyclic(n))
        add(f"self_holding{n}", lambda n=n: self_holding(n))
        add(f"Frozen(list{n})", lambda n=n: Frozen(k=chain(n)))
    for n in (510, 511, 512, 1000, 1020, 1022, 1024):
        for copies in (2, 3):
            add(f"shared{n}x{copies}", lambda n=n, copies=copies: shared(n, copies))
        add(f"[shared,(list{n},)]", lambda n=n: [chain(1100)[0], (chain(n),)])
    for inner in (1, 10, 1000, 1022, 1023, 1024, 1025):
        outer = max(1, 1020 - inner)
        add(f"list{outer}>(list{inner},)", lambda outer=outer, inner=inner: chain(outer, (chain(inner),)))
    add("frozen_key", lambda: {Frozen(a=1): "x"})
    add("frozen_key_nested", lambda: {"outer": {Frozen(a=1): "x"}})
    add("frozen_in_tuple_key", lambda: {(Frozen(a=1),): "x"})
    add("Pair_key", lambda: {Pair(1, 2): [Pair(3, 4)]})
    return out


def keep(v):
    return v


def pair(v):
    a = 1
    return (a, v)


def inside(v):
    w = {"v": v}
    return len(w)


FUNCTIONS = (keep, pair, inside)


# -- reading records without a depth limit ---------------------------------

def _skip(data, i):
    """The offset after the MessagePack object at `i` (no depth limit)."""
    pending = 1
    while pending:
        pending -= 1
        b = data[i]
        i += 1
        if b <= 0x7F or b >= 0xE0 or b in (0xC0, 0xC2, 0xC3):
            continue
        if 0x80 <= b <= 0x8F:
            pending += 2 * (b & 0x0F)
        elif 0x90 <= b <= 0x9F:
            pending += b & 0x0F
        elif 0xA0 <= b <= 0xBF:
            i += b & 0x1F
        elif b in (0xC4, 0xD9):
            i += 1 + data[i]
        elif b in (0xC5, 0xDA):
            i += 2 + int.from_bytes(data[i:i + 2], "big")
        elif b in (0xC6, 0xDB):
            i += 4 + int.from_bytes(data[i:i + 4], "big")
        elif b == 0xC7:
            i += 2 + data[i]
        elif b == 0xC8:
            i += 3 + int.from_bytes(data[i:i + 2], "big")
        elif b == 0xC9:
            i += 5 + int.from_bytes(data[i:i + 4], "big")
        elif b in (0xCA, 0xCE, 0xD2):
            i += 4
        elif b in (0xCB, 0xCF, 0xD3):
            i += 8
        elif b in (0xCC, 0xD0):
            i += 1
        elif b in (0xCD, 0xD1):
            i += 2
        elif 0xD4 <= b <= 0xD8:
            i += 1 + (1 << (b - 0xD4))
        elif b == 0xDC:
            pending += int.from_bytes(data[i:i + 2], "big")
            i += 2
        elif b == 0xDD:
            pending += int.from_bytes(data[i:i + 4], "big")
            i += 4
        elif b == 0xDE:
            pending += 2 * int.from_bytes(data[i:i + 2], "big")
            i += 2
        elif b == 0xDF:
            pending += 2 * int.from_bytes(data[i:i + 4], "big")
            i += 4
        else:
            raise ValueError(f"no MessagePack type 0x{b:02x}")
    return i


def record_entries(record: bytes) -> dict[str, bytes]:
    """A record map's entries as the raw bytes of each value, by key."""
    b = record[0]
    if 0x80 <= b <= 0x8F:
        count, i = b & 0x0F, 1
    elif b == 0xDE:
        count, i = int.from_bytes(record[1:3], "big"), 3
    else:
        raise ValueError("a record is a map")
    entries = {}
    for _ in range(count):
        key_end = _skip(record, i)
        key = msgpack.unpackb(record[i:key_end])
        end = _skip(record, key_end)
        entries[key] = record[key_end:end]
        i = end
    return entries


VALUE_KEYS = ("arg", "exception", "locals", "values_omitted", "assign")


def readable(record: bytes) -> bool:
    """Whether msgpack reads the record, and an assignment's payload."""
    try:
        entries = msgpack.unpackb(record, strict_map_key=False)
        if isinstance(entries.get("assign"), msgpack.ExtType):
            msgpack.unpackb(entries["assign"].data, strict_map_key=False)
    except (ValueError, TypeError, msgpack.StackError):
        return False
    return True


def digest(record: bytes) -> str:
    """What a record keeps of its values: a frame record's value, locals and
    omission, or an assignment record's payload."""
    entries = record_entries(record)
    h = hashlib.sha256()
    for key in VALUE_KEYS:
        if key in entries:
            h.update(key.encode() + b"\0" + entries[key] + b"\0")
    return h.hexdigest()[:20]


# -- recording --------------------------------------------------------------

SETTINGS = {
    "plain": {},
    "budget": {"max_value_mb": 0.002},
}


def _records(kind, db_path, config, run):
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    from monitor_helpers import under_monitor, under_profile_hook  # noqa: PLC0415
    import v3_reader  # noqa: PLC0415

    recorder = under_monitor if kind == "monitor" else under_profile_hook
    _, trace = recorder(db_path, run, config)
    container = v3_reader.read_container(trace)
    for frames in container.threads.values():
        for frame in frames:
            yield container.resolve(frame)


def record_corpus(kind, db_path, setting="plain", line_events=False, only=None):
    """{case: [digest of each record of the corpus functions, in order]}, and
    the records themselves."""
    config = dict(SETTINGS[setting])
    if line_events:
        config["line_events"] = True
    names = {f.__name__ for f in FUNCTIONS}
    out = {}
    raw = {}
    for name, build in cases():
        if only is not None and name not in only:
            continue
        value = build()
        records = [
            r for r in _records(kind, db_path, config, lambda: [f(value) for f in FUNCTIONS])
            if msgpack.unpackb(record_entries(r).get("co_name", b"\xc0")) in names
        ]
        out[name] = [[digest(r), readable(r)] for r in records]
        raw[name] = records
    return out, raw


def main(path):
    golden = {}
    with tempfile.TemporaryDirectory() as tmp:
        db_path = os.path.join(tmp, "vesh.db")
        for setting in SETTINGS:
            digests, _ = record_corpus("monitor", db_path, setting)
            profiled, _ = record_corpus("profile", db_path, setting)
            if profiled != digests:
                differ = sorted(k for k in digests if profiled.get(k) != digests[k])
                raise SystemExit(f"the recorders differ on {differ}")
            golden[setting] = digests
        golden["line_events"], _ = record_corpus("monitor", db_path, "plain", line_events=True)
    # One line a case: "digest" for a record msgpack reads, "digest!" for
    # one it cannot.
    lines = []
    for setting in sorted(golden):
        for case in sorted(golden[setting]):
            records = " ".join(d + ("" if ok else "!") for d, ok in golden[setting][case])
            lines.append(f"{setting}\t{case}\t{records}\n")
    with open(path, "w") as f:
        f.writelines(lines)


def load(path):
    """The digests main() wrote: {setting: {case: [[digest, readable], ...]}}."""
    golden = {}
    with open(path) as f:
        for line in f:
            setting, case, records = line.rstrip("\n").split("\t")
            golden.setdefault(setting, {})[case] = [[d.rstrip("!"), not d.endswith("!")] for d in records.split()]
    return golden


if __name__ == "__main__":
    # Its classes must be named as the tests name them, not as __main__'s.
    import depth_corpus

    depth_corpus.main(sys.argv[1])
