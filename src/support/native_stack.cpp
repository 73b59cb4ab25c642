#include "support/native_stack.h"

#include <pthread.h>

#include <cstdint>

namespace vesh::native_stack {

namespace {

struct Bounds {
  bool measured = false;
  bool known = false;
  std::uintptr_t low = 0;
};

thread_local Bounds bounds __attribute__((tls_model("initial-exec")));
thread_local bool override_active __attribute__((tls_model("initial-exec"))) = false;
thread_local std::optional<std::size_t> override_value;

void measure() noexcept {
  bounds.measured = true;
  pthread_attr_t attr;
  if (pthread_getattr_np(pthread_self(), &attr) != 0) return;
  void* addr = nullptr;
  std::size_t size = 0;
  if (pthread_attr_getstack(&attr, &addr, &size) == 0 && addr != nullptr) {
    std::size_t guard = 0;
    pthread_attr_getguardsize(&attr, &guard);
    bounds.low = reinterpret_cast<std::uintptr_t>(addr) + guard;
    bounds.known = true;
  }
  pthread_attr_destroy(&attr);
}

}  // namespace

std::optional<std::size_t> remaining() noexcept {
  if (override_active) [[unlikely]]
    return override_value;
  if (!bounds.measured) [[unlikely]]
    measure();
  if (!bounds.known) return std::nullopt;
  auto here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
  return here > bounds.low ? here - bounds.low : 0;
}

void set_override_for_thread(std::optional<std::optional<std::size_t>> value) noexcept {
  override_active = value.has_value();
  override_value = value.value_or(std::nullopt);
}

}  // namespace vesh::native_stack
