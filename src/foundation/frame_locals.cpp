// Only this file sees the interpreter's internal frame layout: the structs
// are read field by field, no internal function is called.
#define Py_BUILD_CORE
#include "foundation/frame_locals.h"

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

PyObject* copy(PyFrameObject* frame) {
  if (!in_slots(frame)) {
    PyObject* mapping = PyObject_GetAttrString(reinterpret_cast<PyObject*>(frame), "f_locals");
    if (mapping == nullptr) return nullptr;
    PyObject* dict = PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyDict_Type), mapping);
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
