#include "encode/value_references.h"

#include "encode/value_serializer.h"

#include <absl/container/inlined_vector.h>

namespace vesh::encode {

void write_value_reference(ByteBuffer& buffer, std::uint32_t id) {
  const char record[kValueReferenceBytes] = {
      static_cast<char>(0xd6),          static_cast<char>(ext::kInternedRef), static_cast<char>(id >> 24),
      static_cast<char>((id >> 16) & 0xff), static_cast<char>((id >> 8) & 0xff),  static_cast<char>(id & 0xff)};
  buffer.write(record, sizeof record);
}

namespace {

std::uint64_t read_be(const unsigned char* p, std::size_t n) noexcept {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < n; ++i) value = (value << 8) | p[i];
  return value;
}

bool holds_items(std::int8_t type) noexcept {
  return type == ext::kTuple || type == ext::kSet || type == ext::kFrozenset;
}

// A run of bytes being walked: the whole input, or the data of a tuple, set
// or frozenset record, which holds exactly one array.
struct Level {
  std::size_t end;
  std::uint64_t pending;  // values still to read here
  std::size_t ids_mark;   // ids.size() when the level began
};

}  // namespace

bool collect_value_references(std::string_view bytes, std::vector<std::uint32_t>& ids) {
  const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
  absl::InlinedVector<Level, 8> levels;
  levels.push_back(Level{bytes.size(), 0, ids.size()});
  std::size_t pos = 0;

  // Ends the innermost level early. Extension data that is not the one
  // array it should be (a foreign extension value under the same code) is
  // opaque: whatever it seemed to refer to is dropped and the walk goes on
  // after it. Malformed input at the outer level ends the walk.
  auto give_up_level = [&]() -> bool {
    if (levels.size() == 1) return false;
    ids.resize(levels.back().ids_mark);
    pos = levels.back().end;
    levels.pop_back();
    return true;
  };

  for (;;) {
    Level& level = levels.back();
    if (level.pending == 0) {
      if (levels.size() == 1) {
        if (pos == bytes.size()) return true;
        level.pending = 1;
        continue;
      }
      if (pos == level.end) {
        levels.pop_back();
      } else {
        give_up_level();
      }
      continue;
    }
    const std::size_t left = level.end - pos;
    if (left == 0) {
      if (!give_up_level()) return false;
      continue;
    }
    const unsigned char b = data[pos];
    --level.pending;
    std::size_t skip = 0;       // bytes of the value after its first byte
    std::uint64_t children = 0;  // values it contains
    std::size_t length_bytes = 0;
    if (b <= 0x7f || b >= 0xe0 || b == 0xc0 || b == 0xc2 || b == 0xc3) {
      skip = 0;
    } else if (b <= 0x8f) {
      children = 2u * (b & 0x0f);
    } else if (b <= 0x9f) {
      children = b & 0x0f;
    } else if (b <= 0xbf) {
      skip = b & 0x1f;
    } else {
      switch (b) {
        case 0xc4: case 0xd9: length_bytes = 1; break;
        case 0xc5: case 0xda: length_bytes = 2; break;
        case 0xc6: case 0xdb: length_bytes = 4; break;
        case 0xca: skip = 4; break;
        case 0xcb: skip = 8; break;
        case 0xcc: case 0xd0: skip = 1; break;
        case 0xcd: case 0xd1: skip = 2; break;
        case 0xce: case 0xd2: skip = 4; break;
        case 0xcf: case 0xd3: skip = 8; break;
        case 0xdc: case 0xde: length_bytes = 2; break;
        case 0xdd: case 0xdf: length_bytes = 4; break;
        case 0xd4: case 0xd5: case 0xd6: case 0xd7: case 0xd8: case 0xc7: case 0xc8: case 0xc9: break;
        default:  // 0xc1 is never used
          if (!give_up_level()) return false;
          continue;
      }
    }

    const bool is_ext = b >= 0xd4 ? b <= 0xd8 : (b >= 0xc7 && b <= 0xc9);
    if (is_ext) {
      std::size_t header = 2;
      std::uint64_t size = 0;
      if (b >= 0xd4) {
        size = std::uint64_t{1} << (b - 0xd4);
      } else {
        const std::size_t n = std::size_t{1} << (b - 0xc7);
        if (left < 1 + n) {
          if (!give_up_level()) return false;
          continue;
        }
        size = read_be(data + pos + 1, n);
        header = 2 + n;
      }
      if (left < header || size > left - header) {
        if (!give_up_level()) return false;
        continue;
      }
      const auto type = static_cast<std::int8_t>(data[pos + header - 1]);
      const std::size_t start = pos + header;
      if (type == ext::kInternedRef && b == 0xd6) {
        ids.push_back(static_cast<std::uint32_t>(read_be(data + start, 4)));
      } else if (holds_items(type)) {
        pos = start;
        levels.push_back(Level{start + static_cast<std::size_t>(size), 1, ids.size()});
        continue;
      }
      pos = start + static_cast<std::size_t>(size);
      continue;
    }

    if (length_bytes != 0) {
      if (left < 1 + length_bytes) {
        if (!give_up_level()) return false;
        continue;
      }
      const std::uint64_t n = read_be(data + pos + 1, length_bytes);
      if (b >= 0xdc) {  // array or map
        children = b >= 0xde ? 2 * n : n;
        skip = length_bytes;
      } else {
        if (n > left - 1 - length_bytes) {
          if (!give_up_level()) return false;
          continue;
        }
        skip = length_bytes + static_cast<std::size_t>(n);
      }
    }
    if (skip > left - 1) {
      if (!give_up_level()) return false;
      continue;
    }
    pos += 1 + skip;
    levels.back().pending += children;
  }
}

}  // namespace vesh::encode
