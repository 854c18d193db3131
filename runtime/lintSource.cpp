#include "lintSource.hpp"

#include <algorithm>

namespace corvane::run {

namespace decoder = utils::json::decoder;

namespace {

LocatedValue read(decoder::Value& value) {
  LocatedValue out;
  out.location = value.location();
  switch (value.kind()) {
    case decoder::Value::Kind::kObject:
      out.kind = LocatedValue::Kind::kObject;
      for (auto member : value.asObject()) {
        auto nameLocation = member.name.location();
        std::string name(member.name.view());
        LocatedValue& item = out.items.emplace_back(read(member.value));
        item.name = std::move(name);
        item.nameLocation = nameLocation;
      }
      break;
    case decoder::Value::Kind::kArray:
      out.kind = LocatedValue::Kind::kArray;
      for (auto element : value.asArray()) out.items.push_back(read(element));
      break;
    case decoder::Value::Kind::kString:
      out.kind = LocatedValue::Kind::kString;
      out.text = value.asString();
      break;
    default:
      value.skip();
      break;
  }
  return out;
}

}  // namespace

const LocatedValue* LocatedValue::member(std::initializer_list<std::string_view> names) const {
  if (kind != Kind::kObject) return nullptr;
  for (auto it = items.rbegin(); it != items.rend(); ++it) {
    if (std::find(names.begin(), names.end(), it->name) != names.end()) return &*it;
  }
  return nullptr;
}

Place Place::key(std::initializer_list<std::string_view> names) const {
  return down(at_ != nullptr ? at_->member(names) : nullptr);
}

Place Place::index(std::size_t index) const {
  bool fits = at_ != nullptr && at_->kind == LocatedValue::Kind::kArray && index < at_->items.size();
  return down(fits ? &at_->items[index] : nullptr);
}

Place Place::item(std::string_view text) const {
  const LocatedValue* found = nullptr;
  if (at_ != nullptr && at_->kind == LocatedValue::Kind::kArray) {
    for (const auto& element : at_->items) {
      if (element.kind == LocatedValue::Kind::kString && element.text == text) {
        found = &element;
        break;
      }
    }
  }
  return down(found);
}

Location Place::location() const {
  if (at_ == nullptr) return {};
  return at_->nameLocation.line != 0 ? at_->nameLocation : at_->location;
}

LintSource::LintSource(std::string text) : text_(std::move(text)) {
  decoder::Document document;
  auto root = document.read(text_);
  root_ = read(root);
  document.finish();
  // Elements are declared as the runtime reads them: top-level "elements", each with "children".
  if (const auto* elements = root_.member({"elements"}); elements && elements->kind == LocatedValue::Kind::kArray) {
    for (const auto& declaration : elements->items) declare(declaration, "");
  }
}

void LintSource::declare(const LocatedValue& declaration, const std::string& prefix) {
  const auto* name = declaration.member({"name"});
  if (name == nullptr || name->kind != LocatedValue::Kind::kString) return;
  std::string path = prefix.empty() ? name->text : prefix + "/" + name->text;
  elements_[path] = &declaration;
  if (const auto* children = declaration.member({"children"}); children && children->kind == LocatedValue::Kind::kArray) {
    for (const auto& child : children->items) declare(child, path);
  }
}

Place LintSource::element(std::string_view path) const {
  auto it = elements_.find(path);
  return Place(it != elements_.end() ? it->second : nullptr);
}

Place LintSource::config(std::string_view path) const {
  // The "config" member's name is where an element's configuration starts; lost only without one.
  Place declaration = element(path);
  return declaration.key({"config"});
}

}  // namespace corvane::run
