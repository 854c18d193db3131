#pragma once
// The model file read a second time for lint: where each element and each key of its
// configuration stands in the text, which the loaded model no longer knows (it keeps only where
// each element starts).
#include <initializer_list>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include <corvane/utils/json.hpp>

namespace corvane::run {

using utils::json::decoder::Location;

// One JSON value of the file with its place; objects keep their members in file order.
struct LocatedValue {
  enum class Kind { kScalar, kString, kObject, kArray };
  Kind kind = Kind::kScalar;
  Location location;      // of the value
  Location nameLocation;  // of the member's name, for a member of an object
  std::string name;       // the member's name, for a member of an object
  std::string text;       // a string's text
  std::vector<LocatedValue> items;  // an object's members or an array's elements

  // The last member with one of these names (a later key wins, as when the configuration is
  // read); null when there is none or this is not an object.
  const LocatedValue* member(std::initializer_list<std::string_view> names) const;
};

// A walk from an element's declaration down to a configuration key. A key the file does not
// have leaves the walk where it was, so a warning points at the closest place the file has.
class Place {
 public:
  explicit Place(const LocatedValue* start) : at_(start) {}
  // Down into the last member with one of these names.
  Place key(std::initializer_list<std::string_view> names) const;
  // Down into the array element of this index.
  Place index(std::size_t index) const;
  // Down into the first array element that is this string.
  Place item(std::string_view text) const;
  // Whether every step so far found its key.
  bool found() const noexcept { return at_ != nullptr && !lost_; }
  // A member's name, else the value; nothing (line 0) without a start.
  Location location() const;

 private:
  Place(const LocatedValue* at, bool lost) : at_(at), lost_(lost) {}
  Place down(const LocatedValue* next) const { return next != nullptr && !lost_ ? Place(next, false) : Place(at_, true); }
  const LocatedValue* at_;
  bool lost_ = false;
};

class LintSource {
 public:
  // Throws utils::json::decoder::Exception for text that is not JSON.
  explicit LintSource(std::string text);
  LintSource(const LintSource&) = delete;
  LintSource& operator=(const LintSource&) = delete;

  // From the element's declaration object (null for a path the file does not declare).
  Place element(std::string_view path) const;
  // From the element's "config" object, or its declaration when it has none.
  Place config(std::string_view path) const;

 private:
  void declare(const LocatedValue& declaration, const std::string& prefix);

  std::string text_;
  LocatedValue root_;
  std::map<std::string, const LocatedValue*, std::less<>> elements_;
};

}  // namespace corvane::run
