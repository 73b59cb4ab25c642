// The assignment record: its bytes with and without a frame id, and its
// payload: the value as an item of the extension, its repr text when it
// cannot be encoded, a truncation marker over the budget.
#include "encode/assignment_record.h"

#include "python_helpers.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

using vesh::ByteBuffer;
using vesh::FrameId;
using vesh::encode::LineFrame;
using vesh::encode::Unencoded;
using vesh::py::Ref;

namespace {

vesh::Result<std::optional<ByteBuffer>, vesh::py::PyError> encode(const char* name, const char* value_expr,
                                                                  Unencoded& unencoded,
                                                                  std::optional<std::size_t> budget = std::nullopt,
                                                                  bool lightweight_repr = false) {
  static const vesh::encode::SerializerState* state = vesh::encode::Serializer::get();
  EXPECT_NE(state, nullptr);
  Ref value = vesh::testing::eval(value_expr);
  return vesh::encode::encode_assign_payload(name, value.get(), *state, budget, lightweight_repr, unencoded);
}

// The payload of a value that encodes.
std::string payload_of(const char* name, const char* value_expr, std::optional<std::size_t> budget = std::nullopt) {
  Unencoded unencoded;
  auto payload = encode(name, value_expr, unencoded, budget);
  EXPECT_FALSE(unencoded.error) << value_expr;
  if (!payload.ok() || !payload.value()) {
    ADD_FAILURE() << value_expr;
    return {};
  }
  return std::string(payload.value()->view());
}

std::string fixstr(const std::string& text) { return std::string(1, static_cast<char>(0xa0 | text.size())) + text; }

LineFrame line(std::optional<FrameId> id) { return LineFrame{"app.py:3", "f", "app.f", std::move(id), 1.5}; }

// The record up to the "assign" extension's header.
std::string head(const LineFrame& l) {
  std::string out = "\x88" + fixstr("path") + fixstr(l.path) + fixstr("co_name") + fixstr(l.co_name) +
                    fixstr("qualname") + fixstr(l.qualname) + fixstr("event") + fixstr("line") + fixstr("frame_id");
  out += l.frame_id ? std::string("\xbe") + std::string(l.frame_id->view()) : std::string("\xc0");
  out += fixstr("timestamp") + std::string("\xcb\x3f\xf8\x00\x00\x00\x00\x00\x00", 9) + fixstr("type") +
         fixstr("frame") + fixstr("assign");
  return out;
}

TEST(AssignmentRecord, IsTheFrameFieldsThenTheAssignExtensionInItsShortestForm) {
  struct Case {
    const char* name;
    const char* value;
    std::string header;
  };
  const Case cases[] = {
      {"x", "1", std::string("\xd6\x06", 2)},                // 4 bytes: fixext 4
      {"xy", "1", std::string("\xc7\x05\x06", 3)},           // ext 8
      {"x", "'a' * 300", std::string("\xc8\x01\x32\x06", 4)},  // ext 16
  };
  for (const Case& c : cases) {
    const std::string payload = payload_of(c.name, c.value);
    for (const auto& id : {std::optional<FrameId>(FrameId::fresh()), std::optional<FrameId>()}) {
      ByteBuffer buffer;
      buffer.append(std::string_view("earlier"));
      ASSERT_TRUE(vesh::encode::write_assignment_record(buffer, line(id), payload));
      EXPECT_EQ(std::string(buffer.view()), "earlier" + head(line(id)) + c.header + payload) << c.value;
    }
  }
}

TEST(AssignPayload, IsTheNameThenTheValueAsAnItemOfTheExtension) {
  EXPECT_EQ(payload_of("x", "None"), std::string("\x92\xa1x\xc0", 4));
  EXPECT_EQ(payload_of("t", "(1, 2)"), std::string("\x92\xa1t\xc7\x03\x06\x92\x01\x02", 9));
  // The same list twice inside the value: written out twice, never as a
  // reference that would reach outside the extension.
  EXPECT_EQ(payload_of("v", "(lambda l: [l, l])([[i] for i in range(1100)])").find("\xd6\x0b"), std::string::npos);
  // Over the budget: the truncation marker extension.
  const std::string marked = payload_of("v", "'z' * 1000", 100);
  EXPECT_EQ(marked.substr(0, 3), "\x92\xa1v");
  EXPECT_EQ(static_cast<unsigned char>(marked.at(5)), 12);
}

TEST(AssignPayload, AValueThatCannotBeEncodedIsItsReprTextAndWithoutOneThereIsNoPayload) {
  vesh::testing::run(
      "class _NoClass:\n    __class__ = property(lambda self: 1 / 0)\n"
      "class _NoRepr(_NoClass):\n    def __repr__(self): raise ValueError('no repr')\n");
  // With lightweight_repr the encoder reads the value's class, which raises.
  Unencoded unencoded;
  auto written = encode("v", "_NoClass()", unencoded, std::nullopt, true);
  ASSERT_TRUE(written.ok() && written.value());
  // [name, the text extension holding the repr]
  const std::string bytes(written.value()->view());
  EXPECT_EQ(bytes.substr(0, 4), "\x92\xa1v\xc7");
  EXPECT_EQ(bytes.at(5), static_cast<char>(vesh::encode::ext::kText));
  EXPECT_EQ(bytes.substr(6, 18), "<__main__._NoClass");
  ASSERT_TRUE(unencoded.error);
  EXPECT_TRUE(unencoded.error.matches(PyExc_ZeroDivisionError));

  Unencoded again;
  auto omitted = encode("v", "_NoRepr()", again, std::nullopt, true);
  ASSERT_TRUE(omitted.ok());
  EXPECT_FALSE(omitted.value());
  ASSERT_TRUE(again.error);
  EXPECT_TRUE(again.error.matches(PyExc_ZeroDivisionError));
  EXPECT_TRUE(again.omitted);
}

}  // namespace
