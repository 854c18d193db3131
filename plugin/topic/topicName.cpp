#include "topic/topicName.hpp"

#include <string>

namespace corvane::plugins::mqttClient {

void validateTopicName(utils::json::decoder::Location location, std::string_view name, std::string_view elementKind) {
  auto fail = [&](std::string_view before, std::string_view after) {
    std::string message(before);
    message.append(elementKind).append(after);
    throw utils::json::decoder::Exception(location, message);
  };
  if (name.empty()) fail("empty topic name in ", "");
  if (name == "/") fail("topic name for ", " must not consist of a single forward slash (\"/\")");
  if (name.size() > kMaxMqttStringLength) fail("topic name for ", " must not be longer than 65535 bytes");
  // Wildcards would make a publication invalid and a command subscribe to more than its topic.
  if (name.find_first_of("+#") != std::string_view::npos) {
    fail("topic name for ", " must not contain the characters \"+\" or \"#\"");
  }
  // A NUL would end the name early in the C string handed to the MQTT library.
  if (name.find('\0') != std::string_view::npos) {
    fail("topic name for ", " must not contain any embedded null characters (unicode code point 0)");
  }
}

std::optional<RefusedCharacter> findRefusedCharacter(std::string_view text) noexcept {
  for (std::size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    constexpr unsigned kLeadBits[] = {0, 0x7F, 0x1F, 0x0F, 0x07};
    char32_t codePoint = lead & kLeadBits[length];
    for (std::size_t k = 1; k < length && i + k < text.size(); ++k) {
      codePoint = (codePoint << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3Fu);
    }
    i += length;
    if (codePoint <= 0x1F || (codePoint >= 0x7F && codePoint <= 0x9F)) return RefusedCharacter{codePoint, true};
    // U+FDD0 to U+FDEF, and the last two code points of every plane.
    if ((codePoint >= 0xFDD0 && codePoint <= 0xFDEF) || (codePoint & 0xFFFE) == 0xFFFE) {
      return RefusedCharacter{codePoint, false};
    }
  }
  return std::nullopt;
}

}  // namespace corvane::plugins::mqttClient
