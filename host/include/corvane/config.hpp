#pragma once
// Configuration context: references between elements, resolved once all configuration is loaded,
// and files that a configuration names.
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "corvane/model.hpp"
#include "corvane/utils/json.hpp"

namespace corvane::config {

// Finds model elements by reference key (the host's model implements it).
class Resolver {
 public:
  virtual ~Resolver() = default;
  // The element at a path of names joined by "/" (a data point, a skill element), or null.
  virtual std::shared_ptr<model::Element> findElement(std::string_view path) const = 0;
};

class Context {
 public:
  // A reference to an element: "path/of/element"; to one of its attributes:
  // "path/of/element#attributeName".
  class ReferenceKey {
   public:
    // Reads a string value; TypeMismatchError for other types.
    static ReferenceKey read(utils::json::decoder::Value& value);
    ReferenceKey(std::string text, utils::json::decoder::Location location)
        : text_(std::move(text)), location_(location) {}
    const std::string& text() const noexcept { return text_; }
    utils::json::decoder::Location location() const noexcept { return location_; }
    std::string_view elementPath() const noexcept;
    std::string_view attributeName() const noexcept;  // empty without "#"

   private:
    std::string text_;
    utils::json::decoder::Location location_;
  };

  // A file named in the configuration, looked up relative to the model file.
  class ExternalConfigPath {
   public:
    explicit ExternalConfigPath(utils::json::decoder::Value& value);
    const std::string& text() const noexcept { return text_; }
    utils::json::decoder::Location location() const noexcept { return location_; }

   private:
    std::string text_;
    utils::json::decoder::Location location_;
  };

  using ElementCallback = std::function<void(const std::shared_ptr<model::Element>&)>;
  using AttributeCallback = std::function<void(const model::ElementAttribute&)>;

  Context(std::filesystem::path baseDirectory, const Resolver& resolver)
      : baseDirectory_(std::move(baseDirectory)), resolver_(&resolver) {}

  void registerReference(ReferenceKey key, ElementCallback callback);
  void registerAttributeReference(ReferenceKey key, AttributeCallback callback);

  // Looks for the file as given (absolute, or relative to the model file's directory), then in
  // `subdirectory` of that directory. A file that is found nowhere is a configuration error at
  // the path's location: "cannot find " + nameFormat filled with the text.
  std::optional<std::filesystem::path> findExternalConfig(const ExternalConfigPath& path,
                                                          std::string_view description,
                                                          std::string_view nameFormat,
                                                          const std::filesystem::path& subdirectory) const;

  const std::filesystem::path& baseDirectory() const noexcept { return baseDirectory_; }

  // Host side: calls every callback in registration order. An unknown reference, or an exception
  // from a callback, is thrown as a decoder Exception at the reference's location.
  void resolveAll();
  std::size_t pendingReferences() const noexcept { return references_.size(); }

 private:
  struct Reference {
    ReferenceKey key;
    ElementCallback element;
    AttributeCallback attribute;
  };
  std::filesystem::path baseDirectory_;
  const Resolver* resolver_;
  std::vector<Reference> references_;
};

// Rejects a configuration key: "unknown parameter \"NAME\"" at the name's location.
[[noreturn]] void throwUnknownParameterError(const utils::json::decoder::Name& name);

}  // namespace corvane::config
