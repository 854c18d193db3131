#include "command/commandPayload.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <iterator>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <corvane/runtime.hpp>

#include "testModel.hpp"

namespace corvane::plugins::mqttClient {
namespace {

namespace decoder = utils::json::decoder;
using corvane::data::DataType;
using corvane::runtime::DataPoint;
using testing::TestModel;

class CommandPayloadTest : public ::testing::Test {
 protected:
  // `json` is the command's "payload" array.
  void load(std::string_view json) {
    decoder::Document document;
    auto value = document.read(json);
    payload.load(value, context);
  }
  void loadAndPrepare(std::string_view json) {
    load(json);
    context.resolveAll();
    payload.prepare();
  }
  std::string apply(std::string_view message) const { return payload.apply(message.data(), message.size()); }

  TestModel model;
  corvane::config::Context context{".", model};
  CommandPayload payload;
};

// The location of the first occurrence of `marker` in single-line `json`, as "1:COLUMN".
std::string locationOf(std::string_view json, std::string_view marker) {
  return "1:" + std::to_string(json.find(marker) + 1);
}

struct LoadErrorCase {
  const char* fault;
  const char* json;
  const char* at;  // where the error is reported: the first occurrence of this text
  const char* message;
};
const LoadErrorCase kLoadErrors[] = {
    {"element without members", R"([{}])", "{}", "missing type specifier in payload element"},
    {"type without @", R"([{"DataPoint": {}}])", R"("DataPoint")", "payload element does not start with \"@\""},
    {"unknown type", R"([{"@Attribute": {}}])", "{", "unknown element type \"@Attribute\" for payload element"},
    {"type only checked on the first member", R"([{"x": 1, "@DataPoint": {}}])", R"("x")",
     "payload element does not start with \"@\""},
    {"second member after the entry", R"([{"@DataPoint": {"dataPoint": "A", "jsonPath": "$"}, "more": 1}])", "{",
     "excess members in payload"},
    // The entry itself is read before the excess member is seen.
    {"entry error wins over excess member", R"([{"@DataPoint": {}, "more": 1}])", "{}",
     "missing JSON path in MQTT data point"},
    {"no jsonPath", R"([{"@DataPoint": {"dataPoint": "A"}}])", R"({"dataPoint")",
     "missing JSON path in MQTT data point"},
    {"no dataPoint", R"([{"@DataPoint": {"jsonPath": "$"}}])", R"({"jsonPath")",
     "missing data point name in MQTT data point"},
    {"unknown member", R"([{"@DataPoint": {"path": "$"}}])", R"({"path")",
     "unknown member \"path\" for data point element"},
    // Refused at once, before a later member could fail.
    {"unknown member before a bad path", R"([{"@DataPoint": {"x": 1, "jsonPath": "$[-1]"}}])", R"({"x")",
     "unknown member \"x\" for data point element"},
    {"negative index", R"([{"@DataPoint": {"dataPoint": "A", "jsonPath": "$[-1]"}}])", R"("$[-1]")",
     "use of unsupported negative index in JSON path index selector at 4"},
    {"empty path", R"([{"@DataPoint": {"dataPoint": "A", "jsonPath": ""}}])", R"("")", "invalid JSON path"},
    {"wildcard", R"([{"@DataPoint": {"jsonPath": "$.*", "dataPoint": "A"}}])", R"("$.*")",
     "JSON path wildcard selectors are not supported"},
};

TEST_F(CommandPayloadTest, LoadRefusesMalformedEntriesAtTheirLocation) {
  for (const auto& c : kLoadErrors) {
    SCOPED_TRACE(c.fault);
    CommandPayload fresh;
    try {
      decoder::Document document;
      auto value = document.read(c.json);
      fresh.load(value, context);
      ADD_FAILURE() << "accepted";
    } catch (const decoder::Exception& e) {
      EXPECT_EQ(e.message(), c.message);
      EXPECT_EQ(e.location().toString(), locationOf(c.json, c.at));
    }
  }
}

TEST_F(CommandPayloadTest, LoadRefusesWrongJsonTypes) {
  const char* const kWrongTypes[] = {
      R"({})",                                                        // payload is not an array
      R"([1])",                                                       // element is not an object
      R"([{"@DataPoint": []}])",                                      // entry is not an object
      R"([{"@DataPoint": {"dataPoint": 1, "jsonPath": "$"}}])",       // reference is not a string
      R"([{"@DataPoint": {"dataPoint": "A", "jsonPath": 1}}])",       // path is not a string
      R"([{"@DataPoint": {"dataPoint": "A", "jsonPath": "$", "asJSONText": "yes"}}])",
  };
  for (const char* json : kWrongTypes) {
    SCOPED_TRACE(json);
    CommandPayload fresh;
    decoder::Document document;
    auto value = document.read(json);
    EXPECT_THROW(fresh.load(value, context), decoder::TypeMismatchError);
  }
}

TEST_F(CommandPayloadTest, LoadKeepsEntriesInOrderAndTheLastPath) {
  model.addPoint("A", DataType::kInteger);
  model.addPoint("B", DataType::kInteger);
  loadAndPrepare(R"([{"@DataPoint": {"jsonPath": "$.x", "dataPoint": "A", "jsonPath": "$.y[0]"}},
                     {"@DataPoint": {"asJSONText": true, "jsonPath": "$", "dataPoint": "B"}}])");
  ASSERT_EQ(payload.entries().size(), 2u);
  EXPECT_EQ(payload.entries()[0]->pathText(), "$.y[0]");
  EXPECT_EQ(payload.entries()[0]->path(), jsonPath::Path({std::string("y"), std::uint64_t{0}}));
  EXPECT_FALSE(payload.entries()[0]->asJsonText());
  EXPECT_EQ(payload.entries()[0]->target(), model.findElement("A"));
  EXPECT_TRUE(payload.entries()[1]->asJsonText());
  EXPECT_EQ(payload.entries()[1]->target(), model.findElement("B"));
}

TEST_F(CommandPayloadTest, EmptyArrayGivesNoEntries) {
  loadAndPrepare("[]");
  EXPECT_TRUE(payload.entries().empty());
  EXPECT_EQ(apply(R"({"anything": 1})"), "");
}

TEST_F(CommandPayloadTest, ResolutionRefusesElementsThatAreNotDataPoints) {
  model.add<testing::Folder>("Plant/Area");
  const std::string json = R"([{"@DataPoint": {"dataPoint": "Plant/Area", "jsonPath": "$"}}])";
  load(json);
  try {
    context.resolveAll();
    ADD_FAILURE() << "resolved";
  } catch (const decoder::Exception& e) {
    EXPECT_EQ(e.message(), "element \"Plant/Area\" is not a data point");
    EXPECT_EQ(e.location().toString(), locationOf(json, R"("Plant/Area")"));
  }
}

TEST_F(CommandPayloadTest, PrepareRefusesTargetsWithoutWritableValue) {
  struct Case {
    const char* fault;
    const char* message;
  };
  model.addPoint("RO", DataType::kInteger)->setAccess(true, false);
  model.add<testing::ValuelessPoint>("Bare");
  for (const auto& [name, message] : {Case{"RO", "data point \"RO\" is read-only"},
                                      Case{"Bare", "data point \"Bare\" does not have a value attribute"}}) {
    SCOPED_TRACE(name);
    CommandPayload fresh;
    decoder::Document document;
    auto value = document.read(std::string(R"([{"@DataPoint": {"jsonPath": "$", "dataPoint": ")") + name + "\"}}]");
    fresh.load(value, context);
    context.resolveAll();
    try {
      fresh.prepare();
      ADD_FAILURE() << "prepared";
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), message);
    }
  }
}

TEST_F(CommandPayloadTest, WritesTheSelectedNumber) {
  auto a = model.addPoint("A", DataType::kInteger);
  loadAndPrepare(R"([{"@DataPoint": {"dataPoint": "A", "jsonPath": "$.speed"}}])");
  EXPECT_EQ(apply(R"({"speed": 12})"), "");
  EXPECT_EQ(a->value(), corvane::data::Value(std::int64_t{12}));
}

TEST_F(CommandPayloadTest, WritesJsonTextOfTheSelectedObject) {
  auto a = model.addPoint("A", DataType::kString);
  loadAndPrepare(R"([{"@DataPoint": {"dataPoint": "A", "jsonPath": "$.speed", "asJSONText": true}}])");
  EXPECT_EQ(apply(R"({"speed": {"x": 1}})"), "");
  EXPECT_EQ(a->value(), corvane::data::Value(std::string(R"({"x":1})")));
}

TEST_F(CommandPayloadTest, FailedEntryDoesNotStopTheOthers) {
  auto a = model.addPoint("A", DataType::kInteger);
  auto b = model.addPoint("B", DataType::kString);
  auto c = model.addPoint("C", DataType::kInteger);
  loadAndPrepare(R"([{"@DataPoint": {"dataPoint": "A", "jsonPath": "$.missing"}},
                     {"@DataPoint": {"dataPoint": "B", "jsonPath": "$.deep[1].name"}},
                     {"@DataPoint": {"dataPoint": "C", "jsonPath": "$.deep[5]"}}])");
  EXPECT_EQ(apply(R"({"deep": [{}, {"name": "pump"}]})"),
            "\nA: failed to find a JSON object member called \"missing\""
            "\nC: the array index \"5\" is out of range");
  EXPECT_EQ(a->changeCount(), 0u);
  EXPECT_EQ(b->value(), corvane::data::Value(std::string("pump")));
  EXPECT_EQ(c->changeCount(), 0u);
}

TEST_F(CommandPayloadTest, MessagesThatAreNotOneJsonDocumentWriteNothing) {
  struct Case {
    const char* fault;
    std::string message;
  };
  const Case kCases[] = {
      {"not JSON", "speed=12"},
      {"empty", ""},
      {"truncated", R"({"speed": 12)"},
      {"trailing document", R"({"speed": 12} {"speed": 13})"},
      {"trailing garbage", R"({"speed": 12} x)"},
      {"invalid UTF-8 in a string", "{\"speed\": 12, \"s\": \"\xC3\x28\"}"},
      {"invalid UTF-8 in a name", "{\"speed\": 12, \"\xFF\": 1}"},
      {"NUL byte", std::string("{\"speed\": 12}\0", 14)},
      {"duplicate member", R"({"speed": 12, "speed": 13})"},
      {"duplicate member deep in a value no path reaches", R"({"speed": 12, "x": [{"y": {"a": 1, "a": 2}}]})"},
      {"lone surrogate escape", R"({"speed": 12, "s": "\ud800"})"},
      {"number beyond every type", R"({"speed": 12, "big": 1e400})"},
      {"nesting beyond the limit", "{\"speed\": 12, \"n\": " + std::string(2000, '[') + std::string(2000, ']') + "}"},
  };
  auto a = model.addPoint("A", DataType::kDouble);
  loadAndPrepare(R"([{"@DataPoint": {"dataPoint": "A", "jsonPath": "$.speed"}}])");
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.fault);
    try {
      apply(c.message);
      ADD_FAILURE() << "applied";
    } catch (const decoder::Exception& e) {
      EXPECT_FALSE(e.message().empty());
      EXPECT_NE(e.location().line, 0u) << e.what();
    }
    EXPECT_EQ(a->changeCount(), 0u);
  }
}

TEST_F(CommandPayloadTest, DuplicateMemberRefusesTheWholeMessage) {
  auto a = model.addPoint("A", DataType::kInteger);
  loadAndPrepare(R"([{"@DataPoint": {"dataPoint": "A", "jsonPath": "$.b"}}])");
  const std::string message = R"({"b": 5, "x": {"a": 1, "a": 2}})";
  try {
    apply(message);
    ADD_FAILURE() << "applied";
  } catch (const decoder::Exception& e) {
    EXPECT_EQ(e.message(), "duplicate member \"a\" in JSON object");
    EXPECT_EQ(e.what(), locationOf(message, R"("a": 2)") + ": duplicate member \"a\" in JSON object");
  }
  EXPECT_EQ(a->changeCount(), 0u);
}

// Only what the paths select is kept while a message is read: every entry must still end as its
// path evaluated on the whole decoded message ends (the value, or the evaluator's message).
TEST_F(CommandPayloadTest, SelectionWhileReadingMatchesThePathOnTheWholeMessage) {
  const char* const kPaths[] = {
      "$",         "$.a",        "$.a.b",        "$.a.b[1]",     "$.a.b[1].c", "$.a.b[5]",     "$.a.x",
      "$.a[0]",    "$[0]",       "$[1].a",       "$[1].a[0]",    "$.s.t",      "$.s[0]",       "$.arr[0]",
      "$.arr[2][1]", "$.arr[2].x", "$.e.f",      "$.e[0]",       "$['a']['b'][0]", "$.a.b[1].c.d",
  };
  std::vector<std::shared_ptr<DataPoint>> points;
  std::string json = "[";
  for (std::size_t i = 0; i < std::size(kPaths); ++i) {
    points.push_back(model.addPoint(std::string("P").append(std::to_string(i)), DataType::kString));
    json += std::string(i ? "," : "") + R"({"@DataPoint": {"dataPoint": "P)" + std::to_string(i) +
            R"(", "jsonPath": ")" + kPaths[i] + R"(", "asJSONText": true}})";
  }
  loadAndPrepare(json + "]");
  const char* const kMessages[] = {
      R"({"a": {"b": [1, {"c": true}, null]}, "s": "text", "arr": [0, 1, [2, 3]], "e": {}})",
      R"([{"a": 1}, {"a": [2]}])",
      R"({"a": 5})",
      R"("plain")",
      R"({"a": {"b": {"c": 1}}, "arr": {}, "e": []})",
      R"({})",
      R"([])",
      R"({"z": {"a": {"b": [1, 2]}}, "a": {"x": [1, {"b": 2}], "b": []}})",
      R"({"a": {"b": [[], {"c": {"d": "deep"}}]}})",
  };
  for (const char* message : kMessages) {
    SCOPED_TRACE(message);
    const std::string selected = apply(message);
    std::vector<corvane::data::Value> written;
    for (const auto& point : points) written.push_back(point->value());

    decoder::Document document;
    auto root = document.read(message);
    const JsonValue whole = JsonValue::load(root);
    std::string expected;
    for (const auto& entry : payload.entries()) {
      if (auto error = entry->apply(whole)) expected += "\n" + *error;
    }
    EXPECT_EQ(selected, expected);
    for (std::size_t i = 0; i < std::size(kPaths); ++i) EXPECT_EQ(written[i], points[i]->value()) << kPaths[i];
  }
}

// A message is held decoded while its entries are written; one of many tiny values is refused
// before it takes memory out of proportion to its size. Values no path reaches count too.
TEST_F(CommandPayloadTest, MessagesOfTooManyValuesWriteNothing) {
  struct Case {
    const char* fault;
    std::string message;
    bool refused;
  };
  auto zeros = [](std::size_t count) {
    std::string text = "0";
    for (std::size_t i = 1; i < count; ++i) text += ",0";
    return text;
  };
  const Case kCases[] = {
      {"the limit itself: an array and 999999 elements", "[" + zeros(999'999) + "]", false},
      {"one value more", "[" + zeros(1'000'000) + "]", true},
      {"values in a member no path reaches", R"({"pad": [)" + zeros(1'000'000) + R"(], "b": 1})", true},
      {"values inside the selected value", R"({"b": 1, "a": [)" + zeros(1'000'000) + "]}", true},
  };
  auto a = model.addPoint("A", DataType::kString);
  auto b = model.addPoint("B", DataType::kInteger);
  loadAndPrepare(R"([{"@DataPoint": {"dataPoint": "A", "jsonPath": "$.a", "asJSONText": true}},
                     {"@DataPoint": {"dataPoint": "B", "jsonPath": "$.b"}}])");
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.fault);
    const auto writes = a->changeCount() + b->changeCount();
    if (!c.refused) {
      EXPECT_NO_THROW(apply(c.message));
      continue;
    }
    try {
      apply(c.message);
      ADD_FAILURE() << "applied";
    } catch (const decoder::Exception& e) {
      EXPECT_STREQ(e.what(), "message has too many JSON values (more than 1000000)");
    }
    EXPECT_EQ(a->changeCount() + b->changeCount(), writes);
  }
}

TEST_F(CommandPayloadTest, VanishedTargetFailsWithoutPrefix) {
  const auto writes = model.add<testing::DetachedPoint>("A")->writes;
  auto b = model.addPoint("B", DataType::kInteger);
  loadAndPrepare(R"([{"@DataPoint": {"dataPoint": "A", "jsonPath": "$.a"}},
                     {"@DataPoint": {"dataPoint": "B", "jsonPath": "$.b"}}])");
  EXPECT_EQ(apply(R"({"a": 1, "b": 2})"), "");
  EXPECT_EQ(*writes, 1);
  model.remove("A");
  EXPECT_EQ(apply(R"({"a": 1, "b": 3})"), "\nthe element no longer exists");
  EXPECT_EQ(*writes, 1);
  EXPECT_EQ(b->value(), corvane::data::Value(std::int64_t{3}));
}

TEST_F(CommandPayloadTest, TargetGoneBeforePrepareIsSkippedThenReported) {
  model.addPoint("A", DataType::kInteger);
  load(R"([{"@DataPoint": {"dataPoint": "A", "jsonPath": "$"}}])");
  context.resolveAll();
  model.remove("A");
  EXPECT_NO_THROW(payload.prepare());
  EXPECT_EQ(apply("1"), "\nthe element no longer exists");
}

// What a typed write does for each JSON kind and data point type: the host converts, and a
// conversion it refuses is the entry's error line (the value stays as it was).
struct WriteCase {
  const char* fault;
  DataType type;
  bool asJsonText;
  const char* value;              // the JSON text of "v" in the message
  corvane::data::Value expected;  // monostate: refused
  const char* error;              // the refusal's text after "P: "
};
const char* const kNotANumber = "the value is not a number";
const char* const kOutOfRange = "the value is out of the range of the data point's type";
const char* const kNotConvertible = "the value cannot be converted to the data point's type";
using V = corvane::data::Value;
const WriteCase kWrites[] = {
    {"integer as integer", DataType::kInteger, false, "-42", V(std::int64_t{-42}), nullptr},
    {"smallest integer", DataType::kInteger, false, "-9223372036854775808",
     V(std::numeric_limits<std::int64_t>::min()), nullptr},
    {"text is not read as a number", DataType::kInteger, false, R"("42")", V(), kNotANumber},
    {"fraction into integer", DataType::kInteger, false, "1.5", V(), kOutOfRange},
    {"whole double into integer", DataType::kInteger, false, "2.0", V(std::int64_t{2}), nullptr},
    {"unsigned above int64 into integer", DataType::kInteger, false, "9223372036854775808", V(), kOutOfRange},
    {"boolean into integer", DataType::kInteger, false, "true", V(std::int64_t{1}), nullptr},
    {"null into integer", DataType::kInteger, false, "null", V(), kNotConvertible},
    {"object into integer", DataType::kInteger, false, R"({"x": 1})", V(), kNotConvertible},
    {"array into integer", DataType::kInteger, false, "[1]", V(), kNotConvertible},
    {"largest unsigned", DataType::kUnsigned, false, "18446744073709551615",
     V(std::numeric_limits<std::uint64_t>::max()), nullptr},
    {"negative into unsigned", DataType::kUnsigned, false, "-1", V(), kOutOfRange},
    {"double as double", DataType::kDouble, false, "1.5e300", V(1.5e300), nullptr},
    {"integer into double", DataType::kDouble, false, "12", V(12.0), nullptr},
    {"text into double", DataType::kDouble, false, R"("1.5")", V(), kNotANumber},
    {"boolean as boolean", DataType::kBoolean, false, "true", V(true), nullptr},
    {"one into boolean", DataType::kBoolean, false, "1", V(true), nullptr},
    {"two into boolean", DataType::kBoolean, false, "2", V(), kOutOfRange},
    {"word into boolean", DataType::kBoolean, false, R"("false")", V(false), nullptr},
    {"other word into boolean", DataType::kBoolean, false, R"("yes")", V(), kNotConvertible},
    {"text as text", DataType::kString, false, R"("h\u00e9llo \"x\"")", V(std::string("h\xC3\xA9llo \"x\"")), nullptr},
    {"integer into text", DataType::kString, false, "12", V(std::string("12")), nullptr},
    {"boolean into text", DataType::kString, false, "false", V(std::string("false")), nullptr},
    {"object into text is its JSON", DataType::kString, false, R"({"x": [1, null, "y"]})",
     V(std::string(R"({"x":[1,null,"y"]})")), nullptr},
    {"array into text is its JSON", DataType::kString, false, R"([true, {}])", V(std::string("[true,{}]")), nullptr},
    {"null into text", DataType::kString, false, "null", V(), kNotConvertible},
    {"integer into time stamp", DataType::kTimeStamp, false, "42", V(TimeStamp(Ticks(42))), nullptr},
    {"text as JSON text is quoted", DataType::kString, true, R"("a\"b")", V(std::string(R"("a\"b")")), nullptr},
    {"null as JSON text", DataType::kString, true, "null", V(std::string("null")), nullptr},
    // JSON text is text, even when it spells a number.
    {"number as JSON text into integer", DataType::kInteger, true, "12", V(), kNotANumber},
    {"number as JSON text into text", DataType::kString, true, "2.5e-1", V(std::string("0.25")), nullptr},
};

TEST_F(CommandPayloadTest, TypedWritesConvertOrReportTheConversion) {
  for (const auto& c : kWrites) {
    SCOPED_TRACE(c.fault);
    TestModel points;
    auto point = points.addPoint("P", c.type);
    const V before = point->value();
    corvane::config::Context local(".", points);
    CommandPayload entries;
    decoder::Document document;
    auto value = document.read(std::string(R"([{"@DataPoint": {"dataPoint": "P", "jsonPath": "$.v", "asJSONText": )") +
                               (c.asJsonText ? "true" : "false") + "}}]");
    entries.load(value, local);
    local.resolveAll();
    entries.prepare();
    const std::string message = std::string(R"({"v": )") + c.value + "}";
    const std::string summary = entries.apply(message.data(), message.size());
    if (c.error) {
      EXPECT_EQ(summary, std::string("\nP: ") + c.error);
      EXPECT_EQ(point->value(), before);
    } else {
      EXPECT_EQ(summary, "");
      EXPECT_EQ(point->value(), c.expected);
    }
  }
}

TEST_F(CommandPayloadTest, UnboundHandleIsAnEntryError) {
  model.addPoint("A", DataType::kInteger);
  load(R"([{"@DataPoint": {"dataPoint": "A", "jsonPath": "$"}}])");
  context.resolveAll();
  // No prepare: the entry has no handle to write through.
  EXPECT_EQ(apply("1"), "\nA: the write handle is not bound to an attribute");
}

TEST_F(CommandPayloadTest, HostileMessagesEndCleanly) {
  auto a = model.addPoint("A", DataType::kInteger);
  loadAndPrepare(R"([{"@DataPoint": {"dataPoint": "A", "jsonPath": "$.a[0].b"}}])");

  {
    SCOPED_TRACE("100000 levels of arrays");
    EXPECT_THROW(apply(std::string(100000, '[') + std::string(100000, ']')), decoder::SyntaxError);
  }
  {
    SCOPED_TRACE("100000 levels of objects");
    std::string deep;
    for (int i = 0; i < 100000; ++i) deep += R"({"a":)";
    deep += "1" + std::string(100000, '}');
    EXPECT_THROW(apply(deep), decoder::SyntaxError);
  }
  {
    SCOPED_TRACE("64 MiB of unclosed brackets");
    EXPECT_THROW(apply(std::string(64u << 20, '[')), decoder::SyntaxError);
  }
  {
    SCOPED_TRACE("64 MiB unterminated string");
    std::string text = R"({"a": ")";
    text.append((64u << 20) - 64, 'x');  // within the largest message a command takes
    EXPECT_THROW(apply(text), decoder::SyntaxError);
  }
  EXPECT_EQ(a->changeCount(), 0u);
  {
    SCOPED_TRACE("64 MiB message around a small value");
    std::string text = R"({"pad": ")";
    text.append((64u << 20) - 64, 'x');  // within the largest message a command takes
    text += R"(", "a": [{"b": 7}]})";
    EXPECT_EQ(apply(text), "");
    EXPECT_EQ(a->value(), V(std::int64_t{7}));
  }
}

}  // namespace
}  // namespace corvane::plugins::mqttClient
