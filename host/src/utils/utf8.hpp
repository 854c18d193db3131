#pragma once
// UTF-8 well-formedness check shared by the string helpers and the JSON decoder's error reports.
#include <cstddef>

namespace corvane::utils::string::detail {
// The length of the longest well-formed prefix: the offset of the first byte that does not start a
// well-formed sequence, or size when all bytes are well-formed.
std::size_t validUtf8Prefix(const char* data, std::size_t size) noexcept;
}  // namespace corvane::utils::string::detail
