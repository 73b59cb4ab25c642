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

// Set when the thread's holder is destroyed; trivially destructible, so it
// stays readable for the rest of the thread's exit.
thread_local bool holder_gone = false;

// Hands the thread's index back when the thread exits. A new thread may take
// it at once, so the exiting thread forgets it: a later thread-exit
// destructor that still looks up a slot (Python code run by another
// library's thread-exit hook) is assigned an index of its own, which is never
// handed back, instead of writing into the entry the new thread now owns.
struct Holder {
  bool armed = false;
  ~Holder() {
    holder_gone = true;
    if (!armed) return;
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    r.free_indices.push_back(current_index.index);
    current_index.generation = 0;
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
  if (!holder_gone) holder.armed = true;
  return current_index;
}

}  // namespace vesh::thread_slots_detail
