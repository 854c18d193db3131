#pragma once
// JSON paths of command data points: a root "$" followed by child segments, each selecting one object
// member by name or one array element by index. The rest of the JSONPath language is recognised only
// to be refused with a message of its own.
#include <cstdint>
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

// The value the path selects inside `value` (no copy; for an empty path, `value` itself). Throws
// std::runtime_error when the message does not have the shape the path expects.
const JsonValue& evaluate(const JsonValue& value, const Path& path);
// The same for a path or a part of one (its segments from some level on), without an exception
// for a message of another shape: null then, and `failure` holds the text evaluate throws. Only a
// segment that holds neither alternative throws (std::logic_error).
const JsonValue* find(const JsonValue& value, std::span<const Segment> path, std::string& failure);

}  // namespace corvane::plugins::mqttClient::jsonPath
