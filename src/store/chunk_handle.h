// Sealed chunks of frames and the shared handles through which committed
// chunks are read: from memory until the writer has put them into the
// container file, from the file afterwards, or never again once failed.
#pragma once

#include "store/fork_lock.h"
#include "store/io_error.h"
#include "support/byte_buffer.h"
#include "support/result.h"

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace vesh::store {

using SharedBytes = std::shared_ptr<const ByteBuffer>;
using SharedEnds = std::shared_ptr<const std::vector<std::uint64_t>>;
using SharedPath = std::shared_ptr<const std::filesystem::path>;

// A chunk taken out of a thread's frame arena: its frames back to back in
// `payload`, frame j being [ends[j-1], ends[j]) with ends[-1] = 0.
struct SealedChunk {
  SharedBytes payload;
  SharedEnds ends;
  std::uint64_t seq = 0;
  std::uint32_t token = 0;

  std::size_t frame_count() const noexcept { return ends ? ends->size() : 0; }
};

// A capture's temporary file as seen by readers: its path and a read-only
// descriptor installed at most once.
class SnapshotFile {
 public:
  explicit SnapshotFile(SharedPath path) noexcept : path_(std::move(path)) {}
  SnapshotFile(const SnapshotFile&) = delete;
  SnapshotFile& operator=(const SnapshotFile&) = delete;
  ~SnapshotFile();

  const SharedPath& path() const noexcept { return path_; }
  // The descriptor, or -1 when none is installed yet.
  int fd() const noexcept { return fd_.load(std::memory_order_acquire); }
  // Installs the writer's read-only descriptor (taking it over); a second
  // installation is an internal fault.
  void install_from_writer(int fd);
  // The installed descriptor, opening the path read-only first when there is
  // none (of two concurrent openers one wins, the other closes its own).
  Result<int, IoError> get_or_open();

 private:
  SharedPath path_;
  std::atomic<int> fd_{-1};
};

class ChunkHandle {
 public:
  ChunkHandle(std::shared_ptr<SnapshotFile> snapshot, SharedEnds ends, std::uint64_t seq, std::uint32_t token,
              SharedBytes memory);
  ChunkHandle(const ChunkHandle&) = delete;
  ChunkHandle& operator=(const ChunkHandle&) = delete;
  ~ChunkHandle();

  const std::shared_ptr<SnapshotFile>& snapshot() const noexcept { return snapshot_; }
  const SharedEnds& ends() const noexcept { return ends_; }
  std::size_t frame_count() const noexcept { return ends_->size(); }
  std::uint64_t seq() const noexcept { return seq_; }
  std::uint32_t token() const noexcept { return token_; }

  // 0 while the chunk is not in the file; else 1 + the file offset of its
  // first frame byte.
  std::uint64_t persisted() const noexcept { return persisted_.load(std::memory_order_acquire); }
  // The first failure, or null.
  const IoError* failure() const noexcept { return failure_.load(std::memory_order_acquire); }
  bool has_memory();

  // Records the error, errno and text (the first failure wins), and drops
  // the memory.
  void fail(const IoError& error);
  // The writer has put the chunk's first frame byte at `first_byte_offset`:
  // publishes the position, then drops the memory, so that a reader always
  // finds one of the two.
  void persist(std::uint64_t first_byte_offset);

  // Bytes [start, start + len) of the chunk's payload: from memory (copied
  // into `scratch`) or read from the file into `scratch`. The view is valid
  // until `scratch` changes.
  Result<std::string_view, IoError> read(std::uint64_t start, std::uint64_t len, ByteBuffer& scratch);

 private:
  const std::shared_ptr<SnapshotFile> snapshot_;
  const SharedEnds ends_;
  const std::uint64_t seq_;
  std::atomic<std::uint64_t> persisted_{0};
  // Fork-aware: a process forked while another thread held it (the writer
  // persisting the chunk, a reader copying it) still reads the chunk. Its
  // holders only ever empty the memory after publishing the persisted offset
  // or the failure, which readers look at first.
  ForkAwareMutex memory_mutex_;
  bool memory_poisoned_ = false;
  SharedBytes memory_;
  std::atomic<const IoError*> failure_{nullptr};
  const std::uint32_t token_;
};

}  // namespace vesh::store
