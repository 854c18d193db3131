#include "client/clientId.hpp"

#include <gtest/gtest.h>

namespace corvane::plugins::mqttClient {
namespace {

using utils::core::Uuid;

// Computed by clientIdVectors.py (hashlib SHA-256 and its own MT19937-64), not by this code.
TEST(ClientId, MatchesIndependentlyComputedIdentifiers) {
  const char* const kVectors[][3] = {
      {"localhost", "00000000-0000-0000-0000-000000000000", "CORV0V1MmCvprbI4GuXcGjq"},
      {"localhost", "2b1f6c1e-8a5d-4f0e-9c61-6f2d3a7b0e01", "CORV07rcDnVtOS6aiDSAh2q"},
      {"HOST-", "2b1f6c1e-8a5d-4f0e-9c61-6f2d3a7b0e01", "CORV0QR2jJimUGAiRkQ3wkJ"},
      {"plant-7.example.co", "c0ffee00-1234-4abc-8def-0123456789ab", "CORV0jUnz4q6S2JcxF9ZTYN"},
      {"", "ffffffff-ffff-ffff-ffff-ffffffffffff", "CORV054unpl1nmLunsSruHx"},
  };
  for (const auto& [computerName, uuid, clientId] : kVectors) {
    EXPECT_EQ(generateClientId(computerName, *Uuid::parse(uuid)), clientId) << computerName << " " << uuid;
  }
  // This machine's name is found without a network lookup, the same every time.
  EXPECT_FALSE(computerNameForClientId().empty());
  EXPECT_EQ(computerNameForClientId(), computerNameForClientId());
}

}  // namespace
}  // namespace corvane::plugins::mqttClient
