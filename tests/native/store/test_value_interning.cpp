// Value interning through the encoder: which values are interned and when,
// the limits, a full table, a failing or busy publication, and finding the
// references in stored records.
#include "store/value_interning.h"
#include "encode/value_references.h"
#include "py/error.h"
#include "py/ref.h"
#include "store/trace_capture.h"
#include "store/writer_runtime.h"
#include "support/byte_buffer.h"

#include "python_helpers.h"
#include "store/store_test_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

namespace encode = vesh::encode;
namespace store = vesh::store;
using encode::InternedKind;
using store::ValueInterning;
using store::ValueInterningContext;
using store::TraceCapture;
using vesh::ByteBuffer;
using vesh::py::Ref;
using store::testing::TempDir;
using vesh::testing::eval;

namespace {

std::string reference(std::uint32_t id) {
  ByteBuffer buf;
  encode::write_value_reference(buf, id);
  return std::string(buf.view());
}

using Shapes = std::vector<std::string>;

// What one encode gave: the bytes, or the error's text.
struct Encoded {
  std::string bytes;
  std::string error;
};

class Interning : public ::testing::Test {
 protected:
  std::shared_ptr<TraceCapture> capture(std::shared_ptr<store::WriterRuntime> runtime = nullptr,
                                        bool in_memory = true) {
    auto made = TraceCapture::for_trace((dir_.path() / "t.db").string(), "trc_" + std::to_string(++made_), 1.0,
                                        runtime ? runtime : std::make_shared<store::WriterRuntime>());
    EXPECT_TRUE(made.ok());
    auto out = std::move(made).value();
    if (in_memory) out->keep_in_memory();
    return out;
  }

  // Starts over with a tracer's fresh interning state.
  void fresh_interning() { interning_ = std::make_unique<ValueInterning>(); }
  ValueInterning& interning() { return *interning_; }

  Encoded encode(PyObject* value, TraceCapture& into) {
    ValueInterningContext context(*interning_, into);
    encode::NativeMsgpackEncoder encoder(*encode::Serializer::get(), encode::EncoderOptions{.interning = &context});
    ByteBuffer buf;
    auto result = encoder.encode_value(value, buf);
    if (!result.ok()) return Encoded{"", std::move(result.error()).into_pyerr().message()};
    return Encoded{std::string(buf.view()), ""};
  }

  // What `times` encodes of `value` in a row gave: "full" (the value's own
  // record), "ref N" (a reference to value N), or the error or other bytes.
  std::vector<std::string> sightings(PyObject* value, TraceCapture& into, int times) {
    std::vector<std::string> out;
    for (int i = 0; i < times; ++i) out.push_back(shape(value, encode(value, into)));
    return out;
  }

  std::string shape(PyObject* value, const Encoded& got) {
    if (!got.error.empty()) return "error: " + got.error;
    if (got.bytes == inline_form(value)) return "full";
    if (got.bytes.size() == 6 && got.bytes.compare(0, 2, "\xd6\x09") == 0) {
      const auto* b = reinterpret_cast<const unsigned char*>(got.bytes.data());
      return "ref " + std::to_string((b[2] << 24) | (b[3] << 16) | (b[4] << 8) | b[5]);
    }
    return "other bytes";
  }

  std::string inline_form(PyObject* value) {
    encode::NativeMsgpackEncoder encoder(*encode::Serializer::get(), encode::EncoderOptions{});
    ByteBuffer buf;
    EXPECT_TRUE(encoder.encode_value(value, buf).ok());
    return std::string(buf.view());
  }

  TempDir dir_;
  std::unique_ptr<ValueInterning> interning_ = std::make_unique<ValueInterning>();
  int made_ = 0;
};

}  // namespace

TEST_F(Interning, ThirdSightingOfALargeValuePublishesItAndWritesAReference) {
  struct Case {
    const char* expr;
    bool interned;
  };
  const Case cases[] = {
      {"'a' * 4096", true},
      {"b'a' * 4096", true},
      {"'a' * 4095", false},
      {"b'a' * 4095", false},
      // The thresholds count bytes of the UTF-8 form, not characters.
      {"'\\u00e9' * 2048", true},
      {"'\\u00e9' * 2047 + 'a'", false},
      // Its cost (record plus data) must fit the 4 MiB of cached values.
      {"'a' * 2097149", true},
      {"'a' * 2097150", false},
  };
  for (const Case& c : cases) {
    fresh_interning();
    auto into = capture();
    Ref value = eval(c.expr);
    const std::string full = inline_form(value.get());
    std::vector<std::string> got = sightings(value.get(), *into, 4);
    if (c.interned) {
      EXPECT_EQ(got, (Shapes{"full", "full", "ref 0", "ref 0"})) << c.expr;
      EXPECT_EQ(into->published_value_ids(), std::vector<std::uint32_t>{0}) << c.expr;
      auto values = interning().published_values(*into);
      ASSERT_EQ(values.size(), 1u) << c.expr;
      EXPECT_TRUE(values[0].second->view() == full) << c.expr;
    } else {
      EXPECT_EQ(got, Shapes(4, "full")) << c.expr;
      EXPECT_TRUE(into->published_value_ids().empty()) << c.expr;
    }
  }
}

TEST_F(Interning, ANewObjectAtAKnownAddressStartsOver) {
  // A bytes object changed in place stands for another object that reuses
  // the address of one that is gone: its fingerprint no longer matches.
  Ref value = Ref::steal(PyBytes_FromStringAndSize(nullptr, 6000));
  char* data = PyBytes_AS_STRING(value.get());
  std::fill(data, data + 6000, 'a');
  auto into = capture();
  encode(value.get(), *into);
  data[5999] = 'b';
  // Seen afresh, then cached: an unchanged object would be referenced already.
  EXPECT_EQ(sightings(value.get(), *into, 4), (Shapes{"full", "full", "ref 0", "ref 0"}));
}

TEST_F(Interning, RecordsGiveTheValuesTheyReferToByAscendingIdOnceEach) {
  auto into = capture();
  std::vector<Ref> values;
  for (char c : std::string("abcd")) {
    values.push_back(eval("'" + std::string(1, c) + "' * 4096"));
    sightings(values.back().get(), *into, 3);
  }
  // Id 99 is not in the table: left out.
  auto got = interning().referenced_values("\x94" + reference(3) + reference(99) + reference(1) + reference(3));
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].first, 1u);
  EXPECT_TRUE(got[0].second->view() == inline_form(values[1].get()));
  EXPECT_EQ(got[1].first, 3u);
  EXPECT_TRUE(got[1].second->view() == inline_form(values[3].get()));
}

TEST(ValueTable, RefusesAValuePastItsCountLimit) {
  store::ValueTable table;
  auto value = std::make_shared<store::InternedValue>();
  value->encoded = std::make_shared<const ByteBuffer>();
  for (std::uint32_t i = 0; i < store::kMaxInternedValues; ++i) ASSERT_EQ(table.insert_value(value), i);
  EXPECT_EQ(table.insert_value(value), std::nullopt);
}

TEST_F(Interning, AFullTableSwitchesInterningOffForGood) {
  auto into = capture();
  Ref first = eval("'firs' * 1024");
  sightings(first.get(), *into, 3);
  // 4,096-byte values cost 8,195 bytes each: the table's 16 MiB hold 2,047.
  std::vector<Ref> values;
  for (int i = 1; i < 2047; ++i) {
    values.push_back(eval("(" + std::to_string(i) + ").to_bytes(4, 'big') * 1024"));
    sightings(values.back().get(), *into, 3);
  }
  EXPECT_FALSE(interning().off());
  Ref refused = eval("b'r' * 4096");
  EXPECT_EQ(sightings(refused.get(), *into, 4), Shapes(4, "full"));
  EXPECT_TRUE(interning().off());
  EXPECT_EQ(interning().table_size(), 2047u);
  // Even a published value is written in full from now on.
  EXPECT_EQ(shape(first.get(), encode(first.get(), *into)), "full");
}

TEST_F(Interning, AFailedPublicationSwitchesInterningOffAndFailsTheEncodeOnlyWhenTheCircuitIsOpen) {
  Ref value = eval("'f' * 5000");
  {
    // A finished capture refuses: the value is written in full.
    auto closed = capture(nullptr, false);
    ASSERT_TRUE(closed->finish({}, ByteBuffer(), {}).ok());
    EXPECT_EQ(sightings(value.get(), *closed, 3), Shapes(3, "full"));
    EXPECT_TRUE(interning().off());
    EXPECT_EQ(interning().table_size(), 0u);
  }
  fresh_interning();
  {
    // With the writer circuit open the encode fails with the writer's error.
    auto runtime = std::make_shared<store::WriterRuntime>(std::chrono::milliseconds(20), false);
    auto stalled = capture(runtime, false);
    auto held = runtime->reserve(store::kResidentBudget + 1, store::GilState::NotHeld);
    ASSERT_FALSE(runtime->reserve(1, store::GilState::NotHeld).ok());
    ASSERT_TRUE(runtime->stalled());
    encode(value.get(), *stalled);
    encode(value.get(), *stalled);
    Encoded third = encode(value.get(), *stalled);
    EXPECT_EQ(third.error, store::circuit_open_error(std::nullopt).text());
    EXPECT_TRUE(interning().off());
    EXPECT_EQ(interning().table_size(), 0u);
    EXPECT_EQ(shape(value.get(), encode(value.get(), *stalled)), "full");
  }
}

TEST_F(Interning, ABusyCaptureGetsTheValueInlineAndLaterByReference) {
  Ref value = eval("b'q' * 5000");
  const std::string full = inline_form(value.get());
  auto runtime = std::make_shared<store::WriterRuntime>();
  auto streamed = capture(runtime, false);
  {
    // The writer's budget is full: publishing would have to wait.
    auto held = runtime->reserve(store::kResidentBudget, store::GilState::NotHeld);
    ASSERT_TRUE(held.ok());
    EXPECT_EQ(sightings(value.get(), *streamed, 3), Shapes(3, "full"));
    EXPECT_FALSE(interning().off());
    EXPECT_EQ(interning().table_size(), 0u);
  }
  EXPECT_EQ(shape(value.get(), encode(value.get(), *streamed)), "ref 0");
  ASSERT_TRUE(streamed->finish({}, ByteBuffer(), {}).ok());
  EXPECT_NE(store::testing::read_file(streamed->final_path()).find(full), std::string::npos);
}

TEST(ValueReferences, FoundWhereverARecordHoldsThem) {
  const std::string r1 = reference(1);
  const std::string r7 = reference(7);
  struct Case {
    std::string bytes;
    bool ok;
    std::vector<std::uint32_t> ids;
  };
  const Case cases[] = {
      {r7, true, {7}},
      // A map holding a reference and an array holding two.
      {"\x82\xa1k" + r7 + "\xa1l\x92" + r1 + r7, true, {7, 1, 7}},
      // Inside a tuple record (ext 6 holding one array), nested in a set.
      {"\xc7\x0c\x07\x91\xc7\x08\x06\x92" + r1 + "\xc0\xa1x", true, {1}},
      // Other extension records and str/bin data are opaque.
      {"\xc7\x06\x05" + r7 + std::string("\xc4\x06", 2) + r1, true, {}},
      // A foreign extension under a tuple's code that holds no array.
      {"\xd6\x06\xff\xff\xff\xff" + r1, true, {1}},
      // Several records back to back.
      {r1 + "\x01" + r7, true, {1, 7}},
      // Cut off: the ids before the cut are kept.
      {"\x92" + r1, false, {1}},
      {r7.substr(0, 4), false, {}},
      {"\xc1", false, {}},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    std::vector<std::uint32_t> ids;
    EXPECT_EQ(encode::collect_value_references(cases[i].bytes, ids), cases[i].ok) << "case " << i;
    EXPECT_EQ(ids, cases[i].ids) << "case " << i;
  }
}
