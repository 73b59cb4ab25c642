// Only this file sees the interpreter's internal frame layout: the structs
// are read field by field, no internal function is called.
#define Py_BUILD_CORE
#include "foundation/frame_locals.h"
#include "py/ref.h"

#include <internal/pycore_frame.h>

namespace vesh::frame_locals {

namespace {

#if PY_VERSION_HEX >= 0x030D0000
PyCodeObject* code_of(_PyInterpreterFrame* frame) noexcept {
  return reinterpret_cast<PyCodeObject*>(frame->f_executable);
}
#else
PyCodeObject* code_of(_PyInterpreterFrame* frame) noexcept { return frame->f_code; }
#endif

#if PY_VERSION_HEX < 0x030D0000
bool is_slot_name(PyCodeObject* code, PyObject* key) noexcept {
  PyObject* names = code->co_localsplusnames;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(names); ++i) {
    PyObject* name = PyTuple_GET_ITEM(names, i);
    if (name == key) return true;
    if (PyUnicode_CheckExact(key) && PyUnicode_Compare(name, key) == 0) return true;
  }
  return false;
}
#endif

// Names written into the frame's locals from outside (a debugger assigning
// through f_locals) that match no slot: 3.13 keeps them in a dict of their
// own; 3.12 leaves them in the frame's snapshot dict beside stale copies of
// the slots, which are skipped.
void append_extra(PyFrameObject* frame, PyCodeObject* code, Pairs& out) {
#if PY_VERSION_HEX >= 0x030D0000
  (void)code;
  PyObject* extra = frame->f_extra_locals;
  if (extra == nullptr || !PyDict_Check(extra)) return;
  Py_ssize_t position = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(extra, &position, &key, &value)) {
    out.push_back(key);
    out.push_back(value);
  }
#else
  PyObject* snapshot = frame->f_frame->f_locals;
  if (snapshot == nullptr || !PyDict_Check(snapshot)) return;
  Py_ssize_t position = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(snapshot, &position, &key, &value)) {
    if (is_slot_name(code, key)) continue;
    out.push_back(key);
    out.push_back(value);
  }
#endif
}

#if PY_VERSION_HEX < 0x030D0000
// What reading f_locals does to a module, class-body or exec frame on 3.12:
// it merges the frame's slots into the namespace itself, writing every bound
// cell's value under its name and deleting the name of every empty one (a
// class body's `__class__` cell is empty until the class exists, so an
// assignment to `__class__` in the body would vanish). Free variables stay
// out; comprehension variables (hidden slots) are added to a copy only.
// Here the same merge is made on a copy, so the program's namespace is
// never written.

// The slot's value as that merge sees it; false for a slot it skips.
bool namespace_slot(_PyInterpreterFrame* data, PyCodeObject* code, int i, PyObject*& value, bool& hidden) noexcept {
  const _PyLocals_Kind kind = _PyLocals_GetKind(code->co_localspluskinds, i);
  if ((kind & CO_FAST_FREE) != 0) return false;
  value = data->stacktop != 0 ? data->localsplus[i] : nullptr;
  if (value != nullptr && (kind & CO_FAST_CELL) != 0 && PyCell_Check(value)) value = PyCell_GET(value);
  hidden = (kind & CO_FAST_HIDDEN) != 0;
  return true;
}

// Whether the merge would change what the namespace shows: a bound slot
// whose value the namespace does not hold, an empty one whose name it does,
// or a bound comprehension variable. A mapping that is no dict would run its
// own methods, so any slot it would be asked about counts as a change.
bool merge_changes(_PyInterpreterFrame* data, PyCodeObject* code, PyObject* names_dict, bool& failed) {
  for (int i = 0; i < code->co_nlocalsplus; ++i) {
    PyObject* value = nullptr;
    bool hidden = false;
    if (!namespace_slot(data, code, i, value, hidden)) continue;
    if (hidden) {
      if (value != nullptr) return true;
      continue;
    }
    if (!PyDict_Check(names_dict)) return true;
    PyObject* held = PyDict_GetItemWithError(names_dict, PyTuple_GET_ITEM(code->co_localsplusnames, i));
    if (held == nullptr && PyErr_Occurred()) {
      failed = true;
      return false;
    }
    if (held != value) return true;
  }
  return false;
}

// A new dict of the namespace with the slots merged in: the namespace's own
// entries first, then the comprehension variables, as f_locals orders them.
PyObject* merged_copy(_PyInterpreterFrame* data, PyCodeObject* code, PyObject* names_dict) {
  PyObject* dict_type = reinterpret_cast<PyObject*>(&PyDict_Type);
  PyObject* merged = names_dict == nullptr        ? PyDict_New()
                     : PyDict_Check(names_dict) ? PyDict_Copy(names_dict)
                                                : py::Ref::checked(PyObject_CallOneArg(dict_type, names_dict)).release();
  if (merged == nullptr) return nullptr;
  for (int pass = 0; pass < 2; ++pass) {
    const bool want_hidden = pass == 1;
    for (int i = 0; i < code->co_nlocalsplus; ++i) {
      PyObject* value = nullptr;
      bool hidden = false;
      if (!namespace_slot(data, code, i, value, hidden) || hidden != want_hidden) continue;
      PyObject* name = PyTuple_GET_ITEM(code->co_localsplusnames, i);
      // Held while the dict changes: a key of the program's may compare in
      // Python code, which could rebind the slot.
      Py_XINCREF(value);
      int status = 0;
      if (value != nullptr) {
        status = PyDict_SetItem(merged, name, value);
      } else if (!hidden && PyDict_DelItem(merged, name) < 0) {
        if (PyErr_ExceptionMatches(PyExc_KeyError)) {
          PyErr_Clear();
        } else {
          status = -1;
        }
      }
      Py_XDECREF(value);
      if (status < 0) {
        Py_DECREF(merged);
        return nullptr;
      }
    }
  }
  return merged;
}
#endif

}  // namespace

bool in_slots(PyFrameObject* frame) noexcept {
  return (code_of(frame->f_frame)->co_flags & CO_OPTIMIZED) != 0;
}

void read(PyFrameObject* frame, Pairs& out) {
  _PyInterpreterFrame* data = frame->f_frame;
  PyCodeObject* code = code_of(data);
  // A cleared frame has given its locals back.
  if (data->stacktop != 0) {
    PyObject* names = code->co_localsplusnames;
    const int count = code->co_nlocalsplus;
    for (int i = 0; i < count; ++i) {
      PyObject* value = data->localsplus[i];
      if (value == nullptr) continue;
      const _PyLocals_Kind kind = _PyLocals_GetKind(code->co_localspluskinds, i);
      // Cells are made before the first event a frame raises; an argument
      // that is also a cell holds its plain value only before that.
      if ((kind & (CO_FAST_CELL | CO_FAST_FREE)) != 0 && PyCell_Check(value)) {
        value = PyCell_GET(value);
        if (value == nullptr) continue;
      }
      out.push_back(PyTuple_GET_ITEM(names, i));
      out.push_back(value);
    }
  }
  append_extra(frame, code, out);
}

PyObject* namespace_locals(PyFrameObject* frame) {
#if PY_VERSION_HEX >= 0x030D0000
  // The namespace itself, or a view of the slots while a comprehension
  // runs: reading either writes nothing.
  return PyObject_GetAttr(reinterpret_cast<PyObject*>(frame), VESH_INTERNED("f_locals"));
#else
  _PyInterpreterFrame* data = frame->f_frame;
  PyCodeObject* code = code_of(data);
  PyObject* names_dict = data->f_locals;
  bool failed = false;
  if (names_dict != nullptr && !merge_changes(data, code, names_dict, failed)) {
    return failed ? nullptr : Py_NewRef(names_dict);
  }
  return merged_copy(data, code, names_dict);
#endif
}

PyObject* copy(PyFrameObject* frame) {
  if (!in_slots(frame)) {
    PyObject* mapping = namespace_locals(frame);
    if (mapping == nullptr) return nullptr;
    PyObject* dict_type = reinterpret_cast<PyObject*>(&PyDict_Type);
    PyObject* dict = py::Ref::checked(PyObject_CallOneArg(dict_type, mapping)).release();
    Py_DECREF(mapping);
    return dict;
  }
  Pairs pairs;
  read(frame, pairs);
  // Held while the dict is filled: a key from outside may hash or compare
  // in Python code.
  for (PyObject* item : pairs) Py_INCREF(item);
  PyObject* dict = PyDict_New();
  for (std::size_t i = 0; dict != nullptr && i < pairs.size(); i += 2) {
    if (PyDict_SetItem(dict, pairs[i], pairs[i + 1]) < 0) Py_CLEAR(dict);
  }
  for (PyObject* item : pairs) Py_DECREF(item);
  return dict;
}

}  // namespace vesh::frame_locals
