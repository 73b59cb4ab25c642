// Frame filters: the verdict table, the own-package test, the attrs tests and
// the configuration lists.
#include "source_tree.h"
#include "foundation/filters.h"
#include "py/error.h"
#include "py/fault.h"
#include "py/ref.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

using vesh::Finder;
using vesh::Finders;
using vesh::py::Ref;

namespace {

Ref eval(const char* expr) {
  Ref globals = Ref::steal(PyDict_New());
  PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins());
  Ref result = Ref::steal(PyRun_String(expr, Py_eval_input, globals.get(), globals.get()));
  if (!result) PyErr_Print();
  return result;
}

// Runs `code` in a fresh namespace and returns the namespace.
Ref exec(const char* code) {
  Ref globals = Ref::steal(PyDict_New());
  PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins());
  Ref result = Ref::steal(PyRun_String(code, Py_file_input, globals.get(), globals.get()));
  if (!result) PyErr_Print();
  return globals;
}

PyObject* item(const Ref& ns, const char* name) { return PyDict_GetItemString(ns.get(), name); }

Finders finders(std::vector<std::string> needles) {
  std::vector<Finder> out;
  for (const std::string& needle : needles) out.emplace_back(needle);
  return Finders(std::move(out));
}

bool verdict(std::string_view filename, const Finders& include, const Finders& ignore) {
  bool record = false;
  EXPECT_TRUE(vesh::include_frame(filename, include, ignore, record));
  return record;
}

}  // namespace

TEST(Finder, SubstringSearch) {
  Finder empty("");
  EXPECT_EQ(empty.find(""), 0u);
  EXPECT_EQ(empty.find("abc"), 0u);

  Finder needle("/vesh/");
  EXPECT_EQ(needle.find("/a/vesh/b"), 2u);
  EXPECT_EQ(needle.find("/vesh"), std::string_view::npos);  // shorter than the needle
  EXPECT_EQ(needle.find("/a/vesh/b/vesh/"), 2u);
  EXPECT_EQ(needle.find(std::string_view("\0/vesh/", 7)), 1u);

  Finder copy = needle;  // copies share one searcher and keep working alone
  needle = Finder("x");
  EXPECT_EQ(copy.needle(), "/vesh/");
  EXPECT_TRUE(copy.is_in("/vesh/"));
}

struct VerdictCase {
  const char* filename;
  std::vector<std::string> include;
  std::vector<std::string> ignore;
  bool record;
};

void PrintTo(const VerdictCase& c, std::ostream* os) { *os << '"' << c.filename << '"'; }

class IncludeFrame : public ::testing::TestWithParam<VerdictCase> {};

TEST_P(IncludeFrame, Verdict) {
  const VerdictCase& c = GetParam();
  EXPECT_EQ(verdict(c.filename, finders(c.include), finders(c.ignore)), c.record) << c.filename;
}

INSTANTIATE_TEST_SUITE_P(
    Table, IncludeFrame,
    ::testing::Values(
        // Plain user code, and the ignore list.
        VerdictCase{"/home/u/app/main.py", {}, {}, true},
        VerdictCase{"/home/u/app/main.py", {}, {"app/"}, false},
        VerdictCase{"/home/u/app/main.py", {"other"}, {"main"}, false},
        VerdictCase{"/home/u/app/main.py", {}, {""}, false},
        // An include match wins over every exclusion and over ignore.
        VerdictCase{"/venv/lib/python3.12/site-packages/dep/x.py", {"dep/"}, {}, true},
        VerdictCase{"<frozen runpy>", {"runpy"}, {}, true},
        VerdictCase{"/src/vesh/plugins.py", {"plugins"}, {}, true},
        VerdictCase{"/home/u/app/main.py", {"main"}, {"main"}, true},
        VerdictCase{"<string>", {""}, {""}, true},
        VerdictCase{"", {""}, {}, true},
        // Libraries: substring tests, not path components.
        VerdictCase{"/usr/lib/python3.12/json/decoder.py", {}, {}, false},
        VerdictCase{"/usr/lib64/python3.12/json/decoder.py", {}, {}, false},
        VerdictCase{"/opt/app/site-packages/x.py", {}, {}, false},
        VerdictCase{"/opt/app/site-packages", {}, {}, true},
        VerdictCase{"/srv/mylib/python_app/x.py", {}, {}, false},
        // Frozen modules need the blank.
        VerdictCase{"<frozen importlib._bootstrap>", {}, {}, false},
        VerdictCase{"<frozen>", {}, {}, true},
        // Code compiled from strings.
        VerdictCase{"<string>", {}, {}, false},
        VerdictCase{"x<string>y", {}, {}, false},
        // pytest match expressions: the exact name only.
        VerdictCase{"<pytest match expression>", {}, {}, false},
        VerdictCase{" <pytest match expression>", {}, {}, true},
        VerdictCase{"<pytest match expression> ", {}, {}, true},
        // attrs-generated code: by prefix only.
        VerdictCase{"<attrs generated init app.Point>", {}, {}, false},
        VerdictCase{"<attrs generated", {}, {}, false},
        VerdictCase{"x<attrs generated init>", {}, {}, true},
        // The package's own files.
        VerdictCase{"/srv/vesh/__init__.py", {}, {}, false},
        VerdictCase{"/srv/proj/python/vesh/plugins.py", {}, {}, false},
        VerdictCase{"/srv/vesh/vesh/plugins.py", {}, {}, false},
        VerdictCase{"/srv/vesh/x/vesh/db.py", {}, {}, false},
        VerdictCase{"/srv/vesh/plugins.py~", {}, {}, false},
        VerdictCase{"vesh/plugins.py", {}, {}, true},
        VerdictCase{"/srv/vesh/app.py", {}, {}, true},
        VerdictCase{"/srv/vesh/sub/plugins.py", {}, {}, true},
        VerdictCase{"/srv/myvesh/plugins.py", {}, {}, true}));

TEST(VeshFilter, CoversThisPackagesFiles) {
  // Every Python file of the package must be recognised as the tool's own,
  // wherever the package is installed; the tests themselves are not.
  std::filesystem::path package = vesh::testing::source_root() / "python" / "vesh";
  int files = 0;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(package)) {
    if (entry.path().extension() != ".py") continue;
    ++files;
    std::string relative = std::filesystem::relative(entry.path(), package).string();
    EXPECT_TRUE(vesh::vesh_filter("/site/vesh/" + relative)) << relative;
    EXPECT_TRUE(vesh::vesh_filter(entry.path().string())) << entry.path();
  }
  EXPECT_GE(files, 2);
  EXPECT_FALSE(vesh::vesh_filter(__FILE__));
}

TEST(FilenameBytes, UndecodableNamesNeverFault) {
  // Lone surrogates: an escaped byte (U+DCFF) and one escape cannot carry
  // (U+D800). Each name gets a byte form and matches only what it contains.
  struct Case {
    const char* expr;
    bool record;
  };
  const Case cases[] = {
      {"'/home/u/\\udcff/app.py'", true},
      {"'/home/u/\\ud800/app.py'", true},
      {"'/venv/lib/python3.12/site-packages/\\udcff.py'", false},
      {"'/srv/vesh/plugins.py\\udcff'", false},
      {"'<frozen \\udcff>'", false},
      {"'\\udcff'", true},
  };
  for (const Case& c : cases) {
    Ref name = eval(c.expr);
    ASSERT_TRUE(name);
    std::string scratch;
    std::optional<std::string_view> bytes = vesh::filename_bytes(name.get(), scratch);
    ASSERT_TRUE(bytes) << c.expr;
    ASSERT_FALSE(PyErr_Occurred());
    EXPECT_EQ(verdict(*bytes, {}, {}), c.record) << c.expr;
    EXPECT_FALSE(verdict(*bytes, {}, finders({"\xff", "\xed\xa0\x80", "/"}))) << c.expr;
  }

  Ref escaped = eval("'a\\udcffb'");
  std::string scratch;
  EXPECT_EQ(vesh::filename_bytes(escaped.get(), scratch).value(), "a\xff" "b");
  Ref plain = eval("'caf\\u00e9'");
  EXPECT_EQ(vesh::filename_bytes(plain.get(), scratch).value(), "caf\xc3\xa9");

  Ref number = eval("1");
  EXPECT_FALSE(vesh::filename_bytes(number.get(), scratch));
  EXPECT_TRUE(PyErr_ExceptionMatches(PyExc_TypeError));
  PyErr_Clear();
}

namespace {

// Builds a chain of calls through code objects compiled with chosen file
// names: outer (file `outer`) calls middle (file `middle`) calls leaf (file
// ""), which calls `probe` and returns its result. Returns the namespace.
Ref attrs_chain(const char* outer, const char* middle, PyObject* probe) {
  Ref ns = exec(
      "def build(outer, middle, probe):\n"
      "    ns = {'probe': probe}\n"
      "    exec(compile('def leaf():\\n    return probe()\\n', '', 'exec'), ns)\n"
      "    exec(compile('def middle():\\n    return leaf()\\n', middle, 'exec'), ns)\n"
      "    exec(compile('def outer():\\n    return middle()\\n', outer, 'exec'), ns)\n"
      "    return ns['outer']\n");
  Ref outer_name = Ref::steal(PyUnicode_DecodeUTF8(outer, std::strlen(outer), "surrogateescape"));
  Ref middle_name = Ref::steal(PyUnicode_DecodeUTF8(middle, std::strlen(middle), "surrogateescape"));
  return Ref::steal(PyObject_CallFunctionObjArgs(item(ns, "build"), outer_name.get(), middle_name.get(), probe,
                                                 nullptr));
}

// A builtin that asks the monitoring tracer's attrs test about an empty file
// name, from inside the running Python frames.
PyObject* probe_monitoring(PyObject*, PyObject*) {
  bool attrs = false;
  if (!vesh::attrs_filter_monitoring("", attrs)) return nullptr;
  bool record = false;
  if (!vesh::include_frame("", Finders(), Finders(), record)) return nullptr;
  // The verdict must agree with the attrs test it rests on.
  if (record == attrs) return PyErr_Format(PyExc_AssertionError, "verdict %d for attrs %d", record, attrs);
  return PyBool_FromLong(attrs);
}

PyMethodDef kProbeMonitoring{"probe", probe_monitoring, METH_NOARGS, nullptr};

}  // namespace

struct AttrsCase {
  const char* outer;
  const char* middle;
  bool attrs;
};

const AttrsCase kAttrsCases[] = {
    {"/u/app.py", "/venv/site-packages/attr/_make.py", true},  // the direct caller
    {"/venv/site-packages/attr/_make.py", "", true},           // the caller is generated too
    {"/u/app.py", "", false},
    {"/u/app.py", "/u/not_attr/make.py", false},
    {"/u/app.py", "/x/\xff/attr/_make.py", true},               // undecodable byte in the caller's name
    {"/x/\xff/attr/_make.py", "", true},
};

TEST(AttrsFilter, MonitoringLooksAtTheCallers) {
  Ref probe = Ref::steal(PyCFunction_New(&kProbeMonitoring, nullptr));
  for (const AttrsCase& c : kAttrsCases) {
    Ref outer = attrs_chain(c.outer, c.middle, probe.get());
    ASSERT_TRUE(outer);
    Ref result = Ref::steal(PyObject_CallNoArgs(outer.get()));
    if (!result) PyErr_Print();
    ASSERT_TRUE(result) << c.outer << " " << c.middle;
    EXPECT_EQ(result.get() == Py_True, c.attrs) << c.outer << " " << c.middle;
  }
}

TEST(AttrsFilter, MonitoringWithoutCallers) {
  // No Python frame runs here, so sys._getframe(1) raises: not attrs code.
  bool attrs = true;
  ASSERT_TRUE(vesh::attrs_filter_monitoring("", attrs));
  EXPECT_FALSE(attrs);
  EXPECT_FALSE(PyErr_Occurred());
  ASSERT_TRUE(vesh::attrs_filter_monitoring("<attrs generated eq>", attrs));
  EXPECT_TRUE(attrs);
  ASSERT_TRUE(vesh::attrs_filter_monitoring("<attrs generat", attrs));
  EXPECT_FALSE(attrs);
}

TEST(AttrsFilter, ProfileLooksAtTheFrame) {
  Ref getframe = exec("import sys\nf = sys._getframe\n");
  for (const AttrsCase& c : kAttrsCases) {
    // The leaf's own frame, kept after the calls return (f_back stays linked).
    Ref outer = attrs_chain(c.outer, c.middle, item(getframe, "f"));
    ASSERT_TRUE(outer);
    Ref frame = Ref::steal(PyObject_CallNoArgs(outer.get()));
    ASSERT_TRUE(frame && PyFrame_Check(frame.get()));
    EXPECT_EQ(vesh::attrs_filter("", frame.get()), c.attrs) << c.outer << " " << c.middle;
    EXPECT_EQ(vesh::frame_filename(frame.clone()), "");
  }
  Ref top = exec("import sys\nf = sys._getframe()\nassert f.f_back is None\n");
  EXPECT_FALSE(vesh::attrs_filter("", item(top, "f")));
  EXPECT_TRUE(vesh::attrs_filter("<attrs generated repr>", item(top, "f")));
  EXPECT_FALSE(vesh::attrs_filter("/u/attr/_make.py", item(top, "f")));

  // Not a frame at all: a broken invariant, reported as a fault.
  Ref not_frame = eval("object()");
  try {
    vesh::attrs_filter("", not_frame.get());
    ADD_FAILURE() << "no fault";
  } catch (const vesh::Fault& fault) {
    EXPECT_TRUE(std::string(fault.what()).starts_with("A frame has an `f_back` attribute.: ")) << fault.what();
  }
}

struct LoadCase {
  const char* filters;  // Python expression, or null for no "filters" entry
  std::vector<std::string> needles;
  PyObject* error;      // expected exception type, or null
  const char* message;
};

void PrintTo(const LoadCase& c, std::ostream* os) { *os << (c.filters ? c.filters : "<no filters entry>"); }

class LoadFilters : public ::testing::TestWithParam<LoadCase> {};

TEST_P(LoadFilters, FromConfiguration) {
  const LoadCase& c = GetParam();
  Ref ns = exec(
      "class Lookup:\n"
      "    def __init__(self, d): self.d = d\n"
      "    def __getitem__(self, k): return self.d[k]\n"
      "class Broken:\n"
      "    def __getitem__(self, k): raise RuntimeError('no lookups')\n");
  Ref filters;
  if (c.filters != nullptr) {
    Ref code = Ref::steal(Py_CompileString(c.filters, "<test>", Py_eval_input));
    ASSERT_TRUE(code);
    filters = Ref::steal(PyEval_EvalCode(code.get(), ns.get(), ns.get()));
    ASSERT_TRUE(filters);
  }
  Finders out = finders({"stale"});
  bool ok = vesh::load_filters(filters.get(), "include_frames", out);
  if (c.error != nullptr) {
    ASSERT_FALSE(ok);
    ASSERT_TRUE(PyErr_ExceptionMatches(c.error));
    EXPECT_EQ(vesh::py::PyError::fetch().message(), c.message);
    return;
  }
  ASSERT_TRUE(ok);
  ASSERT_FALSE(PyErr_Occurred());
  std::vector<std::string> needles;
  for (const Finder& finder : out) needles.emplace_back(finder.needle());
  EXPECT_EQ(needles, c.needles);
}

INSTANTIATE_TEST_SUITE_P(
    Table, LoadFilters,
    ::testing::Values(
        LoadCase{nullptr, {}, nullptr, nullptr},
        LoadCase{"{}", {}, nullptr, nullptr},
        LoadCase{"{'ignore_frames': ['x']}", {}, nullptr, nullptr},
        LoadCase{"Broken()", {}, nullptr, nullptr},
        LoadCase{"{'include_frames': ['b', 'a', '', 'b']}", {"b", "a", "", "b"}, nullptr, nullptr},
        LoadCase{"{'include_frames': ('t',)}", {"t"}, nullptr, nullptr},
        LoadCase{"Lookup({'include_frames': ['m']})", {"m"}, nullptr, nullptr},
        LoadCase{"{'include_frames': 'app'}", {}, PyExc_TypeError, "Can't extract `str` to `Vec`"},
        LoadCase{"{'include_frames': {'app'}}", {}, PyExc_TypeError, "'set' object cannot be converted to 'Sequence'"},
        LoadCase{"{'include_frames': ['a', 1]}", {}, PyExc_TypeError, "'int' object cannot be converted to 'PyString'"},
        LoadCase{"{'include_frames': None}", {}, PyExc_TypeError,
                 "'NoneType' object cannot be converted to 'Sequence'"}));
