#include "jsonPath/path.hpp"

#include <cstdint>
#include <string>
#include <typeinfo>
#include <vector>

#include <gtest/gtest.h>

namespace corvane::plugins::mqttClient::jsonPath {
namespace {

using namespace std::string_literals;

Segment name(std::string text) { return Segment(std::in_place_index<kName>, std::move(text)); }
Segment index(std::uint64_t value) { return Segment(std::in_place_index<kIndex>, value); }

// Control bytes and raw UTF-8 read better as escapes in the trace.
std::string printable(const std::string& text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte < 0x7F) {
      out.push_back(c);
    } else {
      out += "\\x";
      out.push_back(kHex[byte >> 4]);
      out.push_back(kHex[byte & 0xF]);
    }
  }
  return out;
}

struct AcceptCase {
  const char* why;
  std::string text;
  Path expected;
};

const AcceptCase kAcceptCases[] = {
    {"root alone selects the whole message", "$", {}},
    {"dot notation", "$.a.b", {name("a"), name("b")}},
    {"single-quoted brackets", "$['a']['b']", {name("a"), name("b")}},
    {"double-quoted brackets", "$[\"a\"][\"b\"]", {name("a"), name("b")}},
    {"blank space after root, between segments, inside brackets", "$ .a [ 'b' ]", {name("a"), name("b")}},
    {"all four blank bytes", "$\t.a\n[\r'b' ]", {name("a"), name("b")}},
    {"blank space ends a shorthand", "$.a .b", {name("a"), name("b")}},
    {"names and indices mixed", "$.a[0].b[12]", {name("a"), index(0), name("b"), index(12)}},
    {"minus zero is index zero", "$[-0]", {index(0)}},
    {"blank space around an index", "$[ 7\t]", {index(7)}},
    {"largest index", "$[9007199254740991]", {index(9007199254740991)}},
    {"shorthand with underscore and digits", "$._x9", {name("_x9")}},
    {"shorthand with three- and four-byte UTF-8", "$.\xE4\xB8\xAD\xF0\x9F\x98\x80", {name("\xE4\xB8\xAD\xF0\x9F\x98\x80")}},
    {"shorthand with U+FFFF", "$.\xEF\xBF\xBF", {name("\xEF\xBF\xBF")}},
    {"empty quoted name", "$['']", {name("")}},
    {"path syntax inside a literal is just text", "$['a.b[c]$ *']", {name("a.b[c]$ *")}},
    {"other quote unescaped in single quotes", "$['a\"b']", {name("a\"b")}},
    {"every short escape in single quotes", "$['\\'\\\"\\/\\\\\\b\\f\\n\\r\\t']", {name("'\"/\\\b\f\n\r\t")}},
    {"escaped own quote in double quotes", "$[\"\\\"\"]", {name("\"")}},
    {"unicode escape of NUL", "$['\\u0000']", {name("\0"s)}},
    {"unicode escape, both hex cases", "$['\\u00e9\\u00E9']", {name("\xC3\xA9\xC3\xA9")}},
    {"surrogate pair gives one four-byte code point", "$['\\uD83D\\uDE00']", {name("\xF0\x9F\x98\x80")}},
    {"raw UTF-8 in a literal", "$['\xF0\x9F\x98\x80']", {name("\xF0\x9F\x98\x80")}},
    // Malformed sequences of the right length decode to U+FFFD, which a name may hold.
    {"overlong form", "$.\xC0\x80", {name("\xEF\xBF\xBD")}},
    {"encoded surrogate", "$['\xED\xA0\x80']", {name("\xEF\xBF\xBD")}},
    {"value above U+10FFFF", "$.\xF4\x90\x80\x80", {name("\xEF\xBF\xBD")}},
    {"byte 0xF8", "$.a\xF8", {name("a\xEF\xBF\xBD")}},
};

TEST(JsonPathParse, AcceptsSupportedPaths) {
  for (const auto& c : kAcceptCases) {
    SCOPED_TRACE(std::string(c.why) + ": " + printable(c.text));
    try {
      EXPECT_EQ(parse(c.text), c.expected);
    } catch (const std::exception& e) {
      ADD_FAILURE() << "refused with " << e.what();
    }
  }
}

enum class Kind { Syntax, Unsupported };

struct RefuseCase {
  std::string text;
  Kind kind;
  std::string message;
};

const RefuseCase kRefuseCases[] = {
    // Root and segment starts.
    {"", Kind::Syntax, "invalid JSON path"},
    {"a", Kind::Syntax, "expected root identifier '$' at 0, found a"},
    {" $", Kind::Syntax, "expected root identifier '$' at 0, found  "},
    {"$a", Kind::Syntax, "invalid JSON path segment start character 'a' at index 1"},
    {"$.a]", Kind::Syntax, "invalid character in member name shorthand starting at 4"},
    {"$['a']x", Kind::Syntax, "invalid JSON path segment start character 'x' at index 6"},
    // Ends of text.
    {"$.a ", Kind::Syntax, "unexpected blank space at the end of JSON path"},
    {"$ ", Kind::Syntax, "unexpected blank space at the end of JSON path"},
    {"$['a']\n", Kind::Syntax, "unexpected blank space at the end of JSON path"},
    {"$.", Kind::Syntax, "unexpected JSON path termination"},
    {"$[", Kind::Syntax, "unexpected JSON path termination"},
    {"$[0", Kind::Syntax, "unexpected JSON path termination"},
    {"$['a'", Kind::Syntax, "unexpected JSON path termination"},
    // Member-name shorthand.
    {"$. a", Kind::Syntax, "blank space at the start of JSON path member name shorthand at 2"},
    {"$.[0]", Kind::Syntax, "empty member name shorthand at 2"},
    {"$.1a", Kind::Syntax, "invalid character at the beginning of member name shorthand starting at 3"},
    {"$.\x7F", Kind::Syntax, "invalid character at the beginning of member name shorthand starting at 3"},
    {"$.\xC3\xA9$", Kind::Syntax, "invalid character in member name shorthand starting at 5"},
    {"$.a\0"s, Kind::Syntax, "invalid character in member name shorthand starting at 4"},
    // UTF-8 sequences cut short.
    {"$.\xC3", Kind::Syntax, "early termination of UTF8 code unit sequence"},
    {"$['\xF0\x9F\x98", Kind::Syntax, "early termination of UTF8 code unit sequence"},
    {"$.\xC3" "A", Kind::Syntax, "invalid UTF8 code unit sequence at 3"},
    {"$['\xE2\x82']", Kind::Syntax, "invalid UTF8 code unit sequence at 5"},
    // String literals.
    {"$['a", Kind::Syntax, "unterminated string literal at 4"},
    {"$['a\\'", Kind::Syntax, "unterminated string literal at 6"},
    {"$['\x01']", Kind::Syntax, "invalid unescaped string literal code point at 4"},
    {"$['a\0']"s, Kind::Syntax, "invalid unescaped string literal code point at 5"},
    {"$['\\", Kind::Syntax, "invalid JSON path string literal escape sequence at 3"},
    {"$[\"a\\'\"]", Kind::Syntax, "invalid JSON path string literal escape sequence at 4"},
    // Unicode escapes.
    {"$['\\u12", Kind::Syntax, "invalid JSON path Unicode escape sequence at 3"},
    {"$['\\u12']", Kind::Syntax, "invalid JSON path hex digit at 7"},
    {"$['\\uG000']", Kind::Syntax, "invalid JSON path hex digit at 5"},
    {"$['\\uDC00']", Kind::Syntax, "expected none or high surrogate JSON path Unicode escape sequence at 9"},
    {"$['\\uD83D']", Kind::Syntax, "invalid JSON path Unicode escape sequence at 9"},
    {"$['\\uD83Dx23456']", Kind::Syntax, "invalid JSON path Unicode escape sequence at 9"},
    {"$['\\uD83D\\uDG00']", Kind::Syntax, "invalid JSON path hex digit at 12"},
    {"$['\\uD83D\\u0041']", Kind::Syntax, "expected low surrogate JSON path escape sequence after high surrogate at 9"},
    {"$['\\uD83D\\uD83D']", Kind::Syntax, "expected low surrogate JSON path escape sequence after high surrogate at 9"},
    // Index selectors.
    {"$[01]", Kind::Syntax, "leading zero detected in index selector at 2"},
    {"$[-01]", Kind::Unsupported, "use of unsupported negative index in JSON path index selector at 5"},
    {"$[9007199254740992]", Kind::Syntax, "out of range value for JSON path index selector at 18"},
    {"$[9223372036854775808]", Kind::Syntax,
     "Invalid index in JSON path index selector at index 2, reading number failed with error "
     "\"Numerical result out of range\""},
    {"$[-]", Kind::Syntax,
     "Invalid index in JSON path index selector at index 2, reading number failed with error \"Invalid argument\""},
    {"$[1:2]", Kind::Unsupported, "use of unsupported JSON path slice selector at 2"},
    {"$[0,1]", Kind::Syntax, "unexpected token in JSON path index selector at 2"},
    {"$[-1,0]", Kind::Syntax, "unexpected token in JSON path index selector at 2"},  // look-ahead comes first
    // Other selectors and segments.
    {"$[:2]", Kind::Unsupported, "JSON path slice selectors are not supported"},
    {"$['a','b']", Kind::Unsupported, "JSON path multi-selector bracket selection is not supported"},
    {"$[*]", Kind::Unsupported, "JSON path wildcard selectors are not supported"},
    {"$.*", Kind::Unsupported, "JSON path wildcard selectors are not supported"},
    {"$..a", Kind::Unsupported, "JSON path descendant segments are not supported"},
    {"$[?x]", Kind::Unsupported, "JSON path filter selectors are not supported"},
    {"$[x]", Kind::Syntax, "malformed JSON path selector at index 2"},
    {"$['a' x]", Kind::Syntax, "unexpected closing bracket ']' at index 6"},
};

TEST(JsonPathParse, RefusesWithExactTypeAndMessage) {
  for (const auto& c : kRefuseCases) {
    SCOPED_TRACE(printable(c.text));
    try {
      parse(c.text);
      ADD_FAILURE() << "accepted";
    } catch (const SyntaxError& e) {
      EXPECT_EQ(c.kind, Kind::Syntax) << "SyntaxError " << e.what();
      EXPECT_EQ(e.what(), c.message);
    } catch (const UnsupportedError& e) {
      EXPECT_EQ(c.kind, Kind::Unsupported) << "UnsupportedError " << e.what();
      EXPECT_EQ(e.what(), c.message);
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

TEST(JsonPathEvaluate, SelectsByReferenceIntoTheMessage) {
  const JsonValue message = makeMessage();
  const auto& root = std::get<JsonValue::kObject>(message.variant());
  const JsonValue& bValue = std::get<JsonValue::kObject>(root[0].second.variant())[0].second;
  const auto& b = std::get<JsonValue::kArray>(bValue.variant());

  EXPECT_EQ(&evaluate(message, parse("$")), &message);
  EXPECT_EQ(&evaluate(message, parse("$.a.b")), &bValue);
  EXPECT_EQ(&evaluate(message, parse("$.a.b[1]")), &b[1]);
  EXPECT_EQ(&evaluate(message, parse("$['a'][\"b\"][2].c")),
            &std::get<JsonValue::kObject>(b[2].variant())[0].second);
  // Members are searched in document order: a repeated name selects its first occurrence.
  EXPECT_EQ(&evaluate(message, parse("$.x")), &root[1].second);
  EXPECT_EQ(&evaluate(message, parse("$['\\u00e9']")), &root[3].second);
  std::string failure;
  EXPECT_EQ(find(message, parse("$.a.b[1]"), failure), &b[1]);
  EXPECT_EQ(failure, "");
}

TEST(JsonPathEvaluate, ReportsMismatchesBetweenPathAndMessage) {
  const JsonValue message = makeMessage();
  const struct {
    const char* path;
    const char* message;
  } kCases[] = {
      {"$[0]", "the JSON element is not an array"},
      {"$.a.b.c", "the JSON element is not an object"},
      {"$.a.b[0].c", "the JSON element is not an object"},  // a number is not an object
      {"$.a.b[2][0]", "the JSON element is not an array"},
      {"$.a.b[3]", "the array index \"3\" is out of range"},
      {"$.a.b[9007199254740991]", "the array index \"9007199254740991\" is out of range"},
      {"$.a.x", "failed to find a JSON object member called \"x\""},
      {"$.A", "failed to find a JSON object member called \"A\""},  // names compare case-sensitively
      // Names compare byte for byte: "e" and a combining acute accent is not the precomposed letter.
      {"$['e\\u0301']", "failed to find a JSON object member called \"e\xCC\x81\""},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.path);
    const Path path = parse(c.path);
    // The form that does not throw tells the same.
    std::string failure;
    EXPECT_EQ(find(message, path, failure), nullptr);
    EXPECT_EQ(failure, c.message);
    try {
      evaluate(message, path);
      ADD_FAILURE() << "selected a value";
    } catch (const std::runtime_error& e) {
      EXPECT_TRUE(typeid(e) == typeid(std::runtime_error)) << "not a plain std::runtime_error";
      EXPECT_STREQ(e.what(), c.message);
    }
  }

  const JsonValue scalars[] = {JsonValue(std::string("a")), JsonValue(), JsonValue(1.5), JsonValue(false)};
  for (const auto& scalar : scalars) {
    SCOPED_TRACE(scalar.index());
    EXPECT_EQ(&evaluate(scalar, {}), &scalar);
    EXPECT_THROW(evaluate(scalar, parse("$.a")), std::runtime_error);
    EXPECT_THROW(evaluate(scalar, parse("$[0]")), std::runtime_error);
  }
}

}  // namespace
}  // namespace corvane::plugins::mqttClient::jsonPath
