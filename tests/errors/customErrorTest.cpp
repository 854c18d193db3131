#include "errors/customError.hpp"

#include <gtest/gtest.h>
#include <mosquitto.h>

#include <string>

#include "errors/mosquittoErrors.hpp"

namespace corvane::plugins::mqttClient {
namespace {

struct MessageCase {
  int value;
  std::string message;
};

TEST(CustomError, MessagesAreTheUserVisibleTexts) {
  const MessageCase cases[] = {
      {1, "not connected"},
      {2, "not published yet"},
      {3, "the server certificate does not match the configured certificate"},
      // A refused MQTT 5 CONNACK reads like libmosquitto's own protocol error.
      {4, "A network protocol error occurred when communicating with the broker"},
      {5, "the received message id is not unique"},
      {6, "the target data point type is not supported"},
      {7, "not a regular file"},
      {8, "larger than 256 MiB"},
      {0, std::system_category().message(0)},  // success reads as the system's success text
      {1000, "unknown Corvane MQTT client error code 1000"},  // beyond every enumerator
      {-1, "unknown Corvane MQTT client error code -1"},  // sign kept, not read as unsigned
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    EXPECT_EQ(customErrorCategory().message(c.value), c.message);
  }
}

TEST(CustomError, ConvertsImplicitlyIntoItsOwnCategory) {
  const std::error_code code = CustomError::NotPublishedYet;
  EXPECT_EQ(&code.category(), &customErrorCategory());
  EXPECT_EQ(code.value(), 2);
  EXPECT_STREQ(code.category().name(), "Corvane.MQTTClient");
  EXPECT_TRUE(code == CustomError::NotPublishedYet);
  EXPECT_FALSE(code == CustomError::NotConnected);
}

TEST(CustomError, NotConnectedIsNotLibmosquittosNoConnection) {
  // Same meaning, different origin: the client must be able to tell them apart.
  EXPECT_NE(std::error_code(CustomError::NotConnected), makeMosquittoError(MOSQ_ERR_NO_CONN));
  EXPECT_NE(std::error_code(CustomError::NotConnected), std::error_code(1, std::system_category()));
}

}  // namespace
}  // namespace corvane::plugins::mqttClient
