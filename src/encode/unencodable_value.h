// Values that cannot be encoded, kept as their repr text or left out.
//
// A value whose own encoding fails (a dead weakref.proxy, a value nested past
// the MessagePack limit) would cost its whole record. A leaf is written
// instead as its repr, in the text extension that the encoder gives values
// without a MessagePack form of their own, so the record keeps its form. A
// container or a value nested too deeply never is: the interpreter's repr
// walks every path through it, shared parts again at each meeting, where the
// encoder wrote each once, so a repr of a value the encoder managed in
// milliseconds can take longer than the program has. Such a value is
// unencodable and its record is written without values. A failure of the
// recorder (the trace writer gone, the budget), an error that must reach the
// program and the interpreter's recursion limit are handed on, as is a repr
// that raises such an error. Both record writers (frame records and
// assignment records) use it, and say once per code location that it
// happened: a program that keeps such a value would otherwise log at every
// event.
#pragma once

#include <Python.h>

#include "encode/value_serializer.h"
#include "py/error.h"
#include "support/byte_buffer.h"

#include <cstdint>
#include <string_view>

namespace vesh::encode {

// How one value went into a record.
enum class ValueWrite : std::uint8_t {
  Written,      // encoded, or (its encoding having failed) written as its repr
  Unencodable,  // neither encoded nor written as its repr; nothing appended
  Failed,       // the error is set and nothing appended: it is handed on
};

// The values of a record that could not be encoded.
struct Unencoded {
  py::PyError error;     // why the first one's encoding failed
  bool omitted = false;  // the last one has no repr in the record either
};

// Whether `error`, which stopped an encode, is a RecursionError itself or
// has one as its immediate context.
bool hit_recursion_limit(const py::PyError& error);

// Whether a record can go on without the encoding of a value that failed
// with `error`: the value's own failure (`value_failed`, as
// EncodeError::is_python tells), short of one that must reach the program or
// the recursion limit.
bool recoverable_failure(bool value_failed, const py::PyError& error);

// Whether the value is a map key (NativeMsgpackEncoder::encode_key).
enum class AsKey : bool { No, Yes };

// Appends `value`, or its repr text when its encoding fails as above and it
// is a leaf, and notes such a value in `unencoded`.
ValueWrite encode_value_or_repr(NativeMsgpackEncoder& encoder, PyObject* value, ByteBuffer& buffer,
                                Unencoded& unencoded, AsKey key = AsKey::No);

// The record that could not hold a value: a frame record then keeps its
// names without values; an assignment record has no form without its value
// and is not written at all.
enum class UnencodedRecord : std::uint8_t { Frame, Assignment };

// Logs `unencoded` (a value of the code `co_name` at `location`, a frame path
// of file and line) the first time a value of that kind of record at that
// location could not be encoded; later ones are said no more.
void report_unencoded_once(std::string_view co_name, std::string_view location, const Unencoded& unencoded,
                           UnencodedRecord record = UnencodedRecord::Frame);

}  // namespace vesh::encode
