#include "store/disk_reserve.h"

#include "support/saturating.h"

#include <sys/statvfs.h>

#include <algorithm>

namespace vesh::store {

std::uint64_t filesystem_reserve(std::uint64_t size, std::uint64_t cap) noexcept { return std::min(cap, size / 20); }

bool keeps_reserve(const FilesystemSpace& space, std::uint64_t bytes, std::uint64_t cap) noexcept {
  return space.available >= saturating_add(filesystem_reserve(space.size, cap), bytes);
}

bool DiskReserve::probe() noexcept {
  struct statvfs vfs {};
  unprobed_ = 0;
  if (::fstatvfs(fd_, &vfs) != 0) {
    space_.reset();
    return false;
  }
  const std::uint64_t unit = vfs.f_frsize != 0 ? vfs.f_frsize : vfs.f_bsize;
  space_ = FilesystemSpace{static_cast<std::uint64_t>(vfs.f_blocks) * unit,
                           static_cast<std::uint64_t>(vfs.f_bavail) * unit};
  return true;
}

bool DiskReserve::admits(std::uint64_t bytes) {
  if (!space_ || unprobed_ >= kReserveCheckBytes) {
    if (!probe()) return true;
  }
  FilesystemSpace estimate = *space_;
  estimate.available = saturating_sub(estimate.available, unprobed_);
  if (!keeps_reserve(estimate, bytes, cap_)) {
    // Refused on a fresh answer only.
    if (unprobed_ != 0) {
      if (!probe()) return true;
      estimate = *space_;
    }
    if (!keeps_reserve(estimate, bytes, cap_)) return false;
  }
  unprobed_ = saturating_add(unprobed_, bytes);
  return true;
}

std::uint64_t DiskReserve::reserve() const noexcept { return space_ ? filesystem_reserve(space_->size, cap_) : 0; }

}  // namespace vesh::store
