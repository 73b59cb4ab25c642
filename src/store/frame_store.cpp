#include "store/frame_store.h"

#include "py/fault.h"

#include <algorithm>

namespace vesh::store {

namespace {

IoError writer_failed_error() { return IoError::make(IoKind::BrokenPipe, "frame store writer failed"); }
IoError retired_error() { return IoError::make(IoKind::BrokenPipe, "frame store retired"); }
IoError invalid_index() { return IoError::make(IoKind::InvalidInput, "invalid frame index"); }
IoError invalid_boundary() { return IoError::make(IoKind::InvalidData, "invalid frame boundary"); }
IoError invalid_range() { return IoError::make(IoKind::InvalidInput, "invalid frame range"); }

// Bounds [a, b) of frame k given cumulative end offsets.
Result<std::pair<std::uint64_t, std::uint64_t>, IoError> bounds(const std::vector<std::uint64_t>& ends,
                                                                std::uint64_t k) {
  if (k >= ends.size()) return Err{invalid_index()};
  const std::uint64_t a = k == 0 ? 0 : ends[k - 1];
  const std::uint64_t b = ends[k];
  if (a > b) return Err{invalid_boundary()};
  return std::make_pair(a, b);
}

}  // namespace

// ---------------------------------------------------------------------------
// FrameArena

FrameArena::FrameArena(std::uint32_t token, std::uint64_t target_bytes)
    : bytes_(static_cast<std::size_t>(std::min<std::uint64_t>(target_bytes, kArenaCapacity))),
      target_bytes_(target_bytes),
      token_(token) {}

std::optional<SealedChunk> FrameArena::seal() {
  if (ends_.empty()) return std::nullopt;
  auto payload = std::make_shared<ByteBuffer>(std::move(bytes_));
  bytes_ = ByteBuffer(static_cast<std::size_t>(std::min<std::uint64_t>(target_bytes_, kArenaCapacity)));
  auto ends = std::make_shared<const std::vector<std::uint64_t>>(ends_);
  ends_.clear();
  return SealedChunk{std::move(payload), std::move(ends), next_seq_++, token_};
}

// ---------------------------------------------------------------------------
// Spans

std::uint64_t normalize_spans(std::vector<FrameSpan>& spans) {
  std::vector<FrameSpan> out;
  out.reserve(spans.size());
  std::uint64_t total = 0;
  for (FrameSpan& span : spans) {
    if (span.count == 0) continue;
    if (!out.empty()) {
      FrameSpan& last = out.back();
      if (last.chunk == span.chunk && static_cast<std::uint32_t>(last.start + last.count) == span.start) {
        last.count += span.count;
        total += span.count;
        continue;
      }
    }
    span.first = total;
    total += span.count;
    out.push_back(std::move(span));
  }
  spans = std::move(out);
  return total;
}

std::vector<FrameSpan> slice_spans(const std::vector<FrameSpan>& spans, std::uint64_t start, std::uint64_t end) {
  std::vector<FrameSpan> out;
  if (start >= end) return out;
  for (const FrameSpan& span : spans) {
    const std::uint64_t lo = std::max(span.first, start);
    const std::uint64_t hi = std::min(span.first + span.count, end);
    if (hi > lo) {
      out.push_back(FrameSpan{span.chunk, 0, static_cast<std::uint32_t>(span.start + (lo - span.first)),
                              static_cast<std::uint32_t>(hi - lo)});
    }
  }
  normalize_spans(out);
  return out;
}

// ---------------------------------------------------------------------------
// FrameStore

FrameStore FrameStore::open(std::shared_ptr<TraceCapture> capture, std::uint32_t token, std::uint64_t target_bytes) {
  FrameStore store;
  store.capture_ = std::move(capture);
  store.token_ = token;
  store.arena_.emplace(token, target_bytes);
  return store;
}

FrameStore FrameStore::take() { return FrameStore(std::move(*this)); }

IoError FrameStore::failure_error() const {
  const WriterStop* stop = capture_ != nullptr ? capture_->writer_stop() : nullptr;
  if (stop != nullptr && (stopped_ || stop->kind == WriterStop::Kind::WriteFailed)) return stop->error();
  return writer_failed_error();
}

IoError FrameStore::refuse_append() const {
  if (writer_failed_ || stopped_) return failure_error();
  // A store taken out by a save: its thread must look its store up again.
  if (!capture_) return retired_error();
  fault("cannot append to a detached frame range");
}

Result<AppendOutcome, IoError> FrameStore::append_serialized(std::string_view frame) {
  if (!can_append()) [[unlikely]]
    return Err{refuse_append()};
  const std::uint64_t first = frame_count();
  const std::size_t old_len = arena_->bytes().size();
  arena_->bytes().append(frame);
  auto len = end_appended_frame(old_len);
  if (!len.ok()) return Err{std::move(len).error()};
  return AppendOutcome{first, first + 1, len.value()};
}

Result<std::uint64_t, IoError> FrameStore::seal_full_arena(std::size_t old_len) {
  std::optional<SealedChunk> chunk = arena_->seal();
  if (!chunk) fault("a full arena holds a frame");
  const std::uint64_t len = chunk->payload->size() - old_len;
  add_total(len);
  if (auto committed = commit_chunk(std::move(*chunk)); !committed.ok()) return Err{std::move(committed).error()};
  // The record is kept; its writer learns now that recording has to stop.
  if (stopped_) [[unlikely]]
    return Err{failure_error()};
  return len;
}

Result<void, IoError> FrameStore::seal_and_commit() {
  if (!arena_) return Ok{};
  std::optional<SealedChunk> chunk = arena_->seal();
  if (!chunk) return Ok{};
  return commit_chunk(std::move(*chunk));
}

Result<void, IoError> FrameStore::commit_chunk(SealedChunk chunk) {
  if (!capture_) return Err{retired_error()};
  const std::size_t count = chunk.frame_count();
  auto handle = capture_->commit(std::move(chunk));
  if (!handle.ok()) {
    writer_failed_ = true;
    return Err{std::move(handle).error()};
  }
  if (count > 0xFFFFFFFFull) return Err{width_error()};
  spans_.push_back(FrameSpan{std::move(handle).value(), committed_frames_, 0, static_cast<std::uint32_t>(count)});
  committed_frames_ += count;
  if (const WriterStop* stop = capture_->writer_stop();
      stop != nullptr && stop->kind == WriterStop::Kind::ReserveReached) [[unlikely]]
    stopped_ = true;
  return Ok{};
}

Result<void, IoError> FrameStore::insert_frame(std::uint64_t position, std::string_view frame) {
  if (writer_failed_) return Err{failure_error()};
  if (auto sealed = seal_and_commit(); !sealed.ok()) return sealed;
  if (position > committed_frames_) return Err{invalid_index()};
  if (auto appended = append_serialized(frame); !appended.ok()) return Err{std::move(appended).error()};
  if (writer_failed_) return Err{failure_error()};
  if (auto sealed = seal_and_commit(); !sealed.ok()) return sealed;
  name_index_.disable();
  if (spans_.empty()) fault("one appended frame must produce one span");
  FrameSpan inserted = std::move(spans_.back());
  spans_.pop_back();
  committed_frames_ -= 1;
  std::vector<FrameSpan> spans = slice_spans(spans_, 0, position);
  spans.push_back(std::move(inserted));
  for (FrameSpan& span : slice_spans(spans_, position, committed_frames_)) spans.push_back(std::move(span));
  committed_frames_ = normalize_spans(spans);
  spans_ = std::move(spans);
  return Ok{};
}

Result<FrameStore, IoError> FrameStore::drain(std::uint64_t start, std::uint64_t end) {
  if (writer_failed_) return Err{failure_error()};
  // Like an append, a flush may meet the store a save has taken out.
  if (!capture_) return Err{retired_error()};
  if (auto sealed = seal_and_commit(); !sealed.ok()) return Err{std::move(sealed).error()};
  if (start > end || end > committed_frames_) return Err{invalid_range()};

  std::vector<FrameSpan> taken = slice_spans(spans_, start, end);
  std::uint64_t drained_bytes = 0;
  for (const FrameSpan& span : taken) {
    const std::vector<std::uint64_t>& ends = *span.chunk->ends();
    for (std::uint64_t k = span.start; k < static_cast<std::uint64_t>(span.start) + span.count; ++k) {
      auto b = bounds(ends, k);
      if (!b.ok()) return Err{std::move(b).error()};
      const std::uint64_t len = b.value().second - b.value().first;
      if (len > std::numeric_limits<std::uint64_t>::max() - drained_bytes) return Err{width_error()};
      drained_bytes += len;
    }
  }

  std::vector<FrameSpan> kept = slice_spans(spans_, 0, start);
  for (FrameSpan& span : slice_spans(spans_, end, committed_frames_)) kept.push_back(std::move(span));
  committed_frames_ = normalize_spans(kept);
  spans_ = std::move(kept);
  total_bytes_ = total_bytes_ > drained_bytes ? total_bytes_ - drained_bytes : 0;

  FrameStore range;
  if (!name_index_.enabled()) {
    range.name_index_.disable();
  } else {
    std::vector<TraceNameObservation>& mine = *name_index_.observations();
    std::vector<TraceNameObservation> stay;
    std::vector<TraceNameObservation>& moved = *range.name_index_.observations();
    for (TraceNameObservation& o : mine) {
      if (o.position >= start && o.position < end) {
        o.position -= start;
        moved.push_back(std::move(o));
      } else {
        if (o.position >= end) o.position -= end - start;
        stay.push_back(std::move(o));
      }
    }
    mine = std::move(stay);
    name_index_.recount_text_bytes();
    range.name_index_.recount_text_bytes();
  }
  range.committed_frames_ = normalize_spans(taken);
  range.spans_ = std::move(taken);
  range.capture_ = capture_;
  range.total_bytes_ = drained_bytes;
  range.token_ = token_;
  return range;
}

Result<void, IoError> FrameStore::insert_store(std::uint64_t position, FrameStore other) {
  if (writer_failed_) return Err{failure_error()};
  if (auto sealed = seal_and_commit(); !sealed.ok()) return sealed;
  if (other.writer_failed_) return Err{other.failure_error()};
  if (auto sealed = other.seal_and_commit(); !sealed.ok()) return sealed;
  if (!capture_ || !other.capture_ || capture_ != other.capture_ || position > committed_frames_)
    return Err{IoError::make(IoKind::InvalidInput, "incompatible frame range insertion")};

  const std::uint64_t n = other.frame_count();
  if (auto* mine = name_index_.observations()) {
    for (TraceNameObservation& o : *mine) {
      if (o.position >= position) o.position += n;
    }
  }
  if (auto* theirs = other.name_index_.observations()) {
    for (TraceNameObservation& o : *theirs) o.position += position;
  }
  name_index_.merge(std::move(other.name_index_));
  add_total(other.total_bytes_);

  std::vector<FrameSpan> spans = slice_spans(spans_, 0, position);
  for (FrameSpan& span : other.spans_) spans.push_back(std::move(span));
  for (FrameSpan& span : slice_spans(spans_, position, committed_frames_)) spans.push_back(std::move(span));
  committed_frames_ = normalize_spans(spans);
  spans_ = std::move(spans);
  return Ok{};
}

Result<ThreadLayout, IoError> FrameStore::layout() {
  if (writer_failed_) return Err{failure_error()};
  if (auto sealed = seal_and_commit(); !sealed.ok()) return Err{std::move(sealed).error()};
  ThreadLayout out;
  out.token = token_;
  out.spans.reserve(spans_.size());
  for (const FrameSpan& span : spans_) out.spans.push_back(LayoutSpan{span.chunk->seq(), span.start, span.count});
  return out;
}

// ---------------------------------------------------------------------------
// Reading

const FrameSpan* FrameStore::find_span(std::uint64_t index) const noexcept {
  auto it = std::upper_bound(spans_.begin(), spans_.end(), index,
                             [](std::uint64_t i, const FrameSpan& span) { return i < span.first; });
  if (it == spans_.begin()) return nullptr;
  const FrameSpan& span = *std::prev(it);
  if (index >= span.first + span.count) return nullptr;
  return &span;
}

Result<std::pair<std::uint64_t, std::uint64_t>, IoError> FrameStore::committed_bounds(std::uint64_t index,
                                                                                       const FrameSpan*& span) const {
  span = find_span(index);
  if (span == nullptr) return Err{invalid_index()};
  return bounds(*span->chunk->ends(), span->start + (index - span->first));
}

Result<std::uint64_t, IoError> FrameStore::frame_len(std::uint64_t index) const {
  if (writer_failed_) return Err{failure_error()};
  if (index < committed_frames_) {
    const FrameSpan* span = nullptr;
    auto b = committed_bounds(index, span);
    if (!b.ok()) return Err{std::move(b).error()};
    return b.value().second - b.value().first;
  }
  if (!arena_) return Err{invalid_index()};
  auto b = bounds(arena_->ends(), index - committed_frames_);
  if (!b.ok()) return Err{std::move(b).error()};
  return b.value().second - b.value().first;
}

Result<std::string_view, IoError> FrameStore::frame(std::uint64_t index, ByteBuffer& scratch) const {
  if (writer_failed_) return Err{failure_error()};
  if (index >= committed_frames_) {
    if (!arena_) return Err{invalid_index()};
    auto b = bounds(arena_->ends(), index - committed_frames_);
    if (!b.ok()) return Err{std::move(b).error()};
    const auto [a, e] = b.value();
    if (e > arena_->bytes().size()) return Err{IoError::make(IoKind::UnexpectedEof, "short in-memory trace read")};
    return std::string_view(arena_->bytes().data() + a, e - a);
  }
  const FrameSpan* span = nullptr;
  auto b = committed_bounds(index, span);
  if (!b.ok()) return Err{std::move(b).error()};
  const auto [a, e] = b.value();
  return span->chunk->read(a, e - a, scratch);
}

Result<std::vector<std::string>, IoError> FrameStore::copy_range(std::uint64_t start, std::uint64_t end) const {
  if (writer_failed_) return Err{failure_error()};
  if (start > end || end > frame_count()) return Err{invalid_range()};
  std::vector<std::string> out;
  out.reserve(static_cast<std::size_t>(end - start));
  ByteBuffer scratch;
  for (std::uint64_t index = start; index < end; ++index) {
    auto bytes = frame(index, scratch);
    if (!bytes.ok()) return Err{std::move(bytes).error()};
    out.emplace_back(bytes.value());
  }
  return out;
}

}  // namespace vesh::store
