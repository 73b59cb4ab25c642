// The in-house CPython layer: argument binding, conversions, the fault
// boundary and the interpreter-releasing mutex.
#include "py/args.h"
#include "py/error.h"
#include "py/fault.h"
#include "py/gil_mutex.h"
#include "py/ref.h"

#include <gtest/gtest.h>

#include <limits>
#include <stdexcept>
#include <thread>
#include <string>

using vesh::py::Ref;

namespace {

Ref eval(const char* expr) {
  Ref globals = Ref::steal(PyDict_New());
  PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins());
  return Ref::steal(PyRun_String(expr, Py_eval_input, globals.get(), globals.get()));
}

std::string take_error(PyObject* expected_type) {
  EXPECT_TRUE(PyErr_ExceptionMatches(expected_type));
  return vesh::py::PyError::fetch().message();
}

constexpr const char* kNames[] = {"a", "b", "c"};
const vesh::py::Signature kSig{"f", kNames, 3, 1};

}  // namespace

TEST(ArgParser, BindsPositionalAndKeyword) {
  Ref one = eval("1"), two = eval("2"), names = eval("('c',)");
  PyObject* args[] = {one.get(), two.get()};
  PyObject* out[3];
  ASSERT_TRUE(vesh::py::parse(kSig, args, 1, names.get(), out));
  EXPECT_EQ(out[0], one.get());
  EXPECT_EQ(out[1], nullptr);
  EXPECT_EQ(out[2], two.get());
}

TEST(ArgParser, Errors) {
  Ref one = eval("1");
  PyObject* out[3];
  PyObject* args[] = {one.get(), one.get(), one.get(), one.get()};
  EXPECT_FALSE(vesh::py::parse(kSig, args, 4, nullptr, out));
  EXPECT_EQ(take_error(PyExc_TypeError), "f() takes from 1 to 3 positional arguments but 4 were given");

  EXPECT_FALSE(vesh::py::parse(kSig, args, 0, nullptr, out));
  EXPECT_EQ(take_error(PyExc_TypeError), "f() missing 1 required positional argument: 'a'");

  Ref dup = eval("('a',)");
  EXPECT_FALSE(vesh::py::parse(kSig, args, 1, dup.get(), out));
  EXPECT_EQ(take_error(PyExc_TypeError), "f() got multiple values for argument 'a'");

  Ref unknown = eval("('z',)");
  EXPECT_FALSE(vesh::py::parse(kSig, args, 1, unknown.get(), out));
  EXPECT_EQ(take_error(PyExc_TypeError), "f() got an unexpected keyword argument 'z'");

  // A keyword is matched by its whole text: an embedded NUL does not make
  // "a\0x" the parameter "a", and a name without a UTF-8 form is only unknown.
  Ref nul = eval("('a\\x00x',)");
  EXPECT_FALSE(vesh::py::parse(kSig, args, 0, nul.get(), out));
  EXPECT_EQ(take_error(PyExc_TypeError), "f() got an unexpected keyword argument 'a\\x00x'");
  Ref surrogate = eval("('\\udc80',)");
  EXPECT_FALSE(vesh::py::parse(kSig, args, 0, surrogate.get(), out));
  EXPECT_EQ(take_error(PyExc_TypeError), "f() got an unexpected keyword argument '\\udc80'");
}

TEST(Conversions, BoolIsStrict) {
  bool out = false;
  EXPECT_TRUE(vesh::py::to_bool(Py_True, out));
  EXPECT_TRUE(out);
  Ref one = eval("1");
  EXPECT_FALSE(vesh::py::convert_arg("flag", vesh::py::to_bool, one.get(), out));
  EXPECT_EQ(take_error(PyExc_TypeError), "argument 'flag': 'int' object cannot be converted to 'PyBool'");
}

TEST(Conversions, Unsigned64) {
  std::uint64_t out = 0;
  Ref max = eval("2**64 - 1"), over = eval("2**64"), neg = eval("-1"), flt = eval("2.5"), b = eval("True");
  ASSERT_TRUE(vesh::py::to_u64(max.get(), out));
  EXPECT_EQ(out, std::numeric_limits<std::uint64_t>::max());
  EXPECT_FALSE(vesh::py::to_u64(over.get(), out));
  take_error(PyExc_OverflowError);
  EXPECT_FALSE(vesh::py::to_u64(neg.get(), out));
  take_error(PyExc_OverflowError);
  EXPECT_FALSE(vesh::py::to_u64(flt.get(), out));
  take_error(PyExc_TypeError);
  ASSERT_TRUE(vesh::py::to_u64(b.get(), out));  // bool is an int subclass
  EXPECT_EQ(out, 1u);
}

TEST(Conversions, StringsAndLists) {
  std::string text;
  Ref surrogate = eval("'a\\ud800'");
  EXPECT_FALSE(vesh::py::to_string(surrogate.get(), text));
  take_error(PyExc_UnicodeEncodeError);

  std::vector<std::string> items;
  Ref plain = eval("'abc'");
  EXPECT_FALSE(vesh::py::to_str_list(plain.get(), items));
  EXPECT_EQ(take_error(PyExc_TypeError), "Can't extract `str` to `Vec`");
  Ref list = eval("['x', 'yz']");
  ASSERT_TRUE(vesh::py::to_str_list(list.get(), items));
  EXPECT_EQ(items, (std::vector<std::string>{"x", "yz"}));
  Ref mixed = eval("['x', 1]");
  EXPECT_FALSE(vesh::py::to_str_list(mixed.get(), items));
  take_error(PyExc_TypeError);
  EXPECT_EQ(items.size(), 2u);  // untouched on failure

  std::optional<std::string> maybe = "x";
  ASSERT_TRUE(vesh::py::to_optional_string(Py_None, maybe));
  EXPECT_FALSE(maybe.has_value());

  Ref sub = eval("type('D', (dict,), {})()");
  EXPECT_TRUE(vesh::py::to_dict(sub.get()));
  EXPECT_FALSE(vesh::py::to_dict(list.get()));
  take_error(PyExc_TypeError);
}

namespace {
Ref throws_fault(PyObject*) { throw vesh::Fault("broken invariant"); }
Ref throws_other(PyObject*) { throw 42; }
Ref throws_bad_alloc(PyObject*) { throw std::bad_alloc(); }
}  // namespace

TEST(FaultBoundary, BecomesPanicException) {
  for (auto [fn, text] : {std::pair{&vesh::py::noargs<throws_fault>, "broken invariant"},
                          std::pair{&vesh::py::noargs<throws_other>, "unknown panic"},
                          std::pair{&vesh::py::noargs<throws_bad_alloc>, "out of memory"}}) {
    EXPECT_EQ(fn(nullptr, nullptr), nullptr);
    PyObject* panic = vesh::py::panic_exception_type();
    ASSERT_TRUE(PyErr_ExceptionMatches(panic));
    EXPECT_FALSE(PyErr_ExceptionMatches(PyExc_Exception));
    EXPECT_EQ(vesh::py::PyError::fetch().message(), text);
  }
}

TEST(GilMutex, FaultWhileHeldPoisons) {
  vesh::py::GilMutex<int> mutex("trace capture", 1);
  *mutex.lock() = 2;
  EXPECT_EQ(*mutex.lock(), 2);
  EXPECT_THROW(
      {
        auto guard = mutex.lock();
        vesh::fault("inside");
      },
      vesh::Fault);
  EXPECT_TRUE(mutex.poisoned());
  try {
    mutex.lock();
    FAIL();
  } catch (const vesh::Fault& f) {
    EXPECT_STREQ(f.what(), "trace capture mutex poisoned");
  }
}

TEST(GilMutex, RelockOnTheHoldingThreadIsAFaultNotAHang) {
  // Python code run while the guard is held (a __repr__ during an encode)
  // can come back for the same mutex on the same thread.
  vesh::py::GilMutex<int> mutex("frame buffer", 1);
  {
    auto held = mutex.lock();
    for (auto relock : {+[](vesh::py::GilMutex<int>& m) { (void)m.lock(); },
                        +[](vesh::py::GilMutex<int>& m) { (void)m.lock("frame buffer poisoned"); },
                        +[](vesh::py::GilMutex<int>& m) { (void)m.lock_ignoring_poison(); }}) {
      try {
        relock(mutex);
        FAIL() << "re-lock succeeded";
      } catch (const vesh::Fault& f) {
        EXPECT_STREQ(f.what(), "frame buffer mutex already held by this thread");
      }
    }
    EXPECT_FALSE(mutex.try_lock("poisoned"));  // never waits: simply not free
    *held = 2;
  }
  // The refused attempts neither poisoned the mutex nor left it marked as held.
  EXPECT_FALSE(mutex.poisoned());
  EXPECT_EQ(*mutex.lock(), 2);
  std::thread other([&] { *mutex.lock_without_gil() = 3; });
  other.join();
  EXPECT_EQ(*mutex.lock(), 3);
}
