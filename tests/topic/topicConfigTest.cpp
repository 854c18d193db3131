// A topic's configuration: keys, aliases, defaults, and each mistake at its place.
#include "topic/topic.hpp"

#include <gtest/gtest.h>

#include "clientModel.hpp"

namespace corvane::plugins::mqttClient {
namespace {

namespace decoder = utils::json::decoder;

// The topic's settings in one line ("TOPIC qos 1 retained requireForBirth: PAYLOAD [NAMES]"), or
// the located message that refused `json`.
std::string load(std::string_view json) {
  corvane::testing::FakeModel nothing;
  corvane::config::Context context(".", nothing);
  const auto client = std::make_shared<Client>();
  auto topic = std::make_shared<Topic>(*client);
  try {
    decoder::Document document;
    topic->load(document.read(json).asObject(), context);
  } catch (const decoder::Exception& e) {
    return e.what();
  }
  std::string names;
  for (const auto& name : topic->attributeNames()) names += " " + name;
  return topic->topicName() + " qos " + std::to_string(topic->qos()) + (topic->retained() ? " retained" : "") +
         (topic->requireForBirth() ? " requireForBirth" : "") + ": " +
         topic->payload().render(topic->attributeNames()) + " [" + names.substr(1) + "]";
}

TEST(TopicConfig, LoadAppliesKeysAliasesAndDefaults) {
  const std::string kTooLong = "topic name for MQTT topic must not be longer than 65535 bytes";
  const std::string kWildcard = "topic name for MQTT topic must not contain the characters \"+\" or \"#\"";
  const std::string kAutomatic = " attribute is automatically included in MQTT topic payload, and cannot be "
                                 "specified as an extra attribute";
  auto named = [](const std::string& name) { return R"({"payload": "x", "topic": ")" + name + "\"}"; };
  auto extra = [](const std::string& names) { return R"({"topic": "t", "payload": "x", "extraAttributes": )" + names + "}"; };
  const std::pair<std::string, std::string> kCases[] = {
      {R"({"name": "a/c", "payload": "x"})", "a/c qos 0: x [value quality]"},  // the topic's alias
      {R"({"topic": "a/b", "payload": "x", "name": "c/d"})", "c/d qos 0: x [value quality]"},
      // The old qos spelling publishes an empty object without a payload.
      {R"({"topic": "t", "qos": 1})", "t qos 1: {} [value quality]"},
      {R"({"topic": "t", "retained": true, "payload": "x"})", "t qos 0 retained requireForBirth: x [value quality]"},
      {R"({"requireForBirth": false, "topic": "t", "retained": true, "payload": "x"})",
       "t qos 0 retained: x [value quality]"},
      {R"({"topic": "t", "payload": {"@JSON": {"a": [1, "é"]}}})", R"(t qos 0: {"a":[1,"é"]} [value quality])"},
      // Extra attributes follow value and quality in byte order.
      {extra(R"(["unit", "Zone", "location"])"), "t qos 0: x [value quality Zone location unit]"},
      {extra(R"(["a", ""])"), "1:57: empty attribute name in MQTT topic attribute list"},
      {extra(R"(["value"])"), "1:52: \"value\"" + kAutomatic},
      {extra(R"(["quality"])"), "1:52: \"quality\"" + kAutomatic},
      {extra(R"(["a", "b", "a"])"), "1:62: attribute \"a\" appears more than once in MQTT topic attribute list"},
      // Topic names: empty levels are exact topics; the longest MQTT string.
      {named("//"), "// qos 0: x [value quality]"},
      {named(std::string(65535, 'x')), std::string(65535, 'x') + " qos 0: x [value quality]"},
      {named("/"), "1:27: topic name for MQTT topic must not consist of a single forward slash (\"/\")"},
      {named(std::string(65536, 'x')), "1:27: " + kTooLong},
      {named("a/+/c"), "1:27: " + kWildcard},
      {named("+\\u0000"), "1:27: " + kWildcard},
      // A NUL would end the name on the wire.
      {named("a\\u0000b"),
       "1:27: topic name for MQTT topic must not contain any embedded null characters (unicode code point 0)"},
      // Refused, located.
      {"{\"topic\": \"t\",\n \"QoS\": 3, \"payload\": \"x\"}", "2:9: QoS value for MQTT topic must be 0, 1, or 2"},
      {"{\"topic\": \"t\", \"payload\": \"x\",\n\n   \"QoS\": -1}", "3:11: QoS value for MQTT topic must be 0, 1, or 2"},
      {"{\"topic\": \"t\", \"payload\": \"x\",\n  \"Topic\": \"u\"}", "2:3: unknown parameter \"Topic\""},
      {"{\n  \"topic\": \"t\", \"QoS\": 1}", "1:1: missing payload in MQTT topic"},  // no default with QoS
      {"\n  {\"payload\": \"x\"}", "2:3: missing topic name in MQTT topic"},
      {R"({"retained": true, "topic": "t"})", "1:1: missing payload in MQTT topic"},
      {named(""), "1:27: empty topic name in MQTT topic"},
      {R"({"topic": "t", "payload": 5})", "1:27: expected JSON object or JSON string"},
  };
  for (const auto& [json, expected] : kCases) EXPECT_EQ(load(json), expected) << json.substr(0, 60);
}

}  // namespace
}  // namespace corvane::plugins::mqttClient
