// Interned value references inside stored records.
//
// A record that refers to an interned value holds the 6-byte reference
// d6 09 <id, 4 bytes big-endian> where the value would be. Whoever moves
// records into another trace (a flushed subtree, a trace point, a record
// appended to a capture other than the one it was encoded for) must take the
// values they refer to along; these functions find them.
#pragma once

#include "support/byte_buffer.h"

#include <cstdint>
#include <string_view>
#include <vector>

namespace vesh::encode {

inline constexpr std::size_t kValueReferenceBytes = 6;

// Appends the reference record of value `id`.
void write_value_reference(ByteBuffer& buffer, std::uint32_t id);

// Appends to `ids` the id of every interned value reference in `bytes`, one
// or more whole MessagePack values, looking inside tuple, set and frozenset
// records too. Ids come in the order met, repeats included. False when
// `bytes` is not well-formed MessagePack; the ids met before the fault are
// kept. Never reads outside `bytes`.
bool collect_value_references(std::string_view bytes, std::vector<std::uint32_t>& ids);

}  // namespace vesh::encode
