// The free space a recording leaves on its trace file's filesystem.
//
// A recorder must never fill the user's disk. Before the writer puts a chunk
// or a value into the trace file, and before a trace point is stored in the
// database, it checks that the filesystem keeps a reserve free:
// min(kFilesystemReserveCap, 5% of the filesystem's size).
//
// Several threads write at once (the writer, each thread whose trace point
// returns), and each would find the same free bytes if it only asked the
// filesystem: the bytes the others are about to write are not taken yet. So
// a write claims its bytes (SpaceClaim) in one process-wide count per
// filesystem, and is admitted only when the filesystem's free space, less
// every claim in flight on it, keeps the reserve after it; it gives them
// back once they are on the filesystem, which counts them from then on. The
// filesystem is asked under the count's lock, on every claim: others take
// space from it meanwhile (the program itself, another process), so an older
// answer less our own bytes may overstate what is free. A write is a whole
// chunk, value or trace point: the question costs little beside it.
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

// Bytes one writer is about to add to a filesystem, counted with every other
// claim on it in the process until they are given back (at the latest when
// the claim is destroyed). A forked child starts with no claim counted: the
// threads that held the parent's do not exist in it, and a claim the forking
// thread carries over counts nothing there.
class SpaceClaim {
 public:
  // A claim on the filesystem that holds the open file `fd`.
  static SpaceClaim on_file(int fd) noexcept;
  // A claim on the filesystem that holds `path` or, while `path` does not
  // exist yet, the nearest directory above it that does (as a database's
  // file is made at its first save).
  static SpaceClaim on_path(const std::string& path);

  SpaceClaim() noexcept = default;
  SpaceClaim(SpaceClaim&& other) noexcept;
  SpaceClaim& operator=(SpaceClaim&& other) noexcept;
  ~SpaceClaim() { release(); }

  // Claims `bytes` more when the filesystem's free space, less every claim
  // on it (this one's included), keeps the reserve under `cap` free after
  // them. A filesystem that does not answer has nothing to keep: its bytes
  // are admitted.
  bool grow(std::uint64_t bytes, std::uint64_t cap) noexcept;
  // Gives back all but `bytes` of the claim: the rest is on the filesystem.
  void shrink_to(std::uint64_t bytes) noexcept;
  void release() noexcept { shrink_to(0); }

  // The filesystem's answer to the last grow(); nullopt when it gave none.
  const std::optional<FilesystemSpace>& space() const noexcept { return space_; }

 private:
  int fd_ = -1;       // asked when it is open,
  std::string path_;  // else this path, when it is set
  std::optional<std::uint64_t> device_;  // none when neither could be asked
  std::uint64_t bytes_ = 0;
  std::uint64_t counted_in_ = 0;  // the process whose count holds bytes_
  std::optional<FilesystemSpace> space_;
};

// The reserve check of one trace file, owned by its writer thread.
class DiskReserve {
 public:
  DiskReserve(int fd, std::uint64_t cap) noexcept : claim_(SpaceClaim::on_file(fd)), cap_(cap) {}

  // Whether `bytes` more may be written; they stay claimed until landed().
  bool admits(std::uint64_t bytes) noexcept { return claim_.grow(bytes, cap_); }
  // The file's writes are done but for `still_buffered` bytes: the rest is
  // on the filesystem.
  void landed(std::uint64_t still_buffered) noexcept { claim_.shrink_to(still_buffered); }
  // The reserve of the last answer (0 before the first).
  std::uint64_t reserve() const noexcept;

 private:
  SpaceClaim claim_;
  std::uint64_t cap_;
};

}  // namespace vesh::store
