"""Recording a program through ``sys.monitoring`` with vesh's native monitor.

A session claims the monitoring tool vesh uses (3), registers the monitor's
callbacks, switches the events on and activates the monitor; stopping turns
the events off, saves what was recorded through ``vesh.db`` and frees the
tool again::

    with vesh.monitoring.session("traces/vesh.db") as monitor:
        run_the_program()
    print(monitor.trace_id)
"""

from __future__ import annotations

import contextlib
import os
import sys
from typing import Any, Iterator

from vesh import _vesh

TOOL_ID = 3

# The events and the monitor method that receives each.
CALLBACKS = (
    ("PY_START", "monitor_pystart"),
    ("PY_RETURN", "monitor_pyreturn"),
    ("PY_UNWIND", "monitor_pyunwind"),
    ("PY_RESUME", "monitor_pyresume"),
    ("PY_YIELD", "monitor_pyyield"),
    ("PY_THROW", "monitor_pythrow"),
)


def _event_set() -> int:
    events = sys.monitoring.events
    mask = 0
    for event, _ in CALLBACKS:
        mask |= getattr(events, event)
    return mask


def _release_tool() -> None:
    monitoring = sys.monitoring
    monitoring.set_events(TOOL_ID, 0)
    for event, _ in CALLBACKS:
        monitoring.register_callback(TOOL_ID, getattr(monitoring.events, event), None)
    monitoring.free_tool_id(TOOL_ID)


def start(
    db_path: str | os.PathLike[str],
    config: dict[str, Any] | None = None,
    *,
    source: str = "vesh.monitoring",
    one_trace_per_test: bool = False,
    name: str | None = None,
) -> Any:
    """Makes a monitor and starts recording every thread of the process.

    Fails with ValueError when another tool already holds tool id 3.
    """
    monitor = _vesh.register_monitor(os.fspath(db_path), dict(config or {}), source, one_trace_per_test, name)
    monitoring = sys.monitoring
    monitoring.use_tool_id(TOOL_ID, "vesh")
    try:
        for event, method in CALLBACKS:
            monitoring.register_callback(TOOL_ID, getattr(monitoring.events, event), getattr(monitor, method))
        monitoring.set_events(TOOL_ID, _event_set())
        monitor.set_active(True)
    except BaseException:
        monitor.set_active(False)
        _release_tool()
        raise
    return monitor


def stop(monitor: Any, *, save: bool = True) -> None:
    """Stops recording, saves the trace (unless ``save`` is false) and frees
    the tool. The tool is freed even when saving fails."""
    try:
        sys.monitoring.set_events(TOOL_ID, 0)
        monitor.set_active(False)
        if save:
            monitor.save()
    finally:
        _release_tool()


@contextlib.contextmanager
def session(db_path: str | os.PathLike[str], config: dict[str, Any] | None = None, **options: Any) -> Iterator[Any]:
    """Records the body of the ``with`` block and saves it on the way out."""
    monitor = start(db_path, config, **options)
    try:
        yield monitor
    finally:
        stop(monitor)
