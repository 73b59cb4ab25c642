// Per-object, per-thread storage.
//
// A tracer keeps state for every thread that calls into it (open calls,
// frame ids, a cached frame store). ThreadSlots<T> gives each thread its own
// T, made on the thread's first get() and released with the ThreadSlots.
//
// Lookup is lock-free: every thread has a small dense index (reused after
// the thread exits) and each ThreadSlots holds buckets of doubling size, so
// entries never move once published. A reused index carries a new
// generation, so a new thread never sees the value a dead thread left.
#pragma once

#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace vesh {

namespace thread_slots_detail {

struct ThreadIndex {
  std::uint32_t index;
  std::uint64_t generation;  // 0: not assigned yet (generations start at 1)
};

// The calling thread's index. Read on every lookup of every slot, so it is a
// plain initial-exec thread-local that needs no guard or init call; the
// index goes back to the registry through a separate holder made on the slow
// path.
extern constinit thread_local ThreadIndex current_index __attribute__((tls_model("initial-exec")));

// Assigns the calling thread its index and generation.
const ThreadIndex& assign_thread_index() noexcept;

// The calling thread's index and generation (assigned on first use).
inline const ThreadIndex& current_thread_index() noexcept {
  if (current_index.generation == 0) [[unlikely]]
    return assign_thread_index();
  return current_index;
}

}  // namespace thread_slots_detail

template <typename T>
class ThreadSlots {
 public:
  ThreadSlots() = default;
  ThreadSlots(const ThreadSlots&) = delete;
  ThreadSlots& operator=(const ThreadSlots&) = delete;
  ~ThreadSlots() {
    for (std::size_t b = 0; b < kBuckets; ++b) {
      Entry* bucket = buckets_[b].load(std::memory_order_acquire);
      if (bucket == nullptr) continue;
      for (std::size_t i = 0; i < bucket_size(b); ++i) delete bucket[i].value.load(std::memory_order_relaxed);
      delete[] bucket;
    }
  }

  // The calling thread's value, made with `make()` if absent.
  template <typename Make>
  T& get_or(Make&& make) {
    const auto& me = thread_slots_detail::current_thread_index();
    Entry& entry = entry_for(me.index);
    T* value = entry.value.load(std::memory_order_acquire);
    if (value != nullptr && entry.generation == me.generation) [[likely]]
      return *value;
    return replace(entry, me.generation, std::forward<Make>(make));
  }
  T& get() {
    return get_or([] { return std::make_unique<T>(); });
  }

  // The calling thread's value, or null.
  T* find() noexcept {
    const auto& me = thread_slots_detail::current_thread_index();
    Entry& entry = entry_for(me.index);
    T* value = entry.value.load(std::memory_order_acquire);
    return value != nullptr && entry.generation == me.generation ? value : nullptr;
  }

  // Visits every value made so far (of live and finished threads). The
  // caller must make sure no thread is creating its value concurrently, or
  // accept not seeing it.
  template <typename Fn>
  void for_each(Fn&& fn) {
    for (std::size_t b = 0; b < kBuckets; ++b) {
      Entry* bucket = buckets_[b].load(std::memory_order_acquire);
      if (bucket == nullptr) continue;
      for (std::size_t i = 0; i < bucket_size(b); ++i) {
        if (T* value = bucket[i].value.load(std::memory_order_acquire)) fn(*value);
      }
    }
  }

 private:
  struct Entry {
    std::atomic<T*> value{nullptr};
    std::uint64_t generation = 0;
  };
  static constexpr std::size_t kBuckets = 33;
  static constexpr std::size_t bucket_size(std::size_t b) noexcept { return std::size_t{1} << b; }

  Entry& entry_for(std::uint32_t index) {
    // Index i lives in bucket bit_width(i + 1) - 1 at offset (i + 1) - 2^bucket.
    std::uint64_t n = static_cast<std::uint64_t>(index) + 1;
    std::size_t b = static_cast<std::size_t>(std::bit_width(n)) - 1;
    Entry* bucket = buckets_[b].load(std::memory_order_acquire);
    if (bucket == nullptr) [[unlikely]]
      bucket = allocate_bucket(b);
    return bucket[n - bucket_size(b)];
  }

  Entry* allocate_bucket(std::size_t b) {
    Entry* fresh = new Entry[bucket_size(b)];
    Entry* expected = nullptr;
    if (buckets_[b].compare_exchange_strong(expected, fresh, std::memory_order_acq_rel)) return fresh;
    delete[] fresh;
    return expected;
  }

  template <typename Make>
  T& replace(Entry& entry, std::uint64_t generation, Make&& make) {
    // Only the owning thread writes its entry, so no other writer races here.
    std::unique_ptr<T> made = make();
    T* old = entry.value.exchange(nullptr, std::memory_order_acq_rel);
    delete old;
    entry.generation = generation;
    T* raw = made.release();
    entry.value.store(raw, std::memory_order_release);
    return *raw;
  }

  std::atomic<Entry*> buckets_[kBuckets] = {};
};

}  // namespace vesh
