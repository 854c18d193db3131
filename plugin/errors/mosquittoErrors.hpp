#pragma once

#include <system_error>

// Result codes of libmosquitto calls and the answer codes of the broker's CONNACK (MQTT 3.1 and
// 3.1.1) and reason codes (MQTT 5). The three categories all call themselves "Mosquitto" and are
// told apart by identity only, so equal values from different categories compare unequal.
namespace corvane::plugins::mqttClient {

const std::error_category& mosquittoErrorCategory() noexcept;
const std::error_category& connackResultErrorCategory() noexcept;
const std::error_category& reasonCodeErrorCategory() noexcept;

// The result of a libmosquitto call (MOSQ_ERR_*), unchanged.
inline std::error_code makeMosquittoError(int result) noexcept {
  return {result, mosquittoErrorCategory()};
}

// A CONNACK return code of MQTT 3.1 or 3.1.1 (CONNACK_*), unchanged.
inline std::error_code makeConnackError(int returnCode) noexcept {
  return {returnCode, connackResultErrorCategory()};
}

// An MQTT 5 reason code (MQTT_RC_*), unchanged.
inline std::error_code makeReasonCodeError(int reasonCode) noexcept {
  return {reasonCode, reasonCodeErrorCategory()};
}

}  // namespace corvane::plugins::mqttClient
