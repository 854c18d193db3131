#include "utf8.hpp"

#include <cstdint>
#include <cstring>

#include "corvane/utils/string.hpp"

namespace corvane::utils::string {
namespace detail {

std::size_t validUtf8Prefix(const char* data, std::size_t size) noexcept {
  const auto* bytes = reinterpret_cast<const unsigned char*>(data);
  std::size_t i = 0;
  while (i < size) {
    // Most text is ASCII: take eight bytes at a time while no high bit is set.
    if (size - i >= 8) {
      std::uint64_t word;
      std::memcpy(&word, bytes + i, 8);
      if ((word & 0x8080808080808080ULL) == 0) {
        i += 8;
        continue;
      }
    }
    const unsigned char lead = bytes[i];
    if (lead < 0x80) {
      ++i;
      continue;
    }
    // Ranges of the second byte exclude overlong forms, surrogates and values above U+10FFFF.
    std::size_t trailing;
    unsigned char lower = 0x80, upper = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
      trailing = 1;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      trailing = 2;
      if (lead == 0xE0) lower = 0xA0;
      if (lead == 0xED) upper = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      trailing = 3;
      if (lead == 0xF0) lower = 0x90;
      if (lead == 0xF4) upper = 0x8F;
    } else {
      return i;
    }
    if (size - i <= trailing) return i;
    if (bytes[i + 1] < lower || bytes[i + 1] > upper) return i;
    for (std::size_t k = 2; k <= trailing; ++k) {
      if ((bytes[i + k] & 0xC0) != 0x80) return i;
    }
    i += trailing + 1;
  }
  return size;
}

}  // namespace detail

bool isValidUtf8(const char* data, std::size_t size) noexcept {
  return detail::validUtf8Prefix(data, size) == size;
}

}  // namespace corvane::utils::string
