#include "store/disk_reserve.h"

#include "support/saturating.h"

#include <sys/statvfs.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>

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

std::optional<FilesystemSpace> filesystem_space(const std::string& path) {
  std::filesystem::path at = path.empty() ? std::filesystem::path(".") : std::filesystem::path(path);
  for (;;) {
    struct statvfs vfs {};
    if (::statvfs(at.c_str(), &vfs) == 0) return space_of(vfs);
    if (errno != ENOENT && errno != ENOTDIR) return std::nullopt;
    std::filesystem::path up = at.has_parent_path() ? at.parent_path() : std::filesystem::path(".");
    if (up == at) return std::nullopt;  // the root, or the working directory, did not answer
    at = std::move(up);
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
