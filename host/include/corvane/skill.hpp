#pragma once
// Skills and their elements: what a plug-in library registers and the runtime drives.
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "corvane/config.hpp"
#include "corvane/data.hpp"
#include "corvane/model.hpp"
#include "corvane/process.hpp"
#include "corvane/utils/core.hpp"
#include "corvane/utils/json.hpp"

namespace corvane::skill {

class ElementFactory;

class Element : utils::tools::DisableCopy, public std::enable_shared_from_this<Element> {
 public:
  class Class : utils::tools::DisableCopy {
   public:
    constexpr Class() = default;
    virtual ~Class() = default;
    virtual std::string_view name() const noexcept = 0;
    virtual utils::core::Uuid uuid() const noexcept = 0;
    virtual std::string_view displayName() const noexcept = 0;
  };
  template <utils::tparam::String Name, utils::core::Uuid Id, utils::tparam::String Display>
  class ConcreteClass;

  Element() = default;
  virtual ~Element() = default;

  // The runtime calls these in this order of slots; defaults keep the host's behaviour.
  virtual std::shared_ptr<Element> createChildElement(const Class& elementClass, ElementFactory& factory);
  virtual bool forEachAttribute(const model::ForEachAttributeFunction& function);
  virtual bool forEachEvent(const model::ForEachEventFunction& function);
  virtual bool forEachTask(const model::ForEachTaskFunction& function);
  virtual std::optional<data::ReadHandle> makeReadHandle(const model::Attribute& attribute);
  virtual std::optional<data::WriteHandle> makeWriteHandle(const model::Attribute& attribute);
  // Default: the first listed attribute with that name.
  virtual const model::Attribute* resolveAttributeByName(std::string_view name);
  virtual const model::Attribute* resolveAttributeByUuid(const utils::core::Uuid& uuid);
  virtual std::optional<process::Event::Role> resolveEventByName(std::string_view name);
  virtual std::optional<process::Event::Role> resolveEventByUuid(const utils::core::Uuid& uuid);
  virtual std::optional<process::Task::Role> resolveTaskByName(std::string_view name);
  virtual std::optional<process::Task::Role> resolveTaskByUuid(const utils::core::Uuid& uuid);
  virtual model::ElementCategory category() const noexcept { return model::ElementCategory::kSkillElement; }
  virtual bool isAttributePending(const utils::core::Uuid&, std::string_view) { return false; }
  virtual bool isEventPending(const utils::core::Uuid&, std::string_view) { return false; }
  virtual bool isTaskPending(const utils::core::Uuid&, std::string_view) { return false; }
  virtual bool isMetadataPending() { return false; }
  virtual void load(utils::json::decoder::Object object, config::Context& context);
  virtual void initSyntheticChild() {}
  virtual void realize() {}
  virtual void postRealize() {}
  virtual void prepare() {}
  virtual void postPrepare() {}
  virtual void preCleanup() {}
  virtual void cleanup() {}
  virtual void doAsDataPoint() {}

  // The element's node in the runtime's model (name, primary key, UUID); set at creation.
  model::Element& element() const noexcept { return *modelElement_; }
  const std::string& primaryKey() const noexcept { return modelElement_->primaryKey(); }
  const utils::core::Uuid& uuid() const noexcept { return modelElement_->uuid(); }

 private:
  friend class ElementFactory;
  model::Element* modelElement_ = nullptr;
};

template <utils::tparam::String Name, utils::core::Uuid Id, utils::tparam::String Display>
class Element::ConcreteClass final : public Element::Class {
 public:
  constexpr ConcreteClass() = default;
  std::string_view name() const noexcept override { return Name.view(); }
  utils::core::Uuid uuid() const noexcept override { return Id; }
  std::string_view displayName() const noexcept override { return Display.view(); }
  static const ConcreteClass instance;
};
template <utils::tparam::String Name, utils::core::Uuid Id, utils::tparam::String Display>
constinit const Element::ConcreteClass<Name, Id, Display> Element::ConcreteClass<Name, Id, Display>::instance{};

// Shared ownership of an element (and of the events and tasks it hands out, which are members).
template <class T>
class EnableSharedFromThis {
 public:
  std::shared_ptr<T> sharedFromThis() {
    return std::static_pointer_cast<T>(static_cast<T*>(this)->Element::shared_from_this());
  }
  std::weak_ptr<T> weakFromThis() { return sharedFromThis(); }
  // A pointer to a member that keeps the whole element alive.
  template <class M>
  std::shared_ptr<M> sharedMember(M& member) {
    return std::shared_ptr<M>(sharedFromThis(), &member);
  }
};

// Gives a new element its storage, its shared owner and its model node.
class ElementFactory {
 public:
  virtual ~ElementFactory() = default;
  template <class T, class... Args>
  std::shared_ptr<T> create(Args&&... args) {
    auto element = std::make_shared<T>(std::forward<Args>(args)...);
    element->Element::modelElement_ = &attach(element);
    return element;
  }

 protected:
  // The host makes the model node for the new element and keeps the shared pointer.
  virtual model::Element& attach(std::shared_ptr<Element> element) = 0;
};

class ElementClassRegistry {
 public:
  virtual ~ElementClassRegistry() = default;
  virtual void add(const Element::Class& elementClass) = 0;
};

class Skill : utils::tools::DisableCopy {
 public:
  class Class : utils::tools::DisableCopy {
   public:
    Class();           // enters the registry
    virtual ~Class();  // leaves it
    virtual std::string_view name() const noexcept = 0;
    virtual utils::core::Uuid uuid() const noexcept = 0;
    virtual void registerElements(ElementClassRegistry& registry) const = 0;
    virtual std::unique_ptr<Skill> createSkill() const = 0;
  };
  template <class S, utils::tparam::String Name, utils::core::Uuid Id, class... Elements>
  class ConcreteClass;

  Skill() = default;
  virtual ~Skill() = default;
  virtual void loadConfig(utils::json::decoder::Object object, config::Context& context);
  virtual std::shared_ptr<Element> createElement(const Element::Class& elementClass, ElementFactory& factory) = 0;
};

template <class S, utils::tparam::String Name, utils::core::Uuid Id, class... Elements>
class Skill::ConcreteClass final : public Skill::Class {
 public:
  std::string_view name() const noexcept override { return Name.view(); }
  utils::core::Uuid uuid() const noexcept override { return Id; }
  void registerElements(ElementClassRegistry& registry) const override {
    (registry.add(Elements::instance), ...);
  }
  std::unique_ptr<Skill> createSkill() const override { return std::make_unique<S>(); }
};

// The skill classes of every loaded library, in load order.
std::vector<const Skill::Class*> registeredSkillClasses();
const Skill::Class* findSkillClass(std::string_view name);

}  // namespace corvane::skill
