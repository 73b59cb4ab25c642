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

PyFrameObject* as_frame(PyObject* frame) { return reinterpret_cast<PyFrameObject*>(frame); }

// _slot_locals(frame) -> [(name, value), ...], or None for a frame whose
// locals are not in slots.
PyObject* slot_locals_py(PyObject*, PyObject* frame) {
  if (!PyFrame_Check(frame)) {
    PyErr_SetString(PyExc_TypeError, "a frame");
    return nullptr;
  }
  if (!vesh::frame_locals::in_slots(as_frame(frame))) Py_RETURN_NONE;
  vesh::frame_locals::Pairs pairs;
  vesh::frame_locals::read(as_frame(frame), pairs);
  Ref list = Ref::steal(PyList_New(0));
  for (std::size_t i = 0; list && i < pairs.size(); i += 2) {
    Ref pair = Ref::steal(PyTuple_Pack(2, pairs[i], pairs[i + 1]));
    if (!pair || PyList_Append(list.get(), pair.get()) < 0) return nullptr;
  }
  return list.release();
}

PyObject* locals_copy_py(PyObject*, PyObject* frame) { return vesh::frame_locals::copy(as_frame(frame)); }

PyObject* namespace_locals_py(PyObject*, PyObject* frame) {
  return vesh::frame_locals::namespace_locals(as_frame(frame));
}

PyMethodDef kHelpers[] = {
    {"_slot_locals", slot_locals_py, METH_O, nullptr},
    {"_locals_copy", locals_copy_py, METH_O, nullptr},
    {"_namespace_locals", namespace_locals_py, METH_O, nullptr},
};

class FrameLocals : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    PyObject* main = PyImport_AddModule("__main__");
    for (PyMethodDef& def : kHelpers) {
      Ref fn = Ref::steal(PyCFunction_New(&def, nullptr));
      PyObject_SetAttrString(main, def.ml_name, fn.get());
    }
    run(R"PY(
import sys

MISMATCHES = []
PROBED = []

def same_items(got, want):
    return len(got) == len(want) and all(
        gn == wn and gv is wv for (gn, gv), (wn, wv) in zip(got, want))

def probe():
    frame = sys._getframe(1)
    # The reader first: on 3.12 f_locals leaves a snapshot it must not need.
    got = _slot_locals(frame)
    copied = list(_locals_copy(frame).items())
    want = list(frame.f_locals.items())
    if got is None or not (same_items(got, want) and same_items(copied, want)):
        MISMATCHES.append((frame.f_code.co_name, got, copied, want))

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

  void SetUp() override { run("MISMATCHES.clear()"); }
};

TEST_F(FrameLocals, FunctionFramesMatchFLocals) {
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

# What the generator does not make: a cell still empty, a coroutine, and a
# name set from outside through f_locals that has no slot.
def unbound_cell():
    def use():
        return late
    probe()
    late = 1
    return use

async def coroutine(value):
    local = value
    probe()
    return local

def set_from_outside():
    here = 1
    sys._getframe().f_locals["elsewhere"] = 2
    probe()
    return here

unbound_cell()
try:
    coroutine(3).send(None)
except StopIteration:
    pass
set_from_outside()
assert not MISMATCHES, MISMATCHES[:3]
)PY");
}

// Class bodies and exec'd module bodies over a dict, a dict subclass and a
// mapping that is no dict: empty and bound cells, free variables and
// comprehension variables, each probed while the body runs.
TEST_F(FrameLocals, NamespaceFramesShowFLocalsAndStayUnchanged) {
  run(R"PY(
import collections

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

for factory in (dict, type("DictNamespace", (dict,), {}), collections.UserDict):
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
}

}  // namespace
