#include "support/per_thread.h"

#include <functional>
#include <mutex>
#include <queue>
#include <vector>

namespace vesh {

namespace per_thread_detail {

thread_local std::size_t INDEX_PLUS_ONE __attribute__((tls_model("initial-exec"))) = 0;

namespace {

// Free indices are handed out smallest first so that slot tables stay dense.
struct IndexPool {
  std::mutex mutex;
  std::size_t next = 1;
  std::priority_queue<std::size_t, std::vector<std::size_t>, std::greater<>> free;
};

IndexPool& pool() {
  // Never destroyed: threads may exit after static destructors have run.
  static IndexPool* p = new IndexPool();
  return *p;
}

// Gives the index back when the thread exits.
struct IndexReturn {
  std::size_t index = 0;
  ~IndexReturn() {
    if (index == 0) return;
    IndexPool& p = pool();
    std::lock_guard lock(p.mutex);
    p.free.push(index);
    // Anything that still runs on this thread gets an index of its own
    // (without a second hand-back) rather than one another thread may take.
    INDEX_PLUS_ONE = 0;
    returned = true;
  }
  static thread_local bool returned;
};
thread_local bool IndexReturn::returned = false;

}  // namespace

std::size_t assign_index() {
  IndexPool& p = pool();
  std::size_t idx;
  {
    std::lock_guard lock(p.mutex);
    if (!p.free.empty() && !IndexReturn::returned) {
      idx = p.free.top();
      p.free.pop();
    } else {
      idx = p.next++;
    }
  }
  if (!IndexReturn::returned) {
    thread_local IndexReturn hand_back;
    hand_back.index = idx;
  }
  INDEX_PLUS_ONE = idx;
  return idx;
}

}  // namespace per_thread_detail

namespace {
std::atomic<std::uint64_t> NEXT_OS_THREAD_TOKEN{1};
thread_local std::uint64_t OS_THREAD_TOKEN __attribute__((tls_model("initial-exec"))) = 0;
}  // namespace

std::uint64_t os_thread_token() noexcept {
  std::uint64_t token = OS_THREAD_TOKEN;
  if (token == 0) [[unlikely]] {
    token = NEXT_OS_THREAD_TOKEN.fetch_add(1, std::memory_order_relaxed);
    OS_THREAD_TOKEN = token;
  }
  return token;
}

}  // namespace vesh
