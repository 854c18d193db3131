#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <tuple>
#include <string>
#include <utility>
#include <vector>

#include "corvane/utils/json.hpp"

namespace {

using namespace corvane::utils::json::decoder;

// The whole value as tokens between blanks, numbers tagged with the kind the decoder chose (i/u/d).
// `located`: every value and name with its location, and members called "raw" as their text.
std::string dump(Value value, bool located = false) {
  const std::string at = located ? value.location().toString() + " " : "";
  switch (value.kind()) {
    case Value::Kind::kNull: value.asNull(); return at + "null";
    case Value::Kind::kBoolean: return at + (value.asBoolean() ? "true" : "false");
    case Value::Kind::kNumber:
      switch (value.numberKind()) {
        case NumberKind::kSigned: return at + "i" + std::to_string(value.asInt64());
        case NumberKind::kUnsigned: return at + "u" + std::to_string(value.asUInt64());
        case NumberKind::kDouble: return at + "d" + std::to_string(value.asDouble());
      }
      break;
    case Value::Kind::kString: return at + "\"" + std::string(value.asString()) + "\"";
    case Value::Kind::kArray: {
      Array array = value.asArray();
      std::string text = (located ? array.location().toString() + " " : "") + "[";
      for (Value element : array) text += " " + dump(element, located);
      return text + " ]";
    }
    case Value::Kind::kObject: {
      Object object = value.asObject();
      std::string text = (located ? object.location().toString() + " " : "") + "{";
      for (Member member : object) {
        text += " " + std::string(member.name.view()) + (located ? "@" + member.name.location().toString() : "") + ": ";
        text += located && member.name == "raw" ? std::string(member.value.rawJson()) : dump(member.value, located);
      }
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

// How a test reads the whole text: value by value, with Value::walk, skipping it, or as raw text.
enum class Mode { read, walk, skip, raw };

// The text of the first exception, or "ok: " and what was read (nothing when skipped). `located`:
// the dump with locations; a walk's names follow it with theirs, asked for after the walk (they stay
// valid while the document lives).
std::string decode(std::string_view text, Mode mode = Mode::read, bool located = false,
                   std::size_t window = Document::kIndexWindow) {
  try {
    Document document(window);
    Value root = document.read(text);
    Dumper dumper;
    std::string result;
    if (mode == Mode::read) result = dump(root, located);
    if (mode == Mode::walk) root.walk(dumper);
    if (mode == Mode::skip) root.skip();
    if (mode == Mode::raw) root.rawJson();
    for (const Name& name : dumper.names) {
      if (located) result += " " + std::string(name.view()) + "@" + name.location().toString();
    }
    document.finish();
    return "ok: " + dumper.text + result;
  } catch (const SyntaxError& e) {
    return std::string("syntax ") + e.what();
  } catch (const std::exception& e) {
    return std::string("other ") + e.what();
  }
}

// Empty arrays nested `levels` deep, as dump writes them.
std::string nested(int levels) {
  std::string text;
  for (int i = 0; i < levels; ++i) text += "[ ";
  for (int i = 1; i < levels; ++i) text += "] ";
  return text + "]";
}

TEST(JsonDecoder, LocationsFromAnOriginAndRawJsonThatKeepsItsPlace) {
  Document document;
  // Line 1 starts at column 5 of line 10; later lines keep their own columns.
  EXPECT_EQ(dump(document.read("{\n  \"a\": 1,\n  \"b\" :\t[true,\n\t\t{\"c\": null}],\n  \"\\u00e9\": \"x\"}", {10, 5}), true),
            "10:5 { a@11:3: 11:8 i1 b@12:3: 12:9 [ 12:10 true 13:3 { c@13:4: 13:9 null } ] \xC3\xA9@14:3: 14:13 \"x\" }");
  document.finish();

  Document outer;
  std::vector<std::string> raw;
  Location at;
  for (Value element : outer.read("[0, {\"x\": [1,\n   2]} ,\"s\\n\" ,3.50e1,null ]").asArray()) {
    if (raw.size() == 1) at = element.location();
    raw.emplace_back(element.rawJson());
  }
  EXPECT_EQ(raw, (std::vector<std::string>{"0", "{\"x\": [1,\n   2]}", "\"s\\n\"", "3.50e1", "null"}));
  Document again;
  EXPECT_EQ(dump(again.read(raw[1], at), true), "1:5 { x@1:6: 1:11 [ 1:12 i1 2:4 i2 ] }");
  EXPECT_EQ(decode("{\"a\": {\n  \"b\": [1,\n 2]},\n\"c\": 3}", Mode::walk, true),
            "ok: { a: { b: [ i1 i2 ] } c: i3 } a@1:2 b@2:3 c@4:1");
}

TEST(JsonDecoder, DecodesWellFormedTextAndRefusesTheRestWithItsPlace) {
  const std::string kDeep = "syntax 1:1025: JSON text nested too deeply (more than 1024 levels)";
  const std::string kUtf8 = ": invalid UTF-8 in JSON text", kSurrogate = ": unpaired UTF-16 surrogate in JSON string";
  const std::pair<std::string, std::string> cases[] = {
      {" 42 ", "ok: i42"},  {"{\"a\":[],\"b\":{}}", "ok: { a: [ ] b: { } }"},  {"\xEF\xBB\xBF[1]", "ok: [ i1 ]"},
      {"{\"a\":1,\"b\":2,\"a\":3}", "ok: { a: i1 b: i2 a: i3 }"},  // duplicates kept, in document order
      {R"(["a\"\\\/\b\f\n\r\t", "\u00e9\ud83d\ude00"])", "ok: [ \"a\"\\/\b\f\n\r\t\" \"\xC3\xA9\xF0\x9F\x98\x80\" ]"},
      {R"("\ud583d")", "ok: \"\xED\x96\x83" "d\""},  {R"("a\u0000b")", std::string("ok: \"a\0b\"", 9)},
      {"[9223372036854775807, -9223372036854775808, 9223372036854775808, 18446744073709551616, "
       "-9223372036854775809, -0, 0.5, -2.5e-3, 1e-400]",
       "ok: [ i9223372036854775807 i-9223372036854775808 u9223372036854775808 d18446744073709551616.000000 "
       "d-9223372036854775808.000000 i0 d0.500000 d-0.002500 d0.000000 ]"},
      {"{\"a\": [1,\n 1e400]}", "other 2:2: number out of range for double"},
      {std::string(1024, '[') + std::string(1024, ']'), "ok: " + nested(1024)},
      {"", "syntax 1:1: empty JSON text"},  {" \n ", "syntax 2:2: empty JSON text"},
      {"{} x", "syntax 1:4: unexpected content after JSON value"},
      {"[1 2]", "syntax 1:4: expected ',' or ']' after array element, found \"2\""},
      {"[1,]", "syntax 1:4: expected JSON value, found ']'"},
      {"{\"a\":1,}", "syntax 1:8: expected member name string, found '}'"},
      {"{\"a\" 1}", "syntax 1:6: expected ':' after member name, found \"1\""},
      {"[1,\n", "syntax 2:1: expected JSON value, found end of JSON text"},
      {"[{\"a\": 1]]", "syntax 1:9: expected ',' or '}' after object member, found ']'"},
      {"{\"a\":1", "syntax 1:7: expected ',' or '}' after object member, found end of JSON text"},
      {"[tru]", "syntax 1:2: invalid JSON value \"tru\""},  {"01", "syntax 1:1: invalid JSON number \"01\""},
      {"[1\"a\"]", "syntax 1:2: invalid JSON number \"1\\\"a\\\"\""},  {"1.", "syntax 1:1: invalid JSON number \"1.\""},
      {"[\"abc]", "syntax 1:2: unterminated JSON string"},
      {"[\"a\tb\"]", "syntax 1:4: control character in JSON string (must be escaped)"},
      {"[\"ab\\x\"]", "syntax 1:5: invalid escape sequence in JSON string"},
      {"\"\\u12\"", "syntax 1:2: invalid \\u escape sequence in JSON string"},
      {"\"a\\ud800b\"", "syntax 1:3" + kSurrogate},  {R"("\ud800\u0041")", "syntax 1:2" + kSurrogate},
      {"\"\\udc00\"", "syntax 1:2" + kSurrogate},  {"[\"ab\xFF\"]", "syntax 1:5" + kUtf8},  // and overlong in a name:
      {"{\"\xC0\xAF\":1}", "syntax 1:3" + kUtf8},  {std::string(1025, '[') + std::string(1025, ']'), kDeep},
      {std::string(100000, '['), kDeep},
  };
  for (const auto& [text, expected] : cases) {
    SCOPED_TRACE(text.substr(0, 80));
    // Walking, skipping a value or taking it as text still checks every token.
    const bool syntaxError = expected.starts_with("syntax");
    for (const Mode mode : {Mode::read, Mode::walk, Mode::skip, Mode::raw}) {
      EXPECT_EQ(decode(text, mode), syntaxError || mode < Mode::skip ? expected : "ok: ") << static_cast<int>(mode);
    }
  }
}

TEST(JsonDecoder, PartlyReadContainersAreFinishedAndLocationsStayRightWhenAskedLater) {
  Document document;
  Object object = document.read("{\"a\": {\"x\": [1, 2], \"y\": 3},\n \"b\": [4, [5,\n 6], 7], \"c\": 8}").asObject();
  std::vector<std::string> seen;
  for (auto it = object.begin(); it != object.end(); ++it) {
    Member member = *it;
    if (member.name == "a") seen.emplace_back((*member.value.asObject().begin()).name.view());  // its array unread
    if (member.name == "b") {  // 5, then the arrays are abandoned
      seen.push_back(std::to_string((*(*++member.value.asArray().begin()).asArray().begin()).asInt64()));
    }
    if (member.name == "c") seen.push_back(std::to_string(member.value.asInt64()));
    const Member again = *it;  // asked once reading has moved on, a member's locations are still its own
    seen.push_back(again.name.location().toString() + " " + again.value.location().toString());
  }
  document.finish();
  EXPECT_EQ(seen, (std::vector<std::string>{"x", "1:2 1:7", "5", "2:2 2:7", "8", "3:10 3:15"}));
}

// What a conversion of the whole text gives: the value, or the error's text.
std::string convert(const std::string& text, char to) {
  Document document;
  Value value = document.read(text);
  try {
    switch (to) {
      case 'i': return std::to_string(value.asInt64());
      case 'u': return std::to_string(value.asUInt64());
      case 'd': return std::to_string(value.asDuration<std::chrono::nanoseconds>().count());
      case 's': return std::string(value.asString());
      case 'b': return value.asBoolean() ? "true" : "false";
      case 'k': return std::to_string(static_cast<int>(value.numberKind()));
      case 'n': value.asNull(); return "null";
    }
  } catch (const TypeMismatchError& e) {
    value.skip();  // a refused conversion leaves the value unread
    document.finish();
    return e.what();
  } catch (const Exception& e) {
    return e.what();
  }
  return "?";
}

TEST(JsonDecoder, ConversionsGiveTheValueOrSayWhyNot) {
  const std::string kSigned = "1:1: number out of range for signed 64-bit integer";
  const std::string kUnitless = " (expected a number followed by ns, us, ms, s, min, h or d)";
  const std::tuple<std::string, char, std::string> cases[] = {
      {"1", 's', "1:1: expected JSON string, found JSON number"},  {"-0", 'u', "0"},
      {"\"1\"", 'i', "1:1: expected JSON number, found JSON string"},
      {" null", 'b', "1:2: expected JSON boolean, found JSON null"},
      {"false", 'n', "1:1: expected JSON null, found JSON boolean"},
      {"true", 'k', "1:1: expected JSON number, found JSON boolean"},
      {"-9223372036854775808", 'i', "-9223372036854775808"},  {"9223372036854775808", 'i', kSigned},
      {"-9223372036854775808", 'u', "1:1: number out of range for unsigned 64-bit integer"},
      {"9223372036854775808", 'u', "9223372036854775808"},  {"18446744073709551616", 'i', kSigned},
      {"1e2", 'i', "1:1: expected integer, found 1e2"},  {"1.0", 'u', "1:1: expected integer, found 1.0"},
      {"1.5", 'd', "1500000000"},  {"\"1d\"", 'd', "86400000000000"},
      {"\"100ns\"", 'd', "100"},  {"\"10us\"", 'd', "10000"},  // rounded, not 9999
      {"\"5\"", 'd', "1:1: invalid time duration \"5\"" + kUnitless},
      {"\"infs\"", 'd', "1:1: invalid time duration \"infs\"" + kUnitless},
      {"1e10", 'd', "1:1: time duration out of range"},  // does not fit 64-bit nanoseconds
      {"true", 'd', "1:1: expected time duration (JSON number of seconds or JSON string such as \"1.5s\"), "
                    "found JSON boolean"},
  };
  for (const auto& [text, to, expected] : cases) EXPECT_EQ(convert(text, to), expected) << text << " as " << to;
}

// A value is read once; a failed document keeps its error; a document opened meanwhile on the same
// thread leaves the outer one's text alone.
TEST(JsonDecoder, ReadingTwiceIsRefusedAFailureStaysAndNestedDocumentsKeepTheirText) {
  Document document;
  Value value = document.read("[\"outer\\n\", x]");
  Array array = value.asArray();
  EXPECT_THROW(value.asArray(), std::logic_error);
  auto it = array.begin();
  Value element = *it;
  const std::string_view first = element.asString();
  EXPECT_THROW(element.asString(), std::logic_error);
  {
    Document inner;
    EXPECT_EQ(inner.read("\"inner\\t\"").asString(), "inner\t");
    inner.finish();
  }
  EXPECT_EQ(first, "outer\n");
  EXPECT_THROW(++it, SyntaxError);
  try {
    document.finish();
    ADD_FAILURE() << "finished";
  } catch (const SyntaxError& e) {
    EXPECT_STREQ(e.what(), "1:13: invalid JSON value \"x\"");
  }
}

// Gives its bytes a few at a time and tells no size, like a socket or a pipe.
struct TrickleStream final : corvane::utils::io::InputStream {
  std::size_t read(char* data, std::size_t count) override {
    const std::size_t n = text.copy(data, std::min(count, std::size_t{7}), position);
    position += n;
    return n;
  }
  std::string description() const override { return "trickle"; }
  std::string text = "[0";
  std::size_t position = 0;
};

TEST(JsonDecoder, ReadsWholeStreamsOfAnySize) {
  TrickleStream trickle;
  for (int i = 1; i < 20000; ++i) trickle.text.append(",").append(std::to_string(i));
  trickle.text += "]";
  corvane::utils::io::MemoryInputStream memory(trickle.text.data(), trickle.text.data() + trickle.text.size());
  for (corvane::utils::io::InputStream* stream : std::initializer_list<corvane::utils::io::InputStream*>{&trickle, &memory}) {
    SCOPED_TRACE(stream->description());
    Document document;
    std::int64_t sum = 0;
    for (Value element : document.read(*stream).asArray()) sum += element.asInt64();
    document.finish();
    EXPECT_EQ(sum, 20000LL * 19999 / 2);
  }
}

// A text longer than the index window is indexed a window at a time: what is read, where, and
// which fault is reported must not depend on where the windows fall.
TEST(JsonDecoderWindows, EveryWindowReadsAndFailsAsOneIndexDoes) {
  const std::string longText(300, 'x');
  const std::string sample =
      "\xEF\xBB\xBF {\"a\": [1, -2, 18446744073709551615, 2.5e-3, true, false, null],\n"
      "  \"s\": \"tab\\t quote\\\" \\u00e9 \\ud83d\\ude00 \xC3\xA9\", \"long\": \"" + longText +
      "\",\n  \"raw\": {\"x\": [\"\\\\\", {}]}, \"e\\u0073c\": {\"\": []},\n"
      "  \"n\": 123456789012345678901234567890, \"" + longText + "\": \"" + longText + "\\n\"}  ";
  std::vector<std::string> texts = {sample, "[" + std::string(400, ' ') + "7]", "\"" + longText + "\""};
  // Faults at every place: each prefix, and a byte changed here and there into one that breaks
  // the text (a control character, invalid UTF-8, a stray quote or backslash, a letter).
  for (std::size_t length = 0; length < sample.size(); length += 3) texts.push_back(sample.substr(0, length));
  for (const char bad : {'\x01', '\xFF', '"', '\\', 'q'}) {
    for (std::size_t at = 5; at < sample.size(); at += 23) texts.push_back(sample.substr(0, at) + bad + sample.substr(at + 1));
  }
  for (const auto& text : texts) {
    for (const Mode mode : {Mode::read, Mode::walk}) {
      const std::string whole = decode(text, mode, true);
      for (const std::size_t window : {1, 2, 7, 16, 61, 200}) {
        ASSERT_EQ(decode(text, mode, true, window), whole) << window << ", mode " << int(mode) << ": " << text;
      }
    }
  }
}

}  // namespace
