// The "v3" trace container: preamble, header payload, records (each a
// 40-byte header and a body), index and footer, written byte for byte alike
// into memory or, through a buffered positioned writer, into a file.
//
// Layout: "VESHTRC3" preamble (24 bytes) | header payload (msgpack map of
// trace_id, timestamp) | records: "VR3\0" header with kind, token, id, count,
// body length twice, body CRC (0 for chunks), header CRC | footer "VESHEND3"
// with the index record's offset and the file length. All integers are
// little-endian; CRCs are zlib's CRC-32.
#pragma once

#include "store/chunk_handle.h"
#include "store/io_error.h"
#include "support/byte_buffer.h"
#include "support/result.h"

#include <atomic>
#include <cstdint>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace vesh::store {

// Set once the writer circuit has opened (a writer made no progress for too
// long while a producer waited). Never cleared: tracing stays off for the
// rest of the process.
extern std::atomic<std::uint8_t> PROCESS_WRITER_CIRCUIT_OPEN;

inline bool writer_circuit_open() noexcept {
  return PROCESS_WRITER_CIRCUIT_OPEN.load(std::memory_order_acquire) != 0;
}

inline constexpr std::size_t kPreambleLen = 24;
inline constexpr std::size_t kRecordHeaderLen = 40;
inline constexpr std::size_t kFooterLen = 32;
inline constexpr std::uint64_t kMaxFieldU32 = 0xFFFFFFFFull;

enum RecordKind : std::uint8_t {
  kChunkRecord = 1,
  kThreadRecord = 2,
  kMetadataRecord = 3,
  kIndexRecord = 4,
  kValueRecord = 5,
};

// One row of the index's "records" list; every record write returns one.
struct IndexEntry {
  std::uint8_t kind = 0;
  std::uint64_t offset = 0;
  std::uint32_t body_len = 0;
  std::uint32_t token = 0;
  std::uint64_t id = 0;
  std::uint32_t count = 0;

  // File offset just past the record.
  std::uint64_t end() const noexcept { return offset + kRecordHeaderLen + body_len; }
  bool operator==(const IndexEntry&) const = default;
};

struct LayoutSpan {
  std::uint64_t seq = 0;
  std::uint32_t start = 0;
  std::uint32_t count = 0;
  bool operator==(const LayoutSpan&) const = default;
};

// A thread's frames as spans over its chunks, in frame order.
struct ThreadLayout {
  std::uint32_t token = 0;
  std::vector<LayoutSpan> spans;
};

// Where records go: a memory buffer or the buffered file writer.
class RecordSink {
 public:
  virtual Result<void, IoError> put(std::string_view bytes) = 0;

 protected:
  ~RecordSink() = default;
};

class MemorySink final : public RecordSink {
 public:
  explicit MemorySink(ByteBuffer& out) noexcept : out_(out) {}
  Result<void, IoError> put(std::string_view bytes) override {
    out_.append(bytes);
    return Ok{};
  }

 private:
  ByteBuffer& out_;
};

// CRC-32 of zlib over `bytes` (0 for none).
std::uint32_t crc32_of(std::string_view bytes) noexcept;
// Unsigned LEB128: seven bits per byte, low group first.
void append_leb128(ByteBuffer& out, std::uint64_t value);

// The msgpack map {"trace_id": str, "timestamp": float64}.
ByteBuffer encode_header_payload(std::string_view trace_id, double timestamp);
// The 24-byte preamble for `header_payload`, then the payload. Fails with
// the width error (writing nothing) for a payload past 32 bits.
Result<void, IoError> write_preamble(RecordSink& sink, std::string_view header_payload);
// A record of kind 2, 3, 4 or 5 at `offset` (the caller's running offset).
Result<IndexEntry, IoError> write_record(RecordSink& sink, std::uint64_t offset, std::uint8_t kind,
                                         std::uint32_t token, std::uint64_t id, std::uint32_t count,
                                         std::string_view body);
// A kind-1 record of the chunk's frames: LEB128 frame lengths, then the
// payload. Width checks fail before anything is written.
Result<IndexEntry, IoError> write_chunk(RecordSink& sink, std::uint64_t offset, const SealedChunk& chunk);
// The index payload: {"records": [[kind, offset, len, token, id, count]...],
// "threads": {token: [[seq, start, count]...]}}.
ByteBuffer encode_index(const std::vector<IndexEntry>& entries, const std::vector<ThreadLayout>& layouts);
Result<void, IoError> write_footer(RecordSink& sink, std::uint64_t index_offset, std::uint64_t total_len);

// Length of the LEB128 frame lengths that write_chunk puts before a chunk's
// payload (the payload starts this many bytes after the record header).
std::uint64_t chunk_lengths_size(const SealedChunk& chunk) noexcept;

// ---------------------------------------------------------------------------
// Positioned file writing

using PwriteFn = ssize_t (*)(int fd, const void* buf, std::size_t count, off_t offset);

// Writes at an explicit, self-kept offset (never moving a shared file
// position), so that other handles can read the file while it grows.
class PositionedWriter {
 public:
  explicit PositionedWriter(int fd, PwriteFn pwrite_fn = nullptr) noexcept;
  // One positioned write of `data` at the current offset; returns the bytes
  // written (possibly fewer, possibly 0) or the OS error.
  Result<std::size_t, IoError> write(const char* data, std::size_t len);
  std::uint64_t offset() const noexcept { return offset_; }
  int fd() const noexcept { return fd_; }

 private:
  int fd_;
  std::uint64_t offset_ = 0;
  PwriteFn pwrite_;
};

// Gathers small pieces in a buffer (64 KiB by default) and writes pieces at
// least as large as the buffer straight to the file. Owns the descriptor.
class BufferedFileWriter final : public RecordSink {
 public:
  static constexpr std::size_t kDefaultCapacity = 65536;

  BufferedFileWriter(int fd, std::size_t capacity = kDefaultCapacity, PwriteFn pwrite_fn = nullptr);
  BufferedFileWriter(const BufferedFileWriter&) = delete;
  BufferedFileWriter& operator=(const BufferedFileWriter&) = delete;
  // Writes out what is buffered (errors ignored), then closes the file.
  ~BufferedFileWriter();

  Result<void, IoError> put(std::string_view bytes) override;
  // Writes the buffer out; bytes that reached the file leave the buffer even
  // when an error ends the write.
  Result<void, IoError> flush();
  // fsync of data and metadata.
  Result<void, IoError> sync();
  std::size_t buffered() const noexcept { return buffer_.size(); }
  std::uint64_t file_offset() const noexcept { return inner_.offset(); }

 private:
  Result<void, IoError> write_direct(std::string_view bytes);

  PositionedWriter inner_;
  ByteBuffer buffer_;
  std::size_t capacity_;
  bool in_direct_write_ = false;
};

}  // namespace vesh::store
