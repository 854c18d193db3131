// Parses the input as a JSON path and, when it is one, walks a small fixed message with it. Anything but
// the parser's own refusals and the evaluator's mismatch errors is a finding.
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "jsonPath/path.hpp"

namespace {

using corvane::plugins::mqttClient::JsonValue;
namespace jsonPath = corvane::plugins::mqttClient::jsonPath;

// {"a": {"b": [1, "x", {"c": null}]}, "\u00e9": [true], "": 1.5}
const JsonValue& message() {
  static const JsonValue value(JsonValue::Object{
      {"a", JsonValue(JsonValue::Object{
                {"b", JsonValue(JsonValue::Array{JsonValue(std::int64_t{1}), JsonValue(std::string("x")),
                                                 JsonValue(JsonValue::Object{{"c", JsonValue()}})})}})},
      {"\xC3\xA9", JsonValue(JsonValue::Array{JsonValue(true)})},
      {"", JsonValue(1.5)},
  });
  return value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // An allocation of exactly the input's size, so a read past the end is caught.
  const std::vector<char> text(data, data + size);
  jsonPath::Path path;
  try {
    path = jsonPath::parse(std::string_view(text.data(), text.size()));
  } catch (const jsonPath::SyntaxError&) {
    return 0;
  } catch (const jsonPath::UnsupportedError&) {
    return 0;
  }
  try {
    const JsonValue& selected = jsonPath::evaluate(message(), path);
    static_cast<void>(selected.index());
  } catch (const std::runtime_error&) {
  }
  return 0;
}
