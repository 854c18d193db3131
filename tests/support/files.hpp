#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace corvane::testing {

// Whole-file reading and writing for test fixtures; both throw std::runtime_error naming the file.
std::string readFile(const std::filesystem::path& file);
void writeFile(const std::filesystem::path& file, std::string_view content);

}  // namespace corvane::testing
