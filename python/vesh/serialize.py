"""Stand-in for the Python side's serializer module.

The native encoder reads only the names defined here from this module's
globals, and sets ``IN_VESH_PROFILER`` while it runs Python code for a value.
"""

from datetime import date, datetime, time
from decimal import Decimal

IN_VESH_PROFILER = False

# Cached answer of _get_queryset_class(): whether it has been looked for, and
# the class found (None without Django).
_QuerySet_checked = False
_QuerySet = None


class DatabaseAccessBlocked(Exception):
    """Raised when a value's repr would query the database while tracing."""


def _get_queryset_class():
    global _QuerySet_checked, _QuerySet
    if not _QuerySet_checked:
        try:
            from django.db.models.query import QuerySet
        except Exception:
            QuerySet = None
        _QuerySet = QuerySet
        _QuerySet_checked = True
    return _QuerySet


def _query_free_repr(value):
    """A text for `value` that runs none of its own code."""
    cls = type(value)
    return f"<{cls.__module__}.{cls.__qualname__} object at {id(value):#x}>"
