#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "modelFakes.hpp"
#include "payload/payload.hpp"

namespace corvane::plugins::mqttClient {
namespace {

namespace decoder = utils::json::decoder;
using testing::MapResolver;

const Payload::LoadOptions kTopic{"MQTT topic", true, true};
const Payload::LoadOptions kBirth{"MQTT client birth message", true, false};
const Payload::LoadOptions kWill{"MQTT client will message", false, false};

void load(Payload& payload, const std::string& text, const Payload::LoadOptions& options) {
  MapResolver resolver;
  config::Context context(".", resolver);
  decoder::Document document;
  decoder::Value value = document.read(text);
  Payload::load(payload, value, context, options);
  document.finish();
}

struct ErrorCase {
  const char* fault;
  const Payload::LoadOptions* options;
  std::string text;
  const char* message;
  decoder::Location location;
};

const ErrorCase kErrorCases[] = {
    {"number as payload", &kTopic, "42", "expected JSON object or JSON string", {1, 1}},
    {"entry list outside topics", &kBirth, R"([{"key":"a","value":"p#value"}])",
     "expected JSON object or JSON string", {1, 1}},
    {"element without type", &kTopic, "{}", "missing type specifier in MQTT topic payload element", {1, 1}},
    {"type without @", &kTopic, R"({"Object":[]})",
     "element type \"Object\" for MQTT topic payload element does not start with \"@\"", {1, 2}},
    {"type compared case-sensitively", &kBirth, R"({"@object":[]})",
     "unknown element type \"@object\" for MQTT client birth message payload element", {1, 2}},
    {"second member after a loaded first", &kTopic, R"({"@Array":[],"@JSON":1})",
     "excess members in MQTT topic payload", {1, 14}},
    {"data point in the will", &kWill, R"({"@DataPoint":"p"})",
     "MQTT client will message payload does not support data point elements", {1, 2}},
    {"attribute in the will", &kWill, R"({"@Array":[{"@Attribute":"p#value"}]})",
     "MQTT client will message payload does not support attribute elements", {1, 13}},
    {"same key twice in one object", &kTopic,
     R"({"@Object":[{"key":"a","value":{"@JSON":1}},{"key":"a","value":{"@JSON":2}}]})",
     "duplicate entry key in MQTT topic payload", {1, 52}},
    {"two values in one entry", &kTopic, R"({"@Object":[{"key":"a","value":{"@JSON":1},"value":{"@JSON":2}}]})",
     "cannot specify more than one value for MQTT topic payload entry", {1, 44}},
    {"entry without key", &kTopic, R"({"@Object":[{"value":{"@JSON":1}}]})",
     "missing JSON object key in MQTT topic payload entry", {1, 13}},
    {"entry without value", &kTopic, "{\"@Object\": [\n  {\"key\": \"a\"}\n]}",
     "missing value in MQTT topic payload entry", {2, 3}},
    {"unknown entry member", &kTopic, R"({"@Object":[{"key":"a","unit":1}]})", "unknown parameter \"unit\"", {1, 24}},
    {"nested element without type", &kTopic, R"({"@Array":[{"@JSON":1},{}]})",
     "missing type specifier in MQTT topic payload element", {1, 24}},
    {"duplicate member in a constant", &kTopic, R"({"@JSON":{"a":1,"a":2}})",
     "duplicate member \"a\" in JSON object", {1, 17}},
    {"entry-list entry without value", &kTopic, R"([{"key":"a","value":"p#value"},{"key":"b"}])",
     "missing value in MQTT topic payload entry", {1, 32}},
    {"unknown entry-list member", &kTopic, R"([{"key":"a","val":"p#value"}])", "unknown parameter \"val\"", {1, 13}},
};

TEST(PayloadLoad, RejectsEachMistakeAtItsLocation) {
  for (const auto& c : kErrorCases) {
    SCOPED_TRACE(c.fault);
    Payload payload;
    try {
      load(payload, c.text, *c.options);
      ADD_FAILURE() << "accepted";
    } catch (const decoder::Exception& e) {
      EXPECT_EQ(e.message(), c.message);
      EXPECT_EQ(e.location().toString(), c.location.toString());
    }
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

struct ExtraCase {
  const char* fault;
  std::string text;
  const char* message;  // nullptr: accepted
  std::vector<std::string> names;
};

TEST(PayloadLoad, ExtraAttributesFollowValueAndQualityInByteOrder) {
  const ExtraCase cases[] = {
      {"none", "[]", nullptr, {"value", "quality"}},
      {"sorted, not in configured order", R"(["b","a","Z"])", nullptr, {"value", "quality", "Z", "a", "b"}},
      {"empty name", R"(["a",""])", "empty attribute name in MQTT topic attribute list", {}},
      {"value", R"(["value"])",
       "\"value\" attribute is automatically included in MQTT topic payload, and cannot be specified as an extra "
       "attribute", {}},
      {"quality", R"(["quality"])",
       "\"quality\" attribute is automatically included in MQTT topic payload, and cannot be specified as an extra "
       "attribute", {}},
      {"twice", R"(["a","b","a"])", "attribute \"a\" appears more than once in MQTT topic attribute list", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fault);
    MapResolver resolver;
    config::Context context(".", resolver);
    decoder::Document document;
    decoder::Value value = document.read(c.text);
    try {
      auto names = loadExtraAttributes(value, context, kTopic);
      EXPECT_EQ(c.message, nullptr) << "accepted";
      EXPECT_EQ(names, c.names);
    } catch (const decoder::Exception& e) {
      ASSERT_NE(c.message, nullptr) << e.what();
      EXPECT_EQ(e.message(), c.message);
      // At the offending name: the last element of each row.
      EXPECT_EQ(e.location().column, c.text.rfind('"', c.text.size() - 3) + 1);
    }
  }
}

}  // namespace
}  // namespace corvane::plugins::mqttClient
