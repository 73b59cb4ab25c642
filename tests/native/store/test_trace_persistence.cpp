// Trace metadata and per-thread payloads, the configuration conversion, and
// the calls into vesh.db.
#include "foundation/config.h"
#include "python_helpers.h"
#include "store/trace_persistence.h"

#include <gtest/gtest.h>

#include <string>

using vesh::testing::eval;
using vesh::testing::run;
namespace store = vesh::store;

namespace {

// A fixstr: the 0xa0 | length header and the bytes.
std::string s(std::string_view text) {
  EXPECT_LT(text.size(), 32u);
  return std::string(1, static_cast<char>(0xa0 | text.size())) + std::string(text);
}
std::string b(std::initializer_list<int> bytes) {
  std::string out;
  for (int v : bytes) out.push_back(static_cast<char>(v));
  return out;
}

// Replaces every environment fact with a fixed value for the test's
// duration, and restores the real ones afterwards.
class PersistenceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    run(R"(
import sys, types, platform
_saved_env = (dict(sys.modules), list(sys.argv), sys.version,
              {n: getattr(platform, n) for n in ('python_version', 'platform', 'system', 'machine', 'processor')})
)");
    fake();
  }
  static void fake() {
    store::forget_process_environment();
    run(R"(
_v = types.ModuleType('vesh.version'); _v.__version__ = '1.2.3'; sys.modules['vesh.version'] = _v
_g = types.ModuleType('vesh.git'); _g.COMMIT_SHA = None; sys.modules['vesh.git'] = _g
sys.argv = ['prog', '-x']
sys.version = 'V'
platform.python_version = lambda: '3.12.1'
platform.platform = lambda: 'P'
platform.system = lambda: 'S'
platform.machine = lambda: 'M'
platform.processor = lambda: ''
class FakeThread:
    def __init__(self, name='main', ident=5, native_id=300, daemon=False, alive=True):
        self.name, self.daemon, self._alive = name, daemon, alive
        if ident != 'missing': self.ident = ident
        if native_id != 'missing': self.native_id = native_id
    def is_alive(self):
        return self._alive
)");
  }
  void TearDown() override {
    run(R"(
sys.modules.clear(); sys.modules.update(_saved_env[0])
sys.argv = _saved_env[1]
sys.version = _saved_env[2]
for _n, _f in _saved_env[3].items(): setattr(platform, _n, _f)
)");
    store::forget_process_environment();
  }

  static vesh::Config config(const std::string& dict) {
    auto made = vesh::Config::create(eval(dict).get());
    EXPECT_TRUE(made.has_value());
    return std::move(*made);
  }

  static store::PyResult<store::TracePayloads> prepare(const std::vector<std::pair<std::string, vesh::py::Ref>>& threads,
                                                       const store::ThreadTokens& tokens, const vesh::Config& cfg,
                                                       std::optional<std::string> name = std::nullopt,
                                                       std::optional<std::string_view> root = std::nullopt) {
    std::vector<store::ThreadEntry> entries;
    for (const auto& [key, thread] : threads) entries.push_back(store::ThreadEntry{key, thread.get()});
    return store::prepare_v3_trace_from_parts(std::span<const store::ThreadEntry>(entries), tokens, "trc_1",
                                              std::move(name), "src", 1.5, "native_7", cfg, true, root);
  }
};

TEST_F(PersistenceTest, MetadataPayloadBytes) {
  auto result = prepare({}, {}, config("{}"));
  ASSERT_TRUE(result.ok()) << result.error().message();
  std::string expected = b({0x8a}) + s("trace_id") + s("trc_1") + s("trace_name") + b({0xc0}) +
                         s("current_thread_id") + s("native_7") + s("timestamp") +
                         b({0xcb, 0x3f, 0xf8, 0, 0, 0, 0, 0, 0}) + s("current_commit_sha") + b({0xc0}) +
                         s("root_trace_id") + b({0xc0}) + s("meta") + b({0x84}) + s("version") + s("1.2.3") +
                         s("source") + s("src") + s("environment") + b({0x86}) + s("py_version") + s("3.12.1") +
                         s("py_version_full") + s("V") + s("platform") + s("P") + s("system") + s("S") +
                         s("machine") + s("M") + s("processor") + s("") + s("config") + b({0x82}) +
                         s("use_monitoring") + b({0xc3}) + s("use_rust") + b({0xc3}) + s("command_line_args") +
                         b({0x92}) + s("prog") + s("-x") + s("frames_of_interest") + b({0x90}) + s("frames") +
                         b({0x80});
  EXPECT_EQ(std::string(result.value().metadata.view()), expected);
  EXPECT_TRUE(result.value().thread_records.empty());
}

TEST_F(PersistenceTest, MetadataNamesCommitAndRoot) {
  run("_g.COMMIT_SHA = 'abc'; sys.argv = []");
  auto result = prepare({}, {}, config("{}"), "MathTests.test_add", "trc_root");
  ASSERT_TRUE(result.ok());
  std::string m(result.value().metadata.view());
  EXPECT_NE(m.find(s("trace_name") + s("MathTests.test_add")), std::string::npos);
  EXPECT_NE(m.find(s("current_commit_sha") + s("abc")), std::string::npos);
  EXPECT_NE(m.find(s("root_trace_id") + s("trc_root")), std::string::npos);
  EXPECT_NE(m.find(s("command_line_args") + b({0x90})), std::string::npos);
}

TEST_F(PersistenceTest, FailingEnvironmentFactsFailTheCall) {
  struct Case {
    const char* setup;
    PyObject* type;
  };
  for (const Case& c : {Case{"_g.COMMIT_SHA = 7", PyExc_TypeError}, Case{"_v.__version__ = 1", PyExc_TypeError},
                        Case{"sys.argv = 'prog'", PyExc_TypeError}, Case{"sys.argv = ['a', 3]", PyExc_TypeError},
                        Case{"platform.machine = lambda: 1/0", PyExc_ZeroDivisionError},
                        Case{"del _v.__version__", PyExc_AttributeError}}) {
    fake();
    run(c.setup);
    auto result = prepare({}, {}, config("{}"));
    ASSERT_FALSE(result.ok()) << c.setup;
    EXPECT_TRUE(result.error().matches(c.type)) << c.setup << ": " << result.error().message();
  }
}

TEST_F(PersistenceTest, UnencodableArgumentIsEscapedNotRefused) {
  run("sys.argv = ['prog', 'caf\\udce9']");
  auto result = prepare({}, {}, config("{}"));
  ASSERT_TRUE(result.ok()) << result.error().message();
  EXPECT_NE(std::string(result.value().metadata.view()).find(s("caf\\udce9")), std::string::npos);
}

TEST_F(PersistenceTest, ThreadPayloads) {
  struct Case {
    const char* thread;
    std::string fields;  // everything after thread_id
  };
  const std::string name_main = s("name") + s("main");
  for (const Case& c : {
           Case{"FakeThread()", name_main + s("ident") + b({5}) + s("native_id") + b({0xcd, 1, 0x2c}) + s("daemon") +
                                    b({0xc2}) + s("is_alive") + b({0xc3})},
           Case{"FakeThread(ident=None, native_id=-1, daemon=True, alive=False)",
                name_main + s("ident") + b({0xc0}) + s("native_id") + b({0xc0}) + s("daemon") + b({0xc3}) +
                    s("is_alive") + b({0xc2})},
           Case{"FakeThread(ident='missing', native_id=2**64)",
                name_main + s("ident") + b({0xc0}) + s("native_id") + b({0xc0}) + s("daemon") + b({0xc2}) +
                    s("is_alive") + b({0xc3})},
           Case{"FakeThread(ident=2**64-1, native_id='7')",
                name_main + s("ident") + b({0xcf, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff}) + s("native_id") +
                    b({0xc0}) + s("daemon") + b({0xc2}) + s("is_alive") + b({0xc3})},
       }) {
    std::vector<std::pair<std::string, vesh::py::Ref>> threads;
    threads.emplace_back("native_9", eval(c.thread));
    auto result = prepare(threads, {{"native_9", 4}}, config("{}"));
    ASSERT_TRUE(result.ok()) << c.thread << ": " << result.error().message();
    ASSERT_EQ(result.value().thread_records.size(), 1u);
    EXPECT_EQ(result.value().thread_records[0].first, 4u);
    EXPECT_EQ(result.value().thread_records[0].second.view(), b({0x86}) + s("thread_id") + s("native_9") + c.fields)
        << c.thread;
  }
}

// A registered thread is read from its object while the program holds it,
// and written from what was read at registration once the program let it go.
TEST_F(PersistenceTest, RegisteredThreadsAreHeldWeakly) {
  run(R"(
class SlotThread:
    __slots__ = ('name', 'ident', 'native_id', 'daemon')
    def __init__(self):
        self.name, self.ident, self.native_id, self.daemon = 'slots', 5, 300, False
    def is_alive(self):
        return True
)");
  struct Case {
    const char* make;  // binds _t
    const char* then;  // runs after the registration
    bool gone;
    const char* name;  // null: the save fails with a TypeError
    bool alive;
  };
  for (const Case& c : {
           Case{"_t = FakeThread('t')", "_t.name = 'u'", false, "u", true},
           Case{"_t = FakeThread('t')", "_t.name = 'u'; del _t", true, "t", false},
           // Neither weakly referable nor readable now: held, and read at the save as ever.
           Case{"_t = SlotThread()", "del _t", false, "slots", true},
           Case{"_t = FakeThread(name=3)", "del _t", false, nullptr, false},
       }) {
    run(c.make);
    store::ThreadObjects threads;
    threads.emplace("k", store::RecordedThread::of(eval("_t").get()));
    run(c.then);
    EXPECT_EQ(threads.at("k")->gone(), c.gone) << c.make << "; " << c.then;
    auto result = store::prepare_v3_trace_from_parts(threads, {{"k", 1}}, "t", std::nullopt, "s", 0.0, "c",
                                                     config("{}"), false, std::nullopt);
    if (c.name == nullptr) {
      ASSERT_FALSE(result.ok()) << c.make;
      EXPECT_TRUE(result.error().matches(PyExc_TypeError)) << result.error().message();
      continue;
    }
    ASSERT_TRUE(result.ok()) << c.make << ": " << result.error().message();
    ASSERT_EQ(result.value().thread_records.size(), 1u);
    EXPECT_EQ(result.value().thread_records[0].second.view(),
              b({0x86}) + s("thread_id") + s("k") + s("name") + s(c.name) + s("ident") + b({5}) + s("native_id") +
                  b({0xcd, 1, 0x2c}) + s("daemon") + b({0xc2}) + s("is_alive") + b({c.alive ? 0xc3 : 0xc2}))
        << c.make << "; " << c.then;
  }
}

TEST_F(PersistenceTest, ThreadPayloadsInMapOrder) {
  std::vector<std::pair<std::string, vesh::py::Ref>> threads;
  threads.emplace_back("b", eval("FakeThread('tb')"));
  threads.emplace_back("a", eval("FakeThread('ta')"));
  auto result = prepare(threads, {{"a", 1}, {"b", 2}}, config("{}"));
  ASSERT_TRUE(result.ok());
  ASSERT_EQ(result.value().thread_records.size(), 2u);
  EXPECT_EQ(result.value().thread_records[0].first, 2u);
  EXPECT_EQ(result.value().thread_records[1].first, 1u);
}

TEST_F(PersistenceTest, BadThreadsFailTheCall) {
  struct Case {
    const char* thread;
    const char* key;
    PyObject* type;
    const char* message;  // empty: any
  };
  for (const Case& c : {Case{"FakeThread()", "unknown", PyExc_RuntimeError, "missing v3 thread token for unknown"},
                        Case{"FakeThread(name=3)", "k", PyExc_TypeError, ""},
                        Case{"FakeThread(daemon=1)", "k", PyExc_TypeError, ""},
                        Case{"FakeThread(alive=1)", "k", PyExc_TypeError, ""},
                        Case{"object()", "k", PyExc_AttributeError, ""}}) {
    std::vector<std::pair<std::string, vesh::py::Ref>> threads;
    threads.emplace_back(c.key, eval(c.thread));
    auto result = prepare(threads, {{"k", 1}}, config("{}"));
    ASSERT_FALSE(result.ok()) << c.thread;
    EXPECT_TRUE(result.error().matches(c.type)) << c.thread << ": " << result.error().message();
    if (*c.message) EXPECT_EQ(result.error().message(), c.message);
  }
}

TEST_F(PersistenceTest, ConfigConversion) {
  struct Case {
    const char* value;
    std::string packed;  // empty: left out
  };
  for (const Case& c : {Case{"True", b({0xc3})}, Case{"3", b({0x03})}, Case{"-1", b({0xff})},
                        Case{"-33", b({0xd0, 0xdf})}, Case{"300", b({0xcd, 0x01, 0x2c})},
                        Case{"1.5", b({0xcb, 0x3f, 0xf8, 0, 0, 0, 0, 0, 0})},
                        Case{"2**64", b({0xcb, 0x43, 0xf0, 0, 0, 0, 0, 0, 0})}, Case{"None", b({0xc0})},
                        // Whole-number floats stay floats.
                        Case{"2.0", b({0xcb, 0x40, 0, 0, 0, 0, 0, 0, 0})},
                        Case{"-2.0", b({0xcb, 0xc0, 0, 0, 0, 0, 0, 0, 0})},
                        Case{"'x'", s("x")}, Case{"__import__('decimal').Decimal('2.5')", b({0xcb, 0x40, 0x04, 0, 0, 0, 0, 0, 0})},
                        Case{"type('F', (float,), {})(1.5)", b({0xcb, 0x3f, 0xf8, 0, 0, 0, 0, 0, 0})},
                        Case{"[1]", ""}, Case{"{'a': 1}", ""}}) {
    auto cfg = config(std::string("{'k': ") + c.value + "}");
    ::testing::internal::CaptureStdout();
    auto converted = store::convert_config(cfg, false);
    std::string printed = ::testing::internal::GetCapturedStdout();
    // The two flags always come last.
    ASSERT_GE(converted.size(), 2u);
    EXPECT_EQ(converted[converted.size() - 2].first, "use_monitoring");
    EXPECT_FALSE(converted[converted.size() - 2].second.boolean);
    EXPECT_EQ(converted.back().first, "use_rust");
    if (c.packed.empty()) {
      EXPECT_EQ(converted.size(), 2u) << c.value;
      EXPECT_EQ(printed, "unsupported config type: \"k\"\n") << c.value;
      continue;
    }
    EXPECT_EQ(printed, "") << c.value;
    auto result = store::prepare_v3_trace_from_parts(store::ThreadObjects{}, {}, "t",
                                                     std::nullopt, "s", 0.0, "c", cfg, false, std::nullopt);
    ASSERT_TRUE(result.ok());
    EXPECT_NE(std::string(result.value().metadata.view()).find(s("config") + b({0x83}) + s("k") + c.packed), std::string::npos) << c.value;
  }
}

TEST_F(PersistenceTest, WholeNumberTimestampIsFloat64) {
  auto result = store::prepare_v3_trace_from_parts(store::ThreadObjects{}, {}, "t",
                                                   std::nullopt, "s", 1700000000.0, "c", config("{}"), false,
                                                   std::nullopt);
  ASSERT_TRUE(result.ok());
  EXPECT_NE(std::string(result.value().metadata.view())
                .find(s("timestamp") + b({0xcb, 0x41, 0xd9, 0x54, 0xfc, 0x40, 0, 0, 0}) + s("current_commit_sha")),
            std::string::npos);
}

TEST_F(PersistenceTest, ConfigExclusionsAndFlags) {
  auto cfg = config("{'filters': 1, 'auto_emit': 1, 'processors': 1, 'trace_points': 1, 'flush_subtree_mb': 64,"
                    " 'use_rust': False, 'use_monitoring': 'yes'}");
  auto converted = store::convert_config(cfg, true);
  ASSERT_EQ(converted.size(), 2u);
  for (const auto& [key, value] : converted) {
    EXPECT_TRUE(key == "use_rust" || key == "use_monitoring") << key;
    EXPECT_EQ(value.kind, store::ConfigValue::Kind::Bool);
    EXPECT_TRUE(value.boolean);
  }
}

TEST_F(PersistenceTest, UnsupportedKeyIsPrintedAsAQuotedLiteral) {
  auto cfg = config("{'a\"b\\\\c\\n\\x01': []}");
  ::testing::internal::CaptureStdout();
  (void)store::convert_config(cfg, true);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "unsupported config type: \"a\\\"b\\\\c\\n\\u{1}\"\n");
}

TEST_F(PersistenceTest, SaveCallsIntoVeshDb) {
  run(R"(
_calls = []
_db = types.ModuleType('vesh.db')
_db._save_trace_metadata = lambda *a, **k: _calls.append(('meta', a, list(k.items())))
_db.save_v3_trace_chunks = lambda *a, **k: _calls.append(('chunks', a, list(k.items())))
sys.modules['vesh.db'] = _db
)");
  ASSERT_TRUE(store::save_trace_metadata("trc_A", "trc_A.U1.vesh", "data/t.db", 7, true).ok());
  ASSERT_TRUE(store::save_v3_container_bytes("trc_B", std::string("VESH\0x", 6), "t.db", 60).ok());
  vesh::py::Ref ok = eval(R"(_calls == [
    ('meta', ('trc_A',), [('db_path', __import__('pathlib').Path('data/t.db')), ('ignore_errors', True),
                          ('created_at', None), ('timeout', 7), ('raw_file', 'trc_A.U1.vesh')]),
    ('chunks', ('trc_B', (b'VESH\0x',)), [('db_path', __import__('pathlib').Path('t.db')),
                                         ('ignore_errors', True), ('timeout', 60)])])");
  EXPECT_EQ(ok.get(), Py_True);
  ASSERT_TRUE(store::save_trace_metadata("trc_A", "trc_A.U1.vesh", "t.db", 1, false).ok());
  EXPECT_EQ(eval("_calls[-1][2][1] == ('ignore_errors', False)").get(), Py_True);
}

TEST_F(PersistenceTest, SaveReturnsTheDatabaseError) {
  run(R"(
_db = types.ModuleType('vesh.db')
def _fail(*a, **k): raise LookupError('db down')
_db._save_trace_metadata = _db.save_v3_trace_chunks = _fail
sys.modules['vesh.db'] = _db
)");
  auto meta = store::save_trace_metadata("trc_A", "trc_A.U1.vesh", "t.db", 7, true);
  ASSERT_FALSE(meta.ok());
  EXPECT_TRUE(meta.error().matches(PyExc_LookupError));
  auto chunks = store::save_v3_container_bytes("trc_A", "x", "t.db", 7);
  ASSERT_FALSE(chunks.ok());
  EXPECT_EQ(chunks.error().message(), "db down");
  run("del _db._save_trace_metadata");
  meta = store::save_trace_metadata("trc_A", "trc_A.U1.vesh", "t.db", 7, true);
  ASSERT_FALSE(meta.ok());
  EXPECT_TRUE(meta.error().matches(PyExc_AttributeError));
}

}  // namespace
