#include "corvane/runtime.hpp"

#include <functional>
#include <string>

#include "modelImpl.hpp"
#include "modelReading.hpp"

namespace corvane::runtime {

namespace decoder = utils::json::decoder;
using utils::core::Uuid;

namespace {

// The model side of a skill element: answers attribute reads through the element's own handles.
class SkillElementNode final : public model::Element {
 public:
  SkillElementNode(std::string name, std::string path, Uuid uuid, std::weak_ptr<skill::Element> element)
      : model::Element(std::move(name), std::move(path), uuid), element_(std::move(element)) {}
  model::ElementCategory category() const noexcept override {
    auto e = element_.lock();
    return e ? e->category() : model::ElementCategory::kSkillElement;
  }
  data::ReadHandle attributeReadHandle(std::string_view name) const override {
    auto e = element_.lock();
    if (!e) return data::ReadHandle(data::ReadHandle::Error::kElementGone);
    const auto* attribute = e->resolveAttributeByName(name);
    if (!attribute) return data::ReadHandle(data::ReadHandle::Error::kNoSuchAttribute);
    auto handle = e->makeReadHandle(*attribute);
    if (!handle) return data::ReadHandle(data::ReadHandle::Error::kNoSuchAttribute);
    return *handle;
  }
  data::WriteHandle attributeWriteHandle(const model::Attribute& attribute) override {
    auto e = element_.lock();
    if (!e) return data::WriteHandle(data::WriteHandle::Error::kNoSuchAttribute);
    auto handle = e->makeWriteHandle(attribute);
    if (!handle) return data::WriteHandle(data::WriteHandle::Error::kReadOnly);
    return *handle;
  }
  bool forEachAttribute(const model::ForEachAttributeFunction& function) const override {
    auto e = element_.lock();
    return e && e->forEachAttribute(function);
  }

 private:
  std::weak_ptr<skill::Element> element_;
};

}  // namespace

// Creates skill elements and their model nodes.
class Model::Factory final : public skill::ElementFactory {
 public:
  Factory(std::string name, std::string path, Uuid uuid)
      : name_(std::move(name)), path_(std::move(path)), uuid_(uuid) {}
  std::shared_ptr<model::Element> node;
  std::shared_ptr<skill::Element> created;

 protected:
  model::Element& attach(std::shared_ptr<skill::Element> element) override {
    node = std::make_shared<SkillElementNode>(name_, path_, uuid_, element);
    created = std::move(element);
    return *node;
  }

 private:
  std::string name_, path_;
  Uuid uuid_;
};

Model::Model() : impl_(std::make_unique<Impl>()) {}

Model::~Model() {
  try {
    if (impl_->started) stop();
    shutdown();
  } catch (...) {
  }
}

void Model::fail(decoder::Location location, const std::string& message) const {
  throw ModelError(fileName_, location, message);
}

void Model::load(const std::filesystem::path& file, const LoadOptions& options) {
  std::string text;
  try {
    text = readRegularFile(file);
  } catch (const FileRefused&) {
    throw;
  } catch (const std::exception&) {
    throw ModelError(file.string(), {}, "cannot open model file \"" + file.string() + "\"");
  }
  auto base = file.has_parent_path() ? file.parent_path() : std::filesystem::path(".");
  loadOwnedText(std::move(text), base, file.string(), options);
}

void Model::loadText(std::string_view text, const std::filesystem::path& baseDirectory, const std::string& fileName,
                     const LoadOptions& options) {
  loadOwnedText(std::string(text), baseDirectory, fileName, options);
}

std::string_view Model::text() const noexcept { return impl_->text; }

void Model::loadOwnedText(std::string text, const std::filesystem::path& baseDirectory, const std::string& fileName,
                          const LoadOptions& options) {
  fileName_ = fileName;
  impl_->text = std::move(text);
  impl_->context = std::make_unique<config::Context>(baseDirectory, *this);

  loadLibraries(options.libraries);

  decoder::Document document;
  std::vector<Declaration> declarations;
  try {
    auto root = document.read(impl_->text);
    for (auto member : root.asObject()) {
      if (member.name == "dataPoints") {
        for (auto value : member.value.asArray()) {
          auto location = value.location();
          auto point = readDataPoint(value);
          if (byPath_.count(point->primaryKey())) fail(location, "duplicate element \"" + point->primaryKey() + "\"");
          byPath_[point->primaryKey()] = point;
          dataPoints_.push_back(std::move(point));
        }
      } else if (member.name == "elements") {
        for (auto value : member.value.asArray()) declarations.push_back(readDeclaration(value, false));
      } else if (member.name == "comment") {
        member.value.skip();
      } else {
        config::throwUnknownParameterError(member.name);
      }
    }
    document.finish();
  } catch (const decoder::Exception& e) {
    fail(e.location(), e.message());
  }

  // Create and load depth-first, parents before their children, in file order.
  std::function<void(const Declaration&, const std::string&, std::size_t, const std::string&)> create;
  create = [&](const Declaration& d, const std::string& skillName, std::size_t parent, const std::string& prefix) {
    std::string path = prefix.empty() ? d.name : prefix + "/" + d.name;
    if (byPath_.count(path)) fail(d.location, "duplicate element \"" + path + "\"");
    auto it = skills_.find(skillName);
    if (it == skills_.end()) {
      const auto* skillClass = skill::findSkillClass(skillName);
      if (!skillClass) fail(d.location, "unknown skill \"" + skillName + "\"");
      it = skills_.emplace(skillName, skillClass->createSkill()).first;
    }
    struct Classes final : skill::ElementClassRegistry {
      std::vector<const skill::Element::Class*> list;
      void add(const skill::Element::Class& c) override { list.push_back(&c); }
    } classes;
    skill::findSkillClass(skillName)->registerElements(classes);
    const skill::Element::Class* elementClass = nullptr;
    for (const auto* c : classes.list) {
      if (c->name() == d.className) elementClass = c;
    }
    if (!elementClass) fail(d.location, "skill \"" + skillName + "\" has no element class \"" + d.className + "\"");

    Factory factory(d.name, path, d.uuid ? *d.uuid : uuidFromPath(path));
    std::shared_ptr<skill::Element> element;
    try {
      element = parent == SIZE_MAX ? it->second->createElement(*elementClass, factory)
                                   : elements_[parent].element->createChildElement(*elementClass, factory);
    } catch (const std::exception& e) {
      fail(d.location, "element \"" + path + "\": " + e.what());
    }
    if (!element) {
      fail(d.location, parent == SIZE_MAX
                           ? "class \"" + d.className + "\" cannot be created at the top level"
                           : "class \"" + d.className + "\" cannot be a child of \"" + elements_[parent].path + "\"");
    }
    ElementEntry entry{element, factory.node, skillName, d.className, path, parent, d.location};
    std::size_t index = elements_.size();
    elements_.push_back(entry);
    impl_->cycles.push_back(d.cycles);
    byPath_[path] = factory.node;
    try {
      decoder::Document configDocument;
      auto configText = d.config.empty() ? std::string_view("{}") : d.config;
      auto value = configDocument.read(configText, d.config.empty() ? d.location : d.configLocation);
      element->load(value.asObject(), *impl_->context);
    } catch (const decoder::Exception& e) {
      fail(e.location(), e.message() + " (element \"" + path + "\")");
    } catch (const std::exception& e) {
      fail(d.configLocation.line ? d.configLocation : d.location, std::string(e.what()) + " (element \"" + path + "\")");
    }
    for (const auto& child : d.children) create(child, skillName, index, path);
  };
  for (const auto& d : declarations) create(d, d.skill, SIZE_MAX, "");

  try {
    impl_->context->resolveAll();
  } catch (const decoder::Exception& e) {
    fail(e.location(), e.message());
  }
}

void Model::realizeAndPrepare() {
  auto step = [&](auto&& call) {
    for (auto& entry : elements_) {
      try {
        call(*entry.element);
      } catch (const std::exception& e) {
        fail(entry.location, "element \"" + entry.path + "\": " + e.what());
      }
    }
  };
  step([](skill::Element& e) { e.realize(); });
  step([](skill::Element& e) { e.postRealize(); });
  step([](skill::Element& e) { e.prepare(); });
  step([](skill::Element& e) { e.postPrepare(); });

  tasks_.clear();
  for (std::size_t i = 0; i < elements_.size(); ++i) {
    elements_[i].element->forEachTask([&](const process::Task::Role& role, const std::shared_ptr<process::Task>& task) {
      auto entry = std::make_unique<TaskEntry>();
      entry->elementPath = elements_[i].path;
      entry->role = role;
      entry->task = task;
      auto cycle = impl_->cycles[i].find(role.name);
      entry->cycle = cycle != impl_->cycles[i].end() ? cycle->second : std::chrono::seconds(1);
      tasks_.push_back(std::move(entry));
      return false;
    });
  }
}

void Model::shutdown() {
  // Tasks and events share ownership of their elements: drop them first.
  tasks_.clear();
  for (auto it = elements_.rbegin(); it != elements_.rend(); ++it) it->element->preCleanup();
  for (auto it = elements_.rbegin(); it != elements_.rend(); ++it) it->element->cleanup();
  while (!elements_.empty()) elements_.pop_back();  // children before their parents
  byPath_.clear();
  dataPoints_.clear();
  skills_.clear();
  impl_->context.reset();
  unloadLibraries();
}

std::shared_ptr<model::Element> Model::findElement(std::string_view path) const {
  auto it = byPath_.find(path);
  return it == byPath_.end() ? nullptr : it->second;
}

std::shared_ptr<DataPoint> Model::dataPoint(std::string_view path) const {
  return std::dynamic_pointer_cast<DataPoint>(findElement(path));
}

std::shared_ptr<skill::Element> Model::skillElement(std::string_view path) const {
  for (const auto& e : elements_) {
    if (e.path == path) return e.element;
  }
  return nullptr;
}

}  // namespace corvane::runtime
