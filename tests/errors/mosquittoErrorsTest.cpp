#include "errors/mosquittoErrors.hpp"

#include <gtest/gtest.h>
#include <mosquitto.h>
#include <mqtt_protocol.h>

#include <string>

namespace corvane::plugins::mqttClient {
namespace {

struct MessageCase {
  int value;
  std::string message;
};

TEST(MosquittoErrors, AllThreeCategoriesAreNamedMosquitto) {
  EXPECT_STREQ(mosquittoErrorCategory().name(), "Mosquitto");
  EXPECT_STREQ(connackResultErrorCategory().name(), "Mosquitto");
  EXPECT_STREQ(reasonCodeErrorCategory().name(), "Mosquitto");
}

TEST(MosquittoErrors, FixedTextsReplaceTheLibrarys) {
  const MessageCase cases[] = {
      {MOSQ_ERR_TLS, "TLS error"},
      {MOSQ_ERR_ERRNO, "System error"},  // the library would show strerror(errno)
      {MOSQ_ERR_KEEPALIVE, "Client is not communicating within the keepalive timeout"},
      {MOSQ_ERR_LOOKUP, "Lookup error"},
      {MOSQ_ERR_MALFORMED_PACKET, "Malformed Packet"},
      {MOSQ_ERR_TLS_HANDSHAKE, "TLS handshake error"},
      {MOSQ_ERR_OVERSIZE_PACKET, "Oversized packet"},
      {MOSQ_ERR_TIMEOUT, "Communication timeout"},
      {MOSQ_ERR_RETAIN_NOT_SUPPORTED, "Message retainment not supported"},
      {MOSQ_ERR_TOPIC_ALIAS_INVALID, "Invalid topic alias"},
      {MOSQ_ERR_ADMINISTRATIVE_ACTION, "Client has been disconnect by administrative action"},
      {MOSQ_ERR_ALREADY_EXISTS, "Object already existed"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    EXPECT_EQ(makeMosquittoError(c.value).message(), c.message);
  }
}

TEST(MosquittoErrors, LibraryTextsLoseOneTrailingFullStop) {
  const MessageCase cases[] = {
      {MOSQ_ERR_NO_CONN, "The client is not currently connected"},
      {MOSQ_ERR_PROTOCOL, "A network protocol error occurred when communicating with the broker"},
      {MOSQ_ERR_CONN_LOST, "The connection was lost"},
      {MOSQ_ERR_EAI, "Lookup error"},  // 15, not in the fixed table: the library's text
      {MOSQ_ERR_MALFORMED_UTF8, "Malformed UTF-8"},  // no full stop to trim
      {MOSQ_ERR_CONN_PENDING, "Connection pending"},  // negative: the library's text
      {MOSQ_ERR_AUTH_CONTINUE, "Continue with authentication"},
      {32, "Unknown error"},  // beyond the fixed table
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    EXPECT_EQ(makeMosquittoError(c.value).message(), c.message);
  }
}

TEST(MosquittoErrors, ConnackAndReasonTextsArePassedOnUnchanged) {
  EXPECT_EQ(makeConnackError(CONNACK_REFUSED_NOT_AUTHORIZED).message(),
            "Connection Refused: not authorised.");
  EXPECT_EQ(makeConnackError(CONNACK_REFUSED_BAD_USERNAME_PASSWORD).message(),
            "Connection Refused: bad user name or password.");
  EXPECT_EQ(makeReasonCodeError(MQTT_RC_NOT_AUTHORIZED).message(), "Not authorized");
  EXPECT_EQ(makeReasonCodeError(MQTT_RC_UNSPECIFIED).message(), "Unspecified error");
}

TEST(MosquittoErrors, SameValueInDifferentCategoriesIsUnequal) {
  // All three are named "Mosquitto": only identity tells a refused CONNACK from a refused call.
  EXPECT_NE(makeConnackError(5), makeMosquittoError(5));
  EXPECT_NE(makeReasonCodeError(5), makeMosquittoError(5));
  EXPECT_NE(makeConnackError(5), makeReasonCodeError(5));
  EXPECT_NE(makeMosquittoError(5), std::error_code(5, std::system_category()));
  EXPECT_EQ(makeMosquittoError(5), makeMosquittoError(5));
  EXPECT_EQ(makeConnackError(5).value(), 5);
  EXPECT_EQ(makeReasonCodeError(MQTT_RC_NOT_AUTHORIZED).value(), 135);
}

}  // namespace
}  // namespace corvane::plugins::mqttClient
