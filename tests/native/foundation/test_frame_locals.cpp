// The slot reader against the interpreter's own f_locals: generated
// functions (arguments of every kind, cells, free variables, deleted and
// unbound names, generators, comprehensions) each probe their frame once,
// and the reader must give exactly the (name, value) pairs, in the same
// order and by identity, that f_locals gives. Module and class-body frames
// are left to their mapping.
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

PyMethodDef slot_locals_def = {"_slot_locals", slot_locals_py, METH_O, nullptr};
PyMethodDef locals_copy_def = {"_locals_copy", locals_copy_py, METH_O, nullptr};

class FrameLocals : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    PyObject* main = PyImport_AddModule("__main__");
    Ref slot = Ref::steal(PyCFunction_New(&slot_locals_def, nullptr));
    Ref copy = Ref::steal(PyCFunction_New(&locals_copy_def, nullptr));
    PyObject_SetAttrString(main, "_slot_locals", slot.get());
    PyObject_SetAttrString(main, "_locals_copy", copy.get());
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

}  // namespace
