#include "errors/mosquittoErrors.hpp"

#include <mosquitto.h>

#include <string>

namespace corvane::plugins::mqttClient {
namespace {

// Our own texts where libmosquitto has none ("Unknown error.") or a misleading one (MOSQ_ERR_ERRNO
// gives strerror of whatever errno happens to hold).
const char* fixedMosquittoText(int ev) noexcept {
  switch (ev) {
    case MOSQ_ERR_TLS: return "TLS error";
    case MOSQ_ERR_ERRNO: return "System error";
    case MOSQ_ERR_KEEPALIVE: return "Client is not communicating within the keepalive timeout";
    case MOSQ_ERR_LOOKUP: return "Lookup error";
    case MOSQ_ERR_MALFORMED_PACKET: return "Malformed Packet";
    case MOSQ_ERR_TLS_HANDSHAKE: return "TLS handshake error";
    case MOSQ_ERR_OVERSIZE_PACKET: return "Oversized packet";
    case MOSQ_ERR_TIMEOUT: return "Communication timeout";
    case MOSQ_ERR_RETAIN_NOT_SUPPORTED: return "Message retainment not supported";
    case MOSQ_ERR_TOPIC_ALIAS_INVALID: return "Invalid topic alias";
    case MOSQ_ERR_ADMINISTRATIVE_ACTION: return "Client has been disconnect by administrative action";
    case MOSQ_ERR_ALREADY_EXISTS: return "Object already existed";
    default: return nullptr;
  }
}

std::string orEmpty(const char* text) { return text != nullptr ? text : ""; }

class MosquittoErrorCategory : public std::error_category {
 public:
  const char* name() const noexcept override { return "Mosquitto"; }

  std::string message(int ev) const override {
    if (const char* fixed = fixedMosquittoText(ev)) return fixed;
    // libmosquitto ends its texts in a full stop; ours are shown inside longer lines.
    std::string text = orEmpty(mosquitto_strerror(ev));
    if (!text.empty() && text.back() == '.') text.pop_back();
    return text;
  }
};

class ConnackResultErrorCategory : public std::error_category {
 public:
  const char* name() const noexcept override { return "Mosquitto"; }
  std::string message(int ev) const override { return orEmpty(mosquitto_connack_string(ev)); }
};

class ReasonCodeErrorCategory : public std::error_category {
 public:
  const char* name() const noexcept override { return "Mosquitto"; }
  std::string message(int ev) const override { return orEmpty(mosquitto_reason_string(ev)); }
};

}  // namespace

const std::error_category& mosquittoErrorCategory() noexcept {
  static const MosquittoErrorCategory instance;
  return instance;
}

const std::error_category& connackResultErrorCategory() noexcept {
  static const ConnackResultErrorCategory instance;
  return instance;
}

const std::error_category& reasonCodeErrorCategory() noexcept {
  static const ReasonCodeErrorCategory instance;
  return instance;
}

}  // namespace corvane::plugins::mqttClient
