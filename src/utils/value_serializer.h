// Native MessagePack encoding of Python values.
#pragma once

#include <cstdint>

namespace vesh::encode {

// Depth of native encodes running on this thread (the Python serializer asks
// whether it is being called from inside one).
extern thread_local std::uint32_t NATIVE_ENCODES;

}  // namespace vesh::encode
