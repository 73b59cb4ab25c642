// A value reached through run-time borrows.
#pragma once

#include "py/fault.h"

namespace vesh {

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
  bool borrowed() const noexcept { return state_ != 0; }

 private:
  T value_{};
  int state_ = 0;  // 0 free, > 0 shared borrows, -1 exclusive
};

}  // namespace vesh
