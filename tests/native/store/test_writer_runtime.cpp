// The resident budget: admission, waiting, the stall and forked children.
#include "store/writer_runtime.h"
#include "store_test_support.h"
#include "store/trace_container.h"

#include <gtest/gtest.h>

#include <vector>

#include <atomic>
#include <cerrno>
#include <thread>

using namespace vesh::store;
using namespace vesh::store::testing;
using namespace std::chrono_literals;
using vesh::Result;

namespace {

constexpr std::uint64_t kMiB = 1024 * 1024;

std::shared_ptr<WriterRuntime> runtime_with(std::chrono::nanoseconds timeout) {
  return std::make_shared<WriterRuntime>(timeout, false);
}

}  // namespace

TEST(WriterRuntime, AdmissionAtTheEdgeOfTheBudget) {
  auto rt = runtime_with(50ms);
  auto base = rt->reserve(kResidentBudget - 300 - kReservationOverhead, GilState::NotHeld);
  ASSERT_TRUE(base.ok());
  EXPECT_EQ(rt->resident(), kResidentBudget - 300);
  {
    auto fits = rt->reserve(44, GilState::NotHeld);
    ASSERT_TRUE(fits.ok());
    EXPECT_EQ(fits->bytes(), 300u);
    EXPECT_EQ(rt->resident(), kResidentBudget);
  }
  EXPECT_EQ(rt->resident(), kResidentBudget - 300);
  // One byte more has to wait; nothing is written meanwhile, so it stalls.
  auto over = rt->reserve(45, GilState::NotHeld);
  ASSERT_FALSE(over.ok());
  EXPECT_EQ(over.error().kind, IoKind::TimedOut);
  EXPECT_EQ(over.error().text(), stall_error().text());
  EXPECT_TRUE(rt->stalled());
  // Every later reservation fails at once.
  base->release();
  auto after = rt->reserve(1, GilState::NotHeld);
  ASSERT_FALSE(after.ok());
  EXPECT_EQ(after.error().text(), stall_error().text());
  EXPECT_FALSE(writer_circuit_open()) << "a private runtime leaves the process circuit alone";
}

TEST(WriterRuntime, OversizeItemAloneIsAdmittedThenTheNextWaits) {
  auto rt = runtime_with(std::chrono::hours(1));
  auto big = rt->reserve(20 * kMiB, GilState::NotHeld);
  ASSERT_TRUE(big.ok());
  std::atomic<bool> admitted{false};
  std::thread waiter([&] {
    auto small = rt->reserve(1, GilState::NotHeld);
    admitted = small.ok();
  });
  big->mark_written();
  big->release();
  waiter.join();
  EXPECT_TRUE(admitted);
  EXPECT_EQ(rt->resident(), 0u);
  EXPECT_EQ(rt->progress(), 1u);
}

TEST(WriterRuntime, WaitingReleasesTheInterpreterLock) {
  // The main thread holds the interpreter lock; the releasing thread needs it.
  auto rt = runtime_with(std::chrono::hours(1));
  auto big = rt->reserve(kResidentBudget, GilState::Held);
  ASSERT_TRUE(big.ok());
  std::thread releaser([&] {
    PyGILState_STATE gil = PyGILState_Ensure();
    big->mark_written();
    big->release();
    PyGILState_Release(gil);
  });
  auto next = rt->reserve(kResidentBudget, GilState::Held);
  releaser.join();
  ASSERT_TRUE(next.ok());
  EXPECT_TRUE(PyGILState_Check());
}

namespace {

// Fills the budget with `items` small reservations and one blocker, then
// releases the items one by one (written or not) every `gap`, the blocker
// last, while the calling thread waits for the whole budget.
Result<ResidentReservation, IoError> wait_while_releasing(WriterRuntime& rt, int items, bool written,
                                                          std::chrono::milliseconds gap) {
  std::vector<ResidentReservation> held;
  for (int i = 0; i < items; ++i) held.push_back(std::move(rt.reserve(0, GilState::NotHeld).value()));
  ResidentReservation blocker =
      std::move(rt.reserve(kResidentBudget - (items + 1) * kReservationOverhead, GilState::NotHeld).value());
  std::thread writer([&] {
    for (auto& item : held) {
      std::this_thread::sleep_for(gap);
      if (written) item.mark_written();
      item.release();
    }
    blocker.release();
  });
  auto waited = rt.reserve(kResidentBudget - kReservationOverhead, GilState::NotHeld);
  writer.join();
  return waited;
}

}  // namespace

TEST(WriterRuntime, WrittenItemsRestartTheStallClock) {
  // The wait lasts well past the timeout, but items are written far more
  // often than the timeout.
  auto rt = runtime_with(600ms);
  auto waited = wait_while_releasing(*rt, 30, true, 50ms);
  ASSERT_TRUE(waited.ok()) << waited.error().text();
  EXPECT_FALSE(rt->stalled());
  EXPECT_EQ(rt->progress(), 30u);
}

TEST(WriterRuntime, UnwrittenReleasesDoNotRestartTheClock) {
  auto rt = runtime_with(300ms);
  auto waited = wait_while_releasing(*rt, 30, false, 50ms);
  ASSERT_FALSE(waited.ok());
  EXPECT_TRUE(rt->stalled());
  EXPECT_EQ(rt->resident(), 0u) << "every reservation gave its bytes back";
  EXPECT_EQ(rt->progress(), 0u);
}

TEST(WriterRuntime, StallOpensTheProcessCircuit) {
  int status = run_in_child([] {
    auto rt = std::make_shared<WriterRuntime>(20ms, true);
    if (writer_circuit_open()) return 2;
    auto big = rt->reserve(kResidentBudget, GilState::NotHeld);
    if (!big.ok()) return 3;
    std::atomic<bool> other_failed{false};
    std::thread other([&] { other_failed = !rt->reserve(1, GilState::NotHeld).ok(); });
    if (rt->reserve(1, GilState::NotHeld).ok()) return 4;
    other.join();
    if (!other_failed) return 5;
    std::atomic<bool> seen{false};
    std::thread reader([&] { seen = writer_circuit_open(); });
    reader.join();
    return seen && writer_circuit_open() ? 0 : 6;
  });
  EXPECT_EQ(status, 0);
}

TEST(WriterRuntime, ForkedChildStartsWithFreshAccounting) {
  auto rt = runtime_with(100ms);
  auto parent_holds = rt->reserve(kResidentBudget, GilState::NotHeld);
  ASSERT_TRUE(parent_holds.ok());
  int status = run_in_child([&] {
    // The parent's bytes are not resident here: no wait, no stall.
    if (rt->resident() != 0) return 2;
    auto mine = rt->reserve(100, GilState::NotHeld);
    if (!mine.ok() || rt->stalled()) return 3;
    if (rt->resident() != 356) return 4;
    // Releasing the inherited reservation leaves the child's count alone.
    parent_holds->release();
    if (rt->resident() != 356) return 5;
    mine->release();
    return rt->resident() == 0 ? 0 : 6;
  });
  EXPECT_EQ(status, 0);
  EXPECT_EQ(rt->resident(), kResidentBudget + kReservationOverhead) << "the parent's count is unchanged";
}

TEST(WriterRuntime, ForkedChildKeepsTheStall) {
  auto rt = runtime_with(10ms);
  auto big = rt->reserve(kResidentBudget, GilState::NotHeld);
  ASSERT_FALSE(rt->reserve(1, GilState::NotHeld).ok());
  ASSERT_TRUE(rt->stalled());
  int status = run_in_child([&] {
    auto r = rt->reserve(1, GilState::NotHeld);
    return !r.ok() && rt->stalled() ? 0 : 2;
  });
  EXPECT_EQ(status, 0);
}

TEST(WriterRuntime, CircuitOpenMessages) {
  EXPECT_EQ(circuit_open_error(std::nullopt).text(),
            "Vesh trace writer circuit breaker opened before a recoverable prefix could be published; the capture "
            "was abandoned. Tracing is disabled until process restart");
  auto with_path = circuit_open_error(std::filesystem::path("raw/.t.vesh.1.0.tmp"));
  EXPECT_EQ(with_path.kind, IoKind::TimedOut);
  EXPECT_EQ(with_path.text(),
            "Vesh trace writer circuit breaker opened; the capture was abandoned and a recovered prefix is available "
            "at raw/.t.vesh.1.0.tmp. Tracing is disabled until process restart");
  // A path that is not UTF-8 is shown lossily.
  auto lossy = circuit_open_error(std::filesystem::path("raw/\xff\xe2\x82.tmp"));
  EXPECT_NE(lossy.text().find("raw/\xef\xbf\xbd\xef\xbf\xbd.tmp."), std::string::npos) << lossy.text();
}

TEST(Utf8Lossy, ReplacesEachMaximalInvalidSequence) {
  struct Case {
    std::string in, out;
  } cases[] = {{"plain", "plain"},
               {"\xc3\xa9", "\xc3\xa9"},
               {"a\xff" "b", "a\xef\xbf\xbd" "b"},
               {"\xe2\x82" "A", "\xef\xbf\xbd" "A"},
               {"\xed\xa0\x80", "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"},
               {"\xf0\x9f\x98\x80", "\xf0\x9f\x98\x80"}};
  for (const auto& c : cases) EXPECT_EQ(utf8_lossy(c.in), c.out) << c.in;
}

TEST(IoError, BecomesTheOsErrorSubclassOfItsKind) {
  struct Case {
    IoError error;
    PyObject* type;
    std::string text;
  } cases[] = {
      {IoError::make(IoKind::BrokenPipe, "trace writer closed"), PyExc_BrokenPipeError, "trace writer closed"},
      {stall_error(), PyExc_TimeoutError, stall_error().message},
      {width_error(), PyExc_OSError, "v3 field exceeds its declared width"},
      // An operating-system error keeps its number: OSError(errno, strerror).
      {IoError::from_errno(EEXIST), PyExc_FileExistsError, "[Errno 17] File exists"},
      {IoError::from_errno(EFBIG), PyExc_OSError, "[Errno 27] File too large"},
  };
  for (auto& c : cases) {
    vesh::py::PyError err = to_python(c.error);
    ASSERT_TRUE(err);
    EXPECT_TRUE(err.matches(c.type)) << c.text;
    EXPECT_EQ(err.message(), c.text);
    vesh::py::Ref errno_attr = vesh::py::Ref::steal(PyObject_GetAttrString(err.value(), "errno"));
    ASSERT_TRUE(errno_attr);
    if (c.error.os_errno != 0) {
      EXPECT_EQ(PyLong_AsLong(errno_attr.get()), c.error.os_errno);
    } else {
      EXPECT_EQ(errno_attr.get(), Py_None);
    }
  }
}
