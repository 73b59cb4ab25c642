// Trace captures: file names, trace id checks, value publication, finishing,
// the circuit, forked children, and saves that reuse a trace id.
#include "capture_test_support.h"
#include "store/trace_capture.h"
#include "store/frame_store.h"
#include "store/trace_persistence.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>

namespace store = vesh::store;
using store::FrameStore;
using store::IoKind;
using store::TraceCapture;
using store::testing::TempDir;

namespace {

std::shared_ptr<TraceCapture> make_capture(const std::filesystem::path& db, const std::string& trace_id,
                                           std::shared_ptr<store::WriterRuntime> runtime = nullptr) {
  auto made = runtime ? TraceCapture::for_trace(db.string(), trace_id, 2.5, std::move(runtime))
                      : TraceCapture::for_trace(db.string(), trace_id, 2.5);
  EXPECT_TRUE(made.ok()) << (made.ok() ? "" : made.error().text());
  return made.ok() ? std::move(made).value() : nullptr;
}

store::SharedBytes bytes_of(std::string_view text) { return store::testing::bytes_of(text); }

// Finishes `capture` with one store's frames under token 1.
vesh::Result<void, store::IoError> finish_with(TraceCapture& capture, FrameStore& s) {
  auto layout = s.layout();
  if (!layout.ok()) return vesh::Err{std::move(layout).error()};
  return capture.finish({}, vesh::ByteBuffer(), {std::move(layout).value()});
}

// A runtime of the test's own, stalled: a reservation larger than the budget
// is held while a second one waits past the (short) stall timeout.
std::shared_ptr<store::WriterRuntime> stalled_runtime() {
  auto runtime = std::make_shared<store::WriterRuntime>(std::chrono::milliseconds(20), false);
  auto held = runtime->reserve(store::kResidentBudget + 1, store::GilState::NotHeld);
  EXPECT_TRUE(held.ok());
  auto waited = runtime->reserve(1, store::GilState::NotHeld);
  EXPECT_FALSE(waited.ok());
  EXPECT_TRUE(runtime->stalled());
  return runtime;
}

}  // namespace

TEST(TraceCapture, Paths) {
  struct Case {
    const char* db;
    const char* raw;
  };
  for (const Case& c : {Case{"data/trace.db", "data/raw"}, Case{"trace.db", "raw"}, Case{"", "./raw"},
                        Case{"/", "./raw"}, Case{"/var/db/t.db", "/var/db/raw"},
                        // Trailing separators and "." name the same database file,
                        // as they do for the database layer.
                        Case{"data/trace.db/", "data/raw"}, Case{"data/trace.db/.", "data/raw"},
                        Case{"trace.db//", "raw"}, Case{"/t.db/", "/raw"}}) {
    auto paths = store::capture_paths(c.db, "trc_X", "U1", 4242, 17);
    EXPECT_EQ(paths.raw_dir, std::filesystem::path(c.raw)) << c.db;
    EXPECT_EQ(paths.final_path, std::filesystem::path(c.raw) / "trc_X.U1.vesh") << c.db;
    EXPECT_EQ(paths.temp_path, std::filesystem::path(c.raw) / ".trc_X.U1.vesh.4242.17.tmp") << c.db;
  }
  // Two captures never share a file, also for one trace id.
  TempDir dir;
  auto a = make_capture(dir.path() / "t.db", "trc_S");
  auto b = make_capture(dir.path() / "t.db", "trc_S");
  EXPECT_NE(a->final_path(), b->final_path());
  EXPECT_NE(*a->temp_path(), *b->temp_path());
  const std::string name = a->final_path().filename().string();
  EXPECT_EQ(name.rfind("trc_S.", 0), 0u);
  const std::string prefix = "." + name + "." + std::to_string(getpid()) + ".";
  EXPECT_EQ(a->temp_path()->filename().string().rfind(prefix, 0), 0u);
}

TEST(TraceCapture, TraceIdsThatLeaveTheRawDirectoryAreRefused) {
  TempDir dir;
  const std::filesystem::path db = dir.path() / "sub" / "t.db";
  for (const std::string& id : std::vector<std::string>{"../escape", "a/b", "/abs", std::string("x\0y", 3), "..", "",
                                                         "trc_..", "./x"}) {
    auto made = TraceCapture::for_trace(db.string(), id, 1.0);
    ASSERT_FALSE(made.ok()) << id;
    EXPECT_EQ(made.error().kind, IoKind::InvalidInput);
    EXPECT_NE(made.error().text().find("invalid trace id"), std::string::npos) << made.error().text();
  }
  EXPECT_FALSE(store::require_valid_trace_id("a/b"));
  EXPECT_EQ(vesh::testing::take_error(PyExc_ValueError),
            "invalid trace id \"a/b\": a trace id must be non-empty and must not contain \"/\", a NUL byte or \"..\"");
  EXPECT_TRUE(store::require_valid_trace_id("trc_01HZX"));
  EXPECT_TRUE(store::validate_trace_id("trc_01HZX").ok());
  EXPECT_TRUE(store::validate_trace_id("a.b").ok());
  // Nothing was created anywhere.
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

TEST(TraceCapture, ValuesArePublishedOnce) {
  TempDir dir;
  for (bool in_memory : {false, true}) {
    auto capture = make_capture(dir.path() / "t.db", in_memory ? "trc_VM" : "trc_V");
    if (in_memory) capture->keep_in_memory();
    for (std::uint32_t id : {7u, 2u, 7u, 2u}) ASSERT_TRUE(capture->publish_value(id, bytes_of("v" + std::to_string(id))).ok());
    EXPECT_EQ(capture->published_value_ids(), (std::vector<std::uint32_t>{2, 7}));
    if (in_memory) {
      // Nothing streams: no file at all.
      EXPECT_FALSE(std::filesystem::exists(dir.path() / "raw" / "trc_VM.vesh"));
      continue;
    }
    ASSERT_TRUE(capture->finish({}, vesh::ByteBuffer(), {}).ok());
    auto back = store::testing::read_back_file(capture->final_path());
    ASSERT_TRUE(back.ok);
    EXPECT_EQ(back.values, (std::map<std::uint32_t, std::string>{{7, "v7"}, {2, "v2"}}));
    // A finished capture takes nothing more.
    auto late = capture->publish_value(9, bytes_of("x"));
    ASSERT_FALSE(late.ok());
    EXPECT_EQ(late.error().text(), "trace writer closed");
    EXPECT_EQ(capture->finish({}, vesh::ByteBuffer(), {}).error().text(), "trace writer closed");
  }
}

TEST(TraceCapture, EmptyCaptureFinishesIntoAWholeContainer) {
  TempDir dir;
  auto capture = make_capture(dir.path() / "d" / "t.db", "trc_E");
  std::vector<std::pair<std::uint32_t, vesh::ByteBuffer>> records;
  vesh::ByteBuffer payload;
  payload.append("thread");
  records.emplace_back(3, std::move(payload));
  vesh::ByteBuffer metadata;
  metadata.append("meta");
  ASSERT_TRUE(capture->finish(std::move(records), std::move(metadata), {store::ThreadLayout{3, {}}}).ok());
  EXPECT_EQ(capture->final_path().parent_path(), dir.path() / "d" / "raw");
  EXPECT_TRUE(std::filesystem::exists(capture->final_path()));
  EXPECT_FALSE(std::filesystem::exists(*capture->temp_path()));
  auto back = store::testing::read_back_file(capture->final_path());
  ASSERT_TRUE(back.ok);
  EXPECT_EQ(back.trace_id, "trc_E");
  EXPECT_EQ(back.metadata, "meta");
  EXPECT_EQ(back.thread_records, (std::vector<std::pair<std::uint32_t, std::string>>{{3, "thread"}}));
  EXPECT_EQ(back.threads, (store::testing::Threads{{3, {}}}));
}

TEST(TraceCapture, WriterStartFailureClosesTheCapture) {
  TempDir dir;
  auto capture = make_capture(dir.path() / "t.db", "trc_W");
  std::filesystem::create_directories(capture->temp_path()->parent_path());
  { std::ofstream(*capture->temp_path()) << "in the way"; }
  FrameStore s = FrameStore::open(capture, 1, 8);
  auto first = s.append_serialized("0123456789");
  ASSERT_FALSE(first.ok());
  EXPECT_EQ(first.error().kind, IoKind::AlreadyExists);
  EXPECT_TRUE(s.writer_failed());
  EXPECT_EQ(capture->publish_value(1, bytes_of("v")).error().text(), "trace writer closed");
  EXPECT_EQ(store::testing::read_file(*capture->temp_path()), "in the way");
}

TEST(TraceCapture, CircuitOpenBeforeCreation) {
  TempDir dir;
  auto runtime = stalled_runtime();
  auto capture = make_capture(dir.path() / "t.db", "trc_K", runtime);
  EXPECT_TRUE(capture->closed());
  FrameStore s = FrameStore::open(capture, 1, 4);
  auto commit = s.append_serialized("12345");
  ASSERT_FALSE(commit.ok());
  EXPECT_EQ(commit.error().kind, IoKind::TimedOut);
  EXPECT_EQ(commit.error().text(), store::circuit_open_error(std::nullopt).text());
  EXPECT_EQ(capture->publish_value(1, bytes_of("v")).error().text(), "trace writer closed");
  EXPECT_EQ(capture->finish({}, vesh::ByteBuffer(), {}).error().text(), store::circuit_open_error(std::nullopt).text());
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "raw"));
}

TEST(TraceCapture, AbandonmentReportsTheRecoveredPrefix) {
  TempDir dir;
  auto runtime = std::make_shared<store::WriterRuntime>(std::chrono::milliseconds(20), false);
  auto capture = make_capture(dir.path() / "t.db", "trc_P", runtime);
  FrameStore s = FrameStore::open(capture, 1, 8);
  ASSERT_TRUE(s.append_serialized("frame-one").ok());
  ASSERT_EQ(s.committed_frames(), 1u);
  ASSERT_TRUE(store::testing::eventually([&] { return s.spans()[0].chunk->persisted() != 0; }));
  // Stall the runtime: a reservation that cannot be admitted times out.
  {
    auto held = runtime->reserve(store::kResidentBudget, store::GilState::NotHeld);
    ASSERT_TRUE(held.ok());
    ASSERT_FALSE(runtime->reserve(1, store::GilState::NotHeld).ok());
  }
  const std::string expected = store::circuit_open_error(*capture->temp_path()).text();
  EXPECT_EQ(capture->abandon_for_circuit().text(), expected);
  EXPECT_EQ(capture->abandon_for_circuit().text(), expected);
  EXPECT_EQ(capture->recovered_prefix(), std::optional<std::filesystem::path>(*capture->temp_path()));
  auto later = s.append_serialized("frame-two");
  ASSERT_FALSE(later.ok());
  EXPECT_EQ(later.error().kind, IoKind::TimedOut);
  EXPECT_TRUE(std::filesystem::exists(*capture->temp_path()));
  // The prefix holds the first chunk.
  store::testing::add_import_paths();
  vesh::testing::run("import v3_reader\n_prefix = v3_reader.read_prefix(r'" + capture->temp_path()->string() + "')");
  EXPECT_EQ(vesh::testing::eval("[r.kind for r in _prefix.records] == [1]").get(), Py_True);
}

TEST(TraceCapture, ForkedChildKeepsItsFramesInMemory) {
  TempDir dir;
  auto capture = make_capture(dir.path() / "t.db", "trc_F");
  FrameStore parent = FrameStore::open(capture, 1, 8);
  ASSERT_TRUE(parent.append_serialized("parent-frame").ok());
  ASSERT_EQ(parent.committed_frames(), 1u);

  int status = store::testing::run_in_child([&] {
    // Finishing the parent's writer is refused, and leaves it alone.
    auto refused = capture->finish({}, vesh::ByteBuffer(), {});
    if (refused.ok() || refused.error().text() != "trace writer cannot be finished in a forked child") return 2;
    return 0;
  });
  EXPECT_EQ(status, 0);

  status = store::testing::run_in_child([&] {
    FrameStore child = FrameStore::open(capture, 2, 8);
    if (!child.append_serialized("child-frame").ok()) return 3;
    if (!capture->kept_in_memory() || child.committed_frames() != 1) return 4;
    if (!child.spans()[0].chunk->has_memory()) return 5;
    vesh::ByteBuffer scratch;
    auto f = child.frame(0, scratch);
    if (!f.ok() || f.value() != "child-frame") return 6;
    return 0;
  });
  EXPECT_EQ(status, 0);

  // The parent's writer never noticed.
  EXPECT_FALSE(capture->kept_in_memory());
  ASSERT_TRUE(parent.append_serialized("parent-two").ok());
  ASSERT_TRUE(finish_with(*capture, parent).ok());
  auto back = store::testing::read_back_file(capture->final_path());
  ASSERT_TRUE(back.ok);
  EXPECT_EQ(back.threads[1], (std::vector<std::string>{"parent-frame", "parent-two"}));
}

// Two saves under one trace id finish each under a name of its own, which
// the database's rows name, so both parts survive.
TEST(TraceCapture, SavesReusingATraceIdKeepEveryPart) {
  TempDir dir;
  store::testing::add_import_paths();
  vesh::testing::run("import sys; sys.modules.pop('vesh.db', None)");
  const std::filesystem::path db = dir.path() / "trace.db";
  std::vector<std::string> contents;
  for (const char* frame : {"first-save", "second-save"}) {
    auto capture = make_capture(db, "trc_SAME");
    FrameStore s = FrameStore::open(capture, 1);
    ASSERT_TRUE(s.append_serialized(frame).ok());
    ASSERT_TRUE(finish_with(*capture, s).ok());
    contents.push_back(store::testing::read_file(capture->final_path()));
    auto saved = store::save_trace_metadata("trc_SAME", capture->final_path().filename().string(), db.string(), 5,
                                            false);
    ASSERT_TRUE(saved.ok()) << saved.error().message();
  }
  vesh::testing::run("from stored_traces import stored_rows\n_rows = [r[2] for r in stored_rows(r'" + db.string() +
                     "')]");
  vesh::py::Ref rows = vesh::testing::eval("_rows");
  ASSERT_EQ(PyList_GET_SIZE(rows.get()), 2);
  for (Py_ssize_t i = 0; i < 2; ++i) {
    auto back = store::testing::read_back_object(PyList_GET_ITEM(rows.get(), i));
    EXPECT_EQ(store::testing::bytes_text(PyList_GET_ITEM(rows.get(), i)), contents[i]);
    EXPECT_EQ(back.threads[1], (std::vector<std::string>{i == 0 ? "first-save" : "second-save"}));
  }
}

// A capture kept in memory is saved as bytes built from its stores.
TEST(TraceCapture, InMemoryBuildIsAWholeContainer) {
  TempDir dir;
  auto capture = make_capture(dir.path() / "t.db", "trc_M");
  capture->keep_in_memory();
  FrameStore a = FrameStore::open(capture, 1, 64);
  FrameStore b = FrameStore::open(capture, 2, 64);
  FrameStore empty = FrameStore::open(capture, 3, 64);
  std::vector<std::string> fa, fb;
  for (int i = 0; i < 40; ++i) fa.push_back(store::testing::numbered_frame(1, i, 9 + i));
  for (int i = 0; i < 5; ++i) fb.push_back(store::testing::numbered_frame(2, i, 200));
  for (const auto& f : fa) ASSERT_TRUE(a.append_serialized(f).ok());
  for (const auto& f : fb) ASSERT_TRUE(b.append_serialized(f).ok());
  std::vector<std::pair<std::string, FrameStore*>> stores{{"native_a", &a}, {"native_b", &b}, {"native_c", &empty}};
  store::ThreadTokens tokens{{"native_a", 1}, {"native_b", 2}, {"native_c", 3}};
  std::vector<std::pair<std::uint32_t, vesh::ByteBuffer>> records;
  records.emplace_back(2, vesh::ByteBuffer());
  records.back().second.append("B");
  vesh::ByteBuffer meta;
  meta.append("M");
  std::vector<store::PublishedValue> values{{4, bytes_of("four")}, {1, bytes_of("one")}};
  auto built = store::build_container_bytes("trc_M", 2.5, stores, tokens, std::move(records), std::move(meta),
                                            std::move(values));
  ASSERT_TRUE(built.ok()) << built.error().text();
  auto back = store::testing::read_back(built.value().view());
  ASSERT_TRUE(back.ok);
  EXPECT_EQ(back.threads, (store::testing::Threads{{1, fa}, {2, fb}, {3, {}}}));
  EXPECT_EQ(back.values, (std::map<std::uint32_t, std::string>{{4, "four"}, {1, "one"}}));
  EXPECT_EQ(back.metadata, "M");
  EXPECT_EQ(back.thread_records, (std::vector<std::pair<std::uint32_t, std::string>>{{2, "B"}}));

  // A store without a token fails the build, even an empty one.
  store::ThreadTokens partial{{"native_a", 1}, {"native_b", 2}};
  auto missing = store::build_container_bytes("trc_M", 2.5, stores, partial, {}, vesh::ByteBuffer(), {});
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().text(), "missing v3 thread token for native_c");
  EXPECT_EQ(missing.error().kind, IoKind::InvalidInput);
}

TEST(TraceCapture, InMemoryBuildChunking) {
  // Three frames each over half the 512 KiB target: chunks [0, 1] and [2].
  TempDir dir;
  auto capture = make_capture(dir.path() / "t.db", "trc_B");
  capture->keep_in_memory();
  FrameStore s = FrameStore::open(capture, 1);
  std::vector<std::string> frames;
  for (int i = 0; i < 3; ++i) frames.push_back(std::string(300000, static_cast<char>('a' + i)));
  for (const auto& f : frames) ASSERT_TRUE(s.append_serialized(f).ok());
  std::vector<std::pair<std::string, FrameStore*>> stores{{"k", &s}};
  auto built = store::build_container_bytes("trc_B", 1.0, stores, {{"k", 9}}, {}, vesh::ByteBuffer(), {});
  ASSERT_TRUE(built.ok());
  store::testing::add_import_paths();
  vesh::py::Ref bytes = vesh::py::Ref::steal(PyBytes_FromStringAndSize(built.value().data(), built.value().size()));
  PyObject* main = PyImport_AddModule("__main__");
  PyObject_SetAttrString(main, "_built", bytes.get());
  vesh::testing::run("import v3_reader\n_c = v3_reader.read_container(_built)");
  EXPECT_EQ(vesh::testing::eval("_c.layouts == {9: [(0, 0, 2), (1, 0, 1)]}").get(), Py_True);

  // Exactly 512 KiB of frames: one chunk, no empty second one.
  FrameStore exact = FrameStore::open(capture, 1);
  ASSERT_TRUE(exact.append_serialized(std::string(262144, 'x')).ok());
  ASSERT_TRUE(exact.append_serialized(std::string(262144, 'y')).ok());
  std::vector<std::pair<std::string, FrameStore*>> one{{"k", &exact}};
  auto exact_built = store::build_container_bytes("trc_B", 1.0, one, {{"k", 9}}, {}, vesh::ByteBuffer(), {});
  ASSERT_TRUE(exact_built.ok());
  bytes = vesh::py::Ref::steal(PyBytes_FromStringAndSize(exact_built.value().data(), exact_built.value().size()));
  PyObject_SetAttrString(main, "_built", bytes.get());
  vesh::testing::run("_c = v3_reader.read_container(_built)");
  EXPECT_EQ(vesh::testing::eval("_c.layouts == {9: [(0, 0, 2)]}").get(), Py_True);
}
