#include "corvane/config.hpp"

#include <system_error>

namespace corvane::config {

namespace decoder = utils::json::decoder;

Context::ReferenceKey Context::ReferenceKey::read(decoder::Value& value) {
  auto location = value.location();
  std::string text(value.asString());
  if (text.empty()) throw decoder::Exception(location, "empty reference");
  return ReferenceKey(std::move(text), location);
}

std::string_view Context::ReferenceKey::elementPath() const noexcept {
  std::string_view t = text_;
  return t.substr(0, t.find('#'));
}

std::string_view Context::ReferenceKey::attributeName() const noexcept {
  std::string_view t = text_;
  auto hash = t.find('#');
  return hash == std::string_view::npos ? std::string_view{} : t.substr(hash + 1);
}

Context::ExternalConfigPath::ExternalConfigPath(decoder::Value& value)
    : location_(value.location()) {
  text_ = std::string(value.asString());
}

void Context::registerReference(ReferenceKey key, ElementCallback callback) {
  references_.push_back({std::move(key), std::move(callback), {}});
}

void Context::registerAttributeReference(ReferenceKey key, AttributeCallback callback) {
  references_.push_back({std::move(key), {}, std::move(callback)});
}

std::optional<std::filesystem::path> Context::findExternalConfig(const ExternalConfigPath& path,
                                                                  std::string_view description,
                                                                  std::string_view nameFormat,
                                                                  const std::filesystem::path& subdirectory) const {
  std::string named(nameFormat);
  if (auto at = named.find("{}"); at != std::string::npos) named.replace(at, 2, path.text());
  if (path.text().empty()) throw decoder::Exception(path.location(), "empty " + std::string(description));
  std::filesystem::path given(path.text());
  std::vector<std::filesystem::path> candidates;
  if (given.is_absolute()) {
    candidates.push_back(given);
  } else {
    candidates.push_back(baseDirectory_ / given);
    candidates.push_back(baseDirectory_ / subdirectory / given);
  }
  for (const auto& candidate : candidates) {
    std::error_code ec;
    if (std::filesystem::is_regular_file(candidate, ec)) return candidate;
  }
  throw decoder::Exception(path.location(), "cannot find " + named);
}

void Context::resolveAll() {
  // Callbacks may register nothing new; a copy keeps iteration safe all the same.
  auto references = std::move(references_);
  references_.clear();
  for (auto& reference : references) {
    const auto& key = reference.key;
    try {
      auto element = resolver_->findElement(key.elementPath());
      if (!element) {
        throw std::runtime_error("no element \"" + std::string(key.elementPath()) + "\" in the model");
      }
      if (reference.element) {
        if (!key.attributeName().empty()) {
          throw std::runtime_error("reference \"" + key.text() + "\" names an attribute where an element is expected");
        }
        reference.element(element);
      } else {
        if (key.attributeName().empty()) {
          throw std::runtime_error("reference \"" + key.text() +
                                   "\" names no attribute (expected ELEMENT#ATTRIBUTE)");
        }
        bool found = false;
        element->forEachAttribute([&](const model::Attribute& a) {
          found = a.name == key.attributeName();
          return found;
        });
        if (!found && element->category() == model::ElementCategory::kDataPoint) {
          found = !(element->attributeReadHandle(key.attributeName()) == data::ReadHandle::Error::kNoSuchAttribute);
        }
        if (!found) {
          throw std::runtime_error("element \"" + element->primaryKey() + "\" has no attribute \"" +
                                   std::string(key.attributeName()) + "\"");
        }
        reference.attribute(model::ElementAttribute{element, std::string(key.attributeName())});
      }
    } catch (const decoder::Exception&) {
      throw;
    } catch (const std::exception& e) {
      throw decoder::Exception(key.location(), e);
    }
  }
}

void throwUnknownParameterError(const decoder::Name& name) {
  throw decoder::Exception(name.location(), "unknown parameter \"" + std::string(name.view()) + "\"");
}

}  // namespace corvane::config
