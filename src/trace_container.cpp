#include "trace_container.h"

namespace vesh::store {

std::atomic<std::uint8_t> PROCESS_WRITER_CIRCUIT_OPEN{0};

}  // namespace vesh::store
