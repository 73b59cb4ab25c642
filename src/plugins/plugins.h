// Plugin processors: rules, described in data by the Python side's
// `vesh.plugins.load_plugin_data`, that give chosen frames of library code a
// record of their own besides the frame record.
//
// Each plugin entry becomes one processor per code name it lists; the plugin
// map groups them by code name. A tracer loads its map once, in its
// constructor, and keeps it for its life; every thread reads it without a
// lock. A processor is immutable after loading except for its `frame_ids`,
// which has a mutex of its own.
#pragma once

#include <Python.h>

#include "foundation/filters.h"
#include "py/gil_mutex.h"
#include "py/ref.h"

#include <absl/container/flat_hash_map.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vesh::encode {
struct SerializerState;
}  // namespace vesh::encode

namespace vesh::plugins {

// Frame key (the address of the Python frame object) to the processor's own
// frame id for that frame.
using PluginFrameIds = absl::flat_hash_map<std::uintptr_t, std::string>;

// One plugin rule for one code name. Never copied or moved: the tracers hand
// processors around by reference, and its frame-id mutex cannot move.
struct PluginProcessor {
  PluginProcessor(Finder path_fragment, std::optional<std::uint64_t> max_value_bytes)
      : path_fragment(std::move(path_fragment)), max_value_bytes(max_value_bytes) {}
  PluginProcessor(const PluginProcessor&) = delete;
  PluginProcessor& operator=(const PluginProcessor&) = delete;

  // Offered an event only when this occurs in the code's co_filename.
  Finder path_fragment;
  // Byte budget of the processor's records; nullopt means unlimited.
  std::optional<std::uint64_t> max_value_bytes;
  // Record type per event kind (0 call .. 5 throw).
  std::string call_type;
  std::string return_type;
  std::string unwind_type;
  std::string resume_type;
  std::string yield_type;
  std::string throw_type;
  std::optional<std::string> subtype;
  // `call(frame, event, arg, context) -> bool`; null: every event matches.
  py::Ref call_fn;
  // `process(frame, event, arg, context) -> Mapping`; null: nothing merged.
  py::Ref process_fn;
  // Event names recorded; nullopt: all. An empty list records none.
  std::optional<std::vector<std::string>> events;
  // The entry's context dict, one object shared by all processors of that entry.
  py::Ref context;
  // The process-wide serializer, taken when the plugin is loaded so that a
  // serializer that cannot be made fails loading instead of every record.
  const encode::SerializerState* serializer = nullptr;
  // Filled at entry events, read at exit events; entries are never removed.
  py::GilMutex<PluginFrameIds> frame_ids{"plugin frame ids"};

  // Whether the processor is offered events of code in `co_filename`.
  bool applies_to(std::string_view co_filename) const noexcept { return path_fragment.is_in(co_filename); }
  // The record type for an event kind; a kind above 5 is an internal fault.
  const std::string& type_for(std::uint8_t event_kind) const;
  // Whether `events` lets the processor record events of this kind at all;
  // a kind above 5 is an internal fault.
  bool takes_event(std::uint8_t event_kind) const;
};

// The processors of one code name, in the order they were made: plugin
// entries in list order, and within an entry the order of its "co_names".
using PluginList = std::vector<std::unique_ptr<PluginProcessor>>;

class PluginMap {
 public:
  using Map = absl::flat_hash_map<std::string, PluginList>;

  PluginMap() = default;
  PluginMap(PluginMap&&) noexcept = default;
  PluginMap& operator=(PluginMap&&) noexcept = default;

  // The processors listed under a code's co_name, or null when none are.
  const PluginList* find(std::string_view co_name) const {
    auto it = map_.find(absl::string_view(co_name.data(), co_name.size()));
    return it == map_.end() ? nullptr : &it->second;
  }

  bool empty() const noexcept { return map_.empty(); }
  // Number of distinct code names.
  std::size_t size() const noexcept { return map_.size(); }
  Map::const_iterator begin() const { return map_.begin(); }
  Map::const_iterator end() const { return map_.end(); }

 private:
  friend std::optional<PluginMap> load_plugins(PyObject* config);
  Map map_;
};

// Builds the plugin map from `vesh.plugins.load_plugin_data(config)`;
// `config` is the configuration dict. Returns nullopt with a Python error set
// when an entry is malformed, a build_context call fails or "max_value_mb" is
// invalid (nothing of a failed load survives). A broken `vesh.plugins` (not
// importable, no load_plugin_data, the call raising, a non-list result) is an
// internal fault.
std::optional<PluginMap> load_plugins(PyObject* config);

// The value under `key` in a plugin entry (a dict), or null when absent or
// None. A raising lookup is an internal fault.
py::Ref get_callable(PyObject* entry, const char* key);

}  // namespace vesh::plugins
