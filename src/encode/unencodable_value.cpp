#include "encode/unencodable_value.h"

#include "foundation/error_reporting.h"

#include <absl/container/flat_hash_set.h>

#include <mutex>
#include <string>
#include <utility>

namespace vesh::encode {

using py::PyError;
using py::Ref;

namespace {

bool is_recursion_error(PyObject* exception) noexcept {
  return exception != nullptr && PyErr_GivenExceptionMatches(exception, PyExc_RecursionError);
}

}  // namespace

bool hit_recursion_limit(const PyError& error) {
  if (is_recursion_error(error.value())) return true;
  Ref context = Ref::steal(PyException_GetContext(error.value()));
  return is_recursion_error(context.get());
}

bool recoverable_failure(bool value_failed, const PyError& error) {
  return value_failed && !reaches_program(error) && !hit_recursion_limit(error);
}

namespace {

// Whether computing the repr of `value`, whose encode failed with `error`,
// costs no more than that encode did: not for a container the encoder walks
// (its type tells, without running the value's own code, or the encoder
// took it for one) nor for a value past the encoder's nesting limit.
bool repr_may_stand_in(const NativeMsgpackEncoder& encoder, PyObject* value, const PyError& error) {
  if (PyList_Check(value) || PyTuple_Check(value) || PyDict_Check(value) || PyAnySet_Check(value)) return false;
  if (encoder.refused_container()) return false;
  return !exact_value_error_is(error.value(), "recursion limit exceeded.") &&
         !exact_value_error_is(error.value(), "recursion limit exceeded");
}

}  // namespace

ValueWrite encode_value_or_repr(NativeMsgpackEncoder& encoder, PyObject* value, ByteBuffer& buffer,
                                Unencoded& unencoded, AsKey key) {
  Result<bool, EncodeError> written =
      key == AsKey::Yes ? encoder.encode_key(value, buffer) : encoder.encode_value(value, buffer);
  if (written) [[likely]]
    return ValueWrite::Written;
  const bool value_failed = written.error().is_python();
  PyError error = std::move(written).error().into_pyerr();
  if (!recoverable_failure(value_failed, error)) {
    error.restore();
    return ValueWrite::Failed;
  }
  const bool as_repr = repr_may_stand_in(encoder, value, error) && encoder.encode_repr_text(value, buffer);
  if (!as_repr && PyErr_Occurred()) {
    PyError repr_error = PyError::fetch();
    if (reaches_program(repr_error)) {
      repr_error.restore();
      return ValueWrite::Failed;
    }
  }
  if (!unencoded.error) unencoded.error = std::move(error);
  unencoded.omitted = !as_repr;
  return as_repr ? ValueWrite::Written : ValueWrite::Unencodable;
}

void report_unencoded_once(std::string_view co_name, std::string_view location, const Unencoded& unencoded,
                           UnencodedRecord record) {
  // Kept apart per kind of record: a return and a store on one line lose
  // different things, and each is said.
  static std::mutex mutex;
  static auto* reported = new absl::flat_hash_set<std::pair<std::string, UnencodedRecord>>();
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (!reported->emplace(std::string(location), record).second) return;
  }
  const char* outcome = !unencoded.omitted                     ? "it is recorded as its repr"
                        : record == UnencodedRecord::Assignment ? "its assignment is not recorded"
                                                                : "the record keeps no values";
  std::string message = "Vesh could not encode a value of " + std::string(co_name) + " at " + std::string(location) +
                        " (" + Py_TYPE(unencoded.error.value())->tp_name + ": " + unencoded.error.message() + "); " +
                        outcome;
  log_warning(message);
}

}  // namespace vesh::encode
