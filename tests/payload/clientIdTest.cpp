#include "client/clientId.hpp"

#include <set>
#include <string>

#include <gtest/gtest.h>

namespace corvane::plugins::mqttClient {
namespace {

using utils::core::Uuid;

constexpr std::string_view kAlphabet = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";

struct Vector {
  const char* computerName;
  const char* uuid;
  const char* clientId;
};

// Computed by clientIdVectors.py (hashlib SHA-256 and its own MT19937-64), not by this code.
const Vector kVectors[] = {
    {"localhost", "00000000-0000-0000-0000-000000000000", "CORV0V1MmCvprbI4GuXcGjq"},
    {"localhost", "2b1f6c1e-8a5d-4f0e-9c61-6f2d3a7b0e01", "CORV07rcDnVtOS6aiDSAh2q"},
    {"HOST-", "2b1f6c1e-8a5d-4f0e-9c61-6f2d3a7b0e01", "CORV0QR2jJimUGAiRkQ3wkJ"},
    {"plant-7.example.co", "c0ffee00-1234-4abc-8def-0123456789ab", "CORV0jUnz4q6S2JcxF9ZTYN"},
    {"", "ffffffff-ffff-ffff-ffff-ffffffffffff", "CORV054unpl1nmLunsSruHx"},
};

TEST(ClientId, MatchesIndependentlyComputedIdentifiers) {
  for (const auto& v : kVectors) {
    SCOPED_TRACE(std::string(v.computerName) + " " + v.uuid);
    EXPECT_EQ(generateClientId(v.computerName, *Uuid::parse(v.uuid)), v.clientId);
  }
}

TEST(ClientId, StableAndFromTheAlphabet) {
  const std::string name = computerNameForClientId();
  EXPECT_FALSE(name.empty());
  std::set<std::string> seen;
  for (std::uint8_t i = 0; i < 64; ++i) {
    Uuid uuid = *Uuid::parse("2b1f6c1e-8a5d-4f0e-9c61-6f2d3a7b0e00");
    uuid.bytes[15] = i;
    const std::string id = generateClientId(name, uuid);
    SCOPED_TRACE(id);
    EXPECT_EQ(id, generateClientId(computerNameForClientId(), uuid));
    ASSERT_EQ(id.size(), kGeneratedClientIdLength);
    EXPECT_TRUE(id.starts_with(kClientIdPrefix));
    EXPECT_EQ(id.find_first_not_of(kAlphabet), std::string::npos);
    seen.insert(id);
  }
  EXPECT_EQ(seen.size(), 64u);  // another element, another identifier
}

}  // namespace
}  // namespace corvane::plugins::mqttClient
