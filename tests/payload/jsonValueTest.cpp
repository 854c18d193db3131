#include "payload/jsonValue.hpp"

#include <cmath>
#include <limits>
#include <string>

#include <gtest/gtest.h>

#include "payload/stringOutputStream.hpp"

namespace corvane::plugins::mqttClient {
namespace {

namespace decoder = utils::json::decoder;

JsonValue decode(const std::string& text) {
  decoder::Document document;
  decoder::Value value = document.read(text);
  JsonValue result = JsonValue::load(value);
  document.finish();
  return result;
}

TEST(JsonValue, NumbersKeepTheRepresentationTheTextCalledFor) {
  const JsonValue value = decode("[10, -9223372036854775808, 18446744073709551615, 1.5, 1e2, 2.50, -0]");
  const auto& array = std::get<JsonValue::kArray>(value.variant());
  ASSERT_EQ(array.size(), 7u);
  const std::size_t expected[] = {JsonValue::kSigned, JsonValue::kSigned,  JsonValue::kUnsigned, JsonValue::kDouble,
                                  JsonValue::kDouble, JsonValue::kDouble, JsonValue::kSigned};
  for (std::size_t i = 0; i < array.size(); ++i) EXPECT_EQ(array[i].index(), expected[i]) << "element " << i;
  // An integer never turns into a double text, and the largest unsigned never wraps negative.
  EXPECT_EQ(value.toText(), "[10,-9223372036854775808,18446744073709551615,1.5,100,2.5,0]");
}

TEST(JsonValue, TextKeepsMemberOrderAndEscapesStrings) {
  const std::string text = R"({"z":{"b":[true,false,null],"a":{}},"y":[],"x":"q\"\\\n\u0001é"})";
  const JsonValue value = decode(text);
  EXPECT_EQ(value.toText(), text);  // compact, in document order, escapes as the encoder writes them
  EXPECT_EQ(decode(value.toText()), value);
}

TEST(JsonValue, DuplicateMemberFailsAtTheSecondMember) {
  try {
    decode("{\"a\": {\"b\": 1,\n  \"b\": 2}}");
    FAIL() << "duplicate accepted";
  } catch (const decoder::Exception& e) {
    EXPECT_EQ(e.message(), "duplicate member \"b\" in JSON object");
    EXPECT_EQ(e.location(), (decoder::Location{2, 3}));
  }
  // The same name in sibling objects is no duplicate.
  EXPECT_NO_THROW(decode(R"([{"a":1},{"a":2}])"));
}

TEST(JsonValue, NonFiniteDoublesWriteNull) {
  const JsonValue value(JsonValue::Array{JsonValue(std::numeric_limits<double>::quiet_NaN()),
                                         JsonValue(std::numeric_limits<double>::infinity()),
                                         JsonValue(-std::numeric_limits<double>::infinity())});
  EXPECT_EQ(value.toText(), "[null,null,null]");
}

// Writes `count` bytes in pieces of `piece` and checks what comes out.
std::string writeInPieces(StringOutputStream& stream, std::size_t count, std::size_t piece) {
  std::string expected;
  for (std::size_t i = 0; expected.size() < count; ++i) {
    std::string chunk(std::min(piece, count - expected.size()), static_cast<char>('a' + i % 26));
    if (chunk.size() == 1) {
      stream.put(chunk[0]);
    } else {
      stream.write(chunk.data(), chunk.size());
    }
    expected += chunk;
  }
  return expected;
}

TEST(StringOutputStream, CollectsExactlyTheBytesWritten) {
  struct Case {
    const char* name;
    std::size_t count, piece;
  };
  const Case cases[] = {
      {"nothing", 0, 1},
      {"fills the inline buffer exactly", 15, 1},
      {"one past the inline buffer", 16, 1},
      {"growth by doubling, byte by byte", 10000, 1},
      {"pieces across buffer ends", 10000, 7},
      {"blocks past the window go around it", 50000, 5000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    StringOutputStream stream;
    const std::string expected = writeInPieces(stream, c.count, c.piece);
    EXPECT_EQ(stream.takeText(), expected);
    // Taking the text out leaves an empty stream that can be written again.
    EXPECT_EQ(stream.takeText(), "");
    stream.write("xy", 2);
    EXPECT_EQ(stream.takeText(), "xy");
  }
  EXPECT_EQ(StringOutputStream().description(), "in-memory text string");
}

}  // namespace
}  // namespace corvane::plugins::mqttClient
