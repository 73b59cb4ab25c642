// The environment facts recorded in every trace's metadata: the tracer's
// version, the commit the program runs at, its command line and the
// interpreter and platform it runs on. The version, commit and command line
// are read afresh on every call (a program may change sys.argv or its
// checkout between saves). The interpreter and platform cannot change while
// the process runs, and reading them runs the platform module, whose imports
// and calls need far more stack than a flush has when it runs near the
// recursion limit: they are read once, when the extension is imported
// (where the stack is shallow), and kept for the process. A recorder made
// before they could be read, and every save, tries again.
//
// Every function runs with the interpreter lock held and returns the Python
// exception that stopped it.
#pragma once

#include "py/error.h"
#include "support/result.h"

#include <Python.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vesh::store {

template <typename T>
using PyResult = Result<T, py::PyError>;

// The pending Python exception; when a call failed without setting one, the
// SystemError "attempted to fetch exception but none was set" instead.
py::PyError take_python_error();

// UTF-8 text of a str (a subclass too). A str that has no UTF-8 form (lone
// surrogates, as os.fsdecode makes of undecodable file names and arguments)
// is written with backslash escapes for the surrogates rather than refused.
// Anything but a str fails with TypeError.
PyResult<std::string> str_text(PyObject* obj);

// `vesh.version.__version__`, which must be a str.
PyResult<std::string> vesh_version();
// `vesh.git.COMMIT_SHA`: None gives nullopt, a str the commit, anything else
// fails.
PyResult<std::optional<std::string>> git_commit_sha();
// `sys.argv` as texts; a str instead of a sequence is refused.
PyResult<std::vector<std::string>> get_argv();

using Environment = std::vector<std::pair<std::string, std::string>>;
// The six facts "py_version", "py_version_full", "platform", "system",
// "machine" and "processor", in that order, read afresh.
PyResult<Environment> collect_environment();

// The facts collect_environment() answered first in this process (a forked
// child keeps its parent's, which are its own too), collecting them now when
// none are kept yet. A failure keeps nothing, so the next call tries again;
// the first failure in the process is logged, in one line.
PyResult<Environment> process_environment();

// Called when the extension is imported: keeps the environment. An ordinary
// Exception is dropped (logged by process_environment); any other
// (KeyboardInterrupt) is the program's and fails the import.
PyResult<void> read_environment_at_import();

// Called when a recorder is made: keeps the environment, if the import could
// not, and imports the modules the version and commit are read from and the
// trace is saved through (vesh.db), so that a save or flush running deep in
// the program's stack imports nothing. An ordinary Exception is dropped (the
// first save meets it again); any other (KeyboardInterrupt) is the
// program's and fails the call.
PyResult<void> read_metadata_early();

// Whether a flush may save now: the environment is kept, or read here and
// kept. A flush can come at any depth; one whose thread has no more room
// below the recursion limit than a read that failed does not read again
// (it would fail the same way, at every flush) and waits, its frames kept in
// the running trace, until the facts are read. Fails only with an exception
// of the program's (KeyboardInterrupt) raised while they were read.
PyResult<bool> environment_ready_for_flush();

// Drops the kept environment and any failed read, for tests that fake the
// facts.
void forget_process_environment();

}  // namespace vesh::store
