#pragma once

#include <system_error>
#include <type_traits>

namespace corvane::plugins::mqttClient {

// Conditions the plug-in detects itself; 0 stays "success".
enum class CustomError : int {
  NotConnected = 1,
  NotPublishedYet = 2,
  ServerCertificateMismatch = 3,
  ProtocolError = 4,  // an MQTT 5 broker refused the connection in its CONNACK
  DuplicateMessageId = 5,
  UnsupportedDataPointType = 6,
  // A certificate or key file that OpenSSL must not be given: it could block or never end.
  NotRegularFile = 7,
  FileTooLarge = 8,  // above the 256 MiB that any file the skill reads may hold
  ClosedUnanswered = 9,    // the broker ended the connection before it answered the CONNECT
  OutgoingQueueFull = 10,  // the broker does not read, and the queue for it is at its bound
  SendingBusy = 11,        // another sending call kept the connection too long
  // As ClosedUnanswered, for an MQTT 5 CONNECT: what a broker of MQTT 3.1.1 only does with one.
  ClosedUnansweredMqtt5 = 12,
  ConnectTimeout = 13,  // the TCP handshake, the TLS handshake or the CONNACK took too long
  LookupTimeout = 14,   // the resolver did not answer for the broker's name in that time
  OpenFileLimit = 15,  // the process has all the descriptors its open-file limit allows (EMFILE)
};

const std::error_category& customErrorCategory() noexcept;

inline std::error_code make_error_code(CustomError e) noexcept {
  return {static_cast<int>(e), customErrorCategory()};
}

// An errno value as an error code: EMFILE becomes OpenFileLimit, whose text names the limit.
std::error_code errnoError(int value) noexcept;

}  // namespace corvane::plugins::mqttClient

template <>
struct std::is_error_code_enum<corvane::plugins::mqttClient::CustomError> : std::true_type {};
