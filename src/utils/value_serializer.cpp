#include "utils/value_serializer.h"

namespace vesh::encode {

thread_local std::uint32_t NATIVE_ENCODES = 0;

}  // namespace vesh::encode
