#include "errors/customError.hpp"

#include <mosquitto.h>
#include <sys/resource.h>

#include <cerrno>

#include <string>

#include "errors/mosquittoErrors.hpp"

namespace corvane::plugins::mqttClient {
namespace {

class CustomErrorCategory : public std::error_category {
 public:
  const char* name() const noexcept override { return "Corvane.MQTTClient"; }

  std::string message(int ev) const override {
    switch (static_cast<CustomError>(ev)) {
      case CustomError::NotConnected:
        return "not connected";
      case CustomError::NotPublishedYet:
        return "not published yet";
      case CustomError::ServerCertificateMismatch:
        return "the server certificate does not match the configured certificate";
      case CustomError::ProtocolError:
        // libmosquitto reports a refused MQTT 5 CONNACK as a protocol error; say the same.
        return mosquittoErrorCategory().message(MOSQ_ERR_PROTOCOL);
      case CustomError::DuplicateMessageId:
        return "the received message id is not unique";
      case CustomError::UnsupportedDataPointType:
        return "the target data point type is not supported";
      case CustomError::NotRegularFile:
        return "not a regular file";
      case CustomError::FileTooLarge:
        return "larger than 256 MiB";
      case CustomError::ClosedUnanswered:
        return "the broker closed the connection before it answered";
      case CustomError::OutgoingQueueFull:
        return "outgoing queue full";
      case CustomError::SendingBusy:
        return "another sending call kept the connection busy";
      case CustomError::ClosedUnansweredMqtt5:
        return "the broker closed the connection before it answered the MQTT 5 CONNECT; a broker that supports only "
               "MQTT 3.1.1 does this (see mqttVersion)";
      case CustomError::ConnectTimeout:
        return "the broker did not answer within 30 s";
      case CustomError::LookupTimeout:
        return "the broker's address was not found within 30 s";
      case CustomError::OpenFileLimit: {
        // Read when shown: the limit is the one the process has now.
        std::string text = std::system_category().message(EMFILE);
        rlimit limit{};
        if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
          text += ": the process's open-file limit is " + std::to_string(limit.rlim_cur);
        }
        return text + " (a client takes up to 4 descriptors; raise the limit with ulimit -n or LimitNOFILE=)";
      }
    }
    if (ev == 0) return std::system_category().message(0);
    return "unknown Corvane MQTT client error code " + std::to_string(ev);
  }
};

}  // namespace

const std::error_category& customErrorCategory() noexcept {
  static const CustomErrorCategory instance;
  return instance;
}

std::error_code errnoError(int value) noexcept {
  if (value == EMFILE) return make_error_code(CustomError::OpenFileLimit);
  return {value, std::system_category()};
}

}  // namespace corvane::plugins::mqttClient
