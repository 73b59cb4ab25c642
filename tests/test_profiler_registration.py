"""register_profiler and the VeshProfiler surface: construction from the
Python-side profiler object, its failures, the getters and spreading the
hook to new threads."""

import inspect
import os
import pathlib
import sys
import threading

import pytest

from vesh import _vesh
from vesh.profiler import Profiler


@pytest.fixture
def unhook():
    yield
    threading.setprofile(None)
    sys.setprofile(None)


class Recording(Profiler):
    """A profiler object that lists the attributes read from it."""

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        object.__setattr__(self, "reads", [])

    def __getattribute__(self, name):
        if name in {"config", "trace_id", "db_path", "one_trace_per_test", "trace_name", "source"}:
            object.__getattribute__(self, "reads").append(name)
        return object.__getattribute__(self, name)


def make(tmp_path, config=None, **kwargs):
    return Profiler(tmp_path / "trace.db", config if config is not None else {}, **kwargs)


def test_attributes_are_read_in_order_and_the_hook_is_installed(tmp_path, unhook):
    profiler = Recording(tmp_path / "trace.db", {})
    _vesh.register_profiler(profiler)
    sys.setprofile(None)
    assert profiler.reads == [
        "config",
        "trace_id",
        "db_path",
        "one_trace_per_test",
        "trace_name",
        "trace_name",
        "source",
        "config",
    ]
    assert type(profiler.rust_profiler).__name__ == "VeshProfiler"


def test_installed_on_the_calling_thread(tmp_path, unhook):
    profiler = make(tmp_path)
    _vesh.register_profiler(profiler)
    installed = sys.getprofile()
    sys.setprofile(None)
    assert installed is profiler.rust_profiler


def _bad(attr, value):
    def change(profiler):
        setattr(profiler, attr, value)

    return change


def _bad_config(key, value):
    def change(profiler):
        profiler.config[key] = value

    return change


def _missing(attr):
    def change(profiler):
        object.__setattr__(profiler, attr + "_gone", True)
        delattr(profiler, attr)

    return change


CONSTRUCTION_ERRORS = [
    ("config is a list", _bad("config", []), TypeError, None),
    ("config missing", _missing("config"), AttributeError, None),
    ("trace_id not str", _bad("trace_id", 5), TypeError, None),
    ("trace_id leaves raw/", _bad("trace_id", "trc_../x"), OSError, "invalid trace id"),
    ("db_path missing", _missing("db_path"), AttributeError, None),
    ("one_trace_per_test is 1", _bad("one_trace_per_test", 1), TypeError, None),
    ("trace_name not str", _bad("trace_name", b"x"), TypeError, None),
    ("source is None", _bad("source", None), TypeError, None),
    ("include_frames is a str", _bad_config("filters", {"include_frames": "abc"}), TypeError,
     "Can't extract `str` to `Vec`"),
    ("ignore_frames holds an int", _bad_config("filters", {"ignore_frames": [1]}), TypeError, None),
    ("flush_subtree_mb True", _bad_config("flush_subtree_mb", True), ValueError, "flush_subtree_mb = true is not valid"),
    ("flush_subtree_mb negative", _bad_config("flush_subtree_mb", -1), ValueError,
     "flush_subtree_mb must be a non-negative number or false"),
    ("flush_subtree_mb huge", _bad_config("flush_subtree_mb", 2.0**45), ValueError,
     "flush_subtree_mb is too large for this platform"),
    ("sqlite_busy_timeout negative", _bad_config("sqlite_busy_timeout", -1), OverflowError, None),
    ("lightweight_repr is 1", _bad_config("lightweight_repr", 1), TypeError, None),
    ("omit_return_locals is None", _bad_config("omit_return_locals", None), TypeError, None),
    ("max_value_mb is text", _bad_config("max_value_mb", "big"), ValueError,
     "max_value_mb must be a non-negative number or false"),
    ("config key not str", _bad_config(1, True), TypeError, None),
]


@pytest.mark.parametrize("change,error,message", [c[1:] for c in CONSTRUCTION_ERRORS],
                         ids=[c[0] for c in CONSTRUCTION_ERRORS])
def test_failed_construction_leaves_nothing_behind(tmp_path, unhook, change, error, message):
    profiler = make(tmp_path, {"threading": True})
    change(profiler)
    with pytest.raises(error) as raised:
        _vesh.register_profiler(profiler)
    if message is not None:
        assert message in str(raised.value)
    assert sys.getprofile() is None
    assert threading.getprofile() is None
    assert "rust_profiler" not in vars(profiler) or profiler.rust_profiler is None
    assert not (tmp_path / "raw").exists()
    assert os.listdir(tmp_path) == []


def test_config_list_reads_no_other_attribute(tmp_path, unhook):
    profiler = Recording(tmp_path / "trace.db", {})
    profiler.config = []
    profiler.reads.clear()
    with pytest.raises(TypeError):
        _vesh.register_profiler(profiler)
    assert profiler.reads == ["config"]


def test_not_callable_is_refused_before_anything_is_read(unhook):
    class NotCallable:
        def __getattr__(self, name):
            raise AssertionError(f"read {name}")

    with pytest.raises(TypeError, match="^profiler object is not callable$"):
        _vesh.register_profiler(NotCallable())
    assert sys.getprofile() is None


FLUSH_THRESHOLDS = [
    ({}, 524_288_000),
    ({"flush_subtree_mb": None}, None),
    ({"flush_subtree_mb": False}, None),
    ({"flush_subtree_mb": 1}, 1_048_576),
    ({"flush_subtree_mb": 0.5}, 524_288),
    ({"flush_subtree_mb": 0}, 0),
    ({"flush_subtree_mb": -0.0}, 0),
    ({"flush_subtree_mb": 2**44}, 2**64 - 1),
]


@pytest.mark.parametrize("config,expected", FLUSH_THRESHOLDS)
def test_flush_subtree_bytes(tmp_path, unhook, config, expected):
    profiler = make(tmp_path, config)
    _vesh.register_profiler(profiler)
    sys.setprofile(None)
    assert profiler.rust_profiler.flush_subtree_bytes == expected


def test_getters_and_surface(tmp_path, unhook):
    profiler = make(tmp_path, trace_name="")
    profiler.db_path = pathlib.Path(tmp_path) / "trace.db"
    _vesh.register_profiler(profiler)
    sys.setprofile(None)
    rust = profiler.rust_profiler
    assert rust.trace_id == profiler.trace_id
    assert rust.root_trace_id == profiler.trace_id
    assert rust.panicked is False
    assert rust.release_repr_reuse() is None
    with pytest.raises(TypeError):
        rust.release_repr_reuse(1)
    with pytest.raises(AttributeError):
        rust.trace_id = "trc_other"
    cls = type(rust)
    assert cls.__name__ == "VeshProfiler"
    assert not hasattr(_vesh, "VeshProfiler")
    with pytest.raises(TypeError):
        cls()
    with pytest.raises(TypeError):
        class Sub(cls):  # noqa: F841 - subclassing must fail
            pass
    assert cls.__doc__.startswith("This struct holds data during profiling.\n\n")
    assert str(inspect.signature(rust.register_threading_profiler)) == "(_frame, _event, _arg)"
    assert str(inspect.signature(rust.release_repr_reuse)) == "()"
    assert cls.panicked.__doc__ == "Whether a callback panicked and tracing stopped without a trace."
    assert cls.flush_subtree_bytes.__doc__ == (
        "Maximum buffered bytes before flushing a subtree. None means disabled."
    )
    assert not (tmp_path / "raw").exists()


@pytest.mark.parametrize("args,kwargs", [((), {}), ((None, "call"), {}), ((None, "call", None, 1), {}),
                                         ((None, "call"), {"arg": None})])
def test_register_threading_profiler_argument_errors(tmp_path, unhook, args, kwargs):
    profiler = make(tmp_path)
    _vesh.register_profiler(profiler)
    sys.setprofile(None)
    with pytest.raises(TypeError):
        profiler.rust_profiler.register_threading_profiler(*args, **kwargs)
    assert sys.getprofile() is None


def test_register_threading_profiler_installs_on_the_calling_thread(tmp_path, unhook):
    profiler = make(tmp_path)
    _vesh.register_profiler(profiler)
    sys.setprofile(None)
    profiler.rust_profiler.register_threading_profiler(_frame=None, _event="call", _arg=None)
    installed = sys.getprofile()
    sys.setprofile(None)
    assert installed is profiler.rust_profiler


def _profile_seen_by_new_thread():
    seen = []
    thread = threading.Thread(target=lambda: seen.append(sys.getprofile()))
    thread.start()
    thread.join()
    return seen[0]


@pytest.mark.parametrize("threading_value,spread", [(True, True), (False, False), (1, False), ("yes", False),
                                                    (None, False)])
def test_threading_setting_spreads_the_hook(tmp_path, unhook, threading_value, spread):
    profiler = make(tmp_path, {"threading": threading_value})
    _vesh.register_profiler(profiler)
    sys.setprofile(None)
    seen = _profile_seen_by_new_thread()
    threading.setprofile(None)
    if spread:
        assert seen is profiler.rust_profiler
    else:
        assert seen is None


def test_config_without_threading_key(tmp_path, unhook):
    profiler = make(tmp_path, {})
    _vesh.register_profiler(profiler)
    sys.setprofile(None)
    assert threading.getprofile() is None


def test_threading_config_read_failure_is_dropped(tmp_path, unhook):
    class Exploding(dict):
        def __getitem__(self, key):
            raise RuntimeError("no")

    profiler = make(tmp_path)
    profiler.config = Exploding()
    _vesh.register_profiler(profiler)
    sys.setprofile(None)
    assert threading.getprofile() is None
