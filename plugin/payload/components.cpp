#include "payload/components.hpp"

#include <set>
#include <stdexcept>

#include "payload/numberText.hpp"

namespace corvane::plugins::mqttClient {

namespace decoder = utils::json::decoder;
namespace encoder = utils::json::encoder;
using payloadDetail::formatMessage;
using payloadDetail::loadElement;

namespace {

[[noreturn]] void fail(decoder::Location location, std::string_view pattern, const Payload::LoadOptions& options) {
  throw decoder::Exception(location, formatMessage(pattern, {options.elementKind}));
}

// A handle for names beyond the list a component was prepared with.
const data::ReadHandle kUnboundHandle;

}  // namespace

void writeAttributeValue(const data::ReadHandle& handle, encoder::Value target) {
  // A value that cannot be read is written as null; the payload still goes out.
  switch (handle.nativeType()) {
    case data::NativeType::kBoolean:
      if (auto value = handle.readBool()) return target.write(*value);
      break;
    case data::NativeType::kInt64:
      if (auto value = handle.readInt64()) return numberText::write(target, *value);
      break;
    case data::NativeType::kUInt64:
      if (auto value = handle.readUInt64()) return numberText::write(target, *value);
      break;
    case data::NativeType::kDouble:
      if (auto value = handle.readDouble()) return numberText::write(target, *value);
      break;
    case data::NativeType::kNone: break;
    default:
      if (auto value = handle.readString()) return target.writeString(*value);
      break;
  }
  target.write(encoder::Null{});
}

// ---- ObjectComponent ----

void Payload::ObjectComponent::load(decoder::Value& value, config::Context& context, const LoadOptions& options) {
  std::set<std::string, std::less<>> keys;  // of this object only; nested objects have their own
  for (decoder::Value entryValue : value.asArray()) {
    const decoder::Location entryLocation = entryValue.location();
    Entry entry;
    bool hasKey = false;
    for (decoder::Member member : entryValue.asObject()) {
      if (member.name == "key") {
        const decoder::Location keyLocation = member.value.location();
        auto [at, inserted] = keys.emplace(member.value.asString());
        if (!inserted) fail(keyLocation, "duplicate entry key in {} payload", options);
        entry.key = *at;
        entry.keyText = encoder::memberName(entry.key);
        hasKey = true;
      } else if (member.name == "value") {
        if (entry.value) fail(member.name.location(), "cannot specify more than one value for {} payload entry", options);
        entry.value = loadElement(member.value, context, options);
      } else {
        config::throwUnknownParameterError(member.name);
      }
    }
    if (!hasKey) fail(entryLocation, "missing JSON object key in {} payload entry", options);
    if (!entry.value) fail(entryLocation, "missing value in {} payload entry", options);
    entries_.push_back(std::move(entry));
  }
}

void Payload::ObjectComponent::prepare(const PrepareContext& context) {
  for (auto& entry : entries_) entry.value->prepare(context);
}

void Payload::ObjectComponent::write(encoder::Value target, const std::vector<std::string>& attributeNames) const {
  encoder::Object object = target.asObject();
  for (const auto& entry : entries_) entry.value->write(object.addMemberText(entry.keyText), attributeNames);
  object.close();
}

std::unique_ptr<Payload::Component> Payload::ObjectComponent::clone() const {
  auto copy = std::make_unique<ObjectComponent>();
  copy->entries_.reserve(entries_.size());
  for (const auto& entry : entries_) copy->entries_.push_back({entry.key, entry.value->clone(), entry.keyText});
  return copy;
}

void Payload::ObjectComponent::addEntry(std::string key, std::unique_ptr<Component> value) {
  std::string keyText = encoder::memberName(key);
  entries_.push_back({std::move(key), std::move(value), std::move(keyText)});
}

// ---- ArrayComponent ----

void Payload::ArrayComponent::load(decoder::Value& value, config::Context& context, const LoadOptions& options) {
  for (decoder::Value element : value.asArray()) elements_.push_back(loadElement(element, context, options));
}

void Payload::ArrayComponent::prepare(const PrepareContext& context) {
  for (auto& element : elements_) element->prepare(context);
}

void Payload::ArrayComponent::write(encoder::Value target, const std::vector<std::string>& attributeNames) const {
  encoder::Array array = target.asArray();
  for (const auto& element : elements_) element->write(array.addElement(), attributeNames);
  array.close();
}

std::unique_ptr<Payload::Component> Payload::ArrayComponent::clone() const {
  auto copy = std::make_unique<ArrayComponent>();
  copy->elements_.reserve(elements_.size());
  for (const auto& element : elements_) copy->elements_.push_back(element->clone());
  return copy;
}

// ---- FixedComponent ----

void Payload::FixedComponent::load(decoder::Value& value, config::Context&, const LoadOptions&) {
  value_ = JsonValue::load(value);
}

void Payload::FixedComponent::prepare(const PrepareContext&) {}

void Payload::FixedComponent::write(encoder::Value target, const std::vector<std::string>&) const {
  value_.write(target);
}

std::unique_ptr<Payload::Component> Payload::FixedComponent::clone() const {
  return std::make_unique<FixedComponent>(*this);
}

// ---- DataPointComponent ----

void Payload::DataPointComponent::load(decoder::Value& value, config::Context& context, const LoadOptions&) {
  std::weak_ptr<std::weak_ptr<model::Element>> slot = dataPoint_;
  context.registerReference(config::Context::ReferenceKey::read(value),
                            [slot](const std::shared_ptr<model::Element>& element) {
                              if (element->category() != model::ElementCategory::kDataPoint) {
                                throw std::runtime_error("element \"" + element->primaryKey() +
                                                         "\" is not a data point");
                              }
                              if (auto target = slot.lock()) *target = element;
                            });
}

void Payload::DataPointComponent::prepare(const PrepareContext& context) {
  const auto& names = context.attributeNames;
  handles_.resize(names.size());
  nameTexts_.clear();
  for (const auto& name : names) nameTexts_.push_back(encoder::memberName(name));
  auto point = dataPoint_->lock();
  if (!point) return;
  for (std::size_t i = 0; i < names.size(); ++i) {
    handles_[i] = point->attributeReadHandle(names[i]);
    // Value and quality are always written; extra attributes only where the point has them.
    if (i < 2 && handles_[i] == data::ReadHandle::Error::kNoSuchAttribute) {
      throw std::runtime_error(formatMessage("{} \"{}\": data point \"{}\" does not have an attribute named \"{}\"",
                                             {context.elementKind, context.element.primaryKey(),
                                              point->primaryKey(), names[i]}));
    }
    if (i == 0 && handles_[i] == data::ReadHandle::Error::kWriteOnly) {
      throw std::runtime_error(formatMessage("{} \"{}\": data point \"{}\" is write-only",
                                             {context.elementKind, context.element.primaryKey(),
                                              point->primaryKey()}));
    }
  }
}

void Payload::DataPointComponent::write(encoder::Value target, const std::vector<std::string>& attributeNames) const {
  encoder::Object object = target.asObject();
  for (std::size_t i = 0; i < attributeNames.size(); ++i) {
    // A list longer than the one prepared with has no handles for its tail: those render as null.
    const data::ReadHandle& handle = i < handles_.size() ? handles_[i] : kUnboundHandle;
    if (i >= 2 && handle == data::ReadHandle::Error::kNoSuchAttribute) continue;
    // Names of the list prepared with are written as prepared.
    writeAttributeValue(handle, i < nameTexts_.size() ? object.addMemberText(nameTexts_[i])
                                                      : object.addMember(attributeNames[i]));
  }
  object.close();
}

std::unique_ptr<Payload::Component> Payload::DataPointComponent::clone() const {
  auto copy = std::make_unique<DataPointComponent>();
  *copy->dataPoint_ = *dataPoint_;
  copy->handles_ = handles_;
  copy->nameTexts_ = nameTexts_;
  return copy;
}

// ---- AttributeComponent ----

void Payload::AttributeComponent::load(decoder::Value& value, config::Context& context, const LoadOptions&) {
  std::weak_ptr<model::ElementAttribute> slot = attribute_;
  context.registerAttributeReference(config::Context::ReferenceKey::read(value),
                                     [slot](const model::ElementAttribute& attribute) {
                                       if (auto target = slot.lock()) *target = attribute;
                                     });
}

void Payload::AttributeComponent::prepare(const PrepareContext&) { handle_ = attribute_->readHandle(); }

void Payload::AttributeComponent::write(encoder::Value target, const std::vector<std::string>&) const {
  writeAttributeValue(handle_, target);
}

std::unique_ptr<Payload::Component> Payload::AttributeComponent::clone() const {
  auto copy = std::make_unique<AttributeComponent>();
  *copy->attribute_ = *attribute_;
  copy->handle_ = handle_;
  return copy;
}

// ---- template elements ----

namespace payloadDetail {

std::unique_ptr<Payload::Component> loadElement(decoder::Value& value, config::Context& context,
                                                const Payload::LoadOptions& options) {
  const decoder::Location location = value.location();
  std::unique_ptr<Payload::Component> component;
  for (decoder::Member member : value.asObject()) {
    if (component) fail(member.name.location(), "excess members in {} payload", options);
    const std::string_view type = member.name.view();
    if (!type.starts_with('@')) {
      throw decoder::Exception(member.name.location(),
                               formatMessage("element type \"{}\" for {} payload element does not start with \"@\"",
                                             {type, options.elementKind}));
    }
    if (type == "@Object") {
      component = std::make_unique<Payload::ObjectComponent>();
    } else if (type == "@Array") {
      component = std::make_unique<Payload::ArrayComponent>();
    } else if (type == "@JSON") {
      component = std::make_unique<Payload::FixedComponent>();
    } else if (type == "@DataPoint") {
      if (!options.allowDataPoints) fail(member.name.location(), "{} payload does not support data point elements", options);
      component = std::make_unique<Payload::DataPointComponent>();
    } else if (type == "@Attribute") {
      if (!options.allowDataPoints) fail(member.name.location(), "{} payload does not support attribute elements", options);
      component = std::make_unique<Payload::AttributeComponent>();
    } else {
      throw decoder::Exception(member.name.location(),
                               formatMessage("unknown element type \"{}\" for {} payload element",
                                             {type, options.elementKind}));
    }
    component->load(member.value, context, options);
  }
  if (!component) fail(location, "missing type specifier in {} payload element", options);
  return component;
}

std::string formatMessage(std::string_view pattern, std::initializer_list<std::string_view> arguments) {
  std::string text;
  text.reserve(pattern.size() + 64);
  auto argument = arguments.begin();
  for (std::size_t at = 0;;) {
    std::size_t next = pattern.find("{}", at);
    if (next == std::string_view::npos || argument == arguments.end()) {
      text.append(pattern.substr(at));
      return text;
    }
    text.append(pattern.substr(at, next - at)).append(*argument++);
    at = next + 2;
  }
}

}  // namespace payloadDetail

}  // namespace corvane::plugins::mqttClient
