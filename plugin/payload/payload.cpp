#include "payload/payload.hpp"

#include <set>

#include <corvane/model.hpp>

#include "payload/components.hpp"
#include "payload/stringOutputStream.hpp"

namespace corvane::plugins::mqttClient {

namespace decoder = utils::json::decoder;
namespace encoder = utils::json::encoder;
using payloadDetail::formatMessage;

namespace {

// Room a thread keeps for rendering beyond one render: one huge payload does not pin its size.
constexpr std::size_t kRetainedRenderRoom = std::size_t{1} << 20;

[[noreturn]] void fail(decoder::Location location, std::string_view pattern, std::string_view elementKind) {
  throw decoder::Exception(location, formatMessage(pattern, {elementKind}));
}

// The entry-list form of a topic payload: [{"key": NAME, "value": ELEMENT#ATTRIBUTE}, ...], an
// object of single attribute values.
std::unique_ptr<Payload::Component> loadEntryList(decoder::Value& value, config::Context& context,
                                                  const Payload::LoadOptions& options) {
  auto object = std::make_unique<Payload::ObjectComponent>();
  for (decoder::Value entryValue : value.asArray()) {
    const decoder::Location entryLocation = entryValue.location();
    std::string key;  // an entry without "key" gets the empty name
    std::unique_ptr<Payload::AttributeComponent> attribute;
    for (decoder::Member member : entryValue.asObject()) {
      if (member.name == "key") {
        key = member.value.asString();
      } else if (member.name == "value") {
        if (attribute) fail(member.name.location(), "cannot specify more than one value for {} payload entry", options.elementKind);
        attribute = std::make_unique<Payload::AttributeComponent>();
        attribute->load(member.value, context, options);
      } else {
        config::throwUnknownParameterError(member.name);
      }
    }
    // Without a value the entry would only ever render null; refuse it while the location is known.
    if (!attribute) fail(entryLocation, "missing value in {} payload entry", options.elementKind);
    object->addEntry(std::move(key), std::move(attribute));
  }
  return object;
}

}  // namespace

Payload::Payload(const Payload& other) { *this = other; }

Payload& Payload::operator=(const Payload& other) {
  if (this == &other) return *this;
  if (const auto* text = other.fixedText()) {
    value_ = *text;
  } else {
    const auto& root = std::get<1>(other.value_);
    value_ = root ? root->clone() : nullptr;
  }
  return *this;
}

Payload::~Payload() = default;

void Payload::load(Payload& payload, decoder::Value& value, config::Context& context, const LoadOptions& options) {
  const decoder::Location location = value.location();
  switch (value.kind()) {
    case decoder::Value::Kind::kString: {
      std::string_view text = value.asString();
      if (text.size() > kMaxFixedTextLength) {
        throw decoder::Exception(location, formatMessage("{} payload must not be longer than {} bytes",
                                                         {options.elementKind, "268435455"}));
      }
      payload.value_ = std::string(text);
      return;
    }
    case decoder::Value::Kind::kObject:
      payload.value_ = payloadDetail::loadElement(value, context, options);
      return;
    case decoder::Value::Kind::kArray:
      if (options.allowEntryList) {
        payload.value_ = loadEntryList(value, context, options);
        return;
      }
      break;
    default: break;
  }
  throw decoder::TypeMismatchError(location, "expected JSON object or JSON string");
}

void Payload::prepare(const PrepareContext& context) {
  if (auto* root = std::get_if<1>(&value_); root && *root) (*root)->prepare(context);
}

std::string Payload::render(const std::vector<std::string>& attributeNames) const {
  if (const auto* text = fixedText()) return *text;
  // One stream per thread, reused: once warm, a render allocates only the text it hands out.
  thread_local StringOutputStream stream;
  stream.restart(kRetainedRenderRoom);
  encoder::Document document(stream, 1);
  if (const auto& root = std::get<1>(value_)) {
    root->write(document.asValue(), attributeNames);
  } else {
    document.asValue().write(encoder::Null{});  // only a moved-from payload has no root
  }
  document.close();
  std::string text(stream.text());
  stream.restart(kRetainedRenderRoom);
  return text;
}

std::vector<std::string> defaultAttributeNames() {
  return {std::string(model::Attribute::kValue.name), std::string(model::Attribute::kQuality.name)};
}

std::vector<std::string> loadExtraAttributes(decoder::Value& value, config::Context&,
                                             const Payload::LoadOptions& options) {
  std::set<std::string, std::less<>> extra;  // byte-wise ascending, whatever the configured order
  for (decoder::Value nameValue : value.asArray()) {
    const decoder::Location location = nameValue.location();
    std::string_view name = nameValue.asString();
    if (name.empty()) fail(location, "empty attribute name in {} attribute list", options.elementKind);
    if (name == model::Attribute::kValue.name) {
      fail(location,
           "\"value\" attribute is automatically included in {} payload, and cannot be specified as an extra "
           "attribute",
           options.elementKind);
    }
    if (name == model::Attribute::kQuality.name) {
      fail(location,
           "\"quality\" attribute is automatically included in {} payload, and cannot be specified as an extra "
           "attribute",
           options.elementKind);
    }
    if (!extra.emplace(name).second) {
      throw decoder::Exception(location, formatMessage("attribute \"{}\" appears more than once in {} attribute list",
                                                       {name, options.elementKind}));
    }
  }
  std::vector<std::string> names = defaultAttributeNames();
  names.insert(names.end(), extra.begin(), extra.end());
  return names;
}

}  // namespace corvane::plugins::mqttClient
