#pragma once
// Host-and-port strings: "host", "host:1883", "[::1]:1883", "::1".
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace corvane::utils::network {
struct Address {
  struct Parts {
    std::string host;
    std::optional<std::uint16_t> port;
  };
  // Throws std::invalid_argument with a readable text for a malformed address or a port that is
  // not a number from 1 to 65535.
  static Parts split(std::string_view address);
  // IPv6 literals are put in brackets when a port follows.
  static std::string join(std::string_view host, std::optional<std::uint16_t> port);
};
}  // namespace corvane::utils::network
