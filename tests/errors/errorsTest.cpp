// Error codes as users read them: category, value and message, from every category of the skill.
#include <gtest/gtest.h>
#include <mosquitto.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>

#include <cerrno>
#include <tuple>

#include <corvane/data.hpp>

#include "errors/customError.hpp"
#include "errors/mosquittoErrors.hpp"
#include "ssl/errors.hpp"

namespace corvane::plugins::mqttClient {
namespace {

TEST(Errors, DescribedWithCategoryValueAndMessage) {
  const auto openssl = [](unsigned value) { return std::error_code(static_cast<int>(value), ssl::errorCategory()); };
  const auto own = [](int value) { return std::error_code(value, customErrorCategory()); };
  const std::tuple<const char*, std::error_code, std::string> cases[] = {
      {"refused MQTT 5 CONNACK reads like libmosquitto's protocol error", CustomError::ProtocolError,
       "Corvane.MQTTClient 4: A network protocol error occurred when communicating with the broker"},
      {"own value beyond every condition, sign kept", own(-1), "Corvane.MQTTClient -1: unknown Corvane MQTT client error code -1"},
      {"fixed text instead of strerror of a stale errno", makeMosquittoError(MOSQ_ERR_ERRNO), "Mosquitto 14: System error"},
      {"negative libmosquitto value", makeMosquittoError(MOSQ_ERR_CONN_PENDING), "Mosquitto -1: Connection pending"},
      {"beyond libmosquitto's list", makeMosquittoError(32), "Mosquitto 32: Unknown error"},
      {"refused 3.1.1 CONNACK", makeConnackError(5), "Mosquitto 5: Connection Refused: not authorised."},
      {"verification result", ssl::makeCertificateVerificationError(10),
       "OpenSSL.certificateVerification 10: certificate has expired"},
      {"OpenSSL library and reason", ssl::makeError(0x0480006CUL), "OpenSSL 75497580: PEM routines: no start line"},
      {"user library has no name of its own", ssl::makeError(0x400C0107UL), "OpenSSL 1074528519: operation fail"},
      // Right-aligned in eight places, padded with blanks.
      {"unknown reason of a known library", openssl(0x048007FF),
       "OpenSSL 75499519: PEM routines: unknown OpenSSL error code  48007ff"},
      {"unknown library and reason", openssl(0x3C0007FF), "OpenSSL 1006635007: unknown OpenSSL error code 3c0007ff"},
      {"OpenSSL value of the system library", openssl(0x01000002), "OpenSSL 16777218: Unknown error 16777218"},
      {"errno flag", ssl::makeError(0x80000002UL), "system 2: No such file or directory"},
      {"system library keeps the reason only", ssl::makeError(ERR_PACK(ERR_LIB_SYS, 0, 5)), "system 5: Input/output error"},
      {"success", ssl::makeError(0), "no error"},
      {"an errno value other than EMFILE stays a system error", errnoError(ENOENT), "system 2: No such file or directory"},
  };
  for (const auto& [fault, error, text] : cases) EXPECT_EQ(data::describeError(error), text) << fault;
  // Every value libmosquitto knows has a text, and none ends in a full stop: they are shown inside longer lines.
  for (int value = -1; value <= 31; ++value) {
    const auto text = makeMosquittoError(value).message();
    const bool unknown = value == MOSQ_ERR_UNKNOWN || value == MOSQ_ERR_PLUGIN_DEFER;
    EXPECT_TRUE(!text.empty() && (unknown || text != "Unknown error") && !text.ends_with('.')) << value << ": " << text;
  }
  for (int value = 1; value <= 15; ++value) {
    EXPECT_FALSE(std::error_code(value, customErrorCategory()).message().starts_with("unknown")) << value;
  }
  // All three are named "Mosquitto": only identity tells a refused CONNACK from a refused call.
  EXPECT_NE(makeConnackError(5), makeMosquittoError(5));
  EXPECT_NE(makeReasonCodeError(5), makeMosquittoError(5));
  EXPECT_NE(std::error_code(CustomError::NotConnected), makeMosquittoError(MOSQ_ERR_NO_CONN));
}

TEST(Errors, OpensslQueueGivesItsEarliestErrorAndIsLeftEmpty) {
  ERR_clear_error();
  BIO* bio = BIO_new_mem_buf("this is no certificate", -1);
  EXPECT_EQ(PEM_read_bio_X509(bio, nullptr, nullptr, nullptr), nullptr);
  BIO_free(bio);
  ERR_raise(ERR_LIB_X509, X509_R_CERT_ALREADY_IN_HASH_TABLE);
  EXPECT_EQ(data::describeError(ssl::makeError(ssl::takeError())), "OpenSSL 75497580: PEM routines: no start line");
  // An empty queue still reports a failure, not success.
  EXPECT_EQ(ssl::takeError(), 0x400C0107UL);
  // OpenSSL queues errno behind its system-error flag: the user sees the operating system's text.
  EXPECT_EQ(BIO_new_file("/nonexistent-directory/ca.pem", "r"), nullptr);
  EXPECT_EQ(ssl::makeError(ssl::takeError()), std::error_code(ENOENT, std::system_category()));
}

}  // namespace
}  // namespace corvane::plugins::mqttClient
