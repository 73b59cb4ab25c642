// The free space a recording leaves on its trace file's filesystem.
//
// A recorder must never fill the user's disk. Before the writer puts a chunk
// or a value into the trace file it checks that the filesystem keeps a
// reserve free: min(kFilesystemReserveCap, 5% of the filesystem's size). It
// asks the filesystem (fstatvfs) before every write: others take space from
// it meanwhile (the database that trace points go to, the program itself),
// so an older answer less the writer's own bytes may overstate what is free.
// A write is a whole chunk or value: the question costs little beside it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace vesh::store {

// The most a recording leaves free on a large filesystem.
inline constexpr std::uint64_t kFilesystemReserveCap = 1ull << 30;

struct FilesystemSpace {
  std::uint64_t size = 0;       // the filesystem's size
  std::uint64_t available = 0;  // free to unprivileged writers
};

// The reserve of a filesystem of `size` bytes under `cap`.
std::uint64_t filesystem_reserve(std::uint64_t size, std::uint64_t cap) noexcept;

// Whether `bytes` more leave the reserve free on a filesystem with `space`.
bool keeps_reserve(const FilesystemSpace& space, std::uint64_t bytes, std::uint64_t cap) noexcept;

// The space of the filesystem that holds `path` or, while `path` does not
// exist yet, the nearest directory above it that does (as a database's file
// is made at its first save); nullopt when the filesystem does not answer.
std::optional<FilesystemSpace> filesystem_space(const std::string& path);

// The reserve check of one trace file, owned by its writer thread.
class DiskReserve {
 public:
  DiskReserve(int fd, std::uint64_t cap) noexcept : fd_(fd), cap_(cap) {}

  // Whether `bytes` more may be written. A filesystem that does not answer
  // has nothing to keep: its writes are admitted.
  bool admits(std::uint64_t bytes) noexcept;
  // The reserve of the last answer (0 before the first).
  std::uint64_t reserve() const noexcept;

 private:
  int fd_;
  std::uint64_t cap_;
  std::optional<FilesystemSpace> space_;
};

}  // namespace vesh::store
