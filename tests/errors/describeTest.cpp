#include <gtest/gtest.h>
#include <mosquitto.h>

#include <string>

#include <corvane/data.hpp>

#include "errors/customError.hpp"
#include "errors/mosquittoErrors.hpp"
#include "ssl/errors.hpp"

namespace corvane::plugins::mqttClient {
namespace {

struct DescribeCase {
  const char* fault;
  std::error_code error;
  std::string text;
};

TEST(DescribeError, CategoryValueAndMessage) {
  const DescribeCase cases[] = {
      {"verification result", ssl::makeCertificateVerificationError(10),
       "OpenSSL.certificateVerification 10: certificate has expired"},
      {"own condition", CustomError::NotConnected, "Corvane.MQTTClient 1: not connected"},
      {"libmosquitto result", makeMosquittoError(MOSQ_ERR_TLS), "Mosquitto 8: TLS error"},
      {"OpenSSL code in decimal", ssl::makeError(0x0480006CUL),
       "OpenSSL 75497580: PEM routines: no start line"},
      {"negative value", makeMosquittoError(MOSQ_ERR_CONN_PENDING),
       "Mosquitto -1: Connection pending"},
      {"success in the system category", std::error_code(), "no error"},
      {"zero in any category", makeMosquittoError(0), "no error"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fault);
    EXPECT_EQ(corvane::data::describeError(c.error), c.text);
  }
}

}  // namespace
}  // namespace corvane::plugins::mqttClient
