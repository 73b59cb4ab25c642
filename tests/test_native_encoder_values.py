"""Values without a plain MessagePack form: extension records, shared
references, the repr fallback and how its failures are handled."""

import datetime
import decimal
import enum
import gc
import struct

import msgpack
import pytest

import vesh.serialize as serialize
from vesh import _vesh

dump = _vesh._native_dump_msgpack


class Color(enum.IntEnum):
    RED = 1


def self_list():
    lst = []
    lst.append(lst)
    return lst


def ext(code, data):
    if isinstance(data, str):
        data = data.encode()
    return msgpack.packb(msgpack.ExtType(code, data))


@pytest.mark.parametrize(
    ("value", "expected"),
    [
        (datetime.time(3, 4), b"\xd7\x03" + b"03:04:00"),
        (datetime.date(2020, 1, 2), ext(2, "2020-01-02")),
        (datetime.datetime(2020, 1, 2, 3, 4, 5), ext(1, "2020-01-02T03:04:05")),
        (2**64, b"\xc7\x0a\x04" + bytes.fromhex("00010000000000000000")),
        (-(2**63) - 1, b"\xc7\x09\x04" + bytes.fromhex("ff7fffffffffffffff")),
        (Color.RED, b"\xd5\x04\x00\x01"),
        (decimal.Decimal("1.50"), ext(5, "1.50")),
        ((), b"\xd4\x06\x90"),
        ((1, 2), b"\xc7\x03\x06\x92\x01\x02"),
        (set(), b"\xd4\x07\x90"),
        (frozenset({1}), b"\xd5\x08\x91\x01"),
        ("a\ud800", b"\xd6\x0a\x61\xed\xa0\x80"),
        (["ok", "x\udcff"], b"\x92\xa2ok\xd6\x0a\x78\xed\xb3\xbf"),
        (bytearray(b"abc"), b"\xc4\x03abc"),
        (bytearray(), b"\xc4\x00"),
        (msgpack.ExtType(5, b"xy"), b"\xd5\x05xy"),
        (self_list(), b"\x91\xc7\x05\x00[...]"),
        ((1, 1, 1), b"\xd6\x06\x93\x01\x01\x01"),  # 4 data bytes: fixext 4
        (("x" * 296,), b"\xc8\x01\x2c\x06\x91\xda\x01\x28" + b"x" * 296),  # 300: ext 16
        (type("Sub", (tuple,), {})((1,)), b"\xd5\x06\x91\x01"),
        (type("Sub", (dict,), {})(a=1), b"\x81\xa1a\x01"),
        ({"t": (1, [2])}, b"\x81\xa1t\xd6\x06\x92\x01\x91\x02"),
    ],
    ids=repr,
)
def test_exact_bytes(value, expected):
    assert dump(value) == expected


@pytest.mark.parametrize(
    "value",
    [memoryview(b"abc"), msgpack.Timestamp(1, 2), msgpack.ExtType(1, b""), memoryview(bytes(300))],
    ids=repr,
)
def test_msgpack_types_are_spliced_from_packb(value):
    assert dump(value) == msgpack.packb(value, strict_types=True)


def test_released_memoryview_becomes_its_repr():
    view = memoryview(b"x")
    view.release()
    assert dump([view]) == b"\x91" + ext(0, repr(view))


# ---------------------------------------------------------------------------
# handle_default_error


class Stamp(datetime.date):
    """A date whose isoformat raises the exception it was given."""

    error = None

    def isoformat(self):
        raise self.error


def failing(error):
    value = Stamp(2020, 1, 1)
    value.error = error
    return value


class SubRecursion(RecursionError):
    pass


TYPE_NAME = "type_name"
QUERY_FREE = "query_free"


@pytest.mark.parametrize(
    ("error", "lightweight", "outcome"),
    [
        (serialize.DatabaseAccessBlocked("db"), False, QUERY_FREE),
        (serialize.DatabaseAccessBlocked("db"), True, QUERY_FREE),
        (ValueError("other"), False, TYPE_NAME),
        (ValueError("other"), True, ValueError),
        (KeyError("k"), False, TYPE_NAME),
        # Retried carefully, then written as text on the careful pass.
        (RecursionError("deep"), False, TYPE_NAME),
        (ValueError("recursion limit exceeded."), False, TYPE_NAME),
        (SubRecursion("sub"), False, TYPE_NAME),
        (RecursionError("deep"), True, RecursionError),
        (KeyboardInterrupt(), False, KeyboardInterrupt),
        (KeyboardInterrupt(), True, KeyboardInterrupt),
        (SystemExit(3), False, SystemExit),
    ],
    ids=lambda v: type(v).__name__ if isinstance(v, BaseException) else str(v),
)
def test_handle_default_error_decisions(error, lightweight, outcome):
    value = failing(error)
    if outcome == QUERY_FREE:
        assert dump([value], lightweight_repr=lightweight) == b"\x91" + ext(0, serialize._query_free_repr(value))
    elif outcome == TYPE_NAME:
        assert dump([value], lightweight_repr=lightweight) == b"\x91" + ext(127, f"{__name__}.Stamp")
    else:
        with pytest.raises(outcome):
            dump([value], lightweight_repr=lightweight)


def test_type_name_text_sees_the_handled_exception_as_context():
    seen = []

    class Module:
        def __format__(self, spec):
            raise TypeError("module text failed")

    class Odd(Stamp):
        pass

    value = Odd(2020, 1, 1)
    value.error = ValueError("first")
    Odd.__module__ = Module()
    try:
        with pytest.raises(TypeError, match="module text failed") as info:
            dump(value)
        seen.append(info.value.__context__)
    finally:
        Odd.__module__ = __name__
    assert isinstance(seen[0], ValueError) and str(seen[0]) == "first"


def test_type_name_falls_back_to_the_type_module():
    # Tuples nested past the interpreter's recursion limit fail on both
    # passes; the innermost open tuple, which has no __module__ of its own,
    # is then written as its type's name instead of losing the whole value.
    value = None
    for _ in range(400):
        value = (value,)
    encoded = dump(value)
    assert ext(127, "builtins.tuple") in encoded
    assert encoded[0] in (0xC7, 0xC8, 0xC9)  # the outer record is whole
    assert msgpack.unpackb(encoded, ext_hook=lambda code, data: code) == 6


def test_type_name_survives_a_module_lookup_that_frees_the_type():
    # Reading __module__ runs the value's own code, which may move it to
    # another class and collect its old one; the text still names the type
    # the value had when its handling failed.
    class Elsewhere:
        pass

    def make():
        class Fleeting:
            def __repr__(self):
                raise ValueError("no repr")

            @property
            def __module__(self):
                self.__class__ = Elsewhere
                gc.collect()
                # Reuse the freed memory, so a stale type reads as another.
                filler.extend(type("Filler", (), {"__qualname__": "Filler"}) for _ in range(200))
                return "mod"

        return Fleeting()

    filler = []
    for _ in range(5):
        assert dump(make()) == ext(127, "mod.test_type_name_survives_a_module_lookup_that_frees_the_type.<locals>"
                                   ".make.<locals>.Fleeting")


def test_missing_database_access_blocked_is_a_name_error():
    saved = serialize.DatabaseAccessBlocked
    del serialize.DatabaseAccessBlocked
    try:
        with pytest.raises(NameError, match="DatabaseAccessBlocked") as info:
            dump(failing(ValueError("first")))
    finally:
        serialize.DatabaseAccessBlocked = saved
    assert info.value.name == "DatabaseAccessBlocked"
    assert isinstance(info.value.__context__, ValueError)


# ---------------------------------------------------------------------------
# repr memo, lightweight mode and the serializer flag


class Counted:
    def __init__(self, name="c"):
        self.name = name
        self.count = 0

    def __repr__(self):
        self.count += 1
        return f"<{self.name}>"


def test_repr_is_computed_once_per_object():
    obj = Counted()
    assert dump([obj, {"again": obj}]) == b"\x92" + ext(0, "<c>") + b"\x81\xa5again" + ext(0, "<c>")
    assert obj.count == 1


def test_the_1025th_object_is_not_remembered():
    objs = [Counted(str(i)) for i in range(1025)]
    dump(objs + objs)
    assert [o.count for o in objs[:1024]] == [1] * 1024
    assert objs[1024].count == 2


def test_str_subclass_reprs_are_used_but_not_remembered():
    class Text(str):
        pass

    class Obj:
        count = 0

        def __repr__(self):
            Obj.count += 1
            return Text("sub")

    obj = Obj()
    assert dump([obj, obj]) == b"\x92" + ext(0, "sub") * 2
    assert Obj.count == 2


class Plain:
    class Inner:
        pass


class ClaimsADate:
    """A proxy: isinstance() sees the class it claims."""

    @property
    def __class__(self):
        return datetime.date


class DateWithDefaultRepr(datetime.date):
    __repr__ = object.__repr__


def json_scanner():
    import json.decoder
    import json.scanner

    return json.scanner.c_make_scanner(json.decoder.JSONDecoder())


@pytest.mark.parametrize(
    "make",
    [
        Plain,
        Plain.Inner,
        object,
        json_scanner,  # a C type named "module.Name"
        type("NotAStrModule", (), {"__module__": 5}),
        type("FromBuiltins", (), {"__module__": "builtins"}),
        type("Ünïcode", (), {"__module__": "mödule", "__qualname__": "Ou.Ünïcode"}),
    ],
    ids=lambda make: getattr(make, "__name__", repr(make)),
)
def test_default_repr_text_is_the_interpreters(make):
    obj = make()
    assert dump([obj, obj]) == b"\x92" + ext(0, repr(obj)) * 2


def test_default_repr_does_not_hide_the_other_branches():
    day = DateWithDefaultRepr(2020, 1, 2)
    assert dump(day) == ext(2, "2020-01-02")
    # Taken for a date, whose isoformat() it lacks: named by its type.
    assert dump(ClaimsADate()) == ext(127, f"{__name__}.ClaimsADate")


def test_default_repr_follows_later_changes(monkeypatch):
    class Base:
        pass

    class Derived(Base):
        pass

    class Records:
        model = "Item"
        _result_cache = None

    obj, derived, records = Base(), Derived(), Records()
    for value in (obj, derived, records):  # remembered as taking the default repr
        assert dump(value) == ext(0, repr(value))
    Base.__repr__ = lambda self: "changed"
    assert dump(obj) == dump(derived) == ext(0, "changed")
    del Base.__repr__
    assert dump(derived) == ext(0, repr(derived))
    monkeypatch.setattr(serialize, "_QuerySet", Records)
    assert dump(records) == ext(0, "Unevaluated queryset for: Item")


class Outer:
    class Inner:
        def __repr__(self):
            raise AssertionError("lightweight mode calls no repr")


def test_lightweight_text():
    obj = Outer.Inner()
    assert dump(obj, lightweight_repr=True) == ext(0, f"<Outer.Inner object {id(obj)}>")


def test_serializer_flag_is_raised_only_while_python_code_runs():
    seen = []

    class Probe:
        def __repr__(self):
            seen.append((serialize.IN_VESH_PROFILER, _vesh._native_encode_in_progress()))
            return "probe"

    dump({"plain": [1, "x"]})
    assert serialize.IN_VESH_PROFILER is False
    dump([Probe(), Probe()])
    assert seen == [(True, True), (True, True)]
    assert serialize.IN_VESH_PROFILER is False
    assert _vesh._native_encode_in_progress() is False


def test_lightweight_mode_leaves_the_flag_alone_but_counts():
    seen = []

    class Day(datetime.date):
        def isoformat(self):
            seen.append((serialize.IN_VESH_PROFILER, _vesh._native_encode_in_progress()))
            return "day"

    serialize.IN_VESH_PROFILER = "untouched"
    try:
        assert dump(Day(2020, 1, 1), lightweight_repr=True) == ext(2, "day")
        assert serialize.IN_VESH_PROFILER == "untouched"
    finally:
        serialize.IN_VESH_PROFILER = False
    assert seen == [("untouched", True)]


# ---------------------------------------------------------------------------
# Containers that change while they are encoded


class Mutator:
    def __init__(self, action):
        self.action = action

    def __repr__(self):
        self.action()
        return "mutated"


def decode(data):
    return msgpack.unpackb(data, ext_hook=lambda code, payload: (code, payload), strict_map_key=False)


def test_list_changed_while_encoded_stays_well_formed():
    lst = [1, None, 2, "x"]
    lst[1] = Mutator(lst.clear)
    assert decode(dump(lst)) == [1, (0, b"mutated"), 2, "x"]
    assert lst == []


def test_dict_changed_while_encoded_stays_well_formed():
    dct = {"a": 1, "b": None, "c": 3}

    def change():
        dct.clear()
        dct.update({f"new{i}": i for i in range(50)})

    dct["b"] = Mutator(change)
    assert decode(dump(dct)) == {"a": 1, "b": (0, b"mutated"), "c": 3}


def test_nested_items_freed_while_encoded():
    inner = [Mutator(lambda: outer.clear()), [1, 2]]
    outer = [inner, {"k": inner}]
    assert decode(dump(outer)) == [[(0, b"mutated"), [1, 2]], {"k": [(0, b"mutated"), [1, 2]]}]


# ---------------------------------------------------------------------------
# Shared-container references, read back by a reference decoder


class RefDecoder:
    """Decodes the encoder's output, resolving extension 11 back-references
    by counting completed containers the way the encoder does."""

    TRACKING_START = 1024

    def __init__(self, data):
        self.data = data
        self.pos = 0
        self.entered = 0
        self.tracking = False
        self.completed = []
        self.in_ext = 0
        self.references = 0

    def take(self, n):
        out = self.data[self.pos : self.pos + n]
        self.pos += n
        return out

    def uint(self, n):
        return int.from_bytes(self.take(n), "big")

    def decode(self):
        value = self.value()
        assert self.pos == len(self.data)
        return value

    def container(self, n, is_map):
        if not self.in_ext:
            self.entered += 1
            if self.entered == self.TRACKING_START:
                self.tracking = True
        if is_map:
            out = {}
            for _ in range(n):
                key = self.value()
                out[key] = self.value()
        else:
            out = [self.value() for _ in range(n)]
        if self.tracking and not self.in_ext:
            self.completed.append(out)
        return out

    def ext(self, n):
        code = self.uint(1)
        if code == 11:
            self.references += 1
            distance = self.uint(4)
            return self.completed[len(self.completed) - 1 - distance]
        if code in (6, 7, 8):
            self.in_ext += 1
            items = self.value()
            self.in_ext -= 1
            return ("ext", code, tuple(items))
        return ("ext", code, self.take(n))

    def value(self):
        b = self.uint(1)
        if b <= 0x7F:
            return b
        if b >= 0xE0:
            return b - 0x100
        if 0x80 <= b <= 0x8F:
            return self.container(b & 0x0F, True)
        if 0x90 <= b <= 0x9F:
            return self.container(b & 0x0F, False)
        if 0xA0 <= b <= 0xBF:
            return self.take(b & 0x1F).decode()
        fixed = {0xC0: None, 0xC2: False, 0xC3: True}
        if b in fixed:
            return fixed[b]
        if b in (0xD9, 0xDA, 0xDB):
            return self.take(self.uint(1 << (b - 0xD9))).decode()
        if b in (0xC4, 0xC5, 0xC6):
            return self.take(self.uint(1 << (b - 0xC4)))
        if b in (0xDC, 0xDD):
            return self.container(self.uint(2 if b == 0xDC else 4), False)
        if b in (0xDE, 0xDF):
            return self.container(self.uint(2 if b == 0xDE else 4), True)
        if b in (0xCC, 0xCD, 0xCE, 0xCF):
            return self.uint(1 << (b - 0xCC))
        if b in (0xD0, 0xD1, 0xD2, 0xD3):
            n = 1 << (b - 0xD0)
            return int.from_bytes(self.take(n), "big", signed=True)
        if b == 0xCB:
            return struct.unpack(">d", self.take(8))[0]
        if b in (0xD4, 0xD5, 0xD6, 0xD7, 0xD8):
            return self.ext(1 << (b - 0xD4))
        if b in (0xC7, 0xC8, 0xC9):
            return self.ext(self.uint(1 << (b - 0xC7)))
        raise AssertionError(f"unexpected byte {b:#x}")


def fillers(count):
    return [[i] for i in range(count)]


@pytest.mark.parametrize(
    ("filler", "expect_refs"),
    [
        # outer + fillers + the shared list's first occurrence: tracking starts
        # only when the 1024th container is entered.
        (1021, 0),  # 1023 containers entered at most before the repeat
        (1022, 1),  # the first occurrence is the 1024th: recorded, then referenced
    ],
)
def test_back_references_start_at_the_1024th_container(filler, expect_refs):
    shared = [1, 2]
    value = fillers(filler) + [shared, shared]
    data = dump(value)
    decoder = RefDecoder(data)
    assert decoder.decode() == value
    assert decoder.references == expect_refs
    assert (b"\xd6\x0b" in data) == bool(expect_refs)


def test_back_reference_distances_and_one_item_containers():
    shared = {"a": 1, "b": [1, 2]}
    single = [7]
    value = fillers(1100) + [shared, single, [3, 4], shared, single, shared]
    data = dump(value)
    decoder = RefDecoder(data)
    assert decoder.decode() == value
    assert decoder.references == 2  # the two repeats of `shared`; `single` is written each time
    # The reference right after [3, 4] completes points two containers back.
    assert b"\xd6\x0b\x00\x00\x00\x02" in data


def test_containers_inside_tuples_are_never_referenced():
    shared = [1, 2]
    value = fillers(1100) + [(shared,), shared, (shared,), shared]
    data = dump(value)
    decoder = RefDecoder(data)
    decoded = decoder.decode()
    assert decoder.references == 1
    assert decoded[-1] == shared


def test_careful_pass_restarts_reference_counting():
    shared = [1, 2]
    cyclic = []
    cyclic.append(cyclic)
    value = fillers(1100) + [shared, shared, cyclic]
    decoder = RefDecoder(dump(value))
    decoded = decoder.decode()
    assert decoder.references == 1
    assert decoded[-1] == [("ext", 0, b"[...]")]


def tuple_list_cycle():
    t = ([],)
    t[0].append(t)
    return t


def dict_subclass_cycle():
    d = type("Sub", (dict,), {})()
    d["x"] = [d]
    return d


@pytest.mark.parametrize(
    ("make", "expected"),
    [
        (tuple_list_cycle, b"\xc7\x0a\x06\x91\x91" + b"\xc7\x05\x00(...)"),
        (dict_subclass_cycle, b"\x81\xa1x\x91" + b"\xc7\x05\x00{...}"),
    ],
    ids=lambda v: getattr(v, "__name__", ""),
)
def test_cycles_through_extension_records_and_copies(make, expected):
    assert dump(make()) == expected


@pytest.mark.parametrize("stack_size", [96 * 1024, 256 * 1024])
def test_nested_records_on_a_small_stack(stack_size):
    import threading

    value = None
    for _ in range(2000):
        value = ({"k": [value]},)
    out = {}

    def run():
        try:
            out["value"] = dump(value)
        except RecursionError as exc:
            out["error"] = str(exc)

    old = threading.stack_size(stack_size)
    try:
        thread = threading.Thread(target=run)
        thread.start()
        thread.join()
    finally:
        threading.stack_size(old)
    # Either the innermost reachable record became a type-name text, or the
    # whole value failed with the recursion error; never a crash.
    if "value" in out:
        assert ext(127, "builtins.tuple") in out["value"]
    else:
        assert out["error"] == "maximum recursion depth exceeded"
