// What the profile-hook tracer knows about one code object: its names, its
// path relative to the working directory and whether its frames are
// recorded. Worked out once per code object and shared by every thread of
// one profiler.
//
// File and code names are str objects that may hold lone surrogates (file
// names that are not UTF-8). Filters and plugin path tests run on the name's
// byte form; names written into records are valid UTF-8 (U+FFFD for what
// cannot be decoded), so such code is classified and recorded like any other.
#pragma once

#include <Python.h>

#include "py/gil_mutex.h"
#include "py/ref.h"
#include "foundation/frame_path.h"

#include <absl/container/flat_hash_map.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace vesh {
class Finders;
class FramePathCache;
}  // namespace vesh

namespace vesh::plugins {
class PluginMap;
}  // namespace vesh::plugins

namespace vesh::profile {

enum class CodeVerdict : std::uint8_t {
  Included = 0,  // an include_frames pattern occurs in the file name
  Excluded = 1,  // kept only for its plugins
  Default = 2,   // recorded unless the per-event attrs check says otherwise
};

struct ProfilerCodeMetadata {
  std::string co_filename;  // byte form of co_filename (filters, plugin path fragments)
  std::string co_name;      // UTF-8 text
  std::string relative_path;
  std::optional<std::string> co_qualname;
  py::Ref code;  // keeps the address from being reused while cached
  SharedCodeLines lines;  // null: lines are asked of the interpreter
  bool has_plugins = false;
  CodeVerdict verdict = CodeVerdict::Default;
};

using SharedCodeMetadata = std::shared_ptr<const ProfilerCodeMetadata>;

// The answer for one event: null metadata means the code is excluded.
// `metadata` points into the shared cache or into `owned` (code that could
// not be cached stays alive for the event only).
struct CodeResolution {
  const ProfilerCodeMetadata* metadata = nullptr;
  SharedCodeMetadata owned;
  // The entry is in the shared cache for good (per-thread caches may keep it).
  bool cached = false;
};

class ProfilerCodeMetadataCache {
 public:
  // Entries with an excluded verdict the cache will hold at most.
  static constexpr std::size_t kExcludedLimit = 4096;

  struct Entry {
    SharedCodeMetadata full;  // null for a plain Excluded entry
    py::Ref excluded_code;    // held by Excluded entries
  };

  const Entry* lookup(std::uintptr_t address) const {
    auto it = map_.find(address);
    return it == map_.end() ? nullptr : &it->second;
  }

  std::size_t size() const noexcept { return map_.size(); }
  std::size_t excluded_count() const noexcept { return excluded_count_; }

  // Inserts unless an entry exists; an excluded verdict only below the limit.
  // Returns the entry now cached for the address, or null when nothing was
  // inserted (limit reached).
  const Entry* insert_excluded(std::uintptr_t address, py::Ref code);
  const Entry* insert_full(std::uintptr_t address, SharedCodeMetadata metadata);

 private:
  absl::flat_hash_map<std::uintptr_t, Entry> map_;
  std::size_t excluded_count_ = 0;
};

// The inputs of classification that live on the profiler.
struct ClassificationContext {
  const Finders& include_frames;
  const Finders& ignore_frames;
  const plugins::PluginMap& plugin_map;
  const FramePathCache& paths;
  py::GilMutex<ProfilerCodeMetadataCache>& cache;
};

// Resolves `code` (borrowed) through the shared cache, classifying it on a
// miss. A code object whose names cannot be read is an internal fault.
CodeResolution resolve_code(const ClassificationContext& context, PyObject* code);

// The verdict chain on a file name's bytes.
CodeVerdict classify_filename(std::string_view filename, const Finders& include, const Finders& ignore);

}  // namespace vesh::profile
