// Where the tests find the source tree's files (python/, tests/data/).
#pragma once

#include <filesystem>

namespace vesh::testing {

// The source tree's root (this header lies in tests/native/).
inline std::filesystem::path source_root() {
  return std::filesystem::path(__FILE__).parent_path().parent_path().parent_path();
}

}  // namespace vesh::testing
