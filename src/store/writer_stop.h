// Why a streamed capture's writer took no more frames.
//
// A writer stops for good in one of two ways: a write failed (the disk is
// full, a file-size limit was reached, the raw directory cannot be made...),
// or the next write would have cut into the free space the recorder leaves
// on the trace file's filesystem. The first stop of a capture is kept, with
// its cause, so that the tracers can say once why they stopped recording and
// every later error of the capture can carry the cause instead of a generic
// "the writer failed".
#pragma once

#include "store/io_error.h"

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace vesh::store {

struct WriterStop {
  enum class Kind : std::uint8_t { WriteFailed, ReserveReached };
  Kind kind = Kind::WriteFailed;
  // WriteFailed: the error that stopped the writer (for an operating-system
  // error, its number and text).
  IoError cause;
  // ReserveReached: the bytes of the container on disk, and the free space
  // that the next write would have cut into.
  std::uint64_t bytes_written = 0;
  std::uint64_t reserve = 0;

  // The error that appends and reads of the capture report from now on.
  IoError error() const;
};

// The one warning a tracer logs when `stop` ends its recording of the trace
// `trace_id`, whose container file is `file`.
std::string describe_writer_stop(const WriterStop& stop, std::string_view trace_id,
                                 const std::filesystem::path& file);

// Holds a capture's first stop. Set from any thread (the writer thread, or a
// producer whose start of the writer failed); read without a lock.
class WriterStopSlot {
 public:
  WriterStopSlot() noexcept = default;
  WriterStopSlot(const WriterStopSlot&) = delete;
  WriterStopSlot& operator=(const WriterStopSlot&) = delete;
  ~WriterStopSlot() { delete stop_.load(std::memory_order_acquire); }

  // Keeps `stop` unless a stop is kept already; true when it was kept.
  bool set(WriterStop stop);
  const WriterStop* get() const noexcept { return stop_.load(std::memory_order_acquire); }

 private:
  std::atomic<const WriterStop*> stop_{nullptr};
};

}  // namespace vesh::store
