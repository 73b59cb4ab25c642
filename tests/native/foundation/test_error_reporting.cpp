// Warnings through the "vesh" logger and their fallbacks, panic reports and
// which errors reach the traced program.
#include "py/fault.h"
#include "python_helpers.h"
#include "foundation/error_reporting.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

using vesh::testing::eval;
using vesh::testing::run;

namespace {

// Collects unraisable reports and logged records for one test.
class ErrorReporting : public ::testing::Test {
 protected:
  void SetUp() override {
    run(R"(
import logging, sys
reports = []
records = []
def _hook(u):
    reports.append((type(u.exc_value).__name__, str(u.exc_value), u.object))
_saved_hook = sys.unraisablehook
sys.unraisablehook = _hook
class _Collect(logging.Handler):
    def emit(self, record):
        records.append((record.getMessage(), record.exc_info is not None and record.exc_info[1]))
_handler = _Collect()
logging.getLogger("vesh").addHandler(_handler)
logging.getLogger("vesh").propagate = False
_saved_get_logger = logging.getLogger
)");
  }
  void TearDown() override {
    run(R"(
logging.getLogger = _saved_get_logger
logging.getLogger("vesh").removeHandler(_handler)
sys.unraisablehook = _saved_hook
)");
  }
  static void break_logging(const char* exception) {
    run(std::string("def _broken(name):\n    raise ") + exception + "\nlogging.getLogger = _broken\n");
  }
  static std::string reports() { return vesh::py::PyError(eval("repr(reports)")).message(); }
};

vesh::py::PyError make_error(PyObject* type, const char* text) { return vesh::py::PyError::make(type, text); }

}  // namespace

TEST_F(ErrorReporting, LogsThroughTheVeshLogger) {
  vesh::log_warning("plain message");
  vesh::log_warning("with error", make_error(PyExc_ValueError, "boom"));
  EXPECT_EQ(vesh::py::PyError(eval("repr(records)")).message(),
            "[('plain message', False), ('with error', ValueError('boom'))]");
  EXPECT_EQ(reports(), "[]");
  EXPECT_EQ(PyErr_Occurred(), nullptr);
}

TEST_F(ErrorReporting, TemplateArgumentsAreFormattedByLogging) {
  vesh::py::Ref args = eval("('%s in %s', 'f', 'x.py')");
  vesh::log_warning(std::move(args));
  EXPECT_EQ(vesh::py::PyError(eval("records[0][0]")).message(), "f in x.py");
}

TEST_F(ErrorReporting, FailingLoggerFallsBackToTheUnraisableHook) {
  break_logging("LookupError('no logging')");
  vesh::log_warning("first line\r\nsecond line");
  vesh::log_warning("\nstarts with a newline");
  vesh::log_warning("");
  vesh::log_warning("logged error", make_error(PyExc_KeyError, "k"));
  EXPECT_EQ(reports(),
            "[('LookupError', 'no logging', 'Vesh: first line'), "
            "('LookupError', 'no logging', 'Vesh: '), "
            "('LookupError', 'no logging', 'Vesh: vesh'), "
            "('KeyError', \"'k'\", 'Vesh: logged error'), "
            "('LookupError', 'no logging', 'Vesh: logged error')]");
  EXPECT_EQ(PyErr_Occurred(), nullptr);
}

TEST_F(ErrorReporting, RecursionWhileLoggingWritesOneLineToStderrOnce) {
  break_logging("RecursionError('deep')");
  int pipe_fds[2];
  ASSERT_EQ(pipe(pipe_fds), 0);
  int saved = dup(STDERR_FILENO);
  dup2(pipe_fds[1], STDERR_FILENO);
  vesh::log_warning("one");
  vesh::log_warning("two", make_error(PyExc_ValueError, "v"));
  dup2(saved, STDERR_FILENO);
  close(saved);
  close(pipe_fds[1]);
  std::string captured;
  char chunk[512];
  for (ssize_t n; (n = read(pipe_fds[0], chunk, sizeof chunk)) > 0;) captured.append(chunk, n);
  close(pipe_fds[0]);
  EXPECT_EQ(captured,
            "Vesh: an internal error could not be logged because the stack is nearly exhausted; further such "
            "errors are not reported.\n");
  EXPECT_EQ(captured.size(), 121u);
  EXPECT_EQ(reports(), "[]");
}

TEST_F(ErrorReporting, PanicsAreReportedAsPanicException) {
  vesh::report_panic("index out of bounds");
  try {
    throw 7;
  } catch (...) {
    vesh::report_current_panic();
  }
  EXPECT_EQ(reports(),
            "[('PanicException', 'index out of bounds', 'Vesh stopped tracing after an internal error'), "
            "('PanicException', 'unknown panic', 'Vesh stopped tracing after an internal error')]");
}

TEST(ReachesProgram, OnlyBaseExceptionsOutsideException) {
  struct Case {
    PyObject* type;
    bool reaches;
  };
  for (const Case& c : {Case{PyExc_KeyboardInterrupt, true}, Case{PyExc_SystemExit, true},
                        Case{PyExc_GeneratorExit, true}, Case{PyExc_ValueError, false},
                        Case{PyExc_RecursionError, false}, Case{vesh::py::panic_exception_type(), false}}) {
    EXPECT_EQ(vesh::reaches_program(make_error(c.type, "x")), c.reaches) << Py_TYPE(c.type)->tp_name;
  }
  EXPECT_FALSE(vesh::reaches_program(vesh::py::PyError()));
}

TEST_F(ErrorReporting, AStrayExceptionIsClearedAndLoggedOncePerCause) {
  struct Case {
    PyObject* type;
    const char* text;
  };
  // Texts of this test alone: causes are remembered for the process. The
  // second is the first again, and said no more.
  const Case cases[] = {{PyExc_AttributeError, "stray: no __name__"},
                        {PyExc_AttributeError, "stray: no __name__"},
                        {PyExc_KeyError, "stray: no __name__"},
                        {PyExc_AttributeError, "stray: no __qualname__"}};
  for (const Case& c : cases) {
    PyErr_SetString(c.type, c.text);
    vesh::report_stray_error();
    EXPECT_EQ(PyErr_Occurred(), nullptr) << c.text;
  }
  EXPECT_EQ(vesh::py::PyError(eval("repr([(m, type(e).__name__, str(e)) for m, e in records])")).message(),
            "[('Unexpected exception in Rust.', 'AttributeError', 'stray: no __name__'), "
            "('Unexpected exception in Rust.', 'KeyError', \"'stray: no __name__'\"), "
            "('Unexpected exception in Rust.', 'AttributeError', 'stray: no __qualname__')]");
  // Nothing pending: nothing to take.
  EXPECT_FALSE(vesh::take_stray_error());
}
