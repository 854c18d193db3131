#pragma once

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>

#include "files.hpp"

namespace corvane::testing {

// A fresh directory under /tmp, removed with everything in it when the owner goes away. Set
// CORVANE_KEEP_TEST_FILES in the environment to keep it for a post-mortem.
class TempDir {
 public:
  explicit TempDir(std::string_view prefix = "corvane-test") {
    std::string pattern = "/tmp/" + std::string(prefix) + "-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
      throw std::system_error(errno, std::generic_category(), "could not create a directory like " + pattern);
    }
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    if (std::getenv("CORVANE_KEEP_TEST_FILES") == nullptr) std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const noexcept { return path_; }
  std::filesystem::path operator/(const std::filesystem::path& name) const { return path_ / name; }

  // Writes content to the file name (relative to the directory) and returns its full path.
  std::filesystem::path writeFile(const std::filesystem::path& name, std::string_view content) const {
    testing::writeFile(path_ / name, content);
    return path_ / name;
  }

 private:
  std::filesystem::path path_;
};

}  // namespace corvane::testing
