// Importing a module by absolute name from recorder code.
//
// PyImport_ImportModule and PyImport_Import look up "__builtins__" in the
// globals of whatever Python frame is running, and fail with KeyError when
// those globals lost it (a generator finalized after its module's dict was
// cleared, as doctest does with an example's globals). The recorder runs
// inside such frames, so its imports must not depend on them.
#pragma once

#include "py/ref.h"

namespace vesh::py {

// The module `name` (a dotted name gives the submodule, not its package),
// taken from sys.modules or imported; null with the error set on failure.
Ref import_module(const char* name);

}  // namespace vesh::py
