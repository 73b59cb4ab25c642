"""Recording never writes into the program's namespaces: a class body or a
module body run by exec ends up holding exactly what it would unrecorded,
under either recorder, and the body's records show its locals as
`frame.f_locals` shows them."""

from __future__ import annotations

import sys

import pytest

from monitor_helpers import decode, under_monitor, under_profile_hook


def dunder_class_beside_super():
    # The body's `__class__` cell stays empty until the class exists.
    class Pathological:
        def method(self):
            return super().__init__

        __class__ = 413
        squares = [n * n for n in range(3)]

    return "Pathological", vars(Pathological)


def class_reading_a_cell():
    # The alias reads the class's names through the body's bound cell.
    class Aliased:
        x = 1
        type Alias = list[x]
        firsts = [n for n in range(2)]

    return "Aliased", vars(Aliased)


MODULE = """
total = 0
squares = [n * n for n in range(3)]
class Inside:
    __class__ = 7
    def method(self):
        return super().__init__
"""


def module_body_under_exec():
    namespace = {"__name__": "executed"}
    exec(compile(MODULE, __file__, "exec"), namespace)
    return "<module>", {name: value for name, value in namespace.items() if name != "__builtins__"}


PROGRAMS = [dunder_class_beside_super, class_reading_a_cell, module_body_under_exec]


def comparable(value):
    """A value as a record and the live object can both be compared: plain
    values and lists as they are, anything else (written as its repr, an
    extension type or a map) as a marker."""
    if value is None or isinstance(value, (bool, int, str)):
        return value
    if type(value) is list:
        return [comparable(item) for item in value]
    return "<other>"


def shape(mapping):
    return [(name, comparable(value)) for name, value in mapping.items()]


def f_locals_at_body_return(program, body):
    """The body's f_locals when it returns, read once from a profile
    function in a run of its own (on 3.12 the read changes the namespace)."""
    seen = []

    def profile(frame, event, arg):
        if event == "return" and frame.f_code.co_name == body and not seen:
            seen.append(shape({n: v for n, v in frame.f_locals.items() if n != "__builtins__"}))

    sys.setprofile(profile)
    try:
        program()
    finally:
        sys.setprofile(None)
    return seen[0]


RECORDERS = [
    pytest.param(under_monitor, {}, id="monitor"),
    pytest.param(under_monitor, {"line_events": True}, id="monitor-assignments"),
    pytest.param(under_profile_hook, {}, id="profile-hook"),
]


@pytest.mark.parametrize(("recorder", "config"), RECORDERS)
@pytest.mark.parametrize("program", PROGRAMS)
def test_a_body_keeps_its_namespace_and_records_its_f_locals(tmp_path, recorder, config, program):
    body, unrecorded = program()
    expected_locals = f_locals_at_body_return(program, body)

    (_, namespace), trace = recorder(tmp_path / "vesh.db", program, config)

    assert shape(namespace) == shape(unrecorded)
    returns = [r for r in decode(trace).frames_of("." + body) if r["type"] == "frame" and r["event"] == "return"]
    assert len(returns) == 1
    assert shape(returns[0]["locals"]) == expected_locals
