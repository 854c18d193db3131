#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "corvane/utils/json.hpp"

namespace {

using namespace corvane::utils::json::decoder;
using namespace std::chrono_literals;

// The whole value as tokens between blanks, numbers tagged with the kind the decoder chose (i/u/d).
std::string dump(Value value) {
  switch (value.kind()) {
    case Value::Kind::kNull: value.asNull(); return "null";
    case Value::Kind::kBoolean: return value.asBoolean() ? "true" : "false";
    case Value::Kind::kNumber:
      switch (value.numberKind()) {
        case NumberKind::kSigned: return "i" + std::to_string(value.asInt64());
        case NumberKind::kUnsigned: return "u" + std::to_string(value.asUInt64());
        case NumberKind::kDouble: return "d" + std::to_string(value.asDouble());
      }
      break;
    case Value::Kind::kString: return "\"" + std::string(value.asString()) + "\"";
    case Value::Kind::kArray: {
      std::string text = "[";
      for (Value element : value.asArray()) text += " " + dump(element);
      return text + " ]";
    }
    case Value::Kind::kObject: {
      std::string text = "{";
      for (Member member : value.asObject()) text += " " + std::string(member.name.view()) + ": " + dump(member.value);
      return text + " }";
    }
  }
  return "?";
}

// The parts Value::walk hands out, in document order, as dump writes them.
struct Dumper final : Handler {
  std::string text;
  std::vector<Name> names;
  void put(const std::string& token) { text += (text.empty() ? "" : " ") + token; }
  void beginObject() override { put("{"); }
  void memberName(const Name& name) override {
    names.push_back(name);
    put(std::string(name.view()) + ":");
  }
  void endObject() override { put("}"); }
  void beginArray() override { put("["); }
  void endArray() override { put("]"); }
  void string(std::string_view value) override { put("\"" + std::string(value) + "\""); }
  void signedNumber(std::int64_t value) override { put("i" + std::to_string(value)); }
  void unsignedNumber(std::uint64_t value) override { put("u" + std::to_string(value)); }
  void doubleNumber(double value) override { put("d" + std::to_string(value)); }
  void boolean(bool value) override { put(value ? "true" : "false"); }
  void null() override { put("null"); }
};

// Decodes the whole text, reading it value by value or with Value::walk; the text of the first
// exception, or "ok: " and the dump.
std::string decode(std::string_view text, bool walking = false) {
  try {
    Document document;
    Value root = document.read(text);
    Dumper dumper;
    if (walking) root.walk(dumper);
    std::string result = walking ? dumper.text : dump(root);
    document.finish();
    return "ok: " + result;
  } catch (const SyntaxError& e) {
    return std::string("SyntaxError ") + e.what();
  } catch (const std::exception& e) {
    return std::string("other ") + e.what();
  }
}
std::string walked(std::string_view text) { return decode(text, true); }

// Empty arrays nested `levels` deep, as dump writes them.
std::string nested(int levels) {
  std::string text;
  for (int i = 0; i < levels; ++i) text += "[ ";
  for (int i = 1; i < levels; ++i) text += "] ";
  return text + "]";
}

// "name@L:C" for every member name and "value@L:C" for every scalar, in document order.
void collectLocations(Value value, const std::string& path, std::vector<std::string>& out) {
  auto at = [](Location l) { return "@" + l.toString(); };
  if (value.isObject()) {
    Object object = value.asObject();
    out.push_back(path + "{" + at(object.location()));
    for (Member member : object) {
      const std::string name(member.name.view());
      out.push_back(path + "/" + name + " name" + at(member.name.location()));
      collectLocations(member.value, path + "/" + name, out);
    }
  } else if (value.isArray()) {
    Array array = value.asArray();
    out.push_back(path + "[" + at(array.location()));
    int index = 0;
    for (Value element : array) collectLocations(element, path + "/" + std::to_string(index++), out);
  } else {
    out.push_back(path + at(value.location()));
    value.skip();
  }
}

const char kLocatedText[] =
    "{\n"
    "  \"a\": 1,\n"
    "  \"b\" :\t[true,\n"
    "\t\t{\"c\": null}],\n"
    "  \"\\u00e9\": \"x\"}";

TEST(JsonDecoder, LocationsOfNamesAndValuesFromAnOrigin) {
  Document document;
  std::vector<std::string> seen;
  collectLocations(document.read(kLocatedText, {10, 5}), "", seen);
  document.finish();
  // Line 1 starts at column 5 of line 10; later lines keep their own columns.
  const std::vector<std::string> expected = {
      "{@10:5",     "/a name@11:3",     "/a@11:8",     "/b name@12:3",        "/b[@12:9",       "/b/0@12:10",
      "/b/1{@13:3", "/b/1/c name@13:4", "/b/1/c@13:9", "/\xC3\xA9 name@14:3", "/\xC3\xA9@14:13"};
  EXPECT_EQ(seen, expected);
}

TEST(JsonDecoder, RawJsonIsTheValueAsWrittenAndKeepsItsPlace) {
  Document outer;
  Array array = outer.read("[0, {\"x\": [1,\n   2]} ,\"s\\n\" ,3.50e1,null ]").asArray();
  std::vector<std::string> raw;
  Location at;
  for (Value element : array) {
    if (raw.size() == 1) at = element.location();
    raw.emplace_back(element.rawJson());
  }
  EXPECT_EQ(raw, (std::vector<std::string>{"0", "{\"x\": [1,\n   2]}", "\"s\\n\"", "3.50e1", "null"}));
  Document again;
  std::vector<std::string> seen;
  collectLocations(again.read(raw[1], at), "", seen);
  EXPECT_EQ(seen, (std::vector<std::string>{"{@1:5", "/x name@1:6", "/x[@1:11", "/x/0@1:12", "/x/1@2:4"}));
}

TEST(JsonDecoder, LocationsStayRightWhenAskedAgainLater) {
  Document document;
  Object object = document.read("{\"a\":\n [1,\n 2],\n \"b\": 3}").asObject();
  auto it = object.begin();
  for (Value element : (*it).value.asArray()) element.skip();  // reading moves on to line 3
  const Member again = *it;
  EXPECT_EQ(again.name.location(), (Location{1, 2}));
  EXPECT_EQ(again.value.location(), (Location{2, 2}));
  ++it;
  EXPECT_EQ((*it).name.location(), (Location{4, 2}));
}

TEST(JsonDecoder, DuplicateMembersAreReportedInDocumentOrder) {
  Document document;
  std::vector<std::string> seen;
  for (Member member : document.read("{\"a\":1,\"b\":2,\"a\":3}").asObject()) {
    seen.push_back(std::string(member.name.view()) + "=" + std::to_string(member.value.asInt64()) + "@" +
                   member.name.location().toString());
  }
  EXPECT_EQ(seen, (std::vector<std::string>{"a=1@1:2", "b=2@1:8", "a=3@1:14"}));
}

struct TextCase {
  const char* name;
  std::string text;
  std::string expected;
};

TEST(JsonDecoder, DecodesWellFormedTextAndRefusesTheRestWithItsPlace) {
  const TextCase cases[] = {
      {"scalar root", " 42 ", "ok: i42"},
      {"empty containers", "{\"a\":[],\"b\":{}}", "ok: { a: [ ] b: { } }"},
      {"escapes decoded", R"(["a\"\\\/\b\f\n\r\t", "\u00e9\ud83d\ude00"])",
       "ok: [ \"a\"\\/\b\f\n\r\t\" \"\xC3\xA9\xF0\x9F\x98\x80\" ]"},
      {"U+D583 is no surrogate", R"("\ud583d")",
       "ok: \"\xED\x96\x83"
       "d\""},
      {"escaped NUL kept", R"("a\u0000b")", std::string("ok: \"a\0b\"", 9)},
      {"byte order mark ignored", "\xEF\xBB\xBF[1]", "ok: [ i1 ]"},
      {"1024 levels", std::string(1024, '[') + std::string(1024, ']'), "ok: " + nested(1024)},
      {"empty", "", "SyntaxError 1:1: empty JSON text"},
      {"blanks only", " \n ", "SyntaxError 2:2: empty JSON text"},
      {"trailing value", "{} x", "SyntaxError 1:4: unexpected content after JSON value"},
      {"missing comma", "[1 2]", "SyntaxError 1:4: expected ',' or ']' after array element, found \"2\""},
      {"trailing comma", "[1,]", "SyntaxError 1:4: expected JSON value, found ']'"},
      {"trailing member comma", "{\"a\":1,}", "SyntaxError 1:8: expected member name string, found '}'"},
      {"number as name", "{1:2}", "SyntaxError 1:2: expected member name string, found \"1\""},
      {"missing colon", "{\"a\" 1}", "SyntaxError 1:6: expected ':' after member name, found \"1\""},
      {"unclosed array", "[1,\n", "SyntaxError 2:1: expected JSON value, found end of JSON text"},
      {"unclosed object", "{\"a\":1",
       "SyntaxError 1:7: expected ',' or '}' after object member, found end of JSON text"},
      {"bad literal", "[tru]", "SyntaxError 1:2: invalid JSON value \"tru\""},
      {"value glued to string", "[1\"a\"]", "SyntaxError 1:2: invalid JSON number \"1\\\"a\\\"\""},
      {"leading zero", "01", "SyntaxError 1:1: invalid JSON number \"01\""},
      {"bare minus", "[-]", "SyntaxError 1:2: invalid JSON number \"-\""},
      {"fraction without digits", "1.", "SyntaxError 1:1: invalid JSON number \"1.\""},
      {"unterminated string", "[\"abc]", "SyntaxError 1:2: unterminated JSON string"},
      {"raw control character", "[\"a\tb\"]",
       "SyntaxError 1:4: control character in JSON string (must be escaped)"},
      {"bad escape", "[\"ab\\x\"]", "SyntaxError 1:5: invalid escape sequence in JSON string"},
      {"short unicode escape", "\"\\u12\"", "SyntaxError 1:2: invalid \\u escape sequence in JSON string"},
      {"lone high surrogate", "\"a\\ud800b\"", "SyntaxError 1:3: unpaired UTF-16 surrogate in JSON string"},
      {"high surrogate before another escape", R"("\ud800\u0041")",
       "SyntaxError 1:2: unpaired UTF-16 surrogate in JSON string"},
      {"lone low surrogate", "\"\\udc00\"", "SyntaxError 1:2: unpaired UTF-16 surrogate in JSON string"},
      {"invalid UTF-8 in value", "[\"ab\xFF\"]", "SyntaxError 1:5: invalid UTF-8 in JSON text"},
      {"overlong UTF-8 in name", "{\"\xC0\xAF\":1}", "SyntaxError 1:3: invalid UTF-8 in JSON text"},
      {"1025 levels", std::string(1025, '[') + std::string(1025, ']'),
       "SyntaxError 1:1025: JSON text nested too deeply (more than 1024 levels)"},
      {"100000 open brackets", std::string(100000, '['),
       "SyntaxError 1:1025: JSON text nested too deeply (more than 1024 levels)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(decode(c.text), c.expected);
    EXPECT_EQ(walked(c.text), c.expected) << "walked";
  }
}

TEST(JsonDecoder, SkippingStillChecksEveryToken) {
  const TextCase cases[] = {
      {"bad literal inside", "[{\"a\": [1, {\"b\": nul}]}]", "1:18: invalid JSON value \"nul\""},
      {"bad escape inside", "[[\"\\q\"]]", "1:4: invalid escape sequence in JSON string"},
      {"mismatched brackets", "[{\"a\": 1]]", "1:9: expected ',' or '}' after object member, found ']'"},
      {"deep nesting", "[" + std::string(100000, '[') + std::string(100000, ']') + "]",
       "1:1025: JSON text nested too deeply (more than 1024 levels)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    for (bool raw : {false, true}) {
      Document document;
      Value root = document.read(c.text);
      Array array = root.asArray();
      try {
        for (Value element : array) raw ? static_cast<void>(element.rawJson()) : element.skip();
        document.finish();
        ADD_FAILURE() << "accepted";
      } catch (const SyntaxError& e) {
        EXPECT_STREQ(e.what(), c.expected.c_str());
      }
    }
  }
}

TEST(JsonDecoder, PartlyReadContainersAreFinishedByTheOuterIterator) {
  Document document;
  std::vector<std::string> seen;
  for (Member member :
       document.read(R"({"a": {"x": [1, 2], "y": 3}, "b": [4, [5, 6], 7], "c": 8})").asObject()) {
    seen.push_back(std::string(member.name.view()));
    if (member.name == "a") {
      Object inner = member.value.asObject();
      Member first = *inner.begin();  // read "x" only, leave its array unread
      seen.push_back(std::string(first.name.view()));
    } else if (member.name == "b") {
      Array inner = member.value.asArray();
      auto it = inner.begin();
      ++it;
      seen.push_back(std::to_string((*(*it).asArray().begin()).asInt64()));  // 5, then abandon
    } else {
      seen.push_back(std::to_string(member.value.asInt64()));
    }
  }
  document.finish();
  EXPECT_EQ(seen, (std::vector<std::string>{"a", "x", "b", "5", "c", "8"}));
}

TEST(JsonDecoder, TypeMismatchesNameBothTypes) {
  struct Case {
    const char* text;
    std::function<void(Value&)> read;
    const char* expected;
  };
  const Case cases[] = {
      {"1", [](Value& v) { v.asString(); }, "1:1: expected JSON string, found JSON number"},
      {"\"1\"", [](Value& v) { v.asInt64(); }, "1:1: expected JSON number, found JSON string"},
      {" null", [](Value& v) { v.asBoolean(); }, "1:2: expected JSON boolean, found JSON null"},
      {"[]", [](Value& v) { v.asObject(); }, "1:1: expected JSON object, found JSON array"},
      {"{}", [](Value& v) { v.asArray(); }, "1:1: expected JSON array, found JSON object"},
      {"false", [](Value& v) { v.asNull(); }, "1:1: expected JSON null, found JSON boolean"},
      {"true", [](Value& v) { v.numberKind(); }, "1:1: expected JSON number, found JSON boolean"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    Document document;
    Value value = document.read(c.text);
    try {
      c.read(value);
      ADD_FAILURE() << "accepted";
    } catch (const TypeMismatchError& e) {
      EXPECT_STREQ(e.what(), c.expected);
    }
    // A refused conversion leaves the value unread.
    value.skip();
    document.finish();
  }
}

TEST(JsonDecoder, NumberKindsAtTheIntegerBoundaries) {
  struct Case {
    const char* text;
    NumberKind kind;
    const char* int64Error;   // nullptr: asInt64 gives the value
    const char* uint64Error;  // likewise for asUInt64
  };
  constexpr const char* kSignedRange = "number out of range for signed 64-bit integer";
  constexpr const char* kUnsignedRange = "number out of range for unsigned 64-bit integer";
  const Case cases[] = {
      {"9223372036854775807", NumberKind::kSigned, nullptr, nullptr},
      {"-9223372036854775808", NumberKind::kSigned, nullptr, kUnsignedRange},
      {"9223372036854775808", NumberKind::kUnsigned, kSignedRange, nullptr},
      {"18446744073709551615", NumberKind::kUnsigned, kSignedRange, nullptr},
      {"18446744073709551616", NumberKind::kDouble, kSignedRange, kUnsignedRange},
      {"-0", NumberKind::kSigned, nullptr, nullptr},
      {"1.0", NumberKind::kDouble, "expected integer, found 1.0", "expected integer, found 1.0"},
      {"1e2", NumberKind::kDouble, "expected integer, found 1e2", "expected integer, found 1e2"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    for (int conversion = 0; conversion < 2; ++conversion) {
      Document document;
      Value value = document.read(c.text);
      EXPECT_EQ(value.numberKind(), c.kind);
      const char* error = conversion == 0 ? c.int64Error : c.uint64Error;
      try {
        const std::string text =
            conversion == 0 ? std::to_string(value.asInt64()) : std::to_string(value.asUInt64());
        EXPECT_EQ(error, nullptr) << "gave " << text;
        EXPECT_EQ(text, std::string(c.text) == "-0" ? "0" : c.text);
      } catch (const RangeError& e) {
        EXPECT_EQ(e.message(), error == nullptr ? "no error" : error);
      }
    }
  }
}

TEST(JsonDecoder, NumbersInTheKindTheirTextCallsFor) {
  const std::string numbers = "[9223372036854775807, -9223372036854775808, 9223372036854775808, "
                              "18446744073709551616, -9223372036854775809, -0, 0.5, -2.5e-3, 1e-400]";
  for (bool walking : {false, true}) {
    EXPECT_EQ(decode(numbers, walking),
              "ok: [ i9223372036854775807 i-9223372036854775808 u9223372036854775808 d18446744073709551616.000000 "
              "d-9223372036854775808.000000 i0 d0.500000 d-0.002500 d0.000000 ]");
    EXPECT_EQ(decode("{\"a\": [1,\n 1e400]}", walking), "other 2:2: number out of range for double");
  }
  // A name's location is worked out when asked for, still right after reading has moved on.
  Document document;
  Dumper dumper;
  document.read("{\"a\": {\n  \"b\": [1,\n 2]},\n\"c\": 3}").walk(dumper);
  std::vector<std::string> seen;
  for (const Name& name : dumper.names) seen.push_back(std::string(name.view()) + "@" + name.location().toString());
  EXPECT_EQ(seen, (std::vector<std::string>{"a@1:2", "b@2:3", "c@4:1"}));
}

TEST(JsonDecoder, DurationsFromSecondsOrUnitStrings) {
  struct Case {
    const char* text;
    std::chrono::nanoseconds expected;
    const char* error;
  };
  const std::string unitless = " (expected a number followed by ns, us, ms, s, min, h or d)";
  const Case cases[] = {
      {"1.5", 1500ms, nullptr},  {"\"100ns\"", 100ns, nullptr}, {"\"10us\"", 10us, nullptr},
      {"\"250ms\"", 250ms, nullptr}, {"\"1.5s\"", 1500ms, nullptr}, {"\"2min\"", 120s, nullptr},
      {"\"1h\"", 3600s, nullptr},  {"\"1d\"", 86400s, nullptr},
      {"\"5\"", 0ns, "1:1: invalid time duration \"5\""},
      {"\"infs\"", 0ns, "1:1: invalid time duration \"infs\""},
      {"1e10", 0ns, "1:1: time duration out of range"},  // does not fit 64-bit nanoseconds
      {"true", 0ns,
       "1:1: expected time duration (JSON number of seconds or JSON string such as \"1.5s\"), found JSON boolean"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    Document document;
    Value value = document.read(c.text);
    try {
      EXPECT_EQ(value.asDuration<std::chrono::nanoseconds>(), c.expected);
      EXPECT_EQ(c.error, nullptr);
    } catch (const Exception& e) {
      const std::string error = c.error == nullptr ? "no error" : c.error;
      EXPECT_EQ(e.what(), error.starts_with("1:1: invalid") ? error + unitless : error);
    }
  }
}

TEST(JsonDecoder, ReadingAValueTwiceIsRefused) {
  Document document;
  Value value = document.read("[1]");
  Array array = value.asArray();
  EXPECT_THROW(value.asArray(), std::logic_error);
  Value element = *array.begin();
  EXPECT_EQ(element.asInt64(), 1);
  EXPECT_THROW(element.asInt64(), std::logic_error);
}

TEST(JsonDecoder, AFailedDocumentKeepsReportingItsError) {
  Document document;
  Array array = document.read("[1, x]").asArray();
  auto it = array.begin();
  EXPECT_THROW(++it, SyntaxError);
  try {
    document.finish();
    ADD_FAILURE() << "finished";
  } catch (const SyntaxError& e) {
    EXPECT_STREQ(e.what(), "1:5: invalid JSON value \"x\"");
  }
}

TEST(JsonDecoder, NestedDocumentsOnOneThreadKeepTheirOwnText) {
  Document outer;
  Array array = outer.read("[\"outer\\n\", \"tail\"]").asArray();
  auto it = array.begin();
  const std::string_view first = (*it).asString();
  {
    Document inner;
    EXPECT_EQ(inner.read("\"inner\\t\"").asString(), "inner\t");
    inner.finish();
  }
  ++it;
  EXPECT_EQ(first, "outer\n");
  EXPECT_EQ((*it).asString(), "tail");
  outer.finish();
}

// Gives its bytes a few at a time and tells no size, like a socket or a pipe.
class TrickleStream final : public corvane::utils::io::InputStream {
 public:
  explicit TrickleStream(std::string text) : text_(std::move(text)) {}
  std::size_t read(char* data, std::size_t count) override {
    const std::size_t n = std::min({count, std::size_t{7}, text_.size() - position_});
    std::memcpy(data, text_.data() + position_, n);
    position_ += n;
    return n;
  }
  std::string description() const override { return "trickle"; }

 private:
  std::string text_;
  std::size_t position_ = 0;
};

TEST(JsonDecoder, ReadsWholeStreamsOfAnySize) {
  std::string text = "[";
  for (int i = 0; i < 20000; ++i) text += std::to_string(i) + (i + 1 < 20000 ? "," : "]");
  TrickleStream trickle(text);
  corvane::utils::io::MemoryInputStream memory(text.data(), text.data() + text.size());
  for (corvane::utils::io::InputStream* stream :
       std::initializer_list<corvane::utils::io::InputStream*>{&trickle, &memory}) {
    SCOPED_TRACE(stream->description());
    Document document;
    std::int64_t sum = 0, count = 0;
    for (Value element : document.read(*stream).asArray()) {
      sum += element.asInt64();
      ++count;
    }
    document.finish();
    EXPECT_EQ(count, 20000);
    EXPECT_EQ(sum, 20000LL * 19999 / 2);
  }
}

}  // namespace
