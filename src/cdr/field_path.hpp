// Field paths as a chain of stack nodes, rendered only when an error is
// reported ("pose.position.x"; array elements share the array's node).
#pragma once

#include <string_view>

#include "base/memory.hpp"

namespace korvex {

struct PathNode {
  const PathNode* parent;
  std::string_view name;
};

inline String render_path(const PathNode* node) {
  std::size_t length = 0;
  std::size_t parts = 0;
  for (const PathNode* at = node; at != nullptr; at = at->parent) {
    length += at->name.size();
    ++parts;
  }
  String text(length + (parts > 0 ? parts - 1 : 0), '.');
  std::size_t end = text.size();
  for (const PathNode* at = node; at != nullptr; at = at->parent) {
    end -= at->name.size();
    text.replace(end, at->name.size(), at->name);
    if (end > 0) --end;  // skip the separator
  }
  return text;
}

}  // namespace korvex
