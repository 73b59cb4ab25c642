#include "support/utf8.h"

namespace vesh {

std::string utf8_lossy(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t n = bytes.size();
  std::size_t i = 0;
  while (i < n) {
    unsigned char c = p[i];
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
      ++i;
      continue;
    }
    std::size_t len = 0;
    unsigned char lo = 0x80, hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
      len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      len = 3;
      if (c == 0xE0) lo = 0xA0;
      if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4;
      if (c == 0xF0) lo = 0x90;
      if (c == 0xF4) hi = 0x8F;
    }
    std::size_t taken = 1;
    if (len != 0) {
      while (taken < len && i + taken < n) {
        unsigned char b = p[i + taken];
        unsigned char min = taken == 1 ? lo : 0x80, max = taken == 1 ? hi : 0xBF;
        if (b < min || b > max) break;
        ++taken;
      }
    }
    if (len != 0 && taken == len) {
      out.append(bytes.substr(i, len));
    } else {
      out.append("\xEF\xBF\xBD");
    }
    i += taken;
  }
  return out;
}

}  // namespace vesh
