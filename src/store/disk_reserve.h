// The free space a recording leaves on its trace file's filesystem.
//
// A recorder must never fill the user's disk. Before the writer puts a chunk
// or a value into the trace file it checks that the filesystem keeps a
// reserve free: min(kFilesystemReserveCap, 5% of the filesystem's size). The
// filesystem is asked (fstatvfs) at most once every kReserveCheckBytes
// written, in between the writer counts its own bytes against the last
// answer; a write that the estimate says would cut into the reserve asks once
// more before it is refused, as space may have been freed meanwhile.
#pragma once

#include <cstdint>
#include <optional>

namespace vesh::store {

// The most a recording leaves free on a large filesystem.
inline constexpr std::uint64_t kFilesystemReserveCap = 1ull << 30;
inline constexpr std::uint64_t kReserveCheckBytes = 4ull << 20;

struct FilesystemSpace {
  std::uint64_t size = 0;       // the filesystem's size
  std::uint64_t available = 0;  // free to unprivileged writers
};

// The reserve of a filesystem of `size` bytes under `cap`.
std::uint64_t filesystem_reserve(std::uint64_t size, std::uint64_t cap) noexcept;

// Whether `bytes` more leave the reserve free on a filesystem with `space`.
bool keeps_reserve(const FilesystemSpace& space, std::uint64_t bytes, std::uint64_t cap) noexcept;

// The reserve check of one trace file, owned by its writer thread.
class DiskReserve {
 public:
  DiskReserve(int fd, std::uint64_t cap) noexcept : fd_(fd), cap_(cap) {}

  // Whether `bytes` more may be written. A filesystem that does not answer
  // has nothing to keep: its writes are admitted.
  bool admits(std::uint64_t bytes);
  // The reserve of the last answer (0 before the first).
  std::uint64_t reserve() const noexcept;

 private:
  bool probe() noexcept;

  int fd_;
  std::uint64_t cap_;
  std::optional<FilesystemSpace> space_;
  // Bytes admitted since the last answer.
  std::uint64_t unprobed_ = 0;
};

}  // namespace vesh::store
