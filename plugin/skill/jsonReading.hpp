#pragma once
// Reading configuration numbers the way the skill's keys expect them.
#include <cstdint>

#include <corvane/utils/json.hpp>

namespace corvane::plugins::mqttClient {

// A decimal 32-bit signed integer from the number's text: an optional minus sign, then digits up
// to the first other character (so 1.7 reads as 1). No digit, or a value outside the 32-bit range,
// is a range error at the value.
std::int32_t readInt32(utils::json::decoder::Value& value);

}  // namespace corvane::plugins::mqttClient
