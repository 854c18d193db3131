#include <charconv>
#include <stdexcept>
#include <system_error>

#include "corvane/utils/network.hpp"

namespace corvane::utils::network {
namespace {

std::string quoted(std::string_view text) {
  std::string result;
  result.reserve(text.size() + 2);
  result.push_back('"');
  result.append(text);
  result.push_back('"');
  return result;
}

[[noreturn]] void malformed(const std::string& what, std::string_view address, const char* hint = "") {
  throw std::invalid_argument(what + " in address " + quoted(address) + hint);
}

std::uint16_t parsePort(std::string_view text, std::string_view address) {
  if (text.empty()) malformed("missing port number after ':'", address);
  unsigned value = 0;
  // from_chars takes no sign and no blanks, so the whole text must be digits.
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc{} || end != text.data() + text.size() || value < 1 || value > 65535) {
    malformed("invalid port number " + quoted(text), address, " (expected 1 to 65535)");
  }
  return static_cast<std::uint16_t>(value);
}

}  // namespace

Address::Parts Address::split(std::string_view address) {
  if (address.empty()) throw std::invalid_argument("empty network address");
  Parts parts;
  if (address.front() == '[') {
    // "[IPv6]" or "[IPv6]:port": the brackets keep the literal's colons apart from the port's.
    std::size_t close = address.find(']');
    if (close == std::string_view::npos) malformed("missing ']'", address);
    parts.host = std::string(address.substr(1, close - 1));
    std::string_view rest = address.substr(close + 1);
    if (!rest.empty()) {
      if (rest.front() != ':') malformed("unexpected " + quoted(rest) + " after ']'", address);
      parts.port = parsePort(rest.substr(1), address);
    }
  } else {
    std::size_t colon = address.find(':');
    if (colon == std::string_view::npos || address.find(':', colon + 1) != std::string_view::npos) {
      // No colon, or several: a host name or an IPv6 literal written without a port.
      parts.host = std::string(address);
    } else {
      parts.host = std::string(address.substr(0, colon));
      parts.port = parsePort(address.substr(colon + 1), address);
    }
  }
  if (parts.host.empty()) malformed("missing host name", address);
  return parts;
}

std::string Address::join(std::string_view host, std::optional<std::uint16_t> port) {
  if (!port) return std::string(host);
  std::string text;
  const bool bracket = host.find(':') != std::string_view::npos && !host.starts_with('[');
  if (bracket) text.push_back('[');
  text.append(host);
  if (bracket) text.push_back(']');
  text.push_back(':');
  text.append(std::to_string(*port));
  return text;
}

}  // namespace corvane::utils::network
