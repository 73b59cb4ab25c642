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

import msgpack
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
def test_a_call_answering_with_an_exception_set_never_reaches_the_program(db, run, config, caplog, monkeypatch):
    # The weakref stands as the function's module name, which the recorder
    # writes through str(), and as its argument and local, which the encoder
    # writes through repr(): both answer with the AttributeError still set.
    target, ref = nameless_referent()
    namespace = {"__name__": ref}
    exec(compile("def keeps(r):\n    kept = r\n    return kept is r\n", __file__, "exec"), namespace)
    unraisable = []
    monkeypatch.setattr(sys, "unraisablehook", lambda report: unraisable.append(report.exc_type))

    with caplog.at_level(logging.WARNING, logger="vesh"):
        outcome, trace = run(db, lambda: namespace["keeps"](ref), config)

    assert outcome is True
    records = [r for r in decode(trace).records() if r.get("co_name") == "keeps"]
    assert [r["event"] for r in records] == expected_events(config)
    assert {r["qualname"] for r in records} == {"<unprintable ReferenceType object>.keeps"}
    # Each call took the failed answer under its own rules (the module name
    # its text, the value its type's name): nothing was left set for the
    # callback's way out to catch.
    assert records[0]["locals"] == {"r": msgpack.ExtType(127, b"weakref.ReferenceType")}
    assert set(unraisable) == {AttributeError}
    assert not unexpected_exceptions(caplog)
