// The slot reader against the interpreter's own f_locals: generated
// functions (arguments of every kind, cells, free variables, deleted and
// unbound names, generators, comprehensions) each probe their frame once,
// and the reader must give exactly the (name, value) pairs, in the same
// order and by identity, that f_locals gives. Module, class-body and exec
// frames must show what f_locals shows without changing their namespace.
#include "foundation/frame_locals.h"
#include "py/ref.h"
#include "python_helpers.h"

#include <gtest/gtest.h>

using vesh::py::Ref;
using vesh::testing::run;

namespace {

// _slot_locals(frame) -> [(name, value), ...], or None for a frame whose
// locals are not in slots.
PyObject* slot_locals_py(PyObject*, PyObject* frame) {
  if (!PyFrame_Check(frame)) {
    PyErr_SetString(PyExc_TypeError, "a frame");
    return nullptr;
  }
  auto* frame_object = reinterpret_cast<PyFrameObject*>(frame);
  if (!vesh::frame_locals::in_slots(frame_object)) Py_RETURN_NONE;
  vesh::frame_locals::Pairs pairs;
  vesh::frame_locals::read(frame_object, pairs);
  Ref list = Ref::steal(PyList_New(0));
  for (std::size_t i = 0; list && i < pairs.size(); i += 2) {
    Ref pair = Ref::steal(PyTuple_Pack(2, pairs[i], pairs[i + 1]));
    if (!pair || PyList_Append(list.get(), pair.get()) < 0) return nullptr;
  }
  return list.release();
}

// _locals_copy(frame) -> frame_locals::copy(frame)
PyObject* locals_copy_py(PyObject*, PyObject* frame) {
  return vesh::frame_locals::copy(reinterpret_cast<PyFrameObject*>(frame));
}

// _namespace_locals(frame) -> frame_locals::namespace_locals(frame)
PyObject* namespace_locals_py(PyObject*, PyObject* frame) {
  return vesh::frame_locals::namespace_locals(reinterpret_cast<PyFrameObject*>(frame));
}

PyMethodDef slot_locals_def = {"_slot_locals", slot_locals_py, METH_O, nullptr};
PyMethodDef locals_copy_def = {"_locals_copy", locals_copy_py, METH_O, nullptr};
PyMethodDef namespace_locals_def = {"_namespace_locals", namespace_locals_py, METH_O, nullptr};

class FrameLocals : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    PyObject* main = PyImport_AddModule("__main__");
    Ref slot = Ref::steal(PyCFunction_New(&slot_locals_def, nullptr));
    Ref copy = Ref::steal(PyCFunction_New(&locals_copy_def, nullptr));
    PyObject_SetAttrString(main, "_slot_locals", slot.get());
    PyObject_SetAttrString(main, "_locals_copy", copy.get());
    Ref in_namespace = Ref::steal(PyCFunction_New(&namespace_locals_def, nullptr));
    PyObject_SetAttrString(main, "_namespace_locals", in_namespace.get());
    run(R"PY(
import sys

MISMATCHES = []

def probe():
    frame = sys._getframe(1)
    # The reader first: on 3.12 f_locals leaves a snapshot it must not need.
    got = _slot_locals(frame)
    copied = list(_locals_copy(frame).items())
    want = list(frame.f_locals.items())
    if got is None:
        MISMATCHES.append((frame.f_code.co_name, "not read from slots"))
        return
    same = len(got) == len(want) and all(
        gn == wn and gv is wv for (gn, gv), (wn, wv) in zip(got, want))
    same_copy = len(copied) == len(want) and all(
        cn == wn and cv is wv for (cn, cv), (wn, wv) in zip(copied, want))
    if not (same and same_copy):
        MISMATCHES.append((frame.f_code.co_name, got, copied, want))

PROBED = []

def same_items(got, want):
    return len(got) == len(want) and all(
        gn == wn and gv is wv for (gn, gv), (wn, wv) in zip(got, want))

def probe_namespace(tag, namespace):
    # For a frame whose locals live in `namespace`: the reader and the copy
    # must leave it exactly as it was (f_locals, read last, may not).
    frame = sys._getframe(1)
    PROBED.append(tag)
    before = list(namespace.items())
    got = list(dict(_namespace_locals(frame)).items())
    copied = list(_locals_copy(frame).items())
    after = list(namespace.items())
    want = list(dict(frame.f_locals).items())
    if not same_items(after, before):
        MISMATCHES.append((tag, "namespace changed", before, after))
    if not (same_items(got, want) and same_items(copied, want)):
        MISMATCHES.append((tag, got, copied, want))
)PY");
  }
};

TEST_F(FrameLocals, MatchesFLocalsOnGeneratedFunctions) {
  run(R"PY(
import random

def generated_sources(seed, count):
    rng = random.Random(seed)
    for n in range(count):
        params = [f"p{i}" for i in range(rng.randint(0, 3))]
        defaults = [f"d{i}=({i}, 'x')" for i in range(rng.randint(0, 2))]
        star = ["*rest"] if rng.random() < 0.4 else []
        kwonly = ([] if star else ["*"]) + ["k0=None"] if rng.random() < 0.4 else []
        kwargs = ["**extra"] if rng.random() < 0.3 else []
        signature = ", ".join(params + defaults + star + kwonly + kwargs)
        names = [f"v{i}" for i in range(rng.randint(0, 5))]
        body = []
        bound = list(params)
        for name in names:
            choice = rng.random()
            if choice < 0.6:
                body.append(f"{name} = [{len(body)}, object()]")
                bound.append(name)
            elif choice < 0.75:
                body.append(f"if False: {name} = 1")  # declared, never bound
            else:
                body.append(f"{name} = 'gone'")
                body.append(f"del {name}")
        captured = [v for v in bound if rng.random() < 0.4]
        if captured:
            # Cells of this frame, some of them arguments.
            body.append("def inner():")
            body.append("    return (" + ", ".join(captured) + ",)")
        if rng.random() < 0.3 and bound:
            body.append(f"squares = [{bound[0]} for _ in range(2)]")
        if rng.random() < 0.3:
            body.append("def nested(z=1):")
            body.append("    w = z")
            if captured:
                body.append(f"    seen = {captured[0]}")  # a free variable here
            body.append("    probe()")
            body.append("    return w")
            body.append("nested()")
        generator = rng.random() < 0.25
        if generator:
            body.append("yield 1")
        body.append("probe()")
        if generator:
            body.append("yield 2")
        body.append("return None")
        text = f"def f{n}({signature}):\n" + "".join(f"    {line}\n" for line in body)
        yield f"f{n}", text, [f"a{i}" for i in range(len(params))], generator

for name, text, args, generator in generated_sources(1234, 300):
    namespace = {"probe": probe}
    exec(text, namespace)
    result = namespace[name](*args)
    if generator:
        list(result)
assert not MISMATCHES, MISMATCHES[:3]
)PY");
  EXPECT_FALSE(PyErr_Occurred());
}

TEST_F(FrameLocals, HandWrittenFrames) {
  run(R"PY(
MISMATCHES.clear()

def closure_argument(a, b):
    b = "rebound"
    def use():
        return a
    probe()
    return use

def unbound_cell():
    def use():
        return late
    probe()
    late = 1
    return use

def comprehension_in_function(items):
    total = [x * 2 for x in items]
    probe()
    return total

async def coroutine(value):
    local = value
    probe()
    return local

def set_from_outside():
    here = 1
    sys._getframe().f_locals["elsewhere"] = 2
    probe()
    return here

closure_argument(1, 2)
unbound_cell()
comprehension_in_function([1, 2])
try:
    coroutine(3).send(None)
except StopIteration:
    pass
set_from_outside()
assert not MISMATCHES, MISMATCHES

class Body:
    marker = 1
    NOT_SLOTS = _slot_locals(sys._getframe())
assert Body.NOT_SLOTS is None
assert _slot_locals(sys._getframe()) is None  # module level
)PY");
  EXPECT_FALSE(PyErr_Occurred());
}

// Class bodies and exec'd module bodies over a dict, a dict subclass and a
// mapping that is no dict: empty and bound cells, free variables and
// comprehension variables, each probed while the body runs.
TEST_F(FrameLocals, NamespaceFramesShowFLocalsAndStayUnchanged) {
  run(R"PY(
MISMATCHES.clear()

class DictNamespace(dict):
    pass

class MappingNamespace:
    def __init__(self):
        self.data = {}
    def __getitem__(self, key):
        return self.data[key]
    def __setitem__(self, key, value):
        self.data[key] = value
    def __delitem__(self, key):
        del self.data[key]
    def keys(self):
        return self.data.keys()
    def items(self):
        return self.data.items()

PREPARED = []  # the namespace of each class body running

def publishing(factory):
    class Publishing(type):
        @classmethod
        def __prepare__(meta, name, bases):
            PREPARED.append(factory())
            return PREPARED[-1]
        def __new__(meta, name, bases, namespace):
            PREPARED.pop()
            return type.__new__(meta, name, bases, dict(namespace.items()))
    return Publishing

MODULE = """
a = 1
b = [probe_namespace(TAG + ' module comprehension', NAMES) or k for k in 'xy']
probe_namespace(TAG + ' module', NAMES)
"""

for factory in (dict, DictNamespace, MappingNamespace):
    tag = factory.__name__
    Meta = publishing(factory)

    class Pathological(metaclass=Meta):
        probe_namespace(tag + " empty __class__ cell", PREPARED[-1])
        __class__ = 413
        def method(self):
            return super().method
        probe_namespace(tag + " __class__ beside its empty cell", PREPARED[-1])
        squares = [probe_namespace(tag + " comprehension", PREPARED[-1]) or i * i for i in range(2)]
        catchers = [lambda: j for j in range(2)]

    class Aliased(metaclass=Meta):
        x = 1
        type Alias = list[x]
        firsts = [probe_namespace(tag + " comprehension beside a bound cell", PREPARED[-1]) or i for i in range(1)]
        probe_namespace(tag + " bound __classdict__ cell", PREPARED[-1])

    def outer():
        captured = "free"
        class Inner(metaclass=Meta):
            seen = captured
            def method(self):
                return captured, __class__
            probe_namespace(tag + " free variable", PREPARED[-1])
        return Inner
    outer()

    names = factory()
    exec(MODULE, {"probe_namespace": probe_namespace, "NAMES": names, "TAG": tag + " locals"}, names)
    shared = {"probe_namespace": probe_namespace, "TAG": "shared"}
    shared["NAMES"] = shared
    exec(MODULE, shared)

assert len(PROBED) == 3 * 13, PROBED
assert not MISMATCHES, MISMATCHES[:3]
)PY");
  EXPECT_FALSE(PyErr_Occurred());
}

}  // namespace
