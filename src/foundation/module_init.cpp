// Entry point of the extension module; everything else lives in the core.
#include "foundation/lib.h"

PyMODINIT_FUNC PyInit__vesh(void) { return vesh::module_definition(); }
