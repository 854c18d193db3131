#include "payload/jsonValue.hpp"

#include <stdexcept>
#include <unordered_set>

#include "payload/numberText.hpp"
#include "payload/stringOutputStream.hpp"

namespace corvane::plugins::mqttClient {

namespace decoder = utils::json::decoder;
namespace encoder = utils::json::encoder;

namespace {

JsonValue loadObject(decoder::Value& value) {
  JsonValue::Object object;
  // Names are copied: the pairs' own strings move when the vector grows.
  std::unordered_set<std::string> seen;
  for (decoder::Member member : value.asObject()) {
    std::string name(member.name.view());
    if (!seen.insert(name).second) {
      throw decoder::Exception(member.name.location(), "duplicate member \"" + name + "\" in JSON object");
    }
    JsonValue element = JsonValue::load(member.value);
    object.emplace_back(std::move(name), std::move(element));
  }
  return JsonValue(std::move(object));
}

JsonValue loadArray(decoder::Value& value) {
  JsonValue::Array array;
  for (decoder::Value element : value.asArray()) array.push_back(JsonValue::load(element));
  return JsonValue(std::move(array));
}

JsonValue loadNumber(decoder::Value& value) {
  // Keep the representation the number's text called for, so 10 never comes back as 10.0.
  switch (value.numberKind()) {
    case decoder::NumberKind::kSigned: return JsonValue(value.asInt64());
    case decoder::NumberKind::kUnsigned: return JsonValue(value.asUInt64());
    case decoder::NumberKind::kDouble: return JsonValue(value.asDouble());
  }
  throw decoder::Exception(value.location(), std::logic_error("internal_error: unsupported JSON value type"));
}

}  // namespace

JsonValue JsonValue::load(decoder::Value& value) {
  switch (value.kind()) {
    case decoder::Value::Kind::kObject: return loadObject(value);
    case decoder::Value::Kind::kArray: return loadArray(value);
    case decoder::Value::Kind::kString: return JsonValue(std::string(value.asString()));
    case decoder::Value::Kind::kNumber: return loadNumber(value);
    case decoder::Value::Kind::kBoolean: return JsonValue(value.asBoolean());
    case decoder::Value::Kind::kNull: value.asNull(); return JsonValue();
  }
  throw decoder::Exception(value.location(), std::logic_error("internal_error: unsupported JSON value type"));
}

void JsonValue::write(encoder::Value target) const {
  switch (value_.index()) {
    case kObject: {
      encoder::Object object = target.asObject();
      for (const auto& [name, member] : std::get<kObject>(value_)) member.write(object.addMember(name));
      object.close();
      break;
    }
    case kArray: {
      encoder::Array array = target.asArray();
      for (const JsonValue& element : std::get<kArray>(value_)) element.write(array.addElement());
      array.close();
      break;
    }
    case kString: target.writeString(std::get<kString>(value_)); break;
    case kSigned: numberText::write(target, std::get<kSigned>(value_)); break;
    case kUnsigned: numberText::write(target, std::get<kUnsigned>(value_)); break;
    case kDouble: numberText::write(target, std::get<kDouble>(value_)); break;
    case kBoolean: target.write(std::get<kBoolean>(value_)); break;
    default: target.write(encoder::Null{}); break;
  }
}

std::string JsonValue::toText() const {
  StringOutputStream stream;
  encoder::Document document(stream, 1);
  write(document.asValue());
  document.close();
  return stream.takeText();
}

}  // namespace corvane::plugins::mqttClient
