#include "payload/jsonValue.hpp"

#include <cstdint>
#include <string>
#include <string_view>

#include "payload/jsonBuilder.hpp"
#include "payload/numberText.hpp"
#include "payload/stringOutputStream.hpp"

namespace corvane::plugins::mqttClient {

namespace decoder = utils::json::decoder;
namespace encoder = utils::json::encoder;

namespace {

// Builds the value from the decoder's parts, without recursion: the decoder limits the nesting.
class Loader final : public decoder::Handler {
 public:
  JsonValue load(decoder::Value& value) {
    value.walk(*this);
    return builder_.take();
  }

  void beginObject() override {
    names_.beginObject();
    builder_.beginObject();
  }
  void memberName(const decoder::Name& name) override {
    names_.check(name);
    builder_.memberName(name.view());
  }
  void endObject() override {
    names_.endObject();
    builder_.endObject();
  }
  void beginArray() override { builder_.beginArray(); }
  void endArray() override { builder_.endArray(); }
  // Numbers keep the representation their text called for, so 10 never comes back as 10.0.
  void string(std::string_view text) override { builder_.add(JsonValue(std::string(text))); }
  void signedNumber(std::int64_t value) override { builder_.add(JsonValue(value)); }
  void unsignedNumber(std::uint64_t value) override { builder_.add(JsonValue(value)); }
  void doubleNumber(double value) override { builder_.add(JsonValue(value)); }
  void boolean(bool value) override { builder_.add(JsonValue(value)); }
  void null() override { builder_.add(JsonValue()); }

 private:
  jsonBuilder::MemberNameCheck names_;
  jsonBuilder::Builder builder_;
};

}  // namespace

JsonValue JsonValue::load(decoder::Value& value) { return Loader().load(value); }

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
