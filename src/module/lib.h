// The module vesh._vesh: its definition and the exec step that fills it.
#pragma once

#include <Python.h>

namespace vesh::module {

// The multi-phase module definition (one exec slot).
PyObject* module_definition() noexcept;

}  // namespace vesh::module
