// The native value encoder: byte budget and truncation markers, appending
// into a caller's buffer, the native stack floor, the interning hook and the
// encode error's conversion.
#include "py/error.h"
#include "py/ref.h"
#include "support/byte_buffer.h"
#include "support/native_stack.h"
#include "encode/value_serializer.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

using vesh::ByteBuffer;
using vesh::encode::EncodeError;
using vesh::encode::EncoderOptions;
using vesh::encode::InternedKind;
using vesh::encode::InternLookup;
using vesh::encode::NativeMsgpackEncoder;
using vesh::encode::SerializerState;
using vesh::py::PyError;
using vesh::py::Ref;

namespace {

Ref eval(const std::string& expr) {
  Ref globals = Ref::steal(PyDict_New());
  PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins());
  Ref out = Ref::steal(PyRun_String(expr.c_str(), Py_eval_input, globals.get(), globals.get()));
  if (!out) PyErr_Print();
  return out;
}

const SerializerState& state() {
  static const SerializerState* made = [] {
    const SerializerState* s = vesh::encode::Serializer::get();
    if (s == nullptr) PyErr_Print();
    return s;
  }();
  EXPECT_NE(made, nullptr);
  return *made;
}

std::string bytes_of(const ByteBuffer& buf) { return std::string(buf.view()); }

std::string marker(const std::string& type_name, std::uint64_t budget) {
  std::string text = type_name + " exceeded max_value_mb (" + std::to_string(budget) +
                     " bytes); raise max_value_mb in .vesh/config.toml or set it to false";
  std::string out;
  if (text.size() < 256) {
    out += static_cast<char>(0xc7);
    out += static_cast<char>(text.size());
  } else {
    out += static_cast<char>(0xc8);
    out += static_cast<char>(text.size() >> 8);
    out += static_cast<char>(text.size() & 0xff);
  }
  out += static_cast<char>(12);
  return out + text;
}

struct Outcome {
  bool ok = false;
  bool replaced = false;
  std::string bytes;
  std::string error_type;
  std::string error_message;
};

Outcome encode(PyObject* value, std::optional<std::size_t> budget, const std::string& prefix = "",
               vesh::encode::InterningContext* interning = nullptr) {
  ByteBuffer buf;
  buf.append(prefix);
  Outcome out;
  NativeMsgpackEncoder encoder(state(), EncoderOptions{.byte_budget = budget, .interning = interning});
  auto result = encoder.encode_value(value, buf);
  out.ok = result.ok();
  if (out.ok) {
    out.replaced = result.value();
  } else {
    PyError error = std::move(result.error()).into_pyerr();
    out.error_type = reinterpret_cast<PyTypeObject*>(error.type())->tp_name;
    out.error_message = error.message();
  }
  out.bytes = bytes_of(buf);
  return out;
}

}  // namespace

TEST(ValueEncoderBudget, ExactFitIsKeptOneByteOverIsAMarker) {
  Ref abc = eval("'abc'");  // a3 61 62 63
  Outcome fit = encode(abc.get(), 4);
  ASSERT_TRUE(fit.ok);
  EXPECT_FALSE(fit.replaced);
  EXPECT_EQ(fit.bytes, "\xa3" "abc");

  Outcome over = encode(abc.get(), 3);
  ASSERT_TRUE(over.ok);
  EXPECT_TRUE(over.replaced);
  EXPECT_EQ(over.bytes, marker("str", 3));

  // A container's budget is projected before anything is written and then
  // checked again on the final length.
  Ref list = eval("[1, 2, 3]");  // 93 01 02 03
  EXPECT_FALSE(encode(list.get(), 4).replaced);
  Outcome list_over = encode(list.get(), 3);
  EXPECT_TRUE(list_over.replaced);
  EXPECT_EQ(list_over.bytes, marker("list", 3));
  Ref nested = eval("{'k': 'x' * 40}");  // 81 a1 6b d9 28 + 40
  EXPECT_FALSE(encode(nested.get(), 45).replaced);
  EXPECT_EQ(encode(nested.get(), 44).bytes, marker("dict", 44));
}

TEST(ValueEncoderBudget, BudgetCountsFromTheValuesOwnStart) {
  Ref abc = eval("'abc'");
  Outcome fit = encode(abc.get(), 4, "prefix");
  EXPECT_FALSE(fit.replaced);
  EXPECT_EQ(fit.bytes, "prefix\xa3" "abc");
  Outcome over = encode(abc.get(), 3, "prefix");
  EXPECT_TRUE(over.replaced);
  EXPECT_EQ(over.bytes, "prefix" + marker("str", 3));
}

TEST(ValueEncoderBudget, LongListsAreCheckedWhileBeingWritten) {
  // 1000 small ints: projection says 1000 bytes, the real size is larger.
  Ref list = eval("[1000] * 1000");  // 3 bytes each + 3-byte header
  EXPECT_FALSE(encode(list.get(), 3003).replaced);
  EXPECT_TRUE(encode(list.get(), 3002).replaced);
  EXPECT_TRUE(encode(list.get(), 1500).replaced);
}

TEST(ValueEncoderBudget, NoBudgetNeverTruncatesAndZeroAlwaysDoes) {
  Ref big = eval("['x' * 100000] * 20");
  Outcome whole = encode(big.get(), std::nullopt);
  ASSERT_TRUE(whole.ok);
  EXPECT_FALSE(whole.replaced);
  EXPECT_GT(whole.bytes.size(), 2000000u);
  Ref none = eval("None");
  EXPECT_EQ(encode(none.get(), 0).bytes, marker("NoneType", 0));
}

TEST(ValueEncoderBudget, ExtensionRecordsFitExactly) {
  struct Case {
    const char* expr;
    std::size_t exact;  // encoded size: fits at this budget, marker one below
    const char* type_name;
  };
  const Case cases[] = {
      {"(1, 2)", 6, "tuple"},                      // c7 03 06 92 01 02: reserved header room is exempt
      {"((1,), (2,))", 12, "tuple"},               // nested records, each with reserved room
      {"2**64", 13, "int"},                        // c7 0a 04 + 10 bytes
      {"bytearray(b'abc')", 5, "bytearray"},       // c4 03 + 3
      {"__import__('datetime').date(2020, 1, 2)", 13, "date"},
      {"{1, 2}", 6, "set"},
  };
  for (const Case& c : cases) {
    Ref value = eval(c.expr);
    ASSERT_TRUE(value) << c.expr;
    Outcome fit = encode(value.get(), c.exact);
    EXPECT_TRUE(fit.ok) << c.expr;
    EXPECT_FALSE(fit.replaced) << c.expr;
    EXPECT_EQ(fit.bytes.size(), c.exact) << c.expr;
    Outcome over = encode(value.get(), c.exact - 1);
    EXPECT_TRUE(over.replaced) << c.expr;
    EXPECT_EQ(over.bytes, marker(c.type_name, c.exact - 1)) << c.expr;
  }
}

TEST(ValueEncoderBudget, LargeSetIsRefusedBeforeItIsCopied) {
  // A set subclass would be copied with list(); an exact set is sized first.
  Ref value = eval("set(range(1000000))");
  Outcome out = encode(value.get(), 100);
  EXPECT_TRUE(out.replaced);
  EXPECT_EQ(out.bytes, marker("set", 100));
}

TEST(ValueEncoderBudget, MarkerNamesAreQualifiedAndCut) {
  Ref value = eval("type('Outer', (), {'__qualname__': 'Outer.' + 'N' * 300})()");
  ASSERT_TRUE(value);
  EXPECT_EQ(encode(value.get(), 10).bytes, marker("Outer." + std::string(194, 'N'), 10));
}

TEST(ValueEncoderErrors, FailureLeavesTheBufferAsItWas) {
  Ref deep = eval("__import__('functools').reduce(lambda v, _: [v], range(1100), 1)");
  ASSERT_TRUE(deep);
  Outcome out = encode(deep.get(), std::nullopt, "keep");
  EXPECT_FALSE(out.ok);
  EXPECT_EQ(out.error_type, std::string("ValueError"));
  EXPECT_EQ(out.error_message, "recursion limit exceeded.");
  EXPECT_EQ(out.bytes, "keep");
}

TEST(ValueEncoderErrors, IntoPyerrConvertsEachKind) {
  PyError over = EncodeError::over_budget().into_pyerr();
  EXPECT_TRUE(over.matches(PyExc_ValueError));
  EXPECT_EQ(over.message(), "value exceeds max_value_mb");
  PyError message = EncodeError::message("trace writer closed").into_pyerr();
  EXPECT_EQ(Py_TYPE(message.value()), reinterpret_cast<PyTypeObject*>(PyExc_OSError));
  EXPECT_EQ(message.message(), "trace writer closed");
  PyError original = PyError::make(PyExc_KeyError, "k");
  PyObject* identity = original.value();
  PyError back = EncodeError::python(std::move(original)).into_pyerr();
  EXPECT_EQ(back.value(), identity);
}

TEST(ValueEncoderErrors, CarefulRetryOnlyForExactClasses) {
  struct Case {
    const char* expr;
    bool careful;
  };
  const Case cases[] = {
      {"RecursionError('x')", true},
      {"ValueError('recursion limit exceeded.')", true},
      {"ValueError('recursion limit exceeded')", true},
      {"ValueError('operation forbidden on released memoryview object')", true},
      {"ValueError('recursion limit exceeded.', 1)", false},
      {"ValueError('something else')", false},
      {"type('R', (RecursionError,), {})()", false},
      {"type('V', (ValueError,), {})('recursion limit exceeded.')", false},
      {"UnicodeEncodeError('utf-8', 'a\\ud800', 1, 2, 'surrogates not allowed')", true},
      {"UnicodeEncodeError('utf-8', 'a', 0, 1, 'other')", false},
      {"KeyError('k')", false},
  };
  for (const Case& c : cases) {
    Ref exc = eval(c.expr);
    ASSERT_TRUE(exc) << c.expr;
    EXPECT_EQ(vesh::encode::needs_careful(exc.get()), c.careful) << c.expr;
    EXPECT_FALSE(PyErr_Occurred());
  }
}

TEST(ValueEncoderStack, LowNativeStackFailsWithRecursionError) {
  Ref nested = eval("[[1], {'a': [2]}]");
  Ref scalar = eval("'scalar'");
  vesh::native_stack::set_override_for_thread(std::optional<std::size_t>(vesh::encode::kEncoderStackFloor - 1));
  Outcome low = encode(nested.get(), std::nullopt, "keep");
  Outcome leaf = encode(scalar.get(), std::nullopt);
  vesh::native_stack::set_override_for_thread(std::nullopt);
  EXPECT_FALSE(low.ok);
  EXPECT_EQ(low.error_type, std::string("RecursionError"));
  EXPECT_EQ(low.error_message, "maximum recursion depth exceeded");
  EXPECT_EQ(low.bytes, "keep");
  EXPECT_TRUE(leaf.ok);  // leaves do not recurse

  vesh::native_stack::set_override_for_thread(std::optional<std::size_t>(vesh::encode::kEncoderStackFloor));
  Outcome enough = encode(nested.get(), std::nullopt);
  vesh::native_stack::set_override_for_thread(std::nullopt);
  EXPECT_TRUE(enough.ok);
}

TEST(ValueEncoderState, NestingLimitFollowsMsgpackVersion) {
  using vesh::encode::max_depth_for_msgpack_version;
  EXPECT_EQ(max_depth_for_msgpack_version(1, 0), 511u);
  EXPECT_EQ(max_depth_for_msgpack_version(1, 1), 511u);
  EXPECT_EQ(max_depth_for_msgpack_version(0, 6), 511u);
  EXPECT_EQ(max_depth_for_msgpack_version(1, 2), 1024u);
  EXPECT_EQ(max_depth_for_msgpack_version(2, 0), 1024u);
  EXPECT_EQ(vesh::encode::Serializer::get(), &state());
}

TEST(ValueEncoderState, MissingGlobalIsANameError) {
  Ref name = Ref::steal(PyUnicode_FromString("datetime"));
  PyError error = vesh::encode::missing_global_error(name.get());
  EXPECT_TRUE(error.matches(PyExc_NameError));
  EXPECT_EQ(error.message(), "name 'datetime' is not defined");
  Ref attr = Ref::steal(PyObject_GetAttrString(error.value(), "name"));
  ASSERT_TRUE(attr);
  EXPECT_EQ(PyUnicode_CompareWithASCIIString(attr.get(), "datetime"), 0);
}

namespace {

// Records the interning calls and answers with a fixed action.
class FakeInterning final : public vesh::encode::InterningContext {
 public:
  InternLookup::Action action = InternLookup::Action::EncodeInline;
  bool off = false;
  std::vector<std::size_t> lookups;
  std::vector<std::string> cached;

  bool interning_off() const noexcept override { return off; }
  InternLookup lookup_value(PyObject*, InternedKind, std::string_view data, ByteBuffer& buffer) override {
    lookups.push_back(data.size());
    if (action == InternLookup::Action::ReferenceWritten) buffer.append(std::string_view("\xd6\x09\x00\x00\x00\x07", 6));
    if (action == InternLookup::Action::Error) return {action, "trace writer closed"};
    return {action, {}};
  }
  void cache_current_value(Ref obj, InternedKind, std::size_t raw_len, ByteBuffer record,
                           ByteBuffer& buffer) override {
    EXPECT_TRUE(obj);
    EXPECT_EQ(record.size(), raw_len + 3);  // str16/bin16 header
    cached.emplace_back(record.view());
    buffer.append(record.view());
  }
};

}  // namespace

TEST(ValueEncoderInterning, OnlyLargeValuesReachTheHook) {
  Ref values = eval("['s' * 4095, 's' * 4096, b'b' * 5000, 's' * 100]");
  FakeInterning hook;
  Outcome out = encode(values.get(), std::nullopt, "", &hook);
  ASSERT_TRUE(out.ok);
  EXPECT_EQ(hook.lookups, (std::vector<std::size_t>{4096, 5000}));

  FakeInterning off;
  off.off = true;
  ASSERT_TRUE(encode(values.get(), std::nullopt, "", &off).ok);
  EXPECT_TRUE(off.lookups.empty());
}

TEST(ValueEncoderInterning, ReferencesCachedRecordsAndErrors) {
  Ref value = eval("['s' * 5000]");
  Ref packed = eval("__import__('msgpack').packb(['s' * 5000])");
  std::string expected(PyBytes_AS_STRING(packed.get()), PyBytes_GET_SIZE(packed.get()));

  FakeInterning reference;
  reference.action = InternLookup::Action::ReferenceWritten;
  EXPECT_EQ(encode(value.get(), std::nullopt, "", &reference).bytes, std::string("\x91\xd6\x09\x00\x00\x00\x07", 7));

  FakeInterning intern;
  intern.action = InternLookup::Action::EncodeAndIntern;
  Outcome cached = encode(value.get(), std::nullopt, "", &intern);
  EXPECT_EQ(cached.bytes, expected);
  ASSERT_EQ(intern.cached.size(), 1u);
  EXPECT_EQ(intern.cached[0], expected.substr(1));

  // The budget is checked with the raw length before the record is made.
  FakeInterning over;
  over.action = InternLookup::Action::EncodeAndIntern;
  EXPECT_TRUE(encode(value.get(), 4000, "", &over).replaced);
  EXPECT_TRUE(over.cached.empty());

  FakeInterning failing;
  failing.action = InternLookup::Action::Error;
  Outcome error = encode(value.get(), std::nullopt, "keep", &failing);
  EXPECT_FALSE(error.ok);
  EXPECT_EQ(error.error_type, std::string("OSError"));
  EXPECT_EQ(error.error_message, "trace writer closed");
  EXPECT_EQ(error.bytes, "keep");
}

// encode_pairs writes exactly what encode_value writes for a new dict of the
// same pairs: nested and shared containers, cycles that need the careful
// pass, values on the repr path, many containers, and every budget.
TEST(ValueEncoderPairs, SameBytesAsANewDict) {
  struct Case {
    const char* pairs;  // a list of (name, value) pairs
    std::optional<std::size_t> budget;
  };
  const Case cases[] = {
      {"[]", std::nullopt},
      {"[('a', 1), ('b', 'text'), ('c', None), ('d', 2.5), ('e', b'raw'), ('f', 2**70)]", std::nullopt},
      {"[('self', object()), ('items', [1, (2, 3), {4}]), ('d', {'k': [1]})]", std::nullopt},
      {"(lambda shared: [('x', shared), ('y', shared), ('z', {'s': shared})])([1, 2])", std::nullopt},
      {"(lambda loop: loop.append(loop) or [('loop', loop), ('after', 1)])([])", std::nullopt},
      {"[('many', [[i] for i in range(1500)]), ('again', [1])]", std::nullopt},
      {"[('a', 'x' * 50), ('b', 1)]", 20},
      {"[('a', 'x' * 50), ('b', 1)]", 0},
      {"[('a', 1), ('b', 2)]", 100},
  };
  for (const Case& c : cases) {
    Ref list = eval(c.pairs);
    ASSERT_TRUE(list) << c.pairs;
    std::vector<PyObject*> pairs;
    Ref dict = Ref::steal(PyDict_New());
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); ++i) {
      PyObject* pair = PyList_GET_ITEM(list.get(), i);
      pairs.push_back(PyTuple_GET_ITEM(pair, 0));
      pairs.push_back(PyTuple_GET_ITEM(pair, 1));
      PyDict_SetItem(dict.get(), PyTuple_GET_ITEM(pair, 0), PyTuple_GET_ITEM(pair, 1));
    }
    ByteBuffer from_dict;
    ByteBuffer from_pairs;
    NativeMsgpackEncoder dict_encoder(state(), EncoderOptions{.byte_budget = c.budget});
    NativeMsgpackEncoder pairs_encoder(state(), EncoderOptions{.byte_budget = c.budget});
    auto want = dict_encoder.encode_value(dict.get(), from_dict);
    auto got = pairs_encoder.encode_pairs(pairs.data(), pairs.size() / 2, from_pairs);
    ASSERT_TRUE(want.ok() && got.ok()) << c.pairs;
    EXPECT_EQ(got.value(), want.value()) << c.pairs;
    EXPECT_EQ(bytes_of(from_pairs), bytes_of(from_dict)) << c.pairs;
    EXPECT_EQ(pairs_encoder.used_python_fallback(), dict_encoder.used_python_fallback()) << c.pairs;
  }
}
