#include "corvane/utils/numeric.hpp"

#include <charconv>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <string>
#include <system_error>

namespace corvane::utils::numeric {
namespace {

[[noreturn]] void tooLong(std::size_t capacity) {
  throw std::length_error("number text does not fit into " + std::to_string(capacity) + " characters");
}

template <class T>
std::size_t formatWithToChars(char* buffer, std::size_t capacity, T value) {
  auto [end, error] = std::to_chars(buffer, buffer + capacity, value);
  if (error != std::errc{}) tooLong(capacity);
  return static_cast<std::size_t>(end - buffer);
}

}  // namespace

std::size_t format(char* buffer, std::size_t capacity, double value) {
  if (!std::isfinite(value)) {
    // JSON has no number text for NaN and infinities.
    if (capacity < 4) tooLong(capacity);
    std::memcpy(buffer, "null", 4);
    return 4;
  }
  // Without a format argument to_chars gives the shortest text that reads back as the same value.
  return formatWithToChars(buffer, capacity, value);
}

std::size_t format(char* buffer, std::size_t capacity, std::int64_t value) {
  return formatWithToChars(buffer, capacity, value);
}

std::size_t format(char* buffer, std::size_t capacity, std::uint64_t value) {
  return formatWithToChars(buffer, capacity, value);
}

}  // namespace corvane::utils::numeric
