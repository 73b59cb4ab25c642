"""The native encoder against msgpack.packb, its nesting limit, cycles and
the native stack floor."""

import functools
import subprocess
import sys
import textwrap
import threading

import msgpack
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from vesh import _vesh

dump = _vesh._native_dump_msgpack

MAX_DEPTH = 1024 if msgpack.version[:2] >= (1, 2) else 511

scalars = (
    st.none()
    | st.booleans()
    | st.integers(min_value=-(2**63), max_value=2**64 - 1)
    | st.floats(allow_nan=False)
    | st.text()
    | st.binary()
)
keys = st.text() | st.integers(min_value=-(2**63), max_value=2**63 - 1) | st.none() | st.binary()
values = st.recursive(
    scalars,
    lambda children: st.lists(children) | st.dictionaries(keys, children),
    max_leaves=60,
)


@settings(max_examples=400, deadline=None)
@given(values)
def test_matches_packb(value):
    assert dump(value) == msgpack.packb(value)


@pytest.mark.parametrize(
    "value",
    [
        0, 127, 128, 255, 256, 65535, 65536, 2**32 - 1, 2**32, 2**63 - 1, 2**63, 2**64 - 1,
        -1, -32, -33, -128, -129, -32768, -32769, -(2**31), -(2**31) - 1, -(2**63),
        "a" * 31, "a" * 32, "a" * 255, "a" * 256, "a" * 65535, "a" * 65536, "é" * 16,
        b"", b"x" * 255, b"x" * 256, b"x" * 65536,
        [None] * 15, [None] * 16, [None] * 65536, {i: i for i in range(16)},
        float("inf"), -0.0,
    ],
    ids=repr,
)
def test_header_boundaries(value):
    assert dump(value) == msgpack.packb(value)


def nested(depth, make):
    return functools.reduce(lambda inner, _: make(inner), range(depth), None)


@pytest.mark.parametrize("make", [lambda v: [v], lambda v: {"k": v}, lambda v: [1, v, "x"]], ids=["list", "dict", "mid"])
@pytest.mark.parametrize("depth", [MAX_DEPTH - 1, MAX_DEPTH, MAX_DEPTH + 1])
def test_nesting_limit_matches_packb(make, depth):
    value = nested(depth, make)
    try:
        expected = msgpack.packb(value)
    except ValueError as exc:
        with pytest.raises(ValueError, match=str(exc)):
            dump(value)
    else:
        assert dump(value) == expected


def test_nesting_limit_applies_to_empty_and_scalar_leaves():
    assert dump(nested(MAX_DEPTH, lambda v: [v]) ) == msgpack.packb(nested(MAX_DEPTH, lambda v: [v]))
    # An empty container one level further is still fine; any item inside it is not.
    empty = functools.reduce(lambda inner, _: [inner], range(MAX_DEPTH), [])
    assert dump(empty) == b"\x91" * MAX_DEPTH + b"\x90"
    with pytest.raises(ValueError, match=r"^recursion limit exceeded\.$"):
        dump(functools.reduce(lambda inner, _: [inner], range(MAX_DEPTH), [True]))


def text_ext(text):
    return b"\xc7" + bytes([len(text), 0]) + text.encode()


def test_cycles_become_placeholders():
    lst = []
    lst.append(lst)
    assert dump(lst) == b"\x91" + text_ext("[...]")

    dct = {}
    dct["self"] = dct
    assert dump(dct) == b"\x81\xa4self" + text_ext("{...}")

    outer = [1]
    inner = {"back": outer}
    outer.append(inner)
    assert dump(outer) == b"\x92\x01\x81\xa4back" + text_ext("[...]")


def test_shared_value_without_cycle_is_written_twice():
    shared = [1, 2]
    assert dump([shared, shared]) == msgpack.packb([[1, 2], [1, 2]])
    cyclic = [1]
    cyclic.append(cyclic)
    # Only the repeat inside the cycle is a placeholder; the item after it is packed.
    assert dump([cyclic, [cyclic]]) == (
        b"\x92" + b"\x92\x01" + text_ext("[...]") + b"\x91\x92\x01" + text_ext("[...]")
    )


def test_arguments():
    assert dump(value=[1], lightweight_repr=True) == b"\x91\x01"
    with pytest.raises(TypeError, match="lightweight_repr"):
        dump(1, lightweight_repr=1)
    with pytest.raises(TypeError):
        dump()


def test_plain_values_leave_the_encode_counter_alone():
    dump({"a": [1, "x"]})
    assert _vesh._native_encode_in_progress() is False


def run_on_small_stack(stack_size, fn):
    result = {}

    def target():
        try:
            result["value"] = fn()
        except BaseException as exc:  # noqa: BLE001 - the test inspects it
            result["error"] = exc

    old = threading.stack_size(stack_size)
    try:
        thread = threading.Thread(target=target)
        thread.start()
        thread.join()
    finally:
        threading.stack_size(old)
    return result


@pytest.mark.parametrize("make", [lambda v: [v], lambda v: {"k": v}], ids=["list", "dict"])
@pytest.mark.parametrize("stack_size", [96 * 1024, 160 * 1024, 256 * 1024])
def test_deep_value_on_a_small_stack_degrades(make, stack_size):
    value = nested(MAX_DEPTH, make)
    result = run_on_small_stack(stack_size, lambda: dump(value))
    if "value" in result:
        assert result["value"] == msgpack.packb(value)
    else:
        error = result["error"]
        assert type(error) is RecursionError
        assert str(error) == "maximum recursion depth exceeded"


def test_cycles_on_a_small_stack():
    lst = [1]
    lst.append({"again": lst})
    result = run_on_small_stack(128 * 1024, lambda: dump(lst))
    assert result == {"value": b"\x92\x01\x81\xa5again" + text_ext("[...]")}


def test_deep_value_in_a_subprocess_with_a_tiny_stack():
    # Even the smallest thread stack must not crash the process.
    script = textwrap.dedent(
        """
        import functools, threading
        from vesh import _vesh
        value = functools.reduce(lambda v, _: {"k": [v]}, range(600), None)
        out = []
        def run():
            try:
                out.append(len(_vesh._native_dump_msgpack(value)))
            except RecursionError as exc:
                out.append(str(exc))
        threading.stack_size(64 * 1024)
        t = threading.Thread(target=run)
        t.start()
        t.join()
        print(out[0])
        """
    )
    proc = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, env=_env())
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "maximum recursion depth exceeded"


def _env():
    import os

    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    return env


def test_serializer_state_is_retried_after_a_failed_import():
    script = textwrap.dedent(
        """
        import sys
        sys.modules["vesh.serialize"] = None
        from vesh import _vesh
        try:
            _vesh._native_dump_msgpack(1)
        except ImportError:
            print("failed")
        del sys.modules["vesh.serialize"]
        print(_vesh._native_dump_msgpack([1]))
        """
    )
    proc = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, env=_env())
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split() == ["failed", r"b'\x91\x01'"]
