// The profile-hook tracer's code classification: the verdict chain on file
// names, what the shared cache keeps (and its limit on excluded code), and
// code whose names are not valid UTF-8.
#include "foundation/filters.h"
#include "plugins/plugins.h"
#include "profiler/code_cache.h"
#include "py/ref.h"
#include "python_helpers.h"
#include "foundation/frame_path.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

using vesh::Finder;
using vesh::Finders;
using vesh::FramePathCache;
using vesh::plugins::PluginMap;
using vesh::profile::classify_filename;
using vesh::profile::ClassificationContext;
using vesh::profile::CodeResolution;
using vesh::profile::CodeVerdict;
using vesh::profile::ProfilerCodeMetadataCache;
using vesh::profile::resolve_code;
using vesh::py::GilMutex;
using vesh::py::Ref;

namespace {

Finders finders(std::vector<std::string> needles) {
  std::vector<Finder> out;
  for (const auto& needle : needles) out.emplace_back(needle);
  return Finders(std::move(out));
}

struct VerdictCase {
  const char* filename;
  CodeVerdict expected;
};

class VerdictChain : public ::testing::TestWithParam<VerdictCase> {};

TEST_P(VerdictChain, DecidesByTheFirstMatchingStep) {
  Finders include = finders({"keep_me"});
  Finders ignore = finders({"skip_me", "keep_"});
  EXPECT_EQ(classify_filename(GetParam().filename, include, ignore), GetParam().expected) << GetParam().filename;
}

INSTANTIATE_TEST_SUITE_P(
    Filenames, VerdictChain,
    ::testing::Values(
        // An include match wins over the default exclusions and over ignore.
        VerdictCase{"/usr/lib/python3.12/site-packages/keep_me/x.py", CodeVerdict::Included},
        VerdictCase{"/app/keep_me.py", CodeVerdict::Included},
        VerdictCase{"/usr/lib/python3.12/json/__init__.py", CodeVerdict::Excluded},
        VerdictCase{"/venv/lib64/python3.12/x.py", CodeVerdict::Excluded},
        VerdictCase{"/opt/x/site-packages/y.py", CodeVerdict::Excluded},
        VerdictCase{"<frozen importlib._bootstrap>", CodeVerdict::Excluded},
        VerdictCase{"<frozen>", CodeVerdict::Default},
        VerdictCase{"<string>", CodeVerdict::Excluded},
        VerdictCase{"<pytest match expression>", CodeVerdict::Excluded},
        VerdictCase{"<pytest match expression>x", CodeVerdict::Default},
        VerdictCase{"<attrs generated init x.A>", CodeVerdict::Excluded},
        VerdictCase{"<attrs generated", CodeVerdict::Excluded},
        VerdictCase{"<attrs generate", CodeVerdict::Default},
        VerdictCase{"/src/vesh/profiler.py", CodeVerdict::Excluded},
        VerdictCase{"/app/skip_me/mod.py", CodeVerdict::Excluded},
        VerdictCase{"/app/keep_it.py", CodeVerdict::Excluded},
        VerdictCase{"/app/main.py", CodeVerdict::Default},
        VerdictCase{"", CodeVerdict::Default}));

class CodeCache : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string python_dir =
        (vesh::testing::source_root() / "python").string();
    vesh::testing::run("import sys\nif '" + python_dir + "' not in sys.path: sys.path.insert(0, '" + python_dir +
                       "')\n"
                       "import vesh.plugins as plugins\n"
                       "plugins.PLUGINS[:] = [{'co_names': ['watched'], 'path_fragment': 'lib/python',\n"
                       "                       'call_type': 'watch_call', 'return_type': 'watch_return'}]\n");
    Ref config = Ref::steal(PyDict_New());
    std::optional<PluginMap> loaded = vesh::plugins::load_plugins(config.get());
    ASSERT_TRUE(loaded.has_value());
    plugins_ = std::move(*loaded);
    vesh::testing::run("plugins.PLUGINS.clear()\n");
  }

  // A code object compiled from `source` as if from `filename`, renamed to
  // `name` when given.
  Ref code(const std::string& filename, const std::string& name = "") {
    std::string expr = "compile('pass', " + filename + ", 'exec')";
    if (!name.empty()) expr += ".replace(co_name=" + name + ")";
    return vesh::testing::eval(expr);
  }

  CodeResolution resolve(PyObject* code_object) {
    ClassificationContext context{include_, ignore_, plugins_, paths_, cache_};
    return resolve_code(context, code_object);
  }

  Finders include_ = finders({"/included/"});
  Finders ignore_ = finders({"/ignored/"});
  PluginMap plugins_;
  FramePathCache paths_{std::string("/work/app")};
  GilMutex<ProfilerCodeMetadataCache> cache_{"profiler code metadata cache"};
};

TEST_F(CodeCache, RecordedCodeGetsItsNamesAndRelativePath) {
  Ref c = code("'/work/app/pkg/mod.py'", "'handler'");
  CodeResolution first = resolve(c.get());
  ASSERT_NE(first.metadata, nullptr);
  EXPECT_TRUE(first.cached);
  EXPECT_EQ(first.metadata->verdict, CodeVerdict::Default);
  EXPECT_EQ(first.metadata->relative_path, "pkg/mod.py");
  EXPECT_EQ(first.metadata->co_name, "handler");
  EXPECT_EQ(first.metadata->co_qualname, std::optional<std::string>("<module>"));
  EXPECT_FALSE(first.metadata->has_plugins);
  // A second resolution answers the same shared entry.
  EXPECT_EQ(resolve(c.get()).metadata, first.metadata);
  EXPECT_EQ(cache_.lock()->size(), 1u);
}

TEST_F(CodeCache, ExcludedCodeWithPluginsKeepsItsMetadata) {
  Ref c = code("'/usr/lib/python3.12/x.py'", "'watched'");
  CodeResolution r = resolve(c.get());
  ASSERT_NE(r.metadata, nullptr);
  EXPECT_EQ(r.metadata->verdict, CodeVerdict::Excluded);
  EXPECT_TRUE(r.metadata->has_plugins);
  EXPECT_EQ(cache_.lock()->excluded_count(), 1u);
}

TEST_F(CodeCache, PlainExclusionCachesOnlyTheFact) {
  Ref c = code("'/usr/lib/python3.12/x.py'", "'other'");
  CodeResolution r = resolve(c.get());
  EXPECT_EQ(r.metadata, nullptr);
  EXPECT_TRUE(r.cached);
  auto cache = cache_.lock();
  const auto* entry = cache->lookup(reinterpret_cast<std::uintptr_t>(c.get()));
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(entry->full, nullptr);
  EXPECT_EQ(entry->excluded_code.get(), c.get());
}

TEST_F(CodeCache, ExcludedEntriesStopAtTheLimitWhileIncludedCodeIsStillCached) {
  vesh::testing::run(
      "_excluded = [compile('pass', '/ignored/m%d.py' % i, 'exec') for i in range(4097)]\n"
      "_included = compile('pass', '/included/last.py', 'exec')\n");
  Ref excluded = vesh::testing::eval("_excluded");
  for (Py_ssize_t i = 0; i < 4096; ++i) {
    CodeResolution r = resolve(PyList_GET_ITEM(excluded.get(), i));
    ASSERT_EQ(r.metadata, nullptr);
    ASSERT_TRUE(r.cached) << i;
  }
  CodeResolution over = resolve(PyList_GET_ITEM(excluded.get(), 4096));
  EXPECT_EQ(over.metadata, nullptr);
  EXPECT_FALSE(over.cached);
  EXPECT_EQ(cache_.lock()->excluded_count(), 4096u);

  Ref included = vesh::testing::eval("_included");
  CodeResolution kept = resolve(included.get());
  ASSERT_NE(kept.metadata, nullptr);
  EXPECT_TRUE(kept.cached);
  EXPECT_EQ(kept.metadata->verdict, CodeVerdict::Included);
  EXPECT_EQ(cache_.lock()->size(), 4097u);
  vesh::testing::run("del _excluded, _included\n");
}

TEST_F(CodeCache, NamesThatAreNotUtf8AreClassifiedNotFaulted) {
  // A file name decoded with surrogateescape (the byte 0xff) and a code name
  // holding a lone surrogate.
  Ref c = code("'/work/app/caf\\udcff.py'", "'f\\udcff'");
  CodeResolution r = resolve(c.get());
  ASSERT_NE(r.metadata, nullptr);
  EXPECT_EQ(r.metadata->verdict, CodeVerdict::Default);
  EXPECT_EQ(r.metadata->co_filename, std::string("/work/app/caf\xff.py"));
  EXPECT_EQ(r.metadata->relative_path, "caf\xef\xbf\xbd.py");
  EXPECT_EQ(r.metadata->co_name, "f\xef\xbf\xbd");

  // The same bytes under an ignore pattern are still matched by it.
  Ref ignored = code("'/ignored/\\udcff.py'");
  EXPECT_EQ(resolve(ignored.get()).metadata, nullptr);
}

}  // namespace
