#include "support/thread_slots.h"

#include <mutex>
#include <vector>

namespace vesh::thread_slots_detail {

namespace {

struct Registry {
  std::mutex mutex;
  std::vector<std::uint32_t> free_indices;
  std::uint32_t next_index = 0;
  std::uint64_t next_generation = 1;
};

Registry& registry() {
  // Never destroyed: threads may exit after static destructors have run.
  static Registry* instance = new Registry();
  return *instance;
}

struct Holder {
  ThreadIndex id{};
  bool assigned = false;
  ~Holder() {
    if (!assigned) return;
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    r.free_indices.push_back(id.index);
  }
};

// Read on every lookup of every slot: initial-exec, like the hook state byte.
thread_local Holder holder __attribute__((tls_model("initial-exec")));

}  // namespace

const ThreadIndex& current_thread_index() noexcept {
  if (!holder.assigned) [[unlikely]] {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    if (!r.free_indices.empty()) {
      holder.id.index = r.free_indices.back();
      r.free_indices.pop_back();
    } else {
      holder.id.index = r.next_index++;
    }
    holder.id.generation = r.next_generation++;
    holder.assigned = true;
  }
  return holder.id;
}

}  // namespace vesh::thread_slots_detail
