#include "jsonPath/path.hpp"

#include <tuple>
#include <typeinfo>

#include <gtest/gtest.h>

namespace corvane::plugins::mqttClient::jsonPath {
namespace {

using namespace std::string_literals;

Segment name(std::string text) { return Segment(std::in_place_index<kName>, std::move(text)); }
Segment index(std::uint64_t value) { return Segment(std::in_place_index<kIndex>, value); }

// Why, the path's text, what it parses to.
const std::tuple<const char*, std::string, Path> kAcceptCases[] = {
    {"root alone selects the whole message", "$", {}},
    {"both quotes, all four blank bytes", "$\t['a']\n[\r\"b\" ][ 7\t]", {name("a"), name("b"), index(7)}},
    {"blank space ends a shorthand", "$.a .b", {name("a"), name("b")}},
    {"names and indices mixed", "$.a[0]._x9[12]", {name("a"), index(0), name("_x9"), index(12)}},
    {"minus zero is index zero", "$[-0]", {index(0)}},
    {"largest index", "$[9007199254740991]", {index(9007199254740991)}},
    {"shorthand with three- and four-byte UTF-8, U+FFFF", "$.\xE4\xB8\xAD\xF0\x9F\x98\x80\xEF\xBF\xBF",
     {name("\xE4\xB8\xAD\xF0\x9F\x98\x80\xEF\xBF\xBF")}},
    {"empty name; path syntax and the other quote in a literal are text", "$['']['a.b[c]$ *\"']",
     {name(""), name("a.b[c]$ *\"")}},
    {"every short escape in single quotes", "$['\\'\\\"\\/\\\\\\b\\f\\n\\r\\t']", {name("'\"/\\\b\f\n\r\t")}},
    {"escaped own quote in double quotes", "$[\"\\\"\"]", {name("\"")}},
    {"unicode escapes of NUL, both hex cases", "$['\\u0000\\u00e9\\u00E9']", {name("\0\xC3\xA9\xC3\xA9"s)}},
    {"surrogate pair gives one four-byte code point", "$['\\uD83D\\uDE00']", {name("\xF0\x9F\x98\x80")}},
    {"raw UTF-8, an encoded surrogate in a literal", "$['\xF0\x9F\x98\x80\xED\xA0\x80']", {name("\xF0\x9F\x98\x80\xEF\xBF\xBD")}},
    // Malformed sequences of the right length decode to U+FFFD, which a name may hold.
    {"overlong form", "$.\xC0\x80", {name("\xEF\xBF\xBD")}},
    {"above U+10FFFF, byte 0xF8", "$.\xF4\x90\x80\x80\xF8", {name("\xEF\xBF\xBD\xEF\xBF\xBD")}},
};

TEST(JsonPathParse, AcceptsSupportedPaths) {
  for (const auto& [why, text, expected] : kAcceptCases) {
    SCOPED_TRACE(std::string(why) + ": " + ::testing::PrintToString(text));
    try {
      EXPECT_EQ(parse(text), expected);
    } catch (const std::exception& e) {
      ADD_FAILURE() << "refused with " << e.what();
    }
  }
}

// Each text with its message, "unsupported: " before those of an UnsupportedError.
const std::pair<std::string, std::string> kRefuseCases[] = {
    // Root and segment starts.
    {"", "invalid JSON path"},
    {"a", "expected root identifier '$' at 0, found a"},
    {"$a", "invalid JSON path segment start character 'a' at index 1"},
    // Ends of text.
    {"$.a ", "unexpected blank space at the end of JSON path"},
    {"$.", "unexpected JSON path termination"},
    {"$['a'", "unexpected JSON path termination"},
    // Member-name shorthand.
    {"$. a", "blank space at the start of JSON path member name shorthand at 2"},
    {"$.[0]", "empty member name shorthand at 2"},
    {"$.1a", "invalid character at the beginning of member name shorthand starting at 3"},
    {"$.\xC3\xA9$", "invalid character in member name shorthand starting at 5"},
    {"$.a\0"s, "invalid character in member name shorthand starting at 4"},
    // UTF-8 sequences cut short.
    {"$.\xC3", "early termination of UTF8 code unit sequence"},
    {"$.\xC3" "A", "invalid UTF8 code unit sequence at 3"},
    // String literals.
    {"$['a\\'", "unterminated string literal at 6"},
    {"$['a\0']"s, "invalid unescaped string literal code point at 5"},
    {"$['\\", "invalid JSON path string literal escape sequence at 3"},
    {"$[\"a\\'\"]", "invalid JSON path string literal escape sequence at 4"},
    // Unicode escapes.
    {"$['\\u12", "invalid JSON path Unicode escape sequence at 3"},
    {"$['\\u12']", "invalid JSON path hex digit at 7"},
    {"$['\\uDC00']", "expected none or high surrogate JSON path Unicode escape sequence at 9"},
    {"$['\\uD83Dx23456']", "invalid JSON path Unicode escape sequence at 9"},
    {"$['\\uD83D\\u0041']", "expected low surrogate JSON path escape sequence after high surrogate at 9"},
    // Index selectors.
    {"$[01]", "leading zero detected in index selector at 2"},
    {"$[-01]", "unsupported: use of unsupported negative index in JSON path index selector at 5"},
    {"$[9007199254740992]", "out of range value for JSON path index selector at 18"},
    {"$[9223372036854775808]", "Invalid index in JSON path index selector at index 2, reading number failed with error "
     "\"Numerical result out of range\""},
    {"$[-]", "Invalid index in JSON path index selector at index 2, reading number failed with error \"Invalid argument\""},
    {"$[1:2]", "unsupported: use of unsupported JSON path slice selector at 2"},
    {"$[0,1]", "unexpected token in JSON path index selector at 2"},
    {"$[-1,0]", "unexpected token in JSON path index selector at 2"},  // look-ahead comes first
    // Other selectors and segments.
    {"$[:2]", "unsupported: JSON path slice selectors are not supported"},
    {"$['a','b']", "unsupported: JSON path multi-selector bracket selection is not supported"},
    {"$[*]", "unsupported: JSON path wildcard selectors are not supported"},
    {"$..a", "unsupported: JSON path descendant segments are not supported"},
    {"$[?x]", "unsupported: JSON path filter selectors are not supported"},
    {"$[x]", "malformed JSON path selector at index 2"},
    {"$['a' x]", "unexpected closing bracket ']' at index 6"},
};

TEST(JsonPathParse, RefusesWithExactTypeAndMessage) {
  for (const auto& [text, message] : kRefuseCases) {
    try {
      parse(text);
      ADD_FAILURE() << ::testing::PrintToString(text) << " accepted";
    } catch (const SyntaxError& e) {
      EXPECT_EQ(e.what(), message) << ::testing::PrintToString(text);
    } catch (const UnsupportedError& e) {
      EXPECT_EQ("unsupported: " + std::string(e.what()), message) << ::testing::PrintToString(text);
    }
  }
}

// {"a": {"b": [10, 20, {"c": true}]}, "x": 1, "x": 2, "é": "precomposed"}
JsonValue makeMessage() {
  return JsonValue(JsonValue::Object{
      {"a", JsonValue(JsonValue::Object{
                {"b", JsonValue(JsonValue::Array{JsonValue(std::int64_t{10}), JsonValue(std::int64_t{20}),
                                                 JsonValue(JsonValue::Object{{"c", JsonValue(true)}})})}})},
      {"x", JsonValue(std::int64_t{1})},
      {"x", JsonValue(std::int64_t{2})},
      {"\xC3\xA9", JsonValue(std::string("precomposed"))},
  });
}

// Each path with the text of what it selects, or the evaluator's message; both forms tell the same.
TEST(JsonPathEvaluate, SelectsInTheMessageOrSaysWhyNot) {
  const JsonValue message = makeMessage();
  const std::pair<const char*, const char*> kCases[] = {
      {"$.a.b[1]", "20"},
      {"$['a'][\"b\"][2].c", "true"},
      {"$.x", "1"},  // members are searched in document order: a repeated name selects its first
      {"$['\\u00e9']", "\"precomposed\""},
      {"$[0]", "the JSON element is not an array"},
      {"$.a.b.c", "the JSON element is not an object"},
      {"$.a.b[2][0]", "the JSON element is not an array"},
      {"$.a.b[3]", "the array index \"3\" is out of range"},
      {"$.a.x", "failed to find a JSON object member called \"x\""},
      // Names compare byte for byte: "e" and a combining acute accent is not the precomposed letter.
      {"$['e\\u0301']", "failed to find a JSON object member called \"e\xCC\x81\""},
  };
  for (const auto& [text, expected] : kCases) {
    const Path path = parse(text);
    std::string failure;
    const JsonValue* found = find(message, path, failure);
    EXPECT_EQ(found ? found->toText() : failure, expected) << text;
    try {
      EXPECT_EQ(&evaluate(message, path), found) << text;
    } catch (const std::runtime_error& e) {
      EXPECT_TRUE(typeid(e) == typeid(std::runtime_error)) << "not a plain std::runtime_error";
      EXPECT_EQ(e.what(), failure) << text;
    }
  }
  // The selection is a reference into the message, also of a scalar.
  EXPECT_EQ(&evaluate(message, {}), &message);
  const JsonValue scalar(1.5);
  EXPECT_EQ(&evaluate(scalar, {}), &scalar);
  EXPECT_THROW(evaluate(scalar, parse("$.a")), std::runtime_error);
}

}  // namespace
}  // namespace corvane::plugins::mqttClient::jsonPath
