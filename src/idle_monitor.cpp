#include "idle_monitor.h"

#include "py/fault.h"
#include "thread_hooks.h"
#include "utils/error_reporting.h"

namespace vesh::monitor {

using py::Ref;

IdleFilter::IdleFilter(const Finders& include, const Finders& ignore, const PluginMap& plugins, Ref disable)
    : include_(include), ignore_(ignore), disable_(std::move(disable)) {
  plugins_.reserve(plugins.size());
  for (const auto& [name, processors] : plugins) {
    std::vector<Finder> fragments;
    fragments.reserve(processors.size());
    for (const auto& processor : processors) fragments.push_back(processor->path_fragment);
    plugins_.emplace(name, std::move(fragments));
  }
}

bool IdleFilter::session_may_record(PyObject* code, bool& out) const {
  Ref filename_obj = Ref::steal(PyObject_GetAttr(code, VESH_INTERNED("co_filename")));
  if (!filename_obj) return false;
  std::string scratch;
  auto filename = filename_bytes(filename_obj.get(), scratch);
  if (!filename) return false;
  if (filename->empty()) {
    out = true;
    return true;
  }
  bool record = false;
  if (!include_frame(*filename, include_, ignore_, record)) return false;
  if (record || plugins_.empty()) {
    out = record;
    return true;
  }
  Ref name_obj = Ref::steal(PyObject_GetAttr(code, VESH_INTERNED("co_name")));
  if (!name_obj) return false;
  std::string name_scratch;
  auto name = filename_bytes(name_obj.get(), name_scratch);
  if (!name) return false;
  auto it = plugins_.find(absl::string_view(name->data(), name->size()));
  out = false;
  if (it != plugins_.end()) {
    for (const Finder& fragment : it->second) {
      if (fragment.is_in(*filename)) {
        out = true;
        break;
      }
    }
  }
  return true;
}

Ref IdleFilter::idle_event(PyObject* code) noexcept {
  const bool hooks_busy = hooks::recording_blocked();
  const auto key = reinterpret_cast<std::uintptr_t>(code);
  {
    std::lock_guard lock(hit_mutex_);
    auto it = hit_counts_.find(key);
    if (it != hit_counts_.end()) {
      if (hooks_busy) return Ref::borrow(Py_None);
      if (it->second < UINT32_MAX) ++it->second;
      if (it->second >= kDisableAfterHits) {
        disabled_recordable_.store(true, std::memory_order_release);
        return disable_.clone();
      }
      return Ref::borrow(Py_None);
    }
  }
  try {
    return decide_new_code(code, hooks_busy);
  } catch (...) {
    disabled_recordable_.store(true, std::memory_order_release);
    if (!panic_reported_.exchange(true)) report_current_panic();
    return Ref::borrow(Py_None);
  }
}

Ref IdleFilter::decide_new_code(PyObject* code, bool hooks_busy) {
  bool may_record = false;
  if (!session_may_record(code, may_record)) {
    PyErr_Clear();
    return Ref::borrow(Py_None);
  }
  if (!may_record) return disable_.clone();
  if (hooks_busy) return Ref::borrow(Py_None);
  std::lock_guard lock(hit_mutex_);
  if (hit_counts_.size() >= kMaxCountedCodes) {
    disabled_recordable_.store(true, std::memory_order_release);
    return disable_.clone();
  }
  hit_counts_[reinterpret_cast<std::uintptr_t>(code)] = 1;
  return Ref::borrow(Py_None);
}

}  // namespace vesh::monitor
