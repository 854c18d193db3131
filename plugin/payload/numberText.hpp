#pragma once
// Numbers go into the JSON writer as text formatted on the stack, never through a heap string.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include <corvane/utils/json.hpp>
#include <corvane/utils/numeric.hpp>

namespace corvane::plugins::mqttClient::numberText {

// Longest decimal text of a 64-bit integer: "-9223372036854775808", "18446744073709551615".
inline constexpr std::size_t kIntegerCapacity = 20;
inline constexpr std::size_t kDoubleCapacity = 24;

// The formatter throws std::length_error when a text would not fit its buffer.
inline void write(utils::json::encoder::Value target, std::int64_t number) {
  char buffer[kIntegerCapacity];
  target.writeNumber(std::string_view(buffer, utils::numeric::format(buffer, kIntegerCapacity, number)));
}
inline void write(utils::json::encoder::Value target, std::uint64_t number) {
  char buffer[kIntegerCapacity];
  target.writeNumber(std::string_view(buffer, utils::numeric::format(buffer, kIntegerCapacity, number)));
}
// Non-finite values come out as the formatter's text for them.
inline void write(utils::json::encoder::Value target, double number) {
  char buffer[kDoubleCapacity];
  target.writeNumber(std::string_view(buffer, utils::numeric::format(buffer, kDoubleCapacity, number)));
}

}  // namespace corvane::plugins::mqttClient::numberText
