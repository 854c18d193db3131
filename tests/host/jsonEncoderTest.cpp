#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>

#include "corvane/utils/json.hpp"
#include "corvane/utils/numeric.hpp"

namespace {

using namespace corvane::utils::json::encoder;

// Collects output through a tiny window, so writes cross the window's end and long blocks take the
// block path.
class WindowStream final : public corvane::utils::io::OutputStream<char> {
 public:
  WindowStream() { setWriteBuffer(window_, window_ + sizeof window_); }
  std::string text() {
    bufferExhausted();
    return text_;
  }
  std::string description() const override { return "window"; }

 private:
  void bufferExhausted() override {
    text_.append(window_, static_cast<std::size_t>(writePosition() - window_));
    setWriteBuffer(window_, window_ + sizeof window_);
  }
  std::size_t writeBlock(const char* data, std::size_t count) override {
    bufferExhausted();
    text_.append(data, count);
    return count;
  }
  char window_[5];
  std::string text_;
};

TEST(JsonEncoder, EscapesStringsAndWritesCompactDocuments) {
  const std::pair<std::string, std::string> cases[] = {
      // input, then the text expected between the quotes
      {"abc", "abc"},  {"a\"b\\c", "a\\\"b\\\\c"},  {"\b\f\n\r\t", "\\b\\f\\n\\r\\t"},  {"a\x7f", "a\\u007f"},
      {std::string("\0\x01\x1f", 3), "\\u0000\\u0001\\u001f"},
      {"/\xC3\xA9\xFF\xC0", "/\xC3\xA9\xFF\xC0"},  // slash, UTF-8 and invalid bytes unchanged
      {std::string(10000, 'y') + "\n" + std::string(5000, 'z'), std::string(10000, 'y') + "\\n" + std::string(5000, 'z')},
  };
  for (const auto& [input, body] : cases) {
    WindowStream stream;
    Document document(stream, 1);
    document.asValue().writeString(input);
    document.close();
    EXPECT_EQ(stream.text(), "\"" + body + "\"");
    std::string appended = "<";
    appendEscaped(appended, input);
    EXPECT_EQ(appended, "<" + body);
  }

  WindowStream stream;
  Document document(stream, 1);
  Object root = document.asValue().asObject();
  Array list = root.addMember("list").asArray();
  list.addElement().write(true);
  list.addElement().write(Null{});
  list.addElement().writeNumber("-1.5");
  list.addElement().asObject().close();
  list.close();
  root.addMember("na\"me").writeString("v");
  root.addMember("raw").writeRaw("[1,2]");
  root.close();
  document.close();
  EXPECT_EQ(stream.text(), R"({"list":[true,null,-1.5,{}],"na\"me":"v","raw":[1,2]})");
  // Compact (1) is the only format.
  for (int format : {0, 2}) EXPECT_THROW(Document(stream, format), std::invalid_argument);
}

template <class T>
std::string formatted(T value, std::size_t capacity = 24) {
  char buffer[32];
  return std::string(buffer, corvane::utils::numeric::format(buffer, capacity, value));
}

// Integers and doubles at their longest fit a buffer of their length and are refused, never cut
// short, by one a byte shorter; the decimal fast path gives exactly what to_chars gives.
TEST(NumericFormat, LimitsNonFiniteShortBuffersAndShortestRoundTripText) {
  constexpr auto kInt64Min = std::numeric_limits<std::int64_t>::min();
  constexpr auto kUInt64Max = std::numeric_limits<std::uint64_t>::max();
  constexpr double kLongest = -2.2250738585072014e-308;  // 24 characters
  EXPECT_EQ(formatted(kInt64Min, 20), "-9223372036854775808");
  EXPECT_EQ(formatted(kUInt64Max, 20), "18446744073709551615");
  EXPECT_EQ(formatted(kLongest), "-2.2250738585072014e-308");
  for (double value : {std::nan(""), HUGE_VAL, -HUGE_VAL}) EXPECT_EQ(formatted(value), "null");
  EXPECT_THROW(formatted(kInt64Min, 19), std::length_error);
  EXPECT_THROW(formatted(kUInt64Max, 19), std::length_error);
  EXPECT_THROW(formatted(kLongest, 23), std::length_error);
  EXPECT_THROW(formatted(-HUGE_VAL, 3), std::length_error);
  std::mt19937_64 random(7);
  auto check = [](double v) {
    char ours[24], reference[64];
    auto length = corvane::utils::numeric::format(ours, sizeof ours, v);
    auto [end, error] = std::to_chars(reference, reference + sizeof reference, v);
    ASSERT_EQ(std::string(ours, length), std::string(reference, end)) << v;
  };
  for (double v : {0.001, 0.0001, 1e9, 8999999999.999999, 1000.0, 1e6, 1e7, 1e14, 123456789.0, 0.5, 1.5e-3, 9e9, 20.125,
                   0.1, 0.3, 1.0 / 3, -0.0, 0.0, 5e-324, 1e21, 123456789.125, 2.2250738585072014e-308,
                   1.7976931348623157e308}) {
    check(v), check(-v);
  }
  for (int i = 0; i < 200000; ++i) {
    auto scaled = static_cast<long long>(random() % 20000000000ULL) - 10000000000LL;
    check(static_cast<double>(scaled) / std::pow(10.0, static_cast<double>(random() % 8)));
    check(std::ldexp(static_cast<double>(random() >> 11), -static_cast<int>(random() % 80)));
  }
}
}  // namespace
