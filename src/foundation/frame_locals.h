// A function frame's locals read straight from its fast-locals slots.
//
// `frame.f_locals` of a function frame is no plain read: on 3.12 it fills a
// snapshot dict that stays on the frame and holds every local's value until
// the frame's next read (so a rebound argument outlives its last use), and
// on 3.13 it is a write-through proxy whose dict() copy looks every name up
// again. Reading the slots gives the same (name, value) pairs in the same
// order, leaves nothing on the frame and builds no Python object.
//
// The interpreter's frame layout differs between versions; this is the one
// place that knows it. Module, class-body and exec frames keep their locals
// in a real mapping: read those through f_locals.
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

// A new dict of the frame's locals as `dict(frame.f_locals)` gives them,
// without leaving a snapshot on a function frame. Null with the error set
// when f_locals or dict() fails.
PyObject* copy(PyFrameObject* frame);

}  // namespace vesh::frame_locals
