"""The monitor's read-only properties: its code metadata cache,
the files whose values needed the Python serializer, the writer circuit and
its trace ids."""

from __future__ import annotations

import functools
import json

import pytest

from vesh import _vesh, monitoring


class Opaque:
    """A value the native encoder has no form for."""


def plain(x):
    return x + 1


def with_opaque_local():
    value = Opaque()
    return plain(1) and value is not None


def with_opaque_twice():
    return with_opaque_local() and with_opaque_local() and plain(2)


def inspect(monitor):
    return (monitor.code_metadata_cache_size, monitor.full_code_metadata_cache_size,
            monitor._python_serializer_code_paths)


@pytest.mark.parametrize("program, seen", [
    pytest.param(None, lambda sizes: sizes == (0, 0, []), id="fresh"),
    # Called from C, so only the library's own (excluded) frames raise events.
    pytest.param(functools.partial(json.dumps, [1, 2]), lambda sizes: sizes[0] > 0 and sizes[1:] == (0, []),
                 id="only-excluded"),
    # The file is listed once per code object whose values needed the Python
    # serializer (plain's never do), however often that code ran.
    pytest.param(with_opaque_twice,
                 lambda sizes: sizes[1] >= 3 and sizes[0] >= sizes[1] and sizes[2] == [__file__], id="recorded"),
])
def test_the_code_metadata_cache_as_the_getters_see_it(tmp_path, program, seen):
    if program is None:
        monitor = _vesh.register_monitor(str(tmp_path / "vesh.db"), {}, "tests", False)
    else:
        monitor = monitoring.start(tmp_path / "vesh.db", {})
        try:
            program()
        finally:
            monitoring.stop(monitor, save=False)
    sizes = inspect(monitor)
    assert seen(sizes), sizes


def test_the_other_getters(tmp_path):
    monitor = _vesh.register_monitor(str(tmp_path / "vesh.db"), {"trace_points": {"on_return": ["plain"]}},
                                     "tests", False)
    assert monitor.writer_circuit_open is _vesh.writer_circuit_open() is False
    assert monitor.has_trace_points is True
    assert monitor.root_trace_id == monitor.trace_id
    for name in ("writer_circuit_open", "code_metadata_cache_size", "full_code_metadata_cache_size",
                 "_python_serializer_code_paths", "root_trace_id", "has_trace_points"):
        with pytest.raises(AttributeError):
            setattr(monitor, name, None)
    assert type(monitor).code_metadata_cache_size.__doc__.startswith("Number of strongly-held code objects")
