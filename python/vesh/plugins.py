"""Plugin descriptions handed to vesh's native recorder.

Each recorder calls ``load_plugin_data(config)`` once, when it is made, and
turns every entry into plugin processors, one per name in its "co_names".
An entry is a dict with the keys:

- "co_names": the code names (``co_name``) whose frames the plugin watches;
- "path_fragment": text that must occur in the code's file name;
- "call_type", "return_type": the record type for call and return events;
- optionally "unwind_type", "resume_type", "yield_type", "throw_type",
  "subtype", "events" (event names to record), "call" (a predicate
  ``call(frame, event, arg, context) -> bool``), "process"
  (``process(frame, event, arg, context) -> Mapping`` merged into the record)
  and "build_context" (``build_context(config) -> dict``).

No plugin ships with vesh itself; entries added to ``PLUGINS`` are what the
next recorder loads.
"""

from __future__ import annotations

from typing import Any

PLUGINS: list[dict[str, Any]] = []


def load_plugin_data(config: dict[str, Any]) -> list[dict[str, Any]]:
    """The plugin entries for a recorder configured with ``config``."""
    return list(PLUGINS)
