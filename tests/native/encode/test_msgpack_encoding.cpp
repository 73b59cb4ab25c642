// Pair writers (exact bytes at every header boundary) and thread keys.
#include "encode/msgpack_encoding.h"

#include "python_helpers.h"

#include <gtest/gtest.h>
#include <msgpack.hpp>
#include <unistd.h>

#include <cstdio>
#include <limits>
#include <map>
#include <string>

using vesh::ByteBuffer;
using vesh::py::Ref;
using vesh::testing::item;
using vesh::testing::run_python;
using vesh::testing::take_error_text;
namespace enc = vesh::encode;

namespace {

std::string hex(std::string_view bytes) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    if (!out.empty()) out.push_back(' ');
    out.push_back(digits[c >> 4]);
    out.push_back(digits[c & 15]);
  }
  return out;
}

std::string key(std::string_view k) { return std::string(1, static_cast<char>(0xa0 | k.size())) + std::string(k); }

}  // namespace

TEST(PairWriters, StrPair) {
  ByteBuffer buffer;
  enc::write_str_pair(buffer, "name", std::nullopt);
  EXPECT_EQ(buffer.view(), key("name") + "\xc0");
  buffer.clear();
  enc::write_str_pair(buffer, "name", "");
  EXPECT_EQ(buffer.view(), key("name") + "\xa0");
  buffer.clear();
  enc::write_str_pair(buffer, "name", "abc");
  EXPECT_EQ(buffer.view(), key("name") + "\xa3" "abc");
}

TEST(PairWriters, StrHeaderBoundaries) {
  struct Case {
    std::size_t length;
    std::string header;
  };
  const Case cases[] = {
      {31, "bf"},          {32, "d9 20"},       {255, "d9 ff"},
      {256, "da 01 00"},   {65535, "da ff ff"}, {65536, "db 00 01 00 00"},
  };
  for (const Case& c : cases) {
    ByteBuffer buffer;
    std::string text(c.length, 'x');
    enc::write_str_pair(buffer, "k", text);
    std::string_view written = buffer.view().substr(2);
    std::size_t header_size = (c.header.size() + 1) / 3;
    EXPECT_EQ(hex(written.substr(0, header_size)), c.header) << c.length;
    EXPECT_EQ(written.substr(header_size), text);
  }
}

TEST(PairWriters, FramePath) {
  struct Case {
    std::string path;
    std::optional<std::uint64_t> line;
    std::string text;
  };
  const Case cases[] = {
      {"app.py", 0, "app.py:0"},
      {"app.py", std::nullopt, "app.py:None"},
      {"", 7, ":7"},
      {"m.py", std::numeric_limits<std::uint64_t>::max(), "m.py:18446744073709551615"},
  };
  for (const Case& c : cases) {
    ByteBuffer buffer;
    enc::write_frame_path_pair(buffer, c.path, c.line);
    ByteBuffer expected;
    enc::write_str_pair(expected, "path", c.text);
    EXPECT_EQ(buffer.view(), expected.view()) << c.text;
  }
  // 31 bytes in total take a one-byte header, 32 bytes the str8 form.
  ByteBuffer short_path, long_path;
  enc::write_frame_path_pair(short_path, std::string(29, 'p'), 1);
  enc::write_frame_path_pair(long_path, std::string(30, 'p'), 1);
  EXPECT_EQ(hex(short_path.view().substr(5, 1)), "bf");
  EXPECT_EQ(hex(long_path.view().substr(5, 2)), "d9 20");
  EXPECT_EQ(short_path.view().substr(6), std::string(29, 'p') + ":1");
}

TEST(PairWriters, Qualname) {
  ByteBuffer buffer;
  enc::write_frame_qualname_pair(buffer, "app.views", "Order.total");
  EXPECT_EQ(buffer.view(), key("qualname") + "\xb5" "app.views.Order.total");
}

TEST(PairWriters, IntBoolAndFloat) {
  struct Case {
    std::optional<std::uint64_t> value;
    std::string bytes;
  };
  const Case cases[] = {
      {0, "00"},
      {127, "7f"},
      {128, "cc 80"},
      {255, "cc ff"},
      {256, "cd 01 00"},
      {65535, "cd ff ff"},
      {65536, "ce 00 01 00 00"},
      {(1ull << 32) - 1, "ce ff ff ff ff"},
      {1ull << 32, "cf 00 00 00 01 00 00 00 00"},
      {std::nullopt, "c0"},
  };
  for (const Case& c : cases) {
    ByteBuffer buffer;
    enc::write_int_pair(buffer, "n", c.value);
    EXPECT_EQ(hex(buffer.view().substr(2)), c.bytes);
  }

  ByteBuffer flags;
  enc::write_bool_pair(flags, "a", true);
  enc::write_bool_pair(flags, "b", false);
  EXPECT_EQ(hex(flags.view()), "a1 61 c3 a1 62 c2");

  ByteBuffer zero;
  enc::write_f64_pair(zero, "timestamp", 0.0);
  EXPECT_EQ(zero.view(), key("timestamp") + std::string("\xcb\0\0\0\0\0\0\0\0", 9));
  ByteBuffer one_and_half;
  enc::write_f64_pair(one_and_half, "timestamp", 1.5);
  EXPECT_EQ(hex(one_and_half.view().substr(10)), "cb 3f f8 00 00 00 00 00 00");
  // Integral and special values stay float 64.
  struct Float {
    double value;
    const char* bytes;
  };
  const Float floats[] = {{-2.0, "cb c0 00 00 00 00 00 00 00"},
                          {1e300, "cb 7e 37 e4 3c 88 00 75 9c"},
                          {std::numeric_limits<double>::infinity(), "cb 7f f0 00 00 00 00 00 00"}};
  for (const Float& f : floats) {
    ByteBuffer buffer;
    enc::write_f64(buffer, f.value);
    EXPECT_EQ(hex(buffer.view()), f.bytes);
  }
}

TEST(PairWriters, UserCodeCallSite) {
  vesh::FrameId id = vesh::FrameId::fresh();
  std::string prefix = "\xb3user_code_call_site\x82" + key("call_frame_id") + "\xbe" + id.to_string() + key("line_number");
  struct Case {
    std::optional<std::int32_t> line;
    std::string bytes;
  };
  const Case cases[] = {
      {-1, "ff"},          {-32, "e0"},    {-33, "d0 df"},   {-128, "d0 80"},
      {-129, "d1 ff 7f"},  {0, "00"},      {127, "7f"},      {128, "cc 80"},
      {300, "cd 01 2c"},   {70000, "ce 00 01 11 70"},        {std::nullopt, "c0"},
      {std::numeric_limits<std::int32_t>::min(), "d2 80 00 00 00"},
  };
  for (const Case& c : cases) {
    ByteBuffer buffer;
    enc::write_user_code_call_site(buffer, vesh::UserCodeCallSite{c.line, id});
    ASSERT_EQ(buffer.view().substr(0, prefix.size()), prefix);
    EXPECT_EQ(hex(buffer.view().substr(prefix.size())), c.bytes);
  }
  ByteBuffer absent;
  enc::write_user_code_call_site(absent, std::nullopt);
  EXPECT_EQ(absent.view(), "\xb3user_code_call_site\xc0");
}

// The frame record's pairs written in one piece are the bytes of the pair
// writers one by one.
TEST(PairWriters, FramePairsInOneWrite) {
  vesh::FrameId id = vesh::FrameId::fresh();
  const std::optional<vesh::UserCodeCallSite> sites[] = {
      std::nullopt,
      vesh::UserCodeCallSite{std::nullopt, id},
      vesh::UserCodeCallSite{-129, id},
      vesh::UserCodeCallSite{70000, id},
      vesh::UserCodeCallSite{std::numeric_limits<std::int32_t>::min(), id},
  };
  for (const auto& site : sites) {
    ByteBuffer one;
    ByteBuffer separate;
    enc::write_frame_closing_pairs(one, 1700000000.125, site);
    enc::write_f64_pair(separate, "timestamp", 1700000000.125);
    enc::write_str_pair(separate, "type", "frame");
    enc::write_user_code_call_site(separate, site);
    EXPECT_EQ(hex(one.view()), hex(separate.view()));
  }
  for (const char* event : {"call", "return", "unwind", "resume", "yield", "throw"}) {
    ByteBuffer one;
    ByteBuffer separate;
    enc::write_event_and_frame_id_pairs(one, event, id);
    enc::write_str_pair(separate, "event", event);
    enc::write_str_pair(separate, "frame_id", id.view());
    EXPECT_EQ(hex(one.view()), hex(separate.view()));
  }
}

TEST(PairWriters, RecordReadsBack) {
  ByteBuffer buffer;
  buffer.push_back(static_cast<char>(0x86));
  enc::write_frame_path_pair(buffer, "app/m.py", 12);
  enc::write_frame_qualname_pair(buffer, "app.m", "f");
  enc::write_f64_pair(buffer, "timestamp", 1700000000.25);
  enc::write_int_pair(buffer, "count", 300);
  enc::write_bool_pair(buffer, "ok", true);
  enc::write_user_code_call_site(buffer, vesh::UserCodeCallSite{-5, vesh::FrameId::fresh()});
  msgpack::object_handle handle = msgpack::unpack(buffer.data(), buffer.size());
  auto map = handle.get().as<std::map<std::string, msgpack::object>>();
  EXPECT_EQ(map.at("path").as<std::string>(), "app/m.py:12");
  EXPECT_EQ(map.at("qualname").as<std::string>(), "app.m.f");
  EXPECT_EQ(map.at("timestamp").as<double>(), 1700000000.25);
  EXPECT_EQ(map.at("count").as<int>(), 300);
  EXPECT_TRUE(map.at("ok").as<bool>());
  auto site = map.at("user_code_call_site").as<std::map<std::string, msgpack::object>>();
  EXPECT_EQ(site.at("line_number").as<int>(), -5);
  EXPECT_EQ(site.at("call_frame_id").as<std::string>().substr(0, 4), "frm_");
}

// ---------------------------------------------------------------------------
// Thread keys

namespace {

// Runs get_thread_id with fd 1 redirected; answers the key (or the error)
// and what was written to standard output.
std::pair<std::string, std::string> thread_key(PyObject* thread) {
  std::fflush(stdout);
  int fds[2];
  EXPECT_EQ(pipe(fds), 0);
  int saved = dup(STDOUT_FILENO);
  dup2(fds[1], STDOUT_FILENO);
  close(fds[1]);
  std::string key;
  bool ok = enc::get_thread_id(thread, key);
  dup2(saved, STDOUT_FILENO);
  close(saved);
  std::string printed;
  char chunk[512];
  ssize_t n;
  while ((n = read(fds[0], chunk, sizeof chunk)) > 0) printed.append(chunk, static_cast<std::size_t>(n));
  close(fds[0]);
  return {ok ? key : take_error_text(), printed};
}

struct ThreadCase {
  const char* name;
  const char* attributes;  // body of class T
  const char* key;
  const char* printed;
};

class ThreadKeyTable : public ::testing::TestWithParam<ThreadCase> {};

}  // namespace

TEST_P(ThreadKeyTable, Key) {
  std::string code = std::string("class T:\n") + GetParam().attributes + "thread = T()\n";
  Ref ns = run_python(code.c_str());
  ASSERT_TRUE(ns);
  auto [key, printed] = thread_key(item(ns, "thread"));
  EXPECT_EQ(key, GetParam().key);
  EXPECT_EQ(printed, GetParam().printed);
}

INSTANTIATE_TEST_SUITE_P(
    Threads, ThreadKeyTable,
    ::testing::Values(
        ThreadCase{"native_first", "    native_id = 42\n    ident = 17\n", "native_42", ""},
        ThreadCase{"native_none", "    native_id = None\n    ident = 17\n", "ident_17", ""},
        ThreadCase{"native_missing", "    ident = 17\n", "ident_17", ""},
        ThreadCase{"attribute_error_subclass",
                   "    class Gone(AttributeError): pass\n"
                   "    @property\n"
                   "    def native_id(self):\n"
                   "        raise self.Gone('x')\n"
                   "    ident = 17\n",
                   "ident_17", ""},
        ThreadCase{"largest", "    native_id = 2**64 - 1\n", "native_18446744073709551615", ""},
        ThreadCase{"index_protocol",
                   "    class N:\n"
                   "        def __index__(self):\n"
                   "            return 9\n"
                   "    native_id = N()\n",
                   "native_9", ""},
        ThreadCase{"negative_native_fails", "    native_id = -1\n    ident = 17\n",
                   "OverflowError: can't convert negative int to unsigned", ""},
        ThreadCase{"too_large_fails", "    native_id = 2**64\n", "OverflowError: int too big to convert", ""},
        ThreadCase{"not_an_int_fails", "    native_id = '42'\n",
                   "TypeError: 'str' object cannot be interpreted as an integer", ""},
        ThreadCase{"ident_raises_fails",
                   "    native_id = 42\n"
                   "    @property\n"
                   "    def ident(self):\n"
                   "        raise RuntimeError('no ident')\n",
                   "RuntimeError: no ident", ""},
        ThreadCase{"no_ids", "    name = 'worker'\n", "no_thread_id", "Vesh warning: thread has no id: worker\n"},
        ThreadCase{"no_ids_both_none", "    native_id = None\n    ident = None\n    name = 'w2'\n", "no_thread_id",
                   "Vesh warning: thread has no id: w2\n"},
        ThreadCase{"no_ids_name_raises",
                   "    @property\n"
                   "    def name(self):\n"
                   "        raise ValueError('no name')\n",
                   "no_thread_id", "Vesh warning: thread has no id: <unknown>\n"},
        ThreadCase{"no_ids_name_missing", "    pass\n", "no_thread_id", "Vesh warning: thread has no id: <unknown>\n"},
        ThreadCase{"no_ids_name_not_str", "    name = 5\n",
                   "TypeError: 'int' object cannot be converted to 'PyString'", ""},
        ThreadCase{"no_ids_name_undecodable", "    name = 'w\\udcff'\n", "no_thread_id",
                   "Vesh warning: thread has no id: w\xff\n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ThreadKey, CurrentThread) {
  Ref ns = run_python("import threading\nthread = threading.current_thread()\nnative = thread.native_id\n");
  ASSERT_TRUE(ns);
  std::string key;
  ASSERT_TRUE(enc::get_thread_id(item(ns, "thread"), key));
  EXPECT_EQ(key, "native_" + std::to_string(PyLong_AsUnsignedLongLong(item(ns, "native"))));
}
