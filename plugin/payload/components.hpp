#pragma once
// The node types of a payload template. Each writes its JSON straight into the encoder; nothing
// is built in between.
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <corvane/model.hpp>

#include "payload/jsonValue.hpp"
#include "payload/payload.hpp"

namespace corvane::plugins::mqttClient {

// "@Object": members in configured order, each written by its child.
class Payload::ObjectComponent final : public Payload::Component {
 public:
  struct Entry {
    std::string key;
    std::unique_ptr<Component> value;
    std::string keyText;  // the key as written, escaped once (encoder::memberName)
  };

  void load(utils::json::decoder::Value& value, config::Context& context, const LoadOptions& options) override;
  void prepare(const PrepareContext& context) override;
  void write(utils::json::encoder::Value target, const std::vector<std::string>& attributeNames) const override;
  std::unique_ptr<Component> clone() const override;

  // For the entry-list form, whose entries are read by the payload itself.
  void addEntry(std::string key, std::unique_ptr<Component> value);
  const std::vector<Entry>& entries() const noexcept { return entries_; }

 private:
  std::vector<Entry> entries_;
};

// "@Array": one element per child, in configured order.
class Payload::ArrayComponent final : public Payload::Component {
 public:
  void load(utils::json::decoder::Value& value, config::Context& context, const LoadOptions& options) override;
  void prepare(const PrepareContext& context) override;
  void write(utils::json::encoder::Value target, const std::vector<std::string>& attributeNames) const override;
  std::unique_ptr<Component> clone() const override;

  const std::vector<std::unique_ptr<Component>>& elements() const noexcept { return elements_; }

 private:
  std::vector<std::unique_ptr<Component>> elements_;
};

// "@JSON": a constant value, written as configured (member order included).
class Payload::FixedComponent final : public Payload::Component {
 public:
  void load(utils::json::decoder::Value& value, config::Context& context, const LoadOptions& options) override;
  void prepare(const PrepareContext& context) override;
  void write(utils::json::encoder::Value target, const std::vector<std::string>& attributeNames) const override;
  std::unique_ptr<Component> clone() const override;

 private:
  JsonValue value_;
};

// "@DataPoint": an object of the data point's attributes, one member per name of the owner's
// attribute-name list ("value", "quality", then the extra attributes the point has).
class Payload::DataPointComponent final : public Payload::Component {
 public:
  void load(utils::json::decoder::Value& value, config::Context& context, const LoadOptions& options) override;
  void prepare(const PrepareContext& context) override;
  void write(utils::json::encoder::Value target, const std::vector<std::string>& attributeNames) const override;
  std::unique_ptr<Component> clone() const override;

  // The data point it names, once the reference is resolved (null before, or when it is gone).
  std::shared_ptr<model::Element> dataPoint() const { return dataPoint_->lock(); }

 private:
  // Filled when the host resolves the reference. Shared with the resolver callback only weakly,
  // so a template dropped before resolution leaves the callback nothing to write into.
  std::shared_ptr<std::weak_ptr<model::Element>> dataPoint_ = std::make_shared<std::weak_ptr<model::Element>>();
  std::vector<data::ReadHandle> handles_;  // one per attribute name, bound by prepare
  std::vector<std::string> nameTexts_;     // the same names as written (encoder::memberName)
};

// "@Attribute": the current value of one attribute of one element.
class Payload::AttributeComponent final : public Payload::Component {
 public:
  void load(utils::json::decoder::Value& value, config::Context& context, const LoadOptions& options) override;
  void prepare(const PrepareContext& context) override;
  void write(utils::json::encoder::Value target, const std::vector<std::string>& attributeNames) const override;
  std::unique_ptr<Component> clone() const override;

 private:
  std::shared_ptr<model::ElementAttribute> attribute_ = std::make_shared<model::ElementAttribute>();
  data::ReadHandle handle_;
};

namespace payloadDetail {

// Reads one template element: an object whose single member names the node type ("@Object", ...)
// and configures it.
std::unique_ptr<Payload::Component> loadElement(utils::json::decoder::Value& value, config::Context& context,
                                                const Payload::LoadOptions& options);

// Fills each "{}" of `pattern` with the next argument.
std::string formatMessage(std::string_view pattern, std::initializer_list<std::string_view> arguments);

}  // namespace payloadDetail

}  // namespace corvane::plugins::mqttClient
