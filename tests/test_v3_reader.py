"""The test reader of "v3" containers against an independent builder and the
golden container that the native writer tests also produce."""

import pathlib
import struct
import zlib

import pytest

from v3_reader import (
    FOOTER_LEN,
    RECORD_HEADER_LEN,
    V3FormatError,
    leb128,
    parse_chunk_body,
    read_container,
    read_leb128,
    read_prefix,
)

GOLDEN = pathlib.Path(__file__).parent / "data" / "v3_small.hex"

TRACE_ID = "trc_01HV0000000000000000000000"
TIMESTAMP = 1700000000.5

# The golden container, in the order the streamed writer receives it:
# value 7, chunk (token 1, seq 0), value 2, chunk (token 2, seq 0), finish.
VALUE_7 = b"\xa5hello"
VALUE_2 = b"\xc4\x03abc"
CHUNK_1 = [b"\x01", b"", b"\x93\x01\x02\x03"]
CHUNK_2 = [b"x" * 130]
THREAD_RECORDS = [(1, b"\x81\xa1a\x01"), (2, b"\x80")]
METADATA = b"\x81\xa4name\xa3run"
LAYOUTS = {1: [(0, 0, 1), (0, 2, 1)], 2: [(0, 0, 1)]}


def _pack_uint(v):
    if v < 128:
        return bytes([v])
    for tag, fmt, limit in ((0xCC, ">B", 1 << 8), (0xCD, ">H", 1 << 16), (0xCE, ">I", 1 << 32)):
        if v < limit:
            return bytes([tag]) + struct.pack(fmt, v)
    return b"\xcf" + struct.pack(">Q", v)


class Builder:
    """A second, independent writer of the format for the tests."""

    def __init__(self, trace_id, timestamp):
        tid = trace_id.encode()
        assert len(tid) < 32
        self.payload = (
            b"\x82\xa8trace_id" + bytes([0xA0 | len(tid)]) + tid + b"\xa9timestamp\xcb" + struct.pack(">d", timestamp)
        )
        self.out = bytearray(
            b"VESHTRC3" + struct.pack("<HBBIII", 3, 2, 0, 0, len(self.payload), zlib.crc32(self.payload))
        )
        self.out += self.payload
        self.entries = []

    def record(self, kind, token, rid, count, body, crc=True):
        offset = len(self.out)
        head = b"VR3\x00" + bytes([kind, 0, 0, 0]) + struct.pack("<IQIII", token, rid, count, len(body), len(body))
        head += struct.pack("<I", zlib.crc32(body) if crc else 0)
        head += struct.pack("<I", zlib.crc32(head))
        self.out += head + body
        self.entries.append((kind, offset, len(body), token, rid, count))

    def chunk(self, token, seq, frames):
        body = b"".join(leb128(len(f)) for f in frames) + b"".join(frames)
        self.record(1, token, seq, len(frames), body, crc=False)

    def finish(self, thread_records, metadata, layouts):
        for ordinal, (token, payload) in enumerate(thread_records):
            self.record(2, token, ordinal, 1, payload)
        self.record(3, 0, 0, 1, metadata)
        index = b"\x82\xa7records" + bytes([0x90 | len(self.entries)])
        for entry in self.entries:
            index += b"\x96" + b"".join(_pack_uint(v) for v in entry)
        index += b"\xa7threads" + bytes([0x80 | len(layouts)])
        for token, spans in layouts.items():
            index += _pack_uint(token) + bytes([0x90 | len(spans)])
            for span in spans:
                index += b"\x93" + b"".join(_pack_uint(v) for v in span)
        index_offset = len(self.out)
        self.record(4, 0, 0, len(self.entries), index)
        total = len(self.out) + FOOTER_LEN
        footer = b"VESHEND3" + struct.pack("<QQ", index_offset, total)
        self.out += footer + struct.pack("<II", zlib.crc32(footer), 0)
        return bytes(self.out)


def golden_bytes():
    b = Builder(TRACE_ID, TIMESTAMP)
    b.record(5, 0, 7, 1, VALUE_7)
    b.chunk(1, 0, CHUNK_1)
    b.record(5, 0, 2, 1, VALUE_2)
    b.chunk(2, 0, CHUNK_2)
    return b.finish(THREAD_RECORDS, METADATA, LAYOUTS)


def test_golden_file_matches_independent_builder():
    assert bytes.fromhex(GOLDEN.read_text()) == golden_bytes()


def test_golden_round_trip():
    c = read_container(bytes.fromhex(GOLDEN.read_text()))
    assert c.trace_id == TRACE_ID and c.timestamp == TIMESTAMP
    assert len(c.header_payload) == 60 and c.records[0].offset == 84
    assert c.values == {7: VALUE_7, 2: VALUE_2}
    assert c.threads == {1: [b"\x01", b"\x93\x01\x02\x03"], 2: CHUNK_2}
    assert c.chunks[(1, 0)] == CHUNK_1
    assert c.thread_records == THREAD_RECORDS
    assert c.metadata == METADATA
    assert [r[0] for r in c.index_records] == [5, 1, 5, 1, 2, 2, 3]


def test_reads_files_and_prefixes(tmp_path):
    data = golden_bytes()
    path = tmp_path / "trace.vesh"
    path.write_bytes(data)
    assert read_container(path).values == read_container(data).values
    # A prefix cut inside the second chunk record keeps the whole records before it.
    cut = read_container(data).records[3].offset + RECORD_HEADER_LEN + 5
    prefix = read_prefix(data[:cut])
    assert [r.kind for r in prefix.records] == [5, 1, 5]
    assert prefix.end == read_container(data).records[3].offset
    assert len(read_prefix(data).records) == 8


def test_empty_container():
    data = Builder(TRACE_ID, 0.0).finish([], b"", {})
    c = read_container(data)
    assert c.index_records == [(3, 84, 0, 0, 0, 1)]
    assert c.layouts == {} and c.metadata == b"" and c.values == {}
    assert len(data) == 84 + 40 + RECORD_HEADER_LEN + len(c.records[-1].body) + FOOTER_LEN


@pytest.mark.parametrize(
    "value, encoded",
    [(0, b"\x00"), (127, b"\x7f"), (128, b"\x80\x01"), (16384, b"\x80\x80\x01"), (2**64 - 1, b"\xff" * 9 + b"\x01")],
)
def test_leb128(value, encoded):
    assert leb128(value) == encoded
    assert read_leb128(encoded, 0) == (value, len(encoded))


def test_chunk_body_lengths_must_match_payload():
    assert parse_chunk_body(b"\x01\x00\x02abc", 3) == [b"a", b"", b"bc"]
    with pytest.raises(V3FormatError):
        parse_chunk_body(b"\x01\x00\x02abcd", 3)


def _records(data):
    return read_container(data).records


def _flip(data, pos):
    out = bytearray(data)
    out[pos] ^= 0x01
    return bytes(out)


@pytest.mark.parametrize(
    "where",
    [
        "preamble magic",
        "preamble version",
        "header payload",
        "record magic",
        "record reserved",
        "record header crc",
        "value body",
        "chunk lengths",
        "metadata body",
        "index body",
        "footer magic",
        "footer crc",
        "footer offset",
    ],
)
def test_corruption_is_detected(where):
    data = golden_bytes()
    recs = _records(data)
    value, chunk, meta, index = recs[0], recs[1], recs[6], recs[7]
    footer = len(data) - FOOTER_LEN
    pos = {
        "preamble magic": 0,
        "preamble version": 8,
        "header payload": 30,
        "record magic": value.offset,
        "record reserved": value.offset + 6,
        "record header crc": value.offset + 36,
        "value body": value.offset + RECORD_HEADER_LEN,
        "chunk lengths": chunk.offset + RECORD_HEADER_LEN,
        "metadata body": meta.offset + RECORD_HEADER_LEN + 1,
        "index body": index.offset + RECORD_HEADER_LEN + 3,
        "footer magic": footer,
        "footer crc": footer + 24,
        "footer offset": footer + 8,
    }[where]
    with pytest.raises(V3FormatError):
        read_container(_flip(data, pos))


def test_truncated_file_is_rejected():
    data = golden_bytes()
    with pytest.raises(V3FormatError):
        read_container(data[:-1])


def test_index_must_list_every_record():
    b = Builder(TRACE_ID, TIMESTAMP)
    b.record(5, 0, 1, 1, b"\x01")
    b.entries.clear()  # a record the index does not list
    with pytest.raises(V3FormatError, match="index rows differ"):
        read_container(b.finish([], b"", {}))


def test_span_must_name_a_written_chunk():
    b = Builder(TRACE_ID, TIMESTAMP)
    b.chunk(1, 0, [b"a"])
    with pytest.raises(V3FormatError, match="missing chunk"):
        read_container(b.finish([], b"", {1: [(1, 0, 1)]}))
    b = Builder(TRACE_ID, TIMESTAMP)
    b.chunk(1, 0, [b"a"])
    with pytest.raises(V3FormatError, match="runs past its chunk"):
        read_container(b.finish([], b"", {1: [(0, 0, 2)]}))


def _ref(value_id):
    return b"\xd6\x09" + value_id.to_bytes(4, "big")


@pytest.mark.parametrize(
    "frame, ids, resolved",
    [
        (b"\x81\xa1s" + _ref(7), [7], b"\x81\xa1s" + VALUE_7),
        (b"\x92" + _ref(2) + _ref(7), [2, 7], b"\x92" + VALUE_2 + VALUE_7),
        # Inside a tuple record the extension header follows its data's new
        # length: fixext 8 becomes ext 8 with a 1-byte length.
        (b"\xd7\x06\x92" + _ref(2) + b"\xc0", [2], b"\xc7\x07\x06\x92" + VALUE_2 + b"\xc0"),
        # Other extension records are copied as they are.
        (b"\xd6\x05\x00\x00\x00\x07\x01", [], b"\xd6\x05\x00\x00\x00\x07\x01"),
        (b"\x93\x01\x02\x03", [], b"\x93\x01\x02\x03"),
    ],
)
def test_resolve_puts_published_values_in_place_of_references(frame, ids, resolved):
    c = read_container(golden_bytes())
    assert c.references(frame) == ids
    assert c.resolve(frame) == resolved


@pytest.mark.parametrize("frame", [_ref(3), b"\x92" + _ref(7), b"\x81\xa1s" + _ref(7)[:4]])
def test_resolve_rejects_dangling_references_and_cut_values(frame):
    with pytest.raises(V3FormatError):
        read_container(golden_bytes()).resolve(frame)
