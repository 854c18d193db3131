#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

#include "clientModel.hpp"
#include "payload/payload.hpp"

namespace corvane::plugins::mqttClient {
namespace {

namespace decoder = utils::json::decoder;
using corvane::testing::fakeReadHandle;
using data::NativeType;

const Payload::LoadOptions kTopic{"MQTT topic", true, true};

class PayloadRender : public ::testing::Test {
 protected:
  // Loads, resolves and prepares a payload as a topic of the client "broker" does.
  Payload make(const std::string& text, bool resolve = true) {
    Payload payload;
    decoder::Document document;
    decoder::Value value = document.read(text);
    Payload::load(payload, value, context, kTopic);
    document.finish();
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

TEST_F(PayloadRender, FixedTextGoesOutByteForByte) {
  EXPECT_EQ(make(R"("{\"a\":1,, \u00e9\n")").render(names), "{\"a\":1,, \xC3\xA9\n");
}

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
    {"key":"none","value":{"@Array":[]}}]})");
  const std::string expected =
      R"({"temperature":{"value":21.5,"quality":192,"max":40,"unit":"degC"},"count":18446744073709551615,)"
      R"("list":[null,true,{"z":10,"a":[2.5]}],"empty":{},"none":[]})";
  EXPECT_EQ(payload.render(names), expected);
  EXPECT_EQ(Payload(payload).render(names), expected);  // a copy keeps its bound handles

  // Entry-list form: single attribute values; an entry without "key" gets the empty name.
  EXPECT_EQ(make(R"([{"key":"t","value":"plant/temp#unit"},{"value":"plant/count#value"}])").render(names),
            R"({"t":"degC","":18446744073709551615})");

  temperature->setValue(-0.125);
  temperature->setQuality(0);
  EXPECT_EQ(payload.render(names).substr(0, 43), R"({"temperature":{"value":-0.125,"quality":0,)");
}

TEST_F(PayloadRender, EachNativeTypeHasItsJsonForm) {
  const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
  const auto readFailure = make_error_code(data::ConversionError::kNotConvertible);
  const std::pair<data::ReadHandle, const char*> kCases[] = {
      {fakeReadHandle(NativeType::kBoolean, true), "true"},
      {fakeReadHandle(NativeType::kInt64, std::numeric_limits<std::int64_t>::min()), "-9223372036854775808"},
      {fakeReadHandle(NativeType::kUInt64, std::numeric_limits<std::uint64_t>::max()), "18446744073709551615"},
      {fakeReadHandle(NativeType::kDouble, 0.1), "0.1"},  // the shortest text
      {fakeReadHandle(NativeType::kDouble, nan), "null"},
      {fakeReadHandle(NativeType::kDouble, -inf), "null"},
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

TEST_F(PayloadRender, PointGoneBeforePrepareRendersNulls) {
  model.addPoint("plant/temp", data::DataType::kDouble);
  EXPECT_EQ(make(R"({"@DataPoint":"plant/temp"})", false).render(names), R"({"value":null,"quality":null})");
}

}  // namespace
}  // namespace corvane::plugins::mqttClient
