#include <gtest/gtest.h>

#include <string>

#include "clientModel.hpp"
#include "payload/payload.hpp"

namespace corvane::plugins::mqttClient {
namespace {

namespace decoder = utils::json::decoder;

const Payload::LoadOptions kTopic{"MQTT topic", true, true};
const Payload::LoadOptions kBirth{"MQTT client birth message", true, false};
const Payload::LoadOptions kWill{"MQTT client will message", false, false};

// The payload loaded from `text`, or the loader's located message.
std::string load(Payload& payload, const std::string& text, const Payload::LoadOptions& options) {
  corvane::testing::FakeModel resolver;
  config::Context context(".", resolver);
  try {
    decoder::Document document;
    decoder::Value value = document.read(text);
    Payload::load(payload, value, context, options);
    document.finish();
    return "loaded";
  } catch (const decoder::Exception& e) {
    return e.what();
  }
}

TEST(PayloadLoad, RejectsEachMistakeAtItsLocation) {
  struct Case {
    const Payload::LoadOptions& options;
    std::string text;
    const char* error;
  };
  const Case kCases[] = {
      {kTopic, "42", "1:1: expected JSON object or JSON string"},
      {kBirth, R"([{"key":"a","value":"p#value"}])", "1:1: expected JSON object or JSON string"},
      {kTopic, "{}", "1:1: missing type specifier in MQTT topic payload element"},
      {kTopic, R"({"Object":[]})",
       "1:2: element type \"Object\" for MQTT topic payload element does not start with \"@\""},
      {kBirth, R"({"@object":[]})", "1:2: unknown element type \"@object\" for MQTT client birth message payload element"},
      {kTopic, R"({"@Array":[],"@JSON":1})", "1:14: excess members in MQTT topic payload"},
      {kWill, R"({"@DataPoint":"p"})", "1:2: MQTT client will message payload does not support data point elements"},
      {kWill, R"({"@Array":[{"@Attribute":"p#value"}]})",
       "1:13: MQTT client will message payload does not support attribute elements"},
      {kTopic, R"({"@Object":[{"key":"a","value":{"@JSON":1}},{"key":"a","value":{"@JSON":2}}]})",
       "1:52: duplicate entry key in MQTT topic payload"},
      {kTopic, R"({"@Object":[{"key":"a","value":{"@JSON":1},"value":{"@JSON":2}}]})",
       "1:44: cannot specify more than one value for MQTT topic payload entry"},
      {kTopic, R"({"@Object":[{"value":{"@JSON":1}}]})", "1:13: missing JSON object key in MQTT topic payload entry"},
      {kTopic, "{\"@Object\": [\n  {\"key\": \"a\"}\n]}", "2:3: missing value in MQTT topic payload entry"},
      {kTopic, R"({"@Object":[{"key":"a","unit":1}]})", "1:24: unknown parameter \"unit\""},
      {kTopic, R"({"@Array":[{"@JSON":1},{}]})", "1:24: missing type specifier in MQTT topic payload element"},
      {kTopic, R"({"@JSON":{"a":1,"a":2}})", "1:17: duplicate member \"a\" in JSON object"},
      // An entry-list entry without a value is refused, not published as null.
      {kTopic, R"([{"key":"a","value":"p#value"},{"key":"b"}])", "1:32: missing value in MQTT topic payload entry"},
      {kTopic, R"([{"key":"a","val":"p#value"}])", "1:13: unknown parameter \"val\""},
  };
  for (const auto& c : kCases) {
    Payload payload;
    EXPECT_EQ(load(payload, c.text, c.options), c.error) << c.text;
  }
}

TEST(PayloadLoad, AcceptsWhatEachOwnerAllows) {
  Payload payload;
  load(payload, R"("")", kWill);
  ASSERT_NE(payload.fixedText(), nullptr);
  EXPECT_EQ(*payload.fixedText(), "");  // an empty text is a valid payload
  load(payload, R"([{"key":"a","value":"p#value"},{"key":"a","value":"p#quality"}])", kTopic);
  EXPECT_TRUE(payload.isTemplate());  // entry-list keys need not be unique
  load(payload, R"({"@Object":[{"key":"a","value":{"@Object":[{"key":"a","value":{"@JSON":1}}]}}]})", kBirth);
  EXPECT_EQ(payload.render({}), R"({"a":{"a":1}})");  // one key in two nested objects
}

}  // namespace
}  // namespace corvane::plugins::mqttClient
