#pragma once
// Reading JSON into JsonValues from the parts a decoder walk hands out (decoder::Value::walk): the
// builder of values, the duplicate member check, and the scratch room both reuse.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include <corvane/utils/json.hpp>

#include "payload/jsonValue.hpp"

namespace corvane::plugins::mqttClient::jsonBuilder {

// Equal texts, compared in place: names are short, a library call costs more than the bytes.
inline bool sameText(std::string_view a, std::string_view b) noexcept {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i] != b[i]) return false;
  }
  return true;
}

// Scratch room beyond this many entries is given back after a read, so that one huge document
// does not pin its memory.
inline constexpr std::size_t kRetainedEntries = 4096;

template <class T>
void clearScratch(std::vector<T>& entries) noexcept {
  entries.clear();
  if (entries.capacity() > kRetainedEntries) std::vector<T>().swap(entries);
}

// The stacks of `Parts`, reused by the reads that follow one another on a thread; a read nested in
// another gets stacks of its own. `Parts` has `bool inUse` and `void release() noexcept`.
template <class Parts>
class Scratch {
 public:
  Scratch() {
    thread_local Parts shared;
    if (!shared.inUse) {
      parts_ = &shared;
    } else {
      own_ = std::make_unique<Parts>();
      parts_ = own_.get();
    }
    parts_->inUse = true;
  }
  ~Scratch() {
    parts_->release();
    parts_->inUse = false;
  }
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;
  Parts& operator*() const noexcept { return *parts_; }
  Parts* operator->() const noexcept { return parts_; }

 private:
  Parts* parts_ = nullptr;
  std::unique_ptr<Parts> own_;
};

// Builds values from their parts in document order. The members and elements of the open
// containers wait at the top of shared stacks and move into a vector of exactly their number when
// their container closes, so no capacity is left unused.
class Builder {
 public:
  void beginObject() { parts_->open.push_back(Open{true, parts_->members.size()}); }
  void beginArray() { parts_->open.push_back(Open{false, parts_->elements.size()}); }
  // The name of the next member of the innermost object; a view that lives as long as the document.
  void memberName(std::string_view name) { parts_->names.emplace_back(name.data(), name.size()); }
  void endObject() {
    auto& members = parts_->members;
    const auto first = members.begin() + static_cast<std::ptrdiff_t>(parts_->open.back().base);
    JsonValue::Object object(std::make_move_iterator(first), std::make_move_iterator(members.end()));
    members.erase(first, members.end());
    parts_->open.pop_back();
    add(JsonValue(std::move(object)));
  }
  void endArray() {
    auto& elements = parts_->elements;
    const auto first = elements.begin() + static_cast<std::ptrdiff_t>(parts_->open.back().base);
    JsonValue::Array array(std::make_move_iterator(first), std::make_move_iterator(elements.end()));
    elements.erase(first, elements.end());
    parts_->open.pop_back();
    add(JsonValue(std::move(array)));
  }
  // A finished value: the next member or element of the innermost container, or the whole value.
  void add(JsonValue&& value) {
    if (parts_->open.empty()) {
      result_ = std::move(value);
    } else if (parts_->open.back().object) {
      parts_->members.emplace_back(std::string(parts_->names.back()), std::move(value));
      parts_->names.pop_back();
    } else {
      parts_->elements.push_back(std::move(value));
    }
  }
  // Containers still open.
  bool building() const noexcept { return !parts_->open.empty(); }
  JsonValue take() noexcept { return std::move(result_); }

 private:
  struct Open {
    bool object;
    std::size_t base;  // the container's first entry in `members` or `elements`
  };
  struct Parts {
    std::vector<Open> open;
    std::vector<std::pair<std::string, JsonValue>> members;
    std::vector<std::string_view> names;  // of the members being read, one per open object
    std::vector<JsonValue> elements;
    bool inUse = false;
    void release() noexcept {
      clearScratch(open);
      clearScratch(members);
      clearScratch(names);
      clearScratch(elements);
    }
  };
  Scratch<Parts> parts_;
  JsonValue result_;
};

// Refuses a member name that occurs twice in one object, at the second one: "duplicate member
// \"NAME\" in JSON object". Small objects compare a name with the names before it; large ones keep
// a hash set of their names.
class MemberNameCheck {
 public:
  static constexpr std::size_t kLinearCheck = 16;

  void beginObject() { parts_->objects.push_back(Object{parts_->names.size(), nullptr}); }
  void endObject() {
    Parts& parts = *parts_;
    parts.names.resize(parts.objects.back().base);
    parts.tags.resize(parts.objects.back().base);
    parts.objects.pop_back();
  }
  // A member of the innermost object, before its value is read: errors come in document order.
  void check(const utils::json::decoder::Name& name) {
    if (!add(name.view())) {
      throw utils::json::decoder::Exception(name.location(),
                                            "duplicate member \"" + std::string(name.view()) + "\" in JSON object");
    }
  }
  // The same without a location: false when the innermost object has the name already.
  bool add(std::string_view text) {
    Parts& parts = *parts_;
    Object& object = parts.objects.back();
    const std::size_t count = parts.names.size() - object.base;
    bool duplicate = false;
    if (count < kLinearCheck) {
      // Most names differ in length or at an end, so few are compared whole.
      const std::uint32_t tag = tagOf(text);
      for (std::size_t i = object.base; i < parts.names.size(); ++i) {
        if (parts.tags[i] == tag && sameText(parts.names[i], text)) {
          duplicate = true;
          break;
        }
      }
    } else {
      if (!object.index) {
        const auto first = parts.names.begin() + static_cast<std::ptrdiff_t>(object.base);
        object.index = std::make_unique<std::unordered_set<std::string_view>>(first, parts.names.end());
      }
      duplicate = !object.index->insert(text).second;
    }
    if (duplicate) return false;
    // Built from its parts: copying the view whole right after it was stored in two halves stalls.
    parts.names.emplace_back(text.data(), text.size());
    parts.tags.push_back(tagOf(text));
    return true;
  }

 private:
  struct Object {
    std::size_t base;                                             // its first name in `names`
    std::unique_ptr<std::unordered_set<std::string_view>> index;  // all its names, once it is large
  };
  struct Parts {
    std::vector<Object> objects;
    std::vector<std::string_view> names;  // of the open objects' members, views of the document
    std::vector<std::uint32_t> tags;      // of `names`
    bool inUse = false;
    void release() noexcept {
      clearScratch(objects);
      clearScratch(names);
      clearScratch(tags);
    }
  };
  // Length and end bytes: cheap to compare before the text.
  static std::uint32_t tagOf(std::string_view name) noexcept {
    if (name.empty()) return 0;
    const auto front = static_cast<unsigned char>(name.front());
    const auto back = static_cast<unsigned char>(name.back());
    return static_cast<std::uint32_t>(name.size()) << 16 | static_cast<std::uint32_t>(front) << 8 | back;
  }
  Scratch<Parts> parts_;
};

}  // namespace corvane::plugins::mqttClient::jsonBuilder
