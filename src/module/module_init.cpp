// Entry point of the extension module; everything else lives in the core.
#include "module/lib.h"

PyMODINIT_FUNC PyInit__vesh(void) { return vesh::module::module_definition(); }
