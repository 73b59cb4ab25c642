// How failures that cannot be handed back to a Python caller are reported.
//
//   log_warning      a warning through the "vesh" logger, falling back to the
//                    unraisable hook (or, when the stack is nearly exhausted,
//                    one line on standard error) if logging itself fails;
//   report_panic     an internal fault caught in an event callback;
//   reaches_program  whether a Python error raised while recording must be
//                    passed on into the traced program;
//   take_stray_error an exception left set by a call that answered as if it
//                    had succeeded, found on the way back to the interpreter.
// None of them raises, except that a thread ended by the interpreter while
// they run Python code unwinds through them.
#pragma once

#include "py/error.h"
#include "py/ref.h"

#include <string>

namespace vesh {

// `args` are the positional arguments of Logger.warning (item 0 the message
// or %-template). `error`, when given, is attached as exc_info.
void log_warning(py::Ref args, py::PyError error = {});

// Convenience: a one-item argument tuple holding `message`.
void log_warning(const std::string& message, py::PyError error = {});

// Reports an internal fault once through the unraisable hook. `message` is
// the fault text (see py::current_fault_message()).
void report_panic(const std::string& message);

// Reports the C++ exception being handled (call only inside a catch block).
void report_current_panic();

// A C function that meets an exception and does not clear it (CPython
// 3.12's weakref repr) answers with that exception still set; returned to
// the interpreter so, it reaches the program as a SystemError. Each callback,
// flush and save looks once on its way out: what is pending then is the
// recorder's own failure. Takes it out of the indicator and returns it the
// first time its cause (type and text) is met, to be reported as that path
// reports its unexpected errors; a cause met before gives an empty error.
py::PyError take_stray_error();

// take_stray_error, logged as an unexpected exception when its cause is new.
void report_stray_error();

// True only for BaseException subclasses outside Exception (KeyboardInterrupt,
// SystemExit, GeneratorExit); internal faults never reach the program.
bool reaches_program(const py::PyError& error) noexcept;

}  // namespace vesh
