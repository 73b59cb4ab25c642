// A few bytes of bounded size built on the stack, then appended elsewhere
// in one write. Has the packer's sink interface, so msgpack headers and
// scalars can be written into it; the caller keeps within N.
#pragma once

#include <cstddef>
#include <cstring>
#include <string_view>

namespace vesh {

template <std::size_t N>
struct StackBytes {
  char bytes[N];
  std::size_t size = 0;

  void write(const char* data, std::size_t n) {
    std::memcpy(bytes + size, data, n);
    size += n;
  }
  void put(std::string_view data) { write(data.data(), data.size()); }
  void put(char byte) { bytes[size++] = byte; }
  std::string_view view() const noexcept { return {bytes, size}; }
};

}  // namespace vesh
