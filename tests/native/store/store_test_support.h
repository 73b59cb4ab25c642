// Helpers shared by the trace store's native tests.
#pragma once

#include "source_tree.h"
#include "store/chunk_handle.h"
#include "support/byte_buffer.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <sched.h>
#include <string>
#include <thread>
#include <vector>

namespace vesh::store::testing {

// A fresh directory under the system temp dir, removed with its contents.
class TempDir {
 public:
  TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "vesh-store-XXXXXX").string();
    char* made = ::mkdtemp(tmpl.data());
    if (made == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = made;
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

inline std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

inline std::string from_hex(const std::string& hex) {
  std::string out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    if (hex[i] == '\n') break;
    out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return out;
}

inline SharedBytes bytes_of(std::string_view text) {
  auto buffer = std::make_shared<ByteBuffer>();
  buffer->append(text);
  return buffer;
}

// A sealed chunk of `frames`, back to back.
inline SealedChunk chunk_of(std::uint32_t token, std::uint64_t seq, const std::vector<std::string>& frames) {
  auto payload = std::make_shared<ByteBuffer>();
  auto ends = std::make_shared<std::vector<std::uint64_t>>();
  for (const auto& f : frames) {
    payload->append(f);
    ends->push_back(payload->size());
  }
  return SealedChunk{payload, ends, seq, token};
}

// Runs `body` in a forked child (an alarm turns a hang into a failure) and
// returns its exit status, or 128 + the signal that ended it.
inline int run_in_child(const std::function<int()>& body) {
  pid_t pid = ::fork();
  if (pid == 0) {
    ::alarm(20);
    int rc = 1;
    try {
      rc = body();
    } catch (...) {
      rc = 99;
    }
    ::_exit(rc);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return 128 + WTERMSIG(status);
}

// Waits (polling, with a generous bound) until `done` holds.
inline bool eventually(const std::function<bool()>& done) {
  auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!done()) {
    if (std::chrono::steady_clock::now() > limit) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

}  // namespace vesh::store::testing
