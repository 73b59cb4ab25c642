// Turning arbitrary bytes (file-system names, OS messages) into text that is
// valid UTF-8, as MessagePack str values and Python str objects need.
#pragma once

#include <string>
#include <string_view>

namespace vesh {

// `bytes` as valid UTF-8: every maximal invalid sequence becomes U+FFFD.
std::string utf8_lossy(std::string_view bytes);

}  // namespace vesh
