// Plugin loading: entries from vesh.plugins become processors in the plugin
// map, with their defaults, their failures and the Python side's faults.
#include "plugins/plugins.h"
#include "py/error.h"
#include "py/fault.h"
#include "py/ref.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

using vesh::plugins::PluginMap;
using vesh::plugins::PluginProcessor;
using vesh::py::Ref;

namespace {

// Runs `code` with `vesh.plugins` imported as `plugins`, in the namespace
// `ns` (a fresh one when null). Returns the namespace.
Ref run(const char* code, Ref ns = {}) {
  if (!ns) {
    ns = Ref::steal(PyDict_New());
    PyDict_SetItemString(ns.get(), "__builtins__", PyEval_GetBuiltins());
  }
  Ref result = Ref::steal(PyRun_String(code, Py_file_input, ns.get(), ns.get()));
  if (!result) PyErr_Print();
  EXPECT_TRUE(result) << code;
  return ns;
}

class LoadPlugins : public ::testing::Test {
 protected:
  void SetUp() override {
    ns_ = run("import sys\n"
              "import vesh.plugins as plugins\n"
              "original_loader = plugins.load_plugin_data\n"
              "plugins.PLUGINS.clear()\n"
              "config = {}\n");
  }
  void TearDown() override {
    run("plugins.PLUGINS.clear()\n"
        "plugins.load_plugin_data = original_loader\n"
        "sys.modules['vesh.plugins'] = plugins\n",
        ns_.clone());
  }

  // Registers entries (a Python expression evaluated in the namespace) and loads.
  std::optional<PluginMap> load(const char* setup) {
    run(setup, ns_.clone());
    return vesh::plugins::load_plugins(PyDict_GetItemString(ns_.get(), "config"));
  }

  // Loads and expects the load to fail with `type` and `message`.
  void expect_error(const char* setup, PyObject* type, const char* message) {
    std::optional<PluginMap> map = load(setup);
    ASSERT_FALSE(map) << setup;
    EXPECT_TRUE(PyErr_ExceptionMatches(type)) << setup;
    EXPECT_EQ(vesh::py::PyError::fetch().message(), message) << setup;
  }

  // Loads and expects an internal fault whose text begins with `prefix`.
  void expect_fault(const char* setup, const std::string& prefix) {
    try {
      load(setup);
      ADD_FAILURE() << "no fault for " << setup;
    } catch (const vesh::Fault& fault) {
      EXPECT_TRUE(std::string(fault.what()).starts_with(prefix)) << fault.what();
    }
    EXPECT_FALSE(PyErr_Occurred());
    PyErr_Clear();
  }

  PyObject* get(const char* name) { return PyDict_GetItemString(ns_.get(), name); }

  Ref ns_;
};

std::vector<std::string> types_of(const PluginProcessor& p) {
  std::vector<std::string> out;
  for (std::uint8_t kind = 0; kind < 6; ++kind) out.push_back(p.type_for(kind));
  return out;
}

std::vector<std::string> call_types(const vesh::plugins::PluginList& list) {
  std::vector<std::string> out;
  for (const auto& p : list) out.push_back(p->call_type);
  return out;
}

}  // namespace

TEST_F(LoadPlugins, NoneByDefault) {
  std::optional<PluginMap> map = load("");
  ASSERT_TRUE(map);
  EXPECT_TRUE(map->empty());
  EXPECT_EQ(map->find("anything"), nullptr);
}

TEST_F(LoadPlugins, BudgetCheckedEvenWithoutEntries) {
  expect_error("config = {'max_value_mb': -1}", PyExc_ValueError,
               "max_value_mb must be a non-negative number or false");
}

TEST_F(LoadPlugins, BudgetSharedByEveryProcessor) {
  struct Case {
    const char* config;
    std::optional<std::uint64_t> bytes;
  };
  const Case cases[] = {{"config = {}", 64ull << 20}, {"config = {'max_value_mb': 1}", 1ull << 20},
                        {"config = {'max_value_mb': None}", std::nullopt}, {"config = {'max_value_mb': 0}", 0}};
  for (const Case& c : cases) {
    run(c.config, ns_.clone());
    std::optional<PluginMap> map =
        load("plugins.PLUGINS[:] = [dict(co_names=['f', 'g'], path_fragment='', call_type='c', return_type='r')]");
    ASSERT_TRUE(map);
    for (const char* name : {"f", "g"}) EXPECT_EQ(map->find(name)->front()->max_value_bytes, c.bytes) << c.config;
  }
}

TEST_F(LoadPlugins, TypeDefaults) {
  struct Case {
    const char* extra;
    std::vector<std::string> types;  // call, return, unwind, resume, yield, throw
  };
  const Case cases[] = {
      {"", {"C", "R", "R", "C", "R", "R"}},
      {"unwind_type='U'", {"C", "R", "U", "C", "R", "U"}},
      {"unwind_type='U', throw_type='T'", {"C", "R", "U", "C", "R", "T"}},
      {"resume_type='S', yield_type='Y'", {"C", "R", "R", "S", "Y", "R"}},
      {"unwind_type='U', resume_type='S', yield_type='Y', throw_type='T'", {"C", "R", "U", "S", "Y", "T"}},
  };
  for (const Case& c : cases) {
    std::string setup = std::string("plugins.PLUGINS[:] = [dict(co_names=['f'], path_fragment='p', "
                                    "call_type='C', return_type='R', ") +
                        c.extra + ")]";
    std::optional<PluginMap> map = load(setup.c_str());
    ASSERT_TRUE(map) << c.extra;
    const PluginProcessor& p = *map->find("f")->front();
    EXPECT_EQ(types_of(p), c.types) << c.extra;
    EXPECT_FALSE(p.subtype);
    EXPECT_FALSE(p.call_fn);
    EXPECT_FALSE(p.process_fn);
    EXPECT_FALSE(p.events);
  }
}

TEST_F(LoadPlugins, OptionalValues) {
  std::optional<PluginMap> map = load(
      "def call(*a): return True\n"
      "def process(*a): return {}\n"
      "plugins.PLUGINS[:] = [\n"
      "    dict(co_names=['none'], path_fragment='', call_type='c', return_type='r',\n"
      "         call=None, process=None, events=None, build_context=None),\n"
      "    dict(co_names=['given'], path_fragment='', call_type='c', return_type='r', subtype='s',\n"
      "         call=call, process=process, events=('return', 'yield')),\n"
      "    dict(co_names=['odd'], path_fragment='', call_type='c', return_type='r', call=1, process='x',\n"
      "         events=[]),\n"
      "]\n");
  ASSERT_TRUE(map);
  const PluginProcessor& none = *map->find("none")->front();
  EXPECT_FALSE(none.call_fn);
  EXPECT_FALSE(none.process_fn);
  EXPECT_FALSE(none.events);
  ASSERT_TRUE(none.context && PyDict_CheckExact(none.context.get()));
  EXPECT_EQ(PyDict_Size(none.context.get()), 0);

  const PluginProcessor& given = *map->find("given")->front();
  EXPECT_EQ(given.subtype, "s");
  EXPECT_EQ(given.call_fn.get(), get("call"));
  EXPECT_EQ(given.process_fn.get(), get("process"));
  EXPECT_EQ(given.events, (std::vector<std::string>{"return", "yield"}));

  // Not tested for callability here: calling them fails later.
  const PluginProcessor& odd = *map->find("odd")->front();
  EXPECT_TRUE(odd.call_fn && PyLong_Check(odd.call_fn.get()));
  EXPECT_TRUE(odd.process_fn && PyUnicode_Check(odd.process_fn.get()));
  EXPECT_EQ(odd.events, std::vector<std::string>{});
}

TEST_F(LoadPlugins, CodeNamesAndOrder) {
  std::optional<PluginMap> map = load(
      "calls = []\n"
      "def context(config):\n"
      "    calls.append(config)\n"
      "    return {'n': len(calls)}\n"
      "base = dict(path_fragment='', return_type='r', build_context=context)\n"
      "plugins.PLUGINS[:] = [\n"
      "    dict(base, co_names=['run', 'run', 'stop'], call_type='first'),\n"
      "    dict(base, co_names='ab', call_type='second'),\n"
      "    dict(co_names=[], build_context=context),\n"
      "    dict(base, co_names=iter(['run']), call_type='third'),\n"
      "]\n");
  ASSERT_TRUE(map);
  EXPECT_EQ(map->size(), 4u);  // run, stop, a, b
  EXPECT_EQ(call_types(*map->find("run")), (std::vector<std::string>{"first", "first", "third"}));
  EXPECT_EQ(call_types(*map->find("stop")), std::vector<std::string>{"first"});
  EXPECT_EQ(call_types(*map->find("a")), std::vector<std::string>{"second"});
  EXPECT_EQ(call_types(*map->find("b")), std::vector<std::string>{"second"});
  EXPECT_EQ(map->find("ab"), nullptr);

  // build_context runs once per entry, the empty one included, with the
  // configuration dict itself; the processors of one entry share its result.
  Ref calls = Ref::borrow(get("calls"));
  ASSERT_EQ(PyList_Size(calls.get()), 4);
  for (Py_ssize_t i = 0; i < 4; ++i) EXPECT_EQ(PyList_GET_ITEM(calls.get(), i), get("config"));
  const vesh::plugins::PluginList& run_list = *map->find("run");
  EXPECT_EQ(run_list[0]->context.get(), run_list[1]->context.get());
  EXPECT_EQ(run_list[0]->context.get(), map->find("stop")->front()->context.get());
  EXPECT_NE(run_list[0]->context.get(), run_list[2]->context.get());
  EXPECT_EQ(PyLong_AsLong(PyDict_GetItemString(run_list[2]->context.get(), "n")), 4);

  // A code name listed twice gets two processors, each with its own frame ids.
  run_list[0]->frame_ids.lock()->emplace(1, "frm_x");
  EXPECT_TRUE(run_list[1]->frame_ids.lock()->empty());
}

TEST_F(LoadPlugins, PathFragment) {
  std::optional<PluginMap> map = load(
      "plugins.PLUGINS[:] = [dict(co_names=['any'], path_fragment='', call_type='c', return_type='r'),\n"
      "                      dict(co_names=['dj'], path_fragment='django/core/', call_type='c', return_type='r')]\n");
  ASSERT_TRUE(map);
  const PluginProcessor& any = *map->find("any")->front();
  EXPECT_TRUE(any.applies_to(""));
  EXPECT_TRUE(any.applies_to("/x.py"));
  const PluginProcessor& dj = *map->find("dj")->front();
  EXPECT_TRUE(dj.applies_to("/venv/site-packages/django/core/handlers/base.py"));
  EXPECT_FALSE(dj.applies_to("/venv/site-packages/django/db/models.py"));
  EXPECT_FALSE(dj.applies_to("django/core"));
}

TEST_F(LoadPlugins, FrameIdsStartEmptyAndGuarded) {
  std::optional<PluginMap> map =
      load("plugins.PLUGINS[:] = [dict(co_names=['f'], path_fragment='', call_type='c', return_type='r')]");
  ASSERT_TRUE(map);
  PluginProcessor& p = *map->find("f")->front();
  EXPECT_TRUE(p.frame_ids.lock()->empty());
  try {
    auto guard = p.frame_ids.lock();
    throw std::runtime_error("fault while held");
  } catch (const std::runtime_error&) {
  }
  try {
    p.frame_ids.lock();
    ADD_FAILURE() << "no fault";
  } catch (const vesh::Fault& fault) {
    EXPECT_STREQ(fault.what(), "plugin frame ids mutex poisoned");
  }
  EXPECT_THROW(p.type_for(6), vesh::Fault);
}

struct BadEntry {
  const char* entries;
  PyObject** type;
  const char* message;
};

const BadEntry kBadEntries[] = {
    {"[['co_names']]", &PyExc_TypeError, "'list' object cannot be converted to 'PyDict'"},
    {"[dict(path_fragment='', call_type='c', return_type='r')]", &PyExc_KeyError, "'co_names'"},
    {"[dict(co_names=['f'], call_type='c', return_type='r')]", &PyExc_KeyError, "'path_fragment'"},
    {"[dict(co_names=['f'], path_fragment='', call_type='c')]", &PyExc_KeyError, "'return_type'"},
    {"[dict(co_names=['f'], path_fragment='', call_type=1, return_type='r')]", &PyExc_TypeError,
     "'int' object cannot be converted to 'PyString'"},
    {"[dict(co_names=['f'], path_fragment=b'', call_type='c', return_type='r')]", &PyExc_TypeError,
     "'bytes' object cannot be converted to 'PyString'"},
    {"[dict(co_names=['f'], path_fragment='', call_type='c', return_type='r', subtype=None)]", &PyExc_TypeError,
     "'NoneType' object cannot be converted to 'PyString'"},
    {"[dict(co_names=['f'], path_fragment='', call_type='c', return_type='r', unwind_type=None)]",
     &PyExc_TypeError, "'NoneType' object cannot be converted to 'PyString'"},
    {"[dict(co_names=['f'], path_fragment='', call_type='c', return_type='r', throw_type=3)]", &PyExc_TypeError,
     "'int' object cannot be converted to 'PyString'"},
    {"[dict(co_names=['f'], path_fragment='', call_type='c', return_type='r', events='call')]", &PyExc_TypeError,
     "Can't extract `str` to `Vec`"},
    {"[dict(co_names=['f'], path_fragment='', call_type='c', return_type='r', events={'call'})]",
     &PyExc_TypeError, "'set' object cannot be converted to 'Sequence'"},
    {"[dict(co_names=['f'], path_fragment='', call_type='c', return_type='r', events=['call', 0])]",
     &PyExc_TypeError, "'int' object cannot be converted to 'PyString'"},
    {"[dict(co_names=[1])]", &PyExc_TypeError, "'int' object cannot be converted to 'PyString'"},
    {"[dict(co_names=5)]", &PyExc_TypeError, "'int' object is not iterable"},
    {"[dict(co_names=(n for n in 'ab' if 1 / 0))]", &PyExc_ZeroDivisionError, "division by zero"},
    {"[dict(co_names=[], build_context=lambda c: 1 / 0)]", &PyExc_ZeroDivisionError, "division by zero"},
    {"[dict(co_names=[], build_context=lambda c: [])]", &PyExc_TypeError,
     "'list' object cannot be converted to 'PyDict'"},
    // A valid entry before the bad one does not survive the failed load.
    {"[dict(co_names=['f'], path_fragment='', call_type='c', return_type='r'), 7]", &PyExc_TypeError,
     "'int' object cannot be converted to 'PyDict'"},
};

TEST_F(LoadPlugins, BadEntriesFailTheLoad) {
  for (const BadEntry& bad : kBadEntries) {
    std::string setup = std::string("plugins.PLUGINS[:] = ") + bad.entries;
    expect_error(setup.c_str(), *bad.type, bad.message);
  }
}

TEST_F(LoadPlugins, SubclassesAccepted) {
  std::optional<PluginMap> map = load(
      "class Entry(dict): pass\n"
      "class Context(dict): pass\n"
      "class Entries(list): pass\n"
      "entries = Entries([Entry(co_names=['f'], path_fragment='', call_type='c', return_type='r',\n"
      "                         build_context=lambda c: Context(k=1))])\n"
      "plugins.load_plugin_data = lambda config: entries\n");
  ASSERT_TRUE(map);
  const PluginProcessor& p = *map->find("f")->front();
  EXPECT_STREQ(Py_TYPE(p.context.get())->tp_name, "Context");
}

TEST_F(LoadPlugins, BrokenPythonSideIsAFault) {
  expect_fault("plugins.load_plugin_data = lambda config: ()",
               "load_plugin_data should return a list: ");
  expect_fault("def load(config): raise RuntimeError('boom')\nplugins.load_plugin_data = load",
               "load_plugin_data should be callable: RuntimeError('boom')");
  expect_fault("plugins.load_plugin_data = None", "load_plugin_data should be callable: ");
  expect_fault("del plugins.load_plugin_data", "load_plugin_data should exist: ");
  expect_fault("sys.modules['vesh.plugins'] = None", "vesh.plugins should always be importable: ");
}
