// The "v3" trace container, its writer thread and the process-wide writer
// memory budget.
#pragma once

#include <atomic>
#include <cstdint>

namespace vesh::store {

// Set once the writer circuit has opened (a writer made no progress for too
// long while a producer waited). Never cleared: tracing stays off for the
// rest of the process.
extern std::atomic<std::uint8_t> PROCESS_WRITER_CIRCUIT_OPEN;

inline bool writer_circuit_open() noexcept {
  return PROCESS_WRITER_CIRCUIT_OPEN.load(std::memory_order_acquire) != 0;
}

}  // namespace vesh::store
