#include "client/clientId.hpp"

#include <openssl/evp.h>

#include <array>
#include <cstdint>
#include <random>
#include <stdexcept>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <optional>
#include <sstream>
#endif

namespace corvane::plugins::mqttClient {

namespace {

constexpr std::string_view kAlphabet = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
constexpr std::uint64_t kAlphabetSize = kAlphabet.size();
// 2^64 mod 62: below this, the low half of r * 62 marks a draw that would favour some indices.
constexpr std::uint64_t kRejectBelow = (std::uint64_t{0} - kAlphabetSize) % kAlphabetSize;
static_assert(kAlphabetSize == 62 && kRejectBelow == 16);

// The name a computer reports when it cannot tell its own.
constexpr std::string_view kUnknownComputer = "localhost";

#ifndef _WIN32
bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

// The fully qualified name of `host` as the hosts file gives it (its canonical name, on the first
// line that lists the host), when that name extends the host name with a domain. Read directly
// rather than through the resolver, which may ask DNS servers and wait on the network.
std::optional<std::string> fullyQualifiedFromHostsFile(std::string_view host) {
  std::ifstream in("/etc/hosts");
  std::string line;
  while (std::getline(in, line)) {
    line.erase(std::min(line.find('#'), line.size()));
    std::istringstream fields(line);
    std::string address, canonical, alias;
    if (!(fields >> address >> canonical)) continue;
    bool listed = equalsIgnoringCase(canonical, host);
    while (!listed && fields >> alias) listed = equalsIgnoringCase(alias, host);
    if (!listed) continue;
    // "127.0.0.1 localhost myhost" names no domain of this computer.
    if (canonical.size() > host.size() + 1 && canonical[host.size()] == '.' &&
        equalsIgnoringCase(std::string_view(canonical).substr(0, host.size()), host)) {
      return canonical;
    }
    return std::nullopt;
  }
  return std::nullopt;
}
#endif

// The 64-bit seed: the first eight bytes of SHA-256(name, UUID bytes), little-endian.
std::uint64_t seedFor(std::string_view computerName, const utils::core::Uuid& elementUuid) {
  std::string input(computerName);
  input.append(reinterpret_cast<const char*>(elementUuid.bytes.data()), elementUuid.bytes.size());
  std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
  unsigned int length = 0;
  if (EVP_Digest(input.data(), input.size(), digest.data(), &length, EVP_sha256(), nullptr) != 1 || length != 32) {
    throw std::runtime_error("cannot compute the SHA-256 digest for a generated client identifier");
  }
  std::uint64_t seed = 0;
  for (int i = 7; i >= 0; --i) seed = (seed << 8) | digest[static_cast<std::size_t>(i)];
  return seed;
}

// An index below 62 by Lemire's nearly divisionless method: the high half of r * 62, redrawn when
// the low half falls below 2^64 mod 62. The exact draw matters: identifiers must not change.
std::size_t drawIndex(std::mt19937_64& engine) {
  for (;;) {
    const std::uint64_t r = engine();
    const std::uint64_t low = r * kAlphabetSize;  // wraps: the product's low 64 bits
    if (low < kRejectBelow) continue;
    // High 64 bits of the 128-bit product, from the 32-bit halves of r (each product < 2^38).
    const std::uint64_t lowHalf = (r & 0xFFFFFFFFu) * kAlphabetSize;
    const std::uint64_t high = ((r >> 32) * kAlphabetSize + (lowHalf >> 32)) >> 32;
    return static_cast<std::size_t>(high);
  }
}

}  // namespace

std::string computerNameForClientId() {
#ifdef _WIN32
  char buffer[254];
  DWORD size = sizeof buffer;
  if (!GetComputerNameExA(ComputerNamePhysicalDnsFullyQualified, buffer, &size)) {
    size = sizeof buffer;
    if (!GetComputerNameA(buffer, &size)) return std::string(kUnknownComputer);
  }
  std::string name(buffer, size);
#else
  char buffer[256] = {};
  if (gethostname(buffer, sizeof buffer - 1) != 0 || buffer[0] == '\0') return std::string(kUnknownComputer);
  std::string name(buffer);
  if (auto qualified = fullyQualifiedFromHostsFile(name)) name = std::move(*qualified);
#endif
  // The reported name's final character has never been part of the name used; identifiers (and
  // the broker permissions keyed on them) depend on keeping it that way.
  if (!name.empty()) name.pop_back();
  return name;
}

std::string generateClientId(std::string_view computerName, const utils::core::Uuid& elementUuid) {
  std::mt19937_64 engine(seedFor(computerName, elementUuid));
  std::string id(kClientIdPrefix);
  id.reserve(kGeneratedClientIdLength);
  while (id.size() < kGeneratedClientIdLength) id.push_back(kAlphabet[drawIndex(engine)]);
  return id;
}

std::string generateClientId(const skill::Element& client) {
  return generateClientId(computerNameForClientId(), client.uuid());
}

}  // namespace corvane::plugins::mqttClient
