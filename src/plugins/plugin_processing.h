// Plugin processing: running one plugin processor for one event of a frame.
//
// The tracers offer a recorded event to the processors listed under its
// code's co_name whose path fragment occurs in the code's co_filename:
//
//   bool matches = false;
//   if (!plugin_matches_event(processor, frame, kind, arg, matches)) -> error route
//   if (matches) {
//     std::optional<PluginRecord> record;
//     if (!process_plugin_event(processor, frame, kind, arg, call_frames.get_bound(),
//                               lightweight_repr, record)) -> error route
//     if (record) -> store record->bytes before the event's frame record
//   }
//
// Both run the plugin's Python callables and need the interpreter lock. An
// error is returned as the C API does (false with the Python error set); the
// tracer decides with reaches_program() whether it goes on to the program.
#pragma once

#include <Python.h>

#include "plugins/plugins.h"
#include "support/byte_buffer.h"
#include "foundation/frame_types.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vesh::plugins {

// One encoded plugin record with the final value of its "type".
struct PluginRecord {
  std::string type;
  ByteBuffer bytes;
};

// Whether the processor wants the event: true without a `call` callable,
// else what `call(frame, event name, arg, context)` answers, which must be
// exactly True or False (or a numpy bool). Returns false with a Python error
// set when the callable raises or answers anything else.
bool plugin_matches_event(const PluginProcessor& processor, PyObject* frame, std::uint8_t event_kind,
                          PyObject* arg, bool& matches);

// Builds and encodes the processor's record for the event. `snapshot` is the
// thread's CallFrames::get_bound(), taken before the tracer updates its
// call-frame stack for this event; it is released here. `out` stays empty
// when the processor's `events` list leaves the event out. Returns false
// with a Python error set when a callable raises, its result is not a
// mapping, the final "type" is not a str, or encoding fails.
bool process_plugin_event(PluginProcessor& processor, PyObject* frame, std::uint8_t event_kind, PyObject* arg,
                          std::vector<BoundCallFrame> snapshot, bool lightweight_repr,
                          std::optional<PluginRecord>& out);

}  // namespace vesh::plugins
