#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "corvane/utils/network.hpp"

namespace {

using corvane::utils::network::Address;

struct SplitCase {
  const char* address;
  const char* host;
  int port;  // -1: none
};

TEST(Address, SplitsHostAndPort) {
  const SplitCase cases[] = {
      {"broker", "broker", -1},
      {"broker.example:1883", "broker.example", 1883},
      {"127.0.0.1:8883", "127.0.0.1", 8883},
      {"[::1]:1883", "::1", 1883},
      {"[::1]", "::1", -1},
      {"::1", "::1", -1},  // several colons without brackets: an IPv6 literal, no port
      {"h:65535", "h", 65535},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.address);
    const Address::Parts parts = Address::split(c.address);
    EXPECT_EQ(parts.host, c.host);
    EXPECT_EQ(parts.port.has_value() ? *parts.port : -1, c.port);
  }
}

TEST(Address, RefusesMalformedAddresses) {
  struct Case {
    const char* address;
    const char* message;
  };
  const Case cases[] = {
      {"", "empty network address"},
      {"[::1", "missing ']' in address \"[::1\""},
      {"host:", "missing port number after ':' in address \"host:\""},
      {"host:abc", "invalid port number \"abc\" in address \"host:abc\" (expected 1 to 65535)"},
      {"host:0", "invalid port number \"0\" in address \"host:0\" (expected 1 to 65535)"},
      {"host:65536", "invalid port number \"65536\" in address \"host:65536\" (expected 1 to 65535)"},
      {"host:+80", "invalid port number \"+80\" in address \"host:+80\" (expected 1 to 65535)"},
      {"host:80 ", "invalid port number \"80 \" in address \"host:80 \" (expected 1 to 65535)"},
      {"host:99999999999",
       "invalid port number \"99999999999\" in address \"host:99999999999\" (expected 1 to 65535)"},
      {"[::1]x", "unexpected \"x\" after ']' in address \"[::1]x\""},
      {"[::1]:", "missing port number after ':' in address \"[::1]:\""},
      {":1883", "missing host name in address \":1883\""},
      {"[]:1883", "missing host name in address \"[]:1883\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.address);
    try {
      Address::split(c.address);
      ADD_FAILURE() << "accepted";
    } catch (const std::invalid_argument& e) {
      EXPECT_STREQ(e.what(), c.message);
    }
  }
}

TEST(Address, JoinBracketsIPv6AndSplitsBack) {
  struct Case {
    const char* host;
    int port;
    const char* text;
  };
  const Case cases[] = {
      {"broker", 1883, "broker:1883"}, {"broker", -1, "broker"},
      {"::1", 8883, "[::1]:8883"},     {"::1", -1, "::1"},
      {"10.0.0.1", 1, "10.0.0.1:1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    std::optional<std::uint16_t> port;
    if (c.port >= 0) port = static_cast<std::uint16_t>(c.port);
    const std::string text = Address::join(c.host, port);
    EXPECT_EQ(text, c.text);
    const Address::Parts parts = Address::split(text);
    EXPECT_EQ(parts.host, c.host);
    EXPECT_EQ(parts.port, port);
  }
}

}  // namespace
