#include "store/disk_reserve.h"

#include "store/fork_lock.h"
#include "support/saturating.h"

#include <sys/stat.h>
#include <sys/statvfs.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <mutex>
#include <utility>
#include <vector>

namespace vesh::store {

namespace {

FilesystemSpace space_of(const struct statvfs& vfs) noexcept {
  const std::uint64_t unit = vfs.f_frsize != 0 ? vfs.f_frsize : vfs.f_bsize;
  return FilesystemSpace{static_cast<std::uint64_t>(vfs.f_blocks) * unit,
                         static_cast<std::uint64_t>(vfs.f_bavail) * unit};
}

struct InFlight {
  std::uint64_t device;
  std::uint64_t bytes;
};

// The bytes claimed in flight, per filesystem with any. A forked child gets
// an empty count: the parent's claims belong to threads it does not have,
// and a parent's thread may have left the count mid-change.
class Claims {
 public:
  Claims() : made_for_(process_tag()) {}

  ForkRenewedMutex& mutex() noexcept { return mutex_; }
  // The counts of this process; call with the lock held.
  std::vector<InFlight>& counts() {
    if (const std::uint64_t tag = process_tag(); tag != made_for_) {
      in_flight_ = new std::vector<InFlight>();  // the parent's is left as it was
      made_for_ = tag;
    }
    return *in_flight_;
  }
  // The process the counts belong to; call after counts().
  std::uint64_t made_for() const noexcept { return made_for_; }

 private:
  ForkRenewedMutex mutex_;  // made first: it registers the fork handler that process tags rely on
  std::uint64_t made_for_;
  std::vector<InFlight>* in_flight_ = new std::vector<InFlight>();
};

// Never destroyed: a writer thread may still give its claim back while the
// process exits.
Claims& claims() {
  static Claims* all = new Claims();
  return *all;
}

std::vector<InFlight>::iterator find(std::vector<InFlight>& counts, std::uint64_t device) noexcept {
  return std::find_if(counts.begin(), counts.end(), [&](const InFlight& in) { return in.device == device; });
}

}  // namespace

std::uint64_t filesystem_reserve(std::uint64_t size, std::uint64_t cap) noexcept { return std::min(cap, size / 20); }

bool keeps_reserve(const FilesystemSpace& space, std::uint64_t bytes, std::uint64_t cap) noexcept {
  return space.available >= saturating_add(filesystem_reserve(space.size, cap), bytes);
}

SpaceClaim SpaceClaim::on_file(int fd) noexcept {
  SpaceClaim claim;
  struct stat st {};
  if (::fstat(fd, &st) != 0) return claim;
  claim.fd_ = fd;
  claim.device_ = static_cast<std::uint64_t>(st.st_dev);
  return claim;
}

SpaceClaim SpaceClaim::on_path(const std::string& path) {
  SpaceClaim claim;
  std::filesystem::path at = path.empty() ? std::filesystem::path(".") : std::filesystem::path(path);
  for (;;) {
    struct stat st {};
    if (::stat(at.c_str(), &st) == 0) {
      claim.path_ = at.string();
      claim.device_ = static_cast<std::uint64_t>(st.st_dev);
      return claim;
    }
    if (errno != ENOENT && errno != ENOTDIR) return claim;
    std::filesystem::path up = at.has_parent_path() ? at.parent_path() : std::filesystem::path(".");
    if (up == at) return claim;  // the root, or the working directory, did not answer
    at = std::move(up);
  }
}

SpaceClaim::SpaceClaim(SpaceClaim&& other) noexcept
    : fd_(other.fd_),
      path_(std::move(other.path_)),
      device_(other.device_),
      bytes_(std::exchange(other.bytes_, 0)),
      counted_in_(other.counted_in_),
      space_(other.space_) {}

SpaceClaim& SpaceClaim::operator=(SpaceClaim&& other) noexcept {
  if (this == &other) return *this;
  release();
  fd_ = other.fd_;
  path_ = std::move(other.path_);
  device_ = other.device_;
  bytes_ = std::exchange(other.bytes_, 0);
  counted_in_ = other.counted_in_;
  space_ = other.space_;
  return *this;
}

bool SpaceClaim::grow(std::uint64_t bytes, std::uint64_t cap) noexcept {
  if (!device_) {
    space_.reset();
    return true;
  }
  Claims& all = claims();
  std::lock_guard held(all.mutex());
  try {
    std::vector<InFlight>& counts = all.counts();
    // Claimed in the parent of this forked child: not counted here.
    if (counted_in_ != all.made_for()) {
      bytes_ = 0;
      counted_in_ = all.made_for();
    }
    // Asked under the lock: a claim given back meanwhile has its bytes on
    // the filesystem by now, so they are counted once, in the answer.
    struct statvfs vfs {};
    const int asked = fd_ >= 0 ? ::fstatvfs(fd_, &vfs) : ::statvfs(path_.c_str(), &vfs);
    auto in = find(counts, *device_);
    if (asked == 0) {
      space_ = space_of(vfs);
      const std::uint64_t claimed = in != counts.end() ? in->bytes : 0;
      if (!keeps_reserve(*space_, saturating_add(claimed, bytes), cap)) return false;
    } else {
      space_.reset();
    }
    if (in == counts.end()) in = counts.insert(counts.end(), InFlight{*device_, 0});
    in->bytes = saturating_add(in->bytes, bytes);
    bytes_ = saturating_add(bytes_, bytes);
    return true;
  } catch (...) {
    // No room to count the claim in: it cannot be admitted safely.
    return false;
  }
}

void SpaceClaim::shrink_to(std::uint64_t bytes) noexcept {
  if (bytes >= bytes_) return;
  Claims& all = claims();
  std::lock_guard held(all.mutex());
  try {
    std::vector<InFlight>& counts = all.counts();
    if (counted_in_ == all.made_for()) {
      if (auto in = find(counts, *device_); in != counts.end()) {
        in->bytes = saturating_sub(in->bytes, bytes_ - bytes);
        if (in->bytes == 0) {
          *in = counts.back();
          counts.pop_back();
        }
      }
      bytes_ = bytes;
    } else {
      bytes_ = 0;
    }
  } catch (...) {
    // Only a forked child's first count can fail to be made; it holds
    // nothing of this claim.
    bytes_ = 0;
  }
}

std::uint64_t DiskReserve::reserve() const noexcept {
  return claim_.space() ? filesystem_reserve(claim_.space()->size, cap_) : 0;
}

}  // namespace vesh::store
