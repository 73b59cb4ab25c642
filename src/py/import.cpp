#include "py/import.h"

namespace vesh::py {

Ref import_module(const char* name) {
  Ref text = Ref::steal(PyUnicode_FromString(name));
  if (!text) return {};
  Ref module = Ref::checked(PyImport_GetModule(text.get()));
  // None in sys.modules blocks the import: importing raises the error for it.
  if (module && module.get() != Py_None) return module;
  if (PyErr_Occurred()) return {};
  // No globals: an absolute import, resolved without the running frame. It
  // answers the top-level package of a dotted name; the module itself is
  // then in sys.modules, as PyImport_Import finds it.
  Ref top = Ref::checked(PyImport_ImportModuleLevelObject(text.get(), nullptr, nullptr, nullptr, 0));
  if (!top) return {};
  module = Ref::checked(PyImport_GetModule(text.get()));
  if (!module && !PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, text.get());
  return module;
}

}  // namespace vesh::py
