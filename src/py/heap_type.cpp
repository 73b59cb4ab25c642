#include "py/heap_type.h"

namespace vesh::py {

Ref make_heap_type(TypeSpec spec) {
  bool has_new = false;
  for (const PyType_Slot& slot : spec.slots) has_new |= slot.slot == Py_tp_new;
  if (spec.doc != nullptr) spec.slots.push_back({Py_tp_doc, const_cast<char*>(spec.doc)});
  spec.slots.push_back({0, nullptr});
  unsigned int flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | spec.extra_flags;
  if (!has_new) flags |= Py_TPFLAGS_DISALLOW_INSTANTIATION;
  PyType_Spec type_spec{spec.name, spec.basicsize, 0, flags, spec.slots.data()};
  return Ref::steal(PyType_FromSpec(&type_spec));
}

}  // namespace vesh::py
