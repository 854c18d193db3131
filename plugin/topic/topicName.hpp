#pragma once
// The one check for every topic name taken from configuration: it must be usable as one exact
// topic for publishing and subscribing.
#include <string_view>

#include <corvane/utils/json.hpp>

namespace corvane::plugins::mqttClient {

// Throws a configuration error at `location` for the first rule the name breaks.
void validateTopicName(utils::json::decoder::Location location, std::string_view name, std::string_view elementKind);

}  // namespace corvane::plugins::mqttClient
