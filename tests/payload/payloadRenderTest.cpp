#include <gtest/gtest.h>

#include <limits>

#include "clientModel.hpp"
#include "payload/payload.hpp"

namespace corvane::plugins::mqttClient {
namespace {

namespace decoder = utils::json::decoder;
using corvane::testing::fakeReadHandle;
using data::NativeType;

const Payload::LoadOptions kTopic{"MQTT topic", true, true};
const Payload::LoadOptions kBirth{"MQTT client birth message", true, false};
const Payload::LoadOptions kWill{"MQTT client will message", false, false};

class PayloadRender : public ::testing::Test {
 protected:
  // Loads `text` as `options` say into `payload`: "loaded", or the loader's located message.
  std::string load(Payload& payload, const std::string& text, const Payload::LoadOptions& options = kTopic) {
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
  // Loads, resolves and prepares a payload as a topic of the client "broker" does.
  Payload make(const std::string& text, bool resolve = true) {
    Payload payload;
    if (const auto loaded = load(payload, text); loaded != "loaded") throw std::runtime_error(loaded);
    context.resolveAll();
    if (!resolve) model.elements.clear();  // the only owner of every element
    payload.prepare({kTopic.elementKind, owner.client(), names});
    return payload;
  }

  corvane::testing::FakeModel model;
  config::Context context{".", model};
  corvane::testing::ClientModel owner{R"({"brokerAddress": "h"})"};
  std::vector<std::string> names = defaultAttributeNames();
};

TEST_F(PayloadRender, TemplateWritesLiveValuesInConfiguredOrder) {
  auto temperature = model.addPoint("plant/temp", data::DataType::kDouble);
  temperature->setValue(21.5);
  temperature->setExtraAttribute("unit", std::string("degC"));
  temperature->setExtraAttribute("max", std::int64_t{40});
  model.addPoint("plant/count", data::DataType::kUnsigned)->setValue(std::numeric_limits<std::uint64_t>::max());
  model.addPoint("plant/flag", data::DataType::kBoolean)->setValue(true);
  names = {"value", "quality", "max", "unit", "zeta"};  // no point has "zeta": never written

  const Payload payload = make(R"({"@Object":[
    {"key":"temperature","value":{"@DataPoint":"plant/temp"}},
    {"key":"count","value":{"@Attribute":"plant/count#value"}},
    {"key":"list","value":{"@Array":[{"@JSON":null},{"@Attribute":"plant/flag#value"},{"@JSON":{"z":10,"a":[2.50]}}]}},
    {"key":"empty","value":{"@Object":[]}},
    {"key":"n\"o\u0001","value":{"@Array":[]}}]})");  // a key escaped as written
  const std::string expected =
      R"({"temperature":{"value":21.5,"quality":192,"max":40,"unit":"degC"},"count":18446744073709551615,)"
      R"("list":[null,true,{"z":10,"a":[2.5]}],"empty":{},"n\"o\u0001":[]})";
  EXPECT_EQ(payload.render(names), expected);
  EXPECT_EQ(Payload(payload).render(names), expected);  // a copy keeps its bound handles

  // Entry-list form: single attribute values; an entry without "key" gets the empty name.
  EXPECT_EQ(make(R"([{"key":"t\\","value":"plant/temp#unit"},{"value":"plant/count#value"}])").render(names),
            R"({"t\\":"degC","":18446744073709551615})");

  temperature->setValue(-0.125);
  temperature->setQuality(0);
  EXPECT_EQ(payload.render(names).substr(0, 43), R"({"temperature":{"value":-0.125,"quality":0,)");
}

TEST_F(PayloadRender, EachNativeTypeHasItsJsonForm) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const auto readFailure = make_error_code(data::ConversionError::kNotConvertible);
  const std::pair<data::ReadHandle, const char*> kCases[] = {
      {fakeReadHandle(NativeType::kBoolean, true), "true"},
      {fakeReadHandle(NativeType::kUInt64, std::numeric_limits<std::uint64_t>::max()), "18446744073709551615"},
      {fakeReadHandle(NativeType::kDouble, 0.1), "0.1"},  // the shortest text
      {fakeReadHandle(NativeType::kDouble, nan), "null"},
      {fakeReadHandle(NativeType::kString, std::string("a\"b\n")), R"("a\"b\n")"},
      {fakeReadHandle(NativeType::kErrorCode, std::error_code()), R"("no error")"},  // the host's text
      {fakeReadHandle(NativeType::kInt64, 12.0), "12"},                     // stored as another type
      {fakeReadHandle(NativeType::kUInt64, std::int64_t{-1}), "null"},     // conversion fails
      {fakeReadHandle(NativeType::kDouble, 1.0, readFailure), "null"},     // read fails
      {fakeReadHandle(NativeType::kNone, 1.0), "null"},                    // no value type: not read
  };
  for (const auto& [handle, json] : kCases) {
    model.addFake("fake")->handles["value"] = handle;
    EXPECT_EQ(make(R"({"@Attribute":"fake#value"})").render(names), json);
  }
  // A failed read still writes the other members.
  auto fake = model.addFake("fake");
  fake->handles["value"] = fakeReadHandle(NativeType::kDouble, 1.0, readFailure);
  fake->handles["quality"] = fakeReadHandle(NativeType::kInt64, std::int64_t{192});
  EXPECT_EQ(make(R"({"@DataPoint":"fake"})").render(names), R"({"value":null,"quality":192})");
  // A point gone before prepare renders nulls.
  model.addPoint("plant/temp", data::DataType::kDouble);
  EXPECT_EQ(make(R"({"@DataPoint":"plant/temp"})", false).render(names), R"({"value":null,"quality":null})");
}

TEST_F(PayloadRender, PrepareRefusesWhatCannotBeRead) {
  model.addFake("no/quality")->handles["value"] = fakeReadHandle(NativeType::kDouble, 1.0);
  model.addFake("no/value")->handles["quality"] = fakeReadHandle(NativeType::kInt64, std::int64_t{192});
  model.addPoint("write/only", data::DataType::kDouble)->setAccess(false, true);
  model.addFake("folder", model::ElementCategory::kFolder);
  const std::pair<const char*, const char*> kCases[] = {
      {"no/quality", R"(MQTT topic "broker": data point "no/quality" does not have an attribute named "quality")"},
      {"no/value", R"(MQTT topic "broker": data point "no/value" does not have an attribute named "value")"},
      {"write/only", R"(MQTT topic "broker": data point "write/only" is write-only)"},
      {"folder", R"(1:26: element "folder" is not a data point)"},
  };
  for (const auto& [path, message] : kCases) {
    try {
      make(std::string(R"({"@Array":[{"@DataPoint":")") + path + "\"}]}");
      ADD_FAILURE() << path << " prepared";
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), message);
    }
  }
}

TEST_F(PayloadRender, LoadRejectsEachMistakeAtItsLocation) {
  // The owner, the payload's text, the located message.
  const std::tuple<const Payload::LoadOptions&, std::string, const char*> kCases[] = {
      {kTopic, "42", "1:1: expected JSON object or JSON string"},
      {kBirth, R"([{"key":"a","value":"p#value"}])", "1:1: expected JSON object or JSON string"},
      {kTopic, "{}", "1:1: missing type specifier in MQTT topic payload element"},
      {kTopic, R"({"Object":[]})",
       "1:2: element type \"Object\" for MQTT topic payload element does not start with \"@\""},
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
      {kBirth, R"({"@object":[]})", "1:2: unknown element type \"@object\" for MQTT client birth message payload element"},
      {kTopic, R"([{"key":"a","val":"p#value"}])", "1:13: unknown parameter \"val\""},
      {kTopic, R"({"@Array":[{"@JSON":1},{}]})", "1:24: missing type specifier in MQTT topic payload element"},
      // An entry-list entry without a value is refused, not published as null.
      {kTopic, R"([{"key":"a","value":"p#value"},{"key":"b"}])", "1:32: missing value in MQTT topic payload entry"},
  };
  for (const auto& [options, text, error] : kCases) {
    Payload payload;
    EXPECT_EQ(load(payload, text, options), error) << text;
  }
}

TEST_F(PayloadRender, LoadAcceptsWhatEachOwnerAllows) {
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
