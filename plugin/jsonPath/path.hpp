#pragma once
// JSON paths of command data points: a root "$" followed by child segments, each selecting one object
// member by name or one array element by index. The rest of the JSONPath language is recognised only
// to be refused with a message of its own.
#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "payload/jsonValue.hpp"

namespace corvane::plugins::mqttClient::jsonPath {

// Text that is not a JSON path.
class SyntaxError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Valid JSONPath that this evaluator does not implement (wildcards, slices, filters, ...).
class UnsupportedError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A member name (UTF-8 bytes) or an array index (always below 2^53).
using Segment = std::variant<std::string, std::uint64_t>;
enum SegmentIndex : std::size_t { kName = 0, kIndex };

// Built once when the configuration loads; empty for "$".
using Path = std::vector<Segment>;

// Largest index a path accepts: the largest integer a double represents exactly.
inline constexpr std::uint64_t kMaxIndex = (std::uint64_t{1} << 53) - 1;

// Throws SyntaxError or UnsupportedError; every position in a message is a byte offset into `text`.
Path parse(std::string_view text);

// Follows `path` from `current` in any representation of a message. `Cursor` stands on one value
// and answers isObject(), isArray(), member(name) and element(index), the last two an optional
// Cursor (empty when the object has no such member or the array no such element). Empty when the
// message does not have the shape the path expects; `failure` then says why, in the same words for
// every representation. Only a segment that holds neither alternative throws (std::logic_error).
template <class Cursor>
std::optional<Cursor> follow(Cursor current, std::span<const Segment> path, std::string& failure) {
  for (const Segment& segment : path) {
    std::optional<Cursor> next;
    if (const auto* name = std::get_if<kName>(&segment)) {
      if (!current.isObject()) {
        failure = "the JSON element is not an object";
        return std::nullopt;
      }
      next = current.member(*name);
      if (!next) {
        failure = "failed to find a JSON object member called \"" + *name + "\"";
        return std::nullopt;
      }
    } else if (const auto* index = std::get_if<kIndex>(&segment)) {
      if (!current.isArray()) {
        failure = "the JSON element is not an array";
        return std::nullopt;
      }
      next = current.element(*index);
      if (!next) {
        failure = "the array index \"" + std::to_string(*index) + "\" is out of range";
        return std::nullopt;
      }
    } else {
      throw std::logic_error("internal error, unexpected path segment type");
    }
    current = *next;
  }
  return current;
}

// The value the path selects inside `value` (no copy; for an empty path, `value` itself). Throws
// std::runtime_error when the message does not have the shape the path expects.
const JsonValue& evaluate(const JsonValue& value, const Path& path);
// The same for a path or a part of one (its segments from some level on), without an exception
// for a message of another shape: null then, and `failure` holds the text evaluate throws. Only a
// segment that holds neither alternative throws (std::logic_error).
const JsonValue* find(const JsonValue& value, std::span<const Segment> path, std::string& failure);

}  // namespace corvane::plugins::mqttClient::jsonPath
