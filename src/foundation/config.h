// The recorders' configuration: the Python-side configuration dict copied
// into a string-keyed map, with typed lookups and defaults.
#pragma once

#include "py/ref.h"

#include <absl/container/flat_hash_map.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vesh {

class Config {
 public:
  // Copies every item of `dict` (a dict or dict subclass). Returns false with
  // a Python exception set when a key is not a str.
  static std::optional<Config> create(PyObject* dict);

  // Borrowed value for `key`, or null when absent.
  PyObject* get(std::string_view key) const;

  // False when absent; a present value must be True or False (TypeError).
  bool get_or_bool(std::string_view key, bool& out) const;
  // 60 when absent; a present value must be an int in 0..2**64-1.
  bool get_or_u64(std::string_view key, std::uint64_t& out) const;

  const absl::flat_hash_map<std::string, py::Ref>& entries() const noexcept { return map_; }

 private:
  absl::flat_hash_map<std::string, py::Ref> map_;
};

inline constexpr std::uint64_t kDefaultSqliteBusyTimeout = 60;
inline constexpr std::uint64_t kDefaultMaxValueBytes = 64ull * 1024 * 1024;

// Resolves "max_value_mb" of the configuration dict into the per-value byte
// budget: nullopt in `out` means no budget. Returns false with a Python
// exception set on a bad setting.
bool resolve_max_value_bytes(PyObject* config_dict, std::optional<std::uint64_t>& out);

}  // namespace vesh
