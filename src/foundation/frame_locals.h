// A frame's locals read as `frame.f_locals` shows them, without the writes
// that reading f_locals makes.
//
// `frame.f_locals` of a function frame is no plain read: on 3.12 it fills a
// snapshot dict that stays on the frame and holds every local's value until
// the frame's next read (so a rebound argument outlives its last use), and
// on 3.13 it is a write-through proxy whose dict() copy looks every name up
// again. Here a function frame's locals are read straight from its
// fast-locals slots instead: the same (name, value) pairs in the same order,
// nothing left on the frame and no Python object built.
//
// Module, class-body and exec frames keep their locals in the program's own
// namespace, which f_locals on 3.12 writes into: their locals are read here
// as well, so that recording never changes what a namespace holds.
//
// The interpreter's frame layout differs between versions; this is the one
// place that knows it.
#pragma once

#include <Python.h>

#include <absl/container/inlined_vector.h>

namespace vesh::frame_locals {

// name, value, name, value, ... as borrowed pointers: valid only until
// Python code next runs (which could rebind or free them).
using Pairs = absl::InlinedVector<PyObject*, 32>;

// Whether the frame's locals live in its fast-locals slots (optimized,
// function code).
bool in_slots(PyFrameObject* frame) noexcept;

// Appends the frame's bound locals in `frame.f_locals` order: every bound
// slot in the code's order, cells and free variables dereferenced, unbound
// names left out, then names set from outside through f_locals that have no
// slot. Only for frames where in_slots() holds.
void read(PyFrameObject* frame, Pairs& out);

// The locals of a frame where in_slots() does not hold, as `frame.f_locals`
// shows them, without writing into the frame's namespace: on 3.12 reading
// f_locals merges the frame's cells into the namespace (writing bound ones,
// deleting the names of empty ones), so the merge is made on a new dict
// when it would change anything, and the namespace itself is answered
// otherwise. New reference; null with the error set.
PyObject* namespace_locals(PyFrameObject* frame);

// A new dict of the frame's locals as `dict(frame.f_locals)` gives them,
// without leaving a snapshot on a function frame or writing into another
// frame's namespace. Null with the error set when dict() fails.
PyObject* copy(PyFrameObject* frame);

}  // namespace vesh::frame_locals
