"""A call into Python that answers with an exception still set. CPython's
weakref repr does this when the referent's __name__ raises AttributeError
(a transparent proxy around an object without a __name__ is one): repr(r)
returns its text with the AttributeError set. Whatever the recorder asks of
such an object counts as a failed call under that call's own rules; the
program never sees the exception (as a SystemError from the recorder's
callback) and its frames are still recorded."""

from __future__ import annotations

import logging
import sys
import uuid
import weakref

import pytest

from monitor_helpers import decode, under_monitor, under_profile_hook

RECORDERS = [
    pytest.param(under_monitor, {}, id="monitor"),
    pytest.param(under_monitor, {"line_events": True}, id="monitor-line-events"),
    pytest.param(under_profile_hook, {}, id="profile"),
]


def nameless_referent():
    """An object whose __name__ raises AttributeError, and a live weakref.ref
    to it whose repr leaves that error set. The error's text is new for each
    call: the recorder says such a cause once per process."""
    text = f"no __name__ here ({uuid.uuid4().hex})"

    class Nameless:
        @property
        def __name__(self):
            raise AttributeError(text)

    target = Nameless()
    return target, weakref.ref(target)


def unexpected_exceptions(caplog):
    # By the template: the profile hook's message shows the frame's locals.
    return [r for r in caplog.records if r.name == "vesh" and str(r.msg).startswith("Unexpected exception")]


def expected_events(config):
    """A call and its return, and with line_events the one assignment between."""
    return ["call", "line", "return"] if config.get("line_events") else ["call", "return"]


@pytest.mark.parametrize("run, config", RECORDERS)
def test_a_module_name_whose_str_leaves_an_exception_set_costs_only_its_text(db, run, config, caplog, monkeypatch):
    # The recorder writes a frame's qualified name from its module's __name__,
    # through str() when that is no str.
    target, ref = nameless_referent()
    namespace = {"__name__": ref}
    exec(compile("def plus_one(x):\n    y = x\n    return y + 1\n", __file__, "exec"), namespace)
    unraisable = []
    monkeypatch.setattr(sys, "unraisablehook", lambda report: unraisable.append(report.exc_type))

    with caplog.at_level(logging.WARNING, logger="vesh"):
        outcome, trace = run(db, lambda: namespace["plus_one"](1), config)

    assert outcome == 2
    records = [r for r in decode(trace).records() if r.get("co_name") == "plus_one"]
    assert [r["event"] for r in records] == expected_events(config)
    assert {r["qualname"] for r in records} == {"<unprintable ReferenceType object>.plus_one"}
    assert unraisable and set(unraisable) == {AttributeError}
    assert not unexpected_exceptions(caplog)


@pytest.mark.parametrize("run, config", RECORDERS)
def test_a_weakref_whose_repr_leaves_an_exception_set_is_recorded_without_reaching_the_program(
    db, run, config, caplog
):
    target, ref = nameless_referent()

    def keeps(r):
        kept = r
        return kept is r

    with caplog.at_level(logging.WARNING, logger="vesh"):
        outcome, trace = run(db, lambda: keeps(ref), config)

    assert outcome is True
    assert [r["event"] for r in decode(trace).records() if r.get("co_name") == "keeps"] == expected_events(config)
    # Each of the encoder's own calls took the failed repr under its rules:
    # nothing was left set for the callback's way out to catch.
    assert not unexpected_exceptions(caplog)
