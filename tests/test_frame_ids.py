"""Frame ids across both recorders: a frame entered before recording began
never takes the id of a recorded frame that has finished."""

from __future__ import annotations

import pytest

from monitor_helpers import decode
from vesh import monitoring
from vesh.profiler import Profiler


def outer(depth, start):
    # One code object for the frame that starts recording and for the
    # recorded calls it makes: their frame objects are the same size, so the
    # starting frame's object, made only at its return, lands where the last
    # finished call's was.
    if depth == 0:
        start()
        for _ in range(3):
            outer(1, start)
    return depth


def run_monitor(db):
    started = []
    outer(0, lambda: started.append(monitoring.start(db, {})))
    monitoring.stop(started[0], save=False)
    return started[0].build_trace()


def run_profiler(db):
    profiler = Profiler(db, {})
    outer(0, profiler.start)
    profiler.stop()
    return profiler.build_trace()


@pytest.mark.parametrize("run", [run_monitor, run_profiler], ids=["monitor", "profiler"])
def test_a_frame_entered_before_recording_is_not_credited_to_a_finished_call(tmp_path, run):
    records = [r for r in decode(run(tmp_path / "vesh.db")).records() if r.get("co_name") == "outer"]
    calls = [r["frame_id"] for r in records if r["event"] == "call"]
    returns = [r["frame_id"] for r in records if r["event"] == "return"]
    assert len(calls) == 3 and len(set(calls)) == 3
    # Each recorded call returns once under its own id. The starting frame's
    # return has no recorded call: the monitor leaves it out, the profile
    # hook gives it an id of its own.
    assert returns[:3] == calls
    assert len(returns) == (3 if run is run_monitor else 4)
    assert returns[3:] == [] or returns[3] not in calls
