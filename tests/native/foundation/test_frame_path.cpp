// Frame paths: path arithmetic, text of undecodable file names, line
// numbers and the per-code cache.
#include "foundation/frame_path.h"

#include "python_helpers.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <string>

using vesh::py::Ref;
using vesh::testing::item;
using vesh::testing::run_python;
using vesh::testing::take_error_text;

namespace {

struct PathCase {
  const char* path;
  const char* expected;
};

class RelativePathTable : public ::testing::TestWithParam<PathCase> {};
class NormalizeTable : public ::testing::TestWithParam<PathCase> {};
class LossyTable : public ::testing::TestWithParam<PathCase> {};

}  // namespace

TEST_P(RelativePathTable, FromWorkingDirectory) {
  vesh::FramePathCache cache("/w/p");
  EXPECT_EQ(cache.relative_path(GetParam().path), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Paths, RelativePathTable,
                         ::testing::Values(PathCase{"/w/p/app/m.py", "app/m.py"},
                                           PathCase{"/w/lib/x.py", "../lib/x.py"},
                                           PathCase{"/w/p", "."},
                                           PathCase{"/w/p/", "."},
                                           PathCase{"/x.py", "../../x.py"},
                                           PathCase{"/w/p/a/./b/../d.py", "a/d.py"},
                                           PathCase{"/../x.py", "../../x.py"},
                                           PathCase{"//w///p//m.py", "m.py"},
                                           PathCase{"/w/pq/m.py", "../pq/m.py"},
                                           PathCase{"<string>", "<string>"},
                                           PathCase{"a/../../x.py", "../x.py"},
                                           PathCase{"./a.py", "a.py"},
                                           PathCase{"", "."},
                                           // Bytes that are not UTF-8 become U+FFFD in the text.
                                           PathCase{"/w/p/caf\xe9.py", "caf\xef\xbf\xbd.py"}));

TEST(RelativePath, BaseIsNormalisedToo) {
  EXPECT_EQ(vesh::relative_path_from("/w/./p/../p/", "/w/p/m.py"), "m.py");
  EXPECT_EQ(vesh::relative_path_from("/", "/w/m.py"), "w/m.py");
  EXPECT_EQ(vesh::relative_path_from("/w/p", "/"), "../..");
  EXPECT_EQ(vesh::relative_path_from("rel", "/w/m.py"), "/w/m.py");
}

TEST_P(NormalizeTable, Lexical) { EXPECT_EQ(vesh::lexical_normalize(GetParam().path), GetParam().expected); }

INSTANTIATE_TEST_SUITE_P(Paths, NormalizeTable,
                         ::testing::Values(PathCase{"/../x.py", "/x.py"}, PathCase{"/", "/"},
                                           PathCase{"a/..", "."}, PathCase{"../..", "../.."},
                                           PathCase{"a/../../b/./c/", "../b/c"},
                                           PathCase{"../a/../b", "../b"}, PathCase{"/a/b/../../..", "/"}));

TEST_P(LossyTable, ReplacesInvalidSequences) {
  EXPECT_EQ(vesh::utf8_lossy(GetParam().path), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Text, LossyTable,
                         ::testing::Values(PathCase{"plain", "plain"},
                                           PathCase{"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80", "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80"},
                                           PathCase{"a\xffz", "a\xef\xbf\xbdz"},
                                           PathCase{"\xed\xa0\x80", "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"},
                                           PathCase{"\xe2\x82", "\xef\xbf\xbd"},
                                           PathCase{"\xf0\x9f\x98z", "\xef\xbf\xbdz"},
                                           PathCase{"\xc0\xaf", "\xef\xbf\xbd\xef\xbf\xbd"}));

TEST(StrBytes, UndecodableNamesKeepTheirBytes) {
  Ref ns = run_python(
      "escaped = b'caf\\xe9.py'.decode('utf-8', 'surrogateescape')\n"
      "lone = 'a\\ud800b'\n"
      "plain = 'caf\\u00e9'\n");
  ASSERT_TRUE(ns);
  std::string out;
  ASSERT_TRUE(vesh::str_bytes(item(ns, "escaped"), out));
  EXPECT_EQ(out, "caf\xe9.py");
  ASSERT_TRUE(vesh::str_bytes(item(ns, "lone"), out));
  EXPECT_EQ(out, "a\xed\xa0\x80"
                 "b");
  ASSERT_TRUE(vesh::str_bytes(item(ns, "plain"), out));
  EXPECT_EQ(out, "caf\xc3\xa9");
  ASSERT_TRUE(vesh::str_text_lossy(item(ns, "escaped"), out));
  EXPECT_EQ(out, "caf\xef\xbf\xbd.py");
  EXPECT_FALSE(PyErr_Occurred());

  EXPECT_FALSE(vesh::str_bytes(Py_None, out));
  EXPECT_EQ(take_error_text(), "TypeError: 'NoneType' object cannot be converted to 'PyString'");
}

// ---------------------------------------------------------------------------

TEST(FramePathCache, CapturesTheWorkingDirectory) {
  char buffer[PATH_MAX];
  ASSERT_NE(getcwd(buffer, sizeof buffer), nullptr);
  vesh::FramePathCache cache;
  EXPECT_EQ(cache.cwd(), buffer);
  EXPECT_EQ(cache.relative_path(std::string(buffer) + "/pkg/m.py"), "pkg/m.py");
}

TEST(FramePathCache, RealFrames) {
  Ref ns = run_python(
      "import sys\n"
      "src = 'import sys\\n\\nframe = sys._getframe()\\n'\n"
      "g1, g2 = {}, {}\n"
      "exec(compile(src, '/w/p/app/m.py', 'exec'), g1)\n"
      "exec(compile(src, b'/w/p/caf\\xe9.py'.decode('utf-8', 'surrogateescape'), 'exec'), g2)\n"
      "first, second = g1['frame'], g2['frame']\n");
  ASSERT_TRUE(ns);
  vesh::FramePathCache cache("/w/p");
  vesh::FrameLocation location;
  ASSERT_TRUE(cache.frame_path_and_native_eligibility(item(ns, "first"), location)) << take_error_text();
  EXPECT_EQ(location.text(), "app/m.py:3");
  EXPECT_EQ(location.relative_path, "app/m.py");
  EXPECT_EQ(location.line, 3u);
  EXPECT_TRUE(location.native_eligible);
  EXPECT_EQ(location.code_key,
            reinterpret_cast<vesh::CodeKey>(PyFrame_GetCode(reinterpret_cast<PyFrameObject*>(item(ns, "first")))));
  Py_DECREF(reinterpret_cast<PyObject*>(location.code_key));

  // An undecodable file name is traced, never an error.
  std::string text;
  ASSERT_TRUE(cache.format_frame_path(item(ns, "second"), text)) << take_error_text();
  EXPECT_EQ(text, "caf\xef\xbf\xbd.py:3");

  // Eligibility is per code object.
  vesh::FrameLocation other;
  ASSERT_TRUE(cache.frame_path_and_native_eligibility(item(ns, "second"), other));
  cache.mark_native_msgpack_unsupported(location.code_key);
  cache.mark_native_msgpack_unsupported(12345);  // unknown: ignored
  vesh::FrameLocation again;
  ASSERT_TRUE(cache.frame_path_and_native_eligibility(item(ns, "first"), again));
  EXPECT_FALSE(again.native_eligible);
  ASSERT_TRUE(cache.frame_path_and_native_eligibility(item(ns, "second"), other));
  EXPECT_TRUE(other.native_eligible);
}

TEST(FramePathCache, PathIsWorkedOutOncePerCode) {
  Ref ns = run_python(
      "import types\n"
      "code = types.SimpleNamespace(co_filename='/w/p/a.py')\n"
      "frame = types.SimpleNamespace(f_code=code, f_lineno=None)\n");
  ASSERT_TRUE(ns);
  vesh::FramePathCache cache("/w/p");
  std::string text;
  ASSERT_TRUE(cache.format_frame_path(item(ns, "frame"), text));
  EXPECT_EQ(text, "a.py:None");
  Ref changed = Ref::steal(PyUnicode_FromString("/w/p/b.py"));
  PyObject_SetAttrString(item(ns, "code"), "co_filename", changed.get());
  ASSERT_TRUE(cache.format_frame_path(item(ns, "frame"), text));
  EXPECT_EQ(text, "a.py:None");
}

TEST(FramePathCache, FailedFileNameReadCachesNothing) {
  Ref ns = run_python(
      "import types\n"
      "code = types.SimpleNamespace(co_filename=5)\n"
      "frame = types.SimpleNamespace(f_code=code, f_lineno=4)\n");
  ASSERT_TRUE(ns);
  vesh::FramePathCache cache("/w/p");
  std::string text;
  EXPECT_FALSE(cache.format_frame_path(item(ns, "frame"), text));
  EXPECT_EQ(take_error_text(), "TypeError: 'int' object cannot be converted to 'PyString'");
  Ref name = Ref::steal(PyUnicode_FromString("/w/p/ok.py"));
  PyObject_SetAttrString(item(ns, "code"), "co_filename", name.get());
  ASSERT_TRUE(cache.format_frame_path(item(ns, "frame"), text));
  EXPECT_EQ(text, "ok.py:4");

  Ref no_code = run_python("frame = object()\n");
  EXPECT_FALSE(cache.format_frame_path(item(no_code, "frame"), text));
  EXPECT_EQ(take_error_text(), "AttributeError: 'object' object has no attribute 'f_code'");
}

TEST(LineNumbers, FromFLineno) {
  struct Case {
    const char* lineno;
    const char* u64;  // expected text: a number, "none" or an error
    const char* i32;
  };
  const Case cases[] = {
      {"None", "none", "none"},
      {"0", "0", "0"},
      {"2**31 - 1", "2147483647", "2147483647"},
      {"2**31", "2147483648", "OverflowError: number too large to fit in target type"},
      {"-2**31", "OverflowError: can't convert negative int to unsigned", "-2147483648"},
      {"-2**31 - 1", "OverflowError: can't convert negative int to unsigned",
       "OverflowError: number too small to fit in target type"},
      {"2**64", "OverflowError: int too big to convert", "OverflowError: number too large to fit in target type"},
      {"'7'", "TypeError: 'str' object cannot be interpreted as an integer",
       "TypeError: 'str' object cannot be interpreted as an integer"},
  };
  for (const Case& c : cases) {
    std::string code = std::string("import types\nframe = types.SimpleNamespace(f_lineno=") + c.lineno + ")\n";
    Ref ns = run_python(code.c_str());
    ASSERT_TRUE(ns);
    std::optional<std::uint64_t> u64;
    std::string got_u64 = vesh::frame_line_number(item(ns, "frame"), u64)
                              ? (u64 ? std::to_string(*u64) : std::string("none"))
                              : take_error_text();
    EXPECT_EQ(got_u64, c.u64) << c.lineno;
    std::optional<std::int32_t> i32;
    std::string got_i32 = vesh::frame_line_number_i32_with(item(ns, "frame"), i32)
                              ? (i32 ? std::to_string(*i32) : std::string("none"))
                              : take_error_text();
    EXPECT_EQ(got_i32, c.i32) << c.lineno;
  }
}

TEST(LineNumbers, RealFrame) {
  Ref ns = run_python("import sys\n\n\nframe = sys._getframe()\n");
  ASSERT_TRUE(ns);
  std::optional<std::uint64_t> u64;
  std::optional<std::int32_t> i32;
  ASSERT_TRUE(vesh::frame_line_number(item(ns, "frame"), u64));
  ASSERT_TRUE(vesh::frame_line_number_i32_with(item(ns, "frame"), i32));
  EXPECT_EQ(u64, 4u);
  EXPECT_EQ(i32, 4);
}

namespace {

// _table_line(frame) -> the frame's line from its code's decoded line table
// (None: no line), or "unanswered" when the table cannot answer.
PyObject* table_line_py(PyObject*, PyObject* frame) {
  Ref code = Ref::steal(PyObject_GetAttrString(frame, "f_code"));
  if (!code) return nullptr;
  auto lines = vesh::CodeLines::of(code.get());
  if (!lines) return nullptr;
  std::optional<std::int32_t> line;
  if (!lines->line_of(frame, line)) return PyUnicode_FromString("unanswered");
  if (!line) Py_RETURN_NONE;
  return PyLong_FromLong(*line);
}

PyMethodDef table_line_def = {"_table_line", table_line_py, METH_O, nullptr};

}  // namespace

// Frames stopped at calls inside multi-line statements, at yields, at the
// raise that ended them and before they started: the decoded table gives the
// line the interpreter gives.
TEST(LineNumbers, DecodedTableMatchesTheInterpreter) {
  Ref fn = Ref::steal(PyCFunction_New(&table_line_def, nullptr));
  PyObject_SetAttrString(PyImport_AddModule("__main__"), "_table_line", fn.get());
  Ref ns = run_python(R"PY(
import sys
from __main__ import _table_line
frames = []

def stop():
    frames.append(sys._getframe(1))
    return 1

def spread(a,
           b=2):
    total = (a
             + stop()
             + b)
    for i in range(2):
        if i:
            stop()
    return [stop()
            for _ in
            range(1)]

def gen():
    yield 1
    x = (
        yield 2)
    stop()
    yield x

def fails():
    value = {}
    return value[
        "missing"]

spread(1)
g = gen()
frames.append(g.gi_frame)  # not started
next(g)
frames.append(g.gi_frame)
next(g)
frames.append(g.gi_frame)
g.send(3)
frames.append(g.gi_frame)
try:
    fails()
except KeyError as error:
    frames.append(error.__traceback__.tb_next.tb_frame)
frames.append(sys._getframe())

mismatches = [(f.f_code.co_name, f.f_lineno, _table_line(f))
              for f in frames if f.f_lineno != _table_line(f)]
)PY");
  ASSERT_TRUE(ns);
  Ref mismatches = Ref::steal(PyObject_Repr(item(ns, "mismatches")));
  EXPECT_STREQ(PyUnicode_AsUTF8(mismatches.get()), "[]");
  EXPECT_GT(PyList_GET_SIZE(item(ns, "frames")), 8);
}
