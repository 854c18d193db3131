#include "corvane/utils/numeric.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <iterator>
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

constexpr double kPowersOfTen[] = {1.0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6};

std::size_t decimalDigits(std::uint64_t n) {
  std::size_t digits = 1;
  while (n >= 10) {
    n /= 10;
    ++digits;
  }
  return digits;
}

// Values with at most six decimal places (most measured values) are written straight from their
// scaled integer. The text is the one to_chars would choose: the fewest fraction digits that read
// back as the same double, in fixed notation unless the scientific form is shorter (then the
// caller falls back to to_chars). Answers 0 when the value does not qualify.
std::size_t formatShortDecimal(char* buffer, std::size_t capacity, double value) {
  double magnitude = std::fabs(value);
  if (!(magnitude >= 1e-3 && magnitude < 9e9)) return 0;
  for (std::size_t k = 0; k < std::size(kPowersOfTen); ++k) {
    double scaled = std::nearbyint(magnitude * kPowersOfTen[k]);
    // Division of two exact doubles is correctly rounded, as reading the decimal text back is.
    if (scaled / kPowersOfTen[k] != magnitude) continue;
    auto n = static_cast<std::uint64_t>(scaled);
    std::size_t digits = decimalDigits(n);
    std::size_t integerDigits = digits > k ? digits - k : 1;
    std::size_t fixedLength = integerDigits + (k ? k + 1 : 0);
    // Scientific form: significant digits (no trailing zeros), a point when more than one,
    // then "e", a sign and at least two exponent digits.
    std::uint64_t significant = n;
    std::size_t significantDigits = digits;
    while (significant % 10 == 0) {
      significant /= 10;
      --significantDigits;
    }
    int exponent = static_cast<int>(digits) - static_cast<int>(k) - 1;
    std::size_t exponentDigits = std::abs(exponent) >= 100 ? 3 : 2;
    std::size_t scientificLength = significantDigits + (significantDigits > 1 ? 1 : 0) + 2 + exponentDigits;
    if (fixedLength > scientificLength) return 0;
    std::size_t length = fixedLength + (value < 0 ? 1 : 0);
    if (length > capacity) return 0;
    char digitsText[24];
    auto [end, error] = std::to_chars(digitsText, digitsText + sizeof digitsText, n);
    (void)error;
    std::size_t count = static_cast<std::size_t>(end - digitsText);
    char* out = buffer;
    if (value < 0) *out++ = '-';
    if (count > k) {
      std::memcpy(out, digitsText, count - k);
      out += count - k;
    } else {
      *out++ = '0';
    }
    if (k) {
      *out++ = '.';
      for (std::size_t z = count; z < k; ++z) *out++ = '0';
      std::size_t fraction = count > k ? k : count;
      std::memcpy(out, digitsText + count - fraction, fraction);
      out += fraction;
    }
    return static_cast<std::size_t>(out - buffer);
  }
  return 0;
}

}  // namespace

std::size_t format(char* buffer, std::size_t capacity, double value) {
  if (!std::isfinite(value)) {
    // JSON has no number text for NaN and infinities.
    if (capacity < 4) tooLong(capacity);
    std::memcpy(buffer, "null", 4);
    return 4;
  }
  if (std::size_t length = formatShortDecimal(buffer, capacity, value)) return length;
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
