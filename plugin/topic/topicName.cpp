#include "topic/topicName.hpp"

#include <string>

namespace corvane::plugins::mqttClient {

namespace {
// The largest MQTT string: its length travels as two bytes.
constexpr std::size_t kMaxTopicNameLength = 65535;
}  // namespace

void validateTopicName(utils::json::decoder::Location location, std::string_view name, std::string_view elementKind) {
  auto fail = [&](std::string_view before, std::string_view after) {
    std::string message(before);
    message.append(elementKind).append(after);
    throw utils::json::decoder::Exception(location, message);
  };
  if (name.empty()) fail("empty topic name in ", "");
  if (name == "/") fail("topic name for ", " must not consist of a single forward slash (\"/\")");
  if (name.size() > kMaxTopicNameLength) fail("topic name for ", " must not be longer than 65535 bytes");
  // Wildcards would make a publication invalid and a command subscribe to more than its topic.
  if (name.find_first_of("+#") != std::string_view::npos) {
    fail("topic name for ", " must not contain the characters \"+\" or \"#\"");
  }
  // A NUL would end the name early in the C string handed to the MQTT library.
  if (name.find('\0') != std::string_view::npos) {
    fail("topic name for ", " must not contain any embedded null characters (unicode code point 0)");
  }
}

}  // namespace corvane::plugins::mqttClient
