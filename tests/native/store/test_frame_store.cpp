// Frame stores: sealing, reading from every place, draining and putting
// back, splicing, failures, and concurrent recording while the writer runs.
#include "capture_test_support.h"
#include "py/fault.h"
#include "store/trace_capture.h"
#include "store/frame_store.h"
#include "store/trace_persistence.h"

#include <gtest/gtest.h>

#include <mutex>
#include <optional>
#include <random>
#include <thread>

namespace store = vesh::store;
using store::FrameStore;
using store::IoKind;
using store::TraceCapture;
using store::testing::TempDir;

namespace {

std::shared_ptr<TraceCapture> capture_in(const TempDir& dir, const std::string& trace_id = "trc_T",
                                         bool in_memory = true) {
  auto made = TraceCapture::for_trace((dir.path() / "trace.db").string(), trace_id, 1.5);
  EXPECT_TRUE(made.ok());
  auto capture = std::move(made).value();
  if (in_memory) capture->keep_in_memory();
  return capture;
}

std::vector<std::string> all_frames(const FrameStore& s) {
  std::vector<std::string> out;
  vesh::ByteBuffer scratch;
  for (std::uint64_t i = 0; i < s.frame_count(); ++i) {
    auto f = s.frame(i, scratch);
    EXPECT_TRUE(f.ok()) << "frame " << i << ": " << (f.ok() ? "" : f.error().text());
    out.emplace_back(f.ok() ? f.value() : "<error>");
  }
  return out;
}

void append_all(FrameStore& s, const std::vector<std::string>& frames) {
  for (const auto& f : frames) ASSERT_TRUE(s.append_serialized(f).ok());
}

std::vector<std::string> frames_named(const std::string& prefix, int n, std::size_t size = 10) {
  std::vector<std::string> out;
  for (int i = 0; i < n; ++i) out.push_back(store::testing::numbered_frame(0, i, size) + prefix);
  return out;
}

store::TraceNameObservation test_at(std::uint64_t position, std::string name) {
  return store::TraceNameObservation{store::TraceNameObservation::Test{std::nullopt, std::move(name)}, position};
}

std::vector<std::uint64_t> positions(const FrameStore& s) {
  std::vector<std::uint64_t> out;
  for (const auto& o : *s.name_index().observations()) out.push_back(o.position);
  return out;
}

}  // namespace

TEST(FrameStore, SealingThresholds) {
  TempDir dir;
  auto capture = capture_in(dir);
  struct Case {
    std::vector<std::size_t> sizes;
    std::vector<std::uint32_t> chunk_counts;  // frames per committed chunk
    std::size_t arena_frames;
  };
  for (const Case& c : {Case{{}, {}, 0}, Case{{60, 39}, {}, 2}, Case{{60, 40}, {2}, 0}, Case{{250}, {1}, 0},
                        Case{{10, 250, 5}, {2}, 1}, Case{{0, 0, 0}, {}, 3}}) {
    FrameStore s = FrameStore::open(capture, 7, 100);
    std::vector<std::string> frames;
    for (std::size_t size : c.sizes) frames.push_back(std::string(size, 'x'));
    append_all(s, frames);
    auto layout = s.layout();
    ASSERT_TRUE(layout.ok());
    // layout() seals the rest: the arena frames become one more chunk.
    std::vector<std::uint32_t> expected = c.chunk_counts;
    if (c.arena_frames > 0) expected.push_back(static_cast<std::uint32_t>(c.arena_frames));
    std::vector<std::uint32_t> counts;
    for (std::size_t i = 0; i < layout.value().spans.size(); ++i) {
      EXPECT_EQ(layout.value().spans[i].seq, i);
      EXPECT_EQ(layout.value().spans[i].start, 0u);
      counts.push_back(layout.value().spans[i].count);
    }
    EXPECT_EQ(layout.value().token, 7u);
    EXPECT_EQ(counts, expected);
    EXPECT_EQ(all_frames(s), frames);
    std::uint64_t total = 0;
    for (std::size_t size : c.sizes) total += size;
    EXPECT_EQ(s.total_bytes(), total);
  }
}

TEST(FrameStore, ReadsFromArenaMemoryAndFile) {
  TempDir dir;
  auto capture = capture_in(dir, "trc_R", /*in_memory=*/false);
  FrameStore s = FrameStore::open(capture, 1, 64);
  std::vector<std::string> frames{"", std::string(70, 'a'), "b", "", std::string(40, 'c')};
  append_all(s, frames);
  // Frames 0-1 were sealed into chunk 0 and sent to the writer; 2-4 are in
  // the arena.
  ASSERT_EQ(s.committed_frames(), 2u);
  const auto& handle = s.spans()[0].chunk;
  ASSERT_TRUE(store::testing::eventually([&] { return handle->persisted() != 0; }));
  EXPECT_FALSE(handle->has_memory());
  EXPECT_EQ(all_frames(s), frames);
  for (std::uint64_t i = 0; i < frames.size(); ++i) {
    auto len = s.frame_len(i);
    ASSERT_TRUE(len.ok());
    EXPECT_EQ(len.value(), frames[i].size());
  }
  vesh::ByteBuffer scratch;
  for (std::uint64_t bad : {std::uint64_t{5}, std::uint64_t{1000}}) {
    auto f = s.frame(bad, scratch);
    ASSERT_FALSE(f.ok());
    EXPECT_EQ(f.error().text(), "invalid frame index");
    EXPECT_EQ(s.frame_len(bad).error().kind, IoKind::InvalidInput);
  }
}

TEST(FrameStore, ChunkStillInMemoryIsReadFromMemory) {
  TempDir dir;
  auto capture = capture_in(dir);
  FrameStore s = FrameStore::open(capture, 1, 16);
  std::vector<std::string> frames{std::string(20, 'a'), std::string(3, 'b'), "", std::string(30, 'c')};
  append_all(s, frames);
  ASSERT_EQ(s.spans().size(), 2u);
  EXPECT_TRUE(s.spans()[0].chunk->has_memory());
  EXPECT_EQ(all_frames(s), frames);
}

TEST(FrameStore, CopyRangeReadsFromEveryPlaceAndRefusesWhatIsNotThere) {
  TempDir dir;
  auto capture = capture_in(dir, "trc_C", /*in_memory=*/false);
  FrameStore s = FrameStore::open(capture, 1, 64);
  std::vector<std::string> frames{std::string(70, 'a'), "b", std::string(70, 'c'), "d", "e"};
  append_all(s, frames);
  // Chunk 0 (frame 0) is in the file, chunk 1 (frames 1-2) in memory or the
  // file, frames 3-4 in the arena.
  ASSERT_EQ(s.committed_frames(), 3u);
  ASSERT_TRUE(store::testing::eventually([&] { return s.spans()[0].chunk->persisted() != 0; }));
  struct Case {
    std::uint64_t start, end;
    std::optional<std::vector<std::string>> copied;  // nullopt: "invalid frame range"
  };
  using V = std::vector<std::string>;
  for (const Case& c : {Case{0, 5, frames}, Case{1, 4, V(frames.begin() + 1, frames.begin() + 4)}, Case{5, 5, V{}},
                        Case{3, 2, std::nullopt}, Case{0, 6, std::nullopt}}) {
    auto copy = s.copy_range(c.start, c.end);
    if (c.copied) {
      ASSERT_TRUE(copy.ok()) << copy.error().text();
      EXPECT_EQ(copy.value(), *c.copied);
    } else {
      ASSERT_FALSE(copy.ok());
      EXPECT_EQ(copy.error().text(), "invalid frame range");
      EXPECT_EQ(copy.error().kind, IoKind::InvalidInput);
    }
  }
  // A chunk the writer could not write is lost to readers.
  s.spans()[1].chunk->fail(store::IoError::make(IoKind::Other, "disk gone"));
  auto lost = s.copy_range(0, 5);
  ASSERT_FALSE(lost.ok());
  EXPECT_NE(lost.error().text().find("disk gone"), std::string::npos) << lost.error().text();
}

TEST(FrameStore, DrainThenInsertRestoresTheSameFrames) {
  TempDir dir;
  auto capture = capture_in(dir);
  FrameStore s = FrameStore::open(capture, 3, 64);
  std::vector<std::string> frames = frames_named("x", 30, 12);
  append_all(s, frames);
  for (std::uint64_t p : {0u, 4u, 11u, 29u}) s.name_index().merge(store::TraceNameIndex::single(test_at(p, "n")));
  const std::vector<std::uint64_t> before = positions(s);

  struct Range {
    std::uint64_t start, end;
  };
  for (Range r : {Range{3, 17}, Range{0, 30}, Range{5, 5}, Range{29, 30}, Range{0, 1}}) {
    const std::size_t spans_before = s.spans().size();
    const std::uint64_t bytes_before = s.total_bytes();
    auto drained = s.drain(r.start, r.end);
    ASSERT_TRUE(drained.ok()) << r.start;
    FrameStore range = std::move(drained).value();
    EXPECT_TRUE(range.detached());
    EXPECT_EQ(range.frame_count(), r.end - r.start);
    EXPECT_EQ(s.frame_count(), 30 - (r.end - r.start));
    EXPECT_EQ(all_frames(range), std::vector<std::string>(frames.begin() + r.start, frames.begin() + r.end));
    EXPECT_EQ(range.total_bytes() + s.total_bytes(), bytes_before);
    ASSERT_TRUE(s.insert_store(r.start, std::move(range)).ok());
    EXPECT_EQ(all_frames(s), frames);
    EXPECT_EQ(s.total_bytes(), bytes_before);
    // The pieces of each chunk merge back.
    EXPECT_EQ(s.spans().size(), spans_before);
    ASSERT_TRUE(s.name_index().enabled());
    EXPECT_EQ(positions(s), before);
  }
}

TEST(FrameStore, DrainMovesObservationsWithTheRange) {
  TempDir dir;
  auto capture = capture_in(dir);
  FrameStore s = FrameStore::open(capture, 3);
  append_all(s, frames_named("x", 10));
  for (std::uint64_t p : {1u, 4u, 8u}) s.name_index().merge(store::TraceNameIndex::single(test_at(p, "abc")));
  auto range = s.drain(3, 6);
  ASSERT_TRUE(range.ok());
  EXPECT_EQ(positions(s), (std::vector<std::uint64_t>{1, 5}));
  EXPECT_EQ(positions(range.value()), (std::vector<std::uint64_t>{1}));
  EXPECT_EQ(s.name_index().text_bytes(), 6u);
  EXPECT_EQ(range.value().name_index().text_bytes(), 3u);
}

TEST(FrameStore, DrainAndInsertRefusals) {
  TempDir dir;
  auto capture = capture_in(dir);
  FrameStore s = FrameStore::open(capture, 1);
  append_all(s, frames_named("x", 5));
  for (auto [start, end] : {std::pair<std::uint64_t, std::uint64_t>{3, 2}, {0, 6}}) {
    auto r = s.drain(start, end);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().text(), "invalid frame range");
  }
  EXPECT_EQ(s.frame_count(), 5u);

  // A range of another capture, or a position past the end, is refused, and
  // the range is gone either way.
  FrameStore other = FrameStore::open(capture_in(dir, "trc_O"), 1);
  append_all(other, frames_named("y", 3));
  auto foreign = other.drain(0, 3);
  ASSERT_TRUE(foreign.ok());
  auto refused = s.insert_store(1, std::move(foreign).value());
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().text(), "incompatible frame range insertion");
  auto mine = s.drain(0, 1);
  ASSERT_TRUE(mine.ok());
  EXPECT_FALSE(s.insert_store(10, std::move(mine).value()).ok());
  EXPECT_EQ(s.frame_count(), 4u);
}

TEST(FrameStore, InsertFrame) {
  TempDir dir;
  auto capture = capture_in(dir);
  struct Case {
    std::uint64_t position;
  };
  for (std::uint64_t position : {0u, 3u, 6u}) {
    FrameStore s = FrameStore::open(capture, 1, 32);
    std::vector<std::string> frames = frames_named("x", 6, 12);
    append_all(s, frames);
    s.name_index().merge(store::TraceNameIndex::single(test_at(2, "n")));
    ASSERT_TRUE(s.insert_frame(position, "marker").ok());
    frames.insert(frames.begin() + position, "marker");
    EXPECT_EQ(all_frames(s), frames);
    EXPECT_FALSE(s.name_index().enabled());
    // Later appends go on after the inserted frame.
    ASSERT_TRUE(s.append_serialized("tail").ok());
    EXPECT_EQ(all_frames(s).back(), "tail");
  }
  FrameStore s = FrameStore::open(capture, 1);
  append_all(s, frames_named("x", 2));
  auto r = s.insert_frame(3, "m");
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().text(), "invalid frame index");
}

TEST(FrameStore, FailedCommitLosesOneChunkAndFailsTheStore) {
  TempDir dir;
  auto capture = capture_in(dir, "trc_F", /*in_memory=*/false);
  FrameStore s = FrameStore::open(capture, 1, 50);
  std::vector<std::string> first = frames_named("a", 5, 10);  // one chunk of 5
  append_all(s, first);
  ASSERT_EQ(s.committed_frames(), 5u);
  auto layout = s.layout();
  ASSERT_TRUE(layout.ok());
  ASSERT_TRUE(capture->finish({}, vesh::ByteBuffer(), {std::move(layout).value()}).ok());

  // The next chunk is refused by the finished capture: its 5 frames are lost.
  std::vector<std::string> second = frames_named("b", 5, 10);
  for (int i = 0; i < 4; ++i) ASSERT_TRUE(s.append_serialized(second[i]).ok());
  auto sealing = s.append_serialized(second[4]);
  ASSERT_FALSE(sealing.ok());
  EXPECT_EQ(sealing.error().kind, IoKind::BrokenPipe);
  EXPECT_EQ(sealing.error().text(), "trace writer closed");
  EXPECT_TRUE(s.writer_failed());
  EXPECT_EQ(s.frame_count(), 5u);
  vesh::ByteBuffer scratch;
  for (auto error : {s.append_serialized("c").error(), s.frame(0, scratch).error(), s.frame_len(0).error(),
                     s.layout().error(), s.drain(0, 1).error(), s.insert_frame(0, "x").error(),
                     s.copy_range(0, 1).error()}) {
    EXPECT_EQ(error.text(), "frame store writer failed");
    EXPECT_EQ(error.kind, IoKind::BrokenPipe);
  }
  // The finished file holds the first chunk.
  auto back = store::testing::read_back_file(capture->final_path());
  ASSERT_TRUE(back.ok);
  EXPECT_EQ(back.threads[1], first);
}

TEST(FrameStore, RetiredStoresAreStale) {
  TempDir dir;
  auto capture = capture_in(dir);
  FrameStore s = FrameStore::open(capture, 1);
  append_all(s, {"a", "b"});
  FrameStore taken = s.take();
  EXPECT_EQ(taken.frame_count(), 2u);
  EXPECT_FALSE(taken.retired());
  EXPECT_TRUE(s.retired());
  EXPECT_EQ(s.frame_count(), 0u);
  EXPECT_TRUE(s.name_index().enabled());
  for (auto error : {s.append_serialized("c").error(), s.drain(0, 0).error(),
                     s.append_many(std::vector<std::string>{"x"}).error()}) {
    EXPECT_EQ(error.text(), "frame store retired");
    EXPECT_EQ(error.kind, IoKind::BrokenPipe);
  }
  auto encoded = s.append_encoded([](vesh::ByteBuffer& out) -> vesh::Result<void, vesh::py::PyError> {
    out.append("never");
    return vesh::Ok{};
  });
  ASSERT_FALSE(encoded.ok());
  EXPECT_TRUE(encoded.error().matches(PyExc_BrokenPipeError));
  EXPECT_EQ(encoded.error().message(), "frame store retired");
  EXPECT_FALSE(s.writer_failed());

  // A moved-from store is retired too.
  FrameStore moved_to = std::move(taken);
  EXPECT_TRUE(taken.retired());
  EXPECT_EQ(taken.frame_count(), 0u);
  EXPECT_EQ(taken.append_serialized("x").error().text(), "frame store retired");
  taken = std::move(moved_to);

  // Appending to a detached range is a broken invariant.
  auto range = taken.drain(0, 1);
  ASSERT_TRUE(range.ok());
  EXPECT_THROW((void)range.value().append_serialized("x"), vesh::Fault);
}

TEST(FrameStore, AppendEncoded) {
  TempDir dir;
  auto capture = capture_in(dir);
  FrameStore s = FrameStore::open(capture, 1);
  append_all(s, {"first"});
  // A failing encoder's partial record is cut back out.
  auto failed = s.append_encoded([](vesh::ByteBuffer& out) -> vesh::Result<void, store::IoError> {
    out.append("partial");
    return vesh::Err{store::IoError::make(IoKind::Other, "encode failed")};
  });
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(failed.error().text(), "encode failed");
  auto ok = s.append_encoded([](vesh::ByteBuffer& out) {
    out.append("second");
    return true;
  });
  ASSERT_TRUE(ok.has_value());
  EXPECT_EQ(ok->first, 1u);
  EXPECT_EQ(ok->end, 2u);
  EXPECT_EQ(ok->bytes, 6u);
  auto c_style = s.append_encoded([](vesh::ByteBuffer& out) {
    out.append("junk");
    PyErr_SetString(PyExc_ValueError, "bad value");
    return false;
  });
  EXPECT_FALSE(c_style.has_value());
  EXPECT_EQ(vesh::testing::take_error(PyExc_ValueError), "bad value");
  EXPECT_EQ(all_frames(s), (std::vector<std::string>{"first", "second"}));
  EXPECT_EQ(s.total_bytes(), 11u);

  auto many = s.append_many(std::vector<std::string>{"x", "yy"});
  ASSERT_TRUE(many.ok());
  EXPECT_EQ(many.value().first, 2u);
  EXPECT_EQ(many.value().end, 4u);
  EXPECT_EQ(many.value().bytes, 3u);
}

// Several native threads record into their own stores of one streamed
// capture, with chunks going to the writer, while reader threads read
// random frames of every store. The finished file and an in-memory build of
// the same stores give every thread's frames in order.
TEST(FrameStore, ConcurrentRecordingWhileTheWriterRuns) {
  TempDir dir;
  auto capture = capture_in(dir, "trc_C", /*in_memory=*/false);
  constexpr int kThreads = 4;
  constexpr std::uint64_t kFrames = 3000;
  auto size_of = [](std::uint64_t n) { return 10 + (n * 37) % 300; };

  struct Guarded {
    std::mutex mutex;
    FrameStore store;
  };
  std::vector<std::unique_ptr<Guarded>> stores;
  for (int t = 0; t < kThreads; ++t) {
    stores.push_back(std::make_unique<Guarded>());
    stores.back()->store = FrameStore::open(capture, t + 1, 4096);
  }
  std::atomic<bool> done{false};
  std::atomic<int> mismatches{0};
  std::atomic<std::uint64_t> reads{0};

  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (std::uint64_t n = 0; n < kFrames; ++n) {
        // Halfway, wait for the readers: on a busy machine they may not
        // otherwise get to run before every writer is done.
        if (n == kFrames / 2) {
          while (reads.load() == 0) std::this_thread::yield();
        }
        std::lock_guard<std::mutex> lock(stores[t]->mutex);
        if (!stores[t]->store.append_serialized(store::testing::numbered_frame(t + 1, n, size_of(n))).ok())
          mismatches++;
      }
    });
  }
  std::vector<std::thread> readers;
  for (int r = 0; r < 2; ++r) {
    readers.emplace_back([&, r] {
      std::mt19937_64 rng(r);
      vesh::ByteBuffer scratch;
      while (!done.load()) {
        int t = static_cast<int>(rng() % kThreads);
        std::lock_guard<std::mutex> lock(stores[t]->mutex);
        const FrameStore& s = stores[t]->store;
        if (s.frame_count() == 0) continue;
        std::uint64_t n = rng() % s.frame_count();
        auto f = s.frame(n, scratch);
        if (!f.ok() || f.value() != store::testing::numbered_frame(t + 1, n, size_of(n))) mismatches++;
        reads++;
      }
    });
  }
  for (auto& th : threads) th.join();
  done = true;
  for (auto& th : readers) th.join();
  EXPECT_EQ(mismatches.load(), 0);
  EXPECT_GT(reads.load(), 0u);

  std::vector<store::ThreadLayout> layouts;
  absl::flat_hash_map<std::string, const FrameStore*> by_key;
  store::ThreadTokens tokens;
  for (int t = 0; t < kThreads; ++t) {
    auto layout = stores[t]->store.layout();
    ASSERT_TRUE(layout.ok());
    layouts.push_back(std::move(layout).value());
    by_key["native_" + std::to_string(t)] = &stores[t]->store;
    tokens["native_" + std::to_string(t)] = t + 1;
  }
  ASSERT_TRUE(capture->finish({}, vesh::ByteBuffer(), std::move(layouts)).ok());
  EXPECT_FALSE(std::filesystem::exists(*capture->temp_path()));
  auto streamed = store::testing::read_back_file(capture->final_path());
  ASSERT_TRUE(streamed.ok);
  ASSERT_EQ(streamed.threads.size(), static_cast<std::size_t>(kThreads));
  for (int t = 0; t < kThreads; ++t) {
    const auto& frames = streamed.threads[t + 1];
    ASSERT_EQ(frames.size(), kFrames);
    for (std::uint64_t n = 0; n < kFrames; ++n) ASSERT_EQ(frames[n], store::testing::numbered_frame(t + 1, n, size_of(n)));
  }

  // The same stores, now read back from the finished file, built in memory.
  auto built = store::build_container_bytes("trc_C", 1.5, by_key, tokens, {}, vesh::ByteBuffer(), {});
  ASSERT_TRUE(built.ok()) << built.error().text();
  auto in_memory = store::testing::read_back(built.value().view());
  ASSERT_TRUE(in_memory.ok);
  EXPECT_EQ(in_memory.threads, streamed.threads);
}
