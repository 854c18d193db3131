#include "tempDir.hpp"

#include <cerrno>
#include <cstdlib>
#include <string>
#include <system_error>
#include <utility>

#include "files.hpp"

namespace corvane::testing {

TempDir::TempDir(std::string_view prefix) {
  std::string pattern = "/tmp/" + std::string(prefix) + "-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) {
    throw std::system_error(errno, std::generic_category(), "could not create a directory like " + pattern);
  }
  path_ = pattern;
}

TempDir::~TempDir() {
  remove();
}

TempDir::TempDir(TempDir&& other) noexcept : path_(std::exchange(other.path_, {})) {}

TempDir& TempDir::operator=(TempDir&& other) noexcept {
  if (this != &other) {
    remove();
    path_ = std::exchange(other.path_, {});
  }
  return *this;
}

std::filesystem::path TempDir::writeFile(const std::filesystem::path& name, std::string_view content) const {
  auto file = path_ / name;
  testing::writeFile(file, content);
  return file;
}

void TempDir::remove() noexcept {
  if (path_.empty() || std::getenv("CORVANE_KEEP_TEST_FILES") != nullptr) return;
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
  path_.clear();
}

}  // namespace corvane::testing
