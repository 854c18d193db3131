#pragma once
// What an outgoing message carries: a fixed text, or a template of components rendered to JSON
// from current data point and attribute values on every publication.
#include <memory>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include <corvane/config.hpp>
#include <corvane/data.hpp>
#include <corvane/skill.hpp>
#include <corvane/utils/json.hpp>

namespace corvane::plugins::mqttClient {

class Payload {
 public:
  // Longest fixed text: the largest MQTT remaining length.
  static constexpr std::size_t kMaxFixedTextLength = 268435455;

  struct LoadOptions {
    std::string_view elementKind;  // "MQTT topic", "MQTT client birth message", ...
    bool allowDataPoints = false;   // "@DataPoint" and "@Attribute"
    bool allowEntryList = false;    // an array of {"key", "value"} entries
  };
  struct PrepareContext {
    std::string_view elementKind;
    const corvane::skill::Element& element;
    const std::vector<std::string>& attributeNames;
  };

  class Component {
   public:
    virtual ~Component() = default;
    virtual void load(utils::json::decoder::Value& value, config::Context& context, const LoadOptions& options) = 0;
    virtual void prepare(const PrepareContext& context) = 0;
    virtual void write(utils::json::encoder::Value target, const std::vector<std::string>& attributeNames) const = 0;
    virtual std::unique_ptr<Component> clone() const = 0;
  };
  class ObjectComponent;
  class ArrayComponent;
  class FixedComponent;
  class DataPointComponent;
  class AttributeComponent;

  Payload() = default;
  explicit Payload(std::string fixedText) : value_(std::move(fixedText)) {}
  Payload(const Payload& other);
  Payload& operator=(const Payload& other);
  Payload(Payload&&) noexcept = default;
  Payload& operator=(Payload&&) noexcept = default;
  ~Payload();

  // Replaces `payload` with what `value` describes; configuration errors at their JSON location.
  static void load(Payload& payload, utils::json::decoder::Value& value, config::Context& context,
                   const LoadOptions& options);
  void prepare(const PrepareContext& context);
  std::string render(const std::vector<std::string>& attributeNames) const;

  bool isTemplate() const noexcept { return value_.index() == 1; }
  // The fixed text, or null for a template.
  const std::string* fixedText() const noexcept { return std::get_if<std::string>(&value_); }
  // The template's root component, or null for a fixed text.
  const Component* root() const noexcept {
    const auto* root = std::get_if<1>(&value_);
    return root != nullptr ? root->get() : nullptr;
  }

 private:
  std::variant<std::string, std::unique_ptr<Component>> value_;
};

// "value", "quality": the attribute-name list of an owner without "extraAttributes".
std::vector<std::string> defaultAttributeNames();
// Reads "extraAttributes": the full list with "value" and "quality" in front, then the extra
// names in ascending byte order.
std::vector<std::string> loadExtraAttributes(utils::json::decoder::Value& value, config::Context& context,
                                             const Payload::LoadOptions& options);
// Writes one attribute's current value; a failed read writes null.
void writeAttributeValue(const data::ReadHandle& handle, utils::json::encoder::Value target);

}  // namespace corvane::plugins::mqttClient
