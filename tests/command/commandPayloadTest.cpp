#include "command/commandPayload.hpp"

#include <gtest/gtest.h>

#include <limits>

#include "clientModel.hpp"
#include "command/parsedMessage.hpp"
#include "command/pathTree.hpp"

namespace corvane::plugins::mqttClient {
namespace {

namespace decoder = utils::json::decoder;
using corvane::data::DataType;
using V = corvane::data::Value;

// `{"@DataPoint": {"dataPoint": POINT, "jsonPath": PATH, MEMBERS}}`
std::string entry(std::string_view point, std::string_view path, std::string_view members = {}) {
  return R"({"@DataPoint": {"dataPoint": ")" + std::string(point) + R"(", "jsonPath": ")" + std::string(path) + "\"" +
         (members.empty() ? "" : ", " + std::string(members)) + "}}";
}

class CommandPayloadTest : public ::testing::Test {
 protected:
  // Loads `json` as the command's "payload" array; "" or the located message.
  std::string load(std::string_view json, bool prepare = true) {
    corvane::config::Context context(".", model);
    try {
      decoder::Document document;
      auto value = document.read(json);
      payload.load(value, context);
      context.resolveAll();
      if (prepare) payload.prepare();
      return "";
    } catch (const std::runtime_error& e) {
      return e.what();
    }
  }
  // The error summary, or what the whole message was refused with.
  std::string apply(std::string_view message) const {
    try {
      return payload.apply(message.data(), message.size());
    } catch (const decoder::Exception& e) {
      return std::string("refused: ") + e.what();
    }
  }

  corvane::testing::FakeModel model;
  CommandPayload payload;
};

TEST_F(CommandPayloadTest, LoadRefusesMalformedEntriesAtTheirLocation) {
  model.addPoint("RO", DataType::kInteger)->setAccess(true, false);
  model.addFake("Bare");
  model.addFake("Plant/Area", corvane::model::ElementCategory::kFolder);
  const std::pair<const char*, const char*> kCases[] = {
      {R"([{}])", "1:2: missing type specifier in payload element"},
      {R"([{"DataPoint": {}}])", "1:3: payload element does not start with \"@\""},
      {R"([{"@Attribute": {}}])", "1:2: unknown element type \"@Attribute\" for payload element"},
      {R"([{"@DataPoint": {"dataPoint": "A", "jsonPath": "$"}, "more": 1}])", "1:2: excess members in payload"},
      // The entry itself is read before the excess member is seen.
      {R"([{"@DataPoint": {}, "more": 1}])", "1:17: missing JSON path in MQTT data point"},
      // Refused at once, before a later member could fail.
      {R"([{"@DataPoint": {"x": 1, "jsonPath": "$[-1]"}}])", "1:17: unknown member \"x\" for data point element"},
      {R"([{"@DataPoint": {"dataPoint": "A", "jsonPath": "$[-1]"}}])",
       "1:48: use of unsupported negative index in JSON path index selector at 4"},
      {R"([{"@DataPoint": {"jsonPath": "$.*", "dataPoint": "A"}}])", "1:30: JSON path wildcard selectors are not supported"},
      {R"({})", "1:1: expected JSON array, found JSON object"},
      {R"([{"@DataPoint": {"dataPoint": "A", "jsonPath": "$", "asJSONText": "yes"}}])", "1:67: expected JSON boolean, found JSON string"},
      {R"([{"@DataPoint": {"dataPoint": "Plant/Area", "jsonPath": "$"}}])", "1:31: element \"Plant/Area\" is not a data point"},
      {R"([{"@DataPoint": {"dataPoint": "RO", "jsonPath": "$"}}])", "data point \"RO\" is read-only"},
      {R"([{"@DataPoint": {"dataPoint": "Bare", "jsonPath": "$"}}])", "data point \"Bare\" does not have a value attribute"},
  };
  for (const auto& [json, message] : kCases) {
    payload = CommandPayload();
    EXPECT_EQ(load(json), message) << json;
  }
}

TEST_F(CommandPayloadTest, EntriesKeepTheirOrderTheLastPathAndWriteIndependently) {
  auto a = model.addPoint("A", DataType::kInteger);
  auto b = model.addPoint("B", DataType::kString);
  auto c = model.addPoint("C", DataType::kInteger);
  ASSERT_EQ(load("[" + entry("A", "$.x", R"("jsonPath": "$.missing")") + ", " + entry("B", "$.deep[1].name") + ", " +
                 entry("C", "$.deep[5]", R"("asJSONText": true)") + "]"),
            "");
  // A failed entry does not stop the others.
  EXPECT_EQ(apply(R"({"deep": [{}, {"name": "pump"}]})"),
            "\nA: failed to find a JSON object member called \"missing\"\nC: the array index \"5\" is out of range");
  EXPECT_EQ(a->changeCount(), 0u);
  EXPECT_EQ(b->value(), V(std::string("pump")));
  EXPECT_EQ(c->changeCount(), 0u);

  payload = CommandPayload();
  ASSERT_EQ(load("[]"), "");
  EXPECT_EQ(apply(R"({"anything": 1})"), "");
}

// A message is held decoded while its entries are written: one of many tiny values is refused before
// it takes memory out of proportion to its size; values no path reaches count too.
TEST_F(CommandPayloadTest, MessagesThatAreNotOneJsonDocumentOrTooManyValuesWriteNothing) {
  constexpr std::size_t kLarge = (64u << 20) - 64;
  auto zeros = [](std::size_t count) {
    std::string text = "0";
    for (std::size_t i = 1; i < count; ++i) text += ",0";
    return text;
  };
  const char* kTooMany = "message has too many JSON values (more than 1000000)";
  const std::pair<std::string, const char*> kCases[] = {
      {"speed=12", "1:1: invalid JSON value \"speed=12\""},
      {"", "1:1: empty JSON text"},
      {R"({"speed": 12)", "1:13: expected ',' or '}' after object member, found end of JSON text"},
      {"{\"speed\": 12, \"\xFF\": 1}", "1:16: invalid UTF-8 in JSON text"},
      {std::string("{\"speed\": 12}\0", 14), "1:14: unexpected content after JSON value"},
      {R"({"speed": 12, "speed": 13})", "1:15: duplicate member \"speed\" in JSON object"},
      // Checked even deep in a value no path reaches.
      {R"({"speed": 12, "x": [{"y": {"a": 1, "a": 2}}]})", "1:36: duplicate member \"a\" in JSON object"},
      {R"({"speed": 12, "s": "\ud800"})", "1:21: unpaired UTF-16 surrogate in JSON string"},
      {R"({"speed": 12, "big": 1e400})", "1:22: number out of range for double"},
      {"{\"speed\": 12, \"n\": " + std::string(2000, '[') + std::string(2000, ']') + "}",
       "1:1043: JSON text nested too deeply (more than 1024 levels)"},
      // Near 64 MiB, within the largest message a command takes.
      {std::string(kLarge, '['), "1:1025: JSON text nested too deeply (more than 1024 levels)"},
      {R"({"speed": ")" + std::string(kLarge, 'x'), "1:11: unterminated JSON string"},
      {"[" + zeros(1'000'000) + "]", kTooMany},
      {R"({"pad": [)" + zeros(1'000'000) + R"(], "speed": 1})", kTooMany},
      {R"({"speed": [)" + zeros(1'000'000) + "]}", kTooMany},  // in the selected value
  };
  auto a = model.addPoint("A", DataType::kDouble);
  ASSERT_EQ(load("[" + entry("A", "$.speed") + "]"), "");
  for (const auto& [message, error] : kCases) {
    EXPECT_EQ(apply(message), std::string("refused: ") + error) << message.substr(0, 40);
  }
  EXPECT_EQ(a->changeCount(), 0u);
  EXPECT_EQ(apply("[" + zeros(999'999) + "]"), "\nA: the JSON element is not an object");  // the limit itself
  // What is well-formed around a selected value is read whatever its size.
  EXPECT_EQ(apply(R"({"pad": ")" + std::string(kLarge, 'x') + R"(", "speed": 7})"), "");
  EXPECT_EQ(a->value(), V(7.0));
}

// Only what the paths select is kept while a message is read: every entry must still end as its
// path evaluated on the whole decoded message ends (the value, or the evaluator's message).
TEST_F(CommandPayloadTest, SelectionWhileReadingMatchesThePathOnTheWholeMessage) {
  const char* const kPaths[] = {
      "$",           "$.a",         "$.a.b",  "$.a.b[1]", "$.a.b[1].c",     "$.a.b[5]",     "$.a.x",
      "$.a[0]",      "$[0]",        "$[1].a", "$[1].a[0]", "$.s.t",         "$.s[0]",       "$.arr[0]",
      "$.arr[2][1]", "$.arr[2].x", "$.e.f",  "$.e[0]",   "$['a']['b'][0]", "$.a.b[1].c.d",
  };
  std::vector<std::shared_ptr<corvane::runtime::DataPoint>> points;
  std::string json = "[";
  for (std::size_t i = 0; i < std::size(kPaths); ++i) {
    points.push_back(model.addPoint(std::string("P").append(std::to_string(i)), DataType::kString));
    json.append(i ? "," : "").append(entry(std::string("P").append(std::to_string(i)), kPaths[i], R"("asJSONText": true)"));
  }
  ASSERT_EQ(load(json + "]"), "");
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
    std::vector<V> written;
    for (const auto& point : points) written.push_back(point->value());

    decoder::Document document;
    auto root = document.read(message);
    const JsonValue whole = JsonValue::load(root);
    std::string expected;
    for (const auto& e : payload.entries()) {
      if (auto error = e->apply(whole)) expected += "\n" + *error;
    }
    EXPECT_EQ(selected, expected);
    for (std::size_t i = 0; i < std::size(kPaths); ++i) EXPECT_EQ(written[i], points[i]->value()) << kPaths[i];
  }
}

// Small messages are parsed whole, the rest streamed; both readers must give every entry the same
// value or the same failure, and refuse the same messages with the same words.
TEST_F(CommandPayloadTest, BothReadersSelectAndRefuseAlike) {
  const char* const kPaths[] = {"$", "$.a", "$.a[1]", "$.a[1].b", "$['\u00e9']", "$.k", "$.d[63]"};
  std::string json = "[";
  for (std::size_t i = 0; i < std::size(kPaths); ++i) {
    model.addPoint(std::string("P").append(std::to_string(i)), DataType::kString);
    json.append(i ? "," : "").append(entry(std::string("P").append(std::to_string(i)), kPaths[i]));
  }
  ASSERT_EQ(load(json + "]"), "");
  auto nested = [](std::size_t depth, std::string_view inner) {
    return std::string(depth, '[') + std::string(inner) + std::string(depth, ']');
  };
  auto members = [](std::size_t count, std::string_view last) {
    std::string text = "{";
    for (std::size_t i = 0; i < count; ++i) {
      text.append("\"m").append(std::to_string(i)).append("\": ").append(std::to_string(i)).append(", ");
    }
    return text.append(last).append("}");
  };
  std::string elements = "0";
  for (int i = 1; i < 64; ++i) elements.append(",").append(std::to_string(i));
  std::string atLimit = R"({"a": ")";
  atLimit.append(ParsedMessage::kMaxSize - atLimit.size() - 2, 'x').append("\"}");
  const std::string kMessages[] = {
      // Numbers: every kind, the edges of the integers, zeros and the limits of a double.
      R"({"a": [-0, {"b": -0.0}], "k": 0})", R"({"a": [1, {"b": -0e0}]})", R"({"a": [1, {"b": -1e-400}]})",
      R"({"a": [1, {"b": 1e-400}], "k": 1E2})", R"({"a": [1, {"b": 18446744073709551615}]})",
      R"({"a": [1, {"b": 18446744073709551616}]})", R"({"a": [1, {"b": -9223372036854775808}]})",
      R"({"a": [1, {"b": -9223372036854775809}]})", R"({"a": [1, {"b": 123456789012345678901234567890}]})",
      R"({"a": [1, {"b": 0.1}], "k": 2.2250738585072014e-308})", R"({"a": [1, {"b": 1.7976931348623157e308}]})",
      R"({"a": [1, {"b": 1e400}]})", R"({"a": [01]})", R"({"a": [1.]})", R"({"a": [-]})",
      // Strings and names: escapes, a name written two ways, surrogates.
      R"({"\u00e9": "\ud83d\ude00", "a": ["\u0000", {"b": "\/\b\f\n\r\t"}]})",
      R"({"a": 1, "\u0061": 2})", R"({"\u00e9": 1, "\u00E9": 2})", R"({"a": ["\udc00"]})",
      R"({"a": ["\ud800\u0041"]})", "{\"a\": [\"\x01\"]}", "{\"a\": [\"\xC3\"]}",
      // Shapes: scalar roots, wrong kinds, missing members, trailing text, blanks.
      "\"text\"", "7", "null", "[]", "{}", R"({"a": {"1": 2}})", R"({"a": [1]})", " \t\r\n{\"k\": true}\n ",
      R"({"k": 1} x)", R"({"k": 1,})", R"([1, 2)", "", R"({"k" 1})",
      // Duplicates in small and large objects, anywhere.
      members(15, R"("m3": 1)"), members(16, R"("m0": 1)"), members(40, R"("a": [1, {"b": 2}])"),
      members(40, R"("m39": 1)"), R"({"x": [{"y": {"q": 1, "q": 2}}], "k": 1})",
      // Nesting: the path into a deep array, and nesting past what the parse takes whole.
      R"({"d": )" + nested(1, elements) + "}",
      R"({"d": )" + nested(62, "1") + "}", R"({"d": )" + nested(63, "1") + "}", R"({"d": )" + nested(64, "1") + "}",
      R"({"d": )" + nested(200, "1") + "}", R"({"a": [0, {"b": )" + nested(100, "\"deep\"") + "}]}",
      // Either side of the size parsed whole.
      atLimit, atLimit.substr(0, atLimit.size() - 2) + "x\"}",
  };
  auto outcome = [this](const std::string& message, bool streaming) {
    std::string text;
    const CommandPayload::SelectionVisitor visit = [&](const CommandPayload::DataPoint& point, const JsonValue* value,
                                                       const std::string& failure) {
      text.append(point.pathText()).append(" -> ").append(value ? value->toText() : "failed: " + failure).append("\n");
    };
    try {
      streaming ? payload.selectStreaming(message.data(), message.size(), visit)
                : payload.select(message.data(), message.size(), visit);
    } catch (const std::exception& e) {
      text.append("refused: ").append(e.what());
    }
    return text;
  };
  for (const std::string& message : kMessages) {
    EXPECT_EQ(outcome(message, false), outcome(message, true)) << message.substr(0, 80);
  }
  // Which messages the whole parse takes: all that are well-formed and small, except duplicates
  // and deep nesting (the streaming reader has the words for those).
  const CommandPayload::PathTree tree(payload.entries());
  const std::pair<std::string, bool> kParsedWhole[] = {
      {R"({"a": [1, {"b": 0.5}], "k": 18446744073709551615})", true},
      {members(40, R"("a": 1)"), true},
      {R"({"d": )" + nested(62, "1") + "}", true},
      {R"({"d": )" + nested(63, "1") + "}", false},
      {atLimit, true},
      {atLimit.substr(0, atLimit.size() - 2) + "x\"}", false},
      {R"({"a": [-0.0, -0, -1e-400]})", true},
      {R"({"a": 1, "\u0061": 2})", false},
      {members(40, R"("m39": 1)"), false},
      {R"({"a": 1e400})", false},
  };
  for (const auto& [message, whole] : kParsedWhole) {
    EXPECT_EQ(ParsedMessage().read(message.data(), message.size(), tree), whole) << message.substr(0, 80);
  }
}

TEST_F(CommandPayloadTest, TargetsThatAreGoneOrUnboundAreEntryErrors) {
  auto detached = model.addFake("A");
  detached->writes = std::make_shared<int>(0);
  const auto writes = detached->writes;
  detached.reset();
  auto b = model.addPoint("B", DataType::kInteger);
  ASSERT_EQ(load("[" + entry("A", "$.a") + ", " + entry("B", "$.b") + "]"), "");
  EXPECT_EQ(apply(R"({"a": 1, "b": 2})"), "");
  EXPECT_EQ(*writes, 1);
  model.remove("A");
  EXPECT_EQ(apply(R"({"a": 1, "b": 3})"), "\nthe element no longer exists");
  EXPECT_EQ(*writes, 1);
  EXPECT_EQ(b->value(), V(std::int64_t{3}));

  // Gone before prepare: skipped then, reported by every message.
  payload = CommandPayload();
  model.addPoint("A", DataType::kInteger);
  ASSERT_EQ(load("[" + entry("A", "$") + "]", false), "");
  model.remove("A");
  payload.prepare();
  EXPECT_EQ(apply("1"), "\nthe element no longer exists");

  // Not prepared: no handle to write through.
  payload = CommandPayload();
  ASSERT_EQ(load("[" + entry("B", "$") + "]", false), "");
  EXPECT_EQ(apply("1"), "\nB: the write handle is not bound to an attribute");
}

// What a typed write does for each JSON kind and data point type: the host converts, and a
// conversion it refuses is the entry's error line (the value stays as it was).
TEST_F(CommandPayloadTest, TypedWritesConvertOrReportTheConversion) {
  const char* const kNotANumber = "the value is not a number";
  const char* const kOutOfRange = "the value is out of the range of the data point's type";
  const char* const kNotConvertible = "the value cannot be converted to the data point's type";
  // The point's type, asJSONText, the JSON text of "v" in the message, the value written (monostate:
  // refused), the refusal's text after "P: ".
  const std::tuple<DataType, bool, const char*, V, const char*> kCases[] = {
      {DataType::kInteger, false, "-42", V(std::int64_t{-42}), nullptr},
      {DataType::kInteger, false, R"("42")", V(), kNotANumber},  // text is not read as a number
      {DataType::kInteger, false, "1.5", V(), kOutOfRange},
      {DataType::kInteger, false, "2.0", V(std::int64_t{2}), nullptr},
      {DataType::kInteger, false, "9223372036854775808", V(), kOutOfRange},
      {DataType::kInteger, false, "true", V(std::int64_t{1}), nullptr},
      {DataType::kInteger, false, "null", V(), kNotConvertible},
      {DataType::kUnsigned, false, "18446744073709551615", V(std::numeric_limits<std::uint64_t>::max()), nullptr},
      {DataType::kUnsigned, false, "-1", V(), kOutOfRange},
      {DataType::kDouble, false, "12", V(12.0), nullptr},
      {DataType::kBoolean, false, "1", V(true), nullptr},
      {DataType::kBoolean, false, "2", V(), kOutOfRange},
      {DataType::kBoolean, false, R"("false")", V(false), nullptr},
      {DataType::kBoolean, false, R"("yes")", V(), kNotConvertible},
      {DataType::kString, false, R"("h\u00e9llo \"x\"")", V(std::string("h\xC3\xA9llo \"x\"")), nullptr},
      {DataType::kString, false, "12", V(std::string("12")), nullptr},
      {DataType::kString, false, R"({"x": [1, null, "y"]})", V(std::string(R"({"x":[1,null,"y"]})")), nullptr},
      {DataType::kTimeStamp, false, "42", V(TimeStamp(Ticks(42))), nullptr},
      {DataType::kString, true, R"("a\"b")", V(std::string(R"("a\"b")")), nullptr},
      {DataType::kString, true, "null", V(std::string("null")), nullptr},
      // JSON text is text, even when it spells a number.
      {DataType::kInteger, true, "12", V(), kNotANumber},
      {DataType::kString, true, "2.5e-1", V(std::string("0.25")), nullptr},
  };
  for (const auto& [type, asJsonText, value, expected, error] : kCases) {
    SCOPED_TRACE(value);
    auto point = model.addPoint("P", type);
    const V before = point->value();
    payload = CommandPayload();
    ASSERT_EQ(load(std::string("[").append(entry("P", "$.v", asJsonText ? R"("asJSONText": true)" : "")).append("]")), "");
    EXPECT_EQ(apply(std::string(R"({"v": )") + value + "}"), error ? std::string("\nP: ") + error : "");
    EXPECT_EQ(point->value(), error ? before : expected);
  }
}

}  // namespace
}  // namespace corvane::plugins::mqttClient
