#pragma once
// Stable generated MQTT client identifiers: the same element on the same computer always gets the
// same 23 characters.
#include <string>
#include <string_view>

#include <corvane/skill.hpp>
#include <corvane/utils/core.hpp>

namespace corvane::plugins::mqttClient {

inline constexpr std::string_view kClientIdPrefix = "CORV0";
inline constexpr std::size_t kGeneratedClientIdLength = 23;

// The computer's name as the generator uses it (final character dropped), or "localhost".
std::string computerNameForClientId();
std::string generateClientId(std::string_view computerName, const corvane::utils::core::Uuid& elementUuid);
std::string generateClientId(const corvane::skill::Element& client);

}  // namespace corvane::plugins::mqttClient
