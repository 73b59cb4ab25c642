// Per-object, per-thread storage.
//
// A tracer keeps its per-thread state (open calls, frame ids, cached
// verdicts, the thread's frame store) in slots that belong to the tracer
// object: empty when the tracer is made, one value created lazily for each
// thread that uses it, all released with the tracer.
//
// Slots are indexed by a small thread index that the process hands to each
// OS thread on first use and takes back when the thread exits; a later thread
// may get the same index and so finds the values its predecessor left behind.
// That is deliberate: values that hold Python references are never released
// on a dying thread without the interpreter lock, only with the owner (or by
// the owner's code on the new thread, which detects the hand-over through
// its own per-thread token, see os_thread_token()).
//
// The hot path is one initial-exec TLS read, a bit scan and two loads.
#pragma once

#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "py/fault.h"

namespace vesh {

namespace per_thread_detail {

// Index of the calling thread plus one; 0 until assigned.
extern thread_local std::size_t INDEX_PLUS_ONE __attribute__((tls_model("initial-exec")));

// Assigns the calling thread its index (plus one) and returns it.
std::size_t assign_index();

inline std::size_t index_plus_one() {
  std::size_t idx = INDEX_PLUS_ONE;
  if (idx == 0) [[unlikely]]
    idx = assign_index();
  return idx;
}

}  // namespace per_thread_detail

// A token that no other OS thread of the process has had: 1, 2, 3, ... in
// the order threads first ask. Never 0, so a slot holding 0 was never used.
std::uint64_t os_thread_token() noexcept;

template <typename T>
class PerThread {
 public:
  PerThread() = default;
  PerThread(const PerThread&) = delete;
  PerThread& operator=(const PerThread&) = delete;
  ~PerThread() {
    for (std::size_t b = 0; b < kBuckets; ++b) {
      std::atomic<T*>* bucket = buckets_[b].load(std::memory_order_acquire);
      if (bucket == nullptr) continue;
      const std::size_t n = std::size_t{1} << b;
      for (std::size_t i = 0; i < n; ++i) delete bucket[i].load(std::memory_order_relaxed);
      delete[] bucket;
    }
  }

  // The calling thread's value, or null when it has none. Never makes a
  // value (the thread's first call anywhere takes a thread index).
  T* get() const {
    std::size_t idx = per_thread_detail::index_plus_one();
    std::atomic<T*>* bucket = buckets_[bucket_of(idx)].load(std::memory_order_acquire);
    if (bucket == nullptr) return nullptr;
    return bucket[offset_of(idx)].load(std::memory_order_relaxed);
  }

  // The calling thread's value, made with T() on first use.
  T& get_or_create() {
    std::size_t idx = per_thread_detail::index_plus_one();
    std::atomic<T*>* bucket = bucket_for(bucket_of(idx));
    std::atomic<T*>& entry = bucket[offset_of(idx)];
    T* value = entry.load(std::memory_order_relaxed);
    if (value == nullptr) [[unlikely]] {
      value = new T();
      entry.store(value, std::memory_order_release);
    }
    return *value;
  }

  // Visits every value made so far. Only for the owner while no thread uses
  // the slots (tests, teardown).
  template <typename Fn>
  void for_each(Fn&& fn) {
    for (std::size_t b = 0; b < kBuckets; ++b) {
      std::atomic<T*>* bucket = buckets_[b].load(std::memory_order_acquire);
      if (bucket == nullptr) continue;
      const std::size_t n = std::size_t{1} << b;
      for (std::size_t i = 0; i < n; ++i) {
        if (T* value = bucket[i].load(std::memory_order_acquire)) fn(*value);
      }
    }
  }

 private:
  // Bucket b holds the 2^b indices-plus-one from 2^b to 2^(b+1) - 1.
  static constexpr std::size_t kBuckets = 48;

  static std::size_t bucket_of(std::size_t idx) noexcept {
    return static_cast<std::size_t>(std::bit_width(idx)) - 1;
  }
  static std::size_t offset_of(std::size_t idx) noexcept { return idx - (std::size_t{1} << bucket_of(idx)); }

  std::atomic<T*>* bucket_for(std::size_t b) {
    if (b >= kBuckets) [[unlikely]]
      fault("thread index out of range");
    std::atomic<T*>* bucket = buckets_[b].load(std::memory_order_acquire);
    if (bucket != nullptr) [[likely]]
      return bucket;
    const std::size_t n = std::size_t{1} << b;
    auto fresh = std::make_unique<std::atomic<T*>[]>(n);
    for (std::size_t i = 0; i < n; ++i) fresh[i].store(nullptr, std::memory_order_relaxed);
    std::atomic<T*>* expected = nullptr;
    if (buckets_[b].compare_exchange_strong(expected, fresh.get(), std::memory_order_acq_rel)) {
      return fresh.release();
    }
    return expected;  // another thread made the bucket first
  }

  std::atomic<std::atomic<T*>*> buckets_[kBuckets] = {};
};

// A value reached through run-time borrows, so that re-entry on one thread
// (a callback raised while the same thread is inside the tracer) is caught as
// an internal fault instead of corrupting the value.
template <typename T>
class BorrowCell {
 public:
  class Exclusive {
   public:
    explicit Exclusive(BorrowCell& cell) : cell_(&cell) { cell_->state_ = -1; }
    Exclusive(const Exclusive&) = delete;
    Exclusive& operator=(const Exclusive&) = delete;
    ~Exclusive() { cell_->state_ = 0; }
    T& operator*() const noexcept { return cell_->value_; }
    T* operator->() const noexcept { return &cell_->value_; }

   private:
    BorrowCell* cell_;
  };

  class Shared {
   public:
    explicit Shared(BorrowCell& cell) : cell_(&cell) { ++cell_->state_; }
    Shared(const Shared&) = delete;
    Shared& operator=(const Shared&) = delete;
    ~Shared() { --cell_->state_; }
    const T& operator*() const noexcept { return cell_->value_; }
    const T* operator->() const noexcept { return &cell_->value_; }

   private:
    BorrowCell* cell_;
  };

  // Exclusive borrow; any borrow in force is the internal fault "already borrowed".
  Exclusive borrow_mut() {
    if (state_ != 0) [[unlikely]]
      fault("already borrowed");
    return Exclusive(*this);
  }
  // Shared borrow; an exclusive borrow in force is the internal fault "already mutably borrowed".
  Shared borrow() {
    if (state_ < 0) [[unlikely]]
      fault("already mutably borrowed");
    return Shared(*this);
  }
  // The value for a read that must never fail, or null while exclusively borrowed.
  const T* try_peek() const noexcept { return state_ < 0 ? nullptr : &value_; }
  bool exclusively_borrowed() const noexcept { return state_ < 0; }

 private:
  T value_{};
  int state_ = 0;  // 0 free, > 0 shared borrows, -1 exclusive
};

}  // namespace vesh
