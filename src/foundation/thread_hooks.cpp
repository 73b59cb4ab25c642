#include "foundation/thread_hooks.h"

#include <vector>

namespace vesh::hooks {

thread_local std::uint8_t STATE __attribute__((tls_model("initial-exec"))) = 0;

namespace {

std::atomic<std::uint64_t> NEXT_OWNER{1};

struct WaitingEntry {
  std::shared_ptr<std::atomic<bool>> owner_flag;
  std::uint64_t owner_id;
  std::uint8_t bits;
};

// The list lives in a thread_local object whose destructor runs at thread
// exit; once it has run, the list is gone and operations do nothing.
struct WaitingList {
  std::vector<WaitingEntry> entries;
  bool in_use = false;
  bool destroyed = false;
  ~WaitingList() {
    destroyed = true;
    entries.clear();
  }
};

// Trivially destructible flag that outlives the list during thread exit.
thread_local bool waiting_gone = false;

struct WaitingHolder {
  WaitingList list;
  ~WaitingHolder() { waiting_gone = true; }
};

WaitingList* waiting() {
  if (waiting_gone) return nullptr;
  thread_local WaitingHolder holder;
  if (holder.list.destroyed) return nullptr;
  return &holder.list;
}

void drop_dead(std::vector<WaitingEntry>& entries) {
  std::erase_if(entries, [](const WaitingEntry& e) { return !e.owner_flag->load(std::memory_order_seq_cst); });
}

void recompute(const std::vector<WaitingEntry>& entries) {
  bool any = false;
  for (const WaitingEntry& e : entries) any |= e.bits != 0;
  STATE = static_cast<std::uint8_t>(any ? (STATE | kWaiting) : (STATE & ~kWaiting));
}

struct InUse {
  explicit InUse(WaitingList& l) : list(l) { list.in_use = true; }
  ~InUse() { list.in_use = false; }
  WaitingList& list;
};

}  // namespace

AssignmentOwner::AssignmentOwner()
    : alive_(std::make_shared<std::atomic<bool>>(true)),
      id_(NEXT_OWNER.fetch_add(1, std::memory_order_relaxed)) {}

AssignmentOwner::~AssignmentOwner() { alive_->store(false, std::memory_order_release); }

void set_assignment(const std::shared_ptr<std::atomic<bool>>& owner_flag, std::uint64_t owner_id,
                    std::uint8_t bits, bool set) {
  WaitingList* list = waiting();
  if (list == nullptr || list->in_use) return;
  InUse use(*list);
  auto& entries = list->entries;
  bool found = false;
  for (WaitingEntry& e : entries) {
    if (e.owner_id == owner_id) {
      e.bits = set ? static_cast<std::uint8_t>(e.bits | bits) : static_cast<std::uint8_t>(e.bits & ~bits);
      found = true;
      break;
    }
  }
  if (!found && set) {
    drop_dead(entries);
    entries.push_back(WaitingEntry{owner_flag, owner_id, bits});
  }
  recompute(entries);
}

void drop_dead_assignments() {
  WaitingList* list = waiting();
  if (list == nullptr || list->in_use) return;
  InUse use(*list);
  drop_dead(list->entries);
  recompute(list->entries);
}

std::uint8_t assignment_bits(std::uint64_t owner_id) noexcept {
  WaitingList* list = waiting();
  if (list == nullptr || list->in_use) return 0;
  for (const WaitingEntry& e : list->entries) {
    if (e.owner_id == owner_id) return e.bits;
  }
  return 0;
}

bool set_worker(bool value) noexcept {
  bool old = (STATE & kWorker) != 0;
  STATE = static_cast<std::uint8_t>(value ? (STATE | kWorker) : (STATE & ~kWorker));
  return old;
}

bool reset_after_fork() noexcept {
  bool old = (STATE & kWorker) != 0;
  STATE = static_cast<std::uint8_t>(STATE & ~(kWorker | kSuspended));
  return old;
}

}  // namespace vesh::hooks
