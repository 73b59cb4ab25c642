"""The tracer's version, recorded in every trace's metadata."""

__version__ = "0.1.0"
