#include "store/trace_container.h"

#include <zlib.h>

#include <cerrno>
#include <cstring>
#include <limits>
#include <unistd.h>

namespace vesh::store {

std::atomic<std::uint8_t> PROCESS_WRITER_CIRCUIT_OPEN{0};

namespace {

constexpr char kPreambleMagic[8] = {'V', 'E', 'S', 'H', 'T', 'R', 'C', '3'};
constexpr char kRecordMagic[4] = {'V', 'R', '3', '\0'};
constexpr char kFooterMagic[8] = {'V', 'E', 'S', 'H', 'E', 'N', 'D', '3'};
constexpr std::uint64_t kMaxU64 = std::numeric_limits<std::uint64_t>::max();

void put_le(char* at, std::uint64_t value, int width) noexcept {
  for (int i = 0; i < width; ++i) at[i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

void put_be(ByteBuffer& out, std::uint64_t value, int width) {
  for (int i = width - 1; i >= 0; --i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

// msgpack unsigned integer in its smallest form.
void pack_uint(ByteBuffer& out, std::uint64_t v) {
  if (v < 128) {
    out.push_back(static_cast<char>(v));
  } else if (v < 256) {
    out.push_back(static_cast<char>(0xcc));
    put_be(out, v, 1);
  } else if (v < 65536) {
    out.push_back(static_cast<char>(0xcd));
    put_be(out, v, 2);
  } else if (v <= 0xFFFFFFFFull) {
    out.push_back(static_cast<char>(0xce));
    put_be(out, v, 4);
  } else {
    out.push_back(static_cast<char>(0xcf));
    put_be(out, v, 8);
  }
}

void pack_container_header(ByteBuffer& out, std::uint64_t n, std::uint8_t fix, std::uint8_t b16, std::uint8_t b32) {
  if (n < 16) {
    out.push_back(static_cast<char>(fix | n));
  } else if (n < 65536) {
    out.push_back(static_cast<char>(b16));
    put_be(out, n, 2);
  } else {
    out.push_back(static_cast<char>(b32));
    put_be(out, n, 4);
  }
}

void pack_str(ByteBuffer& out, std::string_view s) {
  const std::uint64_t n = s.size();
  if (n < 32) {
    out.push_back(static_cast<char>(0xa0 | n));
  } else if (n < 256) {
    out.push_back(static_cast<char>(0xd9));
    put_be(out, n, 1);
  } else if (n < 65536) {
    out.push_back(static_cast<char>(0xda));
    put_be(out, n, 2);
  } else {
    out.push_back(static_cast<char>(0xdb));
    put_be(out, n, 4);
  }
  out.append(s);
}

// The 40-byte record header, CRC included.
void build_record_header(char (&header)[kRecordHeaderLen], std::uint8_t kind, std::uint32_t token, std::uint64_t id,
                         std::uint32_t count, std::uint32_t body_len, std::uint32_t body_crc) noexcept {
  std::memset(header, 0, sizeof header);
  std::memcpy(header, kRecordMagic, 4);
  header[4] = static_cast<char>(kind);
  put_le(header + 8, token, 4);
  put_le(header + 12, id, 8);
  put_le(header + 20, count, 4);
  put_le(header + 24, body_len, 4);
  put_le(header + 28, body_len, 4);
  put_le(header + 32, body_crc, 4);
  put_le(header + 36, crc32_of({header, 36}), 4);
}

}  // namespace

std::uint32_t crc32_of(std::string_view bytes) noexcept {
  uLong crc = ::crc32(0L, Z_NULL, 0);
  const auto* p = reinterpret_cast<const Bytef*>(bytes.data());
  std::size_t left = bytes.size();
  // zlib takes uInt lengths: feed huge inputs in pieces.
  while (left > 0) {
    uInt piece = left > 0x40000000u ? 0x40000000u : static_cast<uInt>(left);
    crc = ::crc32(crc, p, piece);
    p += piece;
    left -= piece;
  }
  return static_cast<std::uint32_t>(crc);
}

void append_leb128(ByteBuffer& out, std::uint64_t value) {
  do {
    std::uint8_t byte = value & 0x7F;
    value >>= 7;
    if (value != 0) byte |= 0x80;
    out.push_back(static_cast<char>(byte));
  } while (value != 0);
}

ByteBuffer encode_header_payload(std::string_view trace_id, double timestamp) {
  ByteBuffer out(trace_id.size() + 32);
  out.push_back(static_cast<char>(0x82));
  pack_str(out, "trace_id");
  pack_str(out, trace_id);
  pack_str(out, "timestamp");
  out.push_back(static_cast<char>(0xcb));
  std::uint64_t bits;
  static_assert(sizeof bits == sizeof timestamp);
  std::memcpy(&bits, &timestamp, sizeof bits);
  put_be(out, bits, 8);
  return out;
}

Result<void, IoError> write_preamble(RecordSink& sink, std::string_view header_payload) {
  if (header_payload.size() > kMaxFieldU32) return Err{width_error()};
  char preamble[kPreambleLen] = {};
  std::memcpy(preamble, kPreambleMagic, 8);
  put_le(preamble + 8, 3, 2);
  preamble[10] = 2;
  preamble[11] = 0;
  put_le(preamble + 12, 0, 4);
  put_le(preamble + 16, header_payload.size(), 4);
  put_le(preamble + 20, crc32_of(header_payload), 4);
  if (auto r = sink.put({preamble, kPreambleLen}); !r.ok()) return r;
  return sink.put(header_payload);
}

Result<IndexEntry, IoError> write_record(RecordSink& sink, std::uint64_t offset, std::uint8_t kind,
                                         std::uint32_t token, std::uint64_t id, std::uint32_t count,
                                         std::string_view body) {
  if (body.size() > kMaxFieldU32) return Err{width_error()};
  const auto body_len = static_cast<std::uint32_t>(body.size());
  char header[kRecordHeaderLen];
  build_record_header(header, kind, token, id, count, body_len, crc32_of(body));
  if (auto r = sink.put({header, kRecordHeaderLen}); !r.ok()) return Err{std::move(r).error()};
  if (auto r = sink.put(body); !r.ok()) return Err{std::move(r).error()};
  return IndexEntry{kind, offset, body_len, token, id, count};
}

std::uint64_t chunk_lengths_size(const SealedChunk& chunk) noexcept {
  std::uint64_t size = 0, previous = 0;
  for (std::uint64_t end : *chunk.ends) {
    std::uint64_t len = end >= previous ? end - previous : 0;
    do {
      ++size;
      len >>= 7;
    } while (len != 0);
    previous = end;
  }
  return size;
}

Result<IndexEntry, IoError> write_chunk(RecordSink& sink, std::uint64_t offset, const SealedChunk& chunk) {
  const std::vector<std::uint64_t>& ends = *chunk.ends;
  ByteBuffer lengths(ends.size() * 2 + 1);
  std::uint64_t previous = 0;
  for (std::uint64_t end : ends) {
    if (end < previous) return Err{width_error()};
    append_leb128(lengths, end - previous);
    previous = end;
  }
  const std::string_view payload = chunk.payload ? chunk.payload->view() : std::string_view{};
  const std::uint64_t body_len = static_cast<std::uint64_t>(lengths.size()) + payload.size();
  if (body_len > kMaxFieldU32 || ends.size() > kMaxFieldU32) return Err{width_error()};
  if (offset > kMaxU64 - kRecordHeaderLen || offset + kRecordHeaderLen > kMaxU64 - lengths.size())
    return Err{width_error()};
  char header[kRecordHeaderLen];
  build_record_header(header, kChunkRecord, chunk.token, chunk.seq, static_cast<std::uint32_t>(ends.size()),
                      static_cast<std::uint32_t>(body_len), 0);
  if (auto r = sink.put({header, kRecordHeaderLen}); !r.ok()) return Err{std::move(r).error()};
  if (auto r = sink.put(lengths.view()); !r.ok()) return Err{std::move(r).error()};
  if (auto r = sink.put(payload); !r.ok()) return Err{std::move(r).error()};
  return IndexEntry{kChunkRecord, offset, static_cast<std::uint32_t>(body_len), chunk.token, chunk.seq,
                    static_cast<std::uint32_t>(ends.size())};
}

ByteBuffer encode_index(const std::vector<IndexEntry>& entries, const std::vector<ThreadLayout>& layouts) {
  ByteBuffer out(16 + entries.size() * 24 + layouts.size() * 16);
  out.push_back(static_cast<char>(0x82));
  pack_str(out, "records");
  pack_container_header(out, entries.size(), 0x90, 0xdc, 0xdd);
  for (const IndexEntry& e : entries) {
    out.push_back(static_cast<char>(0x96));
    pack_uint(out, e.kind);
    pack_uint(out, e.offset);
    pack_uint(out, e.body_len);
    pack_uint(out, e.token);
    pack_uint(out, e.id);
    pack_uint(out, e.count);
  }
  pack_str(out, "threads");
  pack_container_header(out, layouts.size(), 0x80, 0xde, 0xdf);
  for (const ThreadLayout& layout : layouts) {
    pack_uint(out, layout.token);
    pack_container_header(out, layout.spans.size(), 0x90, 0xdc, 0xdd);
    for (const LayoutSpan& span : layout.spans) {
      out.push_back(static_cast<char>(0x93));
      pack_uint(out, span.seq);
      pack_uint(out, span.start);
      pack_uint(out, span.count);
    }
  }
  return out;
}

Result<void, IoError> write_footer(RecordSink& sink, std::uint64_t index_offset, std::uint64_t total_len) {
  char footer[kFooterLen] = {};
  std::memcpy(footer, kFooterMagic, 8);
  put_le(footer + 8, index_offset, 8);
  put_le(footer + 16, total_len, 8);
  put_le(footer + 24, crc32_of({footer, 24}), 4);
  return sink.put({footer, kFooterLen});
}

// ---------------------------------------------------------------------------
// PositionedWriter

PositionedWriter::PositionedWriter(int fd, PwriteFn pwrite_fn) noexcept
    : fd_(fd), pwrite_(pwrite_fn != nullptr ? pwrite_fn : &::pwrite) {}

Result<std::size_t, IoError> PositionedWriter::write(const char* data, std::size_t len) {
  ssize_t n = pwrite_(fd_, data, len, static_cast<off_t>(offset_));
  if (n < 0) return Err{IoError::last_os_error()};
  const auto written = static_cast<std::uint64_t>(n);
  if (offset_ > kMaxU64 - written) return Err{width_error()};
  offset_ += written;
  return static_cast<std::size_t>(n);
}

// ---------------------------------------------------------------------------
// BufferedFileWriter

BufferedFileWriter::BufferedFileWriter(int fd, std::size_t capacity, PwriteFn pwrite_fn)
    : inner_(fd, pwrite_fn), buffer_(capacity), capacity_(capacity) {}

BufferedFileWriter::~BufferedFileWriter() {
  if (!in_direct_write_) (void)flush();
  if (inner_.fd() >= 0) ::close(inner_.fd());
}

Result<void, IoError> BufferedFileWriter::put(std::string_view bytes) {
  if (bytes.size() > capacity_ - buffer_.size()) {
    if (auto r = flush(); !r.ok()) return r;
  }
  if (bytes.size() >= capacity_) return write_direct(bytes);
  buffer_.append(bytes);
  return Ok{};
}

Result<void, IoError> BufferedFileWriter::flush() {
  std::size_t written = 0;
  Result<void, IoError> outcome = Ok{};
  while (written < buffer_.size()) {
    auto n = inner_.write(buffer_.data() + written, buffer_.size() - written);
    if (!n.ok()) {
      if (n.error().os_errno == EINTR) continue;
      outcome = Err{std::move(n).error()};
      break;
    }
    if (*n == 0) {
      outcome = Err{IoError::make(IoKind::WriteZero, "failed to write the buffered data")};
      break;
    }
    written += *n;
  }
  // Whatever reached the file leaves the buffer, also on error.
  const std::size_t left = buffer_.size() - written;
  if (written > 0) {
    std::memmove(buffer_.data(), buffer_.data() + written, left);
    buffer_.truncate(left);
  }
  return outcome;
}

Result<void, IoError> BufferedFileWriter::write_direct(std::string_view bytes) {
  in_direct_write_ = true;
  while (!bytes.empty()) {
    auto n = inner_.write(bytes.data(), bytes.size());
    if (!n.ok()) {
      if (n.error().os_errno == EINTR) continue;
      in_direct_write_ = false;
      return Err{std::move(n).error()};
    }
    if (*n == 0) {
      in_direct_write_ = false;
      return Err{IoError::make(IoKind::WriteZero, "failed to write whole buffer")};
    }
    bytes.remove_prefix(*n);
  }
  in_direct_write_ = false;
  return Ok{};
}

Result<void, IoError> BufferedFileWriter::sync() {
  if (::fsync(inner_.fd()) != 0) return Err{IoError::last_os_error()};
  return Ok{};
}

}  // namespace vesh::store
