#include "jsonLine.hpp"

#include <corvane/utils/json.hpp>

#include "payload/numberText.hpp"
#include "payload/stringOutputStream.hpp"

namespace corvane::run {

namespace encoder = utils::json::encoder;
namespace mqtt = plugins::mqttClient;

std::string jsonString(std::string_view text) {
  std::string out = "\"";
  encoder::appendEscaped(out, text);
  out += '"';
  return out;
}

struct JsonLine::Writer {
  mqtt::StringOutputStream stream;
  encoder::Document document{stream, 1};
  encoder::Object object = document.asValue().asObject();
};

JsonLine::JsonLine() : writer_(std::make_unique<Writer>()) {}
JsonLine::JsonLine(JsonLine&&) noexcept = default;
JsonLine& JsonLine::operator=(JsonLine&&) noexcept = default;
JsonLine::~JsonLine() = default;

JsonLine& JsonLine::add(std::string_view member, std::string_view value) {
  writer_->object.addMember(member).writeString(value);
  return *this;
}

JsonLine& JsonLine::add(std::string_view member, bool value) {
  writer_->object.addMember(member).write(value);
  return *this;
}

JsonLine& JsonLine::add(std::string_view member, std::int64_t value) {
  mqtt::numberText::write(writer_->object.addMember(member), value);
  return *this;
}

JsonLine& JsonLine::add(std::string_view member, std::uint64_t value) {
  mqtt::numberText::write(writer_->object.addMember(member), value);
  return *this;
}

JsonLine& JsonLine::add(std::string_view member, double value) {
  mqtt::numberText::write(writer_->object.addMember(member), value);
  return *this;
}

JsonLine& JsonLine::add(std::string_view member, const std::vector<std::string>& values) {
  auto array = writer_->object.addMember(member).asArray();
  for (const auto& value : values) array.addElement().writeString(value);
  array.close();
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
  writer_->object.addMember(member).writeRaw(json);
  return *this;
}

JsonLine& JsonLine::addNull(std::string_view member) {
  writer_->object.addMember(member).write(encoder::Null{});
  return *this;
}

// The object stays open for more members: its closing brace is added to a copy of the text.
std::string JsonLine::text() const {
  std::string text(writer_->stream.text());
  text += '}';
  return text;
}

}  // namespace corvane::run
