// Field paths as a chain of stack nodes, rendered only when an error is
// reported ("pose.position.x").  In the core's layout array elements share
// the array's node; the ROS 2 layout gives each element a node of its own
// ("points[3].z").
#pragma once

#include <cstdint>
#include <string_view>

#include "base/memory.hpp"

namespace korvex {

struct PathNode {
  static constexpr std::uint64_t kNoIndex = UINT64_MAX;

  const PathNode* parent;
  std::string_view name;
  // An array element's index, for a node without a name.
  std::uint64_t index = kNoIndex;

  bool is_element() const noexcept { return index != kNoIndex; }
};

inline String render_path(const PathNode* node) {
  // The nodes from the innermost out, then joined from the outermost in.
  Vector<const PathNode*> chain;
  std::size_t length = 0;
  for (const PathNode* at = node; at != nullptr; at = at->parent) {
    chain.push_back(at);
    length += at->is_element() ? 22 : at->name.size() + 1;
  }
  String text;
  text.reserve(length);
  bool first = true;
  for (std::size_t depth = chain.size(); depth > 0; --depth) {
    const PathNode* at = chain[depth - 1];
    if (at->is_element()) {
      text += '[';
      text += decimal(at->index);
      text += ']';
    } else {
      if (!first) text += '.';
      text += at->name;
    }
    first = false;
  }
  return text;
}

}  // namespace korvex
