// One thread's encoded records (frame records, plugin records, assignment
// records, subtree-flushed markers: opaque bytes here), numbered from 0.
//
// New frames go into an open memory chunk, the arena; once it holds 512 KiB
// it is sealed and committed to the store's trace capture, which keeps it in
// memory or queues it to the capture's writer thread. Committed frames are
// then known only as spans over shared chunk handles, so that ranges can be
// cut out (drain), put back (insert_store) and spliced (insert_frame) by
// moving span descriptors, never frame bytes. Any frame can be read back by
// index wherever it lies: in the arena, in chunk memory or in the file being
// written.
//
// A store has no lock of its own: its owner's lock guards it. Only frame()
// and frame_len() may run concurrently with each other.
//
// States: open (arena and capture), detached range (capture, no arena: what
// drain returns) and retired (neither: what a save leaves behind when it
// takes a thread's store out). A thread that still holds a retired store
// gets the BrokenPipe error "frame store retired" from every append, so an
// owner can test retired() under its lock, or treat that error, as "this
// store is stale: look the thread's store up again".
//
// A store whose chunk could not be committed is failed: it refuses every
// append and read, with the error that stopped its capture's writer when
// there is one (the cause of a failed write), else "frame store writer
// failed". A store whose capture's writer reached the filesystem's reserve
// is stopped: it refuses appends with that stop's error (the append that
// meets the stop keeps its record) and still reads and lays out its frames.
#pragma once

#include "store/chunk_handle.h"
#include "store/io_error.h"
#include "support/byte_buffer.h"
#include "support/result.h"
#include "store/trace_capture.h"
#include "store/trace_container.h"
#include "store/trace_name_index.h"

#include <Python.h>

#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

namespace vesh::store {

inline constexpr std::uint64_t kChunkTargetBytes = 524288;
inline constexpr std::size_t kArenaCapacity = 65536;

// The open chunk of a store: frames back to back, frame j being
// [ends[j-1], ends[j]) with ends[-1] = 0.
class FrameArena {
 public:
  explicit FrameArena(std::uint32_t token, std::uint64_t target_bytes = kChunkTargetBytes);

  ByteBuffer& bytes() noexcept { return bytes_; }
  const ByteBuffer& bytes() const noexcept { return bytes_; }
  const std::vector<std::uint64_t>& ends() const noexcept { return ends_; }
  std::size_t frame_count() const noexcept { return ends_.size(); }
  std::uint64_t next_seq() const noexcept { return next_seq_; }
  std::uint64_t target_bytes() const noexcept { return target_bytes_; }
  std::uint32_t token() const noexcept { return token_; }

  // Ends the frame whose bytes were just appended to bytes().
  void end_frame() { ends_.push_back(bytes_.size()); }
  void append_frame(std::string_view frame) {
    bytes_.append(frame);
    end_frame();
  }
  // Whether the arena has reached its seal threshold.
  bool full() const noexcept { return bytes_.size() >= target_bytes_; }
  // Takes the frames out as a chunk (none when the arena holds no frame);
  // the arena starts again, empty, with the next sequence number.
  std::optional<SealedChunk> seal();

 private:
  ByteBuffer bytes_;
  std::vector<std::uint64_t> ends_;
  std::uint64_t next_seq_ = 0;
  std::uint64_t target_bytes_;
  std::uint32_t token_;
};

// A run of consecutive frames of one committed chunk.
struct FrameSpan {
  std::shared_ptr<ChunkHandle> chunk;
  std::uint64_t first = 0;  // store-wide index of the span's first frame
  std::uint32_t start = 0;  // index within the chunk of that frame
  std::uint32_t count = 0;
};

// The spans covering frames [start, end) of `spans`, normalized.
std::vector<FrameSpan> slice_spans(const std::vector<FrameSpan>& spans, std::uint64_t start, std::uint64_t end);
// Drops empty spans, merges adjacent pieces of one chunk and renumbers
// `first`; returns the total frame count.
std::uint64_t normalize_spans(std::vector<FrameSpan>& spans);

// What an append added: frames [first, end) and their bytes.
struct AppendOutcome {
  std::uint64_t first = 0;
  std::uint64_t end = 0;
  std::uint64_t bytes = 0;
};

template <typename R>
struct ResultErrorOf;
template <typename T, typename E>
struct ResultErrorOf<Result<T, E>> {
  using type = E;
};

// An I/O error in the error type of an encoder: itself, or the OSError
// subclass of its kind for a Python exception.
template <typename E>
E io_error_as(IoError error) {
  if constexpr (std::is_same_v<E, IoError>) {
    return error;
  } else if constexpr (std::is_same_v<E, py::PyError>) {
    return to_python(error);
  } else {
    return E(std::move(error));
  }
}

class FrameStore {
 public:
  // A retired store: no arena, no capture, nothing recorded.
  FrameStore() = default;
  // An open store of the thread with `token` in `capture`.
  static FrameStore open(std::shared_ptr<TraceCapture> capture, std::uint32_t token,
                         std::uint64_t target_bytes = kChunkTargetBytes);

  // A moved-from store is retired (never a half-moved open store).
  FrameStore(FrameStore&& other) noexcept { swap(other); }
  FrameStore& operator=(FrameStore&& other) noexcept {
    FrameStore taken(std::move(other));
    swap(taken);
    return *this;
  }
  FrameStore(const FrameStore&) = delete;
  FrameStore& operator=(const FrameStore&) = delete;

  // Moves everything out into the returned store and leaves this one
  // retired (the tracers' save takes each thread's store this way).
  FrameStore take();

  bool retired() const noexcept { return capture_ == nullptr; }
  bool detached() const noexcept { return capture_ != nullptr && !arena_; }
  bool writer_failed() const noexcept { return writer_failed_; }
  bool stopped() const noexcept { return stopped_; }
  std::uint32_t token() const noexcept { return token_; }
  const std::shared_ptr<TraceCapture>& capture() const noexcept { return capture_; }
  std::uint64_t committed_frames() const noexcept { return committed_frames_; }
  std::uint64_t total_bytes() const noexcept { return total_bytes_; }
  std::uint64_t frame_count() const noexcept { return committed_frames_ + (arena_ ? arena_->frame_count() : 0); }
  const std::vector<FrameSpan>& spans() const noexcept { return spans_; }
  const FrameArena* arena() const noexcept { return arena_ ? &*arena_ : nullptr; }
  TraceNameIndex& name_index() noexcept { return name_index_; }
  const TraceNameIndex& name_index() const noexcept { return name_index_; }

  // Appends one record that `encode` writes at the end of the buffer it is
  // given, in place, in the arena. `encode` returns Result<void, E> (I/O
  // errors then arrive as E: an IoError, or a py::PyError carrying the
  // OSError subclass of the error's kind) or bool (false with a Python
  // exception set; the result is then empty with the exception set for an
  // I/O error too). A failed encoding is cut back out of the arena.
  template <typename Encode>
  auto append_encoded(Encode&& encode);
  // Appends a copy of one encoded record.
  Result<AppendOutcome, IoError> append_serialized(std::string_view frame);
  // Appends records in order; the first failure ends the call, keeping the
  // records appended before it. Elements are byte strings or ByteBuffers.
  template <typename Frames>
  Result<AppendOutcome, IoError> append_many(Frames&& frames);

  // `frame` becomes frame number `position` (<= frame count). Disables the
  // name index for good: positions no longer match it.
  Result<void, IoError> insert_frame(std::uint64_t position, std::string_view frame);
  // `other` (a range drained from this store's capture) becomes frames
  // `position` onward. `other` is consumed, also on failure.
  Result<void, IoError> insert_store(std::uint64_t position, FrameStore other);
  // Removes frames [start, end) and returns them as a detached range.
  Result<FrameStore, IoError> drain(std::uint64_t start, std::uint64_t end);
  // Seals the arena and describes the store's frames as chunk spans.
  Result<ThreadLayout, IoError> layout();
  // Commits one sealed chunk into the capture and records its span. On
  // failure the chunk's frames are lost and the store is marked failed
  // (except for a retired store, "frame store retired").
  Result<void, IoError> commit_chunk(SealedChunk chunk);

  // The frame-sequence interface: the length of frame `index`, and its
  // bytes (borrowed from the arena, or copied into `scratch`; valid until
  // the store or `scratch` next changes).
  Result<std::uint64_t, IoError> frame_len(std::uint64_t index) const;
  Result<std::string_view, IoError> frame(std::uint64_t index, ByteBuffer& scratch) const;
  // Copies of frames [start, end) in order, wherever they lie. Refuses a
  // failed store (BrokenPipe "frame store writer failed") and a range that
  // is not within the store (InvalidInput "invalid frame range").
  Result<std::vector<std::string>, IoError> copy_range(std::uint64_t start, std::uint64_t end) const;

 private:
  void swap(FrameStore& other) noexcept {
    spans_.swap(other.spans_);
    arena_.swap(other.arena_);
    std::swap(name_index_, other.name_index_);
    capture_.swap(other.capture_);
    std::swap(committed_frames_, other.committed_frames_);
    std::swap(total_bytes_, other.total_bytes_);
    std::swap(token_, other.token_);
    std::swap(writer_failed_, other.writer_failed_);
    std::swap(stopped_, other.stopped_);
  }
  bool can_append() const noexcept { return !writer_failed_ && !stopped_ && arena_ && capture_; }
  // The error (or fault) for a store that cannot take an append.
  IoError refuse_append() const;
  // The error of a failed or stopped store.
  IoError failure_error() const;
  // Ends the frame just written at `old_len` and seals/commits a full arena;
  // returns the frame's length.
  Result<std::uint64_t, IoError> end_appended_frame(std::size_t old_len) {
    FrameArena& arena = *arena_;
    arena.end_frame();
    const std::uint64_t len = arena.bytes().size() - old_len;
    if (!arena.full()) [[likely]] {
      add_total(len);
      return len;
    }
    return seal_full_arena(old_len);
  }
  Result<std::uint64_t, IoError> seal_full_arena(std::size_t old_len);
  Result<void, IoError> seal_and_commit();
  const FrameSpan* find_span(std::uint64_t index) const noexcept;
  // Chunk-local frame bounds [a, b) of committed frame `index`.
  Result<std::pair<std::uint64_t, std::uint64_t>, IoError> committed_bounds(std::uint64_t index,
                                                                             const FrameSpan*& span) const;
  void add_total(std::uint64_t bytes) noexcept {
    total_bytes_ = bytes > std::numeric_limits<std::uint64_t>::max() - total_bytes_
                       ? std::numeric_limits<std::uint64_t>::max()
                       : total_bytes_ + bytes;
  }

  std::vector<FrameSpan> spans_;
  std::optional<FrameArena> arena_;
  TraceNameIndex name_index_;
  std::shared_ptr<TraceCapture> capture_;
  std::uint64_t committed_frames_ = 0;
  std::uint64_t total_bytes_ = 0;
  std::uint32_t token_ = 0;
  bool writer_failed_ = false;
  bool stopped_ = false;
};

// ---------------------------------------------------------------------------

template <typename Encode>
auto FrameStore::append_encoded(Encode&& encode) {
  using R = std::invoke_result_t<Encode&, ByteBuffer&>;
  if constexpr (std::is_same_v<R, bool>) {
    // C API style: false with a Python exception set.
    using Out = std::optional<AppendOutcome>;
    auto io_failure = [](IoError error) -> Out {
      to_python(error).restore();
      return std::nullopt;
    };
    if (!can_append()) [[unlikely]]
      return io_failure(refuse_append());
    const std::uint64_t first = frame_count();
    const std::size_t old_len = arena_->bytes().size();
    if (!encode(arena_->bytes())) [[unlikely]] {
      arena_->bytes().truncate(old_len);
      return Out();
    }
    auto len = end_appended_frame(old_len);
    if (!len.ok()) [[unlikely]]
      return io_failure(std::move(len).error());
    return Out(AppendOutcome{first, first + 1, len.value()});
  } else {
    using E = typename ResultErrorOf<R>::type;
    using Out = Result<AppendOutcome, E>;
    if (!can_append()) [[unlikely]]
      return Out(Err{io_error_as<E>(refuse_append())});
    const std::uint64_t first = frame_count();
    const std::size_t old_len = arena_->bytes().size();
    R encoded = encode(arena_->bytes());
    if (!encoded.ok()) [[unlikely]] {
      arena_->bytes().truncate(old_len);
      return Out(Err{std::move(encoded).error()});
    }
    auto len = end_appended_frame(old_len);
    if (!len.ok()) [[unlikely]]
      return Out(Err{io_error_as<E>(std::move(len).error())});
    return Out(AppendOutcome{first, first + 1, len.value()});
  }
}

template <typename Frames>
Result<AppendOutcome, IoError> FrameStore::append_many(Frames&& frames) {
  const std::uint64_t first = frame_count();
  const std::uint64_t bytes_before = total_bytes_;
  for (auto&& frame : frames) {
    std::string_view bytes;
    if constexpr (requires { frame.view(); }) {
      bytes = frame.view();
    } else {
      bytes = std::string_view(frame);
    }
    auto appended = append_serialized(bytes);
    if (!appended.ok()) return Err{std::move(appended).error()};
  }
  return AppendOutcome{first, frame_count(), total_bytes_ > bytes_before ? total_bytes_ - bytes_before : 0};
}

}  // namespace vesh::store
