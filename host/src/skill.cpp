#include "corvane/skill.hpp"

#include <algorithm>
#include <mutex>

namespace corvane::skill {

namespace {
std::mutex registryMutex;
std::vector<const Skill::Class*>& registry() {
  static std::vector<const Skill::Class*> classes;
  return classes;
}
}  // namespace

Skill::Class::Class() {
  std::lock_guard lock(registryMutex);
  registry().push_back(this);
}

Skill::Class::~Class() {
  std::lock_guard lock(registryMutex);
  auto& classes = registry();
  classes.erase(std::remove(classes.begin(), classes.end(), this), classes.end());
}

std::vector<const Skill::Class*> registeredSkillClasses() {
  std::lock_guard lock(registryMutex);
  return registry();
}

const Skill::Class* findSkillClass(std::string_view name) {
  std::lock_guard lock(registryMutex);
  for (const auto* c : registry()) {
    if (c->name() == name) return c;
  }
  return nullptr;
}

void Skill::loadConfig(utils::json::decoder::Object object, config::Context&) {
  for (auto member : object) config::throwUnknownParameterError(member.name);
}

std::shared_ptr<Element> Element::createChildElement(const Class&, ElementFactory&) { return nullptr; }
bool Element::forEachAttribute(const model::ForEachAttributeFunction&) { return false; }
bool Element::forEachEvent(const model::ForEachEventFunction&) { return false; }
bool Element::forEachTask(const model::ForEachTaskFunction&) { return false; }
std::optional<data::ReadHandle> Element::makeReadHandle(const model::Attribute&) { return std::nullopt; }
std::optional<data::WriteHandle> Element::makeWriteHandle(const model::Attribute&) { return std::nullopt; }

const model::Attribute* Element::resolveAttributeByName(std::string_view name) {
  const model::Attribute* found = nullptr;
  forEachAttribute([&](const model::Attribute& a) {
    if (a.name == name) found = &a;
    return found != nullptr;
  });
  return found;
}

const model::Attribute* Element::resolveAttributeByUuid(const utils::core::Uuid& uuid) {
  const model::Attribute* found = nullptr;
  forEachAttribute([&](const model::Attribute& a) {
    if (a.uuid == uuid) found = &a;
    return found != nullptr;
  });
  return found;
}

std::optional<process::Event::Role> Element::resolveEventByName(std::string_view name) {
  std::optional<process::Event::Role> found;
  forEachEvent([&](const process::Event::Role& role, const std::shared_ptr<process::Event>&) {
    if (role.name == name) found = role;
    return found.has_value();
  });
  return found;
}

std::optional<process::Event::Role> Element::resolveEventByUuid(const utils::core::Uuid& uuid) {
  std::optional<process::Event::Role> found;
  forEachEvent([&](const process::Event::Role& role, const std::shared_ptr<process::Event>&) {
    if (role.uuid == uuid) found = role;
    return found.has_value();
  });
  return found;
}

std::optional<process::Task::Role> Element::resolveTaskByName(std::string_view name) {
  std::optional<process::Task::Role> found;
  forEachTask([&](const process::Task::Role& role, const std::shared_ptr<process::Task>&) {
    if (role.name == name) found = role;
    return found.has_value();
  });
  return found;
}

std::optional<process::Task::Role> Element::resolveTaskByUuid(const utils::core::Uuid& uuid) {
  std::optional<process::Task::Role> found;
  forEachTask([&](const process::Task::Role& role, const std::shared_ptr<process::Task>&) {
    if (role.uuid == uuid) found = role;
    return found.has_value();
  });
  return found;
}

void Element::load(utils::json::decoder::Object object, config::Context&) {
  for (auto member : object) config::throwUnknownParameterError(member.name);
}

}  // namespace corvane::skill
