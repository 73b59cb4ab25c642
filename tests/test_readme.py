"""The README's instructions, run as a newcomer would run them."""

import ast
import os
import re
import subprocess
import sys
from pathlib import Path

from vesh import monitoring
from vesh.profiler import Profiler

README = Path(__file__).resolve().parent.parent / "README.md"


def python_blocks(text):
    return re.findall(r"^```python\n(.*?)^```$", text, re.S | re.M)


def run_in(directory, code, name):
    # A file of its own: code run from a string is never recorded.
    script = directory / f"{name}.py"
    script.write_text(code)
    proc = subprocess.run([sys.executable, str(script)], cwd=directory, capture_output=True, text=True, timeout=120,
                          env={**os.environ, "PYTHONPATH": os.pathsep.join(p for p in sys.path if p)})
    assert proc.returncode == 0, f"the README's {name} failed:\n{code}\n{proc.stderr}"
    assert proc.stderr == "", proc.stderr
    return proc.stdout


def test_the_snippets_record_a_program_and_read_its_records_back(tmp_path):
    blocks = python_blocks(README.read_text())
    assert len(blocks) == 4
    outputs = [run_in(tmp_path, block, f"snippet{n}") for n, block in enumerate(blocks)]
    monitored, profiled = (re.search(r"^trace id: (\S+)$", out, re.M).group(1) for out in outputs[:2])

    # The reader prints each trace id, then "  token event qualname value locals" per frame record.
    traces, current = {}, None
    for line in outputs[3].splitlines():
        if line.startswith("  "):
            token, rest = line.split(maxsplit=1)
            traces[current].append((token, rest))
        else:
            current = line
            traces[current] = []
    assert set(traces) == {monitored, profiled}
    assert [rest for _, rest in traces[monitored]] == [
        "call __main__.total None {'prices': [3.5, 4.25, 5.0], 'tax': 0.2}",
        "return __main__.total 15.3 {'prices': [3.5, 4.25, 5.0], 'tax': 0.2, 'subtotal': 12.75}",
    ]
    by_thread = {}
    for token, rest in traces[profiled]:
        by_thread.setdefault(token, []).append(rest)
    assert sorted(by_thread.values()) == [
        ["call __main__.greet None {'name': 'Ada'}", "return __main__.greet hello, Ada {'name': 'Ada'}"],
        ["call __main__.greet None {'name': 'Grace'}", "return __main__.greet hello, Grace {'name': 'Grace'}"],
    ]


def documented_settings():
    """The configuration table's keys, each with its stated default."""
    table = README.read_text().split("| Key | Type | Default |", 1)[1].split("\n\n", 1)[0]
    rows = [line.split(" | ") for line in table.splitlines()[2:]]
    return {row[0].strip("| `"): ast.literal_eval(row[2].strip("`")) for row in rows}


def test_both_recorders_take_every_documented_default(db):
    settings = documented_settings()
    assert {"filters", "max_value_mb", "line_events", "threading"} <= set(settings)
    monitor = monitoring.start(db, settings)
    monitoring.stop(monitor, save=False)
    profiler = Profiler(db, settings)
    profiler.start()
    profiler.stop()
    for recorder in (monitor, profiler.rust_profiler):
        assert not recorder.panicked
