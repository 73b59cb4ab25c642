// The writer thread, chunk handles and the trace name index.
#include "py/fault.h"
#include "store/trace_writer.h"
#include "store_test_support.h"
#include "store/trace_name_index.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>

#include <thread>

using namespace vesh::store;
using namespace vesh::store::testing;
using namespace std::chrono_literals;
using vesh::ByteBuffer;
using vesh::Result;

namespace {

constexpr std::string_view kTraceId = "trc_01HV0000000000000000000000";

const std::filesystem::path kGolden =
    vesh::testing::source_root() / "tests" / "data" / "v3_small.hex";

struct Started {
  std::shared_ptr<SnapshotFile> snapshot;
  std::unique_ptr<TraceWriter> writer;
};

SharedPath temp_in(const TempDir& dir, const char* name = ".trc.vesh.1.0.tmp") {
  return std::make_shared<const std::filesystem::path>(dir.path() / "raw" / name);
}

Result<std::unique_ptr<TraceWriter>, IoError> start(const TempDir& dir, SharedPath temp,
                                                    std::shared_ptr<WriterRuntime> runtime,
                                                    std::shared_ptr<SnapshotFile> snapshot = nullptr,
                                                    std::shared_ptr<WriterStopSlot> stop = nullptr) {
  if (!snapshot) snapshot = std::make_shared<SnapshotFile>(temp);
  if (!stop) stop = std::make_shared<WriterStopSlot>();
  return TraceWriter::start_at(dir.path() / "raw" / "trc.vesh", temp, snapshot, std::move(runtime), std::move(stop),
                               encode_header_payload(kTraceId, 1700000000.5));
}

ResidentReservation reserve(WriterRuntime& rt, std::uint64_t n) {
  return std::move(rt.reserve(n, GilState::NotHeld).value());
}

std::shared_ptr<ChunkHandle> handle_for(const SealedChunk& chunk, std::shared_ptr<SnapshotFile> snapshot) {
  return std::make_shared<ChunkHandle>(std::move(snapshot), chunk.ends, chunk.seq, chunk.token, chunk.payload);
}

std::shared_ptr<WriterRuntime> fresh_runtime() { return std::make_shared<WriterRuntime>(kStallTimeout, false); }

command::Finish finish_of(std::vector<std::pair<std::uint32_t, std::string>> records, std::string metadata,
                          std::vector<ThreadLayout> layouts) {
  command::Finish f;
  for (auto& [token, body] : records) {
    ByteBuffer b;
    b.append(body);
    f.thread_records.emplace_back(token, std::move(b));
  }
  f.metadata.append(metadata);
  f.layouts = std::move(layouts);
  return f;
}

}  // namespace

TEST(TraceWriter, StreamsTheGoldenContainer) {
  TempDir dir;
  auto rt = fresh_runtime();
  auto temp = temp_in(dir);
  auto started = start(dir, temp, rt);
  ASSERT_TRUE(started.ok()) << started.error().text();
  std::unique_ptr<TraceWriter> writer = std::move(started.value());
  EXPECT_EQ(writer->pid(), getpid());
  ASSERT_TRUE(eventually([&] { return writer->progress()->committed_bytes.load() != 0; }));
  EXPECT_EQ(writer->progress()->committed_bytes.load(), 84u);
  EXPECT_EQ(read_file(*temp).size(), 84u);
  bool named = false;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task"))
    named = named || read_file(task.path() / "comm") == "vesh-v3-writer\n";
  EXPECT_TRUE(named) << "the writer thread carries its name";

  auto chunk1 = chunk_of(1, 0, {"\x01", "", "\x93\x01\x02\x03"});
  auto chunk2 = chunk_of(2, 0, {std::string(130, 'x')});
  auto handle1 = handle_for(chunk1, writer->snapshot());
  auto handle2 = handle_for(chunk2, writer->snapshot());
  ASSERT_TRUE(writer->publish_value_reserved(7, bytes_of("\xa5hello"), reserve(*rt, 6)).ok());
  ASSERT_TRUE(writer->send_chunk(chunk1, handle1, reserve(*rt, 100)).ok());
  ASSERT_TRUE(writer->publish_value_reserved(2, bytes_of(std::string("\xc4\x03" "abc", 5)), reserve(*rt, 5)).ok());
  ASSERT_TRUE(writer->send_chunk(chunk2, handle2, reserve(*rt, 200)).ok());
  ASSERT_TRUE(eventually([&] { return handle2->persisted() != 0; }));
  // A written chunk lives only in the file; readers find it there.
  EXPECT_FALSE(handle1->has_memory());
  EXPECT_EQ(handle1->persisted() - 1, 84u + 46 + 40 + 3);
  ByteBuffer scratch;
  auto frame = handle1->read(1, 4, scratch);
  ASSERT_TRUE(frame.ok());
  EXPECT_EQ(std::string(*frame), "\x93\x01\x02\x03");
  EXPECT_EQ(writer->progress()->committed_bytes.load(), handle2->persisted() - 1 + 130);

  ASSERT_TRUE(writer
                  ->send_finish(finish_of({{1, "\x81\xa1" "a\x01"}, {2, "\x80"}}, "\x81\xa4name\xa3run",
                                          {{1, {{0, 0, 1}, {0, 2, 1}}}, {2, {{0, 0, 1}}}}))
                  .ok());
  writer->close_channel();
  EXPECT_TRUE(writer->wait_for_exit());
  WriterOutcome outcome = writer->join();
  EXPECT_EQ(outcome.status, WriterOutcome::Status::Ok) << outcome.error.text();
  EXPECT_EQ(read_file(*temp), from_hex(read_file(kGolden)));
  EXPECT_EQ(rt->resident(), 0u);
  EXPECT_EQ(rt->progress(), 4u);
  writer.reset();
  EXPECT_TRUE(std::filesystem::exists(*temp)) << "a finished writer's file is the capture's to rename";
}

TEST(TraceWriter, EmptyFinishWritesMetadataIndexAndFooter) {
  TempDir dir;
  auto rt = fresh_runtime();
  auto temp = temp_in(dir);
  auto writer = std::move(start(dir, temp, rt).value());
  ASSERT_TRUE(writer->send_finish(finish_of({}, "", {})).ok());
  writer->close_channel();
  ASSERT_TRUE(writer->wait_for_exit());
  ASSERT_EQ(writer->join().status, WriterOutcome::Status::Ok);
  std::string file = read_file(*temp);
  // Preamble and header, the metadata record, the index, the footer.
  ASSERT_EQ(file.size(), 84u + 40 + 40 + 26 + 32);
  EXPECT_EQ(file.substr(84, 5), std::string("VR3\0\x03", 5));
  EXPECT_EQ(file.substr(124, 5), std::string("VR3\0\x04", 5));
  EXPECT_EQ(file.substr(file.size() - 32, 8), "VESHEND3");
}

TEST(TraceWriter, ExistingTemporaryFileFailsTheStart) {
  TempDir dir;
  auto temp = temp_in(dir);
  std::filesystem::create_directories(temp->parent_path());
  { std::ofstream(*temp) << "someone else's"; }
  auto started = start(dir, temp, fresh_runtime());
  ASSERT_FALSE(started.ok());
  EXPECT_EQ(started.error().kind, IoKind::AlreadyExists);
  EXPECT_EQ(read_file(*temp), "someone else's");
}

TEST(TraceWriter, SecondSnapshotInstallIsAFault) {
  TempDir dir;
  auto temp = temp_in(dir);
  auto snapshot = std::make_shared<SnapshotFile>(temp);
  std::filesystem::create_directories(temp->parent_path());
  { std::ofstream(*temp) << "x"; }
  snapshot->install_from_writer(::open(temp->c_str(), O_RDONLY));
  std::filesystem::remove(*temp);
  EXPECT_THROW((void)start(dir, temp, fresh_runtime(), snapshot), vesh::Fault);
}

TEST(TraceWriter, DroppingARunningWriterWritesQueuedItemsAndRemovesTheFile) {
  TempDir dir;
  auto rt = fresh_runtime();
  auto temp = temp_in(dir);
  auto writer = std::move(start(dir, temp, rt).value());
  std::vector<std::shared_ptr<ChunkHandle>> handles;
  for (std::uint64_t seq = 0; seq < 20; ++seq) {
    auto chunk = chunk_of(1, seq, {std::string(10000, 'a')});
    handles.push_back(handle_for(chunk, writer->snapshot()));
    ASSERT_TRUE(writer->send_chunk(chunk, handles.back(), reserve(*rt, 10000)).ok());
  }
  writer.reset();
  for (const auto& h : handles) EXPECT_NE(h->persisted(), 0u);
  EXPECT_FALSE(std::filesystem::exists(*temp));
  EXPECT_EQ(rt->resident(), 0u);
  EXPECT_EQ(rt->progress(), 20u);
}

TEST(TraceWriter, BadChunkFailsItAndEndsTheThread) {
  TempDir dir;
  auto rt = fresh_runtime();
  auto temp = temp_in(dir);
  auto writer = std::move(start(dir, temp, rt).value());
  auto good = chunk_of(1, 0, {"ok"});
  auto bad = chunk_of(1, 1, {"ab", "c"});
  std::const_pointer_cast<std::vector<std::uint64_t>>(bad.ends)->assign({3, 2});
  auto good_handle = handle_for(good, writer->snapshot());
  auto bad_handle = handle_for(bad, writer->snapshot());
  ASSERT_TRUE(writer->send_chunk(good, good_handle, reserve(*rt, 2)).ok());
  ASSERT_TRUE(writer->send_chunk(bad, bad_handle, reserve(*rt, 3)).ok());
  ASSERT_TRUE(eventually([&] { return writer->progress()->exited.load(); }));
  // The thread is gone: a later chunk cannot be sent and is failed by the
  // sender, with the failure that ended the thread.
  auto late = chunk_of(1, 2, {"late"});
  auto late_handle = handle_for(late, writer->snapshot());
  auto sent = writer->send_chunk(late, late_handle, reserve(*rt, 4));
  ASSERT_FALSE(sent.ok());
  EXPECT_EQ(sent.error().text(), "v3 field exceeds its declared width");
  ASSERT_NE(late_handle->failure(), nullptr);
  EXPECT_EQ(late_handle->failure()->text(), "v3 field exceeds its declared width");

  WriterOutcome outcome = writer->join();
  EXPECT_EQ(outcome.status, WriterOutcome::Status::Failed);
  EXPECT_EQ(outcome.error.text(), "v3 field exceeds its declared width");
  EXPECT_NE(good_handle->persisted(), 0u);
  ASSERT_NE(bad_handle->failure(), nullptr);
  EXPECT_EQ(bad_handle->failure()->text(), "v3 field exceeds its declared width");
  EXPECT_FALSE(bad_handle->has_memory());
  EXPECT_TRUE(std::filesystem::exists(*temp)) << "the thread keeps its file after an error";
  EXPECT_EQ(rt->resident(), 0u);
  EXPECT_EQ(rt->progress(), 1u) << "only the written chunk counts as progress";
}

TEST(TraceWriter, WriteErrorIsKeptWithItsCause) {
  TempDir dir;
  int status = run_in_child([&] {
    ::signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit {4096, 4096};
    if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) return 2;
    auto rt = fresh_runtime();
    auto temp = temp_in(dir);
    auto stop = std::make_shared<WriterStopSlot>();
    auto writer = std::move(start(dir, temp, rt, nullptr, stop).value());
    auto chunk = chunk_of(1, 0, {std::string(100000, 'z')});
    auto handle = handle_for(chunk, writer->snapshot());
    if (!writer->send_chunk(chunk, handle, reserve(*rt, 100000)).ok()) return 3;
    if (!writer->wait_for_exit()) return 4;
    // The failure is kept for the producers, errno and all: a later send
    // and a read of the lost chunk report it.
    const WriterStop* kept = stop->get();
    if (kept == nullptr || kept->kind != WriterStop::Kind::WriteFailed || kept->cause.os_errno != EFBIG) return 5;
    auto late = chunk_of(1, 1, {"late"});
    auto sent = writer->send_chunk(late, handle_for(late, writer->snapshot()), reserve(*rt, 4));
    if (sent.ok() || sent.error().os_errno != EFBIG) return 6;
    ByteBuffer scratch;
    auto read = handle->read(0, 1, scratch);
    if (read.ok() || read.error().os_errno != EFBIG) return 7;
    writer->close_channel();
    WriterOutcome outcome = writer->join();
    if (outcome.status != WriterOutcome::Status::Failed || outcome.error.os_errno != EFBIG) return 8;
    return rt->resident() == 0 ? 0 : 9;
  });
  EXPECT_EQ(status, 0);
}

TEST(TraceWriter, FailQueuedChunksFailsChunksAndDropsTheRest) {
  auto rt = fresh_runtime();
  CommandChannel channel;
  auto snapshot = std::make_shared<SnapshotFile>(std::make_shared<const std::filesystem::path>("/nonexistent"));
  auto a = chunk_of(1, 0, {"a"});
  auto b = chunk_of(1, 1, {"b"});
  auto ha = handle_for(a, snapshot);
  auto hb = handle_for(b, snapshot);
  ha->fail(IoError::make(IoKind::Other, "first failure"));
  ASSERT_FALSE(channel.send(command::Chunk{a, ha, reserve(*rt, 1)}));
  ASSERT_FALSE(channel.send(command::Value{3, bytes_of("v"), reserve(*rt, 1)}));
  ASSERT_FALSE(channel.send(command::Chunk{b, hb, reserve(*rt, 1)}));
  fail_queued_chunks(channel, IoError::make(IoKind::InvalidData, "boom"));
  EXPECT_EQ(ha->failure()->text(), "first failure") << "the first failure is kept";
  EXPECT_EQ(hb->failure()->text(), "boom");
  EXPECT_FALSE(hb->has_memory());
  EXPECT_FALSE(channel.try_recv());
  EXPECT_EQ(rt->resident(), 0u);
  EXPECT_EQ(rt->progress(), 0u);
  // Once the receiving end is gone a send hands the command back.
  channel.close_receiving();
  EXPECT_TRUE(channel.send(command::Finish{}));
}

TEST(TraceWriter, AbandonKeepsTheFileAsRecoveredPrefix) {
  TempDir dir;
  auto rt = fresh_runtime();
  auto temp = temp_in(dir);
  auto writer = std::move(start(dir, temp, rt).value());
  ASSERT_TRUE(eventually([&] { return writer->progress()->committed_bytes.load() != 0; }));
  auto chunk = chunk_of(4, 0, {"frame"});
  ASSERT_TRUE(writer->send_chunk(chunk, handle_for(chunk, writer->snapshot()), reserve(*rt, 5)).ok());
  auto progress = writer->progress();
  auto first = writer->abandon_for_circuit();
  ASSERT_TRUE(first.has_value());
  EXPECT_EQ(*first, *temp);
  EXPECT_EQ(writer->abandon_for_circuit(), first);
  writer.reset();  // abandoned: nothing to wait for or remove
  ASSERT_TRUE(eventually([&] { return progress->exited.load(); }));
  std::string file = read_file(*temp);
  EXPECT_EQ(file.size(), 84u + 40 + 1 + 5) << "the queued chunk was still written";
}

TEST(TraceWriter, DropWhileStalledDoesNotWaitOrRemove) {
  TempDir dir;
  auto rt = std::make_shared<WriterRuntime>(10ms, false);
  auto temp = temp_in(dir);
  auto writer = std::move(start(dir, temp, rt).value());
  ASSERT_TRUE(eventually([&] { return writer->progress()->committed_bytes.load() != 0; }));
  auto full = reserve(*rt, kResidentBudget);
  ASSERT_FALSE(rt->reserve(1, GilState::NotHeld).ok());
  ASSERT_TRUE(rt->stalled());
  writer.reset();
  EXPECT_TRUE(std::filesystem::exists(*temp));
}

TEST(TraceWriter, InheritedWriterIsInertInAForkedChild) {
  TempDir dir;
  auto rt = fresh_runtime();
  auto temp = temp_in(dir);
  auto writer = std::move(start(dir, temp, rt).value());
  auto chunk = chunk_of(1, 0, {"parent"});
  auto handle = handle_for(chunk, writer->snapshot());
  ASSERT_TRUE(writer->send_chunk(chunk, handle, reserve(*rt, 6)).ok());
  int status = run_in_child([&] {
    writer.reset();  // closes nothing, joins nothing, removes nothing
    return std::filesystem::exists(*temp) ? 0 : 2;
  });
  EXPECT_EQ(status, 0);
  ASSERT_TRUE(writer->send_finish(finish_of({}, "", {{1, {{0, 0, 1}}}})).ok());
  writer->close_channel();
  ASSERT_TRUE(writer->wait_for_exit());
  EXPECT_EQ(writer->join().status, WriterOutcome::Status::Ok);
  EXPECT_NE(handle->persisted(), 0u);
}

// ---------------------------------------------------------------------------
// Chunk handles

TEST(ChunkHandle, ReadsFromMemoryFileOrFailure) {
  TempDir dir;
  auto path = std::make_shared<const std::filesystem::path>(dir.path() / "snap");
  { std::ofstream(*path, std::ios::binary) << "0123456789abcdef"; }
  auto snapshot = std::make_shared<SnapshotFile>(path);
  auto chunk = chunk_of(1, 0, {"abc", "def"});
  ChunkHandle handle(snapshot, chunk.ends, 0, 1, chunk.payload);
  ByteBuffer scratch;
  ASSERT_EQ(std::string(handle.read(3, 3, scratch).value()), "def");
  auto short_read = handle.read(4, 3, scratch);
  ASSERT_FALSE(short_read.ok());
  EXPECT_EQ(short_read.error().text(), "short in-memory trace read");

  handle.persist(10);  // frames now at file offset 10
  EXPECT_FALSE(handle.has_memory());
  EXPECT_EQ(handle.persisted(), 11u);
  EXPECT_EQ(snapshot->fd(), -1);
  ASSERT_EQ(std::string(handle.read(2, 4, scratch).value()), "cdef");
  EXPECT_GE(snapshot->fd(), 0) << "the first file reader opens the snapshot";
  auto past_end = handle.read(4, 10, scratch);
  ASSERT_FALSE(past_end.ok());
  EXPECT_EQ(past_end.error().text(), "short trace read");
  EXPECT_EQ(past_end.error().kind, IoKind::UnexpectedEof);

  ChunkHandle lost(snapshot, chunk.ends, 1, 1, chunk.payload);
  lost.fail(IoError::make(IoKind::BrokenPipe, "trace writer failed"));
  lost.fail(IoError::make(IoKind::Other, "second"));
  auto failed = lost.read(0, 1, scratch);
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(failed.error().kind, IoKind::BrokenPipe) << "the first failure, as it was";
  EXPECT_EQ(failed.error().text(), "trace writer failed");

  ChunkHandle no_memory(snapshot, chunk.ends, 2, 1, nullptr);
  EXPECT_EQ(no_memory.read(0, 1, scratch).error().text(), "missing in-memory trace chunk");
}

TEST(ChunkHandle, ForkWhileAnotherThreadReadsIt) {
  // The reader holds the chunk's memory lock for most of every copy of a
  // large chunk, so the forks below find it held by a thread that does not
  // exist in their child; the child must still read the chunk.
  auto snapshot = std::make_shared<SnapshotFile>(std::make_shared<const std::filesystem::path>("/nonexistent"));
  const std::string large(32 << 20, 'x');
  auto chunk = chunk_of(1, 0, {large});
  auto handle = handle_for(chunk, snapshot);
  std::atomic<bool> done{false};
  std::thread reader([&] {
    ByteBuffer scratch;
    while (!done.load()) (void)handle->read(0, large.size(), scratch);
  });
  for (int fork = 0; fork < 5; ++fork) {
    pid_t pid = ::fork();
    if (pid == 0) {
      ::alarm(5);
      ByteBuffer scratch;
      auto read = handle->read(large.size() - 3, 3, scratch);
      ::_exit(read.ok() && *read == "xxx" ? 0 : 1);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "fork " << fork << ": status " << status;
  }
  done = true;
  reader.join();
}

TEST(ChunkHandle, ZeroLengthFileFrameNeedsNoFile) {
  auto snapshot = std::make_shared<SnapshotFile>(std::make_shared<const std::filesystem::path>("/nonexistent/x"));
  auto chunk = chunk_of(1, 0, {""});
  ChunkHandle handle(snapshot, chunk.ends, 0, 1, chunk.payload);
  handle.persist(100);
  ByteBuffer scratch;
  auto read = handle.read(0, 0, scratch);
  ASSERT_TRUE(read.ok());
  EXPECT_TRUE(read->empty());
  auto missing = handle.read(0, 1, scratch);
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().kind, IoKind::NotFound);
}

// ---------------------------------------------------------------------------
// Trace name index

namespace {

TraceNameIndex index_of(int n, std::uint64_t first_position, std::size_t text_len = 1) {
  TraceNameIndex index;
  for (int i = 0; i < n; ++i) {
    TraceNameObservation o{TraceNameObservation::Response{std::string(text_len, '2')},
                           first_position + static_cast<std::uint64_t>(i) * 2};
    index.merge(TraceNameIndex::single(std::move(o)));
  }
  return index;
}

}  // namespace

TEST(TraceNameIndex, MergeLimits) {
  struct Case {
    int a, b;
    std::size_t text_a, text_b;
    bool enabled;
  } cases[] = {
      {60, 4, 1, 1, true},
      {60, 5, 1, 1, false},
      {1, 1, 32768, 32768, true},
      {1, 1, 32768, 32769, false},
  };
  for (const auto& c : cases) {
    TraceNameIndex a = index_of(c.a, 1, c.text_a);
    a.merge(index_of(c.b, 0, c.text_b));
    EXPECT_EQ(a.enabled(), c.enabled) << c.a << "+" << c.b;
    if (c.enabled) {
      EXPECT_EQ(a.text_bytes(), c.a * c.text_a + c.b * c.text_b);
      const auto& obs = *a.observations();
      EXPECT_TRUE(std::is_sorted(obs.begin(), obs.end(),
                                 [](const auto& x, const auto& y) { return x.position < y.position; }));
    } else {
      EXPECT_EQ(a.text_bytes(), 0u);
      EXPECT_EQ(a.observations(), nullptr);
    }
  }
}

TEST(TraceNameIndex, DisabledIsFinal) {
  TraceNameIndex disabled;
  disabled.disable();
  disabled.merge(index_of(1, 0));
  EXPECT_FALSE(disabled.enabled());

  TraceNameIndex enabled = index_of(2, 0);
  TraceNameIndex other;
  other.disable();
  enabled.merge(std::move(other));
  EXPECT_FALSE(enabled.enabled());
  EXPECT_EQ(enabled.text_bytes(), 0u);
}

TEST(TraceNameIndex, TextLengthsOfEachKind) {
  EXPECT_EQ((TraceNameObservation{TraceNameObservation::Test{std::nullopt, "test_x"}, 0}.text_len()), 6u);
  EXPECT_EQ((TraceNameObservation{TraceNameObservation::Test{"Cls", "test_x"}, 0}.text_len()), 9u);
  EXPECT_EQ((TraceNameObservation{TraceNameObservation::Request{"GET", "/a/b"}, 0}.text_len()), 7u);
  EXPECT_EQ((TraceNameObservation{TraceNameObservation::Response{"404"}, 0}.text_len()), 3u);
}
