#include "store/chunk_handle.h"

#include "py/fault.h"

#include <cerrno>
#include <fcntl.h>
#include <limits>
#include <unistd.h>

namespace vesh::store {

namespace {

// Drops the memory lock; a fault unwinding through it poisons the memory.
class MemoryLock {
 public:
  MemoryLock(ForkAwareMutex& mutex, bool& poisoned) : lock_(mutex.lock(false)), poisoned_(poisoned) {
    if (poisoned_) fault("chunk memory poisoned");
  }
  ~MemoryLock() {
    if (std::uncaught_exceptions() > exceptions_) poisoned_ = true;
  }

 private:
  ForkAwareGuard lock_;
  bool& poisoned_;
  int exceptions_ = std::uncaught_exceptions();
};

}  // namespace

// ---------------------------------------------------------------------------
// SnapshotFile

SnapshotFile::~SnapshotFile() {
  int fd = fd_.load(std::memory_order_acquire);
  if (fd >= 0) ::close(fd);
}

void SnapshotFile::install_from_writer(int fd) {
  int expected = -1;
  if (!fd_.compare_exchange_strong(expected, fd, std::memory_order_acq_rel)) {
    ::close(fd);
    fault("snapshot file installed more than once");
  }
}

Result<int, IoError> SnapshotFile::get_or_open() {
  int fd = fd_.load(std::memory_order_acquire);
  if (fd >= 0) return fd;
  int opened = ::open(path_->c_str(), O_RDONLY | O_CLOEXEC);
  if (opened < 0) return Err{IoError::last_os_error()};
  int expected = -1;
  if (!fd_.compare_exchange_strong(expected, opened, std::memory_order_acq_rel)) ::close(opened);
  fd = fd_.load(std::memory_order_acquire);
  if (fd < 0) fault("snapshot file was just opened");
  return fd;
}

// ---------------------------------------------------------------------------
// ChunkHandle

ChunkHandle::ChunkHandle(std::shared_ptr<SnapshotFile> snapshot, SharedEnds ends, std::uint64_t seq,
                         std::uint32_t token, SharedBytes memory)
    : snapshot_(std::move(snapshot)), ends_(std::move(ends)), seq_(seq), memory_(std::move(memory)), token_(token) {}

ChunkHandle::~ChunkHandle() { delete failure_.load(std::memory_order_acquire); }

bool ChunkHandle::has_memory() {
  MemoryLock lock(memory_mutex_, memory_poisoned_);
  return memory_ != nullptr;
}

void ChunkHandle::fail(const IoError& error) {
  auto* kept = new IoError(error);
  const IoError* expected = nullptr;
  if (!failure_.compare_exchange_strong(expected, kept, std::memory_order_acq_rel)) delete kept;
  SharedBytes dropped;
  {
    MemoryLock lock(memory_mutex_, memory_poisoned_);
    dropped = std::move(memory_);
  }
}

void ChunkHandle::persist(std::uint64_t first_byte_offset) {
  if (first_byte_offset == std::numeric_limits<std::uint64_t>::max())
    fault("trace frame payload offset exhausted u64");
  persisted_.store(first_byte_offset + 1, std::memory_order_release);
  SharedBytes dropped;
  {
    MemoryLock lock(memory_mutex_, memory_poisoned_);
    dropped = std::move(memory_);
  }
}

Result<std::string_view, IoError> ChunkHandle::read(std::uint64_t start, std::uint64_t len, ByteBuffer& scratch) {
  if (const IoError* failed = failure()) return Err{*failed};
  std::uint64_t persisted = this->persisted();
  if (persisted == 0) {
    MemoryLock lock(memory_mutex_, memory_poisoned_);
    if (const IoError* failed = failure()) return Err{*failed};
    persisted = this->persisted();
    if (persisted == 0) {
      if (memory_ == nullptr)
        return Err{IoError::make(IoKind::UnexpectedEof, "missing in-memory trace chunk")};
      if (start > std::numeric_limits<std::uint64_t>::max() - len) return Err{width_error()};
      if (start + len > memory_->size())
        return Err{IoError::make(IoKind::UnexpectedEof, "short in-memory trace read")};
      scratch.clear();
      scratch.write(memory_->data() + start, len);
      return scratch.view();
    }
  }
  const std::uint64_t file_offset = persisted - 1;
  if (file_offset > std::numeric_limits<std::uint64_t>::max() - start)
    return Err{IoError::make(IoKind::InvalidData, "frame offset overflow")};
  std::uint64_t offset = file_offset + start;
  scratch.clear();
  if (len == 0) return scratch.view();
  Result<int, IoError> fd = snapshot_->get_or_open();
  if (!fd.ok()) return Err{std::move(fd).error()};
  char* out = scratch.extend(len);
  std::uint64_t got = 0;
  while (got < len) {
    ssize_t n = ::pread(*fd, out + got, len - got, static_cast<off_t>(offset + got));
    if (n < 0) return Err{IoError::last_os_error()};
    if (n == 0) return Err{IoError::make(IoKind::UnexpectedEof, "short trace read")};
    got += static_cast<std::uint64_t>(n);
  }
  return scratch.view();
}

}  // namespace vesh::store
