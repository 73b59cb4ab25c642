// How much native stack the calling thread has left.
//
// The thread's stack bounds are read once per thread with pthread_getattr_np
// and cached; the per-call cost is one thread-local read and a subtraction.
// Tests can replace the measurement for the calling thread.
#pragma once

#include <cstddef>
#include <optional>

namespace vesh::native_stack {

// Bytes between the caller's frame and the lowest usable address of the
// thread's stack; nullopt when the bounds cannot be read.
std::optional<std::size_t> remaining() noexcept;

// Replaces remaining() on the calling thread (nullopt restores measuring).
void set_override_for_thread(std::optional<std::optional<std::size_t>> value) noexcept;

}  // namespace vesh::native_stack
