// Subtree flushing's shared parts: candidates as calls close, the flush
// check's loop and its hold after a failure, stale bookkeeping, naming a
// range, the marker's bytes, and one flush against a real store and vesh.db
// (a failing one is tested end to end, on both tracers).
#include "capture_test_support.h"
#include "store/subtree_cut.h"
#include "store/subtree_flush.h"
#include "store/subtree_marker.h"
#include "store/trace_capture.h"

#include <gtest/gtest.h>
#include <msgpack.hpp>

#include <filesystem>

namespace store = vesh::store;
using store::ChosenCandidate;
using store::FlushStep;
using store::SubtreeTracking;
using store::testing::TempDir;

namespace {

const std::string kKey = "native_1";

// A frame record or plugin record, as msgpack, naming `co_name`.
std::string record(const std::string& type, const std::string& co_name) {
  msgpack::sbuffer out;
  msgpack::packer<msgpack::sbuffer> pk(out);
  pk.pack_map(2);
  pk.pack(std::string("type"));
  pk.pack(type);
  pk.pack(std::string("co_name"));
  pk.pack(co_name);
  return std::string(out.data(), out.size());
}

using Step = vesh::Result<FlushStep, vesh::py::PyError>;

// A check of a thread whose pending count is `pending`; `flush` takes each step.
template <typename Flush>
vesh::Result<void, vesh::py::PyError> check_with(SubtreeTracking& tracking, std::uint64_t& pending, Flush&& flush) {
  return tracking.run_check(kKey, pending, [&] { return pending; }, flush);
}

// A check whose flushes all succeed, each taking `saved` bytes off: the
// candidates it was handed, in order.
std::vector<store::FlushCandidate> flush_all(SubtreeTracking& tracking, std::uint64_t& pending,
                                             std::uint64_t saved = 100) {
  std::vector<store::FlushCandidate> offered;
  EXPECT_TRUE(check_with(tracking, pending, [&](const ChosenCandidate& chosen) -> Step {
                offered.push_back(chosen.candidate);
                tracking.after_flush(kKey, chosen);
                pending = pending > saved ? pending - saved : 0;
                return FlushStep::Flushed;
              }).ok());
  return offered;
}

auto fields(const store::FlushCandidate& c) { return std::tuple(c.co_name, c.start, c.end, c.bytes, c.segment_count); }

TEST(SubtreeTracking, ClosedCallsBecomeCandidatesOfTheirParent) {
  struct Case {
    const char* name;
    std::vector<std::tuple<std::uint64_t, std::uint64_t, std::uint64_t>> segments;  // start, end, bytes
    store::FlushCandidate expected;
  };
  const Case cases[] = {
      {"back to back calls merge", {{1, 3, 10}, {3, 5, 20}, {5, 9, 30}}, {"s0", 1, 9, 60, 3}},
      {"a gap starts a new run", {{1, 3, 10}, {4, 6, 20}}, {"s1", 4, 6, 20, 1}},
      {"an empty segment breaks nothing", {{1, 3, 10}, {3, 4, 0}, {3, 5, 20}}, {"s0", 1, 5, 30, 2}},
  };
  for (const Case& c : cases) {
    SubtreeTracking tracking(std::uint64_t{1});
    int n = 0;
    for (auto [start, end, bytes] : c.segments) {
      tracking.record_segment(kKey, start, end, bytes, "s" + std::to_string(n++), tracking.generation());
    }
    std::uint64_t pending = 1000;
    const auto offered = flush_all(tracking, pending);
    ASSERT_EQ(offered.size(), 1u) << c.name;
    EXPECT_EQ(fields(offered[0]), fields(c.expected)) << c.name;
  }
}

TEST(SubtreeTracking, ChecksFlushTheLargestFirstUntilHalfTheThreshold) {
  SubtreeTracking tracking(std::uint64_t{400});
  const std::uint64_t g = tracking.generation();
  // root: [0, 2) of 50 bytes; outer opens at 2 and holds [3, 5) of 50 bytes;
  // inner opens at 5 and holds [6, 8) of 120 bytes.
  tracking.record_segment(kKey, 0, 2, 50, "a", g);
  tracking.open(kKey, "outer", 2, 50, g);
  tracking.record_segment(kKey, 3, 5, 50, "b", g);
  tracking.open(kKey, "inner", 5, 100, g);
  tracking.record_segment(kKey, 6, 8, 120, "c", g);

  std::uint64_t pending = 399;  // below the threshold: nothing
  EXPECT_TRUE(flush_all(tracking, pending).empty());
  pending = 400;  // at it: flush until at most 200 are left
  const auto offered = flush_all(tracking, pending);
  ASSERT_EQ(offered.size(), 2u);
  EXPECT_EQ(offered[0].co_name, "c");
  EXPECT_EQ(offered[1].co_name, "a");  // equal bytes: the one nearer the root
  EXPECT_EQ(pending, 200u);
}

TEST(SubtreeTracking, AFlushMovesWhatComesAfterItsRange) {
  SubtreeTracking tracking(std::uint64_t{0});
  const std::uint64_t g = tracking.generation();
  // [10, 20) of 500 bytes flushed: its marker counts for none.
  tracking.record_segment(kKey, 10, 20, 500, "run", g);
  tracking.open(kKey, "open", 20, 800, g);
  tracking.record_segment(kKey, 25, 27, 40, "later", g);
  std::uint64_t pending = 1;
  ASSERT_TRUE(check_with(tracking, pending, [&](const ChosenCandidate& chosen) -> Step {
                EXPECT_EQ(chosen.candidate.co_name, "run");
                tracking.after_flush(kKey, chosen);
                return FlushStep::Stale;
              }).ok());
  // The next check sees the later candidate moved back by 9 records.
  auto offered = flush_all(tracking, pending);
  ASSERT_EQ(offered.size(), 1u);
  EXPECT_EQ(fields(offered[0]), fields({"later", 16, 18, 40, 1}));
  // The open call moved too: it closes at 19 with its bytes measured from
  // its moved mark (800 - 500 = 300).
  tracking.close(kKey, 19, 400, g);
  offered = flush_all(tracking, pending = 1);
  ASSERT_EQ(offered.size(), 1u);
  EXPECT_EQ(fields(offered[0]), fields({"open", 11, 19, 100, 1}));
}

TEST(SubtreeTracking, ACandidateGoneSinceItWasRecordedIsNotOffered) {
  // Bookkeeping of appends made before a reset belongs to a store that is gone.
  SubtreeTracking reset(std::uint64_t{0});
  const std::uint64_t before = reset.generation();
  reset.reset();
  reset.open(kKey, "stale", 7, 0, before);
  reset.record_segment(kKey, 7, 9, 10, "stale", before);
  std::uint64_t pending = 10;
  EXPECT_TRUE(flush_all(reset, pending).empty());

  // A candidate whose range left the store is dropped, not offered again.
  SubtreeTracking tracking(std::uint64_t{0});
  const std::uint64_t g = tracking.generation();
  tracking.record_segment(kKey, 0, 2, 10, "gone", g);
  tracking.open(kKey, "outer", 2, 10, g);
  tracking.record_segment(kKey, 3, 5, 5, "kept", g);
  std::vector<std::string> offered;
  ASSERT_TRUE(check_with(tracking, pending = 1, [&](const ChosenCandidate& chosen) -> Step {
                offered.push_back(chosen.candidate.co_name);
                tracking.drop(kKey, chosen);
                return FlushStep::Dropped;
              }).ok());
  EXPECT_EQ(offered, (std::vector<std::string>{"gone", "kept"}));
}

TEST(SubtreeTracking, RunsBelowAnEighthOfTheThresholdWaitUntilTheThreadGrewByIt) {
  // Threshold 800: runs of under 100 bytes stay, however much is pending.
  SubtreeTracking tracking(std::uint64_t{800});
  const std::uint64_t g = tracking.generation();
  tracking.record_segment(kKey, 0, 2, 60, "small", g);
  std::uint64_t pending = 900;
  EXPECT_TRUE(flush_all(tracking, pending).empty());
  // Grown past the share, the run waits until the thread grew by it too.
  tracking.record_segment(kKey, 2, 3, 60, "more", g);
  EXPECT_TRUE(flush_all(tracking, pending = 999).empty());
  const auto offered = flush_all(tracking, pending = 1000);
  ASSERT_EQ(offered.size(), 1u);
  EXPECT_EQ(fields(offered[0]), fields({"small", 0, 3, 120, 2}));
}

TEST(SubtreeTracking, AFailedFlushIsNotTriedAgainAtEveryRecord) {
  struct Case {
    std::uint64_t threshold;
    std::uint64_t retried_at;  // pending bytes at which the next try comes; 0: only after a reset
  };
  for (const Case c : {Case{100, 250}, Case{0, 0}}) {
    SubtreeTracking tracking(c.threshold);
    tracking.record_segment(kKey, 0, 2, 50, "f", tracking.generation());
    int tries = 0;
    auto run = [&](std::uint64_t pending) {
      return check_with(tracking, pending, [&](const ChosenCandidate&) -> Step {
        ++tries;
        return vesh::Err{vesh::py::PyError::make(PyExc_OSError, "database is locked")};
      });
    };
    auto first = run(150);
    ASSERT_FALSE(first.ok());
    EXPECT_EQ(first.error().message(), "database is locked");
    for (std::uint64_t pending = 150; pending < 249; pending += 7) EXPECT_TRUE(run(pending).ok());
    EXPECT_EQ(tries, 1) << c.threshold;
    // Tried again, failing the same way, which was handed back once already.
    if (c.retried_at != 0) {
      EXPECT_TRUE(run(c.retried_at).ok());
    } else {
      EXPECT_TRUE(run(1u << 30).ok());
      tracking.reset();
      tracking.record_segment(kKey, 0, 2, 50, "f", tracking.generation());
      EXPECT_TRUE(run(1).ok());
    }
    EXPECT_EQ(tries, 2) << c.threshold;
  }
}

TEST(SubtreeFlush, ARangeIsNamedAfterItsFirstNamedFrameRecord) {
  struct Case {
    std::vector<std::string> frames;
    std::uint64_t start, end;
    const char* expected;
  };
  const Case cases[] = {
      {{record("django_request", "view"), record("frame", "handler")}, 0, 2, "handler"},
      {{record("plugin", "a"), record("plugin", "b")}, 0, 2, "a"},
      {{"\xc1", "not msgpack"}, 0, 2, "<unknown>"},
      {{record("frame", "f")}, 1, 1, "<unknown>"},
      {{record("frame", "skipped"), record("frame", "second")}, 1, 2, "second"},
  };
  TempDir dir;
  for (const Case& c : cases) {
    auto capture = store::TraceCapture::for_trace((dir.path() / "t.db").string(), "trc_N", 1.0);
    ASSERT_TRUE(capture.ok());
    capture.value()->keep_in_memory();
    auto frames = store::FrameStore::open(capture.value(), 1);
    for (const std::string& f : c.frames) ASSERT_TRUE(frames.append_serialized(f).ok());
    EXPECT_EQ(store::extract_co_name_range(frames, c.start, c.end), c.expected);
  }
}

TEST(SubtreeFlush, TheMarkerIsWrittenByteForByte) {
  const auto frame_id = vesh::FrameId::from_text("frm_01ARZ3NDEKTSV4RRFFQ69G5FAV").value();
  const std::string trace_id = "trc_01ARZ3NDEKTSV4RRFFQ69G5FAW";
  vesh::ByteBuffer marker;
  store::write_subtree_flushed_marker(marker, frame_id, "f", trace_id, 200, 3, 1.5);
  std::string expected = "\x87\xa4type\xafsubtree_flushed\xa8"
                         "frame_id\xbe" +
                         std::string(frame_id.view()) + "\xa7" + "co_name\xa1" + "f\xb0" + "flushed_trace_id\xbe" +
                         trace_id + "\xad" + "flushed_bytes\xcc\xc8\xb5" + "flushed_segment_count\x03\xa9" +
                         "timestamp\xcb" + std::string("\x3f\xf8\x00\x00\x00\x00\x00\x00", 8);
  EXPECT_EQ(std::string(marker.view()), expected);
}

// --- One flush against a real store and vesh.db ----------------------------

class FlushSubtree : public ::testing::Test {
 protected:
  void SetUp() override {
    db_ = (dir_.path() / "vesh.db").string();
    auto made = store::TraceCapture::for_trace(db_, "trc_PARENT", 1.0);
    ASSERT_TRUE(made.ok());
    made.value()->keep_in_memory();
    frames_ = store::FrameStore::open(made.value(), 1);
    for (int i = 0; i < 6; ++i) ASSERT_TRUE(frames_.append_serialized(record("frame", "c" + std::to_string(i))).ok());
  }

  vesh::Result<std::optional<store::FlushedSubtree>, vesh::py::PyError> flush(std::uint64_t start, std::uint64_t end,
                                                                             bool has_store = true) {
    auto with_store = [&](absl::FunctionRef<void(store::FrameStore&)> use) {
      if (!has_store) return false;
      use(frames_);
      return true;
    };
    auto gather = [](const store::StoresByThread&) { return store::FlushedTraceParts{{}, "name", "trc_ROOT", {}}; };
    const store::FlushSettings settings{db_, "test", &config_, 5, true};
    return store::flush_subtree(kKey, store::FlushCandidate{"c1", start, end, 0, 2}, with_store, gather, settings);
  }

  std::vector<std::string> frames() {
    std::vector<std::string> out;
    vesh::ByteBuffer scratch;
    for (std::uint64_t i = 0; i < frames_.frame_count(); ++i) out.emplace_back(frames_.frame(i, scratch).value());
    return out;
  }

  std::vector<std::filesystem::path> raw_files() {
    std::vector<std::filesystem::path> out;
    if (!std::filesystem::exists(dir_.path() / "raw")) return out;
    for (const auto& entry : std::filesystem::directory_iterator(dir_.path() / "raw")) out.push_back(entry.path());
    return out;
  }

  TempDir dir_;
  std::string db_;
  vesh::Config config_;
  store::FrameStore frames_;
};

TEST_F(FlushSubtree, TheRangeBecomesOneMarkerNamingItsSavedTrace) {
  const std::vector<std::string> before = frames();
  auto flushed = flush(1, 4);
  ASSERT_TRUE(flushed.ok()) << flushed.error().message();
  ASSERT_TRUE(flushed.value());
  EXPECT_EQ(flushed.value()->flushed_bytes, before[1].size() + before[2].size() + before[3].size());
  const std::vector<std::string> after = frames();
  ASSERT_EQ(after.size(), 4u);
  EXPECT_EQ(after[0], before[0]);
  EXPECT_EQ(after[2], before[4]);
  EXPECT_EQ(after[1].size(), flushed.value()->marker_len);
  msgpack::object_handle marker = msgpack::unpack(after[1].data(), after[1].size());
  std::map<std::string, msgpack::object> named;
  marker.get().convert(named);
  const std::string trace_id = named.at("flushed_trace_id").as<std::string>();
  const std::vector<std::filesystem::path> files = raw_files();
  ASSERT_EQ(files.size(), 1u);
  EXPECT_TRUE(files[0].filename().string().starts_with(trace_id + ".")) << files[0];
  EXPECT_EQ(named.at("flushed_segment_count").as<std::uint64_t>(), 2u);
}

TEST_F(FlushSubtree, ARangeNoLongerInTheStoreIsLeftAlone) {
  const std::vector<std::string> before = frames();
  for (auto [start, end, has_store] : {std::tuple{4, 9, true}, std::tuple{6, 6, true}, std::tuple{1, 3, false}}) {
    auto flushed = flush(start, end, has_store);
    ASSERT_TRUE(flushed.ok());
    EXPECT_FALSE(flushed.value());
  }
  EXPECT_EQ(frames(), before);
  EXPECT_TRUE(raw_files().empty());
}

}  // namespace
