// Subtree flushing, shared by both tracers: the flush threshold read from the
// configuration.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>

namespace vesh {

inline constexpr std::uint64_t kDefaultFlushSubtreeBytes = 500ull * 1024 * 1024;

// Resolves "flush_subtree_mb" of the configuration dict into the flush
// threshold in bytes; nullopt in `out` means flushing is off. Returns false
// with a ValueError set for a bad setting (or the dict lookup's own error).
bool resolve_flush_subtree_bytes(PyObject* config_dict, std::optional<std::uint64_t>& out);

// Bytes a thread appends after subtree tracking was reset before its appends
// are checked: the threshold less an eighth of it (at most 64 MiB), or 0 for
// thresholds below 1 MiB and when flushing is off.
std::uint64_t flush_check_bytes(std::optional<std::uint64_t> flush_subtree_bytes) noexcept;

}  // namespace vesh
