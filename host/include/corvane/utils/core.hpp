#pragma once
// Small vocabulary types of the utility library: UUIDs, compile-time strings, copy guards.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace corvane::utils::tools {
// Base of every object that owns an identity (skills, elements, tasks): never copied.
class DisableCopy {
 public:
  DisableCopy() = default;
  DisableCopy(const DisableCopy&) = delete;
  DisableCopy& operator=(const DisableCopy&) = delete;

 protected:
  ~DisableCopy() = default;
};
}  // namespace corvane::utils::tools

namespace corvane::utils::tparam {
// A string usable as a template argument: String<N> holds N-1 characters and a NUL.
template <std::size_t N>
struct String {
  char chars[N]{};
  constexpr String(const char (&text)[N]) { std::copy_n(text, N, chars); }  // NOLINT: implicit by design
  constexpr std::string_view view() const noexcept { return {chars, N - 1}; }
};
}  // namespace corvane::utils::tparam

namespace corvane::utils::core {
// A UUID as its 16 bytes in the order of the 8-4-4-4-12 text form. Structural, so it can be a
// template argument.
struct Uuid {
  std::array<std::uint8_t, 16> bytes{};

  static constexpr Uuid fromRawData(const std::uint8_t* data) noexcept {
    Uuid u;
    std::copy_n(data, 16, u.bytes.begin());
    return u;
  }
  // Parses the 36-character text form; nullopt for anything else.
  static constexpr std::optional<Uuid> parse(std::string_view text) noexcept {
    if (text.size() != 36) return std::nullopt;
    Uuid u;
    std::size_t byte = 0;
    for (std::size_t i = 0; i < text.size();) {
      if (i == 8 || i == 13 || i == 18 || i == 23) {
        if (text[i] != '-') return std::nullopt;
        ++i;
        continue;
      }
      int hi = hexValue(text[i]), lo = hexValue(text[i + 1]);
      if (hi < 0 || lo < 0) return std::nullopt;
      u.bytes[byte++] = static_cast<std::uint8_t>(hi * 16 + lo);
      i += 2;
    }
    return u;
  }
  // For constants written in source: a malformed literal fails to compile.
  static consteval Uuid literal(const char (&text)[37]) {
    auto u = parse(std::string_view(text, 36));
    if (!u) throw "malformed UUID literal";
    return *u;
  }
  std::string toString() const;
  constexpr bool isNil() const noexcept {
    return std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0; });
  }
  friend constexpr bool operator==(const Uuid&, const Uuid&) = default;
  friend constexpr auto operator<=>(const Uuid&, const Uuid&) = default;

 private:
  static constexpr int hexValue(char c) noexcept {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  }
};
}  // namespace corvane::utils::core
