// Frame records written from real frames: both forms, the recursion-limit
// fallback, all-or-nothing writes, locals and the byte budget, names and
// native eligibility.
//
// The tests drive the writer from Python through a test-local builtin
// (never a module attribute), so that records are taken from live frames
// with sys._getframe() and decoded with msgpack.
#include "py/error.h"
#include "py/ref.h"
#include "python_helpers.h"
#include "support/byte_buffer.h"
#include "support/native_stack.h"
#include "foundation/frame_path.h"
#include "foundation/frame_types.h"
#include "encode/frame_writer.h"
#include "foundation/stack_guard.h"
#include "encode/value_serializer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>

using vesh::ByteBuffer;
using vesh::FrameId;
using vesh::FramePathCache;
using vesh::FrameLocation;
using vesh::UserCodeCallSite;
using vesh::encode::CachedCodeNames;
using vesh::encode::FrameWrite;
using vesh::py::Ref;
using vesh::testing::run;

namespace {

constexpr std::string_view kPrefix = "\x01\x02\x03 earlier records";

// _write_frame(frame, event_kind, value_kind, value, *, budget=None,
//              lightweight=False, omit_return_locals=False,
//              cached=None | (path, qualname | None),
//              call_site=None | (frame_id, line | None),
//              stack_left=None | bytes of native stack the encoder sees)
//   -> (record bytes, native eligibility of the code afterwards)
// The record is appended to a buffer that already holds other bytes; a
// failure that leaves those bytes changed raises AssertionError. After a
// failure, __main__.last_eligible holds the code's eligibility.
PyObject* write_frame_py(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"frame",       "event_kind", "value_kind", "value",     "budget",
                                   "lightweight", "omit_return_locals",       "cached",    "call_site",
                                   "stack_left",  nullptr};
  PyObject* frame = nullptr;
  PyObject* value = nullptr;
  PyObject* budget = Py_None;
  PyObject* cached = Py_None;
  PyObject* call_site = Py_None;
  PyObject* stack_left = Py_None;
  unsigned char event_kind = 0;
  unsigned char value_kind = 0;
  int lightweight = 0;
  int omit_return_locals = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OBBO|$OppOOO", const_cast<char**>(keywords), &frame, &event_kind,
                                   &value_kind, &value, &budget, &lightweight, &omit_return_locals, &cached,
                                   &call_site, &stack_left)) {
    return nullptr;
  }
  const vesh::encode::SerializerState* state = vesh::encode::Serializer::get();
  if (state == nullptr) return nullptr;

  FramePathCache path_cache;
  std::atomic<bool> eligible{true};
  CachedCodeNames names;
  const char* cached_qualname = nullptr;
  const char* cached_path = nullptr;
  Ref cached_items;
  if (cached != Py_None) {
    cached_items = Ref::steal(PySequence_Tuple(cached));  // lists too: locals must stay native
    if (!cached_items || !PyArg_ParseTuple(cached_items.get(), "sz", &cached_path, &cached_qualname)) return nullptr;
    names.path = cached_path;
    if (cached_qualname != nullptr) names.qualname = cached_qualname;
    names.native_msgpack_eligible = &eligible;
  }
  std::optional<UserCodeCallSite> site;
  if (call_site != Py_None) {
    const char* id = nullptr;
    PyObject* line = nullptr;
    if (!PyArg_ParseTuple(call_site, "sO", &id, &line)) return nullptr;
    std::optional<std::int32_t> line_number;
    if (line != Py_None) line_number = static_cast<std::int32_t>(PyLong_AsLong(line));
    site = UserCodeCallSite{line_number, *FrameId::from_text(id)};
  }
  FrameId frame_id = FrameId::fresh();
  FrameWrite write{
      .frame = frame,
      .serializer = state,
      .path_cache = &path_cache,
      .call_site = site,
      .value_kind = value_kind,
      .value = value,
      .event_kind = event_kind,
      .co_name = "work",
      .frame_id = &frame_id,
      .lightweight_repr = lightweight != 0,
      .omit_return_locals = omit_return_locals != 0,
      .cached = cached != Py_None ? &names : nullptr,
      .byte_budget = budget == Py_None ? std::nullopt : std::optional<std::size_t>(PyLong_AsSize_t(budget)),
  };
  // co_name is the caller's: take the code's own.
  Ref code = Ref::steal(PyObject_GetAttrString(frame, "f_code"));
  Ref co_name = code ? Ref::steal(PyObject_GetAttrString(code.get(), "co_name")) : Ref();
  if (!co_name) return nullptr;
  write.co_name = PyUnicode_AsUTF8(co_name.get());

  ByteBuffer buffer;
  buffer.append(kPrefix);
  if (stack_left != Py_None) {
    vesh::native_stack::set_override_for_thread(std::optional<std::size_t>(PyLong_AsSize_t(stack_left)));
  }
  bool ok = vesh::encode::write_frame_with_serializer_inner(buffer, write);
  vesh::native_stack::set_override_for_thread(std::nullopt);
  if (!ok) {
    // What the failed write left of the code's eligibility, for the tests.
    vesh::py::PyError error = vesh::py::PyError::fetch();
    bool eligible_after = eligible.load();
    FrameLocation location;
    if (cached == Py_None && path_cache.frame_path_and_native_eligibility(frame, location)) {
      eligible_after = location.native_eligible;
    }
    PyErr_Clear();
    PyObject_SetAttrString(PyImport_AddModule("__main__"), "last_eligible", eligible_after ? Py_True : Py_False);
    error.restore();
    if (buffer.view() != kPrefix) {
      vesh::py::PyError::fetch();
      PyErr_SetString(PyExc_AssertionError, "a failed write changed the buffer");
    }
    return nullptr;
  }
  if (buffer.view().substr(0, kPrefix.size()) != kPrefix) {
    PyErr_SetString(PyExc_AssertionError, "the write changed earlier bytes");
    return nullptr;
  }
  bool eligible_after = eligible.load();
  if (cached == Py_None) {
    FrameLocation location;
    if (!path_cache.frame_path_and_native_eligibility(frame, location)) return nullptr;
    eligible_after = location.native_eligible;
  }
  std::string_view record = buffer.view().substr(kPrefix.size());
  Ref bytes = Ref::steal(PyBytes_FromStringAndSize(record.data(), static_cast<Py_ssize_t>(record.size())));
  if (!bytes) return nullptr;
  return PyTuple_Pack(2, bytes.get(), eligible_after ? Py_True : Py_False);
}

PyMethodDef write_frame_def = {"_write_frame", reinterpret_cast<PyCFunction>(write_frame_py),
                               METH_VARARGS | METH_KEYWORDS, nullptr};

// Whether the encoder can write values that need the Python fallback
// (instances of user classes); without it such a write fails.
bool fallback_available() {
  const vesh::encode::SerializerState* state = vesh::encode::Serializer::get();
  if (state == nullptr) {
    PyErr_Clear();
    return false;
  }
  Ref instance = vesh::testing::eval("type('Probe', (), {})()");
  vesh::encode::NativeMsgpackEncoder encoder(*state, {});
  ByteBuffer buffer;
  return bool(encoder.encode_value(instance.get(), buffer));
}

class FrameWriter : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    Ref fn = Ref::steal(PyCFunction_New(&write_frame_def, nullptr));
    PyObject* main = PyImport_AddModule("__main__");
    PyObject_SetAttrString(main, "_write_frame", fn.get());
    run(std::string("FALLBACK = ") + (fallback_available() ? "True" : "False"));
    run(R"PY(
import sys, msgpack

def unpack(data):
    return msgpack.unpackb(data, raw=False, strict_map_key=False)

FULL = ["path", "co_name", "qualname", "event", "frame_id", "arg", "locals",
        "timestamp", "type", "user_code_call_site"]
OMITTED = FULL[:7] + ["timestamp", "type", "user_code_call_site", "values_omitted"]

def check_full(record, value_key="arg"):
    keys = FULL if value_key == "arg" else FULL[:5] + ["exception"] + FULL[6:]
    assert list(record) == keys, list(record)
    assert isinstance(record["path"], str) and isinstance(record["co_name"], str)
    assert isinstance(record["frame_id"], str) and len(record["frame_id"]) == 30
    assert record["frame_id"].startswith("frm_")
    assert isinstance(record["timestamp"], float) and record["timestamp"] > 1.6e9
    assert record["type"] == "frame"

def check_omitted(record, value_key="arg", cause="stack_limit"):
    keys = OMITTED if value_key == "arg" else OMITTED[:5] + ["exception"] + OMITTED[6:]
    assert list(record) == keys, list(record)
    assert record[value_key] is None and record["locals"] == {}
    assert record["values_omitted"] == cause
    assert record["type"] == "frame" and isinstance(record["timestamp"], float)

def raise_chain(chain):
    # Raises chain[-1] with chain[-2] as its context, and so on down.
    if len(chain) == 1:
        raise chain[0]("innermost")
    try:
        raise_chain(chain[:-1])
    except BaseException:
        raise chain[-1]("outer")

class ReprRaises:
    def __init__(self, chain):
        self.chain = chain
    def __repr__(self):
        raise_chain(self.chain)

class Plain:
    pass

class SubDict(dict):
    pass
)PY");
  }

  static std::string repr(const std::string& text) { return "'" + text + "'"; }
};

TEST_F(FrameWriter, FullRecordFromALiveFrame) {
  run(R"PY(
def work(a, b):
    c = [a, b]
    return _write_frame(sys._getframe(), 1, 1, c)

data, eligible = work(1, "two")
record = unpack(data)
check_full(record)
assert record["path"].endswith(":%d" % (work.__code__.co_firstlineno + 2)), record["path"]
assert record["co_name"] == "work"
assert record["qualname"] == "__main__.work", record["qualname"]
assert record["event"] == "return"
assert record["arg"] == [1, "two"]
assert record["locals"] == {"a": 1, "b": "two", "c": [1, "two"]}, record["locals"]
assert record["user_code_call_site"] is None
assert eligible
)PY");
}

TEST_F(FrameWriter, ValueKindsAndCallSite) {
  run(R"PY(
def work(x):
    site_id = "frm_" + "0" * 26  # locals stay natively encodable: no tuples
    plain = unpack(_write_frame(sys._getframe(), 0, 0, "ignored", call_site=(site_id, 300))[0])
    check_full(plain)
    assert plain["event"] == "call" and plain["arg"] is None
    assert plain["user_code_call_site"] == {"call_frame_id": "frm_" + "0" * 26, "line_number": 300}
    no_line = unpack(_write_frame(sys._getframe(), 0, 0, None, call_site=(site_id, None))[0])
    assert no_line["user_code_call_site"] == {"call_frame_id": site_id, "line_number": None}
    error = unpack(_write_frame(sys._getframe(), 2, 2, "boom")[0])
    check_full(error, "exception")
    assert error["event"] == "unwind" and error["exception"] == "boom" and "arg" not in error
    for kind, name in enumerate(["call", "return", "unwind", "resume", "yield", "throw"]):
        assert unpack(_write_frame(sys._getframe(), kind, 1, 7)[0])["event"] == name

work(3)
)PY");
}

TEST_F(FrameWriter, OmitReturnLocalsOnlyForReturns) {
  run(R"PY(
def work():
    local = "kept"
    returned = unpack(_write_frame(sys._getframe(), 1, 1, 42, omit_return_locals=True)[0])
    assert returned["locals"] is None and returned["arg"] == 42
    yielded = unpack(_write_frame(sys._getframe(), 4, 1, 42, omit_return_locals=True)[0])
    assert yielded["locals"]["local"] == "kept"
    unwound = unpack(_write_frame(sys._getframe(), 2, 2, "error", omit_return_locals=True)[0])
    assert unwound["locals"]["local"] == "kept"

work()
)PY");
}

TEST_F(FrameWriter, OmittingValuesFlagGivesTheShortFormForExitsOnly) {
  // Make the stack guard answer "omit values" for an exit, as it does with
  // 128 to 192 KiB of stack left.
  vesh::native_stack::set_override_for_thread(std::optional<std::size_t>(150'000));
  vesh::StackCheck check = vesh::check_stack_exit(0x1234);
  vesh::native_stack::set_override_for_thread(std::nullopt);
  ASSERT_EQ(check.decision, vesh::StackDecision::OmitValues);
  ASSERT_TRUE(vesh::omitting_values());
  run(R"PY(
def work():
    local = Plain()  # not natively encodable: the short form must not read it
    frame = sys._getframe()
    for kind, value_kind in [(1, 1), (4, 1), (2, 2)]:
        record = unpack(_write_frame(frame, kind, value_kind, local)[0])
        check_omitted(record, "exception" if value_kind == 2 else "arg")
        assert record["co_name"] == "work" and record["qualname"] == "__main__.work"

work()

# Entry kinds ignore the flag: a full record whose locals are read.
def entry():
    x = 1
    for kind in (0, 3, 5):
        record = unpack(_write_frame(sys._getframe(), kind, 1, 5)[0])
        check_full(record)
        assert record["locals"]["x"] == 1 and record["locals"]["kind"] == kind, record["locals"]

entry()
)PY");
  check.omitting->restore();
  EXPECT_FALSE(vesh::omitting_values());
}

TEST_F(FrameWriter, EncoderOutOfStackGivesTheValuesOmittedForm) {
  run(R"PY(
def work(value_kind):
    local = [1, 2]
    return _write_frame(sys._getframe(), 1, value_kind, [3], stack_left=16 * 1024)

for value_kind, key in [(1, "arg"), (2, "exception")]:
    data, eligible = work(value_kind)
    record = unpack(data)
    check_omitted(record, key)
    assert record["co_name"] == "work" and record["event"] == "return"
    assert record["path"].endswith(":%d" % (work.__code__.co_firstlineno + 2)), record["path"]
    assert eligible
)PY");
}

TEST_F(FrameWriter, FailedLocalsReadFollowsTheRecursionRule) {
  // An object standing in for a frame whose f_locals raises: the read is
  // handled like a failed encode.
  run(R"PY(
class LocalsRaise:
    def __init__(self, real, chain):
        self.f_code = real.f_code
        self.f_globals = real.f_globals
        self.f_lineno = real.f_lineno
        self.chain = chain
    @property
    def f_locals(self):
        raise_chain(self.chain)

def work(chain):
    return _write_frame(LocalsRaise(sys._getframe(), chain), 0, 0, None)

# RecursionError directly and one context level down: the short form.
for chain in ([RecursionError], [RecursionError, ValueError]):
    record = unpack(work(chain)[0])
    check_omitted(record)
    assert record["event"] == "call" and record["qualname"] == "__main__.work"

# Two levels down, or no RecursionError at all: the error itself.
for chain in ([RecursionError, TypeError, ValueError], [ValueError]):
    try:
        work(chain)
    except ValueError as e:
        assert str(e) in ("outer", "innermost")
    else:
        raise AssertionError("expected ValueError for %r" % (chain,))

# Errors that belong to the program are passed on even over a RecursionError;
# _write_frame checks that the buffer was left as it was.
for chain in ([KeyboardInterrupt], [RecursionError, KeyboardInterrupt], [RecursionError, SystemExit]):
    try:
        work(chain)
    except (KeyboardInterrupt, SystemExit) as e:
        assert type(e) is chain[-1]
    else:
        raise AssertionError("expected %s" % chain[-1].__name__)
)PY");
}

TEST_F(FrameWriter, PythonFallbackClearsNativeEligibility) {
  run(R"PY(
def work(value, cached):
    harmless = 1
    return _write_frame(sys._getframe(), 1, 1, value, cached=cached)

for cached in (None, ["app.py", "work"]):
    assert work([1, {"k": 1.5, "b": b"x"}], cached)[1]
    if FALLBACK:
        assert work((1, 2), cached)[1], "an exact tuple stays native"
    # A user class needs Python: the serializer's fallback, or its repr
    # when the serializer cannot write it.
    assert not work(Plain(), cached)[1]
)PY");
}

TEST_F(FrameWriter, AValueThatCannotBeEncodedKeepsItsRecord) {
  run(R"PY(
import logging, weakref

class Captured(logging.Handler):
    def __init__(self):
        super().__init__()
        self.messages = []
    def emit(self, record):
        self.messages.append(record.getMessage())

captured = Captured()
logging.getLogger("vesh").addHandler(captured)

def dead_proxy():
    target = Plain()
    proxy = weakref.proxy(target)
    del target
    return proxy

def nested(depth):
    # Nested past the MessagePack limit, with a repr that fails at the bottom.
    value = [ReprRaises([ValueError])]
    for _ in range(depth):
        value = [value]
    return value

def as_arg(value):
    ok = 1
    return _write_frame(sys._getframe(), 1, 1, value)

def as_local(value):
    ok = 1
    return _write_frame(sys._getframe(), 1, 1, "done")

def deep_arg(value):
    return _write_frame(sys._getframe(), 1, 1, value)

def deep_local(value):
    return _write_frame(sys._getframe(), 1, 1, None)

def text(ext):
    assert isinstance(ext, msgpack.ExtType) and ext.code == 0, ext
    return ext.data.decode()

try:
    for write, value, check in [
        # The repr stands for the value; the rest of the record is as usual.
        (as_arg, dead_proxy(), lambda r: text(r["arg"]).startswith("<weakproxy") and r["locals"]["ok"] == 1),
        (as_local, dead_proxy(),
         lambda r: text(r["locals"]["value"]).startswith("<weakproxy") and r["locals"]["ok"] == 1
                   and r["arg"] == "done"),
    ]:
        record = unpack(write(value)[0])
        check_full(record)
        assert check(record), record
    # Neither encoded nor its repr: the record keeps no values and says why.
    for write in (deep_arg, deep_local):
        check_omitted(unpack(write(nested(2000))[0]), cause="unencodable_value")
    # Said once per code location, not per event.
    for _ in range(3):
        as_arg(dead_proxy())
        deep_arg(nested(2000))
    said = {m.split(" ")[7]: m for m in captured.messages}
    assert len(captured.messages) == len(said) == 4, captured.messages
    assert "(ReferenceError: " in said["as_arg"] and said["as_arg"].endswith("it is recorded as its repr")
    assert "(ValueError: " in said["deep_arg"] and said["deep_arg"].endswith("the record keeps no values")
finally:
    logging.getLogger("vesh").removeHandler(captured)
)PY");
}

TEST_F(FrameWriter, ModuleFramesDropBuiltinsFromTheRecordOnly) {
  run(R"PY(
out = []
helpers = {"_write_frame": _write_frame, "_getframe": sys._getframe, "out": out}
namespace = {"__name__": "app.module", "__builtins__": helpers}
exec("answer = 42\nout.append(_write_frame(_getframe(), 0, 0, None)[0])\n", namespace)
record = unpack(out[0])
check_full(record)
assert namespace["__builtins__"] is helpers
assert record["locals"] == {"__name__": "app.module", "answer": 42}, record["locals"]
assert record["qualname"] == "app.module.<module>", record["qualname"]
)PY");
}

TEST_F(FrameWriter, LocalsUnderTheByteBudget) {
  run(R"PY(
def one_oversized():
    small = 1
    huge = "x" * 1000
    other = "y"
    return unpack(_write_frame(sys._getframe(), 0, 0, None, budget=64)[0])

record = one_oversized()
check_full(record)
assert list(record["locals"]) == ["small", "huge", "other"]
assert record["locals"]["small"] == 1 and record["locals"]["other"] == "y"
marker = record["locals"]["huge"]
assert isinstance(marker, msgpack.ExtType) and marker.code == 12, marker
assert marker.data.startswith(b"str exceeded max_value_mb (64 bytes)"), marker.data

def together_too_big():
    a = "a" * 40
    b = "b" * 40
    return unpack(_write_frame(sys._getframe(), 0, 0, None, budget=64)[0])

assert together_too_big()["locals"] == {"a": "a" * 40, "b": "b" * 40}

def long_names():
    # Keys are never cut, however long.
    a_very_long_local_variable_name_that_is_longer_than_the_whole_budget_of_this_record = 1
    padding = "p" * 60
    return unpack(_write_frame(sys._getframe(), 0, 0, None, budget=64)[0])

assert long_names()["locals"] == {
    "a_very_long_local_variable_name_that_is_longer_than_the_whole_budget_of_this_record": 1,
    "padding": "p" * 60,
}
)PY");
}

TEST_F(FrameWriter, CachedNamesAndModuleNames) {
  // Return events with omit_return_locals: these module-level frames' locals
  // are not read.
  run(R"PY(
code = "record = unpack(_write_frame(sys._getframe(), 1, 0, None, omit_return_locals=True, cached=cached)[0])"
cases = [
    ({"__name__": "app.views"}, ("app/views.py", "Order.total"), "app.views.Order.total"),
    ({}, ("app/views.py", "Order.total"), "<unknown>.Order.total"),
    ({"__name__": 42}, ("app/views.py", "Order.total"), "42.Order.total"),
    ({"__name__": "caf\udce9"}, ("app/views.py", "Order.total"), "caf\ufffd.Order.total"),
    ({"__name__": "app.views"}, ("app/views.py", None), "app.views.<module>"),
]
for globals_, cached, qualname in cases:
    namespace = dict(globals_, _write_frame=_write_frame, unpack=unpack, sys=sys, cached=cached)
    exec(code, namespace)
    record = namespace["record"]
    check_full(record)
    assert record["qualname"] == qualname, (record["qualname"], qualname)
    assert record["path"] == "app/views.py:1", record["path"]
)PY");
}

}  // namespace
