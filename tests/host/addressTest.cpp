#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "corvane/utils/network.hpp"

namespace {

using corvane::utils::network::Address;

TEST(Address, SplitsHostAndPortAndJoinsThemBack) {
  const std::tuple<const char*, const char*, int, bool> cases[] = {
      // address, host, port (-1: none), whether join gives the address back
      {"broker", "broker", -1, true},  {"broker.example:1883", "broker.example", 1883, true},
      {"127.0.0.1:8883", "127.0.0.1", 8883, true},  {"[::1]:1883", "::1", 1883, true},  {"h:65535", "h", 65535, true},
      {"[::1]", "::1", -1, false},  {"::1", "::1", -1, true},  // several colons without brackets: IPv6, no port
  };
  for (const auto& [address, host, port, joinsBack] : cases) {
    SCOPED_TRACE(address);
    const Address::Parts parts = Address::split(address);
    EXPECT_EQ(parts.host, host);
    EXPECT_EQ(parts.port.value_or(0), port < 0 ? 0 : port);
    EXPECT_EQ(parts.port.has_value(), port >= 0);
    if (joinsBack) { EXPECT_EQ(Address::join(parts.host, parts.port), address); }
  }
}

TEST(Address, RefusesMalformedAddresses) {
  std::vector<std::pair<std::string, std::string>> cases = {
      {"", "empty network address"},  {"[::1", "missing ']' in address \"[::1\""},
      {"host:", "missing port number after ':' in address \"host:\""},
      {"[::1]x", "unexpected \"x\" after ']' in address \"[::1]x\""},
      {"[::1]:", "missing port number after ':' in address \"[::1]:\""},
      {":1883", "missing host name in address \":1883\""},  {"[]:1883", "missing host name in address \"[]:1883\""},
  };
  for (const std::string port : {"abc", "0", "65536", "+80", "80 ", "99999999999"}) {
    cases.emplace_back("host:" + port,
                       "invalid port number \"" + port + "\" in address \"host:" + port + "\" (expected 1 to 65535)");
  }
  for (const auto& [address, message] : cases) {
    try {
      Address::split(address);
      ADD_FAILURE() << "accepted " << address;
    } catch (const std::invalid_argument& e) {
      EXPECT_EQ(e.what(), message);
    }
  }
}

}  // namespace
