#include "store/disk_reserve.h"

#include "support/saturating.h"

#include <sys/statvfs.h>

#include <algorithm>
#include <cerrno>

namespace vesh::store {

namespace {

FilesystemSpace space_of(const struct statvfs& vfs) noexcept {
  const std::uint64_t unit = vfs.f_frsize != 0 ? vfs.f_frsize : vfs.f_bsize;
  return FilesystemSpace{static_cast<std::uint64_t>(vfs.f_blocks) * unit,
                         static_cast<std::uint64_t>(vfs.f_bavail) * unit};
}

}  // namespace

std::uint64_t filesystem_reserve(std::uint64_t size, std::uint64_t cap) noexcept { return std::min(cap, size / 20); }

bool keeps_reserve(const FilesystemSpace& space, std::uint64_t bytes, std::uint64_t cap) noexcept {
  return space.available >= saturating_add(filesystem_reserve(space.size, cap), bytes);
}

std::optional<FilesystemSpace> filesystem_space(std::string path) {
  for (;;) {
    struct statvfs vfs {};
    if (::statvfs(path.empty() ? "." : path.c_str(), &vfs) == 0) return space_of(vfs);
    if ((errno != ENOENT && errno != ENOTDIR) || path.empty()) return std::nullopt;
    const std::size_t last = path.find_last_not_of('/');
    if (last == std::string::npos) return std::nullopt;  // the root itself did not answer
    const std::size_t slash = path.find_last_of('/', last);
    if (slash == std::string::npos) {
      path.clear();
    } else {
      path.resize(slash == 0 ? 1 : slash);
    }
  }
}

bool DiskReserve::admits(std::uint64_t bytes) noexcept {
  struct statvfs vfs {};
  if (::fstatvfs(fd_, &vfs) != 0) {
    space_.reset();
    return true;
  }
  space_ = space_of(vfs);
  return keeps_reserve(*space_, bytes, cap_);
}

std::uint64_t DiskReserve::reserve() const noexcept { return space_ ? filesystem_reserve(space_->size, cap_) : 0; }

}  // namespace vesh::store
