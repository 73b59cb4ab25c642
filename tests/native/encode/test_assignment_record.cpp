// The assignment record: its bytes, the shortest extension header for each
// payload length, a frame without an id, and values encoded as items of the
// extension.
#include "encode/assignment_record.h"

#include "python_helpers.h"

#include <gtest/gtest.h>

#include <string>

using vesh::ByteBuffer;
using vesh::FrameId;
using vesh::encode::LineFrame;
using vesh::py::Ref;

namespace {

const vesh::encode::SerializerState& state() {
  static const vesh::encode::SerializerState* made = vesh::encode::Serializer::get();
  EXPECT_NE(made, nullptr);
  return *made;
}

vesh::Result<ByteBuffer, vesh::py::PyError> encode(const std::string& name, PyObject* value,
                                                   std::optional<std::size_t> budget = std::nullopt,
                                                   bool lightweight_repr = false) {
  vesh::encode::Unencoded unencoded;
  auto payload = vesh::encode::encode_assign_payload(name, value, state(), budget, lightweight_repr, unencoded);
  EXPECT_FALSE(unencoded.error);
  return payload;
}

std::string payload_of(const std::string& name, const char* value_expr) {
  Ref value = vesh::testing::eval(value_expr);
  auto payload = encode(name, value.get());
  EXPECT_TRUE(payload.ok());
  return std::string(payload.value().view());
}

std::string fixstr(const std::string& text) { return std::string(1, static_cast<char>(0xa0 | text.size())) + text; }

LineFrame line(std::optional<FrameId> id) {
  return LineFrame{"app.py:3", "f", "app.f", std::move(id), 1.5};
}

// The record up to the "assign" extension's header.
std::string head(const LineFrame& l) {
  std::string out = "\x88" + fixstr("path") + fixstr(l.path) + fixstr("co_name") + fixstr(l.co_name) +
                    fixstr("qualname") + fixstr(l.qualname) + fixstr("event") + fixstr("line") + fixstr("frame_id");
  out += l.frame_id ? std::string("\xbe") + std::string(l.frame_id->view()) : std::string("\xc0");
  out += fixstr("timestamp") + std::string("\xcb\x3f\xf8\x00\x00\x00\x00\x00\x00", 9) + fixstr("type") +
         fixstr("frame") + fixstr("assign");
  return out;
}

struct HeaderCase {
  const char* name;
  const char* value;
  std::size_t payload_length;
  std::string header;
};

class AssignExtHeader : public ::testing::TestWithParam<HeaderCase> {};

TEST_P(AssignExtHeader, IsTheShortestFormForThePayload) {
  const HeaderCase& c = GetParam();
  const std::string payload = payload_of(c.name, c.value);
  ASSERT_EQ(payload.size(), c.payload_length);
  for (const auto& id : {std::optional<FrameId>(FrameId::fresh()), std::optional<FrameId>()}) {
    ByteBuffer buffer;
    buffer.append(std::string_view("earlier"));
    ASSERT_TRUE(vesh::encode::write_assignment_record(buffer, line(id), payload));
    EXPECT_EQ(std::string(buffer.view()), "earlier" + head(line(id)) + c.header + payload);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Lengths, AssignExtHeader,
    ::testing::Values(HeaderCase{"x", "1", 4, std::string("\xd6\x06", 2)},
                      HeaderCase{"xy", "1", 5, std::string("\xc7\x05\x06", 3)},
                      HeaderCase{"x", "'abcdefghijkl'", 16, std::string("\xd8\x06", 2)},
                      HeaderCase{"x", "'abcdefghijklm'", 17, std::string("\xc7\x11\x06", 3)},
                      HeaderCase{"x", "'a' * 300", 306, std::string("\xc8\x01\x32\x06", 4)}));

TEST(AssignPayload, NameThenValueAsAnItemOfTheExtension) {
  EXPECT_EQ(payload_of("x", "None"), std::string("\x92\xa1x\xc0", 4));
  EXPECT_EQ(payload_of("t", "(1, 2)"), std::string("\x92\xa1t\xc7\x03\x06\x92\x01\x02", 9));
  // The same list twice inside the value: written out twice, never as a
  // reference that would reach outside the extension.
  Ref value = vesh::testing::eval("(lambda l: [l, l])([[i] for i in range(1100)])");
  auto payload = encode("v", value.get());
  ASSERT_TRUE(payload.ok());
  EXPECT_EQ(std::string(payload.value().view()).find("\xd6\x0b"), std::string::npos);
}

TEST(AssignPayload, AValueThatCannotBeEncodedIsItsReprText) {
  vesh::testing::run(
      "class _NoClass:\n    __class__ = property(lambda self: 1 / 0)\n"
      "class _NoRepr(_NoClass):\n    def __repr__(self): raise ValueError('no repr')\n");
  struct Case {
    const char* value;
    bool written;  // as its repr text; else the encoding's error is returned
  };
  for (const Case& c : {Case{"_NoClass()", true}, Case{"_NoRepr()", false}}) {
    Ref value = vesh::testing::eval(c.value);
    vesh::encode::Unencoded unencoded;
    // With lightweight_repr the encoder reads the value's class, which raises.
    auto payload = vesh::encode::encode_assign_payload("v", value.get(), state(), std::nullopt, true, unencoded);
    ASSERT_EQ(payload.ok(), c.written) << c.value;
    if (c.written) {
      const std::string_view bytes = payload.value().view();
      // [name, the text extension holding the repr]
      EXPECT_EQ(bytes.substr(0, 3), std::string_view("\x92\xa1v")) << c.value;
      EXPECT_EQ(bytes.substr(3, 1), std::string_view("\xc7")) << c.value;
      EXPECT_EQ(bytes[5], static_cast<char>(vesh::encode::ext::kText)) << c.value;
      EXPECT_EQ(bytes.substr(6, 18), std::string_view("<__main__._NoClass")) << c.value;
      ASSERT_TRUE(unencoded.error) << c.value;
      EXPECT_TRUE(unencoded.error.matches(PyExc_ZeroDivisionError)) << c.value;
    } else {
      EXPECT_TRUE(payload.error().matches(PyExc_ZeroDivisionError)) << c.value;
    }
  }
}

TEST(AssignPayload, AValueOverTheBudgetIsATruncationMarker) {
  Ref big = vesh::testing::eval("'z' * 1000");
  auto marked = encode("v", big.get(), 100);
  ASSERT_TRUE(marked.ok());
  EXPECT_EQ(marked.value().view().substr(0, 3), std::string_view("\x92\xa1v"));
  EXPECT_EQ(static_cast<unsigned char>(marked.value().view()[5]), 12);  // the truncation marker
}

}  // namespace
