"""The Python side of vesh's profile-hook recorder.

A ``Profiler`` holds what the native recorder reads when it is made
(``config``, ``trace_id``, ``db_path``, ``one_trace_per_test``,
``trace_name`` and ``source``). ``start()`` hands it to
``vesh._vesh.register_profiler``, which builds the native ``VeshProfiler``,
stores it as ``rust_profiler`` and installs it as the calling thread's
profile function (and, with ``config["threading"]`` true, on every thread
started later). ``stop()`` removes the hook from every thread; ``save()``
stores the trace recorded so far in the trace database.

The object itself is callable with the profile function's arguments, so it
can stand wherever a Python profile function is expected; the native hook
replaces it on every thread where it would run.
"""

from __future__ import annotations

import os
import secrets
import sys
import threading
import time
from typing import Any

from vesh import _vesh

_CROCKFORD = "0123456789ABCDEFGHJKMNPQRSTVWXYZ"


def new_trace_id() -> str:
    """A fresh trace id: "trc_" and a ULID (48-bit milliseconds, 80 random bits)."""
    value = (int(time.time() * 1000) << 80) | secrets.randbits(80)
    text = "".join(_CROCKFORD[(value >> shift) & 31] for shift in range(125, -1, -5))
    return "trc_" + text


class Profiler:
    """Records a program through the interpreter's profile hook."""

    def __init__(
        self,
        db_path: str | os.PathLike[str],
        config: dict[str, Any] | None = None,
        *,
        trace_id: str | None = None,
        trace_name: str | None = None,
        source: str = "vesh.profiler",
        one_trace_per_test: bool = False,
    ) -> None:
        self.config: dict[str, Any] = dict(config) if config is not None else {}
        self.trace_id = trace_id if trace_id is not None else new_trace_id()
        self.db_path = db_path
        self.one_trace_per_test = one_trace_per_test
        self.trace_name = trace_name
        self.source = source
        self.rust_profiler: Any = None

    def __call__(self, frame: Any, event: str, arg: Any) -> None:
        """A profile function that records nothing; the native one takes over."""
        return None

    def start(self) -> None:
        _vesh.register_profiler(self)

    def stop(self) -> None:
        """Removes the profile hook from every thread and from threads started later."""
        threading.setprofile(None)
        setprofile_all = getattr(threading, "setprofile_all_threads", None)
        if setprofile_all is not None:
            setprofile_all(None)
        else:
            sys.setprofile(None)

    def save(self) -> None:
        if self.rust_profiler is not None:
            self.rust_profiler.save()

    def build_trace(self) -> bytes:
        return self.rust_profiler.build_trace()

    def __enter__(self) -> Profiler:
        self.start()
        return self

    def __exit__(self, *exc: object) -> None:
        self.stop()
