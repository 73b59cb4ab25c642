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

// Hands the thread's index back when the thread exits. The index itself
// stays set: a later thread-exit destructor that still looks up a slot finds
// the same (dead) generation as before, never another thread's value.
struct Holder {
  bool armed = false;
  ~Holder() {
    if (!armed) return;
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    r.free_indices.push_back(current_index.index);
  }
};

thread_local Holder holder;

}  // namespace

constinit thread_local ThreadIndex current_index __attribute__((tls_model("initial-exec"))) = {0, 0};

const ThreadIndex& assign_thread_index() noexcept {
  Registry& r = registry();
  {
    std::lock_guard lock(r.mutex);
    if (!r.free_indices.empty()) {
      current_index.index = r.free_indices.back();
      r.free_indices.pop_back();
    } else {
      current_index.index = r.next_index++;
    }
    current_index.generation = r.next_generation++;
  }
  holder.armed = true;
  return current_index;
}

}  // namespace vesh::thread_slots_detail
