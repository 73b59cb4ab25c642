// Heap types holding a C++ object.
//
// Box<T> is the layout of an instance: the object header, then a T built in
// place. Types made here cannot be subclassed and, unless the caller gives a
// tp_new slot, cannot be instantiated from Python ("cannot create
// 'vesh._vesh.X' instances"). Instances are made from C++ with Box<T>::create.
#pragma once

#include "py/fault.h"
#include "py/ref.h"

#include <new>
#include <utility>
#include <vector>

namespace vesh::py {

template <typename T>
struct Box {
  PyObject_HEAD
  alignas(T) unsigned char storage[sizeof(T)];

  T& value() noexcept { return *std::launder(reinterpret_cast<T*>(storage)); }

  static T& of(PyObject* self) noexcept { return reinterpret_cast<Box*>(self)->value(); }

  // Allocates an instance of `type` and moves `value` into it.
  template <typename... Args>
  static Ref create(PyTypeObject* type, Args&&... args) {
    PyObject* obj = type->tp_alloc(type, 0);
    if (obj == nullptr) return Ref();
    Ref owned = Ref::steal(obj);
    try {
      new (reinterpret_cast<Box*>(obj)->storage) T(std::forward<Args>(args)...);
    } catch (...) {
      // The object is not initialised: free it without running ~T.
      Py_TYPE(obj)->tp_free(owned.release());
      Py_DECREF(type);
      throw;
    }
    return owned;
  }

  static void dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    if (type->tp_flags & Py_TPFLAGS_HAVE_GC) PyObject_GC_UnTrack(self);
    try {
      of(self).~T();
    } catch (...) {
      // A destructor must not throw; nothing sensible remains to be done.
    }
    type->tp_free(self);
    Py_DECREF(type);
  }
};

struct TypeSpec {
  const char* name;  // "vesh._vesh.Name"
  const char* doc;
  int basicsize;
  unsigned int extra_flags = 0;
  std::vector<PyType_Slot> slots;  // without the {0, nullptr} terminator
};

// Builds the type. Adds Py_tp_doc; disallows instantiation unless Py_tp_new
// is among the slots; never Py_TPFLAGS_BASETYPE.
Ref make_heap_type(TypeSpec spec);

template <typename T>
TypeSpec box_type_spec(const char* name, const char* doc) {
  TypeSpec spec{name, doc, static_cast<int>(sizeof(Box<T>)), 0, {}};
  spec.slots.push_back({Py_tp_dealloc, reinterpret_cast<void*>(&Box<T>::dealloc)});
  return spec;
}

}  // namespace vesh::py
