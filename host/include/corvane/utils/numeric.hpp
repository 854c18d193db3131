#pragma once
// Number texts for JSON and display: shortest round-trip form (std::to_chars). Non-finite doubles
// have no JSON number form; they are written as null so a payload stays valid JSON.
#include <cstddef>
#include <cstdint>

namespace corvane::utils::numeric {
// Each writes at most `capacity` characters and returns the count; std::length_error when the text
// would not fit.
std::size_t format(char* buffer, std::size_t capacity, double value);
std::size_t format(char* buffer, std::size_t capacity, std::int64_t value);
std::size_t format(char* buffer, std::size_t capacity, std::uint64_t value);
}  // namespace corvane::utils::numeric
