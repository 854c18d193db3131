#pragma once
// One compact JSON object, written member by member through the host's JSON encoder: the runner's
// output lines.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include <corvane/data.hpp>
#include <corvane/time.hpp>

namespace corvane::run {

class JsonLine {
 public:
  JsonLine();
  JsonLine(JsonLine&&) noexcept;
  JsonLine& operator=(JsonLine&&) noexcept;
  ~JsonLine();

  JsonLine& add(std::string_view name, std::string_view value);
  JsonLine& add(std::string_view name, const char* value) { return add(name, std::string_view(value)); }
  JsonLine& add(std::string_view name, const std::string& value) { return add(name, std::string_view(value)); }
  JsonLine& add(std::string_view name, bool value);
  JsonLine& add(std::string_view name, std::int64_t value);
  JsonLine& add(std::string_view name, std::uint64_t value);
  JsonLine& add(std::string_view name, int value) { return add(name, static_cast<std::int64_t>(value)); }
  JsonLine& add(std::string_view name, double value);
  JsonLine& add(std::string_view name, const std::vector<std::string>& values);
  // ISO 8601 text, or null for a moment that has not happened yet.
  JsonLine& addTime(std::string_view name, TimeStamp time);
  // "CATEGORY VALUE: MESSAGE", or "no error".
  JsonLine& addError(std::string_view name, std::error_code error);
  // A data point value: JSON numbers, booleans and strings as they are; time stamps and error
  // codes as their texts; no value as null.
  JsonLine& addValue(std::string_view name, const data::Value& value);
  // JSON text written as it stands.
  JsonLine& addRaw(std::string_view name, std::string_view json);
  JsonLine& addNull(std::string_view name);

  // The finished object (no line break).
  std::string text() const;

 private:
  // The encoder's object and the text it writes into; kept in one place, since the encoder holds
  // on to its stream.
  struct Writer;
  std::unique_ptr<Writer> writer_;
};

// `text` as a JSON string, quotes included.
std::string jsonString(std::string_view text);

}  // namespace corvane::run
