"""Reader of "v3" trace containers, for tests.

Parses a whole container (bytes or a file path), checks every magic, length,
reserved field, CRC, the index against the records actually in the file and
the footer, and exposes the header, each thread's frames (following the
index's spans), the published values, the per-thread records and the
metadata. `Container.resolve` puts the published values back in place of the
references frames hold to them. `read_prefix` reads the recovered prefix of an abandoned streamed
capture: the preamble, the header and the whole records before its tail.
`follow_markers` puts the frames of flushed subtrees back in place of their
"subtree_flushed" markers.

Any deviation raises V3FormatError.
"""

from __future__ import annotations

import os
import struct
import zlib
from dataclasses import dataclass, field

import msgpack

PREAMBLE_MAGIC = b"VESHTRC3"
RECORD_MAGIC = b"VR3\x00"
FOOTER_MAGIC = b"VESHEND3"
PREAMBLE_LEN = 24
RECORD_HEADER_LEN = 40
FOOTER_LEN = 32

KIND_CHUNK = 1
KIND_THREAD = 2
KIND_METADATA = 3
KIND_INDEX = 4
KIND_VALUE = 5

EXT_INTERNED_REF = 9
# Extension records whose data is one MessagePack array of items.
EXT_WITH_ITEMS = (6, 7, 8)


class V3FormatError(ValueError):
    pass


def _check(condition, message):
    if not condition:
        raise V3FormatError(message)


def crc32(data: bytes) -> int:
    return zlib.crc32(data) & 0xFFFFFFFF


def leb128(value: int) -> bytes:
    out = bytearray()
    while True:
        byte = value & 0x7F
        value >>= 7
        if value:
            out.append(byte | 0x80)
        else:
            out.append(byte)
            return bytes(out)


def read_leb128(data: bytes, pos: int) -> tuple[int, int]:
    """Returns (value, position after it)."""
    value = 0
    shift = 0
    while True:
        _check(pos < len(data), "LEB128 length runs past the chunk body")
        byte = data[pos]
        pos += 1
        value |= (byte & 0x7F) << shift
        if not byte & 0x80:
            return value, pos
        shift += 7
        _check(shift < 64, "LEB128 length longer than 64 bits")


@dataclass
class Record:
    kind: int
    offset: int
    token: int
    id: int
    count: int
    body: bytes

    @property
    def entry(self) -> tuple[int, int, int, int, int, int]:
        """The record's row in the index's "records" list."""
        return (self.kind, self.offset, len(self.body), self.token, self.id, self.count)

    @property
    def end(self) -> int:
        return self.offset + RECORD_HEADER_LEN + len(self.body)


@dataclass
class Container:
    trace_id: str
    timestamp: float
    header_payload: bytes
    records: list[Record]
    index_offset: int
    index_records: list[tuple[int, int, int, int, int, int]]
    layouts: dict[int, list[tuple[int, int, int]]]
    chunks: dict[tuple[int, int], list[bytes]] = field(default_factory=dict)
    values: dict[int, bytes] = field(default_factory=dict)
    thread_records: list[tuple[int, bytes]] = field(default_factory=list)
    metadata: bytes = b""

    @property
    def threads(self) -> dict[int, list[bytes]]:
        """Each thread token's frames, in order, as the index's spans give them."""
        return {token: self.frames(token) for token in self.layouts}

    def frames(self, token: int) -> list[bytes]:
        out = []
        for seq, start, count in self.layouts[token]:
            out.extend(self.chunks[(token, seq)][start : start + count])
        return out

    def references(self, frame: bytes) -> list[int]:
        """The ids of the published values a frame refers to, in order."""
        return references(frame)

    def resolve(self, frame: bytes) -> bytes:
        """The frame as if every value it refers to had been written in place:
        each reference (fixext 4 of type 9, a big-endian value id) becomes the
        value's own record, the extension records around it growing to
        match. A reference to a value the container does not hold raises
        V3FormatError."""
        if b"\xd6\x09" not in frame:
            return frame

        def value_of(rid: int) -> bytes:
            _check(rid in self.values, f"reference to value {rid}, which the container does not hold")
            record = self.values[rid]
            _check(record[:1] in _STR_OR_BIN, f"value {rid} is not a str or bin record")
            return record

        return _rewrite(frame, 0, len(frame), value_of)


@dataclass
class Prefix:
    trace_id: str
    timestamp: float
    header_payload: bytes
    records: list[Record]
    # Offset just past the last whole record.
    end: int


def references(frame: bytes) -> list[int]:
    """The ids of the interned values an encoded record refers to, in order,
    found by walking its MessagePack structure (the bytes of a reference can
    also stand inside a string, an id or a timestamp)."""
    ids: list[int] = []
    _rewrite(frame, 0, len(frame), ids.append)
    return ids


_STR_OR_BIN = {bytes([b]) for b in [*range(0xA0, 0xC0), 0xC4, 0xC5, 0xC6, 0xD9, 0xDA, 0xDB]}


def _ext_header(code: int, size: int) -> bytes:
    fixed = {1: 0xD4, 2: 0xD5, 4: 0xD6, 8: 0xD7, 16: 0xD8}
    if size in fixed:
        return bytes([fixed[size], code & 0xFF])
    if size <= 0xFF:
        return bytes([0xC7, size, code & 0xFF])
    if size <= 0xFFFF:
        return b"\xc8" + size.to_bytes(2, "big") + bytes([code & 0xFF])
    return b"\xc9" + size.to_bytes(4, "big") + bytes([code & 0xFF])


def _rewrite(data: bytes, pos: int, end: int, on_reference) -> bytes:
    """Copies the MessagePack values in data[pos:end], replacing each interned
    value reference by on_reference(id) (when that returns bytes)."""
    out = bytearray()
    pending = 0
    while pos < end or pending:
        _check(pos < end, "MessagePack value runs past its end")
        b = data[pos]
        start = pos
        pending = max(pending - 1, 0)
        if b <= 0x7F or b >= 0xE0 or b in (0xC0, 0xC2, 0xC3):
            pos += 1
        elif b <= 0x8F:
            pending += 2 * (b & 0x0F)
            pos += 1
        elif b <= 0x9F:
            pending += b & 0x0F
            pos += 1
        elif b <= 0xBF:
            pos += 1 + (b & 0x1F)
        elif b in (0xC4, 0xC5, 0xC6, 0xD9, 0xDA, 0xDB):
            width = {0xC4: 1, 0xD9: 1, 0xC5: 2, 0xDA: 2, 0xC6: 4, 0xDB: 4}[b]
            pos += 1 + width + int.from_bytes(data[pos + 1 : pos + 1 + width], "big")
        elif b in (0xDC, 0xDD, 0xDE, 0xDF):
            width = 2 if b in (0xDC, 0xDE) else 4
            n = int.from_bytes(data[pos + 1 : pos + 1 + width], "big")
            pending += 2 * n if b >= 0xDE else n
            pos += 1 + width
        elif b in (0xCA, 0xCB, 0xCC, 0xCD, 0xCE, 0xCF, 0xD0, 0xD1, 0xD2, 0xD3):
            pos += 1 + {0xCA: 4, 0xCB: 8, 0xCC: 1, 0xCD: 2, 0xCE: 4, 0xCF: 8, 0xD0: 1, 0xD1: 2, 0xD2: 4, 0xD3: 8}[b]
        elif 0xD4 <= b <= 0xD8 or 0xC7 <= b <= 0xC9:
            if b >= 0xD4:
                size, header = 1 << (b - 0xD4), 2
            else:
                width = 1 << (b - 0xC7)
                size, header = int.from_bytes(data[pos + 1 : pos + 1 + width], "big"), 2 + width
            code = data[pos + header - 1]
            body = pos + header
            _check(body + size <= end, "extension record runs past its end")
            if code == EXT_INTERNED_REF and b == 0xD6:
                out += data[start:pos]
                replacement = on_reference(int.from_bytes(data[body : body + 4], "big"))
                out += replacement if isinstance(replacement, (bytes, bytearray)) else data[pos : body + 4]
                pos = body + 4
                continue
            if code in EXT_WITH_ITEMS:
                out += data[start:pos]
                items = _rewrite(data, body, body + size, on_reference)
                out += _ext_header(code, len(items)) + items
                pos = body + size
                continue
            pos = body + size
        else:
            raise V3FormatError(f"byte {b:#x} starts no MessagePack value")
        _check(pos <= end, "MessagePack value runs past its end")
        out += data[start:pos]
    return bytes(out)


def _load(source) -> bytes:
    if isinstance(source, (bytes, bytearray, memoryview)):
        return bytes(source)
    with open(os.fspath(source), "rb") as f:
        return f.read()


def _parse_header(data: bytes) -> tuple[str, float, bytes, int]:
    _check(len(data) >= PREAMBLE_LEN, "shorter than the preamble")
    _check(data[:8] == PREAMBLE_MAGIC, "bad preamble magic")
    version, b10, b11, zero, length, crc = struct.unpack_from("<HBBIII", data, 8)
    _check(version == 3, f"format version {version}")
    _check((b10, b11, zero) == (2, 0, 0), "unexpected preamble bytes 10 to 15")
    end = PREAMBLE_LEN + length
    _check(end <= len(data), "header payload runs past the data")
    payload = data[PREAMBLE_LEN:end]
    _check(crc32(payload) == crc, "header payload CRC mismatch")
    _check(payload[:1] == b"\x82", "header payload is not a 2-entry map")
    _check(payload[-9:-8] == b"\xcb", "timestamp is not a float 64")
    header = msgpack.unpackb(payload, raw=False, strict_map_key=True)
    _check(list(header) == ["trace_id", "timestamp"], f"header keys {list(header)}")
    _check(isinstance(header["trace_id"], str), "trace_id is not a str")
    _check(isinstance(header["timestamp"], float), "timestamp is not a float")
    return header["trace_id"], header["timestamp"], payload, end


def _parse_record(data: bytes, offset: int, limit: int) -> Record:
    _check(offset + RECORD_HEADER_LEN <= limit, f"record header at {offset} runs past its area")
    header = data[offset : offset + RECORD_HEADER_LEN]
    _check(header[:4] == RECORD_MAGIC, f"bad record magic at {offset}")
    kind = header[4]
    _check(header[5:8] == b"\x00\x00\x00", f"reserved record bytes set at {offset}")
    token, rid, count, len1, len2, body_crc, header_crc = struct.unpack_from("<IQIIIII", header, 8)
    _check(crc32(header[:36]) == header_crc, f"record header CRC mismatch at {offset}")
    _check(len1 == len2, f"record body lengths differ at {offset}")
    _check(1 <= kind <= 5, f"record kind {kind} at {offset}")
    body_start = offset + RECORD_HEADER_LEN
    _check(body_start + len1 <= limit, f"record body at {offset} runs past its area")
    body = data[body_start : body_start + len1]
    if kind == KIND_CHUNK:
        _check(body_crc == 0, f"chunk record with a body CRC at {offset}")
    else:
        _check(body_crc == crc32(body), f"record body CRC mismatch at {offset}")
    return Record(kind, offset, token, rid, count, body)


def parse_chunk_body(body: bytes, count: int) -> list[bytes]:
    lengths = []
    pos = 0
    for _ in range(count):
        n, pos = read_leb128(body, pos)
        lengths.append(n)
    _check(sum(lengths) == len(body) - pos, "chunk frame lengths do not match its payload")
    frames = []
    for n in lengths:
        frames.append(body[pos : pos + n])
        pos += n
    return frames


def read_container(source) -> Container:
    data = _load(source)
    trace_id, timestamp, payload, first = _parse_header(data)

    _check(len(data) >= first + FOOTER_LEN, "no room for the footer")
    footer_at = len(data) - FOOTER_LEN
    footer = data[footer_at:]
    _check(footer[:8] == FOOTER_MAGIC, "bad footer magic")
    index_offset, total, crc, last = struct.unpack_from("<QQII", footer, 8)
    _check(crc32(footer[:24]) == crc, "footer CRC mismatch")
    _check(last == 0, "footer's last field is not 0")
    _check(total == len(data), f"footer total {total} but {len(data)} bytes")

    records = []
    offset = first
    while offset < footer_at:
        record = _parse_record(data, offset, footer_at)
        records.append(record)
        offset = record.end
    _check(offset == footer_at, "records do not end at the footer")
    _check(records and records[-1].kind == KIND_INDEX, "the last record is not the index")
    index = records[-1]
    _check(index.offset == index_offset, "footer does not point at the index record")
    _check(index_offset + RECORD_HEADER_LEN + len(index.body) + FOOTER_LEN == total, "index does not end the file")
    _check((index.token, index.id) == (0, 0), "index record token or id not 0")
    _check(all(r.kind != KIND_INDEX for r in records[:-1]), "more than one index record")

    _check(index.body[:1] == b"\x82", "index payload is not a 2-entry map")
    parsed = msgpack.unpackb(index.body, raw=False, strict_map_key=False, use_list=True)
    _check(list(parsed) == ["records", "threads"], f"index keys {list(parsed)}")
    index_records = [tuple(row) for row in parsed["records"]]
    _check(all(len(row) == 6 for row in index_records), "index row is not 6 integers")
    _check(index.count == len(index_records), "index record count differs from its rows")
    _check(index_records == [r.entry for r in records[:-1]], "index rows differ from the records in the file")
    layouts = {}
    for token, spans in parsed["threads"].items():
        _check(isinstance(token, int), "thread key is not an integer token")
        _check(all(len(span) == 3 for span in spans), "span is not 3 integers")
        layouts[token] = [tuple(span) for span in spans]

    container = Container(trace_id, timestamp, payload, records, index_offset, index_records, layouts)
    metadata = []
    for r in records[:-1]:
        if r.kind == KIND_CHUNK:
            key = (r.token, r.id)
            _check(key not in container.chunks, f"chunk {key} written twice")
            container.chunks[key] = parse_chunk_body(r.body, r.count)
        elif r.kind == KIND_THREAD:
            _check(r.count == 1, "per-thread record count is not 1")
            _check(r.id == len(container.thread_records), "per-thread record ordinals out of order")
            container.thread_records.append((r.token, r.body))
        elif r.kind == KIND_METADATA:
            _check((r.token, r.id, r.count) == (0, 0, 1), "metadata record fields")
            metadata.append(r.body)
        elif r.kind == KIND_VALUE:
            _check((r.token, r.count) == (0, 1), "value record fields")
            _check(r.id <= 0xFFFFFFFF, "value id past 32 bits")
            _check(r.id not in container.values, f"value {r.id} written twice")
            container.values[r.id] = r.body
    _check(len(metadata) == 1, f"{len(metadata)} metadata records")
    container.metadata = metadata[0]
    for token, spans in layouts.items():
        for seq, start, count in spans:
            chunk = container.chunks.get((token, seq))
            _check(chunk is not None, f"span names missing chunk {(token, seq)}")
            _check(start + count <= len(chunk), f"span {(seq, start, count)} runs past its chunk")
    return container


def read_prefix(source) -> Prefix:
    """The whole records of an unfinished container; stops at the first
    record that is cut off. A finished container reads as all its records."""
    data = _load(source)
    trace_id, timestamp, payload, offset = _parse_header(data)
    records = []
    while offset + RECORD_HEADER_LEN <= len(data):
        if data[offset : offset + 8] == FOOTER_MAGIC:
            break
        header = data[offset : offset + RECORD_HEADER_LEN]
        (body_len,) = struct.unpack_from("<I", header, 24)
        if offset + RECORD_HEADER_LEN + body_len > len(data):
            break
        record = _parse_record(data, offset, len(data))
        records.append(record)
        offset = record.end
    return Prefix(trace_id, timestamp, payload, records, offset)


MARKER_KEYS = ["type", "frame_id", "co_name", "flushed_trace_id", "flushed_bytes", "flushed_segment_count", "timestamp"]


def flushed_marker(frame: bytes) -> dict | None:
    """The decoded "subtree_flushed" marker `frame` is, or None for any other record."""
    record = msgpack.unpackb(frame, raw=False, strict_map_key=False)
    if not isinstance(record, dict) or record.get("type") != "subtree_flushed":
        return None
    _check(list(record) == MARKER_KEYS, f"marker keys {list(record)}")
    return record


def follow_markers(frames: list[bytes], load) -> list[bytes]:
    """`frames` with every marker replaced by the frames of the trace it
    names, markers within those followed in turn. `load(trace_id)` gives
    that trace's Container; a flushed trace holds the one thread it was cut
    from, and its frames' lengths add up to the marker's "flushed_bytes"."""
    out = []
    for frame in frames:
        marker = flushed_marker(frame)
        if marker is None:
            out.append(frame)
            continue
        flushed = load(marker["flushed_trace_id"])
        _check(flushed.trace_id == marker["flushed_trace_id"], "flushed trace id differs from its marker's")
        _check(len(flushed.layouts) == 1, f"flushed trace with {len(flushed.layouts)} threads")
        (inner,) = flushed.threads.values()
        _check(sum(map(len, inner)) == marker["flushed_bytes"], "flushed bytes differ from the marker's")
        out.extend(follow_markers(inner, load))
    return out
