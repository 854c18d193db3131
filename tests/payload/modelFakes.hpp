#pragma once
// Small stand-ins for the runtime's model: a resolver over a map of elements, an element whose
// attribute handles a test chooses, and an owning skill element with a primary key.
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include <corvane/config.hpp>
#include <corvane/model.hpp>
#include <corvane/skill.hpp>

namespace corvane::plugins::mqttClient::testing {

class MapResolver final : public config::Resolver {
 public:
  std::shared_ptr<model::Element> findElement(std::string_view path) const override {
    auto it = elements.find(path);
    return it == elements.end() ? nullptr : it->second;
  }
  void add(const std::shared_ptr<model::Element>& element) { elements[element->primaryKey()] = element; }

  std::map<std::string, std::shared_ptr<model::Element>, std::less<>> elements;
};

// A model element with hand-made read handles; names it does not list have no attribute.
class FakeElement final : public model::Element {
 public:
  FakeElement(std::string path, model::ElementCategory category)
      : model::Element(path, path, {}), category_(category) {}
  model::ElementCategory category() const noexcept override { return category_; }
  data::ReadHandle attributeReadHandle(std::string_view name) const override {
    auto it = handles.find(name);
    return it == handles.end() ? data::ReadHandle(data::ReadHandle::Error::kNoSuchAttribute) : it->second;
  }
  bool forEachAttribute(const model::ForEachAttributeFunction&) const override { return false; }

  std::map<std::string, data::ReadHandle, std::less<>> handles;

 private:
  model::ElementCategory category_;
};

// A read source that holds one value of a chosen native type, or fails every read.
class FakeSource final : public data::ReadSource {
 public:
  FakeSource(data::NativeType type, data::Value value, std::error_code error = {})
      : type_(type), value_(std::move(value)), error_(error) {}
  data::NativeType nativeType() const noexcept override { return type_; }
  std::error_code read(data::Value& out) const override {
    if (error_) return error_;
    out = value_;
    return {};
  }
  static data::ReadHandle handle(data::NativeType type, data::Value value, std::error_code error = {}) {
    return data::ReadHandle(std::make_shared<FakeSource>(type, std::move(value), error));
  }

 private:
  data::NativeType type_;
  data::Value value_;
  std::error_code error_;
};

// The element that owns a payload: only its primary key matters here.
class Owner final : public skill::Element {};

class OwnerFactory final : public skill::ElementFactory {
 public:
  explicit OwnerFactory(std::string path) : path_(std::move(path)) {}
  std::shared_ptr<Owner> make() { return create<Owner>(); }

 protected:
  model::Element& attach(std::shared_ptr<skill::Element>) override {
    node_ = std::make_shared<FakeElement>(path_, model::ElementCategory::kSkillElement);
    return *node_;
  }

 private:
  std::string path_;
  std::shared_ptr<FakeElement> node_;
};

}  // namespace corvane::plugins::mqttClient::testing
