#include "topic/topicName.hpp"

#include <gtest/gtest.h>

#include <string>

namespace corvane::plugins::mqttClient {
namespace {

TEST(TopicName, RejectsWhatCannotBeOneExactTopic) {
  const std::string kWildcard = "topic name for MQTT topic must not contain the characters \"+\" or \"#\"";
  const std::string kTooLong = "topic name for MQTT topic must not be longer than 65535 bytes";
  const std::pair<std::string, std::string> kCases[] = {
      {std::string(65535, 'x'), ""},  // the longest MQTT string
      {"//", ""},                     // empty levels are exact topics
      {"a/", ""},
      {"", "empty topic name in MQTT topic"},
      {"/", "topic name for MQTT topic must not consist of a single forward slash (\"/\")"},
      {std::string(65536, 'x'), kTooLong},
      {std::string(65536, '#'), kTooLong},
      {"a/+/c", kWildcard},
      {"a/#", kWildcard},
      {std::string("+\0", 2), kWildcard},
      // A NUL would end the name on the wire.
      {std::string("a\0b", 3),
       "topic name for MQTT topic must not contain any embedded null characters (unicode code point 0)"},
  };
  for (const auto& [name, message] : kCases) {
    try {
      validateTopicName({4, 17}, name, "MQTT topic");
      EXPECT_EQ(message, "") << name.substr(0, 10);
    } catch (const utils::json::decoder::Exception& e) {
      EXPECT_EQ(e.what(), "4:17: " + message) << name.substr(0, 10);
    }
  }
}

}  // namespace
}  // namespace corvane::plugins::mqttClient
