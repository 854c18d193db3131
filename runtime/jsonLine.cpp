#include "jsonLine.hpp"

#include <charconv>
#include <cmath>

#include <corvane/utils/json.hpp>

namespace corvane::run {

std::string jsonString(std::string_view text) {
  std::string out = "\"";
  utils::json::encoder::appendEscaped(out, text);
  out += '"';
  return out;
}

namespace {

std::string numberText(double value) {
  // JSON has no text for NaN or the infinities.
  if (!std::isfinite(value)) return "null";
  char buffer[32];
  auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, value);
  if (error != std::errc()) return "null";
  return std::string(buffer, end);
}

}  // namespace

void JsonLine::name(std::string_view name) {
  if (text_.size() > 1) text_ += ',';
  text_ += jsonString(name);
  text_ += ':';
}

JsonLine& JsonLine::add(std::string_view member, std::string_view value) {
  name(member);
  text_ += jsonString(value);
  return *this;
}

JsonLine& JsonLine::add(std::string_view member, bool value) { return addRaw(member, value ? "true" : "false"); }

JsonLine& JsonLine::add(std::string_view member, std::int64_t value) {
  return addRaw(member, std::to_string(value));
}

JsonLine& JsonLine::add(std::string_view member, std::uint64_t value) {
  return addRaw(member, std::to_string(value));
}

JsonLine& JsonLine::add(std::string_view member, double value) { return addRaw(member, numberText(value)); }

JsonLine& JsonLine::add(std::string_view member, const std::vector<std::string>& values) {
  name(member);
  text_ += '[';
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i != 0) text_ += ',';
    text_ += jsonString(values[i]);
  }
  text_ += ']';
  return *this;
}

JsonLine& JsonLine::addTime(std::string_view member, TimeStamp time) {
  if (time == kNever) return addNull(member);
  return add(member, formatTime(time));
}

JsonLine& JsonLine::addError(std::string_view member, std::error_code error) {
  return add(member, data::describeError(error));
}

JsonLine& JsonLine::addValue(std::string_view member, const data::Value& value) {
  struct Visitor {
    JsonLine& line;
    std::string_view member;
    void operator()(std::monostate) const { line.addNull(member); }
    void operator()(bool v) const { line.add(member, v); }
    void operator()(std::int64_t v) const { line.add(member, v); }
    void operator()(std::uint64_t v) const { line.add(member, v); }
    void operator()(double v) const { line.add(member, v); }
    void operator()(const std::string& v) const { line.add(member, std::string_view(v)); }
    void operator()(TimeStamp v) const { line.addTime(member, v); }
    void operator()(std::error_code v) const { line.addError(member, v); }
  };
  std::visit(Visitor{*this, member}, value);
  return *this;
}

JsonLine& JsonLine::addRaw(std::string_view member, std::string_view json) {
  name(member);
  text_ += json;
  return *this;
}

}  // namespace corvane::run
