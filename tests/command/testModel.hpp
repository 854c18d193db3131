#pragma once
// A few model elements for command tests: live data points and a folder, found by name the way the
// runtime resolves configuration references.
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include <corvane/config.hpp>
#include <corvane/runtime.hpp>

namespace corvane::plugins::mqttClient::testing {

// An element that is not a data point.
class Folder final : public corvane::model::Element {
 public:
  explicit Folder(std::string name) : corvane::model::Element(name, name, {}) {}
  corvane::model::ElementCategory category() const noexcept override {
    return corvane::model::ElementCategory::kFolder;
  }
};

// A data point that shows no value attribute (the model element's default answer).
class ValuelessPoint final : public corvane::model::Element {
 public:
  explicit ValuelessPoint(std::string name) : corvane::model::Element(name, name, {}) {}
  corvane::model::ElementCategory category() const noexcept override {
    return corvane::model::ElementCategory::kDataPoint;
  }
};

// A data point whose write handle does not keep it alive, as a host may hand out: its writes are
// counted in `writes`, which outlives it.
class DetachedPoint final : public corvane::model::Element {
 public:
  explicit DetachedPoint(std::string name) : corvane::model::Element(name, name, {}) {}
  corvane::model::ElementCategory category() const noexcept override {
    return corvane::model::ElementCategory::kDataPoint;
  }
  corvane::data::WriteHandle attributeWriteHandle(const corvane::model::Attribute&) override {
    return corvane::data::WriteHandle(std::make_shared<Sink>(writes));
  }
  std::shared_ptr<int> writes = std::make_shared<int>(0);

 private:
  struct Sink final : corvane::data::WriteSink {
    explicit Sink(std::shared_ptr<int> count) : count(std::move(count)) {}
    std::error_code write(const corvane::data::Value&) override {
      ++*count;
      return {};
    }
    std::error_code writeComposite(bool, const corvane::data::Composite&) override {
      ++*count;
      return {};
    }
    std::shared_ptr<int> count;
  };
};

class TestModel final : public corvane::config::Resolver {
 public:
  std::shared_ptr<corvane::runtime::DataPoint> addPoint(const std::string& name, corvane::data::DataType type) {
    auto point = std::make_shared<corvane::runtime::DataPoint>(name, corvane::utils::core::Uuid{}, type);
    elements_[name] = point;
    return point;
  }
  template <class T>
  std::shared_ptr<T> add(const std::string& name) {
    auto element = std::make_shared<T>(name);
    elements_[name] = element;
    return element;
  }
  // The model lets go of the element; it vanishes once nobody else holds it.
  void remove(std::string_view name) { elements_.erase(elements_.find(name)); }

  std::shared_ptr<corvane::model::Element> findElement(std::string_view path) const override {
    auto it = elements_.find(path);
    return it == elements_.end() ? nullptr : it->second;
  }

 private:
  std::map<std::string, std::shared_ptr<corvane::model::Element>, std::less<>> elements_;
};

}  // namespace corvane::plugins::mqttClient::testing
