#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <corvane/runtime.hpp>

#include "modelFakes.hpp"
#include "payload/payload.hpp"

namespace corvane::plugins::mqttClient {
namespace {

namespace decoder = utils::json::decoder;
using data::NativeType;
using testing::FakeElement;
using testing::FakeSource;

const Payload::LoadOptions kTopic{"MQTT topic", true, true};

class PayloadRender : public ::testing::Test {
 protected:
  // Loads, resolves and prepares a payload as a topic does.
  Payload make(const std::string& text) {
    Payload payload;
    decoder::Document document;
    decoder::Value value = document.read(text);
    Payload::load(payload, value, context, kTopic);
    document.finish();
    context.resolveAll();
    payload.prepare({kTopic.elementKind, *owner, names});
    return payload;
  }
  std::shared_ptr<runtime::DataPoint> addPoint(const std::string& path, data::DataType type) {
    auto point = std::make_shared<runtime::DataPoint>(path, utils::core::Uuid{}, type);
    resolver.add(point);
    return point;
  }
  std::shared_ptr<FakeElement> addFake(const std::string& path) {
    auto element = std::make_shared<FakeElement>(path, model::ElementCategory::kDataPoint);
    resolver.add(element);
    return element;
  }

  testing::MapResolver resolver;
  config::Context context{".", resolver};
  testing::OwnerFactory factory{"mqtt/broker/topic"};
  std::shared_ptr<testing::Owner> owner = factory.make();
  std::vector<std::string> names = defaultAttributeNames();
};

TEST_F(PayloadRender, FixedTextGoesOutByteForByte) {
  EXPECT_EQ(make(R"("{\"a\":1,, \u00e9\n")").render(names), "{\"a\":1,, \xC3\xA9\n");
}

TEST_F(PayloadRender, TemplateWritesLiveValuesInConfiguredOrder) {
  auto temperature = addPoint("plant/temp", data::DataType::kDouble);
  temperature->setValue(21.5);
  temperature->setExtraAttribute("unit", std::string("degC"));
  temperature->setExtraAttribute("max", std::int64_t{40});
  auto count = addPoint("plant/count", data::DataType::kUnsigned);
  count->setValue(std::numeric_limits<std::uint64_t>::max());
  addPoint("plant/flag", data::DataType::kBoolean)->setValue(true);
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
  const std::error_code readFailure = make_error_code(data::ConversionError::kNotConvertible);
  struct Case {
    const char* name;
    data::ReadHandle handle;
    const char* json;
  };
  const Case cases[] = {
      {"boolean", FakeSource::handle(NativeType::kBoolean, true), "true"},
      {"smallest int64 keeps its sign", FakeSource::handle(NativeType::kInt64, std::numeric_limits<std::int64_t>::min()),
       "-9223372036854775808"},
      {"largest uint64 is not negative",
       FakeSource::handle(NativeType::kUInt64, std::numeric_limits<std::uint64_t>::max()), "18446744073709551615"},
      {"double, shortest text", FakeSource::handle(NativeType::kDouble, 0.1), "0.1"},
      {"NaN", FakeSource::handle(NativeType::kDouble, nan), "null"},
      {"infinity", FakeSource::handle(NativeType::kDouble, -inf), "null"},
      {"string, escaped", FakeSource::handle(NativeType::kString, std::string("a\"b\n")), R"("a\"b\n")"},
      {"other types as the host's text", FakeSource::handle(NativeType::kErrorCode, std::error_code()),
       R"("no error")"},
      {"stored as another type: converted", FakeSource::handle(NativeType::kInt64, 12.0), "12"},
      {"conversion fails", FakeSource::handle(NativeType::kUInt64, std::int64_t{-1}), "null"},
      {"read fails", FakeSource::handle(NativeType::kDouble, 1.0, readFailure), "null"},
      {"no value type: not read", FakeSource::handle(NativeType::kNone, 1.0), "null"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto element = addFake("fake");
    element->handles["value"] = c.handle;
    EXPECT_EQ(make(R"({"@Attribute":"fake#value"})").render(names), c.json);
  }
}

TEST_F(PayloadRender, FailedValueReadStillWritesTheOtherMembers) {
  auto element = addFake("fake");
  element->handles["value"] =
      FakeSource::handle(NativeType::kDouble, 1.0, make_error_code(data::ConversionError::kNotANumber));
  element->handles["quality"] = FakeSource::handle(NativeType::kInt64, std::int64_t{192});
  EXPECT_EQ(make(R"({"@DataPoint":"fake"})").render(names), R"({"value":null,"quality":192})");
}

TEST_F(PayloadRender, PrepareRefusesPointsWithoutReadableValueOrQuality) {
  auto noQuality = addFake("no/quality");
  noQuality->handles["value"] = FakeSource::handle(NativeType::kDouble, 1.0);
  auto noValue = addFake("no/value");
  noValue->handles["quality"] = FakeSource::handle(NativeType::kInt64, std::int64_t{192});
  addPoint("write/only", data::DataType::kDouble)->setAccess(false, true);
  struct Case {
    const char* path;
    const char* message;
  };
  const Case cases[] = {
      {"no/quality", R"(MQTT topic "mqtt/broker/topic": data point "no/quality" does not have an attribute named "quality")"},
      {"no/value", R"(MQTT topic "mqtt/broker/topic": data point "no/value" does not have an attribute named "value")"},
      {"write/only", R"(MQTT topic "mqtt/broker/topic": data point "write/only" is write-only)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    try {
      make(std::string(R"({"@DataPoint":")") + c.path + "\"}");
      ADD_FAILURE() << "prepared";
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(std::string(e.what()), c.message);
    }
  }
}

TEST_F(PayloadRender, ReferenceToAnElementThatIsNoDataPointFails) {
  resolver.add(std::make_shared<FakeElement>("mqtt/broker", model::ElementCategory::kSkillElement));
  try {
    make(R"({"@Array":[{"@DataPoint":"mqtt/broker"}]})");
    FAIL() << "resolved";
  } catch (const decoder::Exception& e) {
    EXPECT_EQ(e.message(), "element \"mqtt/broker\" is not a data point");
    EXPECT_EQ(e.location(), (decoder::Location{1, 26}));
  }
}

TEST_F(PayloadRender, PointGoneBeforePrepareRendersNulls) {
  addPoint("plant/temp", data::DataType::kDouble);
  Payload payload;
  decoder::Document document;
  decoder::Value value = document.read(R"({"@DataPoint":"plant/temp"})");
  Payload::load(payload, value, context, kTopic);
  context.resolveAll();
  resolver.elements.clear();  // the only owner of the point
  payload.prepare({kTopic.elementKind, *owner, names});
  EXPECT_EQ(payload.render(names), R"({"value":null,"quality":null})");
}

}  // namespace
}  // namespace corvane::plugins::mqttClient
