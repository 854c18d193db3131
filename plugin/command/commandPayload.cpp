#include "command/commandPayload.hpp"

#include <exception>
#include <stdexcept>
#include <string_view>
#include <utility>

#include <corvane/utils/io.hpp>

namespace corvane::plugins::mqttClient {

namespace decoder = utils::json::decoder;
namespace encoder = utils::json::encoder;

namespace {

// Hands an object or array of the message to a write handle, which renders or converts it.
class JsonComposite final : public corvane::data::Composite {
 public:
  explicit JsonComposite(const JsonValue& value) noexcept : value_(value) {}
  void write(encoder::Value target) const override { value_.write(target); }

 private:
  const JsonValue& value_;
};

// A typed write: each JSON kind goes to the write handle as its own type, and the handle
// converts it to the data point's type (or refuses it).
std::error_code writeTyped(const corvane::data::WriteHandle& handle, const JsonValue& value) {
  switch (value.index()) {
    case JsonValue::kObject: return handle.writeObject(JsonComposite(value));
    case JsonValue::kArray: return handle.writeArray(JsonComposite(value));
    case JsonValue::kString: return handle.write(std::string_view(*value.getIf<std::string>()));
    case JsonValue::kSigned: return handle.write(*value.getIf<std::int64_t>());
    case JsonValue::kUnsigned: return handle.write(*value.getIf<std::uint64_t>());
    case JsonValue::kDouble: return handle.write(*value.getIf<double>());
    case JsonValue::kBoolean: return handle.write(*value.getIf<bool>());
    default: return handle.write(encoder::Null{});
  }
}

std::string inQuotes(std::string_view text) {
  std::string result;
  result.reserve(text.size() + 2);
  result += '"';
  result += text;
  result += '"';
  return result;
}

}  // namespace

void CommandPayload::DataPoint::loadDataPoint(decoder::Value& value, config::Context& context) {
  const auto location = value.location();
  bool hasPath = false;
  bool hasDataPoint = false;
  for (auto member : value.asObject()) {
    if (member.name == "jsonPath") {
      const auto pathLocation = member.value.location();
      std::string text(member.value.asString());
      try {
        path_ = jsonPath::parse(text);
      } catch (const std::exception& e) {
        throw decoder::Exception(pathLocation, e);
      }
      pathText_ = std::move(text);
      hasPath = true;
    } else if (member.name == "dataPoint") {
      context.registerReference(config::Context::ReferenceKey::read(member.value),
                                [this](const std::shared_ptr<model::Element>& element) {
                                  if (element->category() != model::ElementCategory::kDataPoint) {
                                    throw std::runtime_error("element " + inQuotes(element->primaryKey()) +
                                                             " is not a data point");
                                  }
                                  dataPoint_ = element;
                                });
      hasDataPoint = true;
    } else if (member.name == "asJSONText") {
      asJsonText_ = member.value.asBoolean();
    } else {
      throw decoder::Exception(location, "unknown member " + inQuotes(member.name.view()) + " for data point element");
    }
  }
  if (!hasPath) throw decoder::Exception(location, "missing JSON path in MQTT data point");
  if (!hasDataPoint) throw decoder::Exception(location, "missing data point name in MQTT data point");
}

void CommandPayload::DataPoint::prepare() {
  auto element = dataPoint_.lock();
  if (!element) return;
  writeHandle_ = element->attributeWriteHandle(model::Attribute::kValue);
  if (writeHandle_ == corvane::data::WriteHandle::Error::kNoSuchAttribute) {
    throw std::runtime_error("data point " + inQuotes(element->primaryKey()) + " does not have a value attribute");
  }
  if (writeHandle_ == corvane::data::WriteHandle::Error::kReadOnly) {
    throw std::runtime_error("data point " + inQuotes(element->primaryKey()) + " is read-only");
  }
}

std::optional<std::string> CommandPayload::DataPoint::apply(const JsonValue& message) const {
  // Held only for this write, so a data point removed from the model is not kept alive by us.
  auto element = dataPoint_.lock();
  if (!element) {
    return corvane::data::ReadHandle::errorCategory().message(
        static_cast<int>(corvane::data::ReadHandle::Error::kElementGone));
  }
  std::error_code result;
  try {
    const JsonValue& selected = jsonPath::evaluate(message, path_);
    result = asJsonText_ ? writeHandle_.write(std::string_view(selected.toText())) : writeTyped(writeHandle_, selected);
  } catch (const std::exception& e) {
    return element->primaryKey() + ": " + e.what();
  }
  if (result) return element->primaryKey() + ": " + result.message();
  return std::nullopt;
}

void CommandPayload::load(decoder::Value& value, config::Context& context) {
  for (auto element : value.asArray()) {
    const auto location = element.location();
    auto object = element.asObject();
    auto member = object.begin();
    if (member == object.end()) throw decoder::Exception(location, "missing type specifier in payload element");
    auto [name, body] = *member;
    if (!name.starts_with("@")) throw decoder::Exception(name.location(), "payload element does not start with \"@\"");
    if (name != "@DataPoint") {
      throw decoder::Exception(location, "unknown element type " + inQuotes(name.view()) + " for payload element");
    }
    // Owned by the payload before it registers its reference: the resolution callback fills in
    // this entry even when a later member of the element is refused.
    entries_.push_back(std::make_unique<DataPoint>());
    entries_.back()->loadDataPoint(body, context);
    if (++member != object.end()) throw decoder::Exception(location, "excess members in payload");
  }
}

void CommandPayload::prepare() {
  for (const auto& entry : entries_) entry->prepare();
}

std::string CommandPayload::apply(const char* payload, std::size_t length) const {
  // Decoded once for all entries; a message that is not one JSON document writes nothing.
  utils::io::MemoryInputStream input(payload, payload + length);
  decoder::Document document;
  auto root = document.read(input);
  const JsonValue message = JsonValue::load(root);
  document.finish();

  std::string summary;
  for (const auto& entry : entries_) {
    if (auto error = entry->apply(message)) {
      summary += '\n';
      summary += *error;
    }
  }
  return summary;
}

}  // namespace corvane::plugins::mqttClient
