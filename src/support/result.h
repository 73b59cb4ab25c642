// Result<T, E>: a value or an error, for failures that are part of normal
// operation (I/O, encoding). Internal faults are exceptions instead.
#pragma once

#include <type_traits>
#include <utility>
#include <variant>

namespace vesh {

template <typename E>
struct Err {
  E error;
};
template <typename E>
Err(E) -> Err<E>;

template <typename T, typename E>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
  template <typename F>
  Result(Err<F> err) : v_(std::in_place_index<1>, std::move(err.error)) {}

  bool ok() const noexcept { return v_.index() == 0; }
  explicit operator bool() const noexcept { return ok(); }
  T& value() & { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  const T& value() const& { return std::get<0>(v_); }
  E& error() & { return std::get<1>(v_); }
  E&& error() && { return std::get<1>(std::move(v_)); }
  const E& error() const& { return std::get<1>(v_); }
  T* operator->() { return &value(); }
  T& operator*() & { return value(); }

 private:
  std::variant<T, E> v_;
};

// Result<void, E>: success or an error.
struct Ok {};

template <typename E>
class [[nodiscard]] Result<void, E> {
 public:
  Result() = default;
  Result(Ok) {}
  template <typename F>
  Result(Err<F> err) : failed_(true), error_(std::move(err.error)) {}

  bool ok() const noexcept { return !failed_; }
  explicit operator bool() const noexcept { return ok(); }
  E& error() & { return error_; }
  E&& error() && { return std::move(error_); }
  const E& error() const& { return error_; }

 private:
  bool failed_ = false;
  E error_{};
};

}  // namespace vesh
