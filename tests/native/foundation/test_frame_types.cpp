// Frame ids, trace ids, FrameIds, CallFrames and qualified names.
#include "foundation/frame_types.h"

#include "python_helpers.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <ctime>
#include <set>
#include <string>
#include <thread>
#include <vector>

using vesh::FrameId;
using vesh::py::Ref;
using vesh::testing::item;
using vesh::testing::run_python;
using vesh::testing::take_error_text;

namespace {

constexpr std::string_view kCrockford = "0123456789ABCDEFGHJKMNPQRSTVWXYZ";

std::uint64_t decode_millis(std::string_view ulid) {
  std::uint64_t value = 0;
  for (char c : ulid.substr(0, 10)) value = value * 32 + kCrockford.find(c);
  return value;
}

void expect_ulid_text(std::string_view ulid) {
  ASSERT_EQ(ulid.size(), 26u);
  for (char c : ulid) EXPECT_NE(kCrockford.find(c), std::string_view::npos) << ulid;
  EXPECT_LE(ulid[0], '7') << "first digit holds only 3 bits";
}

}  // namespace

TEST(Ids, Format) {
  FrameId id = FrameId::fresh();
  ASSERT_EQ(id.view().size(), 30u);
  EXPECT_EQ(id.view().substr(0, 4), "frm_");
  expect_ulid_text(id.view().substr(4));

  std::string trace = vesh::trace_id();
  ASSERT_EQ(trace.size(), 30u);
  EXPECT_EQ(trace.substr(0, 4), "trc_");
  expect_ulid_text(std::string_view(trace).substr(4));

  // The time part is the wall clock in milliseconds.
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  std::uint64_t now = static_cast<std::uint64_t>(ts.tv_sec) * 1000;
  std::uint64_t millis = decode_millis(id.view().substr(4));
  EXPECT_GT(millis + 3'600'000, now);
  EXPECT_LT(millis, now + 3'600'000);

  EXPECT_EQ(FrameId::from_text(id.view()), id);
  EXPECT_FALSE(FrameId::from_text("trc_" + std::string(id.view().substr(4))));
  EXPECT_FALSE(FrameId::from_text(id.view().substr(1)));
}

TEST(Ids, TimestampIsWallClock) {
  double t = vesh::timestamp();
  EXPECT_NEAR(t, static_cast<double>(std::time(nullptr)), 5.0);
}

// The 48-bit milliseconds at the head of a frame id's ULID.
std::uint64_t ulid_millis(const FrameId& id) {
  static const std::string digits = "0123456789ABCDEFGHJKMNPQRSTVWXYZ";
  std::uint64_t value = 0;
  for (char c : id.view().substr(4, 10)) value = value * 32 + digits.find(c);
  return value;
}

TEST(Ids, OneClockReadingPerEvent) {
  double first = 0;
  double later_in_event = 0;
  double nested = 0;
  double after_nested = 0;
  FrameId id = FrameId::fresh();
  {
    vesh::EventClock now;
    first = vesh::timestamp();
    ::usleep(3000);
    later_in_event = vesh::timestamp();
    id = FrameId::fresh();
    {
      vesh::EventClock inner;
      nested = vesh::timestamp();
    }
    after_nested = vesh::timestamp();
  }
  EXPECT_EQ(later_in_event, first);
  EXPECT_NEAR(static_cast<double>(ulid_millis(id)), first * 1000, 1.0);
  EXPECT_GT(nested, first);
  EXPECT_EQ(after_nested, first);
  EXPECT_GT(vesh::timestamp(), first);
}

TEST(Ids, UniqueWithinAndAcrossThreads) {
  std::vector<std::vector<std::string>> per_thread(4);
  std::vector<std::thread> threads;
  for (auto& ids : per_thread) {
    threads.emplace_back([&ids] {
      for (int i = 0; i < 5000; ++i) ids.push_back(FrameId::fresh().to_string());
    });
  }
  for (auto& t : threads) t.join();
  std::set<std::string> all;
  for (auto& ids : per_thread) all.insert(ids.begin(), ids.end());
  EXPECT_EQ(all.size(), 20000u);
}

// A forked child inherits its parent's generator state; unless it reseeds,
// it repeats exactly the ids the parent makes next.
TEST(Ids, ForkedChildMakesDifferentIds) {
  (void)FrameId::fresh();  // the parent's generator is seeded before the fork
  constexpr int kCount = 200;
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    close(fds[0]);
    for (int i = 0; i < kCount; ++i) {
      FrameId id = FrameId::fresh();
      if (write(fds[1], id.data(), id.size()) != static_cast<ssize_t>(id.size())) _exit(2);
      std::string trace = vesh::trace_id();
      if (write(fds[1], trace.data(), trace.size()) != static_cast<ssize_t>(trace.size())) _exit(2);
    }
    _exit(0);
  }
  close(fds[1]);
  std::set<std::string> parent;
  for (int i = 0; i < kCount; ++i) {
    parent.insert(FrameId::fresh().to_string().substr(4));
    parent.insert(vesh::trace_id().substr(4));
  }
  std::string child_bytes;
  char chunk[4096];
  ssize_t n;
  while ((n = read(fds[0], chunk, sizeof chunk)) > 0) child_bytes.append(chunk, static_cast<std::size_t>(n));
  close(fds[0]);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  ASSERT_EQ(child_bytes.size(), static_cast<std::size_t>(kCount) * 60);
  int shared = 0;
  for (std::size_t off = 0; off < child_bytes.size(); off += 30) {
    if (parent.count(child_bytes.substr(off + 4, 26))) ++shared;
  }
  EXPECT_EQ(shared, 0);
}

TEST(Ids, EventNames) {
  const char* expected[] = {"call", "return", "unwind", "resume", "yield", "throw"};
  for (std::uint8_t kind = 0; kind < 6; ++kind) EXPECT_STREQ(vesh::event_name(kind), expected[kind]);
  EXPECT_EQ(vesh::event_name(6), nullptr);
  std::vector<bool> exits;
  for (std::uint8_t kind = 0; kind < 7; ++kind) exits.push_back(vesh::is_exit_kind(kind));
  EXPECT_EQ(exits, (std::vector<bool>{false, true, true, false, true, false, false}));
}

// ---------------------------------------------------------------------------

TEST(FrameIds, EntryAndExitPairs) {
  vesh::FrameIds ids;
  FrameId call = ids.get_or_set(vesh::kEventCall, 1);
  EXPECT_EQ(ids.get_or_set(vesh::kEventReturn, 1), call);
  EXPECT_EQ(ids.get_option(1), call);
  FrameId again = ids.get_or_set(vesh::kEventCall, 1);
  EXPECT_NE(again, call);
  // Resume and throw are entries too: each gets a new id.
  FrameId resumed = ids.get_or_set(vesh::kEventResume, 1);
  EXPECT_NE(resumed, again);
  EXPECT_EQ(ids.get_or_set(vesh::kEventYield, 1), resumed);
  FrameId thrown = ids.get_or_set(vesh::kEventThrow, 1);
  EXPECT_NE(thrown, resumed);
  EXPECT_EQ(ids.get_or_set(vesh::kEventUnwind, 1), thrown);
}

TEST(FrameIds, ExitWithoutEntryIsFreshAndUnstored) {
  vesh::FrameIds ids;
  FrameId a = ids.get_or_set(vesh::kEventReturn, 7);
  FrameId b = ids.get_or_set(vesh::kEventReturn, 7);
  EXPECT_NE(a, b);
  EXPECT_FALSE(ids.get_option(7));
  EXPECT_EQ(ids.size(), 0u);
}

TEST(FrameIds, Abandon) {
  vesh::FrameIds ids;
  ids.get_or_set(vesh::kEventCall, 3);
  ids.abandon(3, true);
  EXPECT_FALSE(ids.get_option(3));
  EXPECT_TRUE(ids.is_abandoned(3));
  ids.get_or_set(vesh::kEventResume, 3);
  EXPECT_FALSE(ids.is_abandoned(3));

  ids.abandon(4, false);  // no id, not remembered: nothing changes
  EXPECT_FALSE(ids.is_abandoned(4));
  EXPECT_EQ(ids.size(), 1u);

  ids.abandon(5, true);  // remembered even without an id
  EXPECT_TRUE(ids.take_abandoned(5));
  EXPECT_FALSE(ids.take_abandoned(5));
}

// ---------------------------------------------------------------------------

class CallFramesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ns_ = run_python(
        "import sys\n"
        "def grab():\n"
        "    return sys._getframe()\n"
        "frames = [grab() for _ in range(4)]\n"
        "line = frames[0].f_lineno\n");
    ASSERT_TRUE(ns_);
    PyObject* frames = item(ns_, "frames");
    for (int i = 0; i < 4; ++i) frames_[i] = PyList_GET_ITEM(frames, i);
    line_ = static_cast<std::int32_t>(PyLong_AsLong(item(ns_, "line")));
  }

  // Runs one event; answers the call site's frame id (or "none").
  std::string event(PyObject* frame, std::uint8_t kind, const FrameId& id) {
    std::optional<vesh::UserCodeCallSite> site;
    EXPECT_TRUE(stack_.get_user_code_call_site(frame, kind, id, nullptr, site)) << take_error_text();
    if (!site) return "none";
    EXPECT_EQ(site->line_number, line_);
    return site->call_frame_id.to_string();
  }

  std::vector<std::string> stack_ids() const {
    std::vector<std::string> out;
    for (const auto& bound : stack_.get_bound()) out.push_back(bound.frame_id.to_string());
    return out;
  }

  Ref ns_;
  PyObject* frames_[4];
  std::int32_t line_ = 0;
  vesh::CallFrames stack_;
};

TEST_F(CallFramesTest, NestedCalls) {
  FrameId f1 = FrameId::fresh(), f2 = FrameId::fresh(), f3 = FrameId::fresh();
  EXPECT_EQ(event(frames_[0], vesh::kEventCall, f1), "none");
  EXPECT_EQ(event(frames_[1], vesh::kEventCall, f2), f1.to_string());
  EXPECT_EQ(event(frames_[2], vesh::kEventCall, f3), f2.to_string());
  EXPECT_EQ(stack_ids(), (std::vector<std::string>{f1.to_string(), f2.to_string(), f3.to_string()}));
  EXPECT_EQ(event(frames_[2], vesh::kEventReturn, f3), f2.to_string());
  EXPECT_EQ(event(frames_[1], vesh::kEventReturn, f2), f1.to_string());
  EXPECT_EQ(event(frames_[0], vesh::kEventReturn, f1), "none");
  EXPECT_EQ(stack_.size(), 0u);
}

TEST_F(CallFramesTest, ExitPopsEverythingAboveItsEntry) {
  FrameId f1 = FrameId::fresh(), f2 = FrameId::fresh(), f3 = FrameId::fresh();
  event(frames_[0], vesh::kEventCall, f1);
  event(frames_[1], vesh::kEventCall, f2);
  event(frames_[2], vesh::kEventCall, f3);
  // F2 unwinds while F3 never reported its exit: F3 goes with it.
  EXPECT_EQ(event(frames_[1], vesh::kEventUnwind, f2), f3.to_string());
  EXPECT_EQ(stack_ids(), (std::vector<std::string>{f1.to_string()}));
  // An exit whose id is not on the stack leaves it alone.
  EXPECT_EQ(event(frames_[3], vesh::kEventReturn, FrameId::fresh()), f1.to_string());
  EXPECT_EQ(stack_.size(), 1u);
}

TEST_F(CallFramesTest, GeneratorSuspendAndResume) {
  FrameId outer = FrameId::fresh(), first = FrameId::fresh(), second = FrameId::fresh();
  event(frames_[0], vesh::kEventCall, outer);
  EXPECT_EQ(event(frames_[1], vesh::kEventCall, first), outer.to_string());
  EXPECT_EQ(event(frames_[1], vesh::kEventYield, first), outer.to_string());
  EXPECT_EQ(stack_.size(), 1u);
  EXPECT_EQ(event(frames_[1], vesh::kEventResume, second), outer.to_string());
  EXPECT_EQ(event(frames_[1], vesh::kEventReturn, second), outer.to_string());
  EXPECT_EQ(stack_ids(), (std::vector<std::string>{outer.to_string()}));
}

TEST_F(CallFramesTest, RecursionAndRepeatedIds) {
  FrameId a = FrameId::fresh(), b = FrameId::fresh();
  event(frames_[0], vesh::kEventCall, a);
  EXPECT_EQ(event(frames_[1], vesh::kEventCall, b), a.to_string());
  // An entry carrying the top's own id finds the entry below.
  EXPECT_EQ(event(frames_[1], vesh::kEventResume, b), a.to_string());
  // Both top entries carry the event's id: no call site, the upper one pops.
  EXPECT_EQ(event(frames_[1], vesh::kEventReturn, b), "none");
  EXPECT_EQ(stack_ids(), (std::vector<std::string>{a.to_string(), b.to_string()}));
}

TEST_F(CallFramesTest, CallerThatIsNotAFrameFailsAndLeavesTheStack) {
  Ref not_frame = Ref::steal(PyLong_FromLong(5));
  FrameId a = FrameId::fresh();
  event(not_frame.get(), vesh::kEventCall, a);  // pushing needs no caller check
  std::optional<vesh::UserCodeCallSite> site;
  EXPECT_FALSE(stack_.get_user_code_call_site(frames_[0], vesh::kEventCall, FrameId::fresh(), nullptr, site));
  EXPECT_EQ(take_error_text(), "TypeError: 'int' object cannot be converted to 'PyFrame'");
  EXPECT_EQ(stack_.size(), 1u);
}

TEST_F(CallFramesTest, BoundHoldsNewReferences) {
  Ref code = Ref::steal(PyObject_GetAttrString(frames_[0], "f_code"));
  auto code_lines = vesh::CodeLines::of(code.get());
  std::optional<vesh::UserCodeCallSite> site;
  FrameId a = FrameId::fresh();
  ASSERT_TRUE(stack_.get_user_code_call_site(frames_[0], vesh::kEventCall, a, code_lines, site));
  EXPECT_EQ(stack_.entries()[0].code_lines, code_lines);
  Py_ssize_t before = Py_REFCNT(frames_[0]);
  auto bound = stack_.get_bound();
  ASSERT_EQ(bound.size(), 1u);
  EXPECT_EQ(bound[0].frame.get(), frames_[0]);
  EXPECT_EQ(Py_REFCNT(frames_[0]), before + 1);
}

// ---------------------------------------------------------------------------
// Qualified names

namespace {

struct QualnameCase {
  const char* name;
  const char* code;  // sets `frame`
  const char* expected;  // nullptr: no qualified name
};

class QualnameTable : public ::testing::TestWithParam<QualnameCase> {};

}  // namespace

TEST_P(QualnameTable, Text) {
  const QualnameCase& c = GetParam();
  Ref ns = run_python(c.code, "app.views");
  ASSERT_TRUE(ns);
  std::optional<std::string> qualname;
  ASSERT_TRUE(vesh::get_qualname(item(ns, "frame"), qualname)) << take_error_text();
  if (c.expected == nullptr) {
    EXPECT_FALSE(qualname);
  } else {
    ASSERT_TRUE(qualname);
    EXPECT_EQ(*qualname, c.expected);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Frames, QualnameTable,
    ::testing::Values(
        QualnameCase{"module_level", "import sys\nframe = sys._getframe()\n", "app.views.<module>"},
        QualnameCase{"method",
                     "import sys\n"
                     "class Order:\n"
                     "    def total(self):\n"
                     "        return sys._getframe()\n"
                     "frame = Order().total()\n",
                     "app.views.Order.total"},
        QualnameCase{"nested_function",
                     "import sys\n"
                     "def outer():\n"
                     "    def inner():\n"
                     "        return sys._getframe()\n"
                     "    return inner()\n"
                     "frame = outer()\n",
                     "app.views.outer.<locals>.inner"},
        QualnameCase{"globals_without_name",
                     "import sys\n"
                     "g = {'sys': sys}\n"
                     "exec('def f():\\n    return sys._getframe()\\n', g)\n"
                     "frame = g['f']()\n",
                     "<unknown>.f"},
        QualnameCase{"name_none",
                     "import sys\n"
                     "g = {'sys': sys, '__name__': None}\n"
                     "exec('def f():\\n    return sys._getframe()\\n', g)\n"
                     "frame = g['f']()\n",
                     "None.f"},
        QualnameCase{"name_int",
                     "import sys\n"
                     "g = {'sys': sys, '__name__': 12}\n"
                     "exec('def f():\\n    return sys._getframe()\\n', g)\n"
                     "frame = g['f']()\n",
                     "12.f"},
        QualnameCase{"dict_subclass_is_subscripted",
                     "import sys\n"
                     "class G(dict):\n"
                     "    def __getitem__(self, key):\n"
                     "        return 'via_getitem' if key == '__name__' else dict.__getitem__(self, key)\n"
                     "g = G(sys=sys, __name__='stored')\n"
                     "exec('import sys\\nframe = sys._getframe()\\n', g)\n"
                     "frame = dict.__getitem__(g, 'frame')\n",
                     "via_getitem.<module>"},
        QualnameCase{"dict_subclass_lookup_raises",
                     "import sys\n"
                     "class G(dict):\n"
                     "    def __getitem__(self, key):\n"
                     "        if key == '__name__':\n"
                     "            raise RuntimeError('no')\n"
                     "        return dict.__getitem__(self, key)\n"
                     "g = G(sys=sys, __name__='stored')\n"
                     "exec('import sys\\nframe = sys._getframe()\\n', g)\n"
                     "frame = dict.__getitem__(g, 'frame')\n",
                     "<unknown>.<module>"},
        QualnameCase{"surrogate_module_name_is_lossy",
                     "import sys\n"
                     "g = {'sys': sys, '__name__': 'caf\\udce9'}\n"
                     "exec('def f():\\n    return sys._getframe()\\n', g)\n"
                     "frame = g['f']()\n",
                     "caf\xef\xbf\xbd.f"},
        // Objects posing as frames: any mapping as globals; code without
        // co_qualname.
        QualnameCase{"mapping_globals",
                     "import sys, types\n"
                     "class M:\n"
                     "    def __getitem__(self, key):\n"
                     "        return 'mapped'\n"
                     "frame = types.SimpleNamespace(f_code=sys._getframe().f_code, f_globals=M())\n",
                     "mapped.<module>"},
        QualnameCase{"code_without_qualname_module",
                     "import types\n"
                     "frame = types.SimpleNamespace(f_code=types.SimpleNamespace(co_name='<module>'),\n"
                     "                              f_globals={'__name__': 'm'})\n",
                     "m.<module>"},
        QualnameCase{"code_without_qualname_function",
                     "import types\n"
                     "frame = types.SimpleNamespace(f_code=types.SimpleNamespace(co_name='f'),\n"
                     "                              f_globals={'__name__': 'm'})\n",
                     nullptr}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Qualname, UnprintableModuleNameGoesToTheUnraisableHook) {
  Ref ns = run_python(
      "import sys\n"
      "class Bad:\n"
      "    def __str__(self):\n"
      "        raise ValueError('no str')\n"
      "seen = []\n"
      "old_hook = sys.unraisablehook\n"
      "sys.unraisablehook = lambda u: seen.append(type(u.exc_value).__name__)\n"
      "g = {'sys': sys, '__name__': Bad()}\n"
      "exec('def f():\\n    return sys._getframe()\\n', g)\n"
      "frame = g['f']()\n");
  ASSERT_TRUE(ns);
  std::optional<std::string> qualname;
  ASSERT_TRUE(vesh::get_qualname(item(ns, "frame"), qualname));
  EXPECT_EQ(qualname, "<unprintable Bad object>.f");
  EXPECT_FALSE(PyErr_Occurred());
  Ref restore = run_python("import sys\nsys.unraisablehook = sys.__unraisablehook__\n");
  PyObject* seen = item(ns, "seen");
  ASSERT_EQ(PyList_GET_SIZE(seen), 1);
  EXPECT_STREQ(PyUnicode_AsUTF8(PyList_GET_ITEM(seen, 0)), "ValueError");
}

TEST(Qualname, Errors) {
  struct Case {
    const char* code;
    const char* error;
  };
  const Case cases[] = {
      {"frame = object()\n", "AttributeError: 'object' object has no attribute 'f_code'"},
      {"import types\n"
       "class Code:\n"
       "    @property\n"
       "    def co_qualname(self):\n"
       "        raise RuntimeError('broken')\n"
       "frame = types.SimpleNamespace(f_code=Code(), f_globals={})\n",
       "RuntimeError: broken"},
      {"import types\n"
       "frame = types.SimpleNamespace(f_code=types.SimpleNamespace(co_name=3), f_globals={})\n",
       "TypeError: 'int' object cannot be converted to 'PyString'"},
      {"import sys, types\nframe = types.SimpleNamespace(f_code=sys._getframe().f_code)\n",
       "AttributeError: 'types.SimpleNamespace' object has no attribute 'f_globals'"},
  };
  for (const Case& c : cases) {
    Ref ns = run_python(c.code);
    ASSERT_TRUE(ns);
    std::optional<std::string> qualname;
    EXPECT_FALSE(vesh::get_qualname(item(ns, "frame"), qualname)) << c.code;
    EXPECT_EQ(take_error_text(), c.error);
  }
}

TEST(Qualname, ModuleNameFromGlobals) {
  Ref ns = run_python(
      "class Raising(dict):\n"
      "    def __getitem__(self, key):\n"
      "        raise KeyError(key)\n"
      "plain = {'__name__': 'pkg.mod'}\n"
      "empty = {}\n"
      "raising = Raising(__name__='hidden')\n"
      "not_mapping = 5\n");
  ASSERT_TRUE(ns);
  auto text = [&](const char* name) {
    Ref module = vesh::module_name_from_globals(item(ns, name));
    EXPECT_FALSE(PyErr_Occurred());
    return vesh::object_text(module.get());
  };
  EXPECT_EQ(text("plain"), "pkg.mod");
  EXPECT_EQ(text("empty"), "<unknown>");
  EXPECT_EQ(text("raising"), "<unknown>");
  EXPECT_EQ(text("not_mapping"), "<unknown>");
}
