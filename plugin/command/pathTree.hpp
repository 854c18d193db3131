#pragma once
// The JSON paths of a command's entries as one tree of their distinct prefixes, so that a message
// is read once for all of them.
#include <cstdint>
#include <string_view>
#include <vector>

#include "command/commandPayload.hpp"

namespace corvane::plugins::mqttClient {

inline constexpr std::uint32_t kNone = UINT32_MAX;

// One segment of a path: a member name (a view of the entry's path) or an array index.
struct Step {
  std::string_view name;
  std::uint64_t index;
  bool byName;
  std::uint32_t tag = 0;  // of a name: see tagOf
  bool operator==(const Step& other) const noexcept {
    return byName == other.byName && (byName ? name == other.name : index == other.index);
  }
};

// Length and end bytes of a member name: most names differ there, so they are compared first.
inline std::uint32_t tagOf(std::string_view name) noexcept {
  if (name.empty()) return 0;
  return static_cast<std::uint32_t>(name.size()) << 16 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(name.front())) << 8 |
         static_cast<unsigned char>(name.back());
}

// A distinct prefix of the entries' paths; the root is "$".
struct PathNode {
  Step step;            // from the parent
  std::uint32_t level;  // steps from the root
  std::uint32_t children = 0, childrenEnd = 0;  // its children are the nodes from `children` on
  std::uint32_t first = 0, last = 0;            // the entries whose paths pass through or end here, in `order`
  bool ends = false;                            // some entry's path ends here
};

struct CommandPayload::PathTree {
  std::vector<PathNode> nodes;       // the root first; the children of each node next to each other
  std::vector<std::uint32_t> order;  // entry indexes: a node's entries are next to each other
  std::vector<std::uint32_t> endOf;  // per entry, the node its path ends at

  explicit PathTree(const std::vector<std::unique_ptr<DataPoint>>& entries);
};

}  // namespace corvane::plugins::mqttClient
