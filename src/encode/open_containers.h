// The containers an encode has open, innermost last, known by identity.
//
// The careful pass asks at every container it enters whether that container
// is already open (a value that holds itself gets a placeholder there). A
// value nested a thousand levels deep, on its way to the nesting limit,
// would make that question a scan of the whole stack at every level; so once
// the stack is a few dozen deep its identities are also counted in a hash
// map, and the question costs the same at any depth. Shallow values, the
// common case, never build the map.
#pragma once

#include <Python.h>

#include <absl/container/flat_hash_map.h>
#include <absl/container/inlined_vector.h>

#include <cstddef>
#include <cstdint>

namespace vesh::encode {

class OpenContainers {
 public:
  OpenContainers() = default;
  OpenContainers(const OpenContainers&) = delete;
  OpenContainers& operator=(const OpenContainers&) = delete;

  bool contains(PyObject* obj) const noexcept {
    if (indexed_) return counts_.contains(obj);
    for (PyObject* open : stack_) {
      if (open == obj) return true;
    }
    return false;
  }

  void push(PyObject* obj) {
    stack_.push_back(obj);
    if (indexed_) {
      ++counts_[obj];
    } else if (stack_.size() >= kIndexFrom) {
      for (PyObject* open : stack_) ++counts_[open];
      indexed_ = true;
    }
  }

  // Closes the innermost container; nothing when none is open.
  void pop() noexcept {
    if (stack_.empty()) return;
    PyObject* obj = stack_.back();
    stack_.pop_back();
    if (!indexed_) return;
    if (stack_.empty()) {
      clear();
      return;
    }
    auto found = counts_.find(obj);
    if (found != counts_.end() && --found->second == 0) counts_.erase(found);
  }

  void clear() noexcept {
    stack_.clear();
    counts_.clear();
    indexed_ = false;
  }

 private:
  static constexpr std::size_t kIndexFrom = 32;
  absl::InlinedVector<PyObject*, 16> stack_;             // identities only
  absl::flat_hash_map<PyObject*, std::uint32_t> counts_;  // open times, while indexed
  bool indexed_ = false;
};

}  // namespace vesh::encode
