#pragma once
// The one check for every topic name taken from configuration: it must be usable as one exact
// topic for publishing and subscribing.
#include <optional>
#include <string_view>

#include <corvane/utils/json.hpp>

namespace corvane::plugins::mqttClient {

// Throws a configuration error at `location` for the first rule the name breaks.
void validateTopicName(utils::json::decoder::Location location, std::string_view name, std::string_view elementKind);

// The largest MQTT string: its length travels as two bytes.
inline constexpr std::size_t kMaxMqttStringLength = 65535;

// A character that libmosquitto's UTF-8 check refuses in an MQTT string (client identifier, user
// name, topic name), so that a call that takes the string fails with MOSQ_ERR_MALFORMED_UTF8.
struct RefusedCharacter {
  char32_t codePoint;
  bool control;  // U+0000 to U+001F or U+007F to U+009F; else a Unicode non-character
};

// The first refused character of a text that is valid UTF-8 (as the JSON reader gives every
// string); nothing when libmosquitto takes the text.
std::optional<RefusedCharacter> findRefusedCharacter(std::string_view text) noexcept;

}  // namespace corvane::plugins::mqttClient
