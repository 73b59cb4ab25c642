// The frame record writer: one MessagePack map per recorded event, appended
// in place to a buffer the caller owns (a frame store's open buffer, or a
// scratch buffer).
//
// The record is written all or nothing: on success exactly one complete
// record was appended; on failure the buffer holds what it held before.
// When a frame's values cannot be captured because the interpreter's
// recursion limit or the native stack ran out, the values-omitted form is
// written instead, so the trace still has every entry and exit. A value that
// cannot be encoded for another reason (a dead weakref.proxy, a value nested
// past the MessagePack limit) is written as its repr text, or, when its
// repr fails too, the record takes the values-omitted form with the cause
// "unencodable_value"; either is logged once per code location:
//
//   full form (10 entries)        values-omitted form (11 entries)
//   "path"                        the same five naming entries
//   "co_name"
//   "qualname"
//   "event"
//   "frame_id"
//   "arg" | "exception"           the same key with nil
//   "locals"                      {}
//   "timestamp"                   "timestamp"
//   "type": "frame"               "type": "frame"
//   "user_code_call_site"         "user_code_call_site"
//                                 "values_omitted": "stack_limit" or
//                                                   "unencodable_value"
#pragma once

#include <Python.h>

#include "py/error.h"
#include "py/ref.h"
#include "support/byte_buffer.h"
#include "foundation/frame_path.h"
#include "foundation/frame_types.h"
#include "encode/value_serializer.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace vesh::encode {

// What the event's value is, chosen by the caller: the monitoring tracer
// passes kNoArg for PY_START and PY_RESUME, kArg for PY_RETURN and PY_YIELD,
// kException for PY_UNWIND and PY_THROW; the profile hook always kArg.
enum ValueKind : std::uint8_t {
  kNoArg = 0,      // "arg": nil; the given value is ignored
  kArg = 1,        // "arg": the value
  kException = 2,  // "exception": the value
};

// What a caller already knows about the frame's code.
struct CachedCodeNames {
  // The code's path in frame-path form, without the line.
  std::string_view path;
  // The code's co_qualname, without the module.
  std::optional<std::string_view> qualname;
  // The code's shared native-eligibility flag (monitoring tracer), cleared
  // after a record whose values needed the Python fallback; null: never
  // marked.
  std::atomic<bool>* native_msgpack_eligible = nullptr;
  // The line table of the frame's code; null: lines are asked of the
  // interpreter.
  const CodeLines* lines = nullptr;
};

// The inputs of one frame record. Borrowed pointers and references: they
// must outlive the call.
struct FrameWrite {
  PyObject* frame;                          // the event's frame object
  const SerializerState* serializer;        // the process-wide state
  FramePathCache* path_cache;               // used when `cached` is null
  std::optional<UserCodeCallSite> call_site;
  std::uint8_t value_kind;                  // ValueKind
  PyObject* value;                          // never null (ignored for kNoArg)
  std::uint8_t event_kind;                  // EventKind, 0 to 5
  std::string_view co_name;
  const FrameId* frame_id;
  bool lightweight_repr = false;
  bool omit_return_locals = false;          // return events get "locals": nil
  const CachedCodeNames* cached = nullptr;  // null: ask path_cache and get_qualname
  InterningContext* interning = nullptr;    // null: every value inline
  std::optional<std::size_t> byte_budget;   // per value; nullopt: unlimited
};

// Appends the event's frame record. Return, unwind and yield events on a
// thread whose stack guard is omitting values get the values-omitted form
// without reading the value or the locals. A failure to capture the values
// that is a RecursionError (directly or as the immediate context) also gives
// the values-omitted form; a value that cannot be encoded otherwise, its
// repr text or the values-omitted form (see above). Returns false with a
// Python error set, and the buffer unchanged, when the frame's names or
// locals cannot be read; an exception that must reach the traced program
// (KeyboardInterrupt, SystemExit) is always returned.
bool write_frame_with_serializer_inner(ByteBuffer& buffer, const FrameWrite& write);

// After `error` stopped a record: the values-omitted form when `error` is a
// RecursionError or has one as its immediate context (and need not reach the
// program); true when that form was appended. Otherwise false with `error`
// (or the error that stopped the omitted form) set and nothing appended.
bool without_values_at_recursion_limit(py::PyError error, ByteBuffer& buffer, const FrameWrite& write);

// Appends the values-omitted form. Reads neither the value nor the locals.
// Returns false with a Python error set (nothing appended) when the line,
// frame path or qualified name cannot be read.
bool write_frame_without_values(ByteBuffer& buffer, const FrameWrite& write);

// The frame's locals as recorded, without "__builtins__": a new dict of a
// function frame's locals (read from its slots, so nothing is left on the
// frame), else its namespace as f_locals shows it (or a dict made from a
// non-dict mapping), read without writing into it. A frame's own dict
// holding that key is copied first; the frame's mapping is never changed.
// Null with a Python error set when the locals or dict() fail.
py::Ref get_locals(PyObject* frame);

}  // namespace vesh::encode
