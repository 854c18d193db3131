#include "payload/jsonValue.hpp"

#include <gtest/gtest.h>

#include <limits>

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
  const std::size_t expected[] = {JsonValue::kSigned, JsonValue::kSigned, JsonValue::kUnsigned, JsonValue::kDouble,
                                  JsonValue::kDouble, JsonValue::kDouble, JsonValue::kSigned};
  ASSERT_EQ(array.size(), std::size(expected));
  for (std::size_t i = 0; i < array.size(); ++i) EXPECT_EQ(array[i].index(), expected[i]) << "element " << i;
  // An integer never turns into a double text, and the largest unsigned never wraps negative.
  EXPECT_EQ(value.toText(), "[10,-9223372036854775808,18446744073709551615,1.5,100,2.5,0]");
  const double inf = std::numeric_limits<double>::infinity();
  EXPECT_EQ(JsonValue(JsonValue::Array{JsonValue(std::numeric_limits<double>::quiet_NaN()), JsonValue(inf),
                                       JsonValue(-inf)})
                .toText(),
            "[null,null,null]");
}

TEST(JsonValue, TextKeepsMemberOrderAndEscapesStrings) {
  const std::string text = R"({"z":{"b":[true,false,null],"a":{}},"y":[],"x":"q\"\\\n\u0001é"})";
  EXPECT_EQ(decode(text).toText(), text);  // compact, in document order, escapes as the encoder writes them
  try {
    decode("{\"a\": {\"b\": 1,\n  \"b\": 2}}");
    ADD_FAILURE() << "duplicate accepted";
  } catch (const decoder::Exception& e) {
    EXPECT_STREQ(e.what(), "2:3: duplicate member \"b\" in JSON object");
  }
  EXPECT_NO_THROW(decode(R"([{"a":1},{"a":2}])"));  // the same name in sibling objects
}

TEST(StringOutputStream, CollectsExactlyTheBytesWritten) {
  // Single bytes and pieces up to the inline buffer, one past it, across buffer ends as it grows,
  // and blocks past its window.
  StringOutputStream stream;
  std::string expected;
  for (std::size_t piece : {1, 1, 13, 1, 1, 7, 7, 5000, 1, 40000, 3}) {
    const std::string chunk(piece, static_cast<char>('a' + expected.size() % 26));
    if (piece == 1) stream.put(chunk[0]);
    else stream.write(chunk.data(), chunk.size());
    expected += chunk;
  }
  EXPECT_EQ(stream.takeText(), expected);
  // Taking the text out leaves an empty stream that can be written again.
  stream.write("xy", 2);
  EXPECT_EQ(stream.takeText(), "xy");
}

}  // namespace
}  // namespace corvane::plugins::mqttClient
