// The idle filter's answers and counts, the comparison behind the restart
// decision, the idle-monitor registry and callback registration.
#include "monitor/idle_monitor.h"
#include "plugins/plugins.h"
#include "py/error.h"
#include "py/ref.h"
#include "python_helpers.h"
#include "foundation/thread_hooks.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

using vesh::Finder;
using vesh::Finders;
using vesh::plugins::PluginMap;
using vesh::monitor::IdleFilter;
using vesh::py::Ref;

namespace {

Finders finders(const std::vector<std::string>& needles) {
  std::vector<Finder> out;
  for (const std::string& needle : needles) out.emplace_back(needle);
  return Finders(std::move(out));
}

// Loads a plugin map from `entries`, a Python list expression of
// (co_names, path_fragment) pairs.
PluginMap plugins(const std::string& entries) {
  std::string python_dir = (vesh::testing::source_root() / "python");
  vesh::testing::run("import sys\n"
                     "if '" + python_dir + "' not in sys.path: sys.path.insert(0, '" + python_dir + "')\n"
                     "import vesh.plugins\n"
                     "vesh.plugins.PLUGINS[:] = [dict(co_names=n, path_fragment=p, call_type='c', return_type='r')\n"
                     "                           for n, p in " + entries + "]\n");
  std::optional<PluginMap> map = vesh::plugins::load_plugins(vesh::testing::eval("{}").get());
  vesh::testing::run("vesh.plugins.PLUGINS.clear()");
  if (!map) {
    PyErr_Print();
    ADD_FAILURE() << "plugins did not load: " << entries;
    return {};
  }
  return std::move(*map);
}

Ref disable_object() { return vesh::testing::eval("__import__('sys').monitoring.DISABLE"); }

std::shared_ptr<IdleFilter> make_filter(const std::vector<std::string>& include = {},
                                        const std::vector<std::string>& ignore = {},
                                        const std::string& plugin_entries = "[]") {
  return std::make_shared<IdleFilter>(finders(include), finders(ignore), plugins(plugin_entries), disable_object());
}

// A code object named `name` whose co_filename is `filename`.
Ref code(const std::string& filename, const std::string& name = "f") {
  return vesh::testing::eval("compile('def " + name + "(): pass', " + "'" + filename +
                             "', 'exec').co_consts[0]");
}

enum class Answer { None, Disable };

Answer ask(IdleFilter& filter, PyObject* code) {
  Ref answer = filter.idle_event(code);
  EXPECT_FALSE(PyErr_Occurred());
  EXPECT_TRUE(answer.get() == Py_None || answer.get() == filter.disable());
  return answer.get() == Py_None ? Answer::None : Answer::Disable;
}

// Sets the calling thread's hook state bits for the guard's life.
class HookBits {
 public:
  explicit HookBits(std::uint8_t bits) : saved_(vesh::hooks::STATE) { vesh::hooks::STATE |= bits; }
  ~HookBits() { vesh::hooks::STATE = saved_; }

 private:
  std::uint8_t saved_;
};

}  // namespace

TEST(IdleFilter, RecordableCodeIsDisabledFromItsSixtyFifthCountedEvent) {
  auto filter = make_filter();
  Ref f = code("/app/user.py");
  for (int i = 1; i <= 64; ++i) {
    ASSERT_EQ(ask(*filter, f.get()), Answer::None) << "event " << i;
    ASSERT_FALSE(filter->disabled_recordable()) << "event " << i;
  }
  EXPECT_EQ(ask(*filter, f.get()), Answer::Disable);
  EXPECT_TRUE(filter->disabled_recordable());
  EXPECT_EQ(ask(*filter, f.get()), Answer::Disable);
  EXPECT_EQ(filter->counted_codes(), 1u);
  // The next session's read clears the flag; the count stays.
  EXPECT_TRUE(filter->take_disabled_recordable());
  EXPECT_FALSE(filter->take_disabled_recordable());
  EXPECT_EQ(ask(*filter, f.get()), Answer::Disable);
  EXPECT_TRUE(filter->disabled_recordable());
}

TEST(IdleFilter, BusyThreadsAreNeverCounted) {
  for (std::uint8_t bits : {vesh::hooks::kWorker, vesh::hooks::kSuspended}) {
    SCOPED_TRACE(int(bits));
    auto filter = make_filter();
    Ref counted = code("/app/counted.py");
    for (int i = 0; i < 64; ++i) ASSERT_EQ(ask(*filter, counted.get()), Answer::None);
    Ref fresh = code("/app/fresh.py");
    Ref library = code("/usr/lib/python3.12/json/decoder.py");
    {
      HookBits busy(bits);
      for (int i = 0; i < 100; ++i) ASSERT_EQ(ask(*filter, counted.get()), Answer::None);
      EXPECT_EQ(ask(*filter, fresh.get()), Answer::None);
      // Code no session records is disabled whoever runs it.
      EXPECT_EQ(ask(*filter, library.get()), Answer::Disable);
    }
    EXPECT_FALSE(filter->disabled_recordable());
    EXPECT_EQ(filter->counted_codes(), 1u);
    // The busy events left the count at 64: the next counted one disables.
    EXPECT_EQ(ask(*filter, counted.get()), Answer::Disable);
    EXPECT_TRUE(filter->disabled_recordable());
  }
}

TEST(IdleFilter, TableCapDisablesNewRecordableCodeAtOnce) {
  auto filter = make_filter();
  vesh::testing::run("_idle_codes = [compile('pass', f'/app/m{i}.py', 'exec') for i in range(4097)]");
  Ref codes = vesh::testing::eval("_idle_codes");
  for (Py_ssize_t i = 0; i < 4096; ++i) ASSERT_EQ(ask(*filter, PyList_GET_ITEM(codes.get(), i)), Answer::None);
  EXPECT_EQ(filter->counted_codes(), 4096u);
  EXPECT_FALSE(filter->disabled_recordable());

  PyObject* extra = PyList_GET_ITEM(codes.get(), 4096);
  {
    // A busy thread stores nothing, so it is not refused either.
    HookBits busy(vesh::hooks::kWorker);
    EXPECT_EQ(ask(*filter, extra), Answer::None);
    EXPECT_FALSE(filter->disabled_recordable());
  }
  EXPECT_EQ(ask(*filter, extra), Answer::Disable);
  EXPECT_TRUE(filter->disabled_recordable());
  EXPECT_EQ(filter->counted_codes(), 4096u);
  // Stored code objects go on counting from where they were.
  EXPECT_TRUE(filter->take_disabled_recordable());
  PyObject* first = PyList_GET_ITEM(codes.get(), 0);
  for (int i = 2; i <= 64; ++i) ASSERT_EQ(ask(*filter, first), Answer::None);
  EXPECT_EQ(ask(*filter, first), Answer::Disable);
  vesh::testing::run("del _idle_codes");
}

TEST(IdleFilter, VerdictTable) {
  struct Case {
    const char* name;
    std::vector<std::string> include;
    std::vector<std::string> ignore;
    const char* plugins;
    const char* filename;
    const char* co_name;
    bool recordable;
  };
  const Case cases[] = {
      {"user code", {}, {}, "[]", "/app/user.py", "f", true},
      {"empty file name", {}, {"/app"}, "[]", "", "f", true},
      {"library", {}, {}, "[]", "/usr/lib/python3.12/json/decoder.py", "f", false},
      {"site-packages", {}, {}, "[]", "/venv/site-packages/lib.py", "f", false},
      {"frozen", {}, {}, "[]", "<frozen importlib._bootstrap>", "f", false},
      {"exec string", {}, {}, "[]", "<string>", "f", false},
      {"ignored", {}, {"/app/skip"}, "[]", "/app/skip/me.py", "f", false},
      {"include beats defaults", {"json/"}, {}, "[]", "/usr/lib/python3.12/json/decoder.py", "f", true},
      {"include beats ignore", {"me.py"}, {"/app/skip"}, "[]", "/app/skip/me.py", "f", true},
      {"plugin fragment", {}, {}, "[(['get'], 'django/')]", "/venv/site-packages/django/views.py", "get", true},
      {"plugin fragment, other code name", {}, {}, "[(['get'], 'django/')]",
       "/venv/site-packages/django/views.py", "post", false},
      {"plugin, fragment elsewhere", {}, {}, "[(['get'], 'flask/')]", "/venv/site-packages/django/views.py", "get",
       false},
      {"plugin, any of its fragments", {}, {}, "[(['get'], 'flask/'), (['get'], 'views')]",
       "/venv/site-packages/django/views.py", "get", true},
      {"plugin fragment longer than the name", {}, {}, "[(['get'], '/a/very/long/fragment/indeed/')]",
       "/site-packages/x.py", "get", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto filter = make_filter(c.include, c.ignore, c.plugins);
    Ref f = code(c.filename, c.co_name);
    bool verdict = !c.recordable;
    ASSERT_TRUE(filter->session_may_record(f.get(), verdict));
    EXPECT_EQ(verdict, c.recordable);
    EXPECT_EQ(ask(*filter, f.get()), c.recordable ? Answer::None : Answer::Disable);
    // Disabling excluded code is not a loss a later session must undo.
    EXPECT_FALSE(filter->disabled_recordable());
    EXPECT_EQ(filter->counted_codes(), c.recordable ? 1u : 0u);
  }
}

TEST(IdleFilter, UnreadableCodeIsAnsweredNoneAndNeverStored) {
  vesh::testing::run(
      "class _NotStrName:\n"
      "    co_filename = 1\n"
      "class _Raising:\n"
      "    @property\n"
      "    def co_filename(self): raise RuntimeError('boom')\n"
      "class _BadCoName:\n"
      "    co_filename = '/venv/site-packages/django/views.py'\n"
      "    co_name = b'get'\n");
  auto filter = make_filter({}, {}, "[(['get'], 'django/')]");
  for (const char* expr : {"_NotStrName()", "_Raising()", "_BadCoName()"}) {
    SCOPED_TRACE(expr);
    Ref odd = vesh::testing::eval(expr);
    bool verdict = false;
    EXPECT_FALSE(filter->session_may_record(odd.get(), verdict));
    EXPECT_TRUE(PyErr_Occurred());
    PyErr_Clear();
    for (int i = 0; i < 70; ++i) ASSERT_EQ(ask(*filter, odd.get()), Answer::None);
    EXPECT_FALSE(filter->disabled_recordable());
    EXPECT_EQ(filter->counted_codes(), 0u);
  }
}

TEST(IdleFilter, CoNameIsReadOnlyWhenPluginsMightRecord) {
  // Filters decide on the file name alone; co_name is only asked for when a
  // plugin could still claim the code.
  vesh::testing::run(
      "class _NoCoName:\n"
      "    def __init__(self, filename): self.co_filename = filename\n");
  auto without_plugins = make_filter();
  auto with_plugins = make_filter({}, {}, "[(['get'], 'django/')]");
  Ref excluded = vesh::testing::eval("_NoCoName('/venv/site-packages/x.py')");
  Ref included = vesh::testing::eval("_NoCoName('/app/x.py')");
  bool verdict = true;
  EXPECT_TRUE(without_plugins->session_may_record(excluded.get(), verdict));
  EXPECT_FALSE(verdict);
  EXPECT_TRUE(with_plugins->session_may_record(included.get(), verdict));
  EXPECT_TRUE(verdict);
  EXPECT_FALSE(with_plugins->session_may_record(excluded.get(), verdict));
  EXPECT_TRUE(PyErr_ExceptionMatches(PyExc_AttributeError));
  PyErr_Clear();
}

TEST(IdleFilter, SameFilters) {
  struct Case {
    const char* name;
    std::vector<std::string> include_a, ignore_a;
    const char* plugins_a;
    std::vector<std::string> include_b, ignore_b;
    const char* plugins_b;
    bool same;
  };
  const Case cases[] = {
      {"both empty", {}, {}, "[]", {}, {}, "[]", true},
      {"same lists", {"a", "b"}, {"c"}, "[]", {"a", "b"}, {"c"}, "[]", true},
      {"include order", {"a", "b"}, {}, "[]", {"b", "a"}, {}, "[]", false},
      {"include count", {"a"}, {}, "[]", {"a", "a"}, {}, "[]", false},
      {"include bytes", {"a"}, {}, "[]", {"A"}, {}, "[]", false},
      {"ignore differs", {}, {"x"}, "[]", {}, {"y"}, "[]", false},
      {"include is not ignore", {"x"}, {}, "[]", {}, {"x"}, "[]", false},
      {"plugin table order", {}, {}, "[(['f'], 'p'), (['g'], 'q')]", {}, {}, "[(['g'], 'q'), (['f'], 'p')]", true},
      {"plugin names", {}, {}, "[(['f'], 'p')]", {}, {}, "[(['g'], 'p')]", false},
      {"plugin name count", {}, {}, "[(['f'], 'p')]", {}, {}, "[(['f', 'g'], 'p')]", false},
      {"fragment order", {}, {}, "[(['f'], 'p'), (['f'], 'q')]", {}, {}, "[(['f'], 'q'), (['f'], 'p')]", false},
      {"duplicate fragments count", {}, {}, "[(['f'], 'p'), (['f'], 'p')]", {}, {}, "[(['f'], 'p')]", false},
      {"fragment bytes", {}, {}, "[(['f'], 'p')]", {}, {}, "[(['f'], 'P')]", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto a = make_filter(c.include_a, c.ignore_a, c.plugins_a);
    auto b = make_filter(c.include_b, c.ignore_b, c.plugins_b);
    EXPECT_EQ(a->same_filters(*b), c.same);
    EXPECT_EQ(b->same_filters(*a), c.same);
    EXPECT_TRUE(a->same_filters(*a));
  }
}

TEST(IdleMonitorRegistry, SetTakeAndReplace) {
  using namespace vesh::monitor;
  ASSERT_FALSE(take_idle_monitor());
  auto filter = make_filter();
  Ref first = make_idle_monitor(filter);
  Ref second = make_idle_monitor(filter);
  ASSERT_TRUE(first && second);
  EXPECT_EQ(idle_monitor_filter(first.get()), filter);

  EXPECT_FALSE(tool_is_idle());
  set_idle_monitor(first.clone());
  EXPECT_TRUE(tool_is_idle());
  Py_ssize_t before = Py_REFCNT(first.get());
  set_idle_monitor(second.clone());
  // The replaced monitor's reference was released.
  EXPECT_EQ(Py_REFCNT(first.get()), before - 1);
  EXPECT_TRUE(tool_is_idle());

  Ref taken = take_idle_monitor();
  EXPECT_EQ(taken.get(), second.get());
  EXPECT_FALSE(tool_is_idle());
  EXPECT_FALSE(take_idle_monitor());

  set_idle_monitor(first.clone());
  set_idle_monitor(Ref());
  EXPECT_FALSE(tool_is_idle());
}

namespace {

// Replaces sys.monitoring with a recorder of calls for the guard's life.
// Each call is noted as text ("register_callback 3 PY_START monitor_pystart");
// calls whose text starts with an entry of `_fail` raise ValueError.
class FakeMonitoring {
 public:
  explicit FakeMonitoring(const std::string& fail = "") {
    vesh::testing::run("import sys, types\n"
                       "_real_monitoring = sys.monitoring\n"
                       "_calls = []\n"
                       "_fail = [" + fail + "]\n"
                       "def _recorder(name):\n"
                       "    def call(*args):\n"
                       "        text = ' '.join([name] + [str(getattr(a, '__name__', a)) for a in args])\n"
                       "        _calls.append(text)\n"
                       "        if any(text.startswith(f) for f in _fail):\n"
                       "            raise ValueError('refused ' + text)\n"
                       "    return call\n"
                       "sys.monitoring = types.SimpleNamespace(\n"
                       "    events=types.SimpleNamespace(**{e: e for e in\n"
                       "        ['PY_START', 'PY_RETURN', 'PY_UNWIND', 'PY_RESUME', 'PY_YIELD', 'PY_THROW',\n"
                       "         'INSTRUCTION']}),\n"
                       "    **{n: _recorder(n) for n in\n"
                       "       ['register_callback', 'set_events', 'free_tool_id', 'restart_events']})\n");
  }
  ~FakeMonitoring() { vesh::testing::run("sys.monitoring = _real_monitoring"); }

  std::vector<std::string> calls() {
    Ref list = vesh::testing::eval("_calls");
    std::vector<std::string> out;
    for (Py_ssize_t i = 0; list && i < PyList_GET_SIZE(list.get()); ++i) {
      out.emplace_back(PyUnicode_AsUTF8(PyList_GET_ITEM(list.get(), i)));
    }
    return out;
  }
};

std::vector<std::string> registrations(const std::vector<std::string>& callbacks) {
  const char* events[] = {"PY_START", "PY_RETURN", "PY_UNWIND", "PY_RESUME", "PY_YIELD", "PY_THROW", "INSTRUCTION"};
  std::vector<std::string> out;
  for (std::size_t i = 0; i < callbacks.size(); ++i) {
    out.push_back(std::string("register_callback 3 ") + events[i] + " " + callbacks[i]);
  }
  return out;
}

}  // namespace

TEST(RegisterCallbacks, IdleMonitorLeavesUnwindThrowAndInstructionWithoutCallback) {
  Ref idle = vesh::monitor::make_idle_monitor(make_filter());
  FakeMonitoring fake;
  ASSERT_TRUE(vesh::monitor::register_callbacks(idle.get(), 3));
  EXPECT_EQ(fake.calls(), registrations({"monitor_pystart", "monitor_pyreturn", "None", "monitor_pyresume",
                                         "monitor_pyyield", "None", "None"}));
}

TEST(RegisterCallbacks, TargetWithoutMethodsClearsAll) {
  FakeMonitoring fake;
  Ref target = vesh::testing::eval("object()");
  ASSERT_TRUE(vesh::monitor::register_callbacks(target.get(), 3));
  EXPECT_EQ(fake.calls(), registrations({"None", "None", "None", "None", "None", "None", "None"}));
}

TEST(RegisterCallbacks, FirstFailureStopsAndKeepsEarlierRows) {
  {
    Ref idle = vesh::monitor::make_idle_monitor(make_filter());
    FakeMonitoring fake("'register_callback 3 PY_RESUME'");
    EXPECT_FALSE(vesh::monitor::register_callbacks(idle.get(), 3));
    EXPECT_EQ(vesh::testing::take_error(PyExc_ValueError), "refused register_callback 3 PY_RESUME monitor_pyresume");
    EXPECT_EQ(fake.calls(), registrations({"monitor_pystart", "monitor_pyreturn", "None", "monitor_pyresume"}));
  }
  {
    // Only AttributeError means "no such callback".
    FakeMonitoring fake;
    vesh::testing::run(
        "class _Broken:\n"
        "    def monitor_pystart(self, code, offset): pass\n"
        "    @property\n"
        "    def monitor_pyreturn(self): raise KeyError('broken')\n");
    Ref target = vesh::testing::eval("_Broken()");
    EXPECT_FALSE(vesh::monitor::register_callbacks(target.get(), 3));
    vesh::testing::take_error(PyExc_KeyError);
    EXPECT_EQ(fake.calls(), registrations({"monitor_pystart"}));
  }
}

TEST(TearDownTool, StepsAndIgnoredFailures) {
  const std::vector<std::string> clear_all =
      registrations({"None", "None", "None", "None", "None", "None", "None"});
  auto with = [](std::vector<std::string> head, const std::vector<std::string>& middle,
                 std::vector<std::string> tail) {
    head.insert(head.end(), middle.begin(), middle.end());
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
  };
  struct Case {
    const char* name;
    const char* fail;
    std::vector<std::string> calls;
  };
  const Case cases[] = {
      {"all succeed", "", with({"set_events 3 0"}, clear_all, {"free_tool_id 3", "restart_events"})},
      {"set_events fails", "'set_events'", with({"set_events 3 0"}, clear_all, {"free_tool_id 3", "restart_events"})},
      // One callback that may still be in place keeps the tool claimed, but
      // events are restarted all the same.
      {"one clear fails", "'register_callback 3 PY_RETURN'", with({"set_events 3 0"}, clear_all, {"restart_events"})},
      {"everything fails", "''", with({"set_events 3 0"}, clear_all, {"restart_events"})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeMonitoring fake(c.fail);
    // The error that started the teardown survives it.
    PyErr_SetString(PyExc_OSError, "first");
    vesh::monitor::tear_down_tool(3);
    EXPECT_EQ(vesh::testing::take_error(PyExc_OSError), "first");
    EXPECT_EQ(fake.calls(), c.calls);
  }
}

TEST(TearDownTool, WithoutEventsOnlyRestarts) {
  FakeMonitoring fake;
  vesh::testing::run("del sys.monitoring.events");
  vesh::monitor::tear_down_tool(3);
  EXPECT_FALSE(PyErr_Occurred());
  EXPECT_EQ(fake.calls(), (std::vector<std::string>{"set_events 3 0", "restart_events"}));
}

TEST(RestartNeeded, FlagsAreAlwaysBothClearedAndFiltersCompared) {
  using vesh::monitor::restart_needed;
  auto own = make_filter({"a"});
  auto same = make_filter({"a"});
  auto other = make_filter({"b"});
  struct Case {
    const char* name;
    IdleFilter* idle;
    bool idle_flag;
    bool own_flag;
    bool restart;
  };
  const Case cases[] = {
      {"own idle callbacks, no flag", own.get(), false, false, false},
      {"own idle callbacks, flag set", own.get(), true, true, true},
      {"equal filters, no flag", same.get(), false, false, false},
      {"equal filters, idle flag", same.get(), true, false, true},
      {"equal filters, own flag", same.get(), false, true, true},
      {"different filters", other.get(), false, false, true},
      {"different filters and both flags", other.get(), true, true, true},
  };
  Ref recordable = code("/app/user.py");
  auto set_flag = [&](IdleFilter& filter) {
    while (!filter.disabled_recordable()) filter.idle_event(recordable.get());
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.idle_flag) set_flag(*c.idle);
    if (c.own_flag) set_flag(*own);
    EXPECT_EQ(restart_needed(*c.idle, *own), c.restart);
    EXPECT_FALSE(c.idle->disabled_recordable());
    EXPECT_FALSE(own->disabled_recordable());
  }
}
