#pragma once

#include <filesystem>
#include <string_view>

namespace corvane::testing {

// A fresh directory under /tmp, removed with everything in it when the owner goes away. Set
// CORVANE_KEEP_TEST_FILES in the environment to keep it for a post-mortem.
class TempDir {
 public:
  explicit TempDir(std::string_view prefix = "corvane-test");
  ~TempDir();
  TempDir(TempDir&& other) noexcept;
  TempDir& operator=(TempDir&& other) noexcept;
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const noexcept { return path_; }
  std::filesystem::path operator/(const std::filesystem::path& name) const { return path_ / name; }

  // Writes content to the file name (relative to the directory) and returns its full path.
  std::filesystem::path writeFile(const std::filesystem::path& name, std::string_view content) const;

 private:
  void remove() noexcept;

  std::filesystem::path path_;
};

}  // namespace corvane::testing
