#include "skill/jsonReading.hpp"

#include <limits>

namespace corvane::plugins::mqttClient {

std::int32_t readInt32(utils::json::decoder::Value& value) {
  auto location = value.location();
  std::string_view text = value.numberText();
  std::size_t i = 0;
  bool negative = false;
  if (i < text.size() && text[i] == '-') {
    negative = true;
    ++i;
  }
  std::int64_t result = 0;
  std::size_t digits = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i, ++digits) {
    result = result * 10 + (text[i] - '0');
    if (result > std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1) break;
  }
  if (negative) result = -result;
  if (digits == 0 || result < std::numeric_limits<std::int32_t>::min() ||
      result > std::numeric_limits<std::int32_t>::max()) {
    throw utils::json::decoder::RangeError(location, "number out of range for 32-bit integer");
  }
  return static_cast<std::int32_t>(result);
}

}  // namespace corvane::plugins::mqttClient
