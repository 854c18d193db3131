#pragma once
// The runtime's model: elements (data points and skill elements) and their attribute definitions.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "corvane/data.hpp"
#include "corvane/utils/core.hpp"

#include "corvane/process.hpp"

namespace corvane::model {

enum class ElementCategory : std::uint32_t {
  kFolder = 1,
  kDataPoint = 2,
  kSkillElement = 10,
  kConnection = 14,
};

// A constant attribute definition. Equal when the UUIDs are equal.
struct Attribute {
  utils::core::Uuid uuid;
  std::string_view name;
  data::DataType type;

  friend bool operator==(const Attribute& a, const Attribute& b) noexcept { return a.uuid == b.uuid; }

  // Attributes every runtime knows.
  static const Attribute kValue;        // "value": a data point's value
  static const Attribute kQuality;      // "quality": a data point's quality code
  static const Attribute kDeviceState;  // "deviceState": true while a device is reachable
  static const Attribute kError;        // "error": why an element is not in its good state
};

class Element;

// An attribute of one element, as a configuration reference resolves it.
struct ElementAttribute {
  std::weak_ptr<Element> element;
  std::string attributeName;
  data::ReadHandle readHandle() const;
};

// Listing callbacks: answering true stops the listing.
using ForEachAttributeFunction = std::function<bool(const Attribute&)>;
using ForEachEventFunction =
    std::function<bool(const process::Event::Role&, const std::shared_ptr<process::Event>&)>;
using ForEachTaskFunction =
    std::function<bool(const process::Task::Role&, const std::shared_ptr<process::Task>&)>;

// A node of the model: a data point, a folder, or the model side of a skill element.
class Element : public std::enable_shared_from_this<Element> {
 public:
  Element(std::string name, std::string primaryKey, utils::core::Uuid uuid)
      : name_(std::move(name)), primaryKey_(std::move(primaryKey)), uuid_(uuid) {}
  virtual ~Element() = default;
  Element(const Element&) = delete;
  Element& operator=(const Element&) = delete;

  const std::string& name() const noexcept { return name_; }
  // The element's path in the model, names joined by "/"; unique in a model.
  const std::string& primaryKey() const noexcept { return primaryKey_; }
  const utils::core::Uuid& uuid() const noexcept { return uuid_; }
  virtual ElementCategory category() const noexcept = 0;

  // A bound handle, or one holding ReadHandle::Error::kNoSuchAttribute / kWriteOnly.
  virtual data::ReadHandle attributeReadHandle(std::string_view name) const;
  // A bound handle, or one holding WriteHandle::Error::kNoSuchAttribute / kReadOnly.
  virtual data::WriteHandle attributeWriteHandle(const Attribute& attribute);
  virtual bool forEachAttribute(const ForEachAttributeFunction& function) const;

 private:
  std::string name_;
  std::string primaryKey_;
  utils::core::Uuid uuid_;
};

}  // namespace corvane::model
