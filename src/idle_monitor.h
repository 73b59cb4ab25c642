// The idle side of the monitoring tool: the filter that answers events
// without recording them once a monitor's session has ended (and that tells
// whether a session would record a code object at all).
#pragma once

#include <Python.h>

#include "filters.h"
#include "plugins.h"
#include "py/ref.h"

#include <absl/container/flat_hash_map.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace vesh::monitor {

class IdleFilter {
 public:
  // Copies the finders and the plugin path fragments; takes over `disable`.
  IdleFilter(const Finders& include, const Finders& ignore, const PluginMap& plugins, py::Ref disable);
  IdleFilter(const IdleFilter&) = delete;
  IdleFilter& operator=(const IdleFilter&) = delete;

  // None or DISABLE (a new reference) for one event of `code` on the calling
  // thread. Never fails; a fault inside is reported once per filter.
  py::Ref idle_event(PyObject* code) noexcept;

  // Whether a session with these filters would record `code`: its file name
  // is empty or passes the include and ignore filters, or a plugin path
  // fragment for its name occurs in it. Returns false with a Python error set
  // on failure (`out` untouched).
  bool session_may_record(PyObject* code, bool& out) const;

  const Finders& include_finders() const noexcept { return include_; }
  const Finders& ignore_finders() const noexcept { return ignore_; }
  const absl::flat_hash_map<std::string, std::vector<Finder>>& plugin_finders() const noexcept {
    return plugins_;
  }
  PyObject* disable() const noexcept { return disable_.get(); }

  std::atomic<bool>& disabled_recordable() noexcept { return disabled_recordable_; }

  static constexpr std::uint32_t kDisableAfterHits = 65;
  static constexpr std::size_t kMaxCountedCodes = 4096;

 private:
  py::Ref decide_new_code(PyObject* code, bool hooks_busy);

  Finders include_;
  Finders ignore_;
  absl::flat_hash_map<std::string, std::vector<Finder>> plugins_;
  py::Ref disable_;
  std::mutex hit_mutex_;
  absl::flat_hash_map<std::uintptr_t, std::uint32_t> hit_counts_;
  std::atomic<bool> disabled_recordable_{false};
  std::atomic<bool> panic_reported_{false};
};

using SharedIdleFilter = std::shared_ptr<IdleFilter>;

}  // namespace vesh::monitor
