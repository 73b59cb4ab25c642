// The "v3" container bytes and the buffered positioned file writer.
#include "store_test_support.h"
#include "store/trace_container.h"

#include "py/ref.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

using namespace vesh::store;
using namespace vesh::store::testing;
using vesh::ByteBuffer;
using vesh::Result;

namespace {

const std::filesystem::path kGolden = vesh::testing::source_root() / "tests" / "data" / "v3_small.hex";
constexpr std::string_view kTraceId = "trc_01HV0000000000000000000000";
constexpr double kTimestamp = 1700000000.5;

std::string golden() { return from_hex(read_file(kGolden)); }

std::uint32_t le32(std::string_view bytes, std::size_t at) {
  std::uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(bytes[at + i]);
  return v;
}

}  // namespace

// The same container the Python reader's tests build independently: value 7,
// a chunk of thread 1, value 2, a chunk of thread 2, then the closing records.
TEST(TraceContainer, GoldenBytesInMemory) {
  ByteBuffer out;
  MemorySink sink(out);
  ByteBuffer header = encode_header_payload(kTraceId, kTimestamp);
  ASSERT_EQ(header.size(), 60u);
  ASSERT_TRUE(write_preamble(sink, header.view()).ok());
  std::uint64_t offset = kPreambleLen + header.size();
  ASSERT_EQ(offset, 84u);
  std::vector<IndexEntry> entries;
  auto add = [&](Result<IndexEntry, IoError> r) {
    ASSERT_TRUE(r.ok());
    ASSERT_EQ(r->offset, offset);
    entries.push_back(*r);
    offset = r->end();
  };
  add(write_record(sink, offset, kValueRecord, 0, 7, 1, "\xa5hello"));
  add(write_chunk(sink, offset, chunk_of(1, 0, {"\x01", "", "\x93\x01\x02\x03"})));
  add(write_record(sink, offset, kValueRecord, 0, 2, 1, std::string_view("\xc4\x03" "abc", 5)));
  add(write_chunk(sink, offset, chunk_of(2, 0, {std::string(130, 'x')})));
  add(write_record(sink, offset, kThreadRecord, 1, 0, 1, "\x81\xa1" "a\x01"));
  add(write_record(sink, offset, kThreadRecord, 2, 1, 1, "\x80"));
  add(write_record(sink, offset, kMetadataRecord, 0, 0, 1, "\x81\xa4name\xa3run"));
  std::vector<ThreadLayout> layouts{{1, {{0, 0, 1}, {0, 2, 1}}}, {2, {{0, 0, 1}}}};
  ByteBuffer index = encode_index(entries, layouts);
  const std::uint64_t index_offset = offset;
  auto written = write_record(sink, index_offset, kIndexRecord, 0, 0, entries.size(), index.view());
  ASSERT_TRUE(written.ok());
  ASSERT_TRUE(write_footer(sink, index_offset, written->end() + kFooterLen).ok());
  EXPECT_EQ(std::string(out.view()), golden());
}

TEST(TraceContainer, RecordFieldsAndCrcs) {
  ByteBuffer out;
  MemorySink sink(out);
  auto entry = write_record(sink, 1000, kValueRecord, 0, 7, 1, "");
  ASSERT_TRUE(entry.ok());
  EXPECT_EQ(*entry, (IndexEntry{kValueRecord, 1000, 0, 0, 7, 1}));
  ASSERT_EQ(out.size(), 40u);
  EXPECT_EQ(std::string(out.view().substr(0, 8)), std::string("VR3\0\x05\0\0\0", 8));
  EXPECT_EQ(le32(out.view(), 32), 0u) << "the CRC of an empty body is 0";
  EXPECT_EQ(le32(out.view(), 36), crc32_of(out.view().substr(0, 36)));

  // A chunk carries no body CRC whatever its content.
  out.clear();
  ASSERT_TRUE(write_chunk(sink, 0, chunk_of(3, 9, {"abc"})).ok());
  EXPECT_EQ(le32(out.view(), 32), 0u);
  EXPECT_EQ(le32(out.view(), 8), 3u);
  EXPECT_EQ(static_cast<unsigned char>(out.view()[12]), 9u);
}

TEST(TraceContainer, CrcMatchesZlibModule) {
  vesh::py::Ref zlib = vesh::py::Ref::steal(PyImport_ImportModule("zlib"));
  ASSERT_TRUE(zlib);
  for (std::string data : {std::string(), std::string("VESHTRC3"), std::string(100000, '\xa5'), golden()}) {
    vesh::py::Ref arg = vesh::py::Ref::steal(PyBytes_FromStringAndSize(data.data(), static_cast<Py_ssize_t>(data.size())));
    vesh::py::Ref result = vesh::py::Ref::steal(PyObject_CallMethod(zlib.get(), "crc32", "O", arg.get()));
    ASSERT_TRUE(result);
    EXPECT_EQ(crc32_of(data), PyLong_AsUnsignedLong(result.get())) << data.size();
  }
}

TEST(TraceContainer, Leb128) {
  struct Case {
    std::uint64_t value;
    std::string bytes;
  } cases[] = {{0, std::string(1, '\0')}, {127, "\x7f"}, {128, "\x80\x01"}, {16384, "\x80\x80\x01"},
               {~0ull, std::string(9, '\xff') + "\x01"}};
  for (const auto& c : cases) {
    ByteBuffer out;
    append_leb128(out, c.value);
    EXPECT_EQ(std::string(out.view()), c.bytes) << c.value;
  }
}

TEST(TraceContainer, ChunkLengthsPrecedePayload) {
  ByteBuffer out;
  MemorySink sink(out);
  SealedChunk chunk = chunk_of(1, 0, {"", std::string(128, 'y'), "z"});
  auto entry = write_chunk(sink, 0, chunk);
  ASSERT_TRUE(entry.ok());
  EXPECT_EQ(chunk_lengths_size(chunk), 4u);
  EXPECT_EQ(entry->body_len, 4u + 129u);
  EXPECT_EQ(entry->count, 3u);
  EXPECT_EQ(std::string(out.view().substr(40, 4)), std::string("\x00\x80\x01\x01", 4));
}

TEST(TraceContainer, WidthErrors) {
  ByteBuffer out;
  MemorySink sink(out);
  auto bad = chunk_of(1, 0, {"ab", "c"});
  std::const_pointer_cast<std::vector<std::uint64_t>>(bad.ends)->assign({3, 2});
  auto decreasing = write_chunk(sink, 0, bad);
  ASSERT_FALSE(decreasing.ok());
  EXPECT_EQ(decreasing.error().kind, IoKind::InvalidData);
  EXPECT_EQ(decreasing.error().text(), "v3 field exceeds its declared width");
  auto past_u64 = write_chunk(sink, ~0ull - 40, chunk_of(1, 0, {"a"}));
  ASSERT_FALSE(past_u64.ok());
  EXPECT_EQ(past_u64.error().text(), "v3 field exceeds its declared width");
  EXPECT_EQ(out.size(), 0u) << "a failed check writes nothing";
}

TEST(TraceContainer, IndexUsesSmallestForms) {
  std::vector<IndexEntry> entries{{kChunkRecord, 300, 70000, 5, 1ull << 33, 16}};
  std::vector<ThreadLayout> layouts{{5, {{1ull << 33, 0, 16}}}, {6, {}}};
  ByteBuffer index = encode_index(entries, layouts);
#define BYTES(s) std::string(s, sizeof(s) - 1)
  std::string expected = BYTES("\x82\xa7records\x91\x96\x01\xcd\x01\x2c\xce\x00\x01\x11\x70\x05") +
                         BYTES("\xcf\x00\x00\x00\x02\x00\x00\x00\x00\x10") +
                         BYTES("\xa7threads\x82\x05\x91\x93\xcf\x00\x00\x00\x02\x00\x00\x00\x00\x00\x10\x06\x90");
#undef BYTES
  EXPECT_EQ(std::string(index.view()), expected);
}

// ---------------------------------------------------------------------------
// Buffered positioned writing

namespace {

// A pwrite that writes at most 7 bytes and is interrupted every other call.
ssize_t choppy_pwrite(int fd, const void* buf, std::size_t count, off_t offset) {
  static thread_local int calls = 0;
  if (++calls % 2 == 0) {
    errno = EINTR;
    return -1;
  }
  return ::pwrite(fd, buf, count < 7 ? count : 7, offset);
}

ssize_t zero_pwrite(int, const void*, std::size_t, off_t) { return 0; }

// Writes 3 bytes, then fails with ENOSPC.
ssize_t filling_pwrite(int fd, const void* buf, std::size_t count, off_t offset) {
  static thread_local int calls = 0;
  if (calls++ % 2 == 0) return ::pwrite(fd, buf, count < 3 ? count : 3, offset);
  errno = ENOSPC;
  return -1;
}

int open_new(const std::filesystem::path& path) { return ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644); }

}  // namespace

TEST(BufferedFileWriter, BufferedAndDirectWritesGiveIdenticalFiles) {
  TempDir dir;
  std::vector<std::string> pieces;
  std::string expected;
  for (std::size_t i = 0; i < 200; ++i) {
    std::size_t len = (i * 7919) % (i % 5 == 0 ? 70000 : 300);
    std::string piece(len, static_cast<char>('a' + i % 26));
    expected += piece;
    pieces.push_back(std::move(piece));
  }
  struct Variant {
    const char* name;
    std::size_t capacity;
    PwriteFn fn;
  } variants[] = {{"default", BufferedFileWriter::kDefaultCapacity, nullptr},
                  {"tiny buffer", 16, nullptr},
                  {"direct only", 1, nullptr},
                  {"short and interrupted writes", 4096, &choppy_pwrite}};
  for (const auto& v : variants) {
    auto path = dir.path() / v.name;
    {
      BufferedFileWriter out(open_new(path), v.capacity, v.fn);
      for (const auto& piece : pieces) ASSERT_TRUE(out.put(piece).ok()) << v.name;
      ASSERT_TRUE(out.flush().ok());
      EXPECT_EQ(out.file_offset(), expected.size());
    }
    EXPECT_EQ(read_file(path), expected) << v.name;
  }
}

TEST(BufferedFileWriter, DropWritesOutTheBuffer) {
  TempDir dir;
  auto path = dir.path() / "f";
  {
    BufferedFileWriter out(open_new(path));
    ASSERT_TRUE(out.put("pending").ok());
    EXPECT_EQ(read_file(path), "");
  }
  EXPECT_EQ(read_file(path), "pending");
}

TEST(BufferedFileWriter, WriteZeroErrors) {
  TempDir dir;
  BufferedFileWriter out(open_new(dir.path() / "f"), 16, &zero_pwrite);
  ASSERT_TRUE(out.put("small").ok());
  auto flushed = out.flush();
  ASSERT_FALSE(flushed.ok());
  EXPECT_EQ(flushed.error().kind, IoKind::WriteZero);
  EXPECT_EQ(flushed.error().text(), "failed to write the buffered data");

  BufferedFileWriter direct(open_new(dir.path() / "g"), 16, &zero_pwrite);
  auto big = direct.put(std::string(32, 'x'));
  ASSERT_FALSE(big.ok());
  EXPECT_EQ(big.error().text(), "failed to write whole buffer");
}

TEST(BufferedFileWriter, FailedWriteOutKeepsOnlyUnwrittenBytes) {
  TempDir dir;
  auto path = dir.path() / "f";
  BufferedFileWriter out(open_new(path), 64, &filling_pwrite);
  ASSERT_TRUE(out.put("0123456789").ok());
  auto flushed = out.flush();
  ASSERT_FALSE(flushed.ok());
  EXPECT_EQ(flushed.error().os_errno, ENOSPC);
  EXPECT_EQ(out.buffered(), 7u);
  ASSERT_TRUE(out.flush().ok() || out.buffered() == 4u);
  EXPECT_EQ(read_file(path).substr(0, 6), "012345");
}
