// Plugin records under the per-value byte budget.
//
// A plugin record is a dict built by plugin processing: a few identifying
// entries plus whatever the plugin's own `process` callable merged in. A
// record that fits the budget is encoded whole, byte for byte as any dict.
// One that does not fit must still say which frame and event it belongs to,
// so instead of a single truncation marker it is written again key by key:
// the identifying entries in full, every other value cut to the budget on
// its own.
#pragma once

#include <Python.h>

#include "support/byte_buffer.h"
#include "encode/value_serializer.h"

#include <cstddef>
#include <optional>
#include <string_view>

namespace vesh::encode {

// Keys whose values are never cut: only an exact str with one of these texts.
bool is_exempt_record_key(std::string_view key) noexcept;

// Encodes `record` (a dict) into `out`, which must be empty, with no value
// interning: large strings and bytes are written inline. `budget` limits each
// value (nullopt: unlimited). A record that is not an exact dict and does not
// fit becomes its truncation marker. Returns false with a Python error set
// (an encode error, a pair that is not a pair, or ValueError "dict is too
// large"); `out` is then empty.
bool dump_msgpack_capped(const SerializerState& state, PyObject* record, bool lightweight_repr,
                         std::optional<std::size_t> budget, ByteBuffer& out);

}  // namespace vesh::encode
