// Trace naming from stored records.
#include "python_helpers.h"
#include "store/trace_name.h"

#include <gtest/gtest.h>

#include <absl/container/flat_hash_map.h>

#include <map>
#include <string>
#include <vector>

using vesh::testing::eval;
namespace store = vesh::store;

namespace {

// Frames as msgpack.packb makes them from Python expressions.
struct FakeFrames {
  std::vector<std::string> frames;
  std::int64_t unreadable = -1;

  struct Read {
    bool good;
    std::string_view bytes;
    bool ok() const { return good; }
    std::string_view value() const { return bytes; }
  };
  std::uint64_t frame_count() const { return frames.size(); }
  Read frame(std::uint64_t i, vesh::ByteBuffer& scratch) const {
    if (static_cast<std::int64_t>(i) == unreadable) return {false, {}};
    scratch.clear();
    scratch.append(frames.at(i));
    return {true, scratch.view()};
  }
};

std::string packb(const std::string& expr) {
  vesh::py::Ref bytes = eval("__import__('msgpack').packb(" + expr + ")");
  if (!bytes || !PyBytes_Check(bytes.get())) return {};
  return std::string(PyBytes_AS_STRING(bytes.get()), PyBytes_GET_SIZE(bytes.get()));
}

const std::string kFrame = "{'type': 'frame', 'co_name': 'f'}";
std::string test_start(const std::string& name, const std::string& cls = "'MathTests'") {
  return "{'type': 'start_test', 'test_name': " + name + ", 'test_class': " + cls + "}";
}
const std::string kRequest = "{'type': 'django_request', 'method': 'GET', 'path_info': '/items/'}";
std::string response(const std::string& status) { return "{'type': 'django_response', 'status_code': " + status + "}"; }

FakeFrames frames_of(const std::vector<std::string>& exprs) {
  FakeFrames out;
  for (const std::string& e : exprs) out.frames.push_back(e.rfind("raw:", 0) == 0 ? e.substr(4) : packb(e));
  return out;
}

std::optional<std::string> name_of(const std::vector<std::string>& exprs) {
  return store::derive_trace_name(frames_of(exprs));
}

}  // namespace

TEST(TraceName, RelevantFrameIndices) {
  using V = std::vector<std::uint64_t>;
  auto idx = [](std::uint64_t n) {
    auto r = store::relevant_frame_indices(n);
    return V(r.begin(), r.end());
  };
  EXPECT_EQ(idx(0), V{});
  EXPECT_EQ(idx(1), (V{0}));
  EXPECT_EQ(idx(4), (V{0, 1, 2, 3}));
  EXPECT_EQ(idx(6), (V{0, 1, 2, 3, 4, 5}));
  EXPECT_EQ(idx(7), (V{0, 1, 2, 4, 5, 6}));
  EXPECT_EQ(idx(1000), (V{0, 1, 2, 997, 998, 999}));
}

TEST(TraceName, NamingRules) {
  struct Case {
    std::vector<std::string> frames;
    std::optional<std::string> name;
  };
  const Case cases[] = {
      {{}, std::nullopt},
      {{kFrame, test_start("'test_add'")}, "MathTests.test_add"},
      {{test_start("'test_add'", "None")}, "test_add"},
      {{test_start("'test_add'", "3")}, "test_add"},
      {{"{'type': 'start_test', 'test_name': 'test_add'}"}, "test_add"},
      // The first test record decides, even when it has no usable name.
      {{test_start("'first'"), test_start("'second'")}, "MathTests.first"},
      {{test_start("5"), test_start("'second'")}, std::nullopt},
      // Frame 3 of 7 is not looked at; of 6 it is.
      {{kFrame, kFrame, kFrame, test_start("'t'"), kFrame, kFrame, kFrame}, std::nullopt},
      {{kFrame, kFrame, kFrame, test_start("'t'"), kFrame, kFrame}, "MathTests.t"},
      {{kRequest, kFrame, response("200")}, "200 GET /items/"},
      {{kRequest, response("-1")}, "-1 GET /items/"},
      {{kRequest, response("'200'")}, std::nullopt},
      {{kRequest}, std::nullopt},
      {{response("200")}, std::nullopt},
      {{"{'type': 'django_request', 'method': 'GET'}", response("200")}, std::nullopt},
      // First request, last response.
      {{kRequest, "{'type': 'django_request', 'method': 'POST', 'path_info': '/x'}", response("201"),
        response("404")},
       "404 GET /items/"},
      // A test name wins over a request name wherever it lies.
      {{kRequest, response("200"), test_start("'t'")}, "MathTests.t"},
      // end_test and other types play no part; neither do non-maps, maps
      // without a str type, or bytes that do not decode.
      {{"{'type': 'end_test', 'test_name': 'x'}", "[1, 2]", "{'kind': 'start_test', 'test_name': 'x'}",
        "{'type': b'start_test', 'test_name': 'x'}", "raw:\xc1", "raw:"},
       std::nullopt},
      // Later entries with the key are never looked at.
      {{"{'type': 'start_test', 'test_name': 'x'}"}, "x"},
  };
  for (const Case& c : cases) {
    std::string desc;
    for (const auto& f : c.frames) desc += f + " | ";
    EXPECT_EQ(name_of(c.frames), c.name) << desc;
  }
}

TEST(TraceName, DuplicateKeysUseTheFirst) {
  // {'type': 'start_test', 'test_name': 5, 'test_name': 'late'}: msgpack maps
  // may repeat keys; the first one counts.
  std::string frame = "\x83\xa4type\xaastart_test\xa9test_name\x05\xa9test_name\xa4late";
  EXPECT_EQ(name_of({"raw:" + frame}), std::nullopt);
  std::string type_twice = "\x83\xa4type\xa5" "frame\xa4type\xaastart_test\xa9test_name\xa1x";
  EXPECT_EQ(name_of({"raw:" + type_twice}), std::nullopt);
}

TEST(TraceName, UnreadableFrameGivesNoName) {
  FakeFrames frames = frames_of({test_start("'t'"), kFrame, kFrame});
  frames.unreadable = 2;
  EXPECT_EQ(store::derive_trace_name(frames), std::nullopt);
  frames.unreadable = -1;
  EXPECT_EQ(store::derive_trace_name(frames), "MathTests.t");
}

TEST(TraceName, NameText) {
  struct Case {
    const char* value;
    std::optional<std::string> text;
  };
  for (const Case& c : {Case{"'plain'", "plain"}, Case{"'caf\\u00e9'", "caf\xc3\xa9"},
                        Case{"msgpack.ExtType(10, b'a\\xed\\xa0\\x80b')", "a\\ud800b"},
                        Case{"msgpack.ExtType(10, b'\\xed\\xbf\\xbf')", "\\udfff"},
                        Case{"msgpack.ExtType(10, b'\\xff')", "\xef\xbf\xbd"},
                        Case{"msgpack.ExtType(10, b'x\\xe2\\x82')", "x\xef\xbf\xbd"},
                        Case{"msgpack.ExtType(10, b'\\xed\\xa0')", "\xef\xbf\xbd\xef\xbf\xbd"},
                        Case{"msgpack.ExtType(10, b'\\xc3\\x28')", "\xef\xbf\xbd("},
                        Case{"msgpack.ExtType(11, b'abc')", std::nullopt}, Case{"None", std::nullopt},
                        Case{"7", std::nullopt}, Case{"b'abc'", std::nullopt}, Case{"['a']", std::nullopt}}) {
    std::string packed = packb(std::string("__import__('msgpack').ExtType and (lambda msgpack: ") + c.value +
                               ")(__import__('msgpack'))");
    msgpack::object_handle handle = msgpack::unpack(packed.data(), packed.size());
    EXPECT_EQ(store::name_text(handle.get()), c.text) << c.value;
  }
  // A str whose bytes are not UTF-8 has no text.
  std::string bad = "\xa2\xff\xfe";
  msgpack::object_handle handle = msgpack::unpack(bad.data(), bad.size());
  EXPECT_EQ(store::name_text(handle.get()), std::nullopt);
}

TEST(TraceName, ExtensionTenInARecord) {
  EXPECT_EQ(name_of({"{'type': 'start_test', 'test_name': __import__('msgpack').ExtType(10, b'a\\xed\\xa0\\x80b')}"}),
            "a\\ud800b");
}

TEST(TraceName, ResolveUsesSlotAndRemembers) {
  absl::flat_hash_map<std::string, FakeFrames> stores;
  stores["native_1"] = frames_of({test_start("'t'")});
  stores["native_2"] = frames_of({kFrame});

  std::optional<std::string> slot;
  EXPECT_EQ(store::resolve_trace_name(slot, stores, "native_1", false), "MathTests.t");
  EXPECT_EQ(slot, std::nullopt);
  EXPECT_EQ(store::resolve_trace_name(slot, stores, "native_1", true), "MathTests.t");
  EXPECT_EQ(slot, "MathTests.t");
  // A name in the slot wins whatever the frames say.
  EXPECT_EQ(store::resolve_trace_name(slot, stores, "native_2", true), "MathTests.t");

  std::optional<std::string> empty;
  EXPECT_EQ(store::resolve_trace_name(empty, stores, "native_2", true), std::nullopt);
  EXPECT_EQ(empty, std::nullopt);
  EXPECT_EQ(store::resolve_trace_name(empty, stores, "missing", true), std::nullopt);

  // Maps of pointers to stores work the same way.
  std::map<std::string, const FakeFrames*, std::less<>> pointers{{"native_1", &stores["native_1"]}};
  std::optional<std::string> other;
  EXPECT_EQ(store::resolve_trace_name(other, pointers, "native_1", false), "MathTests.t");
}

TEST(TraceName, FromTheIndex) {
  using O = store::TraceNameObservation;
  auto index_of = [](std::vector<O> observations) {
    store::TraceNameIndex index;
    for (auto& o : observations) index.merge(store::TraceNameIndex::single(std::move(o)));
    return index;
  };
  O test{O::Test{"MathTests", "test_add"}, 2};
  O bare{O::Test{std::nullopt, "test_sub"}, 1};
  O request{O::Request{"GET", "/items/"}, 0};
  O other_request{O::Request{"POST", "/x"}, 1};
  O ok{O::Response{"200"}, 5};
  O missing{O::Response{"404"}, 6};
  struct Case {
    std::vector<O> observations;
    std::uint64_t frames;
    std::optional<std::string> name;
  };
  for (const Case& c : std::vector<Case>{
           {{}, 10, std::nullopt},
           {{test}, 6, "MathTests.test_add"},
           {{bare, test}, 6, "test_sub"},
           {{request, ok}, 7, "200 GET /items/"},
           {{request, other_request, ok, missing}, 7, "404 GET /items/"},
           {{request, ok, test}, 7, "MathTests.test_add"},
           {{request}, 7, std::nullopt},
           // Frame 5 of 10 is not relevant (0-2 and 7-9 are).
           {{request, ok}, 10, std::nullopt},
           {{O{O::Test{std::nullopt, "t"}, 3}}, 7, std::nullopt},
       }) {
    EXPECT_EQ(store::name_from_index(index_of(c.observations), c.frames), c.name);
  }
  store::TraceNameIndex disabled;
  disabled.disable();
  EXPECT_EQ(store::name_from_index(disabled, 3), std::nullopt);
}
