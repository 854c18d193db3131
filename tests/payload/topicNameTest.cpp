#include "topic/topicName.hpp"

#include <string>

#include <gtest/gtest.h>

namespace corvane::plugins::mqttClient {
namespace {

namespace decoder = utils::json::decoder;

struct NameCase {
  const char* fault;
  std::string name;
  const char* message;  // nullptr: accepted
};

const NameCase kNameCases[] = {
    {"longest MQTT string", std::string(65535, 'x'), nullptr},
    {"empty levels are exact topics", "//", nullptr},
    {"trailing slash", "a/", nullptr},
    {"empty", "", "empty topic name in MQTT topic"},
    {"single slash", "/", "topic name for MQTT topic must not consist of a single forward slash (\"/\")"},
    {"one byte too long", std::string(65536, 'x'), "topic name for MQTT topic must not be longer than 65535 bytes"},
    {"too long beats wildcard", std::string(65536, '#'), "topic name for MQTT topic must not be longer than 65535 bytes"},
    {"single-level wildcard", "a/+/c", "topic name for MQTT topic must not contain the characters \"+\" or \"#\""},
    {"multi-level wildcard", "a/#", "topic name for MQTT topic must not contain the characters \"+\" or \"#\""},
    {"wildcard beats NUL", std::string("+\0", 2),
     "topic name for MQTT topic must not contain the characters \"+\" or \"#\""},
    {"NUL would end the name on the wire", std::string("a\0b", 3),
     "topic name for MQTT topic must not contain any embedded null characters (unicode code point 0)"},
};

TEST(TopicName, RejectsWhatCannotBeOneExactTopic) {
  const decoder::Location location{4, 17};
  for (const auto& c : kNameCases) {
    SCOPED_TRACE(c.fault);
    try {
      validateTopicName(location, c.name, "MQTT topic");
      EXPECT_EQ(c.message, nullptr) << "accepted";
    } catch (const decoder::Exception& e) {
      ASSERT_NE(c.message, nullptr) << e.what();
      EXPECT_EQ(e.message(), c.message);
      EXPECT_EQ(e.location(), location);
    }
  }
}

}  // namespace
}  // namespace corvane::plugins::mqttClient
