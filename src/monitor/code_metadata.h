// What the monitoring tracer remembers about each code object: whether its
// frames are recorded, and with which names and path.
//
// Two layers: a shared cache per monitor behind a mutex, and a per-thread map
// in front of it that answers recorded and excluded code without the lock.
// The shared cache keeps every cached code object alive, so a cached address
// can never be taken by another code object; nothing is ever evicted.
#pragma once

#include <Python.h>

#include "py/ref.h"
#include "foundation/frame_path.h"

#include <absl/container/flat_hash_map.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace vesh::monitor {

using CodeAddress = std::uintptr_t;

inline CodeAddress code_address(PyObject* code) noexcept { return reinterpret_cast<CodeAddress>(code); }

// The verdict record of one code object that is recorded, or that has plugin
// processors for its name. Immutable once built except the flag.
struct CodeEventMetadata {
  std::string file_name;
  std::string name;           // co_name: the key of the plugin map
  std::string relative_path;  // file name relative to the monitor's working directory
  std::string qualname;       // co_qualname
  py::Ref code;               // keeps the address taken
  SharedCodeLines code_lines; // line numbers of the code's frames
  bool included = false;      // the frame filters record the code's own frames
  bool has_plugins = false;   // plugin processors are listed under `name`
  // Cleared when a value of this code needed the Python serializer.
  mutable std::atomic<bool> native_values_only{true};
};

using SharedCodeMetadata = std::shared_ptr<const CodeEventMetadata>;

// A lookup's answer: absent (null metadata, excluded false), excluded, or
// full (the metadata).
struct CodeVerdict {
  SharedCodeMetadata metadata;
  bool excluded = false;

  static CodeVerdict absent() noexcept { return {}; }
  static CodeVerdict exclude() noexcept { return {nullptr, true}; }
  static CodeVerdict full(SharedCodeMetadata m) noexcept { return {std::move(m), false}; }

  bool is_absent() const noexcept { return !metadata && !excluded; }
  bool is_full() const noexcept { return bool(metadata); }
};

// The shared layer. Every operation runs with the owner's mutex held and the
// interpreter lock held (entries hold Python references).
class CodeMetadataCache {
 public:
  // Entries admitted only for exclusion or only for plugins are limited;
  // included code is always cached.
  static constexpr std::uint64_t kCountedLimit = 4096;

  CodeVerdict lookup(CodeAddress address) const;
  // Takes the fresh record; answers the verdict to use (another thread's
  // entry wins).
  CodeVerdict insert_full(CodeAddress address, SharedCodeMetadata record);
  // Takes a strong reference to the excluded code; same rule.
  CodeVerdict insert_excluded(CodeAddress address, py::Ref code);
  // Whether any entry is held for the address.
  bool contains(CodeAddress address) const { return map_.contains(address); }

  std::size_t size() const noexcept { return map_.size(); }
  std::size_t full_size() const noexcept;
  // The file names of the recorded code some of whose values needed the
  // Python serializer, in the map's order (a file once per such code object).
  std::vector<std::string> fallback_file_names() const;
  std::uint64_t counted_entries() const noexcept { return counted_; }

 private:
  struct Entry {
    SharedCodeMetadata full;  // null for an excluded code object
    py::Ref excluded_code;    // the excluded code object, held
  };
  absl::flat_hash_map<CodeAddress, Entry> map_;
  std::uint64_t counted_ = 0;
};

// One entry of a thread's local map. Excluded entries hold nothing: the
// shared cache holds the code object.
struct LocalCodeEntry {
  SharedCodeMetadata metadata;  // null: excluded
};

using LocalCodeMap = absl::flat_hash_map<CodeAddress, LocalCodeEntry>;

}  // namespace vesh::monitor
